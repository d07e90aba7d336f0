// Compiling from files: statement markers, constant pooling, jumps to labels, routine
// headers and COMMON, installing routines, the compile command's options, the library
// search along the path, nested command files and the terminal.
#include <deque>

#include "compiler_fixture.h"
#include "compiler/parser.h"

namespace compiler_test {
namespace {

using Code = std::vector<std::string>;

class CompilerInputTest : public CompilerTest {
 protected:
  void TearDown() override {
    cstate.interactive = false;
    CompilerTest::TearDown();
  }
};

TEST_F(CompilerInputTest, MarkersAndPooledConstants) {
  ASSERT_EQ(run_file("a = 1\nb = 1\nc = 1L\nCOMMON zzt_markers, q\n\nd = a\nEND\n"), 1) << captured;
  Code c = main_listing();
  ASSERT_GE(c.size(), 5u);
  EXPECT_EQ(c[0].rfind("SOURCE line 1 ", 0), 0u) << c[0];
  EXPECT_EQ(find(c, "SOURCE", 1), -1);  // one file, one SOURCE record
  EXPECT_EQ(c[1], "PUSH_CONST 1");
  EXPECT_EQ(c[4], "LINE line 2");
  EXPECT_EQ(c[5].rfind("PUSH_CONST_REF @", 0), 0u) << c[5];
  EXPECT_EQ(c[5].substr(c[5].size() - 2), " 1");
  EXPECT_EQ(c[9], "PUSH_CONST 1L");  // another type: not pooled
  // The COMMON line has no code and no marker of its own.
  EXPECT_EQ(find(c, "LINE line 4"), -1);
  EXPECT_GE(find(c, "LINE line 6"), 0);
  EXPECT_EQ(c.back(), "END");
  // The SOURCE record links to itself and is the unit's last one.
  EXPECT_EQ(main_prog->code[main_prog->last_source], OP_SOURCE);
  EXPECT_EQ(inst_u16(main_prog->code + main_prog->last_source, 4), main_prog->last_source);
}

TEST_F(CompilerInputTest, EmptyInputCompilesNothing) {
  EXPECT_EQ(run_file("; only a comment\n\n   \t\n; another\n"), 0);
  EXPECT_EQ(captured, "");
  EXPECT_EQ(main_prog->code_len, 0u);
}

TEST_F(CompilerInputTest, ErrorInsideABlockIsReportedAndParsingGoesOn) {
  EXPECT_EQ(run_file("IF a THEN BEGIN\n"
                     "  b = (1\n"
                     "  c = 2\n"
                     "ENDIF\n"
                     "d = )\n"
                     "FOR !x = 0, 1 DO e = 1\n"
                     "END\n"),
            -1);
  EXPECT_EQ(count_of(captured, "Syntax error."), 2) << captured;
  EXPECT_EQ(count_of(captured, "Line 2\n"), 1) << captured;
  EXPECT_EQ(count_of(captured, "Line 5\n"), 1) << captured;
  EXPECT_EQ(count_of(captured, "Only simple local variables may be used as FOR variables."), 1) << captured;
  EXPECT_NE(captured.find("3 Compilation errors in module $MAIN$."), std::string::npos) << captured;
}

TEST_F(CompilerInputTest, GotoAndOnIoerror) {
  ASSERT_EQ(run_file("top: a = 1\n"
                     "GOTO, bottom\n"
                     "GOTO, bottom\n"
                     "ON_IOERROR, bad\n"
                     "GOTO, top\n"
                     "ON_IOERROR, top\n"
                     "ON_IOERROR, NULL\n"
                     "bottom: b = 2\n"
                     "bad: c = 3\n"
                     "END\n"),
            1)
      << captured;
  Code c = main_listing();
  int bottom = find(c, "LINE line 8");
  int bad = find(c, "LINE line 9");
  ASSERT_GT(bottom, 0);
  int j1 = find(c, "JUMP ");
  int j2 = find(c, "JUMP ", j1 + 1);
  EXPECT_EQ(target(c[static_cast<size_t>(j1)]), bottom);
  EXPECT_EQ(target(c[static_cast<size_t>(j2)]), bottom);
  EXPECT_EQ(target(c[static_cast<size_t>(find(c, "SET_IOERROR "))]), bad);
  EXPECT_EQ(target(c[static_cast<size_t>(find(c, "JUMP_BACK"))]), 0);
  EXPECT_EQ(target(c[static_cast<size_t>(find(c, "SET_IOERROR_BACK"))]), 0);
  int cancel = find(c, "SET_IOERROR ", find(c, "SET_IOERROR_BACK"));
  EXPECT_EQ(target(c[static_cast<size_t>(cancel)]), cancel);  // offset 0
}

TEST_F(CompilerInputTest, ForLoopsAreChained) {
  ASSERT_EQ(run_file("FOR i = 0, 3 DO x = i\nFOR j = 0, 9, 2 DO BEGIN\n  x = j\nENDFOR\nEND\n"), 1) << captured;
  Code c = main_listing();
  int second = find(c, "FOR_INIT_STEP");
  ASSERT_GT(second, 0);
  EXPECT_EQ(c[static_cast<size_t>(target(c[static_cast<size_t>(second)]))], "FOR_NEXT_STEP -> #" + std::to_string(second));
  uint16_t at = main_prog->for_chain;
  ASSERT_NE(at, 0);
  EXPECT_EQ(main_prog->code[at], OP_FOR_INIT_STEP);
  uint16_t prev = inst_u16(main_prog->code + at, 4);
  EXPECT_EQ(main_prog->code[prev], OP_FOR_INIT);
  EXPECT_EQ(inst_u16(main_prog->code + prev, 4), 0);
  EXPECT_EQ(main_prog->for_save, 5);
}

TEST_F(CompilerInputTest, ProcedureWithKeywordFormals) {
  ASSERT_EQ(run_file("PRO zzt_kwp, a, ZED=z, ALPHA=al, b, MID=m\n  z = a + 'txt'\nEND\n"), 0) << captured;
  EXPECT_NE(captured.find("Compiled module: ZZT_KWP."), std::string::npos) << captured;
  CodeBlock* p = find_user_routine(ident_hash("ZZT_KWP", 0, 0, MSG_LONGJMP), false);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(p->compiled());
  EXPECT_EQ(p->n_params, 5u);
  EXPECT_EQ(p->n_vars, 5u);
  EXPECT_TRUE(p->flags & CB_KEYWORDS);
  EXPECT_FALSE(p->flags & (CB_FUNCTION | CB_EXTRA));
  IdentEntry** kw = p->kw_formals();
  EXPECT_EQ(kw[0], nullptr);
  EXPECT_STREQ(kw[1]->name, "ALPHA");
  EXPECT_STREQ(kw[2]->name, "ZED");
  EXPECT_EQ(kw[3], nullptr);
  EXPECT_STREQ(kw[4]->name, "MID");
  // Z, the keyword ZED's variable, now sits in the third slot.
  Code c = routine_listing("ZZT_KWP");
  ASSERT_EQ(c.size(), 9u);
  EXPECT_EQ(c[0].rfind("SOURCE line 2 ", 0), 0u);
  // Strings of routines point into the code (no copy flag).
  EXPECT_EQ(Code(c.begin() + 1, c.end()), (Code{"PUSH_PARAM param 0", "PUSH_STRING 'txt'", "ADD", "PUSH_PARAM param 2",
                                                "STORE", "LINE line 3", "IMPLICIT_RETURN", "END"}));
  // The main program was left alone.
  EXPECT_EQ(main_prog->code_len, 0u);
}

TEST_F(CompilerInputTest, FunctionsAndExtra) {
  ASSERT_EQ(run_file("FUNCTION zzt_fn, x, _EXTRA=e\nRETURN, x\nEND\nPRO zzt_pr2\nEND\n"), 0) << captured;
  CodeBlock* f = find_user_routine(ident_hash("ZZT_FN", 0, 0, MSG_LONGJMP), true);
  ASSERT_TRUE(f && f->compiled());
  EXPECT_TRUE(f->is_function());
  EXPECT_TRUE(f->flags & CB_EXTRA);
  EXPECT_NE(find_user_routine(ident_hash("ZZT_PR2", 0, 0, MSG_LONGJMP), false), nullptr);
  EXPECT_EQ(find_user_routine(ident_hash("ZZT_FN", 0, 0, MSG_LONGJMP), false), nullptr);
  // The lexer now knows ZZT_FN as a function.
  Code c = stmt("y = zzt_fn(2)");
  EXPECT_EQ(c[2], "CALL_USERFUN ZZT_FN argc=1");
}

TEST_F(CompilerInputTest, RecompilingKeepsTheRecord) {
  ASSERT_EQ(run_file("PRO zzt_again\nx = 1\nEND\n"), 0);
  CodeBlock* first = find_user_routine(ident_hash("ZZT_AGAIN", 0, 0, MSG_LONGJMP), false);
  ASSERT_TRUE(first && first->compiled());
  // A string value that points into the old code gets its own copy first.
  CommonBlock* blk = enter_common(ident_hash("ZZT_STRBLK", 0, 0, MSG_LONGJMP), 1, true);
  ASSERT_NE(blk, nullptr);
  blk->vars[0].type = TYP_STRING;
  blk->vars[0].value.str = StringDesc{2, 0, reinterpret_cast<char*>(first->code + 1)};
  static bool active;
  active = true;
  static int returned;
  returned = 0;
  compiler_hooks.routine_active = [](const CodeBlock*) { return active; };
  compiler_hooks.return_all = [] { returned++; };
  ASSERT_EQ(run_file("PRO zzt_again\nx = 2\ny = 3\nEND\n"), 0) << captured;
  EXPECT_NE(captured.find("Procedure was compiled while active: ZZT_AGAIN. Returning."), std::string::npos);
  EXPECT_EQ(returned, 1);
  EXPECT_EQ(find_user_routine(ident_hash("ZZT_AGAIN", 0, 0, MSG_LONGJMP), false), first);
  EXPECT_EQ(first->n_vars, 2u);
  EXPECT_TRUE(blk->vars[0].value.str.owned);
  EXPECT_TRUE(blk->vars[0].flags & FLAG_DYNAMIC);
  delvar(&blk->vars[0]);
}

TEST_F(CompilerInputTest, CommonBlocks) {
  ASSERT_EQ(run_file("COMMON zzt_cb, p, q\nq = 1\nEND\n"), 1) << captured;
  Code c = main_listing();
  EXPECT_EQ(c[2], "PUSH_COMMON Q in ZZT_CB");
  ASSERT_EQ(run_file("PRO zzt_usecb\nCOMMON zzt_cb\nx = q\nEND\n"), 0) << captured;
  EXPECT_EQ(routine_listing("ZZT_USECB")[1], "PUSH_COMMON Q in ZZT_CB");
  captured.clear();
  EXPECT_EQ(run_file("COMMON zzt_nosuch\nEND\n"), -1);
  EXPECT_NE(captured.find("Common block ZZT_NOSUCH must contain variables."), std::string::npos) << captured;
  captured.clear();
  EXPECT_EQ(run_file("COMMON zzt_cb, p, q, r\nEND\n"), -1);
  EXPECT_NE(captured.find("Attempt to extend common block: ZZT_CB"), std::string::npos) << captured;
  captured.clear();
  EXPECT_EQ(run_file("PRO zzt_conflict\nv = 1\nCOMMON zzt_cb, v\nEND\n"), 0);
  EXPECT_NE(captured.find("V is already defined with a conflicting definition."), std::string::npos) << captured;
}

TEST_F(CompilerInputTest, CompileCommandOptionsAndFailures) {
  std::string src = write_file("listed.pro", "a = 1\nIF a THEN BEGIN\nb = 2\nENDIF\nEND\n");
  std::string lst = (dir_ / "out.lis").string();
  EXPECT_EQ(runprog(("-L " + lst + " " + src).c_str()), 1) << captured;
  std::ifstream in(lst);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "    1 a = 1\n    2 IF a THEN BEGIN\n    3     b = 2\n    4     ENDIF\n    5 END\n");
  EXPECT_EQ(runprog((dir_ / "missing.pro").c_str()), 0);
  EXPECT_NE(captured.find("Can't open file for input: " + (dir_ / "missing.pro").string()), std::string::npos)
      << captured;
  EXPECT_EQ(runprog(("-q " + src).c_str()), 0);  // an unknown option counts as a failure
  EXPECT_EQ(comp_io.depth, -1);
  // The files are read in the order given.
  std::string one = write_file("one.pro", "PRO zzt_one\nEND\n");
  std::string two = write_file("two.pro", "x = 2\nEND\n");
  captured.clear();
  EXPECT_EQ(runprog((one + ", " + two).c_str()), 1);
  EXPECT_LT(captured.find("ZZT_ONE"), captured.find("$MAIN$"));
}

TEST_F(CompilerInputTest, SearchPathWithPlusExpansion) {
  write_file("lib/a/sub/zzt_deep.pro", "PRO zzt_deep\nEND\n");
  write_file("lib/a/readme.txt", "");
  write_file("lib/c/zzt_other.sav", "");
  std::filesystem::create_directories(dir_ / "lib/empty");
  write_file("flat/zzt_flat.pro", "FUNCTION zzt_flat\nRETURN, 1\nEND\n");
  vek_path = " +" + (dir_ / "lib").string() + " : " + (dir_ / "flat").string();
  const std::vector<std::string>& p = search_path();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], (dir_ / "lib/a/sub").string());
  EXPECT_EQ(p[1], (dir_ / "lib/c").string());
  EXPECT_EQ(p[2], (dir_ / "flat").string());
  EXPECT_TRUE(is_in_library("zzt_deep"));
  EXPECT_TRUE(is_in_library("zzt_other"));  // a saved routine counts
  EXPECT_FALSE(is_in_library("zzt_absent"));
  bool sav = false;
  EXPECT_EQ(find_along_path("zzt_other", true, true, &sav), (dir_ / "lib/c/zzt_other.sav").string());
  EXPECT_TRUE(sav);
  // The lexer takes an unknown name followed by "(" that is in the library for a function.
  Code c = stmt("y = zzt_flat(1)");
  EXPECT_EQ(c[2], "CALL_USERFUN ZZT_FLAT argc=1");
  // The current directory comes before the path.
  auto cwd = std::filesystem::current_path();
  write_file("here/zzt_deep.pro", "PRO zzt_deep\nEND\n");
  std::filesystem::current_path(dir_ / "here");
  std::string found = find_along_path("zzt_deep", true, false, nullptr);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(found, "zzt_deep.pro");
  vek_path = "+" + (dir_ / "nothing_here").string();
  captured.clear();
  EXPECT_TRUE(search_path().empty());
  EXPECT_NE(captured.find("Unable to stat files in !PATH directory:"), std::string::npos) << captured;
}

TEST_F(CompilerInputTest, CompileOnFirstCall) {
  write_file("lib/zzt_wanted.pro",
             "PRO zzt_helper\nx = 1\nEND\nPRO zzt_wanted, a\nzzt_helper\nEND\nPRO zzt_after\nEND\n");
  write_file("lib/zzt_mainonly.pro", "x = 1\nEND\n");
  vek_path = (dir_ / "lib").string();
  CodeBlock* wanted = enter_proc_name_str("ZZT_WANTED", false);
  ASSERT_FALSE(wanted->compiled());
  EXPECT_TRUE(compile_on_call(wanted));
  EXPECT_TRUE(wanted->compiled());
  EXPECT_EQ(wanted->n_params, 1u);
  CodeBlock* helper = find_user_routine(ident_hash("ZZT_HELPER", 0, 0, MSG_LONGJMP), false);
  ASSERT_NE(helper, nullptr);
  EXPECT_TRUE(helper->compiled());
  // Compilation stopped after the wanted routine.
  CodeBlock* after = find_user_routine(ident_hash("ZZT_AFTER", 0, 0, MSG_LONGJMP), false);
  EXPECT_TRUE(after == nullptr || !after->compiled());
  EXPECT_EQ(comp_io.depth, -1);
  EXPECT_EQ(main_prog->code_len, 0u);
  // A file holding only a main program defines nothing.
  CodeBlock* mainonly = enter_proc_name_str("ZZT_MAINONLY", false);
  captured.clear();
  EXPECT_FALSE(compile_on_call(mainonly));
  EXPECT_NE(captured.find("Library file does not contain a procedure or function."), std::string::npos) << captured;
  EXPECT_FALSE(compile_on_call(enter_proc_name_str("ZZT_NOWHERE", false)));
  // Restoring a saved routine goes through the hook.
  write_file("lib/zzt_saved.sav", "");
  static std::string restored_path;
  compiler_hooks.restore_file = [](const char* path) {
    restored_path = path;
    return true;
  };
  compile_on_call(enter_proc_name_str("ZZT_SAVED", false));
  EXPECT_EQ(restored_path, (dir_ / "lib/zzt_saved.sav").string());
}

// Terminal input served from a queue.
std::deque<std::string> terminal_lines;
std::vector<std::string> prompts;
bool read_queue(const char* prompt, std::string* line) {
  prompts.push_back(prompt);
  if (terminal_lines.empty()) return false;
  *line = terminal_lines.front();
  terminal_lines.pop_front();
  return true;
}

TEST_F(CompilerInputTest, NestedCommandFilesAndTheTerminal) {
  for (int i = 0; i <= 11; i++)
    write_file("f" + std::to_string(i), "@" + (dir_ / ("f" + std::to_string(i + 1))).string() + "\nline " +
                                             std::to_string(i) + "\n");
  compiler_hooks.read_terminal = read_queue;
  static int exits;
  exits = 0;
  compiler_hooks.request_exit = [] { exits++; };
  compiler_hooks.prompt = [] { return "ZZT> "; };
  terminal_lines = {"@" + (dir_ / "f0").string(), "typed"};
  prompts.clear();
  cstate.interactive = true;
  int typed_before = cstate.term_lines;
  std::vector<std::string> lines;
  for (int i = 0; i < 13; i++) {
    comp_getline(nullptr);
    lines.push_back(cstate.line_buffer);
  }
  // Levels 0-10 open; the twelfth file is refused and reading goes on at level 10.
  EXPECT_EQ(count_of(captured, "Too many open compiler files, File " + (dir_ / "f11").string() + " not opened."), 1)
      << captured;
  for (int i = 0; i <= 10; i++) EXPECT_EQ(lines[static_cast<size_t>(i)], "line " + std::to_string(10 - i));
  EXPECT_EQ(lines[11], "\x04\x04");  // the files are exhausted
  EXPECT_EQ(lines[12], "typed");
  EXPECT_EQ(prompts, (std::vector<std::string>{"ZZT> ", "ZZT> "}));
  EXPECT_EQ(cstate.term_lines, typed_before + 2);
  // Continuation lines of a program typed at the terminal have their own prompt.
  cstate.interactive = false;
  terminal_lines = {"more"};
  comp_getline(nullptr);
  EXPECT_EQ(prompts.back(), "- ");
  // The end of the terminal input ends the session.
  comp_getline(nullptr);
  EXPECT_EQ(exits, 1);
  EXPECT_STREQ(cstate.line_buffer, "\x04\x04");
}

TEST_F(CompilerInputTest, ProgramTypedAtTheTerminal) {
  compiler_hooks.read_terminal = read_queue;
  terminal_lines = {"PRO zzt_typed, a", "  b = a", "END"};
  prompts.clear();
  int typed_before = cstate.term_lines;
  EXPECT_EQ(runprog(""), 0) << captured;
  EXPECT_EQ(prompts, (std::vector<std::string>{"- ", "- ", "- "}));
  CodeBlock* p = find_user_routine(ident_hash("ZZT_TYPED", 0, 0, MSG_LONGJMP), false);
  ASSERT_TRUE(p && p->compiled());
  EXPECT_EQ(routine_listing("ZZT_TYPED")[0], "SOURCE line " + std::to_string(typed_before + 2) + " /dev/tty");
}

TEST_F(CompilerInputTest, StatementsUseTheCurrentRoutinesVariables) {
  ASSERT_EQ(run_file("PRO zzt_stopped, a\nb = a\nEND\n"), 0);
  static CodeBlock* current;
  current = find_user_routine(ident_hash("ZZT_STOPPED", 0, 0, MSG_LONGJMP), false);
  static uint32_t added_slot;
  added_slot = 0;
  compiler_hooks.current_routine = [] { return current; };
  compiler_hooks.new_variable = [](CodeBlock*, uint32_t slot) {
    added_slot = slot;
    return 0;
  };
  Code c = stmt("c = b + a");
  EXPECT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 1", "PUSH_PARAM param 0", "ADD", "PUSH_LOCAL slot 2", "STORE",
                     "END"}));
  EXPECT_EQ(current->n_vars, 3u);
  EXPECT_EQ(added_slot, 2u * VAR_SLOT_SIZE);
  // The routine's own code is untouched.
  EXPECT_EQ(routine_listing("ZZT_STOPPED")[1], "PUSH_PARAM param 0");
  // A refusal from the frames is reported.
  compiler_hooks.new_variable = [](CodeBlock*, uint32_t) { return static_cast<int>(M_TOO_MANY_LOCALS); };
  EXPECT_TRUE(stmt("d = 1").empty());
  EXPECT_NE(captured.find("Program unit has too many local variables."), std::string::npos);
}

TEST_F(CompilerInputTest, MainProgramWhileInsideAProcedure) {
  static CodeBlock* current;
  current = enter_proc_name_str("ZZT_SOMEWHERE", false);
  static int returned;
  returned = 0;
  compiler_hooks.current_routine = [] { return current; };
  compiler_hooks.return_all = [] { returned++; };
  EXPECT_EQ(run_file("x = 1\nEND\n"), 1);
  EXPECT_EQ(returned, 1);
  EXPECT_NE(captured.find("You compiled a main program while inside a procedure.  Returning."), std::string::npos);
}

}  // namespace
}  // namespace compiler_test
