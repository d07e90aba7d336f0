// User routine activations: the Frame record, frame storage in blocks, binding of
// actual to formal parameters (by reference or by value, keywords with abbreviation,
// "_EXTRA"), recursion with saved FOR-loop state, returns and unwinding, and the
// built-ins that act on the current frame (N_PARAMS, KEYWORD_SET, ON_ERROR, CATCH,
// DELVAR, EXIT). Relies on the value model, temporaries, messages and the byte code.
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"
#include "interp/routines.h"
#include "values/temps.h"
#include "values/variable.h"

// Frame storage: blocks of this many bytes; a unit whose frame would not fit one is
// refused by the compiler (frame_fits).
constexpr uint32_t FRAME_BLOCK_SIZE = 6400;
// Room kept free beyond a new frame's variables, so that a routine can gain a few
// variables while it runs (EXECUTE, statements typed while stopped in it).
constexpr uint32_t FRAME_MARGIN = 192;
// Activations beyond this depth are refused with a message instead of exhausting memory.
constexpr int MAX_CALL_DEPTH = 100000;

struct Frame {
  CodeBlock* routine;
  uint8_t* return_pc;        // where this frame resumes after a call it makes
  uint8_t* current_stmt;     // statement marker last executed
  Frame* caller;             // null for the main level's frame
  uint8_t* own_block;        // frame block opened by this frame (freed at return), or null
  uint8_t* block_end;        // end of the block holding this frame
  Variable** arg_base;       // operand stack just below this call's arguments
  Variable** stmt_sp;        // operand stack at this frame's statement boundaries
  uint64_t* recursion_save;  // FOR-loop state of an outer activation of the same routine
  uint8_t* cont_pc;          // continuation point of a stopped run (statement start), or null
  uint8_t* ioerror_target;   // ON_IOERROR target, or null
  uint8_t interactive;
  uint8_t flag_byte;
  uint8_t on_error_set;      // this frame called ON_ERROR
  uint8_t catch_transient;   // the CATCH point lies in transient (interactive/EXECUTE) code
  int16_t on_error;          // 0-3, inherited at each call
  int16_t n_positional;
  Variable* catch_var;       // null: no CATCH
  uint8_t* catch_pc;
  Variable* vars;            // the routine's variables (the parameters' own slots first)
  TempList* temps_mark;      // the caller's temporaries, detached at entry
  int32_t depth;             // 0 for the main level
  uint32_t var_capacity;     // variables that fit this frame's area
  uint8_t recursive;         // the routine was already active when this frame began
  uint32_t return_gen;       // return_pc lies in typed-statement code of this generation (0: not)
  Variable** params;         // one per formal: the Variable the parameter denotes
};

extern Frame* curr_frame;
extern Frame* main_frame;

// True when a unit with these counts fits a frame block (else -54 at compile time).
bool frame_fits(uint32_t n_vars, uint32_t n_params);
// Called by the compiler after it gave a running unit a new variable slot: makes the
// slot undefined in the live frame. Returns 0, or the message code to report (-54
// when the unit has two or more activations or its frame has no room left).
int frame_add_variable(CodeBlock* unit, uint32_t slot_offset);
// Variable at a byte offset of a frame's variable area.
inline Variable* frame_var(Frame* f, uint32_t offset) {
  return reinterpret_cast<Variable*>(reinterpret_cast<uint8_t*>(f->vars) + offset);
}

// The storage of the main program's variable of that name: its common block slot or its
// frame slot. With create, the name is entered in the main program's table and given a
// slot when it has none (-54 when the frame has no room); otherwise null for a name
// without storage.
Variable* main_level_storage(IdentEntry* name, bool create);
// The storage of an entry of the main program's variable table, or null when it has none.
Variable* main_entry_storage(const VarEntry* e);

// Creates the main level's frame for main_prog (at start-up).
void init_frames(CodeBlock* main_program);

// Enters a user routine: argc arguments lie on the operand stack at sp-argc+1 .. sp,
// positional first then keywords in name order (names: the call's name list or null).
// Returns the routine's first instruction.
uint8_t* call_user_proc(CodeBlock* routine, int argc, const char* const* names, uint8_t* return_pc,
                        Variable** sp, bool is_function, uint8_t flag_byte);
// Ends the current activation. For a function (unless from_return_all) the result is
// the top of stack and is left where the first argument was. Returns the caller's
// resume address; *sp_out receives the new stack top.
uint8_t* return_user_proc(Variable** sp, Variable*** sp_out, bool from_return_all);
// Returns activations until `target` (null: the main level) is current.
void return_all(Frame* target);
// Frees the values of every main-level variable.
void delete_vars();

// Built-ins owned here.
Variable* ur_n_params(int argc, Variable* argv[], KwNames argk);
Variable* ur_keyword_set(int argc, Variable* argv[], KwNames argk);
void ur_on_error(int argc, Variable* argv[], KwNames argk);
void ur_catch(int argc, Variable* argv[], KwNames argk);
void ur_delvar(int argc, Variable* argv[], KwNames argk);
void ur_exit(int argc, Variable* argv[], KwNames argk);

// Message lookups: name of a named variable in the current routine.
bool frame_varname_lookup(const Variable* var, VarNameInfo* out);

// Routine-table entries of the built-ins above (sorted by name).
extern const RoutineEntry frame_functions[];
extern const int n_frame_functions;
extern const RoutineEntry frame_procedures[];
extern const int n_frame_procedures;
