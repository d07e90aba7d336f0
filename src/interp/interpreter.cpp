#include "interp/interpreter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/frames.h"
#include "interp/operators.h"
#include "interp/scalar_ops.h"
#include "interp/struct_ref.h"
#include "interp/subscript.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

volatile uint16_t int_interrupt = IR_NONE;
uint64_t step_budget = 0;
IState istate;
InterpHooks interp_hooks;

struct ExecRecord {
  ExecRecord* prev;
  Variable** saved_sp;  // operand stack after the string was popped
  Frame* frame;         // the frame that executed EXECUTE
  TempList* mark;       // the temporaries checked out before the string ran
  uint8_t* resume;      // the instruction after EXECUTE
  uint8_t* caller_stmt; // the frame's statement marker when EXECUTE began
  alignas(8) uint8_t code[STMT_CODE_SIZE];
};

namespace {

using scalar::bound_negative;
using scalar::case_matches;
using scalar::check_loop_variable;
using scalar::compare_bound;
using scalar::condition_true;
using scalar::convert_value;
using scalar::step_loop_variable;
using scalar::store_loop_bound;

// Counts one statement or backward branch against step_budget. An exhausted budget
// stays at 1, so that every later step interrupts again until the owner re-arms it.
inline void count_step() {
  if (step_budget && --step_budget == 0) {
    int_interrupt = IR_INTERRUPT;
    step_budget = 1;
  }
}

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
Activation* g_act = nullptr;
// Incremented for every typed statement: a routine that returns to a statement whose
// code buffer has since been reused must not resume there.
uint32_t g_statement_gen = 1;

// Stack room kept free below the upper end for one statement's operands.
constexpr int kStackReserve = 2048;

// Constants pushed as results (never freed: they carry FLAG_CONSTANT).
Variable int_zero_const{TYP_INT, FLAG_CONSTANT, {}};

Variable* int_temp(int16_t v) { return make_scalar_temp(TYP_INT, &v); }

void release(Variable* v) {
  if (v->flags & FLAG_TEMPORARY) deltmp(v);
}

bool in_range(const uint8_t* p, const uint8_t* lo, size_t n) { return p && p >= lo && p < lo + n; }

// Targets that point into a transient code area must not outlive it.
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

Frame* catch_limit(const Activation* act) {
  if (!act) return nullptr;
  if (istate.execute_list && istate.execute_list != act->exec_base) return istate.execute_list->frame;
  if (act->rec) return act->entry_frame;
  return nullptr;
}

// The frame whose CATCH receives an error, walking outward from the current frame up
// to (not including) the frame that owns an active EXECUTE or began a callback.
Frame* find_catch(Frame* limit) {
  for (Frame* g = curr_frame; g && g != limit; g = g->caller)
    if (g->catch_var) return g;
  return nullptr;
}

bool catch_active_hook() { return find_catch(catch_limit(g_act)) != nullptr; }

bool ioerror_active_hook() {
  Frame* f = curr_frame;
  if (!f || !f->ioerror_target || f->interactive) return false;
  ExecRecord* ex = istate.execute_list;
  return !(ex && g_act && ex != g_act->exec_base && ex->frame == f);
}

const char* current_sysroutine_hook() {
  return istate.current_sysroutine ? istate.current_sysroutine->name : nullptr;
}

// ---- Default services (used until the owning module installs its own) --------------

Variable* missing_feature(const char* what) {
  message(M_INTERNAL, 0, MSG_LONGJMP, what);
  return nullptr;
}

Variable* default_load_sysvar(void*) { return missing_feature("system variables not available"); }
void default_store_sysvar(void*, Variable*) { missing_feature("system variables not available"); }
void default_print(int argc, Variable** argv) {
  for (int i = 0; i < argc; i++) fprintf(stdout, "%s%s", i ? " " : "", varname(argv[i]));
  fputc('\n', stdout);
}


// ---- Statement positions -----------------------------------------------------------

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
    off = inst_u16(s, 4);
    if (off == r->last_source) break;
  }
  return best;
}

}  // namespace

void source_file_print(const CodeBlock* routine, const uint8_t* stmt, char* buf, size_t buflen) {
  buf[0] = 0;
  if (!stmt) return;
  uint8_t op = *stmt;
  if (op != OP_LINE && op != OP_LINE_BREAK && op != OP_SOURCE && op != OP_SOURCE_BREAK) return;
  unsigned line = inst_u16(stmt);
  const uint8_t* src = governing_source(routine, stmt);
  if (!src) return;
  std::string name(reinterpret_cast<const char*>(src + 7), src[6]);
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

void init_interpreter() {
  istate.guard_lo = ISTACK_GUARD;
  istate.guard_hi = 0;
  istate.sp = istack_base();
  if (!interp_hooks.load_sysvar) interp_hooks.load_sysvar = default_load_sysvar;
  if (!interp_hooks.store_sysvar) interp_hooks.store_sysvar = default_store_sysvar;
  if (!interp_hooks.print) interp_hooks.print = default_print;
  message_hooks.traceback = traceback;
  message_hooks.catch_active = catch_active_hook;
  message_hooks.ioerror_active = ioerror_active_hook;
  message_hooks.current_sysroutine = current_sysroutine_hook;
  // MESSAGE names the user routine it is called from.
  message_hooks.current_routine = []() -> const char* {
    const CodeBlock* r = curr_frame ? curr_frame->routine : nullptr;
    return r && r != main_prog && r->name ? r->name->name : "$MAIN$";
  };
  varname_lookup = frame_varname_lookup;
  compiler_hooks.current_routine = [] { return curr_frame ? curr_frame->routine : main_prog; };
  compiler_hooks.new_variable = frame_add_variable;
  compiler_hooks.frame_fits = frame_fits;
  compiler_hooks.named_struct = compile_named_struct;
  compiler_hooks.routine_active = [](const CodeBlock* r) {
    for (Frame* g = curr_frame; g; g = g->caller)
      if (g->routine == r) return true;
    return false;
  };
  compiler_hooks.return_all = [] { return_all(nullptr); };
  compiler_hooks.request_exit = [] { int_interrupt = IR_EXIT; };
  compiler_hooks.visit_frame_variables = [](void (*fn)(Variable*, void*), void* ctx) {
    for (Frame* g = curr_frame; g; g = g->caller) {
      uint32_t n = g->routine ? g->routine->n_vars : 0;
      for (uint32_t i = 0; i < n && i < g->var_capacity; i++) fn(&g->vars[i], ctx);
    }
  };
  init_frames(main_prog);
}

namespace {

// ---- The dispatch loop -------------------------------------------------------------

// The general operators, by opcode. Temporary operands are consumed.
inline Variable* binop(int op, Variable* l, Variable* r) { return binop_for_opcode(op, l, r); }

int subscript_operands(int n_subs, int codes) {
  int n = 0;
  for (int i = 0; i < n_subs; i++, codes >>= 2) {
    int c = codes & 3;
    n += c == 2 ? 2 : (c == 1 ? 0 : 1);
  }
  return n;
}

// A copy of v as a new temporary; v itself is left as it is.
Variable* duplicate(Variable* v) {
  Variable* t = gettmp();
  uint8_t saved = v->flags;
  v->flags = static_cast<uint8_t>(saved & ~FLAG_TEMPORARY);
  try {
    var_copy(v, t);
  } catch (...) {
    v->flags = saved;
    freetmp(t);
    throw;
  }
  v->flags = saved;
  return t;
}

uint8_t* record_stop(uint8_t* at) {
  if (curr_frame && !curr_frame->interactive) curr_frame->cont_pc = at;
  return at;
}

void pop_exec(ExecRecord* ex) {
  istate.execute_list = ex->prev;
  // The frame's position must not point into the code about to be freed (an error
  // later in the calling statement prints it).
  if (in_range(ex->frame->current_stmt, ex->code, STMT_CODE_SIZE)) ex->frame->current_stmt = ex->caller_stmt;
  forget_transient_targets(ex->code, STMT_CODE_SIZE);
  counting_free(ex);
}

// The FOR_INIT helpers and EXECUTE's leave the new stack top in istate.sp.
uint8_t* for_init(uint8_t* pc, Variable** sp) {
  bool step = *pc == OP_FOR_INIT_STEP;
  Variable* incr = step ? *sp-- : nullptr;
  Variable* limit = *sp--;
  Variable* var = *sp--;
  Variable* init = *sp--;
  istate.sp = sp;
  if (var->flags & FLAG_UNNAMED) var_error(M_STORE_EXPR, var, MSG_LONGJMP);
  var_copy(init, var);
  check_loop_variable(var);
  int type = var->type;
  store_loop_bound(pc + 16, limit, var, type);
  if (incr) store_loop_bound(pc + 24, incr, var, type);
  release(limit);
  if (incr) release(incr);
  memcpy(pc + 8, &var, sizeof var);
  pc[1] = static_cast<uint8_t>(type);
  bool down = step && bound_negative(type, pc + 24);
  int c = compare_bound(var, pc + 16);
  if (down ? c < 0 : c > 0) return pc + inst_u16(pc);
  return pc + (step ? 32 : 24);
}

// Steps the loop variable; returns the body start to loop again, or null to leave.
uint8_t* for_next(uint8_t* pc) {
  uint8_t* init = pc - inst_u16(pc);
  Variable* var;
  memcpy(&var, init + 8, sizeof var);
  if (!var) message(M_FOR_ENTERED_ILLEGALLY, 0, MSG_LONGJMP);
  bool step = *init == OP_FOR_INIT_STEP;
  uint8_t* body = init + (step ? 32 : 24);
  if (!step && var->type == TYP_LONG && init[1] == TYP_LONG && !(var->flags & FLAG_HAS_DESC)) {
    int32_t lim;
    memcpy(&lim, init + 16, 4);
    int32_t v = static_cast<int32_t>(static_cast<uint32_t>(var->value.l) + 1u);
    var->value.l = v;
    return v <= lim ? body : nullptr;
  }
  check_loop_variable(var);
  int type = var->type;
  if (type != init[1]) {
    // The body changed the variable's type: bring the bounds along.
    Value lim, inc;
    memcpy(&lim, init + 16, 8);
    lim = convert_value(init[1], lim, type);
    memcpy(init + 16, &lim, 8);
    if (step) {
      memcpy(&inc, init + 24, 8);
      inc = convert_value(init[1], inc, type);
      memcpy(init + 24, &inc, 8);
    }
    init[1] = static_cast<uint8_t>(type);
  }
  step_loop_variable(var, step ? init + 24 : nullptr);
  bool down = step && bound_negative(type, init + 24);
  int c = compare_bound(var, init + 16);
  return (down ? c >= 0 : c <= 0) ? body : nullptr;
}

const char* const kDynamicCallName = "CALL_PROCEDURE/CALL_FUNCTION";

[[noreturn]] void stack_overflow() {
  message(M_GENERIC, 0, MSG_LONGJMP, "Recursion too deep: the operand stack is full.");
  throw VekJump{MSG_LONGJMP, M_GENERIC};
}

uint8_t* statement_check(Activation& act, uint8_t* pc, bool brk) {
  if (math_error_waiting()) print_fp_errors();
  uint16_t code = int_interrupt;
  switch (code) {
    case IR_NONE:
      if (!brk) return nullptr;
      traceback("Breakpoint at:", 0, 1, 0);
      int_interrupt = IR_STEP;
      return record_stop(pc);
    case IR_STEP:
      if (brk) {
        traceback("Breakpoint at:", 0, 1, 0);
        return record_stop(pc);
      }
      if (act.steps > 0) {
        act.steps--;
        return nullptr;
      }
      traceback("Stepped to:", 0, 1, 0);
      return record_stop(pc);
    case IR_INTERRUPT:
      traceback("Interrupted at:", 0, 1, 0);
      return record_stop(pc);
    case IR_STOP_QUIET:
    case IR_EXIT: return record_stop(pc);
    default: message(M_INTERNAL, 0, MSG_LONGJMP, "Unknown signal");
  }
  return nullptr;
}

// Ends an EXECUTE whose code reached its end (or STOP/RETALL inside it).
uint8_t* finish_execute(Variable** sp, bool ok) {
  ExecRecord* ex = istate.execute_list;
  if (curr_frame != ex->frame) message(M_EXECUTE_LEVEL, 0, MSG_LONGJMP);
  int16_t result = ok ? 1 : 0;
  if (sp != ex->saved_sp) {
    message(M_INTERNAL, 0, MSG_CONTINUE, "Execute sp bad");
    result = 0;
  }
  sp = ex->saved_sp;
  temp_list_handler(2);
  mark_temps(ex->mark);
  ex->mark = nullptr;
  uint8_t* resume = ex->resume;
  pop_exec(ex);
  *++sp = int_temp(result);
  istate.sp = sp;
  return resume;
}

uint8_t* start_execute(uint8_t* pc, Variable** sp) {
  Variable* v = *sp;
  if (v->type != TYP_STRING) var_error(M_NEED_STRING, v, MSG_LONGJMP);
  if (v->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  if (v->value.str.length >= EXECUTE_MAX_CHARS) message(M_STRING_TOO_LONG, 0, MSG_LONGJMP, "Execute function");
  char text[EXECUTE_MAX_CHARS + 1];
  size_t n = v->value.str.length;
  if (n) memcpy(text, v->value.str.chars, n);
  text[n] = 0;
  sp--;
  release(v);
  auto* ex = static_cast<ExecRecord*>(counting_malloc(sizeof(ExecRecord)));
  if (!ex) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Execute buffer");
  uint8_t* code = nullptr;
  istate.sp = sp;
  try {
    code = interp_execute(text, ex->code);
  } catch (const VekJump&) {
    code = nullptr;
  }
  if (!code) {
    counting_free(ex);
    *++sp = int_temp(0);
    istate.sp = sp;
    return pc + 1;
  }
  ex->prev = istate.execute_list;
  ex->saved_sp = sp;
  ex->frame = curr_frame;
  ex->mark = mark_temps(nullptr);
  ex->resume = pc + 1;
  ex->caller_stmt = curr_frame->current_stmt;
  istate.execute_list = ex;
  istate.sp = sp;
  return code;
}

// Removes a dynamic call's routine name (the first argument) from the stack.
void take_call_name(Variable** args, int argc, const char** names, char* out, size_t outlen) {
  Variable* v = args[0];
  if (v->type != TYP_STRING) var_error(M_NEED_STRING, v, MSG_LONGJMP);
  if (v->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  size_t n = v->value.str.length;
  if (n >= outlen) n = outlen - 1;
  for (size_t i = 0; i < n; i++) {
    char c = v->value.str.chars[i];
    out[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  out[n] = 0;
  if (!n) snprintf(out, outlen, "NULL_STRING");
  release(v);
  for (int i = 1; i < argc; i++) {
    args[i - 1] = args[i];
    if (names) names[i - 1] = names[i];
  }
}

// Steps over a one-byte alignment filler, so that hot instructions need not dispatch it.
inline uint8_t* skip_pad(uint8_t* pc) { return pc + (*pc == OP_PAD1); }

// Collects the scalar operations that follow an element-wise operation at pc: pairs of a
// constant or a frame variable pushed and then + - * / < or >. ends[i] is the code after
// pair i. The operator driver decides how many of them it can apply.
int scan_element_tail(uint8_t* pc, Frame* f, ElementTail* tail, uint8_t** ends) {
  int n = 0;
  while (n < ElementTail::kMax) {
    uint8_t* p = pc;
    while (*p >= OP_PAD1 && *p <= OP_PAD7) p += *p - OP_PAD1 + 1;
    const Variable* v;
    if (*p == OP_PUSH_CONST) {
      v = inst_const(p);
      p += inst_def[OP_PUSH_CONST].length;
    } else if (*p == OP_PUSH_CONST_REF) {
      v = reinterpret_cast<const Variable*>(p - inst_u16(p));
      p += 4;
    } else if (*p == OP_PUSH_LOCAL) {
      v = frame_var(f, inst_u16(p));
      p += 4;
    } else {
      break;
    }
    const int op = *p;
    if (op != OP_ADD && op != OP_SUB && op != OP_MUL && op != OP_DIV && op != OP_MIN && op != OP_MAX) break;
    tail->ops[n] = opcode_table(op);
    tail->operands[n] = v;
    ends[n] = p + 1;
    pc = p + 1;
    n++;
  }
  tail->n = n;
  return n;
}

inline bool long_array(const Variable* v) {
  return (v->flags & FLAG_ARRAY) && v->value.s.arr->n_elts >= kTailMinElements;
}

uint8_t* run(Activation& act, uint8_t* pc) {
  // The instructions of tight loops end by jumping straight to the next instruction's
  // handler (NEXT): one indirect jump per handler instead of the switch's bounds test
  // and shared jump. Every other opcode's entry leads to the switch.
  static void* dispatch[256];
  if (!dispatch[0]) {
    for (void*& d : dispatch) d = &&by_switch;
    dispatch[OP_PUSH_LOCAL] = &&do_push_local;
    dispatch[OP_PUSH_PARAM] = &&do_push_param;
    dispatch[OP_PUSH_CONST] = &&do_push_const;
    dispatch[OP_STORE] = &&do_store;
    for (int o = OP_ADD; o <= OP_GT; o++)
      if (o != OP_MIN && o != OP_MAX && o != OP_POWER && o != OP_MOD && o != OP_XOR) dispatch[o] = &&do_binary;
    dispatch[OP_LINE] = dispatch[OP_SOURCE] = dispatch[OP_LINE_BREAK] = dispatch[OP_SOURCE_BREAK] = &&do_marker;
    dispatch[OP_JUMP] = &&do_jump;
    dispatch[OP_JUMP_IF_FALSE] = dispatch[OP_JUMP_BACK_IF_FALSE] = &&do_jump_if_false;
    dispatch[OP_FOR_NEXT] = dispatch[OP_FOR_NEXT_STEP] = &&do_for_next;
    dispatch[OP_CALL_USERFUN] = dispatch[OP_CALL_USERPRO] = &&do_call_user;
    dispatch[OP_RETURN] = dispatch[OP_IMPLICIT_RETURN] = &&do_return;
    for (int o = OP_PAD1; o <= OP_PAD7; o++) dispatch[o] = &&do_pad;
  }
#define NEXT()            \
  do {                    \
    op = *pc;             \
    goto* dispatch[op];   \
  } while (0)

  Variable** sp = istate.sp;
  Frame* f = curr_frame;
  uint8_t op;
  for (;;) {
  by_switch:
    op = *pc;
    switch (op) {
      case OP_PUSH_LOCAL:
      do_push_local:
        *++sp = frame_var(f, inst_u16(pc));
        pc += 4;
        NEXT();
      case OP_PUSH_COMMON: {
        VarEntry* e = var_entry(f->routine, inst_u16(pc));
        *++sp = reinterpret_cast<Variable*>(reinterpret_cast<uint8_t*>(e->common->vars) + e->slot);
        pc += 4;
        break;
      }
      case OP_PUSH_PARAM:
      do_push_param:
        *++sp = f->params[pc[1]];
        pc += 2;
        NEXT();
      case OP_LOAD_SYSVAR:
        istate.sp = sp;
        *++sp = interp_hooks.load_sysvar(handle_ptr(inst_word(pc)));
        pc += 8;
        break;
      case OP_LOAD_SUBSCRIPTED:
      case OP_LOAD_SYSVAR_SUBSCRIPTED: {
        int n = pc[1], codes = inst_u16(pc);
        Variable* var;
        if (op == OP_LOAD_SUBSCRIPTED) {
          var = *sp--;
        } else {
          bool ro = false;
          var = interp_hooks.sysvar_variable ? interp_hooks.sysvar_variable(handle_ptr(inst_word(pc)), &ro)
                                             : interp_hooks.load_sysvar(handle_ptr(inst_word(pc)));
          if (!(var->flags & FLAG_ARRAY)) var_error(M_NOT_ARRAY, var, MSG_LONGJMP);
        }
        istate.sp = sp;
        Variable* r = subscript_load(var, n, codes, sp);
        sp -= subscript_operands(n, codes);
        *++sp = r;
        pc += inst_def[op].length;
        break;
      }
      case OP_STORE:
      do_store: {
        Variable* var = sp[0];
        Variable* value = sp[-1];
        sp -= 2;
        if (value->flags == FLAG_TEMPORARY && var->flags == 0 && static_cast<unsigned>(value->type - 1) < 6u) {
          // A numeric scalar result into a plain scalar variable: what var_copy does,
          // without its general checks.
          var->type = value->type;
          std::memcpy(&var->value, &value->value, 8);  // all a numeric scalar has
          freetmp(value);
          pc = skip_pad(pc + 1);
          NEXT();
        }
        if (var->flags & FLAG_UNNAMED) var_error(M_STORE_EXPR, var, MSG_LONGJMP);
        var_copy(value, var);
        pc += 1;
        NEXT();
      }
      case OP_STORE_SYSVAR: {
        Variable* value = *sp--;
        istate.sp = sp;
        interp_hooks.store_sysvar(handle_ptr(inst_word(pc)), value);
        release(value);
        pc += 8;
        break;
      }
      case OP_STORE_SUBSCRIPTED:
      case OP_STORE_SYSVAR_SUBSCRIPTED: {
        int n = pc[1], codes = inst_u16(pc);
        Variable* var;
        if (op == OP_STORE_SUBSCRIPTED) {
          var = *sp--;
          if (var->flags & FLAG_UNNAMED) var_error(M_STORE_EXPR, var, MSG_LONGJMP);
        } else {
          bool ro = false;
          if (!interp_hooks.sysvar_variable) missing_feature("system variables not available");
          var = interp_hooks.sysvar_variable(handle_ptr(inst_word(pc)), &ro);
          if (ro) var_error(M_READ_ONLY, var, MSG_LONGJMP);
          if (!(var->flags & FLAG_ARRAY)) var_error(M_NOT_ARRAY, var, MSG_LONGJMP);
        }
        Variable* value = *sp--;
        istate.sp = sp;
        subscript_store(var, value, n, codes, sp);
        sp -= subscript_operands(n, codes);
        pc += inst_def[op].length;
        break;
      }
      case OP_PUSH_CONST:
      do_push_const:
        *++sp = inst_const(pc);
        pc += inst_def[OP_PUSH_CONST].length;
        NEXT();
      case OP_PUSH_CONST_REF:
        *++sp = reinterpret_cast<Variable*>(pc - inst_u16(pc));
        pc += 4;
        break;
      case OP_PUSH_STRING: {
        uint32_t n = pc[1];
        Variable* t = gettmp();
        t->type = TYP_STRING;
        t->value.str = StringDesc{0, 0, nullptr};
        if (n) {
          char* chars = reinterpret_cast<char*>(pc + 3);
          if (pc[2]) {
            char* c = static_cast<char*>(counting_malloc(n + 1));
            if (!c) {
              freetmp(t);
              message(M_NO_MEMORY, errno, MSG_LONGJMP, "string constant");
            }
            memcpy(c, chars, n);
            c[n] = 0;
            t->value.str = StringDesc{static_cast<uint16_t>(n), 1, c};
            t->flags |= FLAG_DYNAMIC;
          } else {
            t->value.str = StringDesc{static_cast<uint16_t>(n), 0, chars};
          }
        }
        *++sp = t;
        pc += (n + 5) & ~1u;
        break;
      }
      case OP_ADD:
      case OP_SUB:
      case OP_MUL:
      case OP_DIV:
      case OP_AND:
      case OP_OR:
      case OP_EQ:
      case OP_NE:
      case OP_LE:
      case OP_LT:
      case OP_GE:
      case OP_GT:
      do_binary: {
        Variable* r = sp[0];
        Variable* l = sp[-1];
        scalar::ScalarKernel k;
        if (!((l->flags | r->flags) & FLAG_HAS_DESC) && (k = scalar::kernel_for(op, l->type, r->type))) {
          scalar::ScalarResult res = k(l->value, r->value);
          // Numeric scalar temporaries own no memory: freeing them is enough.
          uint8_t* next = skip_pad(pc + 1);
          Variable* dst;
          if (next[0] == OP_PUSH_LOCAL && next[4] == OP_STORE && (dst = frame_var(f, inst_u16(next)))->flags == 0) {
            // "x = a OP b" into a plain scalar variable: store without a temporary (the
            // value is complete before the variable changes, so x may be an operand).
            if (l->flags & FLAG_TEMPORARY) freetmp(l);
            if (r->flags & FLAG_TEMPORARY) freetmp(r);
            scalar::put_result(dst, res);
            sp -= 2;
            pc = skip_pad(next + 5);
            NEXT();
          }
          Variable* out = (l->flags & FLAG_TEMPORARY) ? l : (r->flags & FLAG_TEMPORARY) ? r : gettmp();
          scalar::put_result(out, res);
          out->flags = FLAG_TEMPORARY;
          if (out != r && (r->flags & FLAG_TEMPORARY)) freetmp(r);
          *--sp = out;
          pc = next;
          NEXT();
        }
        istate.sp = sp;
        if (long_array(l) || long_array(r)) {
          // A long array result: the scalar operations that follow go with it, strip by strip.
          ElementTail tail;
          uint8_t* ends[ElementTail::kMax];
          if (scan_element_tail(pc + 1, f, &tail, ends)) {
            int applied = 0;
            Variable* out = vek_binop_tail(opcode_table(op), l, r, tail, &applied);
            *--sp = out;
            pc = applied ? ends[applied - 1] : pc + 1;
            NEXT();
          }
        }
        Variable* out = binop(op, l, r);
        *--sp = out;
        pc += 1;
        NEXT();
      }
      case OP_MIN:
      case OP_MAX:
      case OP_POWER:
      case OP_MOD:
      case OP_XOR:
      case OP_MATRIX_MULTIPLY: {
        Variable* r = sp[0];
        Variable* l = sp[-1];
        istate.sp = sp;
        Variable* out = binop(op, l, r);
        *--sp = out;
        pc += 1;
        break;
      }
      case OP_NEGATE:
      case OP_NOT:
        istate.sp = sp;
        *sp = uop_for_opcode(op, *sp);
        pc += 1;
        break;
      case OP_SUBSCRIPT_EXPR: {
        int n = pc[1], codes = inst_u16(pc);
        int k = subscript_operands(n, codes);
        Variable* value = sp[-k];
        istate.sp = sp;
        Variable* r = subscript_load(value, n, codes, sp);
        sp -= k;
        *sp = r;
        pc += 4;
        break;
      }
      case OP_JUMP:
      do_jump:
        pc += inst_u16(pc);
        NEXT();
      case OP_JUMP_BACK:
        count_step();
        if (int_interrupt == IR_INTERRUPT) {
          istate.sp = sp;
          traceback("Interrupted at:", 0, 1, 0);
          return record_stop(pc);
        }
        pc -= inst_u16(pc);
        break;
      case OP_JUMP_IF_FALSE:
      case OP_JUMP_BACK_IF_FALSE:
      do_jump_if_false: {
        Variable* v = *sp--;
        bool t = condition_true(v);
        release(v);
        if (t) {
          pc += 4;
        } else if (op == OP_JUMP_IF_FALSE) {
          pc += inst_u16(pc);
        } else {
          count_step();
          if (int_interrupt == IR_INTERRUPT) {
            istate.sp = sp;
            traceback("Interrupted at:", 0, 1, 0);
            return record_stop(pc - inst_u16(pc));
          }
          pc -= inst_u16(pc);
        }
        NEXT();
      }
      case OP_LINE:
      case OP_SOURCE:
      case OP_LINE_BREAK:
      case OP_SOURCE_BREAK:
      do_marker: {
        // A math error is reported against the statement that raised it.
        if (math_error_waiting()) {
          istate.sp = sp;
          print_fp_errors();
        }
        f->current_stmt = pc;
        bool brk = op == OP_LINE_BREAK || op == OP_SOURCE_BREAK;
        count_step();
        if (int_interrupt != IR_NONE || brk) {
          istate.sp = sp;
          if (uint8_t* stop = statement_check(act, pc, brk)) return stop;
        }
        pc += (op == OP_LINE || op == OP_LINE_BREAK) ? 4 : source_inst_size(pc);
        NEXT();
      }
      case OP_ASSIGN_EXPR: {
        int n = pc[1];
        Variable* copy = duplicate(*sp);
        Variable** below = sp - n;  // the first subscript value, or the value itself
        for (Variable** p = sp; p >= below; p--) p[1] = p[0];
        *below = copy;
        sp++;
        pc += 2;
        break;
      }
      case OP_FOR_INIT:
      case OP_FOR_INIT_STEP:
        istate.sp = sp;
        pc = for_init(pc, sp);
        sp = istate.sp;
        break;
      case OP_FOR_NEXT:
      case OP_FOR_NEXT_STEP:
      do_for_next: {
        uint8_t* body;
        uint8_t* init = pc - inst_u16(pc);
        Variable* var;
        memcpy(&var, init + 8, sizeof var);
        if (var && init[0] == OP_FOR_INIT && init[1] == TYP_LONG && var->type == TYP_LONG &&
            !(var->flags & FLAG_HAS_DESC)) {
          // The common LONG loop counting up by one, inline.
          int32_t lim;
          memcpy(&lim, init + 16, 4);
          int32_t v = static_cast<int32_t>(static_cast<uint32_t>(var->value.l) + 1u);
          var->value.l = v;
          body = v <= lim ? init + 24 : nullptr;
        } else {
          body = for_next(pc);
        }
        if (body) count_step();
        if (!body) {
          pc += 4;
        } else if (int_interrupt == IR_INTERRUPT) {
          istate.sp = sp;
          traceback("Interrupted at:", 0, 1, 0);
          return record_stop(body);
        } else {
          pc = body;
        }
        NEXT();
      }
      case OP_CASE_TEST: {
        Variable* label = *sp--;
        bool match = case_matches(*sp, label);
        if (match) {
          release(*sp--);
          pc += 4;
        } else {
          pc += inst_u16(pc);
        }
        break;
      }
      case OP_CASE_NOMATCH: message(M_CASE_NO_MATCH, 0, MSG_LONGJMP); break;
      case OP_POP:
        release(*sp--);
        pc += 1;
        break;
      case OP_CONCATENATE: {
        int n = pc[2];
        istate.sp = sp;
        Variable** ops = sp - n + 1;
        Variable* r = con(n, ops, pc[1]);
        for (int i = 0; i < n; i++) release(ops[i]);
        sp -= n;
        *++sp = r;
        pc += 3;
        break;
      }
      case OP_CALL_USERFUN:
      case OP_CALL_USERPRO:
      do_call_user: {
        // A user routine named in the code, without keywords: straight to the frame.
        auto* r = static_cast<CodeBlock*>(handle_ptr(inst_word(pc)));
        if (inst_u16(pc) || !r) goto call_general;
        if (istate.guard_lo != ISTACK_GUARD || istate.guard_hi != 0)
          message(M_INTERNAL, 0, MSG_LONGJMP, "Interpreter stack overflow/underflow");
        if (sp >= istate.stack + ISTACK_SIZE - kStackReserve) stack_overflow();
        uint8_t* next = pc + 8;
        bool fun = op == OP_CALL_USERFUN;
        istate.routine_called = r;
        istate.calling_function = fun;
        istate.resume_pc = next;
        istate.sp = sp;
        Frame* caller = f;
        pc = call_user_proc(r, pc[1], nullptr, next, sp, fun, 0);
        caller->return_gen =
            act.interactive && next >= act.code && next < act.code + STMT_CODE_SIZE ? g_statement_gen : 0;
        istate.routine_called = nullptr;
        f = curr_frame;
        sp = f->stmt_sp;
        NEXT();
      }
      case OP_CALL_SYSFUN:
      case OP_CALL_SYSPRO:
      call_general: {
        if (istate.guard_lo != ISTACK_GUARD || istate.guard_hi != 0)
          message(M_INTERNAL, 0, MSG_LONGJMP, "Interpreter stack overflow/underflow");
        if (sp >= istate.stack + ISTACK_SIZE - kStackReserve) stack_overflow();
        int argc = pc[1];
        uint32_t dlen = inst_u16(pc);
        void* routine = handle_ptr(inst_word(pc));
        uint8_t* next = pc + 8 + dlen;
        bool fun = op == OP_CALL_SYSFUN || op == OP_CALL_USERFUN;
        bool sys = op == OP_CALL_SYSFUN || op == OP_CALL_SYSPRO;
        Variable** args = sp - argc + 1;
        const char* name_buf[64];
        const char** names = nullptr;
        bool first_is_keyword = false;
        if (dlen) {
          const uint8_t* pos = pc + 8;
          Variable* moved[64];
          const char* p = reinterpret_cast<const char*>(pc + 8 + argc);
          for (int i = 0; i < argc; i++) {
            name_buf[i] = p;
            p += strlen(p) + 1;
            moved[i] = args[pos[i]];
            if (pos[i] == 0 && name_buf[i][0]) first_is_keyword = true;
          }
          for (int i = 0; i < argc; i++) args[i] = moved[i];
          names = name_buf;
        }
        int nkw = 0;
        for (int i = 0; names && i < argc; i++)
          if (names[i][0]) nkw++;
        if (!routine) {
          // CALL_PROCEDURE / CALL_FUNCTION: the first argument names the routine.
          if (argc < 1) message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, kDynamicCallName);
          if (first_is_keyword || (names && names[0][0])) message(M_CALL_NAME_FIRST, 0, MSG_LONGJMP);
          char name[256];
          take_call_name(args, argc, names, name, sizeof name);
          argc--;
          sp--;
          const RoutineEntry* e = nullptr;
          e = fun ? is_sys_function(name) : is_procedure(name);
          if (e) {
            if (nkw && !e->accepts_keywords()) message(M_NO_KEYWORDS, 0, MSG_LONGJMP);
            int npos = argc - nkw;
            if (npos < e->min() || npos > e->max_args) message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, e->name);
            routine = const_cast<RoutineEntry*>(e);
            sys = true;
          } else {
            routine = enter_proc_name_str(name, fun);
            sys = false;
          }
          if (names && nkw == 0) names = nullptr;
        }
        if (sys) {
          const auto* e = static_cast<const RoutineEntry*>(routine);
          istate.routine_called = e;
          istate.calling_function = fun;
          istate.resume_pc = next;
          istate.sp = sp;
          const RoutineEntry* outer = istate.current_sysroutine;
          istate.current_sysroutine = e;
          KwNames argk = names;
          uint8_t* ends[ElementTail::kMax];
          int applied = 0;
          if (fun) {
            Variable* r = nullptr;
            if (argc == 1 && !names && long_array(args[0])) {
              // An element-wise function of a long array: the scalar operations that
              // follow go with it, strip by strip.
              ElementTail tail;
              const UnOpTable* table;
              if (scan_element_tail(next, f, &tail, ends) &&
                  (table = elementwise_function_table(reinterpret_cast<const void*>(e->fun))))
                r = vek_uop_arg_tail(table, args[0], tail, &applied);
            }
            if (!r) r = e->fun(argc, args, argk);
            istate.current_sysroutine = outer;
            if (!r) message(M_INTERNAL, 0, MSG_LONGJMP, "system function returned no value");
            for (int i = 0; i < argc; i++)
              if (args[i] != r) release(args[i]);
            sp = args;
            *sp = r;
          } else {
            e->proc(argc, args, argk);
            istate.current_sysroutine = outer;
            for (int i = 0; i < argc; i++) release(args[i]);
            sp = args - 1;
          }
          istate.routine_called = nullptr;
          f = curr_frame;
          pc = applied ? ends[applied - 1] : next;
        } else {
          auto* r = static_cast<CodeBlock*>(routine);
          istate.routine_called = r;
          istate.calling_function = fun;
          istate.resume_pc = next;
          istate.sp = sp;
          Frame* caller = f;
          pc = call_user_proc(r, argc, names, next, sp, fun, 0);
          caller->return_gen =
              act.interactive && next >= act.code && next < act.code + STMT_CODE_SIZE ? g_statement_gen : 0;
          istate.routine_called = nullptr;
          f = curr_frame;
          sp = f->stmt_sp;
        }
        break;
      }
      case OP_RETURN:
      case OP_IMPLICIT_RETURN:
      do_return: {
        if (f == main_frame) message(M_RETURN_FROM_MAIN, 0, MSG_LONGJMP);
        if (op == OP_IMPLICIT_RETURN && f->routine->is_function()) *++sp = &int_zero_const;
        ExecRecord* ex = istate.execute_list;
        if (ex && ex != act.exec_base && ex->frame == f) message(M_EXECUTE_LEVEL, 0, MSG_LONGJMP);
        bool callback_done = act.rec && f->caller == act.entry_frame;
        istate.sp = sp;
        Variable** nsp = nullptr;
        uint8_t* ret = return_user_proc(sp, &nsp, false);
        f = curr_frame;
        sp = nsp;
        if (f->return_gen && f->return_gen != g_statement_gen) {
          // The typed statement that made the call has been replaced meanwhile.
          f->return_gen = 0;
          temp_list_handler(2);
          istate.sp = f->stmt_sp;
          return nullptr;
        }
        if (callback_done) {
          if (act.rec->is_function) {
            Variable* r = *sp--;
            act.rec->result = (r->flags & FLAG_TEMPORARY) ? r : duplicate(r);
          }
          istate.sp = sp;
          return nullptr;
        }
        pc = ret;
        NEXT();
      }
      case OP_STOP:
      case OP_RETALL: {
        uint8_t* next = pc + (op == OP_STOP ? 2 : 1);
        if (op == OP_STOP) {
          int n = pc[1];
          istate.sp = sp;
          if (n) {
            interp_hooks.print(n, sp - n + 1);
            for (int i = 0; i < n; i++) release(sp[-i]);
            sp -= n;
          } else {
            traceback("Stop encountered:", 0, 1, 0);
          }
        }
        if (istate.execute_list != act.exec_base) {
          pc = finish_execute(sp, true);
          sp = istate.sp;
          break;
        }
        if (act.rec) message(M_CALLBACK_STOP, 0, MSG_LONGJMP);
        if (op == OP_RETALL) {
          istate.sp = sp;
          return_all(nullptr);
          f = curr_frame;
          sp = f->stmt_sp;
        }
        int_interrupt = IR_STEP;
        if (f == main_frame) {
          if (temp_list_handler(3) > 0) {
            message(M_TEMPS_CHECKED_OUT, 0, MSG_INFO);
            temp_list_handler(2);
          }
          sp = istack_base();
        }
        if (math_error_waiting()) print_fp_errors();
        istate.sp = sp;
        if (op == OP_STOP) return record_stop(next);
        return next;
      }
      case OP_EXECUTE:
        istate.sp = sp;
        pc = start_execute(pc, sp);
        sp = istate.sp;
        break;
      case OP_STRUCT_BASE:
      case OP_SYSVAR_STRUCT_BASE:
      case OP_STRUCT_BASE_SUBSCRIPTED:
      case OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED: {
        int n = 0, codes = 0;
        if (op == OP_STRUCT_BASE_SUBSCRIPTED || op == OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED) {
          n = pc[1];
          codes = inst_u16(pc);
        }
        Variable* var;
        bool ro = false;
        if (op == OP_STRUCT_BASE || op == OP_STRUCT_BASE_SUBSCRIPTED) {
          var = *sp--;
        } else {
          if (!interp_hooks.sysvar_variable) missing_feature("system variables not available");
          var = interp_hooks.sysvar_variable(handle_ptr(inst_word(pc)), &ro);
          if (n && !(var->flags & FLAG_ARRAY)) var_error(M_NOT_ARRAY, var, MSG_LONGJMP);
        }
        int popped = 0;
        istate.sp = sp;
        struct_ref(var, n, codes, sp, &popped, ro);
        sp -= popped;
        pc += inst_def[op].length;
        break;
      }
      case OP_TAG:
      case OP_TAG_SUBSCRIPTED: {
        int n = 0, codes = 0;
        if (op == OP_TAG_SUBSCRIPTED) {
          n = pc[1];
          codes = inst_u16(pc);
        }
        int popped = 0;
        istate.sp = sp;
        auto* tag = static_cast<IdentEntry*>(handle_ptr(inst_word(pc)));
        struct_tag_ref(tag, n, codes, sp, &popped);
        sp -= popped;
        pc += 8;
        break;
      }
      case OP_FETCH_TAGS:
        istate.sp = sp;
        *++sp = fetch_struct();
        pc += 1;
        break;
      case OP_STORE_TAGS: {
        Variable* value = *sp--;
        istate.sp = sp;
        store_struct(value);
        pc += 1;
        break;
      }
      case OP_MAKE_STRUCT:
      case OP_MAKE_NAMED_STRUCT: {
        int k = pc[1];
        istate.sp = sp;
        Variable* r;
        if (op == OP_MAKE_STRUCT) {
          IdentEntry* tags[256];
          for (int i = 0; i < k; i++) tags[i] = static_cast<IdentEntry*>(handle_ptr(inst_word(pc, 4 + 4 * i)));
          r = make_struc(sp, k, nullptr, tags, true, false);
        } else {
          r = make_struc(sp, k, static_cast<IdentEntry*>(handle_ptr(inst_word(pc))), nullptr, true, k > 0);
        }
        sp -= k;
        *++sp = r;
        pc += op == OP_MAKE_STRUCT ? 4 + 4 * k : 8;
        break;
      }
      case OP_SET_IOERROR:
      case OP_SET_IOERROR_BACK: {
        uint16_t off = inst_u16(pc);
        f->ioerror_target = off == 0 ? nullptr : (op == OP_SET_IOERROR ? pc + off : pc - off);
        pc += 4;
        break;
      }
      case OP_END: {
        if (istate.execute_list != act.exec_base) {
          pc = finish_execute(sp, true);
          sp = istate.sp;
          break;
        }
        if (math_error_waiting()) print_fp_errors();
        if (!act.rec && sp != f->stmt_sp) {
          message(M_INTERNAL, 0, MSG_CONTINUE, "The Interpreter stack is not empty on exit");
          sp = f->stmt_sp;
        }
        istate.sp = sp;
        if (!f->interactive) f->cont_pc = nullptr;
        return nullptr;
      }
      case OP_PAD1:
      case OP_PAD2:
      case OP_PAD3:
      case OP_PAD4:
      case OP_PAD5:
      case OP_PAD6:
      case OP_PAD7:
      do_pad:
        pc += op - OP_PAD1 + 1;
        NEXT();
      default: {
        uint32_t at = f->routine && f->routine->code && pc >= f->routine->code ? static_cast<uint32_t>(pc - f->routine->code) : 0;
        istate.sp = sp;
        message(M_UNKNOWN_INSTRUCTION, 0, MSG_LONGJMP, static_cast<unsigned>(op), at);
      }
    }
  }
#undef NEXT
}

struct Recovery {
  enum Kind { RESUME, STOP, PASS_ON } kind;
  uint8_t* pc;
};

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

Recovery recover(Activation& act, const VekJump& j) {
  keyword_cleanup(0);
  struct_refs_reset();
  int action = j.action & 0xffff;
  Frame* f = curr_frame;
  ExecRecord* ex = istate.execute_list != act.exec_base ? istate.execute_list : nullptr;
  if (action == MSG_IOERROR && f->ioerror_target && !f->interactive && !(ex && ex->frame == f)) {
    temp_list_handler(2);
    istate.sp = f->stmt_sp;
    istate.current_sysroutine = nullptr;
    return {Recovery::RESUME, f->ioerror_target};
  }
  if (action != MSG_LONGJMP && action != MSG_IOERROR)
    message(M_INTERNAL, 0, MSG_CONTINUE, "Unknown global jump in interpreter()");
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

}  // namespace

uint8_t* interpreter(uint8_t* code, int interactive, int step_count, CallRecord* rec) {
  Activation act{};
  act.outer = g_act;
  act.interactive = interactive;
  act.steps = step_count;
  act.rec = rec;
  act.code = code;
  if (!rec) {
    int_interrupt = step_count ? IR_STEP : IR_NONE;
    if (step_count) act.steps = step_count;
  }
  bool outermost = !rec && istate.depth == 0;
  if (outermost && interactive) g_statement_gen++;
  if (outermost && curr_frame == main_frame) {
    temp_list_handler(2);
    istate.sp = istack_base();
    main_frame->stmt_sp = istate.sp;
  }
  istate.guard_lo = ISTACK_GUARD;
  istate.guard_hi = 0;
  Frame* f = curr_frame;
  if (!rec) {
    f->interactive = static_cast<uint8_t>(interactive ? 1 : 0);
    if (!interactive) f->cont_pc = nullptr;
  }
  act.entry_frame = f;
  act.exec_base = istate.execute_list;
  istate.depth++;
  g_act = &act;
  struct Leave {
    Activation* a;
    ~Leave() {
      g_act = a->outer;
      istate.depth--;
    }
  } leave{&act};

  // Statements typed while a routine is stopped run in its frame; its recorded
  // position (for tracebacks) is the stopped statement, not the typed one.
  uint8_t* stopped_stmt = f->current_stmt;
  struct KeepPosition {
    Frame* f;
    uint8_t* stmt;
    bool active;
    ~KeepPosition() {
      if (active && curr_frame == f) f->current_stmt = stmt;
    }
  } keep{f, stopped_stmt, !rec && interactive != 0};

  uint8_t* pc = code;
  try {
    if (rec) {
      if (!rec->routine) {
        rec->routine = enter_proc_name_str(rec->name, rec->is_function);
      }
      Variable** sp = istate.sp;
      if (sp + rec->argc >= istate.stack + ISTACK_SIZE - kStackReserve) stack_overflow();
      for (int i = 0; i < rec->argc; i++) *++sp = rec->args[i];
      istate.sp = sp;
      rec->result = nullptr;
      pc = call_user_proc(rec->routine, rec->argc, nullptr, nullptr, sp, rec->is_function, 0);
    } else if (pc && (*pc == OP_LINE_BREAK || *pc == OP_SOURCE_BREAK)) {
      f->current_stmt = pc;
      pc += inst_size(pc);
    }
  } catch (const VekJump&) {
    if (rec) throw;
    return f->current_stmt;
  }

  for (;;) {
    try {
      uint8_t* stop = run(act, pc);
      if (interactive && outermost) forget_transient_targets(code, STMT_CODE_SIZE);
      return stop;
    } catch (const VekJump& j) {
      Recovery r = recover(act, j);
      if (r.kind == Recovery::RESUME) {
        pc = r.pc;
        continue;
      }
      if (r.kind == Recovery::PASS_ON) throw;
      if (interactive && outermost) forget_transient_targets(code, STMT_CODE_SIZE);
      return r.pc;
    }
  }
}

uint8_t* call_from_sysproc(CallRecord* rec) {
  const void* routine_called = istate.routine_called;
  bool calling_function = istate.calling_function;
  uint8_t* resume = istate.resume_pc;
  const RoutineEntry* sys = istate.current_sysroutine;
  istate.current_sysroutine = nullptr;
  struct Restore {
    const void* rc;
    bool cf;
    uint8_t* rp;
    const RoutineEntry* sys;
    ~Restore() {
      istate.routine_called = rc;
      istate.calling_function = cf;
      istate.resume_pc = rp;
      istate.current_sysroutine = sys;
    }
  } restore{routine_called, calling_function, resume, sys};
  return interpreter(nullptr, curr_frame ? curr_frame->interactive : 0, 0, rec);
}

uint8_t* interp_execute(const char* s, uint8_t* area) { return compile_statement_text(s, area, STMT_CODE_SIZE); }
