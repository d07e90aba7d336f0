#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <cmath>
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

TEST_F(UserMessageTest, NamesTheCallingRoutineAndUnwindsWithoutTraceback) {
  message_hooks.current_routine = [] { return "MYPROC"; };
  message_hooks.current_sysroutine = [] { return "MESSAGE"; };
  EXPECT_EQ(call("it broke"), MSG_LONGJMP | MSG_NOTRACEBACK);
  EXPECT_EQ(cap_->text, "% MYPROC: it broke\n");
  EXPECT_EQ(error_code, M_NAMED_TEXT);
  EXPECT_EQ(call("again", {"TRACEBACK"}), MSG_LONGJMP);
  cap_->text.clear();
  EXPECT_EQ(call("100% sure", {"NONAME", "NOPREFIX"}), MSG_LONGJMP | MSG_NOTRACEBACK | MSG_NOPREFIX);
  EXPECT_EQ(cap_->text, "100% sure\n");
  EXPECT_EQ(call("io", {"IOERROR", "NOPRINT"}), MSG_IOERROR | MSG_NOTRACEBACK | MSG_NOPRINT);
}

TEST_F(UserMessageTest, ContinueAndInformationalReturn) {
  EXPECT_EQ(call("go on", {"CONTINUE"}), -1);
  EXPECT_EQ(cap_->text, "% $MAIN$: go on\n");
  EXPECT_EQ(error_code, M_NAMED_TEXT);
  error_code = 0;
  vek_quiet = 1;
  cap_->text.clear();
  EXPECT_EQ(call("fyi", {"INFORMATIONAL"}), -1);
  EXPECT_EQ(cap_->text, "");
  EXPECT_EQ(error_code, 0);
  vek_quiet = 0;
  call("fyi", {"INFORMATIONAL"});
  EXPECT_EQ(cap_->text, "% $MAIN$: fyi\n");
  EXPECT_EQ(error_code, 0);
  call("both", {"CONTINUE", "IOERROR"});
  EXPECT_EQ(error_code, M_CONFLICTING_KW);
}

TEST_F(UserMessageTest, ArgumentMustBeAScalarStringAndIsCut) {
  Variable n{};
  n.type = TYP_LONG;
  Variable* argv[] = {&n};
  EXPECT_EQ(error_code_of([&] { user_message(1, argv, nullptr); }), M_NEED_STRING);
  Variable* arr = string_array({"a", "b"});
  Variable* aargv[] = {arr};
  EXPECT_EQ(error_code_of([&] { user_message(1, aargv, nullptr); }), M_NOT_SCALAR);
  deltmp(arr);
  width_ = 5000;
  cap_->text.clear();
  std::string long_text(3000, 'y');
  call(long_text.c_str(), {"NONAME", "NOPREFIX", "CONTINUE"});
  EXPECT_EQ(cap_->text, long_text.substr(0, MAX_USER_MESSAGE) + "\n");
}

TEST_F(UserMessageTest, StrmessageReturnsRawText) {
  for (int32_t n : {-124, 124}) {
    Variable v{};
    v.type = TYP_LONG;
    v.value.l = n;
    Variable* argv[] = {&v};
    Variable* r = strmessage(1, argv, nullptr);
    EXPECT_EQ(text_of(r), msg_arr[124]);
    EXPECT_EQ(text_of(r).rfind("%N", 0), 0u);
    deltmp(r);
  }
  Variable big{};
  big.type = TYP_LONG;
  big.value.l = 408;
  Variable* argv[] = {&big};
  EXPECT_EQ(error_code_of([&] { strmessage(1, argv, nullptr); }), M_BAD_CODE);
  big.value.l = INT32_MIN;
  EXPECT_EQ(error_code_of([&] { strmessage(1, argv, nullptr); }), M_BAD_CODE);
}

// ---- math errors --------------------------------------------------------------------

class MathErrorTest : public MessageTest {
 protected:
  void SetUp() override {
    MessageTest::SetUp();
    math_errors = MathErrorState{};
    feclearexcept(FE_ALL_EXCEPT);
  }
  void TearDown() override {
    math_errors = MathErrorState{};
    feclearexcept(FE_ALL_EXCEPT);
    MessageTest::TearDown();
  }
  // CHECK_MATH with the given positional arguments.
  int32_t check_math(std::vector<int32_t> args, const char* const* names = nullptr, int32_t trap = 0) {
    std::vector<Variable> vars(args.size() + 1);
    std::vector<Variable*> argv;
    for (size_t i = 0; i < args.size(); i++) {
      vars[i].type = TYP_LONG;
      vars[i].value.l = args[i];
      argv.push_back(&vars[i]);
    }
    if (names) {
      vars.back().type = TYP_LONG;
      vars.back().value.l = trap;
      argv.push_back(&vars.back());
    }
    Variable* r = ur_checkmath(static_cast<int>(argv.size()), argv.data(), names);
    int32_t v = r->value.l;
    deltmp(r);
    return v;
  }
  static double divide(double a, double b) {
    volatile double x = a, y = b;
    volatile double r = x / y;  // kept even when the caller ignores it
    return r;
  }
};

TEST_F(MathErrorTest, CheckMathReturnsAndClearsStickyFlags) {
  EXPECT_TRUE(std::isinf(divide(1.0, 0.0)));
  EXPECT_EQ(check_math({}), MATH_FLT_DIV0);
  EXPECT_EQ(check_math({}), 0);
  note_math_error(MATH_INT_DIV0);
  EXPECT_TRUE(std::isnan(divide(0.0, 0.0)));
  EXPECT_EQ(check_math({1}), MATH_INT_DIV0 | MATH_FLT_INVALID);
  EXPECT_NE(cap_->text.find("% Program caused arithmetic error: Integer divide by 0\n"), std::string::npos);
  EXPECT_NE(cap_->text.find("% Program caused arithmetic error: Floating illegal operand\n"), std::string::npos);
  EXPECT_TRUE(cap_->tracebacks.empty());  // CHECK_MATH reports carry no traceback
  EXPECT_EQ(check_fpe(0, MATH_FLT_OVERFLOW, 0, 0), MATH_FLT_OVERFLOW);
  EXPECT_EQ(check_fpe(0, 0, 0, MATH_FLT_OVERFLOW), 0);  // masked out, and cleared
}

TEST_F(MathErrorTest, ReportsAfterStatementsStopAfterEight) {
  for (int i = 0; i < 10; i++) {
    divide(1.0, 0.0);
    ASSERT_TRUE(math_error_waiting());
    print_fp_errors();
    EXPECT_FALSE(math_error_waiting());
  }
  EXPECT_EQ(cap_->tracebacks.size(), 8u);
  EXPECT_EQ(cap_->tracebacks[0], "Detected at");
  EXPECT_EQ(math_errors.cumulative, MATH_FLT_DIV0);
  // Further errors were still accumulated for CHECK_MATH, which can re-enable reports.
  EXPECT_EQ(check_math({0, 0}), MATH_FLT_DIV0);
  note_math_error(MATH_INT_DIV0);
  print_fp_errors();
  EXPECT_EQ(cap_->tracebacks.size(), 9u);
  // Inhibit: no more automatic reports.
  check_math({0, 1});
  note_math_error(MATH_INT_DIV0);
  print_fp_errors();
  EXPECT_EQ(cap_->tracebacks.size(), 9u);
}

TEST_F(MathErrorTest, TrapKeywordTurnsReportsOff) {
  const char* const names[] = {"TRAP"};
  check_math({}, names, 0);
  EXPECT_FALSE(math_errors.report_enabled);
  divide(1.0, 0.0);
  print_fp_errors();
  EXPECT_EQ(cap_->text, "");
  EXPECT_EQ(check_math({}), MATH_FLT_DIV0);  // left for CHECK_MATH
  check_math({}, names, 1);
  EXPECT_TRUE(math_errors.report_enabled);
  // Underflow never reports by itself.
  volatile double tiny = 1e-300;
  volatile double u = tiny * tiny;
  (void)u;
  print_fp_errors();
  EXPECT_EQ(cap_->text, "");
  EXPECT_EQ(check_math({}), MATH_FLT_UNDERFLOW);
}

}  // namespace
