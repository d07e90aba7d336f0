// Statements compiled to byte code and checked through the listing: control flow,
// calls with keyword maps, subscripts, constructors, precedence.
#include "compiler_fixture.h"
#include "compiler/parser.h"

namespace compiler_test {
namespace {

using Code = std::vector<std::string>;

class ParserTest : public CompilerTest {};

TEST_F(ParserTest, AssignmentAndIf) {
  EXPECT_EQ(stmt("b = a + 1"),
            (Code{"LINE line 0", "PUSH_LOCAL slot 0", "PUSH_CONST 1", "ADD", "PUSH_LOCAL slot 1", "STORE", "END"}));
  Code c = stmt("IF a THEN b = 1");
  ASSERT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 0", "JUMP_IF_FALSE -> #6", "PUSH_CONST 1", "PUSH_LOCAL slot 1",
                     "STORE", "END"}));
}

TEST_F(ParserTest, IfElseJumpsAroundTheElseBranch) {
  Code c = stmt("IF a THEN b = 1 ELSE b = 2L");
  int jif = find(c, "JUMP_IF_FALSE");
  int jump = find(c, "JUMP ");
  ASSERT_GE(jif, 0);
  ASSERT_GT(jump, jif);
  EXPECT_EQ(c[static_cast<size_t>(target(c[static_cast<size_t>(jif)]))], "PUSH_CONST 2L");
  EXPECT_EQ(c[static_cast<size_t>(target(c[static_cast<size_t>(jump)]))], "END");
  // The dangling ELSE belongs to the nearest IF.
  c = stmt("IF a THEN IF b THEN c = 1 ELSE c = 2");
  int outer = find(c, "JUMP_IF_FALSE");
  int inner = find(c, "JUMP_IF_FALSE", outer + 1);
  EXPECT_EQ(c[static_cast<size_t>(target(c[static_cast<size_t>(outer)]))], "END");
  EXPECT_EQ(c[static_cast<size_t>(target(c[static_cast<size_t>(inner)]))], "PUSH_CONST 2");
}

TEST_F(ParserTest, WhileLoopsBackToItsMark) {
  Code c = stmt("WHILE a DO a = a - 1");
  ASSERT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 0", "JUMP_IF_FALSE -> #9", "PUSH_LOCAL slot 0", "PUSH_CONST 1",
                     "SUB", "PUSH_LOCAL slot 0", "STORE", "JUMP_BACK -> #1", "END"}));
  // The mark is a one-byte no-operation just before the condition.
  size_t back = raw_.find("JUMP_BACK -> ");
  unsigned mark = static_cast<unsigned>(std::stoul(raw_.substr(back + 13)));
  char expect[32];
  std::snprintf(expect, sizeof expect, "%5u  PAD1", mark);
  EXPECT_NE(raw_.find(expect), std::string::npos) << raw_;
}

TEST_F(ParserTest, RepeatUntil) {
  Code c = stmt("REPEAT a = a + 1 UNTIL a GT 3");
  ASSERT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 0", "PUSH_CONST 1", "ADD", "PUSH_LOCAL slot 0", "STORE",
                     "PUSH_LOCAL slot 0", "PUSH_CONST 3", "GT", "JUMP_BACK_IF_FALSE -> #1", "END"}));
}

TEST_F(ParserTest, ForLoopsWithAndWithoutStep) {
  Code c = stmt("FOR i = 0, 9 DO s = s + i");
  ASSERT_EQ(c, (Code{"LINE line 0", "PUSH_CONST 0", "PUSH_LOCAL slot 0", "PUSH_CONST 9", "FOR_INIT -> #10",
                     "PUSH_LOCAL slot 1", "PUSH_LOCAL slot 0", "ADD", "PUSH_LOCAL slot 1", "STORE", "FOR_NEXT -> #4",
                     "END"}));
  c = stmt("FOR i = 10, 0, -2 DO s = i");
  int init = find(c, "FOR_INIT_STEP");
  int next = find(c, "FOR_NEXT_STEP");
  ASSERT_GE(init, 0);
  ASSERT_GE(next, 0);
  EXPECT_EQ(target(c[static_cast<size_t>(init)]), next);
  EXPECT_EQ(target(c[static_cast<size_t>(next)]), init);
  EXPECT_EQ(c[static_cast<size_t>(init - 1)], "NEGATE");  // the step -2 is computed
  // A system variable cannot be a loop variable.
  EXPECT_TRUE(stmt("FOR !x = 0, 1 DO s = 1").empty());
  EXPECT_EQ(count_of(captured, "Only simple local variables may be used as FOR variables."), 1);
  EXPECT_TRUE(stmt("FOR a(1) = 0, 1 DO s = 1").empty());
}

TEST_F(ParserTest, CaseWithElse) {
  Code c = stmt("CASE x OF 1: y = 10 & 2: y = 20 & ELSE: y = 30 & ENDCASE");
  ASSERT_FALSE(c.empty()) << captured;
  int t1 = find(c, "CASE_TEST");
  int t2 = find(c, "CASE_TEST", t1 + 1);
  int nomatch = find(c, "CASE_NOMATCH");
  ASSERT_TRUE(t1 > 0 && t2 > t1 && nomatch > t2);
  EXPECT_EQ(c[static_cast<size_t>(t1 - 1)], "PUSH_CONST 1");
  EXPECT_EQ(c[static_cast<size_t>(t2 - 1)], "PUSH_CONST 2");
  EXPECT_EQ(target(c[static_cast<size_t>(t1)]), t2 - 1);  // on mismatch: the next label
  int pop = find(c, "POP");
  EXPECT_EQ(target(c[static_cast<size_t>(t2)]), pop);     // then the ELSE, which drops the selector
  EXPECT_EQ(c[static_cast<size_t>(pop + 1)], "PUSH_CONST 30");
  // Every case line ends with a jump past CASE_NOMATCH.
  int jumps = 0;
  for (int i = find(c, "JUMP "); i >= 0; i = find(c, "JUMP ", i + 1)) {
    EXPECT_EQ(target(c[static_cast<size_t>(i)]), nomatch + 1);
    jumps++;
  }
  EXPECT_EQ(jumps, 3);
}

TEST_F(ParserTest, KeywordCallsCarryTheirArgumentMap) {
  Code c = stmt("ZZT_KWPRO, x, B=1, A=2");
  ASSERT_FALSE(c.empty()) << captured;
  EXPECT_EQ(c[c.size() - 2], "CALL_SYSPRO ZZT_KWPRO argc=3 map=0:,2:A,1:B");
  c = stmt("y = ZZT_KWFUN(/FLAG, 5, _EXTRA=e)");
  ASSERT_FALSE(c.empty()) << captured;
  EXPECT_EQ(c[1], "PUSH_CONST 1");  // /FLAG means FLAG=1
  EXPECT_EQ(find(c, "CALL_SYSFUN ZZT_KWFUN argc=3 map=1:,2:0,0:FLAG"), find(c, "CALL_SYSFUN"));
  // Descriptor: n position bytes and n names, rounded up to even.
  size_t at = raw_.find("CALL_SYSFUN");
  unsigned off = static_cast<unsigned>(std::stoul(raw_.substr(raw_.rfind('\n', at) + 1)));
  uint16_t desc = inst_u16(area_ + off);
  EXPECT_EQ(desc, ((3 + 1 + 2 + 5) + 1) & ~1);
  // No keywords: no descriptor.
  c = stmt("ZZT_KWPRO, 1, 2");
  EXPECT_EQ(c[c.size() - 2], "CALL_SYSPRO ZZT_KWPRO argc=2");
}

TEST_F(ParserTest, UserRoutinesAndSpecialProcedures) {
  Code c = stmt("myproc, 1");
  EXPECT_EQ(c[c.size() - 2], "CALL_USERPRO MYPROC argc=1");
  EXPECT_NE(find_user_routine(ident_hash("MYPROC", 0, 0, MSG_LONGJMP), false), nullptr);
  EXPECT_EQ(stmt("CALL_PROCEDURE, 'p', 1")[3], "CALL_USERPRO (by name) argc=2");
  EXPECT_EQ(stmt("STOP, 1, 2")[3], "STOP 2");
  EXPECT_EQ(stmt("RETALL")[1], "RETALL");
  EXPECT_EQ(stmt("RETURN")[1], "RETURN");
  EXPECT_EQ(stmt("x = EXECUTE('y=1')")[2], "EXECUTE");
}

TEST_F(ParserTest, SubscriptCodes) {
  Code c = stmt("y = a(i, *, 1:2, 3:*)");
  ASSERT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 0", "PUSH_CONST 1", "PUSH_CONST 2", "PUSH_CONST 3",
                     "PUSH_LOCAL slot 1", "LOAD_SUBSCRIPTED [i,*,a:b,a:*]", "PUSH_LOCAL slot 2", "STORE", "END"}));
  // The first subscript ends in the highest bits: 0*64 + 1*16 + 2*4 + 3.
  size_t at = raw_.find("LOAD_SUBSCRIPTED");
  unsigned off = static_cast<unsigned>(std::stoul(raw_.substr(raw_.rfind('\n', at) + 1)));
  EXPECT_EQ(area_[off + 1], 4);
  EXPECT_EQ(inst_u16(area_ + off), 27);
  c = stmt("a(2, *) = 5");
  EXPECT_EQ(c[c.size() - 2], "STORE_SUBSCRIPTED [i,*]");
  c = stmt("y = (a + 1)(3)");
  EXPECT_EQ(c[c.size() - 4], "SUBSCRIPT_EXPR [i]");
}

TEST_F(ParserTest, ArrayConstructorLevels) {
  Code c = stmt("x = [1, 2]");
  EXPECT_EQ(c[3], "CONCATENATE level 1 n 2");
  c = stmt("x = [[1, 2], [3, 4]]");
  EXPECT_EQ(c[3], "CONCATENATE level 1 n 2");
  EXPECT_EQ(c[6], "CONCATENATE level 1 n 2");
  EXPECT_EQ(c[7], "CONCATENATE level 2 n 2");
  // A single-element constructor inside another only raises the level.
  c = stmt("x = [[1], [2]]");
  EXPECT_EQ(c, (Code{"LINE line 0", "PUSH_CONST 1", "PUSH_CONST 2", "CONCATENATE level 2 n 2", "PUSH_LOCAL slot 0",
                     "STORE", "END"}));
  c = stmt("x = [[1, 2], 3]");
  EXPECT_EQ(c[3], "CONCATENATE level 1 n 2");
  EXPECT_EQ(c[5], "CONCATENATE level 1 n 2");
  // Inside a call inside a constructor a one-element array is still built.
  c = stmt("x = [ZZT_KWFUN([1])]");
  EXPECT_EQ(c[2], "CONCATENATE level 1 n 1");
  EXPECT_EQ(c[4], "CONCATENATE level 1 n 1");
}

TEST_F(ParserTest, StructureConstructors) {
  Code c = stmt("s = {tag_a:1, tag_b:'x'}");
  EXPECT_EQ(c[3], "MAKE_STRUCT TAG_A,TAG_B");
  c = stmt("s = {zzt_point}");
  EXPECT_EQ(c[1], "MAKE_NAMED_STRUCT ZZT_POINT k 0");
  c = stmt("s = {zzt_pt, x:1, y:2}");
  EXPECT_EQ(c[3], "MAKE_NAMED_STRUCT ZZT_PT k 2");
  c = stmt("s = {zzt_pt, 5, 6}");
  EXPECT_EQ(c[3], "MAKE_NAMED_STRUCT ZZT_PT k 2");
  c = stmt("s = {zzt_pt, x:1, y:2}.x");
  EXPECT_TRUE(c.empty());  // a constructor is not a structure base
}

TEST_F(ParserTest, StructureReferences) {
  Code c = stmt("y = s.a(1).b");
  EXPECT_EQ(c, (Code{"LINE line 0", "PUSH_LOCAL slot 0", "STRUCT_BASE", "PUSH_CONST 1", "TAG_SUBSCRIPTED A [i]",
                     "TAG B", "FETCH_TAGS", "PUSH_LOCAL slot 1", "STORE", "END"}));
  c = stmt("s(2).(1) = 5");
  EXPECT_EQ(c, (Code{"LINE line 0", "PUSH_CONST 2", "PUSH_LOCAL slot 0", "STRUCT_BASE_SUBSCRIPTED [i]",
                     "PUSH_CONST 1", "TAG (number)", "PUSH_CONST 5", "STORE_TAGS", "END"}));
}

TEST_F(ParserTest, AssignmentAsExpressionKeepsItsValue) {
  Code c = stmt("y = (a(1) = 2)");
  EXPECT_EQ(c, (Code{"LINE line 0", "PUSH_CONST 1", "PUSH_CONST 2", "ASSIGN_EXPR 1", "PUSH_LOCAL slot 0",
                     "STORE_SUBSCRIPTED [i]", "PUSH_LOCAL slot 1", "STORE", "END"}));
}

TEST_F(ParserTest, PrecedenceAndAssociativity) {
  EXPECT_EQ(stmt("x = -2^2"), (Code{"LINE line 0", "PUSH_CONST 2", "PUSH_CONST 2", "POWER", "NEGATE",
                                     "PUSH_LOCAL slot 0", "STORE", "END"}));
  zero_prog(main_prog);
  EXPECT_EQ(stmt("x = a < b * c"), (Code{"LINE line 0", "PUSH_LOCAL slot 0", "PUSH_LOCAL slot 1", "PUSH_LOCAL slot 2",
                                          "MUL", "MIN", "PUSH_LOCAL slot 3", "STORE", "END"}));
  zero_prog(main_prog);
  EXPECT_EQ(stmt("x = NOT a EQ b"), (Code{"LINE line 0", "PUSH_LOCAL slot 0", "NOT", "PUSH_LOCAL slot 1", "EQ",
                                           "PUSH_LOCAL slot 2", "STORE", "END"}));
  zero_prog(main_prog);
  EXPECT_EQ(stmt("x = a OR b AND c"), (Code{"LINE line 0", "PUSH_LOCAL slot 0", "PUSH_LOCAL slot 1", "OR",
                                             "PUSH_LOCAL slot 2", "AND", "PUSH_LOCAL slot 3", "STORE", "END"}));
  zero_prog(main_prog);
  EXPECT_EQ(stmt("x = 2^3^2"), (Code{"LINE line 0", "PUSH_CONST 2", "PUSH_CONST 3", "POWER", "PUSH_CONST 2", "POWER",
                                      "PUSH_LOCAL slot 0", "STORE", "END"}));
  EXPECT_EQ(stmt("x = -a*b")[4], "NEGATE");
  EXPECT_EQ(stmt("x = 1 - 2 - 3")[3], "SUB");
}

TEST_F(ParserTest, StringConstantsCopyAtTheMainLevel) {
  Code c = stmt("s = 'It''s'");
  EXPECT_EQ(c[1], "PUSH_STRING 'It's' copy");
  std::string longtext(300, 'q');
  c = stmt("s = '" + longtext + "'");
  EXPECT_EQ(c[1], "PUSH_STRING '" + std::string(255, 'q') + "' copy");
  EXPECT_EQ(c[2], "PUSH_STRING '" + std::string(45, 'q') + "' copy");
  EXPECT_EQ(c[3], "ADD");
}

TEST_F(ParserTest, SystemVariablesNeedALookup) {
  EXPECT_TRUE(stmt("x = !zzt_nothing").empty());
  EXPECT_NE(captured.find("Not a legal system variable: !ZZT_NOTHING."), std::string::npos) << captured;
  static int fake_sysvar;
  compiler_hooks.find_sysvar = [](const IdentEntry* id) -> void* {
    return std::strcmp(id->name, "!ZZT") == 0 ? &fake_sysvar : nullptr;
  };
  Code c = stmt("!zzt(2) = !zzt");
  compiler_hooks.find_sysvar = nullptr;
  ASSERT_EQ(c.size(), 5u) << captured;
  EXPECT_EQ(c[1], "PUSH_CONST 2");
  EXPECT_EQ(c[2].rfind("LOAD_SYSVAR sysvar#", 0), 0u);
  EXPECT_EQ(c[3].rfind("STORE_SYSVAR_SUBSCRIPTED sysvar#", 0), 0u);
  EXPECT_NE(c[3].find("[i]"), std::string::npos);
}

TEST_F(ParserTest, CompilingAgainAllocatesNothing) {
  const char* program =
      "PRO zzt_leak, a, KEY=k\n"
      "  s = {t:a, u:'text'} & x = [[1,2],[3,4]] & y = x(1:*, 0)\n"
      "  zzt_kwpro, a, B=1, /C & IF a THEN GOTO, done ELSE k = 1\n"
      "  CASE a OF 1: x = 0 & ELSE: x = 1 & ENDCASE\n"
      "  done: FOR i = 0, 3 DO x = 1 + )\n"
      "END\n";
  run_file(program);
  stmt("IF a THEN b = [1, 2] ELSE c = {t:1}");
  uint32_t bytes = mem_counters.bytes_in_use;
  uint32_t allocs = mem_counters.n_malloc - mem_counters.n_free;
  run_file(program);
  stmt("IF a THEN b = [1, 2] ELSE c = {t:1}");
  EXPECT_EQ(mem_counters.bytes_in_use, bytes);
  EXPECT_EQ(mem_counters.n_malloc - mem_counters.n_free, allocs);
}

TEST_F(ParserTest, ParseTablesAreWellFormed) {
  const ParseEntry* t = parse_entries();
  int n = parse_entry_count();
  int defaults = 0, links = 0;
  for (int i = 1; i < n; i++) {
    const ParseEntry& e = t[i];
    ASSERT_TRUE(e.kind >= 0 && e.kind <= 3) << i;
    if (e.kind == 0) {
      EXPECT_TRUE(e.arg >= 1 && e.arg < n) << i;
    }
    if (e.kind == 1 || (e.kind == 2 && e.arg >= 0)) {
      EXPECT_TRUE(e.arg >= 1 && e.arg <= 108) << i;
    }
    if (e.kind == 3) {
      EXPECT_TRUE(e.symbol >= 1 && e.symbol < n) << i;
      links++;
    }
    if (e.kind == 2 && e.symbol == 0) defaults++;
  }
  EXPECT_EQ(t[n - 1].kind == 2 && t[n - 1].symbol == 0, true);  // the last state ends
  // Every rule of the grammar can be reduced somewhere.
  std::vector<bool> reduced(109, false);
  for (int i = 1; i < n; i++)
    if ((t[i].kind == 1 || t[i].kind == 2 || t[i].kind == 3) && t[i].arg > 0) reduced[static_cast<size_t>(t[i].arg)] = true;
  for (int r = 1; r <= 108; r++) EXPECT_TRUE(reduced[static_cast<size_t>(r)]) << "rule " << r;
  EXPECT_GT(links, 0);
  EXPECT_GT(defaults, 50);
}

}  // namespace
}  // namespace compiler_test
