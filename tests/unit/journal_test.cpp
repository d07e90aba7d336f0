// The journal on a logical unit: header, input lines, messages, output comments, data
// lines, and closing.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/files.h"
#include "lib/os_routines.h"
#include "term/os.h"
#include "term/rline.h"
#include "scratch_files.h"
#include "test_support.h"

namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

void ignore_message(int, const char*, bool) {}

std::string message_text;
void keep_message(int, const char* text, bool) { message_text += text; }

class JournalTest : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    saved_hooks_ = message_hooks;
    message_hooks.write = ignore_message;
    rline_reset_session();
  }
  void TearDown() override {
    if (journal_file) journal_close();
    message_hooks = saved_hooks_;
    rline_reset_session();
    EXPECT_EQ(chdir(old_cwd_), 0);
    ScratchFolderTest::TearDown();
  }
  static void call_journal(Variable* arg = nullptr) {
    Variable* argv[1] = {arg};
    journal(arg ? 1 : 0, argv, nullptr);
  }
  char old_cwd_[PATH_BUF];
  MessageHooks saved_hooks_;
};

struct NamedString {
  Variable v{};
  explicit NamedString(const std::string& s) {
    StringDesc d{static_cast<uint16_t>(s.size()), 0, const_cast<char*>(s.c_str())};
    store_scalar(&v, TYP_STRING, &d);
  }
  ~NamedString() { delvar(&v); }
};

TEST_F(JournalTest, OpensWithHeaderOnAReservedUnit) {
  call_journal();
  ASSERT_GE(journal_file, LUN_FIRST);
  ASSERT_LE(journal_file, LUN_LAST);
  ASSERT_NE(file_table[journal_file], nullptr);
  EXPECT_TRUE(file_table[journal_file]->attributes & FA_RESERVED) << "CLOSE must not take the journal away";
  EXPECT_EQ(rline_state & RL_JOURNALLED, RL_JOURNALLED) << "the JOURNAL line itself is not journalled";
  fflush(journal_pout);
  std::vector<std::string> l = lines_of(dir_ + "/veksave.pro");
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0].rfind("; Vek Version ", 0), 0u);
  EXPECT_EQ(l[1].rfind("; Journal File for ", 0), 0u);
  EXPECT_NE(l[1].find('@'), std::string::npos);
  char cwd[PATH_BUF];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(l[2], std::string("; Working directory: ") + cwd);
  EXPECT_EQ(l[3].rfind("; Date: ", 0), 0u);
  EXPECT_EQ(l[4], " ");
}

TEST_F(JournalTest, RecordsLinesMessagesAndOutput) {
  NamedString name("session.pro");
  call_journal(&name.v);
  int unit = journal_file;

  // Input lines as typed; data typed for READ as comments; some lines never.
  rline_state = 0;
  rblk.flags = 0;
  strcpy(rblk.line, "x = 1");
  rline_flush_journal();
  rline_flush_journal();  // once only
  rline_state = 0;
  rblk.flags = RLF_JOURNAL_COMMENT;
  strcpy(rblk.line, "42");
  rline_flush_journal();
  rline_state = 0;
  rblk.flags = RLF_NO_JOURNAL;
  strcpy(rblk.line, "from a file");
  rline_flush_journal();

  message(M_GENERIC, 0, MSG_CONTINUE, "a message");
  logit_cmt("printed output");
  logit_cmt(std::string(300, 'w').c_str());
  NamedString data("a data line");
  call_journal(&data.v);
  Variable five{};
  int32_t v5 = 5;
  store_scalar(&five, TYP_LONG, &v5);
  call_journal(&five);

  call_journal();
  EXPECT_EQ(journal_file, 0);
  EXPECT_EQ(file_table[unit], nullptr);
  EXPECT_EQ(lun_handed_out[unit - LUN_FIRST], 0) << "the unit is free again";

  std::vector<std::string> l = lines_of(dir_ + "/session.pro");
  ASSERT_EQ(l.size(), 5u + 8u);
  EXPECT_EQ(l[5], "x = 1");
  EXPECT_EQ(l[6], "; 42");
  EXPECT_EQ(l[7], "; % a message");
  EXPECT_EQ(l[8], ";printed output");
  EXPECT_EQ(l[9], ";" + std::string(253, 'w')) << "lines are cut at 254 characters";
  EXPECT_EQ(l[10], ";" + std::string(47, 'w'));
  EXPECT_EQ(l[11], "a data line");
  EXPECT_EQ(l[12].find_first_not_of(' '), l[12].size() - 1);
  EXPECT_EQ(l[12].back(), '5');
}

// The unit can be taken away under the journal (made closable and closed): the next
// input line reports it and the journal is forgotten, messages no longer go to the dead
// stream, and JOURNAL opens a new journal instead of writing to the old one.
TEST_F(JournalTest, AJournalWhoseUnitWasClosedIsForgotten) {
  call_journal();
  int unit = journal_file;
  ASSERT_NE(unit, 0);
  set_file_close(unit, true);
  close_unit(unit, false, MSG_CONTINUE);
  ASSERT_EQ(file_table[unit], nullptr);

  message_text.clear();
  message_hooks.write = keep_message;
  rline_state = 0;
  rblk.flags = 0;
  strcpy(rblk.line, "x = 1");
  rline_flush_journal();
  EXPECT_EQ(journal_file, 0);
  EXPECT_EQ(journal_pout, nullptr);
  EXPECT_EQ(message_hooks.journal, nullptr);
  EXPECT_NE(message_text.find(std::to_string(unit)), std::string::npos) << message_text;
  message(M_GENERIC, 0, MSG_CONTINUE, "after the unit went away");

  // The same through JOURNAL, which notices the closed unit itself.
  NamedString second("second.pro");
  call_journal(&second.v);
  unit = journal_file;
  ASSERT_NE(unit, 0);
  set_file_close(unit, true);
  close_unit(unit, false, MSG_CONTINUE);
  NamedString third("third.pro");
  call_journal(&third.v);
  ASSERT_NE(journal_file, 0);
  ASSERT_NE(file_table[journal_file], nullptr);
  EXPECT_STREQ(file_table[journal_file]->name, "third.pro");
  message_hooks.write = ignore_message;
}

TEST_F(JournalTest, NoJournalWritesNothing) {
  logit("nowhere");
  rblk.flags = 0;
  strcpy(rblk.line, "x");
  rline_state = 0;
  rline_flush_journal();
  struct stat st;
  EXPECT_NE(stat((dir_ + "/veksave.pro").c_str(), &st), 0);
  NamedString bad(dir_ + "/no/such/dir/j.pro");
  EXPECT_NE(error_code_of([&] { call_journal(&bad.v); }), 0);
  EXPECT_EQ(journal_file, 0);
}

}  // namespace
