#include "interp/interpreter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/activation.h"
#include "interp/frames.h"
#include "interp/operators.h"
#include "interp/scalar_ops.h"
#include "interp/struct_ref.h"
#include "interp/subscript.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

using namespace interp_detail;

volatile uint16_t int_interrupt = IR_NONE;
uint64_t step_budget = 0;
IState istate;
InterpHooks interp_hooks;

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

// Incremented for every typed statement: a routine that returns to a statement whose
// code buffer has since been reused must not resume there.
uint32_t g_statement_gen = 1;

// Stack room kept free below the upper end for one statement's operands.
constexpr int kStackReserve = 2048;

// Constants pushed as results (never freed: they carry FLAG_CONSTANT).
Variable int_zero_const{TYP_INT, FLAG_CONSTANT, {}};

void release(Variable* v) {
  if (v->flags & FLAG_TEMPORARY) deltmp(v);
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


}  // namespace

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

// The operand-stack entries a subscript list takes: a range two, a "*" none, any
// other subscript one (two bits per subscript in the codes, the first lowest).
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

// The first statement of a loop body: the instruction after its FOR_INIT(_STEP).
inline uint8_t* loop_body(uint8_t* init) {
  return init + (*init == OP_FOR_INIT_STEP ? fixed_length<OP_FOR_INIT_STEP>() : fixed_length<OP_FOR_INIT>());
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
  store_loop_bound(for_limit(pc), limit, var, type);
  if (incr) store_loop_bound(for_step(pc), incr, var, type);
  release(limit);
  if (incr) release(incr);
  set_for_variable(pc, var);
  set_for_bound_type(pc, type);
  bool down = step && bound_negative(type, for_step(pc));
  int c = compare_bound(var, for_limit(pc));
  if (down ? c < 0 : c > 0) return pc + inst_offset(pc);
  return loop_body(pc);
}

// The common loop: a LONG variable counting up by one towards a LONG limit. Steps it
// and returns the body to loop again or null to leave; kept inline in the loop.
[[gnu::always_inline]] inline bool for_next_long(uint8_t* init, Variable* var, uint8_t** body) {
  if (*init != OP_FOR_INIT || for_bound_type(init) != TYP_LONG || var->type != TYP_LONG ||
      (var->flags & FLAG_HAS_DESC))
    return false;
  int32_t lim;
  memcpy(&lim, for_limit(init), 4);
  int32_t v = static_cast<int32_t>(static_cast<uint32_t>(var->value.l) + 1u);
  var->value.l = v;
  // Known to be a FOR_INIT: reading its opcode again for loop_body (the store above may
  // alias it) would put a dependent load on the way to every next instruction.
  *body = v <= lim ? init + fixed_length<OP_FOR_INIT>() : nullptr;
  return true;
}

// Steps the loop variable; returns the body start to loop again, or null to leave.
// Every loop but the common one above; out of line, to keep the dispatch loop compact.
[[gnu::noinline]] uint8_t* for_next(uint8_t* pc) {
  uint8_t* init = pc - inst_offset(pc);
  Variable* var = for_variable(init);
  if (!var) message(M_FOR_ENTERED_ILLEGALLY, 0, MSG_LONGJMP);
  uint8_t* body;
  if (for_next_long(init, var, &body)) return body;
  bool step = *init == OP_FOR_INIT_STEP;
  check_loop_variable(var);
  int type = var->type;
  int held = for_bound_type(init);
  if (type != held) {
    // The body changed the variable's type: bring the bounds along.
    Value lim, inc;
    memcpy(&lim, for_limit(init), 8);
    lim = convert_value(held, lim, type);
    memcpy(for_limit(init), &lim, 8);
    if (step) {
      memcpy(&inc, for_step(init), 8);
      inc = convert_value(held, inc, type);
      memcpy(for_step(init), &inc, 8);
    }
    set_for_bound_type(init, type);
  }
  step_loop_variable(var, step ? for_step(init) : nullptr);
  bool down = step && bound_negative(type, for_step(init));
  int c = compare_bound(var, for_limit(init));
  return (down ? c >= 0 : c <= 0) ? loop_body(init) : nullptr;
}

const char* const kDynamicCallName = "CALL_PROCEDURE/CALL_FUNCTION";

[[noreturn]] void stack_overflow() {
  message(M_GENERIC, 0, MSG_LONGJMP, "Recursion too deep: the operand stack is full.");
  throw VekJump{MSG_LONGJMP, M_GENERIC};
}

inline void check_stack(Variable** sp) {
  if (istate.guard_lo != ISTACK_GUARD || istate.guard_hi != 0)
    message(M_INTERNAL, 0, MSG_LONGJMP, "Interpreter stack overflow/underflow");
  if (sp >= istate.stack + ISTACK_SIZE - kStackReserve) stack_overflow();
}

// At a statement marker with an interrupt pending or a breakpoint: the stop address,
// or null to go on.
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
  uint8_t* next = pc + fixed_length<OP_EXECUTE>();
  if (!code) {
    counting_free(ex);
    *++sp = int_temp(0);
    istate.sp = sp;
    return next;
  }
  ex->prev = istate.execute_list;
  ex->saved_sp = sp;
  ex->frame = curr_frame;
  ex->mark = mark_temps(nullptr);
  ex->resume = next;
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
// Steps over any alignment filler.
inline uint8_t* skip_pads(uint8_t* p) {
  while (*p >= OP_PAD1 && *p <= OP_PAD7) p += inst_def[*p].length;
  return p;
}

// Collects the scalar operations that follow an element-wise operation at pc: pairs of a
// constant or a frame variable pushed and then + - * / < or >. ends[i] is the code after
// pair i. The operator driver decides how many of them it can apply.
int scan_element_tail(uint8_t* pc, Frame* f, ElementTail* tail, uint8_t** ends) {
  int n = 0;
  while (n < ElementTail::kMax) {
    uint8_t* p = skip_pads(pc);
    const Variable* v;
    if (*p == OP_PUSH_CONST)
      v = inst_const(p);
    else if (*p == OP_PUSH_CONST_REF)
      v = inst_const_ref(p);
    else if (*p == OP_PUSH_LOCAL)
      v = frame_var(f, inst_slot(p));
    else
      break;
    p += inst_def[*p].length;
    const int op = *p;
    if (op != OP_ADD && op != OP_SUB && op != OP_MUL && op != OP_DIV && op != OP_MIN && op != OP_MAX) break;
    tail->ops[n] = opcode_table(op);
    tail->operands[n] = v;
    pc = p + inst_def[op].length;
    ends[n] = pc;
    n++;
  }
  tail->n = n;
  return n;
}

inline bool long_array(const Variable* v) {
  return (v->flags & FLAG_ARRAY) && v->value.s.arr->n_elts >= kTailMinElements;
}

// The instruction after a user call that returned: the typed statement it came from
// may be replaced while the routine runs (a breakpoint stop), and then must not resume.
uint32_t return_generation(const Activation& act, const uint8_t* next) {
  return act.interactive && next >= act.code && next < act.code + STMT_CODE_SIZE ? g_statement_gen : 0;
}

// Calls a user routine with the arguments on top of the stack at istate.sp; returns the
// routine's first instruction, with its frame current. Inline: the plain call is hot.
[[gnu::always_inline]] inline uint8_t* enter_user(Activation& act, CodeBlock* r, int argc, const char** names,
                                                   uint8_t* next, bool fun) {
  istate.routine_called = r;
  istate.calling_function = fun;
  istate.resume_pc = next;
  Frame* caller = curr_frame;
  uint8_t* pc = call_user_proc(r, argc, names, next, istate.sp, fun, 0);
  caller->return_gen = return_generation(act, next);
  istate.routine_called = nullptr;
  istate.sp = curr_frame->stmt_sp;
  return pc;
}

// A call instruction in its general form: keywords, CALL_PROCEDURE/CALL_FUNCTION,
// system routines. The stack is at istate.sp on entry and on return; returns the next
// instruction (the called user routine's first one).
uint8_t* call_routine(Activation& act, uint8_t* pc) {
  const uint8_t op = *pc;
  Variable** sp = istate.sp;
  check_stack(sp);
  int argc = inst_argc(pc);
  uint32_t dlen = inst_desc_length(pc);
  void* routine = handle_ptr(inst_handle(pc));
  uint8_t* next = pc + call_inst_size(pc);
  bool fun = op == OP_CALL_SYSFUN || op == OP_CALL_USERFUN;
  bool sys = op == OP_CALL_SYSFUN || op == OP_CALL_SYSPRO;
  Variable** args = sp - argc + 1;
  const char* name_buf[64];
  const char** names = nullptr;
  bool first_is_keyword = false;
  if (dlen) {
    // Put the arguments in descriptor order, names beside them.
    const uint8_t* pos = call_positions(pc);
    Variable* moved[64];
    const char* p = call_names(pc);
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
    const RoutineEntry* e = fun ? is_sys_function(name) : is_procedure(name);
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
  istate.sp = sp;
  if (!sys) return enter_user(act, static_cast<CodeBlock*>(routine), argc, names, next, fun);

  const auto* e = static_cast<const RoutineEntry*>(routine);
  istate.routine_called = e;
  istate.calling_function = fun;
  istate.resume_pc = next;
  const RoutineEntry* outer = istate.current_sysroutine;
  istate.current_sysroutine = e;
  KwNames argk = names;
  uint8_t* ends[ElementTail::kMax];
  int applied = 0;
  if (fun) {
    Variable* r = nullptr;
    if (argc == 1 && !names && long_array(args[0])) {
      // An element-wise function of a long array: the scalar operations that follow go
      // with it, strip by strip.
      ElementTail tail;
      const UnOpTable* table;
      if (scan_element_tail(next, curr_frame, &tail, ends) &&
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
  istate.sp = sp;
  return applied ? ends[applied - 1] : next;
}

// PUSH_STRING's temporary: the characters in the code, or a copy of them when the
// instruction says so.
Variable* string_constant(uint8_t* pc) {
  uint32_t n = inst_string_length(pc);
  Variable* t = gettmp();
  t->type = TYP_STRING;
  t->value.str = StringDesc{0, 0, nullptr};
  if (!n) return t;
  char* chars = inst_string_chars(pc);
  if (inst_string_copied(pc)) {
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
  return t;
}

// The system variable an instruction names, as its own Variable.
Variable* sysvar_operand(uint8_t* pc, bool* read_only) {
  if (!interp_hooks.sysvar_variable) missing_feature("system variables not available");
  return interp_hooks.sysvar_variable(handle_ptr(inst_handle(pc)), read_only);
}

// STOP or RETALL outside an EXECUTE: ends the activation at the main level or in the
// stopped routine; returns where it stopped.
uint8_t* stop_or_retall(Activation& act, uint8_t* pc) {
  const uint8_t op = *pc;
  uint8_t* next = pc + inst_def[op].length;
  if (act.rec) message(M_CALLBACK_STOP, 0, MSG_LONGJMP);
  if (op == OP_RETALL) return_all(nullptr);
  Frame* f = curr_frame;
  Variable** sp = op == OP_RETALL ? f->stmt_sp : istate.sp;
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
// The fixed length of the instruction being run.
#define LEN(O) fixed_length<OP_##O>()
  // Opcodes that share a handler share their length where the handler relies on it.
  static_assert(LEN(JUMP_IF_FALSE) == LEN(JUMP_BACK_IF_FALSE) && LEN(FOR_NEXT) == LEN(FOR_NEXT_STEP) &&
                LEN(LINE) == LEN(LINE_BREAK));
  static_assert([] {
    for (int o = OP_ADD; o <= OP_GT; o++)
      if (inst_def[o].length != LEN(ADD)) return false;
    return true;
  }());

  Variable** sp = istate.sp;
  Frame* f = curr_frame;
  uint8_t op;
  for (;;) {
  by_switch:
    op = *pc;
    switch (op) {
      // PUSH_LOCAL slot: pushes the frame variable itself (by reference).
      case OP_PUSH_LOCAL:
      do_push_local:
        *++sp = frame_var(f, inst_slot(pc));
        pc += LEN(PUSH_LOCAL);
        NEXT();

      // PUSH_COMMON entry: pushes the common-block variable the unit's table entry names.
      case OP_PUSH_COMMON: {
        VarEntry* e = var_entry(f->routine, inst_slot(pc));
        *++sp = reinterpret_cast<Variable*>(reinterpret_cast<uint8_t*>(e->common->vars) + e->slot);
        pc += LEN(PUSH_COMMON);
        break;
      }

      // PUSH_PARAM n: pushes the variable the n-th parameter denotes.
      case OP_PUSH_PARAM:
      do_push_param:
        *++sp = f->params[inst_param(pc)];
        pc += LEN(PUSH_PARAM);
        NEXT();

      // LOAD_SYSVAR: pushes a temporary copy of a system variable.
      case OP_LOAD_SYSVAR:
        istate.sp = sp;
        *++sp = interp_hooks.load_sysvar(handle_ptr(inst_handle(pc)));
        pc += LEN(LOAD_SYSVAR);
        break;

      // LOAD_SUBSCRIPTED, LOAD_SYSVAR_SUBSCRIPTED: replaces the subscripts (and the
      // variable) by the selected elements.
      case OP_LOAD_SUBSCRIPTED:
      case OP_LOAD_SYSVAR_SUBSCRIPTED: {
        int n = inst_subs_count(pc), codes = inst_subs_codes(pc);
        Variable* var;
        if (op == OP_LOAD_SUBSCRIPTED) {
          var = *sp--;
        } else {
          bool ro = false;
          var = interp_hooks.sysvar_variable ? interp_hooks.sysvar_variable(handle_ptr(inst_handle(pc)), &ro)
                                             : interp_hooks.load_sysvar(handle_ptr(inst_handle(pc)));
          if (!(var->flags & FLAG_ARRAY)) var_error(M_NOT_ARRAY, var, MSG_LONGJMP);
        }
        istate.sp = sp;
        Variable* r = subscript_load(var, n, codes, sp);
        sp -= subscript_operands(n, codes);
        *++sp = r;
        pc += inst_def[op].length;
        break;
      }

      // STORE: pops the variable and the value and copies the value in. A numeric
      // scalar temporary into a plain scalar variable takes a short way.
      case OP_STORE:
      do_store: {
        Variable* var = sp[0];
        Variable* value = sp[-1];
        sp -= 2;
        if (value->flags == FLAG_TEMPORARY && var->flags == 0 && static_cast<unsigned>(value->type - 1) < 6u) {
          // What var_copy does, without its general checks.
          var->type = value->type;
          std::memcpy(&var->value, &value->value, 8);  // all a numeric scalar has
          freetmp(value);
          pc = skip_pad(pc + LEN(STORE));
          NEXT();
        }
        if (var->flags & FLAG_UNNAMED) var_error(M_STORE_EXPR, var, MSG_LONGJMP);
        var_copy(value, var);
        pc += LEN(STORE);
        NEXT();
      }

      // STORE_SYSVAR: pops a value into a system variable (its owner checks it).
      case OP_STORE_SYSVAR: {
        Variable* value = *sp--;
        istate.sp = sp;
        interp_hooks.store_sysvar(handle_ptr(inst_handle(pc)), value);
        release(value);
        pc += LEN(STORE_SYSVAR);
        break;
      }

      // STORE_SUBSCRIPTED, STORE_SYSVAR_SUBSCRIPTED: stores the value into the elements
      // the subscripts select; pops all.
      case OP_STORE_SUBSCRIPTED:
      case OP_STORE_SYSVAR_SUBSCRIPTED: {
        int n = inst_subs_count(pc), codes = inst_subs_codes(pc);
        Variable* var;
        if (op == OP_STORE_SUBSCRIPTED) {
          var = *sp--;
          if (var->flags & FLAG_UNNAMED) var_error(M_STORE_EXPR, var, MSG_LONGJMP);
        } else {
          bool ro = false;
          var = sysvar_operand(pc, &ro);
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

      // PUSH_CONST: pushes the constant held in the instruction; PUSH_CONST_REF an
      // equal one held earlier in the unit.
      case OP_PUSH_CONST:
      do_push_const:
        *++sp = inst_const(pc);
        pc += LEN(PUSH_CONST);
        NEXT();
      case OP_PUSH_CONST_REF:
        *++sp = inst_const_ref(pc);
        pc += LEN(PUSH_CONST_REF);
        break;

      // PUSH_STRING: pushes a string temporary of the characters that follow.
      case OP_PUSH_STRING:
        *++sp = string_constant(pc);
        pc += string_inst_size(pc);
        break;

      // ADD .. GT (but MIN, MAX, POWER, MOD, XOR): replaces the top two by the result.
      // Two scalars take the scalar kernel; "x = a OP b" into a plain scalar variable
      // stores straight into x. A long array takes the scalar operations that follow
      // with it.
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
          uint8_t* next = skip_pad(pc + LEN(ADD));
          uint8_t* store = next + LEN(PUSH_LOCAL);
          Variable* dst;
          if (*next == OP_PUSH_LOCAL && *store == OP_STORE && (dst = frame_var(f, inst_slot(next)))->flags == 0) {
            // The value is complete before the variable changes, so x may be an operand.
            if (l->flags & FLAG_TEMPORARY) freetmp(l);
            if (r->flags & FLAG_TEMPORARY) freetmp(r);
            scalar::put_result(dst, res);
            sp -= 2;
            pc = skip_pad(store + LEN(STORE));
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
        uint8_t* next = pc + LEN(ADD);
        if (long_array(l) || long_array(r)) {
          ElementTail tail;
          uint8_t* ends[ElementTail::kMax];
          if (scan_element_tail(next, f, &tail, ends)) {
            int applied = 0;
            Variable* out = vek_binop_tail(opcode_table(op), l, r, tail, &applied);
            *--sp = out;
            pc = applied ? ends[applied - 1] : next;
            NEXT();
          }
        }
        *--sp = binop(op, l, r);
        pc = next;
        NEXT();
      }

      // MIN, MAX, POWER, MOD, XOR, MATRIX_MULTIPLY: the general operator.
      case OP_MIN:
      case OP_MAX:
      case OP_POWER:
      case OP_MOD:
      case OP_XOR:
      case OP_MATRIX_MULTIPLY: {
        Variable* r = sp[0];
        Variable* l = sp[-1];
        istate.sp = sp;
        *--sp = binop(op, l, r);
        pc += inst_def[op].length;
        break;
      }

      // NEGATE, NOT: replaces the top by the result.
      case OP_NEGATE:
      case OP_NOT:
        istate.sp = sp;
        *sp = uop_for_opcode(op, *sp);
        pc += inst_def[op].length;
        break;

      // SUBSCRIPT_EXPR: subscripts an expression's value (below its subscripts).
      case OP_SUBSCRIPT_EXPR: {
        int n = inst_subs_count(pc), codes = inst_subs_codes(pc);
        int k = subscript_operands(n, codes);
        Variable* value = sp[-k];
        istate.sp = sp;
        Variable* r = subscript_load(value, n, codes, sp);
        sp -= k;
        *sp = r;
        pc += LEN(SUBSCRIPT_EXPR);
        break;
      }

      // JUMP: forward. JUMP_BACK: backward, a point where an interrupt stops the run.
      case OP_JUMP:
      do_jump:
        pc += inst_offset(pc);
        NEXT();
      case OP_JUMP_BACK:
        count_step();
        if (int_interrupt == IR_INTERRUPT) {
          istate.sp = sp;
          traceback("Interrupted at:", 0, 1, 0);
          return record_stop(pc);
        }
        pc -= inst_offset(pc);
        break;

      // JUMP_IF_FALSE, JUMP_BACK_IF_FALSE: pops a condition and branches when false.
      case OP_JUMP_IF_FALSE:
      case OP_JUMP_BACK_IF_FALSE:
      do_jump_if_false: {
        Variable* v = *sp--;
        bool t = condition_true(v);
        release(v);
        if (t) {
          pc += LEN(JUMP_IF_FALSE);
        } else if (op == OP_JUMP_IF_FALSE) {
          pc += inst_offset(pc);
        } else {
          count_step();
          if (int_interrupt == IR_INTERRUPT) {
            istate.sp = sp;
            traceback("Interrupted at:", 0, 1, 0);
            return record_stop(pc - inst_offset(pc));
          }
          pc -= inst_offset(pc);
        }
        NEXT();
      }

      // LINE, SOURCE and their breakpoint forms: a statement begins. Reports waiting
      // math errors, records the position, and stops for an interrupt, a step or a
      // breakpoint.
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
        pc += (op == OP_LINE || op == OP_LINE_BREAK) ? LEN(LINE) : source_inst_size(pc);
        NEXT();
      }

      // ASSIGN_EXPR n: an assignment used as an expression: a copy of the value goes
      // below its n subscripts, to stay when the store has consumed the rest.
      case OP_ASSIGN_EXPR: {
        int n = inst_count(pc);
        Variable* copy = duplicate(*sp);
        Variable** below = sp - n;  // the first subscript value, or the value itself
        for (Variable** p = sp; p >= below; p--) p[1] = p[0];
        *below = copy;
        sp++;
        pc += LEN(ASSIGN_EXPR);
        break;
      }

      // FOR_INIT, FOR_INIT_STEP: sets the loop variable, keeps the bounds in the
      // instruction and skips the loop when it runs zero times.
      case OP_FOR_INIT:
      case OP_FOR_INIT_STEP:
        istate.sp = sp;
        pc = for_init(pc, sp);
        sp = istate.sp;
        break;

      // FOR_NEXT, FOR_NEXT_STEP: steps the variable and loops back to the body, or
      // leaves; a backward branch, so an interrupt stops here.
      case OP_FOR_NEXT:
      case OP_FOR_NEXT_STEP:
      do_for_next: {
        uint8_t* body;
        uint8_t* init = pc - inst_offset(pc);
        Variable* var = for_variable(init);
        if (!var || !for_next_long(init, var, &body)) [[unlikely]]
          body = for_next(pc);
        if (!body) {
          pc += LEN(FOR_NEXT);
        } else {
          count_step();
          if (int_interrupt == IR_INTERRUPT) {
            istate.sp = sp;
            traceback("Interrupted at:", 0, 1, 0);
            return record_stop(body);
          }
          pc = body;
        }
        NEXT();
      }

      // CASE_TEST: compares the selector with the label; on a match pops both and
      // enters the branch, else pops the label and jumps to the next test.
      case OP_CASE_TEST: {
        Variable* label = *sp--;
        if (case_matches(*sp, label)) {
          release(*sp--);
          pc += LEN(CASE_TEST);
        } else {
          pc += inst_offset(pc);
        }
        break;
      }

      // CASE_NOMATCH: no label matched and there is no ELSE.
      case OP_CASE_NOMATCH: message(M_CASE_NO_MATCH, 0, MSG_LONGJMP); break;

      // POP: drops the top of the stack.
      case OP_POP:
        release(*sp--);
        pc += LEN(POP);
        break;

      // CONCATENATE: replaces the top n values by their concatenation at the level.
      case OP_CONCATENATE: {
        int n = inst_concat_count(pc);
        istate.sp = sp;
        Variable** ops = sp - n + 1;
        Variable* r = con(n, ops, inst_concat_level(pc));
        for (int i = 0; i < n; i++) release(ops[i]);
        sp -= n;
        *++sp = r;
        pc += LEN(CONCATENATE);
        break;
      }

      // CALL_USERFUN, CALL_USERPRO without keywords: straight to the routine's frame.
      // With keywords, or a routine yet to be found, the general call below.
      case OP_CALL_USERFUN:
      case OP_CALL_USERPRO:
      do_call_user: {
        auto* r = static_cast<CodeBlock*>(handle_ptr(inst_handle(pc)));
        if (inst_desc_length(pc) || !r) goto call_general;
        check_stack(sp);
        istate.sp = sp;
        pc = enter_user(act, r, inst_argc(pc), nullptr, pc + call_inst_size(pc), op == OP_CALL_USERFUN);
        f = curr_frame;
        sp = istate.sp;
        NEXT();
      }

      // CALL_SYSFUN, CALL_SYSPRO: a system routine with the argument vector and the
      // keyword names; a function's result replaces its arguments.
      case OP_CALL_SYSFUN:
      case OP_CALL_SYSPRO:
      call_general:
        istate.sp = sp;
        pc = call_routine(act, pc);
        f = curr_frame;
        sp = istate.sp;
        break;

      // RETURN, IMPLICIT_RETURN: leaves the routine (a function without RETURN returns
      // 0); ends a callback when it returns to the activation's first frame.
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

      // STOP n: prints its n values (else a traceback) and stops. RETALL: returns to
      // the main level. Inside an EXECUTE both just end the string.
      case OP_STOP:
      case OP_RETALL: {
        istate.sp = sp;
        if (op == OP_STOP) {
          int n = inst_count(pc);
          if (n) {
            interp_hooks.print(n, sp - n + 1);
            for (int i = 0; i < n; i++) release(sp[-i]);
            sp -= n;
            istate.sp = sp;
          } else {
            traceback("Stop encountered:", 0, 1, 0);
          }
        }
        if (istate.execute_list != act.exec_base) {
          pc = finish_execute(sp, true);
          sp = istate.sp;
          break;
        }
        return stop_or_retall(act, pc);
      }

      // EXECUTE: compiles the string on the stack and runs it in this frame; leaves 1
      // (ran to its end) or 0 (did not compile, or failed).
      case OP_EXECUTE:
        istate.sp = sp;
        pc = start_execute(pc, sp);
        sp = istate.sp;
        break;

      // STRUCT_BASE and its system-variable and subscripted forms: opens a structure
      // reference on the variable (or on the selected elements); tags extend it.
      case OP_STRUCT_BASE:
      case OP_SYSVAR_STRUCT_BASE:
      case OP_STRUCT_BASE_SUBSCRIPTED:
      case OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED: {
        int n = 0, codes = 0;
        if (op == OP_STRUCT_BASE_SUBSCRIPTED || op == OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED) {
          n = inst_subs_count(pc);
          codes = inst_subs_codes(pc);
        }
        Variable* var;
        bool ro = false;
        if (op == OP_STRUCT_BASE || op == OP_STRUCT_BASE_SUBSCRIPTED) {
          var = *sp--;
        } else {
          var = sysvar_operand(pc, &ro);
          if (n && !(var->flags & FLAG_ARRAY)) var_error(M_NOT_ARRAY, var, MSG_LONGJMP);
        }
        int popped = 0;
        istate.sp = sp;
        struct_ref(var, n, codes, sp, &popped, ro);
        sp -= popped;
        pc += inst_def[op].length;
        break;
      }

      // TAG, TAG_SUBSCRIPTED: extends the open reference by a tag (named, or a tag
      // number from the stack), subscripted in the second form.
      case OP_TAG:
      case OP_TAG_SUBSCRIPTED: {
        int n = 0, codes = 0;
        if (op == OP_TAG_SUBSCRIPTED) {
          n = inst_subs_count(pc);
          codes = inst_subs_codes(pc);
        }
        int popped = 0;
        istate.sp = sp;
        auto* tag = static_cast<IdentEntry*>(handle_ptr(inst_handle(pc)));
        struct_tag_ref(tag, n, codes, sp, &popped);
        sp -= popped;
        pc += inst_def[op].length;
        break;
      }

      // FETCH_TAGS: closes the reference and pushes the value it selects.
      case OP_FETCH_TAGS:
        istate.sp = sp;
        *++sp = fetch_struct();
        pc += LEN(FETCH_TAGS);
        break;

      // STORE_TAGS: closes the reference and stores the popped value into it.
      case OP_STORE_TAGS: {
        Variable* value = *sp--;
        istate.sp = sp;
        store_struct(value);
        pc += LEN(STORE_TAGS);
        break;
      }

      // MAKE_STRUCT k: an anonymous structure of the top k values with the tags in the
      // instruction. MAKE_NAMED_STRUCT k: one of the named definition (k 0: a zeroed
      // instance of it).
      case OP_MAKE_STRUCT:
      case OP_MAKE_NAMED_STRUCT: {
        int k = inst_count(pc);
        istate.sp = sp;
        Variable* r;
        if (op == OP_MAKE_STRUCT) {
          IdentEntry* tags[256];
          for (int i = 0; i < k; i++) tags[i] = static_cast<IdentEntry*>(handle_ptr(inst_tag_handle(pc, i)));
          r = make_struc(sp, k, nullptr, tags, true, false);
        } else {
          r = make_struc(sp, k, static_cast<IdentEntry*>(handle_ptr(inst_handle(pc))), nullptr, true, k > 0);
        }
        sp -= k;
        *++sp = r;
        pc += inst_size(pc);
        break;
      }

      // SET_IOERROR, SET_IOERROR_BACK: sets (offset 0: cancels) the frame's ON_IOERROR
      // target.
      case OP_SET_IOERROR:
      case OP_SET_IOERROR_BACK: {
        uint16_t off = inst_offset(pc);
        f->ioerror_target = off == 0 ? nullptr : (op == OP_SET_IOERROR ? pc + off : pc - off);
        pc += inst_def[op].length;
        break;
      }

      // END: the code ran to its end (an EXECUTE string returns to its caller).
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

      // PAD1 .. PAD7: alignment filler.
      case OP_PAD1:
      case OP_PAD2:
      case OP_PAD3:
      case OP_PAD4:
      case OP_PAD5:
      case OP_PAD6:
      case OP_PAD7:
      do_pad:
        pc += inst_def[op].length;
        NEXT();

      default: {
        uint32_t at = f->routine && f->routine->code && pc >= f->routine->code ? static_cast<uint32_t>(pc - f->routine->code) : 0;
        istate.sp = sp;
        message(M_UNKNOWN_INSTRUCTION, 0, MSG_LONGJMP, static_cast<unsigned>(op), at);
      }
    }
  }
#undef LEN
#undef NEXT
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
