#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "lib/message_routines.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

// Message tests run with the terminal writer hooked (see MessageCapture) and a width
// they choose.
class MessageTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    cap_ = std::make_unique<MessageCapture>();
    width_ = 80;
    message_hooks.error_width = [] { return width_; };
  }
  void TearDown() override {
    cap_.reset();
    err_code = error_code = 0;
    VekTest::TearDown();
  }
  std::vector<std::string> output_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(cap_->text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  // Words "w0 w1 w2 ..." of varying length, n of them.
  static std::string words(int n) {
    std::string s;
    for (int i = 0; i < n; i++) {
      if (i) s += ' ';
      s += "w" + std::string(static_cast<size_t>(i % 7), 'x') + std::to_string(i);
    }
    return s;
  }
  std::unique_ptr<MessageCapture> cap_;
  static inline int width_ = 80;
};

// ---- composition --------------------------------------------------------------------

TEST_F(MessageTest, PrefixAndRoutineName) {
  message(M_UNDEFINED, 0, MSG_CONTINUE, "X");
  EXPECT_EQ(cap_->text, "% Variable is undefined: X.\n");
  cap_->text.clear();
  message_hooks.current_sysroutine = [] { return "PLOT"; };
  message(M_UNDEFINED, 0, MSG_CONTINUE, "X");
  EXPECT_EQ(cap_->text, "% PLOT: Variable is undefined: X.\n");
  EXPECT_EQ(ur_err_string, "PLOT: Variable is undefined: X.");
  cap_->text.clear();
  message(M_GENERIC, 0, MSG_CONTINUE | MSG_NOPREFIX, "plain");  // no %N: no routine part
  EXPECT_EQ(cap_->text, "plain\n");
  cap_->text.clear();
  msg_prefix = "";
  message(M_GENERIC, 0, MSG_CONTINUE, "bare");
  EXPECT_EQ(cap_->text, "bare\n");
}

TEST_F(MessageTest, InvalidCodesBecomeMinus6AndUnknownActionsOnlyComplain) {
  message(5, 0, MSG_CONTINUE);
  EXPECT_EQ(error_code, M_BAD_CODE);
  EXPECT_EQ(cap_->text, "% Message code is invalid.\n");
  cap_->text.clear();
  message(-408, 0, MSG_CONTINUE);
  EXPECT_EQ(error_code, M_BAD_CODE);
  cap_->text.clear();
  error_code = 0;
  message(M_GENERIC, 0, 7, "ignored");
  EXPECT_EQ(cap_->text, "% Unknown action parameter in message()\n");
  EXPECT_EQ(error_code, 0);
}

TEST_F(MessageTest, ErrorStateIsRecordedExceptForInfo) {
  message(M_NOT_SCALAR, 0, MSG_CONTINUE, "A");
  EXPECT_EQ(err_code, M_NOT_SCALAR);
  EXPECT_EQ(error_code, M_NOT_SCALAR);
  message(M_NEED_STRING, ENOENT, MSG_INFO, "B");
  EXPECT_EQ(error_code, M_NOT_SCALAR);
  EXPECT_EQ(ur_err_string, "Expression must be a scalar in this context: A.");
  // Action 4 does not reset !SYSERR_STRING: its text is appended.
  EXPECT_EQ(syserror_codes[0], ENOENT);
  message(M_NEED_STRING, EACCES, MSG_INFO, "C");
  EXPECT_EQ(ur_syserr_string, std::string(strerror(ENOENT)) + "\n" + strerror(EACCES));
  message(M_GENERIC, 0, MSG_CONTINUE, "reset");
  EXPECT_EQ(syserror_codes[0], 0);
  EXPECT_EQ(ur_syserr_string, "");
}

TEST_F(MessageTest, SystemErrorLineIsPaddedByThePrefix) {
  msg_prefix = "%%% ";
  message(M_GENERIC, ENOENT, MSG_CONTINUE, "open failed");
  std::vector<std::string> lines = output_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "    " + std::string(strerror(ENOENT)));
  EXPECT_EQ(syserror_codes[0], ENOENT);
  cap_->text.clear();
  message(M_GENERIC, 99999, MSG_CONTINUE, "odd");
  EXPECT_EQ(output_lines().back(), "    unknown system error");
}

TEST_F(MessageTest, PrintingIsSuppressedByFlagsQuietCatchAndIoerror) {
  message(M_GENERIC, 0, MSG_CONTINUE | MSG_NOPRINT, "hidden");
  EXPECT_EQ(cap_->text, "");
  EXPECT_EQ(ur_err_string, "hidden");
  vek_quiet = 1;
  message(M_GENERIC, 0, MSG_INFO | MSG_QUIET, "quiet");
  EXPECT_EQ(cap_->text, "");
  vek_quiet = 0;
  message(M_GENERIC, 0, MSG_INFO | MSG_QUIET, "loud");
  EXPECT_EQ(cap_->text, "% loud\n");
  cap_->text.clear();

  message_hooks.ioerror_active = [] { return true; };
  EXPECT_EQ(error_code_of([] { message(M_GENERIC, 0, MSG_IOERROR, "io"); }), M_GENERIC);
  EXPECT_EQ(cap_->text, "");
  error_code_of([] { message(M_GENERIC, 0, MSG_LONGJMP, "err"); });
  EXPECT_EQ(cap_->text, "% err\n");  // ON_IOERROR only silences I/O errors
  cap_->text.clear();
  message_hooks.catch_active = [] { return true; };
  error_code_of([] { message(M_GENERIC, 0, MSG_LONGJMP, "caught"); });
  EXPECT_EQ(cap_->text, "");
  message(M_GENERIC, 0, MSG_CONTINUE, "still shown");
  EXPECT_EQ(cap_->text, "% still shown\n");
}

TEST_F(MessageTest, ErrorActionsTransferWithTheWholeActionWord) {
  try {
    message(M_UNDEFINED, 0, MSG_LONGJMP | MSG_NOTRACEBACK, "Q");
    FAIL() << "no transfer";
  } catch (const VekJump& j) {
    EXPECT_EQ(j.action, MSG_LONGJMP | MSG_NOTRACEBACK);
    EXPECT_EQ(j.code, M_UNDEFINED);
  }
  errno = EINTR;
  message(M_GENERIC, 0, MSG_CONTINUE, "x");
  EXPECT_EQ(errno, 0);
}

TEST_F(MessageTest, LineEditingJournalAndBell) {
  std::vector<std::string> journal;
  static std::vector<std::string>* jp;
  static int begins;
  jp = &journal;
  begins = 0;
  message_hooks.journal = [](const char* l) { jp->push_back(l); };
  message_hooks.journal_begin_message = [] { begins++; };
  message_hooks.line_editing = [] { return true; };
  message_hooks.current_sysroutine = [] { return "PLOT"; };
  width_ = 30;
  message(M_ROUTINE_GENERIC, ENOENT, MSG_CONTINUE, "alpha beta gamma delta epsilon zeta");
  std::vector<std::string> lines = output_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "\r");
  EXPECT_EQ(lines[1].substr(0, 8), "% PLOT: ");
  ASSERT_EQ(journal.size(), lines.size() - 1);  // every piece and the system error line
  EXPECT_EQ(journal[0], "; " + lines[1]);
  EXPECT_EQ(journal[1], "; " + lines[2]);
  EXPECT_EQ(journal.back(), ";   " + std::string(strerror(ENOENT)));
  EXPECT_EQ(begins, 1);
  journal.clear();
  message(M_GENERIC, 0, MSG_INFO, "not journalled");
  EXPECT_TRUE(journal.empty());

  cap_->text.clear();
  message_hooks.line_editing = nullptr;
  message_hooks.is_terminal = [] { return true; };
  message(M_ROUTINE_GENERIC, 0, MSG_CONTINUE | MSG_BELL, "ring ring ring ring ring ring ring");
  lines = output_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 9), "% PLOT: \a");
  // The bell is not part of the indent.
  EXPECT_EQ(lines[1].find_first_not_of(' '), 8u);
}

// ---- wrapping -----------------------------------------------------------------------

TEST_F(MessageTest, ContinuationLinesAreIndentedByPrefixAndRoutine) {
  message_hooks.current_sysroutine = [] { return "PLOT"; };
  const std::string text = words(60);
  message(M_ROUTINE_GENERIC, 0, MSG_CONTINUE, text.c_str());
  std::vector<std::string> lines = output_lines();
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("% PLOT: ", 0), 0u);
  EXPECT_LE(lines[0].size(), 2u + 77u);
  std::string rebuilt = lines[0].substr(8);
  for (size_t i = 1; i < lines.size(); i++) {
    EXPECT_EQ(lines[i].find_first_not_of(' '), 8u) << lines[i];
    EXPECT_LE(lines[i].size() - 8, static_cast<size_t>(width_ - 11)) << lines[i];
    rebuilt += " " + lines[i].substr(8);
  }
  EXPECT_EQ(rebuilt, text);  // broken only at blanks, each blank dropped once
  // !ERR_STRING has the pieces joined by newlines, without the indentation.
  std::string joined = "PLOT: " + text;
  std::string expect = lines[0].substr(2);
  for (size_t i = 1; i < lines.size(); i++) expect += "\n" + lines[i].substr(8);
  EXPECT_EQ(ur_err_string, expect);
  EXPECT_EQ(std::count(ur_err_string.begin(), ur_err_string.end(), '\n'), static_cast<long>(lines.size() - 1));
}

TEST_F(MessageTest, NewlinesAndCarriageReturnsEndPieces) {
  message(M_GENERIC, 0, MSG_CONTINUE, "one\ntwo\rthree");
  EXPECT_EQ(cap_->text, "% one\n  two\n  three\n");
  EXPECT_EQ(ur_err_string, "one\ntwo\nthree");
}

TEST_F(MessageTest, WordLongerThanTheWidthIsCutWithoutLoss) {
  width_ = 23;  // usable 20, then 18 after the prefix indent
  std::string word(50, 'z');
  message(M_GENERIC, 0, MSG_CONTINUE, word.c_str());
  std::vector<std::string> lines = output_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "% " + word.substr(0, 20));
  EXPECT_EQ(lines[1], "  " + word.substr(20, 18));
  EXPECT_EQ(lines[2], "  " + word.substr(38));
  EXPECT_EQ(ur_err_string, word);  // no separator was dropped, so none becomes a newline
}

TEST_F(MessageTest, ErrStringIsCutAt511) {
  width_ = 2000;
  std::string text = words(200);
  ASSERT_GT(text.size(), 1000u);
  ASSERT_LT(text.size(), 2000u);
  message(M_GENERIC, 0, MSG_CONTINUE, text.c_str());
  EXPECT_EQ(ur_err_string.size(), static_cast<size_t>(MAX_ERR_STRING));
  EXPECT_EQ(ur_err_string, text.substr(0, MAX_ERR_STRING));
  EXPECT_EQ(cap_->text, "% " + text + "\n");  // the printed text is not cut
}

TEST_F(MessageTest, TextBeyondSixteenPiecesIsLost) {
  std::string text;
  for (int i = 0; i < 20; i++) text += "line" + std::to_string(i) + "\n";
  message(M_GENERIC, 0, MSG_CONTINUE, text.c_str());
  std::vector<std::string> lines = output_lines();
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[15], "  line15");
  EXPECT_EQ(ur_err_string.find("line16"), std::string::npos);
  EXPECT_EQ(std::count(ur_err_string.begin(), ur_err_string.end(), '\n'), 15);
}

TEST_F(MessageTest, BeforeFileUnitsOutputGoesToStandardError) {
  message_hooks.write = nullptr;
  message_hooks.journal = [](const char*) { ADD_FAILURE() << "journalled before file units"; };
  testing::internal::CaptureStderr();
  message(M_GENERIC, 0, MSG_CONTINUE, "first\nsecond");
  message(M_GENERIC, 0, 9, "x");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "\n% first\n  second\n% Unknown action parameter in message()\n");
}

TEST_F(MessageTest, ExitActionEndsTheProgram) {
  EXPECT_EXIT(message(M_GENERIC, 0, MSG_EXIT, "bye"), testing::ExitedWithCode(0), "");
}

// ---- MESSAGE and STRMESSAGE ---------------------------------------------------------

class UserMessageTest : public MessageTest {
 protected:
  // Calls MESSAGE with the text and the given flag keywords.
  int call(const char* text, std::vector<const char*> keywords = {}) {
    Variable s{};
    set_string(&s, text);
    Variable one{};
    one.type = TYP_LONG;
    one.value.l = 1;
    std::vector<Variable*> argv{&s};
    std::vector<const char*> names{""};
    // Calls pass their keywords in name order.
    std::sort(keywords.begin(), keywords.end(), [](const char* a, const char* b) { return strcmp(a, b) < 0; });
    for (const char* k : keywords) {
      argv.push_back(&one);
      names.push_back(k);
    }
    action_ = -1;
    try {
      user_message(static_cast<int>(argv.size()), argv.data(), keywords.empty() ? nullptr : names.data());
    } catch (const VekJump& j) {
      action_ = j.action;
    }
    delvar(&s);
    return action_;
  }
  int action_ = -1;
};

// A user's text is cut before it is composed (the script tests cannot show it: the
// wrapped display stops at sixteen pieces, !ERR_STRING at 511 characters).
TEST_F(UserMessageTest, LongTextIsCut) {
  width_ = 5000;
  std::string long_text(3000, 'y');
  call(long_text.c_str(), {"NONAME", "NOPREFIX", "CONTINUE"});
  EXPECT_EQ(cap_->text, long_text.substr(0, MAX_USER_MESSAGE) + "\n");
}

}  // namespace
