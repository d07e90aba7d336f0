// The grammar of the language: its symbols and its 108 numbered rules with the name of
// each rule's semantic action. This one list feeds both the parse-table generator
// (tools/gen_parse_tables.cpp) and the parser's rule and action tables.
#pragma once

// Terminal symbols are the token codes of the lexer.
#define VEK_TERMINALS(T)                                                                      \
  T(LPAREN, 1) T(RPAREN, 2) T(COMMA, 3) T(DOT, 4) T(COLON, 5) T(EQUALS, 6) T(LBRACKET, 7)     \
  T(RBRACKET, 8) T(CARET, 9) T(LBRACE, 10) T(RBRACE, 11) T(ADDOP, 12) T(BEGIN, 13)             \
  T(LOGOP, 14) T(CASE, 15) T(CONST, 16) T(DO, 17) T(ELSE, 18) T(END, 19) T(EOS, 20) T(FOR, 21) \
  T(FUNC, 22) T(JUMP, 23) T(IDENT, 24) T(IF, 25) T(MULOP, 26) T(OF, 27) T(DECL, 28)            \
  T(RELOP, 29) T(REPEAT, 30) T(STRING, 31) T(THEN, 32) T(UNTIL, 33) T(WHILE, 34) T(EOF, 100)

// Non-terminals, numbered from 35 in this order (the program unit is 73).
#define VEK_NONTERMINALS(N)                                                                   \
  N(assignment) N(begin_kw) N(call_stmt) N(case_line) N(case_lines) N(case_head) N(case_stmt) \
  N(case_label) N(array_ctor) N(ctor_elem) N(open_bracket) N(ctor_list) N(expr) N(logical)    \
  N(relational) N(additive) N(term) N(power) N(factor) N(for_init) N(for_head) N(for_stmt)    \
  N(id) N(formal_list) N(formal) N(if_else_head) N(if_stmt) N(if_head) N(keyword_name)        \
  N(label) N(line) N(lines) N(tag_path) N(lvalue) N(var_ref) N(struct_base) N(tag_item)       \
  N(mark) N(program_unit) N(header) N(plist) N(actual) N(repeat_stmt) N(statement)            \
  N(struct_ctor) N(field) N(named_field) N(field_list) N(named_fields) N(subscript)           \
  N(range_part) N(subscripts) N(while_stmt) N(while_head)

enum GrammarSymbol : int {
  G_DEFAULT = 0,
#define VEK_G_TERM(name, code) G_##name = code,
  VEK_TERMINALS(VEK_G_TERM)
#undef VEK_G_TERM
  G_FIRST_NONTERMINAL_MINUS_1 = 34,
#define VEK_G_NONTERM(name) G_##name,
  VEK_NONTERMINALS(VEK_G_NONTERM)
#undef VEK_G_NONTERM
  G_SYMBOL_LIMIT
};
static_assert(G_assignment == 35 && G_program_unit == 73 && G_while_head == 88, "symbol numbering");

constexpr int N_RULES = 109;  // rule numbers 0..108; rule 0 has no production
constexpr int MAX_RHS = 6;

// R(number, left-hand side, action (0: none), (right-hand side symbols)).
#define VEK_GRAMMAR(R)                                                                 \
  R(1, program_unit, 0, (G_lines, G_END))                                              \
  R(2, assignment, rul_assign, (G_lvalue, G_EQUALS, G_expr))                           \
  R(3, begin_kw, rul_begrul, (G_BEGIN))                                                \
  R(4, call_stmt, rul_call1, (G_id))                                                   \
  R(5, call_stmt, rul_call2, (G_id, G_COMMA, G_plist))                                 \
  R(6, case_line, rul_casel1, (G_case_label, G_line))                                  \
  R(7, case_line, rul_casel2, (G_EOS))                                                 \
  R(8, case_lines, 0, (G_case_line))                                                   \
  R(9, case_lines, rul_caselist2, (G_case_lines, G_case_line))                         \
  R(10, case_head, rul_caseof, (G_expr, G_OF))                                         \
  R(11, case_stmt, rul_casest, (G_CASE, G_case_head, G_case_lines, G_END))             \
  R(12, case_label, rul_caseval1, (G_expr, G_COLON))                                   \
  R(13, case_label, rul_caseval2, (G_ELSE, G_COLON))                                   \
  R(14, array_ctor, rul_conarr, (G_open_bracket, G_ctor_list, G_RBRACKET))             \
  R(15, ctor_elem, rul_conelz1, (G_array_ctor))                                            \
  R(16, ctor_elem, rul_conelz2, (G_expr))                                              \
  R(17, open_bracket, rul_conleft, (G_LBRACKET))                                       \
  R(18, ctor_list, rul_conlist1, (G_ctor_list, G_COMMA, G_ctor_elem))                  \
  R(19, ctor_list, 0, (G_ctor_elem))                                                   \
  R(20, expr, 0, (G_logical))                                                          \
  R(21, expr, rul_expr_assign, (G_LPAREN, G_assignment, G_RPAREN))                     \
  R(22, logical, 0, (G_relational))                                                    \
  R(23, logical, rul_binop, (G_logical, G_LOGOP, G_relational))                        \
  R(24, relational, 0, (G_additive))                                                   \
  R(25, relational, rul_binop, (G_relational, G_RELOP, G_additive))                    \
  R(26, additive, rul_uop, (G_ADDOP, G_term))                                          \
  R(27, additive, 0, (G_term))                                                         \
  R(28, additive, rul_binop, (G_additive, G_ADDOP, G_term))                            \
  R(29, term, 0, (G_power))                                                            \
  R(30, term, rul_binop, (G_term, G_MULOP, G_power))                                   \
  R(31, power, 0, (G_factor))                                                          \
  R(32, power, rul_binop, (G_power, G_CARET, G_factor))                                \
  R(33, factor, rul_fact1, (G_lvalue))                                                 \
  R(34, factor, rul_fact2, (G_CONST))                                                  \
  R(35, factor, 0, (G_LPAREN, G_expr, G_RPAREN))                                       \
  R(36, factor, rul_fact4, (G_FUNC, G_LPAREN, G_plist, G_RPAREN))                      \
  R(37, factor, rul_fact5, (G_STRING))                                                 \
  R(38, factor, 0, (G_array_ctor))                                                     \
  R(39, factor, rul_fact7, (G_LPAREN, G_expr, G_RPAREN, G_LPAREN, G_subscripts, G_RPAREN)) \
  R(40, factor, 0, (G_struct_ctor))                                                    \
  R(41, factor, rul_fact4, (G_FUNC, G_LPAREN, G_RPAREN))                               \
  R(42, for_init, rul_forinit, (G_FOR, G_assignment, G_COMMA))                         \
  R(43, for_head, rul_forlim1, (G_for_init, G_expr, G_DO))                             \
  R(44, for_head, rul_forlim2, (G_for_init, G_expr, G_COMMA, G_expr, G_DO))            \
  R(45, for_stmt, rul_forst, (G_for_head, G_statement))                                \
  R(46, id, rul_id, (G_IDENT))                                                         \
  R(47, formal_list, rul_formal_first, (G_formal))                                     \
  R(48, formal_list, rul_formal_next, (G_formal_list, G_COMMA, G_formal))              \
  R(49, formal, rul_formal_pos, (G_id))                                                \
  R(50, formal, rul_formal_kw, (G_id, G_EQUALS, G_id))                                 \
  R(51, if_else_head, rul_iffalse, (G_if_head, G_statement, G_ELSE))                   \
  R(52, if_stmt, rul_ifst1, (G_if_head, G_statement))                                  \
  R(53, if_stmt, rul_ifst1, (G_if_else_head, G_statement))                             \
  R(54, if_head, rul_iftrue, (G_IF, G_expr, G_THEN))                                   \
  R(55, keyword_name, rul_keyword, (G_IDENT))                                          \
  R(56, label, rul_label, (G_IDENT, G_COLON))                                          \
  R(57, line, rul_line1, (G_label, G_line))                                            \
  R(58, line, rul_line2, (G_statement, G_EOS))                                         \
  R(59, line, 0, (G_EOS))                                                              \
  R(60, lines, 0, (G_line))                                                            \
  R(61, lines, 0, (G_lines, G_line))                                                   \
  R(62, tag_path, rul_ltags_1, (G_tag_item))                                           \
  R(63, tag_path, rul_ltags_1, (G_tag_path, G_DOT, G_tag_item))                        \
  R(64, lvalue, 0, (G_var_ref))                                                        \
  R(65, lvalue, 0, (G_struct_base, G_DOT, G_tag_path))                                 \
  R(66, var_ref, rul_lval1_1, (G_id))                                                  \
  R(67, var_ref, rul_lval1_2, (G_id, G_LPAREN, G_subscripts, G_RPAREN))                \
  R(68, struct_base, rul_lval2, (G_var_ref))                                           \
  R(69, tag_item, rul_lval3_1, (G_var_ref))                                            \
  R(70, tag_item, rul_lval3_2, (G_LPAREN, G_expr, G_RPAREN))                           \
  R(71, tag_item, rul_lval3_3, (G_LPAREN, G_expr, G_RPAREN, G_LPAREN, G_subscripts, G_RPAREN)) \
  R(72, mark, rul_mark, ())                                                            \
  R(73, header, rul_pdef1, (G_DECL, G_id))                                             \
  R(74, header, rul_pdef2, (G_DECL, G_id, G_COMMA, G_formal_list))                     \
  R(75, plist, rul_plist1, (G_plist, G_COMMA, G_actual))                               \
  R(76, plist, rul_plist2, (G_actual))                                                 \
  R(77, actual, rul_plistel1, (G_expr))                                                \
  R(78, actual, rul_plistel2, (G_keyword_name, G_EQUALS, G_expr))                      \
  R(79, actual, rul_plistel3, (G_MULOP, G_keyword_name))                               \
  R(80, repeat_stmt, rul_reptstmt, (G_REPEAT, G_mark, G_statement, G_UNTIL, G_expr))   \
  R(81, statement, 0, (G_call_stmt))                                                   \
  R(82, statement, rul_stmt_assign, (G_assignment))                                    \
  R(83, statement, 0, (G_if_stmt))                                                     \
  R(84, statement, 0, (G_for_stmt))                                                    \
  R(85, statement, rul_stmtbegin, (G_begin_kw, G_program_unit))                        \
  R(86, statement, 0, (G_header))                                                      \
  R(87, statement, 0, (G_while_stmt))                                                  \
  R(88, statement, 0, (G_repeat_stmt))                                                 \
  R(89, statement, rul_stmt_goto, (G_JUMP, G_COMMA, G_IDENT))                          \
  R(90, statement, 0, (G_case_stmt))                                                   \
  R(91, struct_ctor, rul_struct1, (G_LBRACE, G_id, G_RBRACE))                          \
  R(92, struct_ctor, rul_struct2, (G_LBRACE, G_id, G_COMMA, G_field_list, G_RBRACE))   \
  R(93, struct_ctor, rul_struct3, (G_LBRACE, G_named_fields, G_RBRACE))                \
  R(94, field, 0, (G_named_field))                                                     \
  R(95, field, rul_structel2, (G_expr))                                                \
  R(96, named_field, rul_structel1, (G_id, G_COLON, G_expr))                           \
  R(97, field_list, rul_field_first, (G_field))                                        \
  R(98, field_list, rul_field_next, (G_field_list, G_COMMA, G_field))                  \
  R(99, named_fields, rul_field_first, (G_named_field))                                \
  R(100, named_fields, rul_field_next, (G_named_fields, G_COMMA, G_named_field))       \
  R(101, subscript, rul_subsel1, (G_range_part))                                       \
  R(102, subscript, rul_subsel2, (G_range_part, G_COLON, G_range_part))                \
  R(103, range_part, rul_subsexpr1, (G_MULOP))                                         \
  R(104, range_part, rul_subsexpr2, (G_expr))                                          \
  R(105, subscripts, rul_subslist1, (G_subscript))                                     \
  R(106, subscripts, rul_subslist2, (G_subscripts, G_COMMA, G_subscript))              \
  R(107, while_stmt, rul_iffalse, (G_while_head, G_DO, G_statement))                   \
  R(108, while_head, rul_whilexp, (G_WHILE, G_mark, G_expr))

#define VEK_GRAMMAR_UNPACK(...) __VA_ARGS__

struct GrammarRule {
  int number;
  int lhs;
  int n_rhs;
  int rhs[MAX_RHS];
  const char* action;  // name of the semantic action, or null
};

// Counts the symbols of a parenthesised right-hand side.
template <typename... Ts>
constexpr int vek_rhs_count(Ts...) {
  return static_cast<int>(sizeof...(Ts));
}

inline constexpr GrammarRule grammar_rules[N_RULES] = {
    {0, 0, 0, {}, nullptr},
#define VEK_RULE_ENTRY(num, lhs, act, rhs) \
  {num, G_##lhs, vek_rhs_count rhs, {VEK_GRAMMAR_UNPACK rhs}, #act[0] == '0' ? nullptr : #act},
    VEK_GRAMMAR(VEK_RULE_ENTRY)
#undef VEK_RULE_ENTRY
};

constexpr bool grammar_numbered_in_order() {
  for (int i = 0; i < N_RULES; i++)
    if (grammar_rules[i].number != i) return false;
  return true;
}
static_assert(grammar_numbered_in_order(), "rules must be listed in number order");
