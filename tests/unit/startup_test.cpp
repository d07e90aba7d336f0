// Start-up services that the language cannot reach: path building, the exit-handler
// registry and the interrupt request.
#include <string>
#include <vector>

#include "interp/interpreter.h"
#include "session/startup.h"
#include "test_support.h"

namespace {

class StartupTest : public VekTest {};

TEST_F(StartupTest, FilePathsJoinRootDirectoriesNameAndExtension) {
  char buf[1100];
  const char* dirs[] = {"motd"};
  vek_filepath_from_root(buf, "/usr/local/lib/vek", "motd", "txt", 1, dirs);
  EXPECT_STREQ(buf, "/usr/local/lib/vek/motd/motd.txt");
  vek_filepath_from_root(buf, "/r", nullptr, nullptr, 0, nullptr);
  EXPECT_STREQ(buf, "/r/");
  vek_filepath_from_root(buf, "/r", "name", "", 0, nullptr);
  EXPECT_STREQ(buf, "/r/name.") << "an empty extension still gets its dot";
  std::string long_root(2000, 'x');
  vek_filepath_from_root(buf, long_root.c_str(), "n", "e", 0, nullptr);
  EXPECT_EQ(std::string(buf).size(), 1024u);
}

std::vector<int> calls;
void first_handler() { calls.push_back(1); }
void second_handler() { calls.push_back(2); }

TEST_F(StartupTest, ExitHandlersRunOnceInReverseOrder) {
  calls.clear();
  declare_exit_handler(first_handler);
  declare_exit_handler(second_handler);
  declare_exit_handler(first_handler);
  exithand_internal_cleanup();
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));
  exithand_internal_cleanup();
  EXPECT_EQ(calls.size(), 2u) << "handlers are consumed";
}

TEST_F(StartupTest, BailOutSetsAndReportsTheInterruptRequest) {
  int_interrupt = IR_NONE;
  EXPECT_EQ(bail_out(0), 0);
  EXPECT_EQ(bail_out(1), 1);
  EXPECT_EQ(int_interrupt, IR_INTERRUPT);
  int_interrupt = IR_STEP;
  EXPECT_EQ(bail_out(0), 0);
  int_interrupt = IR_NONE;
}

}  // namespace
