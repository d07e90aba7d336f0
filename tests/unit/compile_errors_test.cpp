// Compile-time errors that need test routines, long sources or small areas; the reports
// themselves (line, caret, position) are checked by the compile_errors script.
#include "compiler_fixture.h"

namespace compiler_test {
namespace {

class CompileErrorTest : public CompilerTest {
 protected:
  // Compiles a statement that must fail; returns the captured report.
  std::string fails(const std::string& text) {
    captured.clear();
    EXPECT_TRUE(stmt(text).empty()) << text;
    return captured;
  }
};

TEST_F(CompileErrorTest, CallChecks) {
  EXPECT_NE(fails("ZZT_NOKWPRO").find("ZZT_NOKWPRO: Incorrect number of arguments."), std::string::npos);
  EXPECT_NE(fails("ZZT_NOKWPRO, 1, 2, 3").find("ZZT_NOKWPRO: Incorrect number of arguments."), std::string::npos);
  EXPECT_NE(fails("x = EXECUTE('a', 'b')").find("EXECUTE: Incorrect number of arguments."), std::string::npos);
  EXPECT_NE(fails("ZZT_NOKWPRO, 1, K=2").find("Keyword parameters not allowed in call."), std::string::npos);
  EXPECT_NE(fails("RETURN, K=1").find("Keyword parameters not allowed in call."), std::string::npos);
  std::string args;
  for (int i = 0; i < 64; i++) args += ", " + std::to_string(i);
  EXPECT_NE(fails("zzt_user" + args).find("Too many parameters or structure tags defined."), std::string::npos);
  // 30 keywords of 16 characters need more than 511 bytes of descriptor.
  std::string kws;
  for (int i = 0; i < 30; i++) kws += std::string(i ? " $\n" : "") + ", KEYWORD_NUMBER" + std::to_string(10 + i) + "=1";
  EXPECT_EQ(run_file("zzt_user" + kws + "\nEND\n"), -1);
  EXPECT_EQ(count_of(captured, "Too many keywords in call"), 1) << captured;
  EXPECT_EQ(count_of(captured, "Syntax error"), 0) << captured;
  captured.clear();
  std::string fewer;
  for (int i = 0; i < 15; i++) fewer += std::string(i ? " $\n" : "") + ", KEYWORD_NUMBER" + std::to_string(10 + i) + "=1";
  EXPECT_EQ(run_file("zzt_user" + fewer + "\nEND\n"), 1) << captured;
}

TEST_F(CompileErrorTest, TooManyErrorsStopsTheUnit) {
  std::string text;
  for (int i = 0; i < 40; i++) text += "x = )\n";
  text += "END\n";
  EXPECT_EQ(run_file(text), -1);
  EXPECT_EQ(count_of(captured, "Syntax error."), 25) << captured;
  EXPECT_EQ(count_of(captured, "Too many errors, compilation stopped."), 1);
}

TEST_F(CompileErrorTest, CodeAreaFull) {
  CodeBlock* saved = main_prog;
  captured.clear();
  std::string text = "x = [1";
  for (int i = 0; i < 60; i++) text += ",1L";
  std::strcpy(cstate.line_buffer, (text + "]").c_str());
  cstate.line = cstate.line_buffer;
  uint8_t small[256];
  uint32_t size = 0;
  EXPECT_EQ(compile_single_stmt(small, sizeof small, &size), nullptr);
  EXPECT_EQ(count_of(captured, "Program code area full."), 1) << captured;
  EXPECT_EQ(main_prog, saved);
  EXPECT_EQ(main_prog->code_len, 0u);  // the main program's own code is untouched
}

}  // namespace
}  // namespace compiler_test

namespace compiler_test {
namespace {

class CompilerLimitsTest : public CompilerTest {};

TEST_F(CompilerLimitsTest, ScanBlockPoolRunsOut) {
  std::string deep = "x = " + std::string(230, '(') + "1" + std::string(230, ')');
  EXPECT_TRUE(stmt(deep).empty());
  EXPECT_EQ(count_of(captured, "Compiler ran out of free space."), 1) << captured;
  captured.clear();
  std::string fine = "x = " + std::string(20, '(') + "1" + std::string(20, ')');
  EXPECT_FALSE(stmt(fine).empty()) << captured;
}

TEST_F(CompilerLimitsTest, VariableTableAndFrameLimits) {
  CodeBlock* small = new_program_area(ident_hash("ZZT_SMALL", 0, 0, MSG_LONGJMP), 256, DATA_RESERVE + 2 * sizeof(VarEntry));
  c_prog = small;
  IdentEntry* a = ident_hash("ZZT_VA", 0, 0, MSG_LONGJMP);
  IdentEntry* b = ident_hash("ZZT_VB", 0, 0, MSG_LONGJMP);
  IdentEntry* c = ident_hash("ZZT_VC", 0, 0, MSG_LONGJMP);
  uint32_t ob = looksym(b, small, true);
  uint32_t oa = looksym(a, small, true);
  EXPECT_NE(ob, 0u);
  EXPECT_NE(oa, ob);
  EXPECT_EQ(small->var_head, oa);  // the list is in name order
  EXPECT_EQ(var_entry(small, oa)->next, ob);
  EXPECT_EQ(looksym(c, small, false), 0u);
  EXPECT_EQ(looksym(c, small, true), 0u);
  EXPECT_NE(captured.find("Program data area full."), std::string::npos) << captured;
  // The hash of a file compilation finds the same entries, and falls back to the list.
  uint16_t hash[1024] = {};
  cstate.var_hash = hash;
  EXPECT_EQ(looksym(a, small, false), oa);
  EXPECT_EQ(looksym(b, small, false), ob);
  cstate.var_hash = nullptr;
  c_prog = main_prog;
  free_program_area(small);

  // Without a frame layer the default frame size limits a unit to 260 variables.
  std::string text = "PRO zzt_big\n";
  for (int i = 0; i < 270; i++) text += "v" + std::to_string(i) + " = 0\n";
  captured.clear();
  run_file(text + "END\n");
  EXPECT_EQ(count_of(captured, "Program unit has too many local variables."), 10) << captured.substr(0, 300);
}

// Random statements made of the language's own pieces must never crash the compiler,
// leave temporaries out, or leave the main program's code changed.
TEST_F(CompilerLimitsTest, RandomTokenSoupIsHandled) {
  static const char* const pieces[] = {
      "x", "a(", ")", "(", ",", "=", "[", "]", "{", "}", ":", ".", "+", "-", "*", "/", "^", "#", "<", ">",
      "1", "2.5", "'s'", "\"7", "3B", "IF", "THEN", "ELSE", "BEGIN", "END", "ENDIF", "FOR", "DO", "WHILE",
      "REPEAT", "UNTIL", "CASE", "OF", "GOTO", "ON_IOERROR", "PRO", "FUNCTION", "COMMON", "AND", "NOT",
      "EQ", "MOD", "zzt_kwfun(", "zzt_kwpro", "/K", "K=", "&", "!zzt", "lbl:", "$", ";", "@", "*:", "RETURN"};
  const int n = sizeof pieces / sizeof pieces[0];
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  int compiled = 0;
  for (int round = 0; round < 1500; round++) {
    std::string text;
    int len = 1 + static_cast<int>(next() % 14);
    for (int i = 0; i < len; i++) text += std::string(pieces[next() % n]) + " ";
    if (!stmt(text).empty()) compiled++;
    EXPECT_EQ(temp_list_handler(3), 0) << text;
    EXPECT_EQ(main_prog->code_len, 0u) << text;
  }
  EXPECT_GT(compiled, 0);
  EXPECT_LT(compiled, 1500);
}

}  // namespace
}  // namespace compiler_test
