// The byte-code interpreter: the state record `istate` with its guarded operand stack,
// the interrupt word, the dispatch loop over the opcode table of compiler/bytecode.h,
// EXECUTE, the recovery point (where VekJump lands) and the traceback. Relies on the
// value model, temporaries, messages, frames (user routine calls) and, through
// InterpHooks, on operators, subscripts, structures and system variables.
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"
#include "interp/routines.h"
#include "values/variable.h"

// The operand stack holds every active call's arguments, so its size bounds the
// recursion depth as well as expression nesting.
constexpr int ISTACK_SIZE = 1 << 20;
constexpr uint32_t ISTACK_GUARD = 0xFEDC;
// Size of the code area of an interactive statement and of an EXECUTE string.
constexpr uint32_t STMT_CODE_SIZE = 2000;
// EXECUTE strings must be shorter than this.
constexpr int EXECUTE_MAX_CHARS = 511;

// Requests in the interrupt word. The pending-math-error half of the word is
// math_errors.pending (base/message.h).
enum InterruptRequest : uint16_t {
  IR_NONE = 0,
  IR_INTERRUPT = 2,    // the user pressed the interrupt key (or bail_out)
  IR_STEP = 1000,      // single-stepping, breakpoints, STOP
  IR_STOP_QUIET = 1001,
  IR_EXIT = 1002,      // end the session
};
extern volatile uint16_t int_interrupt;

// Optional budget of statements and backward branches. While nonzero, each one counts
// it down, and running out acts as the interrupt key (the run stops "Interrupted at:"
// that statement boundary or loop test), again at every later step until the budget
// is set anew. Zero, the default, means no budget. Lets untrusted statement text
// (fuzzing) run without the risk of an endless loop.
extern uint64_t step_budget;

struct ExecRecord;
struct Frame;

// A callback into a user routine from a system routine (call_from_sysproc).
struct CallRecord {
  uint8_t is_function;
  uint8_t argc;
  CodeBlock* routine;  // filled in from name on first use
  const char* name;
  Variable** args;
  Variable* result;    // function result (a temporary), or null
};

struct IState {
  ExecRecord* execute_list;          // innermost active EXECUTE, or null
  const void* routine_called;        // RoutineEntry or CodeBlock of the call in progress
  bool calling_function;
  const RoutineEntry* current_sysroutine;  // executing system routine (for "%N" and tracebacks)
  uint8_t* resume_pc;                // just after the current call instruction
  uint32_t guard_lo;
  Variable* stack[ISTACK_SIZE];
  uint32_t guard_hi;
  Variable** sp;                     // top of stack (stack - 1 when empty)
  int depth;                         // interpreter activations on the host stack
};
extern IState istate;

// The empty stack's top sits just below the first entry (on guard_lo); going through a
// plain pointer keeps bounds checking from reading this as an index of -1.
inline Variable** istack_base() {
  Variable** first = istate.stack;
  return first - 1;
}

// Runs code until END, STOP, RETALL, a step or breakpoint stop, an interrupt or an
// unhandled error. Returns the statement address at which execution stopped, or null
// when the code ran to its end.
uint8_t* interpreter(uint8_t* code, int interactive, int step_count, CallRecord* rec);
// Runs a user routine on behalf of a system routine; returns interpreter's result.
uint8_t* call_from_sysproc(CallRecord* rec);
// Compiles s as one statement for EXECUTE into area (STMT_CODE_SIZE bytes); returns
// the code start or null when it did not compile.
uint8_t* interp_execute(const char* s, uint8_t* area);

// The traceback printer (installed as message_hooks.traceback).
void traceback(const char* title, int walk_callers, int notify, int pc);
// "<file(line)>" for a statement marker, "<file>" when the line is unknown, "" when
// the routine has no source.
void source_file_print(const CodeBlock* routine, const uint8_t* stmt, char* buf, size_t buflen);

// One-time set-up: stack guards, message hooks, varname lookup, the main frame.
void init_interpreter();

// Services of modules above or beside the interpreter that it reaches through hooks:
// system variables (installed by their owner) and PRINT for STOP's arguments.
struct InterpHooks {
  // A temporary copy of a system variable's value (the instruction word's handle).
  Variable* (*load_sysvar)(void* sysvar);
  // Stores a value into a system variable (the value is not consumed).
  void (*store_sysvar)(void* sysvar, Variable* value);
  // The system variable's own Variable (for subscripted and structure access);
  // *read_only tells whether it may be written.
  Variable* (*sysvar_variable)(void* sysvar, bool* read_only);
  // STOP's message arguments, printed as PRINT would.
  void (*print)(int argc, Variable** argv);
};
extern InterpHooks interp_hooks;
