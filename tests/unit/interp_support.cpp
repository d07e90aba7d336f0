#include "interp_support.h"

const RoutineEntry* find_entry(const RoutineEntry* table, int n, const char* name) {
  for (int i = 0; i < n; i++)
    if (strcmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

VarInfo find_main_variable(const char* name) {
  for (uint16_t off = main_prog->var_head; off; off = var_entry(main_prog, off)->next) {
    VarEntry* e = var_entry(main_prog, off);
    if (e->ident && strcmp(e->ident->name, name) == 0 && !e->common) return {frame_var(main_frame, e->slot)};
  }
  return {nullptr};
}

void InterpTest::SetUpTestSuite() {
  static CodeBlock* main_cb = nullptr;
  if (!main_cb) {
    main_cb = new CodeBlock{};
    alloc_code_area(main_cb, 4096, 2048);
    main_cb->name = ident_hash("$MAIN$", 0, 0, MSG_LONGJMP);
    main_cb->n_vars = 20;
    main_cb->data_used = 8;
    main_prog = main_cb;
    init_interpreter();
  }
  // Identifiers are permanent: intern the test routines' names before any baseline.
  for (const char* name : {"SET5", "KW", "KEYWORD", "OTHER", "KEYA", "KEYB", "F", "FAIL", "SETTER", "DEEP",
                           "NEVER_COMPILED", "X", "ZZ", "X9", "Y9", "UNDEFINED_ZZ", "KEY", "_EXTRA", "P", "Q", "R"})
    ident_hash(name, 0, 0, MSG_LONGJMP);
}

void InterpTest::SetUp() {
  VekTest::SetUp();
  int_interrupt = IR_NONE;
  math_errors.pending = 0;
  main_frame->on_error = 0;
  main_frame->catch_var = nullptr;
}

void InterpTest::TearDown() {
  return_all(nullptr);
  delete_vars();
  main_frame->catch_var = nullptr;
  main_frame->ioerror_target = nullptr;
  main_frame->on_error = 0;
  main_frame->on_error_set = 0;
  int_interrupt = IR_NONE;
  math_errors.pending = 0;
  VekTest::TearDown();
}
