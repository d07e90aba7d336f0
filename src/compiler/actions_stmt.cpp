// Semantic actions of statements: IF, WHILE, REPEAT, FOR, CASE, labels and jumps,
// BEGIN blocks, procedure and function headers and COMMON declarations.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/message.h"
#include "compiler/actions.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"

namespace {

constexpr uint16_t kChainEnd = 65535;

void clear_statement(ScanBlock* res) {
  res->flags = 0;
  res->kind = K_NONE;
  res->list = nullptr;
}

}  // namespace

// ---- Lines and blocks ----------------------------------------------------------------

void rul_line1(int, ScanBlock*, ScanBlock*) { cstate.stmt_start = true; }

void rul_line2(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* stmt = rhs_block(top, 2, 0);
  res->flags = stmt->flags & SB_BLOCK;
  std::memcpy(res->end_word, stmt->end_word, sizeof res->end_word);
  cstate.stmt_start = true;
  unit_state.statements++;
}

void rul_begrul(int, ScanBlock*, ScanBlock*) { cstate.block_depth++; }

void rul_stmtbegin(int, ScanBlock*, ScanBlock* res) {
  if (cstate.block_depth) cstate.block_depth--;
  res->flags = SB_BLOCK;  // end_word came with the block's END token
  res->kind = K_NONE;
}

// ---- IF, WHILE, REPEAT ---------------------------------------------------------------------

void rul_iftrue(int, ScanBlock*, ScanBlock* res) { res->off = emit_u16(OP_JUMP_IF_FALSE, 0); }

void rul_iffalse(int rule, ScanBlock* top, ScanBlock* res) {
  if (rule == 51) {  // IF c THEN s ELSE
    ScanBlock* stmt = rhs_block(top, 3, 1);
    ScanBlock* head = rhs_block(top, 3, 0);
    check_end(stmt, "ENDIF");
    int32_t jump = emit_u16(OP_JUMP, 0);
    patch_forward(head->off);
    clear_statement(res);
    res->off = jump;
    return;
  }
  // WHILE c DO s
  ScanBlock* head = rhs_block(top, 3, 0);
  check_end(top, "ENDWHILE");
  int32_t at = emit_u16(OP_JUMP_BACK, 0);
  if (at >= 0 && head->off2 >= 0) put_u16(c_prog->code + at, static_cast<uint16_t>(at - head->off2));
  patch_forward(head->off);
  clear_statement(res);
}

void rul_ifst1(int rule, ScanBlock* top, ScanBlock* res) {
  ScanBlock* head = rhs_block(top, 2, 0);
  check_end(top, rule == 52 ? "ENDIF" : "ENDELSE");
  patch_forward(head->off);
  clear_statement(res);
}

void rul_mark(int, ScanBlock*, ScanBlock* res) { res->off = emit_op(OP_PAD1); }

void rul_whilexp(int, ScanBlock* top, ScanBlock* res) {
  int32_t mark = rhs_block(top, 3, 1)->off;
  res->off = emit_u16(OP_JUMP_IF_FALSE, 0);
  res->off2 = mark;
}

void rul_reptstmt(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* stmt = rhs_block(top, 5, 2);
  int32_t mark = rhs_block(top, 5, 1)->off;
  check_end(stmt, "ENDREP");
  int32_t at = emit_u16(OP_JUMP_BACK_IF_FALSE, 0);
  if (at >= 0 && mark >= 0) put_u16(c_prog->code + at, static_cast<uint16_t>(at - mark));
  clear_statement(res);
}

// ---- FOR ------------------------------------------------------------------------------------

void rul_forinit(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* asg = rhs_block(top, 3, 1);
  bool simple = asg->kind == K_VAR && asg->nsubs == 0 && asg->ident && asg->ident->name[0] != '!';
  if (!simple) comp_error(M_FOR_VARIABLE);
  else sem_lval(asg, 0);
  cstate.for_depth++;
  clear_statement(res);
}

namespace {

void emit_for_init(bool step, ScanBlock* res) {
  uint8_t inst[32] = {static_cast<uint8_t>(step ? OP_FOR_INIT_STEP : OP_FOR_INIT)};
  put_u16(inst, c_prog->for_chain, 4);
  int32_t at = emit(inst, step ? 32 : 24);
  if (at >= 0) {
    c_prog->for_chain = static_cast<uint16_t>(at);
    c_prog->for_save = static_cast<uint16_t>(c_prog->for_save + (step ? 3 : 2));
  }
  clear_statement(res);
  res->off = at;
  if (step) res->flags |= SB_STEP;
}

}  // namespace

void rul_forlim1(int, ScanBlock*, ScanBlock* res) { emit_for_init(false, res); }
void rul_forlim2(int, ScanBlock*, ScanBlock* res) { emit_for_init(true, res); }

void rul_forst(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* head = rhs_block(top, 2, 0);
  check_end(top, "ENDFOR");
  if (cstate.for_depth) cstate.for_depth--;
  int32_t init = head->off;
  int32_t at = emit_u16((head->flags & SB_STEP) ? OP_FOR_NEXT_STEP : OP_FOR_NEXT, 0);
  if (at >= 0 && init >= 0) {
    auto distance = static_cast<uint16_t>(at - init);
    put_u16(c_prog->code + at, distance);
    put_u16(c_prog->code + init, distance);
  }
  clear_statement(res);
}

// ---- CASE ----------------------------------------------------------------------------------------

void rul_caseof(int, ScanBlock*, ScanBlock* res) {
  cstate.block_depth++;
  clear_statement(res);
}

void rul_caseval1(int, ScanBlock*, ScanBlock* res) {
  res->off = emit_u16(OP_CASE_TEST, 0);
  res->kind = K_TEST;
}

void rul_caseval2(int, ScanBlock*, ScanBlock* res) {
  emit_op(OP_POP);
  res->kind = K_NONE;
  res->off = -1;
}

// Each case line ends with a jump to the end of the CASE; the jumps are chained through
// their operands (65535 ends the chain) until the CASE is complete.
void rul_casel1(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* label = rhs_block(top, 2, 0);
  check_end(top, "ENDCASE");
  int32_t test = label->kind == K_TEST ? label->off : -1;
  int32_t jump = emit_u16(OP_JUMP, kChainEnd);
  patch_forward(test);
  clear_statement(res);
  res->off = jump;
}

void rul_casel2(int, ScanBlock*, ScanBlock* res) {
  clear_statement(res);
  res->off = -1;
}

void rul_caselist2(int, ScanBlock* top, ScanBlock* res) {
  int32_t head = rhs_block(top, 2, 0)->off;
  int32_t jump = top->off;
  if (jump >= 0) {
    put_u16(c_prog->code + jump, head >= 0 ? static_cast<uint16_t>(head) : kChainEnd);
    res->off = jump;
  } else {
    res->off = head;
  }
}

void rul_casest(int, ScanBlock* top, ScanBlock* res) {
  int32_t chain = rhs_block(top, 4, 2)->off;
  if (std::strcmp(top->end_word, "END") != 0 && std::strcmp(top->end_word, "ENDCASE") != 0)
    comp_error(M_END_MISMATCH, "ENDCASE");
  if (cstate.block_depth) cstate.block_depth--;
  emit_op(OP_CASE_NOMATCH);
  while (chain >= 0) {
    uint16_t next = inst_u16(c_prog->code + chain);
    patch_forward(chain);
    chain = next == kChainEnd ? -1 : next;
  }
  clear_statement(res);
}

// ---- Labels and jumps ------------------------------------------------------------------------------

namespace {

struct Label {
  IdentEntry* name;
  int32_t defined;  // offset, or -1
  int32_t chain;    // last open forward reference, or -1
  bool used;
  Label* next;
};
Label* labels = nullptr;

Label* find_label(IdentEntry* name) {
  for (Label* l = labels; l; l = l->next)
    if (l->name == name) return l;
  auto* l = static_cast<Label*>(parse_malloc(sizeof(Label)));
  l->name = name;
  l->defined = l->chain = -1;
  l->next = labels;
  labels = l;
  return l;
}

}  // namespace

void reset_labels() { labels = nullptr; }

int undeflb() {
  int ok = 1;
  std::vector<Label*> order;
  for (Label* l = labels; l; l = l->next) order.push_back(l);
  std::reverse(order.begin(), order.end());  // report in order of first use
  for (Label* l : order) {
    if (l->used && l->defined < 0) {
      comp_error(M_LABEL_UNDEFINED, l->name->name);
      ok = 0;
    }
  }
  return ok;
}

void rul_label(int, ScanBlock* top, ScanBlock*) {
  Label* l = find_label(rhs_block(top, 2, 0)->ident);
  if (l->defined >= 0) {
    comp_error(M_LABEL_TWICE);
    return;
  }
  l->defined = static_cast<int32_t>(c_prog->code_len);
  for (int32_t r = l->chain; r >= 0;) {
    uint16_t next = inst_u16(c_prog->code + r);
    put_u16(c_prog->code + r, static_cast<uint16_t>(l->defined - r));
    r = next == kChainEnd ? -1 : next;
  }
  l->chain = -1;
}

void rul_stmt_goto(int, ScanBlock* top, ScanBlock* res) {
  bool ioerror = std::strcmp(rhs_block(top, 3, 0)->tok.value.word, "ON_IOERROR") == 0;
  IdentEntry* name = top->ident;
  clear_statement(res);
  if (ioerror && std::strcmp(name->name, "NULL") == 0) {
    emit_u16(OP_SET_IOERROR, 0);
    return;
  }
  Label* l = find_label(name);
  l->used = true;
  if (l->defined >= 0) {
    int32_t at = emit_u16(ioerror ? OP_SET_IOERROR_BACK : OP_JUMP_BACK, 0);
    if (at >= 0) put_u16(c_prog->code + at, static_cast<uint16_t>(at - l->defined));
    return;
  }
  int32_t at = emit_u16(ioerror ? OP_SET_IOERROR : OP_JUMP, l->chain >= 0 ? static_cast<uint16_t>(l->chain) : kChainEnd);
  if (at >= 0) l->chain = at;
}

// ---- Headers and COMMON ------------------------------------------------------------------------------

namespace {

struct Formal {
  IdentEntry* var;
  IdentEntry* keyword;  // null for a positional formal
  Formal* next;
};

constexpr int kMaxFormals = 63;

void declare_common(IdentEntry* block_name, const std::vector<Formal*>& vars) {
  for (Formal* f : vars)
    if (f->keyword) comp_error(M_SYNTAX);
  CommonBlock* blk;
  if (vars.empty()) {
    blk = enter_common(block_name, 0, false);
    if (!blk) {
      comp_error(M_COMMON_EMPTY, block_name->name);
      return;
    }
  } else {
    blk = enter_common(block_name, static_cast<int>(vars.size()), true);
    if (!blk) {
      cstate.error_count++;  // enter_common has reported why
      return;
    }
    for (size_t i = 0; i < vars.size(); i++)
      if (!blk->names[i]) blk->names[i] = vars[i]->var;
  }
  int n = vars.empty() ? blk->count : static_cast<int>(vars.size());
  for (int i = 0; i < n; i++) {
    IdentEntry* name = vars.empty() ? blk->names[i] : vars[static_cast<size_t>(i)]->var;
    if (!name) continue;
    uint32_t at = looksym(name, c_prog, true);
    if (!at) return;
    VarEntry* e = var_entry(c_prog, at);
    auto slot = static_cast<uint16_t>(i * VAR_SLOT_SIZE);
    if (e->common == blk && e->slot == slot) continue;
    if (e->common || e->slot != SLOT_UNASSIGNED) {
      comp_error(M_CONFLICTING_DEF, name->name);
      continue;
    }
    e->common = blk;
    e->slot = slot;
  }
}

void define_routine(IdentEntry* name, bool function, std::vector<Formal*> formals) {
  if (cstate.single_stmt) {
    comp_error(M_PROGRAM_IN_SINGLE);
    return;
  }
  if (unit_state.in_routine || unit_state.statements > 0 || c_prog->code_len > 0) {
    comp_error(M_HEADER_FIRST, name->name);
    return;
  }
  if (static_cast<int>(formals.size()) > kMaxFormals) {
    comp_error(M_TOO_MANY_TAGS);
    return;
  }
  CodeBlock* existing = find_user_routine(name, function);
  if (existing && compiler_hooks.routine_active && compiler_hooks.routine_active(existing)) {
    message(M_COMPILED_ACTIVE, 0, MSG_CONTINUE, name->name);
    if (compiler_hooks.return_all) compiler_hooks.return_all();
  }
  CodeBlock* area = new_program_area(name, default_code_size, default_data_size);
  unit_state.fresh_area = area;
  unit_state.in_routine = true;
  unit_state.is_function = function;
  c_prog = area;
  if (cstate.const_pool) std::memset(cstate.const_pool, 0, sizeof *cstate.const_pool);
  if (cstate.var_hash) std::memset(cstate.var_hash, 0, 1024 * sizeof(uint16_t));

  // Keyword formals are kept in name order within each run of consecutive ones.
  for (size_t i = 0; i < formals.size();) {
    size_t j = i;
    while (j < formals.size() && formals[j]->keyword) j++;
    std::stable_sort(formals.begin() + static_cast<std::ptrdiff_t>(i), formals.begin() + static_cast<std::ptrdiff_t>(j),
                     [](const Formal* a, const Formal* b) { return std::strcmp(a->keyword->name, b->keyword->name) < 0; });
    i = j == i ? i + 1 : j;
  }
  uint32_t n = static_cast<uint32_t>(formals.size());
  area->flags = function ? CB_FUNCTION : 0;
  area->n_params = n;
  area->data_used = std::max<uint32_t>(DATA_RESERVE, n * sizeof(IdentEntry*));
  if (area->data_used > area->data_cap) {
    comp_error(M_DATA_FULL);
    return;
  }
  IdentEntry** kw = area->kw_formals();
  for (uint32_t i = 0; i < n; i++) {
    Formal* f = formals[i];
    kw[i] = f->keyword;
    if (f->keyword) {
      area->flags |= CB_KEYWORDS;
      if (std::strcmp(f->keyword->name, "_EXTRA") == 0) area->flags |= CB_EXTRA;
    }
    uint32_t at = looksym(f->var, area, true);
    if (!at) return;
    VarEntry* e = var_entry(area, at);
    if (e->slot != SLOT_UNASSIGNED) {
      comp_error(M_CONFLICTING_DEF, f->var->name);
      continue;
    }
    e->slot = static_cast<uint16_t>(area->n_vars * VAR_SLOT_SIZE);
    area->n_vars++;
  }
}

void header(ScanBlock* decl, ScanBlock* id, ScanBlock* formal_list) {
  std::vector<Formal*> formals;
  for (auto* f = formal_list ? static_cast<Formal*>(formal_list->list) : nullptr; f; f = f->next) formals.push_back(f);
  std::reverse(formals.begin(), formals.end());
  const char* word = decl->tok.value.word;
  if (std::strcmp(word, "COMMON") == 0) declare_common(id->ident, formals);
  else define_routine(id->ident, std::strcmp(word, "FUNCTION") == 0, formals);
}

}  // namespace

void rul_formal_pos(int, ScanBlock* top, ScanBlock* res) {
  auto* f = static_cast<Formal*>(parse_malloc(sizeof(Formal)));
  f->var = top->ident;
  res->list = f;
}

void rul_formal_kw(int, ScanBlock* top, ScanBlock* res) {
  auto* f = static_cast<Formal*>(parse_malloc(sizeof(Formal)));
  f->keyword = rhs_block(top, 3, 0)->ident;
  f->var = top->ident;
  res->list = f;
}

void rul_formal_first(int, ScanBlock* top, ScanBlock* res) {
  res->list = top->list;
  res->count = 1;
}

void rul_formal_next(int, ScanBlock* top, ScanBlock* res) {
  ScanBlock* list = rhs_block(top, 3, 0);
  auto* f = static_cast<Formal*>(top->list);
  f->next = static_cast<Formal*>(list->list);
  res->list = f;
  res->count = list->count + 1;
}

void rul_pdef1(int, ScanBlock* top, ScanBlock* res) {
  header(rhs_block(top, 2, 0), top, nullptr);
  clear_statement(res);
}

void rul_pdef2(int, ScanBlock* top, ScanBlock* res) {
  header(rhs_block(top, 4, 0), rhs_block(top, 4, 1), top);
  clear_statement(res);
}
