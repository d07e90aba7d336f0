// The interpreter's recovery point and the traceback: what happens when a VekJump
// reaches an interpreter activation (CATCH, ON_IOERROR, a failing EXECUTE, ON_ERROR),
// and the "Execution halted at" / "Called from" lines that say where it happened.

#include <cstdio>
#include <cstring>
#include <string>

#include "interp/activation.h"
#include "interp/frames.h"
#include "interp/routines.h"
#include "interp/struct_ref.h"

namespace interp_detail {

Activation* g_act = nullptr;

void forget_transient_targets(const uint8_t* lo, size_t n) {
  for (Frame* g = curr_frame; g; g = g->caller) {
    if (g->catch_var && in_range(g->catch_pc, lo, n)) {
      g->catch_var = nullptr;
      g->catch_pc = nullptr;
    }
    if (in_range(g->ioerror_target, lo, n)) g->ioerror_target = nullptr;
    if (in_range(g->cont_pc, lo, n)) g->cont_pc = nullptr;
  }
}

void pop_exec(ExecRecord* ex) {
  istate.execute_list = ex->prev;
  // The frame's position must not point into the code about to be freed (an error
  // later in the calling statement prints it).
  if (in_range(ex->frame->current_stmt, ex->code, STMT_CODE_SIZE)) ex->frame->current_stmt = ex->caller_stmt;
  forget_transient_targets(ex->code, STMT_CODE_SIZE);
  counting_free(ex);
}

Frame* catch_limit(const Activation* act) {
  if (!act) return nullptr;
  if (istate.execute_list && istate.execute_list != act->exec_base) return istate.execute_list->frame;
  if (act->rec) return act->entry_frame;
  return nullptr;
}

Frame* find_catch(Frame* limit) {
  for (Frame* g = curr_frame; g && g != limit; g = g->caller)
    if (g->catch_var) return g;
  return nullptr;
}

namespace {

// The frame that ON_ERROR sends the error to: 1 the main level, 2 the caller of the
// routine that set it, 3 the routine that set it, 0 the routine where it happened.
Frame* on_error_target(Frame* f) {
  switch (f->on_error) {
    case 1: return main_frame;
    case 2:
    case 3: {
      Frame* g = f;
      while (!g->on_error_set && g->caller && g->caller->on_error >= 2) g = g->caller;
      if (f->on_error == 2 && g->caller) g = g->caller;
      return g;
    }
    default: return f;
  }
}

// The SOURCE record that names the file of the statement at stmt: the nearest one at or
// before it along the unit's chain of SOURCE records.
const uint8_t* governing_source(const CodeBlock* r, const uint8_t* stmt) {
  if (*stmt == OP_SOURCE || *stmt == OP_SOURCE_BREAK) return stmt;
  if (!r || !r->code || stmt < r->code || stmt >= r->code + r->code_len) return nullptr;
  if (r->last_source == NO_SOURCE) return nullptr;
  uint32_t target = static_cast<uint32_t>(stmt - r->code);
  const uint8_t* best = nullptr;
  uint32_t off = r->last_source;
  for (int i = 0; i < 4096; i++) {
    if (off >= r->code_len) break;
    const uint8_t* s = r->code + off;
    if (*s != OP_SOURCE && *s != OP_SOURCE_BREAK) break;
    if (off <= target && (!best || s > best)) best = s;
    off = source_next(s);
    if (off == r->last_source) break;
  }
  return best;
}

}  // namespace

Recovery recover(Activation& act, const VekJump& j) {
  keyword_cleanup(0);
  struct_refs_reset();
  int action = j.action & 0xffff;
  Frame* f = curr_frame;
  ExecRecord* ex = istate.execute_list != act.exec_base ? istate.execute_list : nullptr;
  // ON_IOERROR: an I/O error in a routine resumes at its target.
  if (action == MSG_IOERROR && f->ioerror_target && !f->interactive && !(ex && ex->frame == f)) {
    temp_list_handler(2);
    istate.sp = f->stmt_sp;
    istate.current_sysroutine = nullptr;
    return {Recovery::RESUME, f->ioerror_target};
  }
  if (action != MSG_LONGJMP && action != MSG_IOERROR)
    message(M_INTERNAL, 0, MSG_CONTINUE, "Unknown global jump in interpreter()");
  // CATCH: unwind to the handler's frame, set its variable to the error code.
  if (Frame* c = find_catch(catch_limit(&act))) {
    return_all(c);
    temp_list_handler(2);
    int32_t code = error_code;
    Variable* cv = c->catch_var;
    try {
      if (cv->flags & FLAG_DYNAMIC) delvar(cv);
      store_scalar(cv, TYP_LONG, &code);
    } catch (const VekJump&) {
    }
    istate.sp = c->stmt_sp;
    istate.current_sysroutine = nullptr;
    return {Recovery::RESUME, c->catch_pc};
  }
  // A failing EXECUTE string: EXECUTE returns 0 after its instruction.
  if (ex) {
    istate.current_sysroutine = nullptr;
    return_all(ex->frame);
    temp_list_handler(2);
    mark_temps(ex->mark);
    ex->mark = nullptr;
    Variable** sp = ex->saved_sp;
    uint8_t* resume = ex->resume;
    pop_exec(ex);
    *++sp = int_temp(0);
    istate.sp = sp;
    return {Recovery::RESUME, resume};
  }
  // A callback: the system routine that began it gets the error.
  if (act.rec) {
    return_all(act.entry_frame);
    return {Recovery::PASS_ON, nullptr};
  }
  if (!(j.action & MSG_NOTRACEBACK)) traceback("Execution halted at", 1, 1, -1);
  istate.current_sysroutine = nullptr;
  Frame* target = on_error_target(f);
  if (target != f) return_all(target);
  temp_list_handler(2);
  f = curr_frame;
  istate.sp = f->stmt_sp;
  uint8_t* stmt = f->current_stmt;
  if (!f->interactive) f->cont_pc = stmt;
  return {Recovery::STOP, stmt};
}

}  // namespace interp_detail

void source_file_print(const CodeBlock* routine, const uint8_t* stmt, char* buf, size_t buflen) {
  buf[0] = 0;
  if (!stmt) return;
  uint8_t op = *stmt;
  if (op != OP_LINE && op != OP_LINE_BREAK && op != OP_SOURCE && op != OP_SOURCE_BREAK) return;
  unsigned line = inst_line(stmt);
  const uint8_t* src = interp_detail::governing_source(routine, stmt);
  if (!src) return;
  std::string name(source_name(src), source_name_length(src));
  if (line >= 65535)
    snprintf(buf, buflen, "<%s>", name.c_str());
  else
    snprintf(buf, buflen, "<%s(%4u)>", name.c_str(), line);
}

void traceback(const char* title, int walk_callers, int /*notify*/, int /*pc*/) {
  Frame* f = curr_frame;
  if (!f) return;
  int flags = MSG_INFO;
  const char* sys = istate.current_sysroutine ? istate.current_sysroutine->name : nullptr;
  if (sys && strcmp(sys, "HELP") == 0) {
    flags |= MSG_PAGED;
    sys = nullptr;
  }
  char pos[1200];
  char rpart[160] = "";
  if (sys) snprintf(rpart, sizeof rpart, " (%s)", sys);
  source_file_print(f->routine, f->current_stmt, pos, sizeof pos);
  message(M_TRACEBACK, 0, flags, title, f->routine ? f->routine->name_str() : "", pos, rpart);
  if (!walk_callers) return;
  // A runaway recursion would print a line per activation: show the innermost and
  // outermost callers and count the rest.
  constexpr int kHead = 10, kTail = 5;
  int depth = 0;
  for (Frame* g = f->caller; g; g = g->caller) depth++;
  int i = 0;
  for (Frame* g = f->caller; g; g = g->caller, i++) {
    if (depth > kHead + kTail + 1 && i >= kHead && i < depth - kTail) {
      if (i == kHead) {
        char more[64];
        snprintf(more, sizeof more, "     ... %d more callers ...", depth - kHead - kTail);
        message(M_GENERIC, 0, flags, more);
      }
      continue;
    }
    source_file_print(g->routine, g->current_stmt, pos, sizeof pos);
    message(M_CALLED_FROM, 0, flags, g->routine ? g->routine->name_str() : "", pos);
  }
}
