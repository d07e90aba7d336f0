// Hostile input: texts and requests that once hung or corrupted the session, each
// reduced to the smallest case that shows the fault, and the limits that keep untrusted
// programs in bounds (value memory, the statement budget).
#include <sstream>
#include <utility>

#include "compiler_fixture.h"
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
