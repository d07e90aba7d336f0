// Semantic actions of expressions: operators, constants, variable references and
// structure tags, calls with their keyword descriptors, subscripts, array and
// structure constructors, and assignments.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>
#include <vector>

#include "base/message.h"
#include "compiler/actions.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "compiler/routine_table.h"

// ---- Emission helpers ---------------------------------------------------------------

void comp_error(int code, ...) {
  va_list ap;
  va_start(ap, code);
  try {
    vscnerr(code, 0, MSG_CONTINUE, ap);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

int32_t emit(const uint8_t* inst, uint32_t len) {
  uint32_t off = enter_inst(inst, len, c_prog);
  return cstate.last_emit_ok ? static_cast<int32_t>(off) : -1;
}

int32_t emit_op(uint8_t op) {
  uint8_t inst[8] = {op};
  return emit(inst, inst_def[op].length);
}

int32_t emit_u16(uint8_t op, uint16_t operand, uint8_t byte1) {
  uint8_t inst[4] = {op, byte1};
  put_u16(inst, operand);
  return emit(inst, 4);
}

int32_t emit_word(uint8_t op, uint32_t word, uint8_t byte1, uint16_t u16) {
  uint8_t inst[8] = {op, byte1};
  put_u16(inst, u16);
  put_word(inst, word);
  return emit(inst, 8);
}

void patch_forward(int32_t at) {
  if (at < 0) return;
  put_u16(c_prog->code + at, static_cast<uint16_t>(c_prog->code_len - static_cast<uint32_t>(at)));
}

void emit_int_constant(int16_t value) {
  Variable v{};
  v.type = TYP_INT;
  v.value.i = value;
  emit_constant(v, c_prog, cstate.const_pool);
}

// ---- Variables -------------------------------------------------------------------------

namespace {

bool default_frame_fits(uint32_t n_vars, uint32_t n_params) {
  return VAR_SLOT_SIZE * n_vars + 8 * n_params + 156 < 6400;
}

// The variable-table entry of a name, giving a new variable the next frame slot.
VarEntry* variable_entry(IdentEntry* id) {
  uint32_t at = looksym(id, c_prog, true);
  if (!at) return nullptr;
  VarEntry* e = var_entry(c_prog, at);
  if (e->slot == SLOT_UNASSIGNED && !e->common) {
    auto fits = compiler_hooks.frame_fits ? compiler_hooks.frame_fits : default_frame_fits;
    if (!fits(c_prog->n_vars + 1, c_prog->n_params)) comp_error(M_TOO_MANY_LOCALS);
    e->slot = static_cast<uint16_t>(c_prog->n_vars * VAR_SLOT_SIZE);
    c_prog->n_vars++;
    if (compiler_hooks.new_variable) {
      if (int code = compiler_hooks.new_variable(c_prog, e->slot)) {
        // Refused for a running unit: its live frames have no such slot, so the unit
        // must not count it (returning from those frames clears n_vars slots).
        c_prog->n_vars--;
        e->slot = SLOT_UNASSIGNED;
        comp_error(code);
      }
    }
  }
  return e;
}

}  // namespace

void sem_lval(const ScanBlock* lv, int mode) {
  if (lv->kind == K_STRUCT) {
    if (mode == 0) emit_op(OP_FETCH_TAGS);
    if (mode == 1) emit_op(OP_STORE_TAGS);
    return;
  }
  IdentEntry* id = lv->ident;
  if (!id) return;
  int n = lv->nsubs;
  if (id->name[0] == '!') {
    void* sv = compiler_hooks.find_sysvar ? compiler_hooks.find_sysvar(id) : nullptr;
    if (!sv) {
      comp_error(M_BAD_SYSVAR_NAME, id->name);
      return;
    }
    static constexpr uint8_t plain[3] = {OP_LOAD_SYSVAR, OP_STORE_SYSVAR, OP_SYSVAR_STRUCT_BASE};
    static constexpr uint8_t subscripted[3] = {OP_LOAD_SYSVAR_SUBSCRIPTED, OP_STORE_SYSVAR_SUBSCRIPTED,
                                               OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED};
    emit_word(n ? subscripted[mode] : plain[mode], code_handle(sv), static_cast<uint8_t>(n), lv->codes);
    return;
  }
  VarEntry* e = variable_entry(id);
  if (!e) return;
  if (e->common) {
    emit_u16(OP_PUSH_COMMON, static_cast<uint16_t>(reinterpret_cast<uint8_t*>(e) - c_prog->data));
  } else if (e->slot < c_prog->n_params * VAR_SLOT_SIZE) {
    uint8_t inst[2] = {OP_PUSH_PARAM, static_cast<uint8_t>(e->slot / VAR_SLOT_SIZE)};
    emit(inst, 2);
  } else {
    emit_u16(OP_PUSH_LOCAL, e->slot);
  }
  static constexpr uint8_t subscripted[3] = {OP_LOAD_SUBSCRIPTED, OP_STORE_SUBSCRIPTED, OP_STRUCT_BASE_SUBSCRIPTED};
  if (n) emit_u16(subscripted[mode], lv->codes, static_cast<uint8_t>(n));
  else if (mode == 1) emit_op(OP_STORE);
  else if (mode == 2) emit_op(OP_STRUCT_BASE);
}

void rul_id(int, ScanBlock* top, ScanBlock* res) {
  if (!top->ident) res->ident = ident_hash(top->tok.text, top->tok.length, 0, MSG_LONGJMP);
}

void rul_keyword(int rule, ScanBlock* top, ScanBlock* res) { rul_id(rule, top, res); }

void rul_lval1_1(int, ScanBlock*, ScanBlock* res) {
  res->kind = K_VAR;
  res->nsubs = 0;
  res->codes = 0;
}

void rul_lval1_2(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* id = rhs_block(top, 4, 0);
  ScanBlock* subs = rhs_block(top, 4, 2);
  res->ident = id->ident;
  res->nsubs = subs->nsubs;
  res->codes = subs->codes;
  res->kind = K_VAR;
}

void rul_lval2(int, ScanBlock* top, ScanBlock* res) {
  sem_lval(top, 2);
  res->kind = K_STRUCT;
}

void rul_lval3_1(int, ScanBlock* top, ScanBlock*) {
  uint32_t tag = code_handle(top->ident);
  if (top->nsubs) emit_word(OP_TAG_SUBSCRIPTED, tag, top->nsubs, top->codes);
  else emit_word(OP_TAG, tag);
}

void rul_lval3_2(int, ScanBlock*, ScanBlock*) { emit_word(OP_TAG, 0); }

void rul_lval3_3(int, ScanBlock* top, ScanBlock*) {
  ScanBlock* subs = rhs_block(top, 6, 4);
  emit_word(OP_TAG_SUBSCRIPTED, 0, subs->nsubs, subs->codes);
}

void rul_ltags_1(int, ScanBlock*, ScanBlock* res) {
  res->kind = K_STRUCT;
  res->ident = nullptr;
  res->nsubs = 0;
  res->codes = 0;
}

void rul_fact1(int, ScanBlock* top, ScanBlock* res) {
  sem_lval(top, 0);
  res->kind = K_NONE;
}

// ---- Assignments -----------------------------------------------------------------------

void rul_assign(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* lv = rhs_block(top, 3, 0);
  res->kind = lv->kind;
  res->ident = lv->ident;
  res->nsubs = lv->nsubs;
  res->codes = lv->codes;
}

void rul_stmt_assign(int, ScanBlock* top, ScanBlock* res) {
  sem_lval(top, 1);
  res->kind = K_NONE;
  res->flags = 0;
}

void rul_expr_assign(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* asg = rhs_block(top, 3, 1);
  uint8_t inst[2] = {OP_ASSIGN_EXPR, static_cast<uint8_t>(asg->kind == K_VAR ? asg->nsubs : 0)};
  emit(inst, 2);
  sem_lval(asg, 1);
  res->kind = K_NONE;
}

// ---- Operators and constants ---------------------------------------------------------------

void rul_binop(int, ScanBlock* top, ScanBlock*) {
  static const struct {
    const char* text;
    uint8_t op;
  } ops[] = {{"+", OP_ADD},   {"-", OP_SUB},   {"*", OP_MUL},   {"/", OP_DIV}, {"<", OP_MIN}, {">", OP_MAX},
             {"^", OP_POWER}, {"MOD", OP_MOD}, {"AND", OP_AND}, {"OR", OP_OR}, {"XOR", OP_XOR}, {"EQ", OP_EQ},
             {"NE", OP_NE},   {"LE", OP_LE},   {"LT", OP_LT},   {"GE", OP_GE}, {"GT", OP_GT}, {"#", OP_MATRIX_MULTIPLY}};
  const char* text = rhs_block(top, 3, 1)->tok.value.word;
  for (const auto& o : ops) {
    if (std::strcmp(text, o.text) == 0) {
      emit_op(o.op);
      return;
    }
  }
  comp_error(M_ILLEGAL_OPERATOR);
}

void rul_uop(int, ScanBlock* top, ScanBlock* res) {
  const char* text = rhs_block(top, 2, 0)->tok.value.word;
  if (std::strcmp(text, "-") == 0) emit_op(OP_NEGATE);
  else if (std::strcmp(text, "NOT") == 0) emit_op(OP_NOT);
  else if (std::strcmp(text, "+") != 0) comp_error(M_ILLEGAL_OPERATOR);
  res->kind = K_NONE;
}

void rul_fact2(int, ScanBlock* top, ScanBlock*) {
  Variable v{};
  v.type = static_cast<uint8_t>(top->tok.type);
  const TokenValue& t = top->tok.value;
  switch (v.type) {
    case TYP_BYTE: v.value.c = t.c; break;
    case TYP_INT: v.value.i = t.i; break;
    case TYP_LONG: v.value.l = t.l; break;
    case TYP_FLOAT: v.value.f = t.f; break;
    case TYP_DOUBLE: v.value.d = t.d; break;
    default: break;
  }
  emit_constant(v, c_prog, cstate.const_pool);
}

void rul_fact5(int, ScanBlock* top, ScanBlock*) {
  // String constants of routines point into the code; elsewhere they are copied,
  // because interactive code is freed as soon as it has run.
  uint8_t copy = (!unit_state.in_routine || cstate.single_stmt) ? 1 : 0;
  const char* s = top->tok.value.str;
  int n = top->tok.length;
  int done = 0;
  do {
    int k = std::min(n - done, 255);
    uint8_t inst[262] = {OP_PUSH_STRING, static_cast<uint8_t>(k), copy};
    if (k) std::memcpy(inst + 3, s + done, static_cast<size_t>(k));
    inst[3 + k] = 0;
    emit(inst, (static_cast<uint32_t>(k) + 5u) & ~1u);
    if (done) emit_op(OP_ADD);  // longer texts are joined from pieces
    done += k;
  } while (done < n);
}

void rul_fact7(int, ScanBlock* top, ScanBlock*) {
  ScanBlock* subs = rhs_block(top, 6, 4);
  emit_u16(OP_SUBSCRIPT_EXPR, subs->codes, subs->nsubs);
}

// ---- Calls ------------------------------------------------------------------------------------

namespace {

struct KwArg {
  const char* name;
  int pos;
  KwArg* next;
};

constexpr int kMaxArgs = 63;
constexpr int kMaxDescriptor = 512;

void add_keyword(ScanBlock* plist, IdentEntry* name, int pos) {
  auto* k = static_cast<KwArg*>(parse_malloc(sizeof(KwArg)));
  // _EXTRA travels as "0", which sorts before every keyword name.
  k->name = std::strcmp(name->name, "_EXTRA") == 0 ? "0" : name->name;
  k->pos = pos;
  k->next = static_cast<KwArg*>(plist->list);
  plist->list = k;
}

void emit_call(uint8_t op, uint32_t routine, const ScanBlock* plist, const char* name, const RoutineEntry* sys) {
  int n = plist ? plist->count : 0;
  std::vector<const KwArg*> kws;
  for (auto* k = plist ? static_cast<const KwArg*>(plist->list) : nullptr; k; k = k->next) kws.push_back(k);
  std::reverse(kws.begin(), kws.end());
  if (n > kMaxArgs) return;  // -18 has been reported
  int npos = n - static_cast<int>(kws.size());
  if (sys) {
    if (npos < sys->min() || npos > sys->max_args) comp_error(M_WRONG_ARG_COUNT, name);
    if (!kws.empty() && !sys->accepts_keywords()) comp_error(M_NO_KEYWORDS);
  }
  std::vector<uint8_t> inst(8, 0);
  inst[0] = op;
  inst[1] = static_cast<uint8_t>(n);
  put_word(inst.data(), routine);
  if (!kws.empty()) {
    std::stable_sort(kws.begin(), kws.end(), [](const KwArg* a, const KwArg* b) { return std::strcmp(a->name, b->name) < 0; });
    std::vector<bool> is_kw(static_cast<size_t>(n), false);
    for (const KwArg* k : kws) is_kw[static_cast<size_t>(k->pos)] = true;
    for (int i = 0; i < n; i++)
      if (!is_kw[static_cast<size_t>(i)]) inst.push_back(static_cast<uint8_t>(i));
    for (const KwArg* k : kws) inst.push_back(static_cast<uint8_t>(k->pos));
    for (int i = 0; i < npos; i++) inst.push_back(0);
    for (const KwArg* k : kws) inst.insert(inst.end(), k->name, k->name + std::strlen(k->name) + 1);
    if (inst.size() & 1) inst.push_back(0);
    size_t desc = inst.size() - 8;
    if (desc >= kMaxDescriptor) {
      comp_error(M_TOO_MANY_KEYWORDS);
      return;
    }
    put_u16(inst.data(), static_cast<uint16_t>(desc));
  }
  emit(inst.data(), static_cast<uint32_t>(inst.size()));
}

int keyword_count(const ScanBlock* plist) {
  int n = 0;
  for (auto* k = plist ? static_cast<const KwArg*>(plist->list) : nullptr; k; k = k->next) n++;
  return n;
}

}  // namespace

void rul_plistel1(int, ScanBlock*, ScanBlock* res) { res->flags &= static_cast<uint8_t>(~SB_KEYWORD); }

void rul_plistel2(int, ScanBlock* top, ScanBlock* res) {
  IdentEntry* kw = rhs_block(top, 3, 0)->ident;
  res->ident = kw;
  res->flags |= SB_KEYWORD;
}

void rul_plistel3(int, ScanBlock* top, ScanBlock* res) {
  if (std::strcmp(rhs_block(top, 2, 0)->tok.value.word, "/") != 0) comp_error(M_SYNTAX);
  emit_int_constant(1);
  res->flags |= SB_KEYWORD;
}

void rul_plist2(int, ScanBlock* top, ScanBlock* res) {
  bool kw = top->flags & SB_KEYWORD;
  IdentEntry* name = top->ident;
  res->count = 1;
  res->list = nullptr;
  if (kw) add_keyword(res, name, 0);
}

void rul_plist1(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* pl = rhs_block(top, 3, 0);
  bool kw = top->flags & SB_KEYWORD;
  IdentEntry* name = top->ident;
  int pos = pl->count;
  res->list = pl->list;
  res->count = pos + 1;
  if (pos == kMaxArgs) comp_error(M_TOO_MANY_TAGS);
  if (kw && pos <= kMaxArgs) add_keyword(res, name, pos);
}

void rul_fact4(int rule, ScanBlock* top, ScanBlock* res) {
  int n = rule == 36 ? 4 : 3;
  ScanBlock* func = rhs_block(top, n, 0);
  ScanBlock* plist = rule == 36 ? rhs_block(top, n, 2) : nullptr;
  if (func->tok.length == 1) {
    int idx = func->tok.value.sysfun;
    const RoutineEntry* r =
        sys_fun_table && idx >= 0 && idx < static_cast<int>(sys_fun_table->count) ? sys_fun_table->entries[idx] : nullptr;
    if (!r) {
      comp_error(M_SYNTAX);
    } else if (std::strcmp(r->name, "EXECUTE") == 0) {
      if (plist && plist->count == 1 && keyword_count(plist) == 0) emit_op(OP_EXECUTE);
      else comp_error(M_WRONG_ARG_COUNT, "EXECUTE");
    } else {
      emit_call(OP_CALL_SYSFUN, code_handle(r), plist, r->name, r);
    }
  } else {
    CodeBlock* f = func->tok.value.ufun;
    emit_call(OP_CALL_USERFUN, code_handle(f), plist, f ? f->name_str() : "CALL_FUNCTION", nullptr);
  }
  res->kind = K_NONE;
  res->flags = 0;
  res->list = nullptr;
}

namespace {

void rul_callx(ScanBlock* id, ScanBlock* plist) {
  const char* name = id->ident ? id->ident->name : "";
  int n = plist ? plist->count : 0;
  int nkw = keyword_count(plist);
  if (std::strcmp(name, "RETURN") == 0 || std::strcmp(name, "RETALL") == 0 || std::strcmp(name, "STOP") == 0) {
    if (nkw) comp_error(M_NO_KEYWORDS);
    if (name[3] == 'U') {  // RETURN
      if (c_prog->is_function() && n != 1) comp_error(M_FUNC_RETURN);
      if (!c_prog->is_function() && n != 0) comp_error(M_PROC_RETURN);
      emit_op(OP_RETURN);
    } else if (name[3] == 'A') {  // RETALL
      if (n) comp_error(M_WRONG_ARG_COUNT, "RETALL");
      emit_op(OP_RETALL);
    } else {
      uint8_t inst[2] = {OP_STOP, static_cast<uint8_t>(n)};
      emit(inst, 2);
    }
    return;
  }
  if (std::strcmp(name, "CALL_PROCEDURE") == 0) {
    emit_call(OP_CALL_USERPRO, 0, plist, name, nullptr);
    return;
  }
  if (const RoutineEntry* r = is_procedure(name)) {
    emit_call(OP_CALL_SYSPRO, code_handle(r), plist, r->name, r);
    return;
  }
  CodeBlock* p = enter_proc_name(id->ident, &uprotab);
  emit_call(OP_CALL_USERPRO, code_handle(p), plist, name, nullptr);
}

}  // namespace

void rul_call1(int, ScanBlock* top, ScanBlock* res) {
  rul_callx(top, nullptr);
  res->kind = K_NONE;
  res->flags = 0;
}

void rul_call2(int, ScanBlock* top, ScanBlock* res) {
  rul_callx(rhs_block(top, 3, 0), top);
  res->kind = K_NONE;
  res->flags = 0;
  res->list = nullptr;
}

// ---- Subscripts -------------------------------------------------------------------------------

void rul_subsexpr1(int, ScanBlock* top, ScanBlock* res) {
  if (std::strcmp(top->tok.value.word, "*") != 0) comp_error(M_SYNTAX);
  res->flags |= SB_STAR;
}

void rul_subsexpr2(int, ScanBlock*, ScanBlock* res) { res->flags &= static_cast<uint8_t>(~SB_STAR); }

void rul_subsel1(int, ScanBlock* top, ScanBlock* res) { res->codes = (top->flags & SB_STAR) ? 1 : 0; }

void rul_subsel2(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* first = rhs_block(top, 3, 0);
  if (first->flags & SB_STAR) comp_error(M_STAR_N_SUBSCRIPT);
  res->codes = (top->flags & SB_STAR) ? 3 : 2;
}

void rul_subslist1(int, ScanBlock*, ScanBlock* res) { res->nsubs = 1; }

void rul_subslist2(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* list = rhs_block(top, 3, 0);
  uint16_t code = top->codes;
  int n = list->nsubs;
  if (n == 7) comp_error(M_SEVEN_SUBSCRIPTS);
  res->codes = static_cast<uint16_t>(code + 4 * list->codes);
  res->nsubs = static_cast<uint8_t>(std::min(n + 1, 7));
}

// ---- Array constructors ----------------------------------------------------------------------

void rul_conleft(int, ScanBlock*, ScanBlock* res) {
  cstate.bracket_depth++;
  res->count = 0;
}

void rul_conelz2(int, ScanBlock*, ScanBlock* res) {
  res->count = 1;
  res->level = 0;
  res->off = -1;
}

// A bracketed array that is itself an element of a constructor. With one element it
// builds nothing: it only raises the level of the enclosing concatenation.
void rul_conelz1(int, ScanBlock* top, ScanBlock* res) {
  if (top->off2 == 1 && top->off >= 0 && static_cast<uint32_t>(top->off) + 3 == c_prog->code_len &&
      c_prog->code[top->off] == OP_CONCATENATE)
    c_prog->code_len -= 3;
  res->count = 1;
}

void rul_conlist1(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* list = rhs_block(top, 3, 0);
  int count = list->count;
  if (count >= 90) {
    comp_error(M_CONCAT_OPERANDS);
    count = 0;
  }
  int level = std::min(list->level, top->level);
  if (level >= 4) {
    comp_error(M_CONCAT_LEVELS);
    level = 1;
  }
  res->count = count + 1;
  res->level = level;
}

void rul_conarr(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* list = rhs_block(top, 3, 1);
  int n = list->count;
  int level = list->level + 1;
  if (cstate.bracket_depth) cstate.bracket_depth--;
  uint8_t inst[3] = {OP_CONCATENATE, static_cast<uint8_t>(level - 1), static_cast<uint8_t>(n)};
  res->off = emit(inst, 3);
  res->off2 = n;
  res->level = level;
  res->count = 1;
  res->kind = K_NONE;
}

// ---- Structure constructors ---------------------------------------------------------------------

namespace {

struct FieldList {
  int n;
  int cap;
  IdentEntry** tags;  // null for a field without a tag name
};

constexpr int kMaxTags = 255;  // the count is one byte of the instruction

void add_field(FieldList* fl, IdentEntry* tag) {
  if (fl->n == fl->cap) {
    int cap = fl->cap ? 2 * fl->cap : 8;
    auto** tags = static_cast<IdentEntry**>(parse_malloc(sizeof(IdentEntry*) * static_cast<size_t>(cap)));
    if (fl->n) std::memcpy(tags, fl->tags, sizeof(IdentEntry*) * static_cast<size_t>(fl->n));
    if (fl->tags) parse_free(fl->tags);
    fl->tags = tags;
    fl->cap = cap;
  }
  fl->tags[fl->n++] = tag;
}

// Named definitions the compiler has seen, for constructors compiled before any
// instance exists (and when no structure layer answers the hook).
std::map<const IdentEntry*, std::vector<IdentEntry*>>& seen_structs() {
  static auto* m = new std::map<const IdentEntry*, std::vector<IdentEntry*>>;
  return *m;
}

int check_named_struct(IdentEntry* name, int n, IdentEntry* const* tags) {
  if (compiler_hooks.named_struct) return compiler_hooks.named_struct(name, n, tags);
  auto& known = seen_structs();
  auto it = known.find(name);
  if (it != known.end()) {
    if (static_cast<int>(it->second.size()) != n) return M_STRUCT_TAG_COUNT;
    for (int i = 0; i < n; i++)
      if (tags[i] && tags[i] != it->second[static_cast<size_t>(i)]) return M_STRUCT_TAG_CONFLICT;
    return 0;
  }
  for (int i = 0; i < n; i++)
    if (!tags[i]) return M_STRUCT_TAG_CONFLICT;
  known[name] = std::vector<IdentEntry*>(tags, tags + n);
  return 0;
}

}  // namespace

const std::vector<IdentEntry*>* compiled_struct_tags(const IdentEntry* name) {
  auto& known = seen_structs();
  auto it = known.find(name);
  return it == known.end() ? nullptr : &it->second;
}

void rul_structel1(int, ScanBlock* top, ScanBlock* res) {
  res->ident = rhs_block(top, 3, 0)->ident;
  res->kind = K_NAMED;
}

void rul_structel2(int, ScanBlock*, ScanBlock* res) {
  res->ident = nullptr;
  res->kind = K_NONE;
}

void rul_field_first(int, ScanBlock* top, ScanBlock* res) {
  IdentEntry* tag = top->kind == K_NAMED ? top->ident : nullptr;
  auto* fl = static_cast<FieldList*>(parse_malloc(sizeof(FieldList)));
  add_field(fl, tag);
  res->list = fl;
  res->count = 1;
}

void rul_field_next(int, ScanBlock* top, ScanBlock* res) {
  IdentEntry* tag = top->kind == K_NAMED ? top->ident : nullptr;
  auto* fl = static_cast<FieldList*>(rhs_block(top, 3, 0)->list);
  if (fl->n == kMaxTags) comp_error(M_TOO_MANY_TAGS);
  add_field(fl, tag);
  res->list = fl;
  res->count = fl->n;
}

void rul_struct1(int, ScanBlock* top, ScanBlock* res) {
  emit_word(OP_MAKE_NAMED_STRUCT, code_handle(rhs_block(top, 3, 1)->ident), 0);
  res->kind = K_NONE;
}

void rul_struct2(int, ScanBlock* top, ScanBlock* res) {
  IdentEntry* name = rhs_block(top, 5, 1)->ident;
  auto* fl = static_cast<FieldList*>(rhs_block(top, 5, 3)->list);
  int n = std::min(fl->n, kMaxTags);
  if (int code = check_named_struct(name, n, fl->tags)) comp_error(code, name->name);
  emit_word(OP_MAKE_NAMED_STRUCT, code_handle(name), static_cast<uint8_t>(n));
  res->kind = K_NONE;
  res->list = nullptr;
}

void rul_struct3(int, ScanBlock* top, ScanBlock* res) {
  auto* fl = static_cast<FieldList*>(rhs_block(top, 3, 1)->list);
  int n = std::min(fl->n, kMaxTags);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < i; j++)
      if (fl->tags[i] == fl->tags[j]) comp_error(M_STRUCT_TAG_CONFLICT, fl->tags[i]->name);
  std::vector<uint8_t> inst(4 + 4 * static_cast<size_t>(n), 0);
  inst[0] = OP_MAKE_STRUCT;
  inst[1] = static_cast<uint8_t>(n);
  for (int i = 0; i < n; i++) put_word(inst.data(), code_handle(fl->tags[i]), 4 + 4 * i);
  emit(inst.data(), static_cast<uint32_t>(inst.size()));
  res->kind = K_NONE;
  res->list = nullptr;
}
