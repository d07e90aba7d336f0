// Hostile input: texts and requests that once hung or corrupted the session, each
// reduced to the smallest case that shows the fault, and the limits that keep untrusted
// programs in bounds (value memory, the statement budget).
#include <cerrno>
#include <sstream>
#include <utility>

#include "compiler_fixture.h"
#include "interp_support.h"
#include "io/format.h"
#include "values/strings.h"
#include "values/temps.h"

namespace compiler_test {
namespace {

class HostileCompileTest : public CompilerTest {
 protected:
  // The message lines captured since the last call (the echoed source lines differ).
  std::string messages() {
    std::string out, line;
    std::istringstream in(captured);
    while (std::getline(in, line))
      if (line.rfind("% ", 0) == 0) out += line + "\n";
    captured.clear();
    return out;
  }
};

// Scanning used to stop in place on a character above 127 that the character table
// reads as a dot or a digit, and error recovery then read the same token for ever.
TEST_F(HostileCompileTest, HighBitCharactersCompileAsTheirSevenBitForms) {
  // Each pair: a statement with characters above 127, and its form with top bits cleared.
  const std::pair<const char*, const char*> pairs[] = {
      {"x = \xae" "1, 2]", "x = .1, 2]"}, {"x = 1\xae\xae\xb1", "x = 1..1"},
      {"\xb1\xae\xc5", "1.E"}, {"x = \xb1\xae\xb5", "x = 1.5"}};
  for (const auto& [high, low] : pairs) {
    SCOPED_TRACE(low);
    std::vector<std::string> high_code = stmt(high);
    std::string high_messages = messages();
    std::vector<std::string> low_code = stmt(low);
    EXPECT_EQ(high_code, low_code);
    EXPECT_EQ(high_messages, messages());
  }
}

int refuse_variable(CodeBlock*, uint32_t) { return M_TOO_MANY_LOCALS; }

// A running unit that may not gain a variable (a recursive routine stopped in one of
// its activations) must not count the refused slot: returning from its frames clears
// as many slots as the unit counts, and the older frames have no room for it.
TEST_F(HostileCompileTest, RefusedVariableIsNotCounted) {
  auto saved = compiler_hooks.new_variable;
  compiler_hooks.new_variable = refuse_variable;
  uint32_t before = main_prog->n_vars;
  EXPECT_TRUE(stmt("zzt_refused = 1 & zzt_refused2 = zzt_refused").empty());
  compiler_hooks.new_variable = saved;
  EXPECT_EQ(main_prog->n_vars, before);
  EXPECT_GE(count_of(captured, "Program unit has too many local variables."), 1) << captured;
  // Once variables may be added again, the same names get slots as usual.
  captured.clear();
  EXPECT_FALSE(stmt("zzt_refused = 1 & zzt_refused2 = zzt_refused").empty()) << captured;
  EXPECT_EQ(main_prog->n_vars, before + 2);
}

}  // namespace
}  // namespace compiler_test

namespace {

// ---- The statement budget ---------------------------------------------------------------

class StepBudgetTest : public InterpTest {
 protected:
  void TearDown() override {
    step_budget = 0;
    int_interrupt = IR_NONE;
    InterpTest::TearDown();
  }
  // var(0) = var(0) + 1.
  static void count(Asm& a) {
    a.local(0);
    a.lng(1);
    a.op(OP_ADD);
    a.store_local(0);
  }
  int32_t counted() const { return main_frame->vars[0].value.l; }
  void reset_count() {
    var(0)->type = TYP_LONG;
    var(0)->value.l = 0;
  }
};

TEST_F(StepBudgetTest, EndlessLoopsOfEveryKindStopAsIfInterrupted) {
  constexpr uint64_t kBudget = 500;
  // WHILE 1 (a backward jump), REPEAT ... UNTIL 0 (a backward conditional jump) and a
  // FOR loop with an unreachable limit.
  Asm jump_loop, until_loop, for_loop;
  jump_loop.line(1);
  uint32_t top = jump_loop.op(OP_PAD1);
  count(jump_loop);
  jump_loop.back(OP_JUMP_BACK, top);
  jump_loop.op(OP_END);
  until_loop.line(1);
  top = until_loop.op(OP_PAD1);
  count(until_loop);
  until_loop.lng(0);
  until_loop.back(OP_JUMP_BACK_IF_FALSE, top);
  until_loop.op(OP_END);
  for_loop.line(1);
  for_loop.lng(0);
  for_loop.local(1);
  for_loop.lng(2000000000);
  uint32_t fi = for_loop.for_init(false);
  count(for_loop);
  for_loop.for_next(fi);
  for_loop.op(OP_END);

  for (Asm* a : {&jump_loop, &until_loop, &for_loop}) {
    reset_count();
    step_budget = kBudget;
    EXPECT_NE(run(*a), nullptr) << "stopped, not finished";
    EXPECT_EQ(int_interrupt, IR_INTERRUPT);
    EXPECT_GT(counted(), static_cast<int32_t>(kBudget / 2));
    EXPECT_LE(counted(), static_cast<int32_t>(kBudget));
    // Until the budget is set anew, every further run stops at its first step.
    int32_t before = counted();
    EXPECT_NE(run(*a), nullptr);
    EXPECT_LE(counted() - before, 1);
  }
}

TEST_F(StepBudgetTest, NoBudgetMeansNoLimitAndABudgetCountsStatements) {
  Asm a;
  for (int i = 1; i <= 10; i++) {
    a.line(i);
    count(a);
  }
  a.op(OP_END);
  reset_count();
  step_budget = 0;
  EXPECT_EQ(run(a), nullptr);
  EXPECT_EQ(counted(), 10);
  // A budget of four statements runs three of them: the fourth marker is the stop.
  reset_count();
  step_budget = 4;
  uint8_t* at = run(a);
  ASSERT_NE(at, nullptr);
  EXPECT_EQ(counted(), 3);
  EXPECT_EQ(inst_u16(at), 4) << "stopped at the fourth statement";
}

// ---- The value-memory limit ----------------------------------------------------------------

using compiler_test::capture_write;
using compiler_test::captured;

class MemoryLimitTest : public VekTest {
 protected:
  void TearDown() override {
    set_memory_limit(0);
    VekTest::TearDown();
  }
};

TEST_F(MemoryLimitTest, RequestsPastTheLimitFailAndMemoryIsUsableAgain) {
  set_memory_limit(mem_counters.bytes_in_use + 100000);
  void* first = counting_malloc(60000);
  ASSERT_NE(first, nullptr);
  uint32_t allocations = mem_counters.n_malloc;
  errno = 0;
  EXPECT_EQ(counting_malloc(60000), nullptr) << "the two together pass the limit";
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(mem_counters.n_malloc, allocations) << "a refusal counts nothing";
  EXPECT_EQ(counting_malloc(SIZE_MAX - 8), nullptr) << "no wrap-around of the size";
  counting_free(first);
  void* again = counting_malloc(60000);
  EXPECT_NE(again, nullptr);
  counting_free(again);
}

TEST_F(MemoryLimitTest, ArrayPastTheLimitIsReportedAndLeavesNothingBehind) {
  set_memory_limit(mem_counters.bytes_in_use + (2 << 20));
  uint32_t before = mem_counters.bytes_in_use;
  captured.clear();
  auto saved = message_hooks.write;
  message_hooks.write = capture_write;
  Variable v{};
  int32_t dims[2] = {1024, 1024};
  int code = error_code_of([&] { make_array(2, dims, &v, 4); });
  message_hooks.write = saved;
  EXPECT_EQ(code, M_NO_MEMORY);
  EXPECT_NE(captured.find("Unable to allocate memory: to make array."), std::string::npos) << captured;
  EXPECT_EQ(v.type, TYP_UNDEF);
  EXPECT_EQ(mem_counters.bytes_in_use, before);
  // A quarter of it fits.
  dims[1] = 256;
  make_array(2, dims, &v, 4);
  EXPECT_EQ(v.value.s.arr->n_elts, 1024u * 256u);
  delvar(&v);
}

TEST_F(MemoryLimitTest, DefaultLimitIsThePhysicalMemoryAtMost) {
  set_memory_limit(0);
  size_t phys = static_cast<size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<size_t>(sysconf(_SC_PAGE_SIZE));
  EXPECT_LE(memory_limit(), phys);
  EXPECT_GT(memory_limit(), size_t{mem_counters.bytes_in_use});
}

// ---- Formatted input --------------------------------------------------------------------

class HostileFormatTest : public VekTest {
 protected:
  void TearDown() override {
    cleanup_fmt();
    VekTest::TearDown();
  }
};

// A fixed-width field may run past the end of the record; a free field after it used
// to take a substring beyond the end (an uncaught C++ exception ended the program).
TEST_F(HostileFormatTest, FreeFieldAfterAFieldThatRanPastTheRecordEnd) {
  struct Source {
    std::vector<std::string> records{"abc"};
    size_t next = 0;
  } src;
  RecordIo io;
  io.get = [](void* ctx, std::string& rec) {
    auto* s = static_cast<Source*>(ctx);
    if (s->next >= s->records.size()) return false;
    rec = s->records[s->next++];
    return true;
  };
  io.ctx = &src;
  Variable wide{}, free_field{};
  for (Variable* v : {&wide, &free_field}) {
    StringDesc empty{0, 0, nullptr};
    store_scalar(v, TYP_STRING, &empty);
  }
  Variable* targets[] = {&wide, &free_field};
  for (const char* f : {"(A8, A0)", "(A8, I0)", "(I9, A0)"}) {
    SCOPED_TRACE(f);
    init_fmt(f);
    FormatScope scope;
    src.next = 0;
    int code = error_code_of([&] { fmt_input(2, targets, io); });
    EXPECT_TRUE(code == 0 || code == M_FMT_INPUT) << code;
  }
  init_fmt("(A8, A0)");
  src.next = 0;
  EXPECT_EQ(fmt_input(2, targets, io), 2);
  cleanup_fmt();
  EXPECT_EQ(std::string(str_chars(wide.value.str), wide.value.str.length), "abc");
  EXPECT_EQ(free_field.value.str.length, 0);
  delvar(&wide);
  delvar(&free_field);
}

}  // namespace
