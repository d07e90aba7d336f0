// Compile-time errors: each is reported with its text, the unit is refused, and parsing
// goes on to report later errors.
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

TEST_F(CompileErrorTest, SyntaxErrorRecoversAndReportsLaterErrors) {
  int r = run_file(
      "x = 1 +\n"
      "y = 2\n"
      "z = )\n"
      "GOTO, nowhere\n"
      "w = 3\n"
      "END\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(count_of(captured, "Syntax error."), 2) << captured;
  EXPECT_EQ(count_of(captured, "Label is undefined: NOWHERE."), 1) << captured;
  EXPECT_NE(captured.find("3 Compilation errors in module $MAIN$."), std::string::npos) << captured;
}

TEST_F(CompileErrorTest, ErrorReportShowsLineCaretAndPosition) {
  std::string path = write_file("bad.pro", "a = 1\nb = (2 +\nEND\n");
  runprog(path.c_str());
  // The source line, a caret under the place reached, the message, and the position.
  EXPECT_NE(captured.find("b = (2 +\n        ^\n% Syntax error.\n  At: " + path + ", Line 2\n"), std::string::npos)
      << captured;
  captured.clear();
  fails("x = 1 +\t* 2");
  EXPECT_NE(captured.find("x = 1 +\t* 2\n       \t ^\n"), std::string::npos) << captured;
  EXPECT_EQ(captured.find("At:"), std::string::npos);  // not reading a file
}

TEST_F(CompileErrorTest, LabelErrors) {
  EXPECT_NE(fails("a: x = 1 & a: y = 2").find("Multiple definition of label."), std::string::npos);
  std::string out = fails("GOTO, nowhere & GOTO, nowhere & GOTO, elsewhere");
  EXPECT_EQ(count_of(out, "Label is undefined: NOWHERE."), 1) << out;
  EXPECT_EQ(count_of(out, "Label is undefined: ELSEWHERE."), 1) << out;
  // Reported after the statement: the statement is shown, not its implicit END.
  out = fails("GOTO, far");
  EXPECT_NE(out.find("GOTO, far\n         ^\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("& END"), std::string::npos) << out;
}

TEST_F(CompileErrorTest, EndWordMustMatch) {
  EXPECT_NE(fails("IF a THEN BEGIN & x = 1 & ENDWHILE").find("Type of end does not match statement (ENDIF expected)."),
            std::string::npos);
  EXPECT_NE(fails("IF a THEN x=1 ELSE BEGIN & x = 1 & ENDIF").find("(ENDELSE expected)"), std::string::npos);
  EXPECT_NE(fails("WHILE a DO BEGIN & x = 1 & ENDFOR").find("(ENDWHILE expected)"), std::string::npos);
  EXPECT_NE(fails("FOR i=0,1 DO BEGIN & x = 1 & ENDREP").find("(ENDFOR expected)"), std::string::npos);
  EXPECT_NE(fails("REPEAT BEGIN & x = 1 & ENDIF UNTIL x").find("(ENDREP expected)"), std::string::npos);
  EXPECT_NE(fails("CASE a OF 1: x=1 & ENDIF").find("(ENDCASE expected)"), std::string::npos);
  // Plain END closes anything; the matching word is accepted too.
  EXPECT_FALSE(stmt("IF a THEN BEGIN & x = 1 & END ELSE BEGIN & x = 2 & ENDELSE").empty()) << captured;
  EXPECT_FALSE(stmt("WHILE a DO BEGIN & a = 0 & ENDWHILE").empty()) << captured;
  // A CASE used as an IF body is not a BEGIN block.
  EXPECT_FALSE(stmt("IF a THEN CASE a OF 1: x=1 & ENDCASE").empty()) << captured;
}

TEST_F(CompileErrorTest, HeadersAndReturns) {
  EXPECT_NE(fails("PRO zzt_p").find("Programs can't be compiled from single statement mode."), std::string::npos);
  EXPECT_EQ(run_file("x = 1\nPRO zzt_late\nEND\n"), -1);
  EXPECT_NE(captured.find("Procedure header must appear first and only once: ZZT_LATE"), std::string::npos) << captured;
  captured.clear();
  run_file("FUNCTION zzt_f\nRETURN\nEND\n");
  EXPECT_NE(captured.find("Return statement in functions must have 1 value."), std::string::npos) << captured;
  captured.clear();
  run_file("PRO zzt_p1\nRETURN, 1\nEND\n");
  EXPECT_NE(captured.find("Return statement in procedures can't have values."), std::string::npos) << captured;
  captured.clear();
  run_file("PRO zzt_p2, a, b, a\nEND\n");
  EXPECT_NE(captured.find("A is already defined with a conflicting definition."), std::string::npos) << captured;
  // None of them was installed.
  for (const char* n : {"ZZT_F", "ZZT_P1", "ZZT_P2", "ZZT_LATE"}) {
    EXPECT_TRUE(routine_listing(n, false).empty()) << n;
    EXPECT_TRUE(routine_listing(n, true).empty()) << n;
  }
}

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

TEST_F(CompileErrorTest, ForVariable) {
  EXPECT_NE(fails("FOR !x = 0, 1 DO y = 1").find("Only simple local variables may be used as FOR variables."),
            std::string::npos);
  EXPECT_NE(fails("FOR s.t = 0, 1 DO y = 1").find("Only simple local variables"), std::string::npos);
}

TEST_F(CompileErrorTest, SubscriptErrors) {
  EXPECT_NE(fails("y = a(*:3)").find("*:n subscript form not allowed."), std::string::npos);
  EXPECT_NE(fails("y = a(1,2,3,4,5,6,7,8)").find("Only 7 subscripts allowed."), std::string::npos);
  EXPECT_FALSE(stmt("y = a(1,2,3,4,5,6,7)").empty()) << captured;
}

TEST_F(CompileErrorTest, ConstructorErrors) {
  std::string many = "x = [a";
  for (int i = 1; i < 90; i++) many += ",a";
  EXPECT_FALSE(stmt(many + "]").empty()) << captured;  // 90 elements
  EXPECT_NE(fails(many + ",a]").find("Too many operands for array concatenation."), std::string::npos);
  std::string l1 = "[1,2]";
  std::string l2 = "[" + l1 + "," + l1 + "]";
  std::string l3 = "[" + l2 + "," + l2 + "]";
  std::string l4 = "[" + l3 + "," + l3 + "]";
  EXPECT_FALSE(stmt("x = " + l4).empty()) << captured;
  EXPECT_NE(fails("x = [" + l4 + "," + l4 + "]").find("Only eight levels of variable concatenation are allowed."),
            std::string::npos);
  EXPECT_FALSE(stmt("s = {zzt_rec, a:1, b:2}").empty()) << captured;
  EXPECT_NE(fails("s = {zzt_rec, 1}").find("Wrong number of tags defined for structure: ZZT_REC."), std::string::npos);
  EXPECT_NE(fails("s = {zzt_rec, a:1, c:2}").find("Conflicting structure tag definition: ZZT_REC."),
            std::string::npos);
  EXPECT_NE(fails("s = {zzt_newrec, 1, 2}").find("Conflicting structure tag definition: ZZT_NEWREC."),
            std::string::npos);
  EXPECT_NE(fails("s = {t:1, t:2}").find("Conflicting structure tag definition: T."), std::string::npos);
}

TEST_F(CompileErrorTest, EndOfFileInsideAUnit) {
  EXPECT_EQ(run_file("PRO zzt_open\nx = 1\n"), 0);
  EXPECT_NE(captured.find("End of file encountered before end of program."), std::string::npos) << captured;
  EXPECT_TRUE(routine_listing("ZZT_OPEN").empty());
}

TEST_F(CompileErrorTest, LexicalErrorDropsTheLineAndGoesOn) {
  int r = run_file("a = 1\nb = 256B\nc = %\nd = 2\nEND\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(count_of(captured, "Byte constant must be less than 256."), 1) << captured;
  EXPECT_EQ(count_of(captured, "Illegal character in program text."), 1) << captured;
  EXPECT_EQ(count_of(captured, "Syntax error."), 0) << captured;
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
