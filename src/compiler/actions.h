// Internal interface between the parse loop and the semantic actions: the action
// functions named in the grammar, the helpers they share (variable references, calls,
// instruction emission) and the hooks through which higher layers answer questions the
// compiler cannot (system variables, running frames, structure definitions).
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"
#include "compiler/parser.h"

// ScanBlock::kind values.
enum : uint8_t {
  K_NONE = 0,
  K_VAR = 1,      // var_ref / lvalue: a variable, possibly subscripted
  K_STRUCT = 2,   // lvalue: a structure reference (base and tags already emitted)
  K_TEST = 3,     // case_label with a CASE_TEST to patch
  K_NAMED = 4,    // a structure field given with its tag name
};

// Emits an instruction of `len` bytes (op first); returns its offset, or -1 when the
// code area was full.
int32_t emit(const uint8_t* inst, uint32_t len);
int32_t emit_op(uint8_t op);
int32_t emit_u16(uint8_t op, uint16_t operand, uint8_t byte1 = 0);
int32_t emit_word(uint8_t op, uint32_t word, uint8_t byte1 = 0, uint16_t u16 = 0);
// Patches the 16-bit operand of the branch at `at` to reach the current end of code.
void patch_forward(int32_t at);
void emit_int_constant(int16_t value);

// Compiles the variable reference held in an lvalue block: mode 0 read, 1 store,
// 2 structure base.
void sem_lval(const ScanBlock* lv, int mode);

// Reports a compile error through scnerr and continues.
void comp_error(int code, ...);

void rul_assign(int rule, ScanBlock* top, ScanBlock* res);
void rul_begrul(int rule, ScanBlock* top, ScanBlock* res);
void rul_call1(int rule, ScanBlock* top, ScanBlock* res);
void rul_call2(int rule, ScanBlock* top, ScanBlock* res);
void rul_casel1(int rule, ScanBlock* top, ScanBlock* res);
void rul_casel2(int rule, ScanBlock* top, ScanBlock* res);
void rul_caselist2(int rule, ScanBlock* top, ScanBlock* res);
void rul_caseof(int rule, ScanBlock* top, ScanBlock* res);
void rul_casest(int rule, ScanBlock* top, ScanBlock* res);
void rul_caseval1(int rule, ScanBlock* top, ScanBlock* res);
void rul_caseval2(int rule, ScanBlock* top, ScanBlock* res);
void rul_conarr(int rule, ScanBlock* top, ScanBlock* res);
void rul_conelz1(int rule, ScanBlock* top, ScanBlock* res);
void rul_conelz2(int rule, ScanBlock* top, ScanBlock* res);
void rul_conleft(int rule, ScanBlock* top, ScanBlock* res);
void rul_conlist1(int rule, ScanBlock* top, ScanBlock* res);
void rul_expr_assign(int rule, ScanBlock* top, ScanBlock* res);
void rul_binop(int rule, ScanBlock* top, ScanBlock* res);
void rul_uop(int rule, ScanBlock* top, ScanBlock* res);
void rul_fact1(int rule, ScanBlock* top, ScanBlock* res);
void rul_fact2(int rule, ScanBlock* top, ScanBlock* res);
void rul_fact4(int rule, ScanBlock* top, ScanBlock* res);
void rul_fact5(int rule, ScanBlock* top, ScanBlock* res);
void rul_fact7(int rule, ScanBlock* top, ScanBlock* res);
void rul_forinit(int rule, ScanBlock* top, ScanBlock* res);
void rul_forlim1(int rule, ScanBlock* top, ScanBlock* res);
void rul_forlim2(int rule, ScanBlock* top, ScanBlock* res);
void rul_forst(int rule, ScanBlock* top, ScanBlock* res);
void rul_id(int rule, ScanBlock* top, ScanBlock* res);
void rul_formal_first(int rule, ScanBlock* top, ScanBlock* res);
void rul_formal_next(int rule, ScanBlock* top, ScanBlock* res);
void rul_formal_pos(int rule, ScanBlock* top, ScanBlock* res);
void rul_formal_kw(int rule, ScanBlock* top, ScanBlock* res);
void rul_iffalse(int rule, ScanBlock* top, ScanBlock* res);
void rul_ifst1(int rule, ScanBlock* top, ScanBlock* res);
void rul_iftrue(int rule, ScanBlock* top, ScanBlock* res);
void rul_keyword(int rule, ScanBlock* top, ScanBlock* res);
void rul_label(int rule, ScanBlock* top, ScanBlock* res);
void rul_line1(int rule, ScanBlock* top, ScanBlock* res);
void rul_line2(int rule, ScanBlock* top, ScanBlock* res);
void rul_ltags_1(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval1_1(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval1_2(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval2(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval3_1(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval3_2(int rule, ScanBlock* top, ScanBlock* res);
void rul_lval3_3(int rule, ScanBlock* top, ScanBlock* res);
void rul_mark(int rule, ScanBlock* top, ScanBlock* res);
void rul_pdef1(int rule, ScanBlock* top, ScanBlock* res);
void rul_pdef2(int rule, ScanBlock* top, ScanBlock* res);
void rul_plist1(int rule, ScanBlock* top, ScanBlock* res);
void rul_plist2(int rule, ScanBlock* top, ScanBlock* res);
void rul_plistel1(int rule, ScanBlock* top, ScanBlock* res);
void rul_plistel2(int rule, ScanBlock* top, ScanBlock* res);
void rul_plistel3(int rule, ScanBlock* top, ScanBlock* res);
void rul_reptstmt(int rule, ScanBlock* top, ScanBlock* res);
void rul_stmt_assign(int rule, ScanBlock* top, ScanBlock* res);
void rul_stmtbegin(int rule, ScanBlock* top, ScanBlock* res);
void rul_stmt_goto(int rule, ScanBlock* top, ScanBlock* res);
void rul_struct1(int rule, ScanBlock* top, ScanBlock* res);
void rul_struct2(int rule, ScanBlock* top, ScanBlock* res);
void rul_struct3(int rule, ScanBlock* top, ScanBlock* res);
void rul_structel2(int rule, ScanBlock* top, ScanBlock* res);
void rul_structel1(int rule, ScanBlock* top, ScanBlock* res);
void rul_field_first(int rule, ScanBlock* top, ScanBlock* res);
void rul_field_next(int rule, ScanBlock* top, ScanBlock* res);
void rul_subsel1(int rule, ScanBlock* top, ScanBlock* res);
void rul_subsel2(int rule, ScanBlock* top, ScanBlock* res);
void rul_subsexpr1(int rule, ScanBlock* top, ScanBlock* res);
void rul_subsexpr2(int rule, ScanBlock* top, ScanBlock* res);
void rul_subslist1(int rule, ScanBlock* top, ScanBlock* res);
void rul_subslist2(int rule, ScanBlock* top, ScanBlock* res);
void rul_whilexp(int rule, ScanBlock* top, ScanBlock* res);
