// What the dispatch loop (interpreter.cpp) and the recovery point (recovery.cpp) share
// and nothing outside the interpreter sees: the record of one interpreter activation,
// the record of an EXECUTE in progress, and the recovery decision taken when a VekJump
// reaches the activation. Relies on frames and temporaries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/message.h"
#include "interp/interpreter.h"
#include "values/temps.h"

struct ExecRecord {
  ExecRecord* prev;
  Variable** saved_sp;  // operand stack after the string was popped
  Frame* frame;         // the frame that executed EXECUTE
  TempList* mark;       // the temporaries checked out before the string ran
  uint8_t* resume;      // the instruction after EXECUTE
  uint8_t* caller_stmt; // the frame's statement marker when EXECUTE began
  alignas(8) uint8_t code[STMT_CODE_SIZE];
};

namespace interp_detail {

// One activation of interpreter() on the host stack.
struct Activation {
  Activation* outer;
  int interactive;
  int steps;
  CallRecord* rec;
  Frame* entry_frame;     // the current frame when the activation began
  ExecRecord* exec_base;  // EXECUTE records older than the activation
  uint8_t* code;
};
// The innermost activation (null outside the interpreter).
extern Activation* g_act;

inline Variable* int_temp(int16_t v) { return make_scalar_temp(TYP_INT, &v); }

inline bool in_range(const uint8_t* p, const uint8_t* lo, size_t n) { return p && p >= lo && p < lo + n; }
// Targets that point into a transient code area must not outlive it.
void forget_transient_targets(const uint8_t* lo, size_t n);
// Unlinks and frees the innermost EXECUTE record.
void pop_exec(ExecRecord* ex);

// The frame whose CATCH receives an error, walking outward from the current frame up
// to (not including) the frame that owns an active EXECUTE or began a callback.
Frame* find_catch(Frame* limit);
Frame* catch_limit(const Activation* act);

// Where execution goes after an error reached the activation: resume at pc (CATCH,
// ON_IOERROR, a failed EXECUTE), stop at the statement pc, or pass the error on to the
// system routine that began a callback.
struct Recovery {
  enum Kind { RESUME, STOP, PASS_ON } kind;
  uint8_t* pc;
};
Recovery recover(Activation& act, const VekJump& j);

}  // namespace interp_detail
