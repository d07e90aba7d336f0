#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "io/files.h"
#include "lib/sysvars.h"
#include "pty_support.h"
#include "session/startup.h"
#include "session/sysvar_hooks.h"
#include "term/tout.h"
#include "test_support.h"

namespace {

// ------------------------------------------------------------ capture through the stack

struct Written {
  int flags;
  std::string text;
};
std::vector<Written> captured;

void capture(int flags, const char* text, int length) { captured.push_back({flags, std::string(text, length)}); }

class ToutTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    tout_more_reset();
    tout_push(capture);
    captured.clear();
  }
  void TearDown() override {
    tout_more_reset();
    while (tout_state.depth > 1) tout_pop();
    VekTest::TearDown();
  }
};

TEST_F(ToutTest, ToutfHoldsTheLineUntilItIsEnded) {
  int n1 = toutf(0, "%d items", 12);
  int n2 = toutf(0, ", %s", "done");
  EXPECT_TRUE(captured.empty()) << "text written before the line ended";
  EXPECT_EQ(n1, static_cast<int>(strlen("12 items")));
  EXPECT_EQ(n2, static_cast<int>(strlen(", done")));
  toutf(TOUT_NL, "!");
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].text, "12 items, done!");
  EXPECT_TRUE(captured[0].flags & TOUT_NL);

  captured.clear();
  toutf(0, "partial");
  toutf(TOUT_NOW, " now");
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].text, "partial now");
  EXPECT_FALSE(captured[0].flags & TOUT_NL);
}

TEST_F(ToutTest, ToutWritesPendingTextFirstAndEndsItOnlyWhenAsked) {
  toutf(0, "abc");
  tout(TOUT_NL, "def", 3);
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].text, "abc");
  EXPECT_FALSE(captured[0].flags & TOUT_NL);
  EXPECT_EQ(captured[1].text, "def");
  EXPECT_TRUE(captured[1].flags & TOUT_NL);

  captured.clear();
  toutf(0, "abc");
  tout(TOUT_NL_FIRST, "def", 3);
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_TRUE(captured[0].flags & TOUT_NL) << "flag 2 must end the pending line";
  EXPECT_FALSE(captured[1].flags & (TOUT_NL | TOUT_NL_FIRST));

  captured.clear();
  tout(0, nullptr, 0);
  EXPECT_TRUE(captured.empty()) << "an empty text without a line end writes nothing";
  tout(TOUT_STDERR | TOUT_NL, nullptr, 0);
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].text, "");
  EXPECT_EQ(captured[0].flags & (TOUT_STDERR | TOUT_NL), TOUT_STDERR | TOUT_NL);
}

TEST_F(ToutTest, PendingTextKeepsItsStream) {
  toutf(0, "out");
  toutf(TOUT_STDERR | TOUT_NL, "err");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].text, "out");
  EXPECT_FALSE(captured[0].flags & TOUT_STDERR);
  EXPECT_EQ(captured[1].text, "err");
  EXPECT_TRUE(captured[1].flags & TOUT_STDERR);
}

TEST_F(ToutTest, LongFormattedTextIsNotTruncated) {
  std::string big(3 * TOUT_LINE_SIZE, 'x');
  toutf(0, "head ");
  int n = toutf(TOUT_NL, "%s", big.c_str());
  EXPECT_EQ(n, static_cast<int>(big.size()));
  std::string all;
  for (auto& w : captured) all += w.text;
  EXPECT_EQ(all, "head " + big);
  ASSERT_FALSE(captured.empty());
  EXPECT_TRUE(captured.back().flags & TOUT_NL);
}

TEST_F(ToutTest, PagedOutputClearsErr) {
  err_code = -5;
  tout(TOUT_NL, "x", 1);
  EXPECT_EQ(err_code, -5);
  tout(TOUT_PAGED | TOUT_NL, "x", 1);
  EXPECT_EQ(err_code, 0);
  err_code = -5;
  toutf(TOUT_PAGED, "y");
  EXPECT_EQ(err_code, 0);
}

TEST_F(ToutTest, StackOverflowAndUnderflowAreReportedThroughTheWriter) {
  tout_install_message_hooks();
  while (tout_state.depth < TOUT_STACK_SIZE) tout_push(capture);
  captured.clear();
  tout_push(capture);
  EXPECT_EQ(tout_state.depth, TOUT_STACK_SIZE);
  std::string all;
  for (auto& w : captured) all += w.text;
  EXPECT_NE(all.find("Internal error: attempt to push too many output functions in tout."), std::string::npos) << all;
  EXPECT_TRUE(captured.back().flags & TOUT_STDERR);

  while (tout_state.depth > 1) EXPECT_EQ(tout_pop(), capture);
  // The default writer stays; the complaint goes to it (standard error).
  EXPECT_EQ(tout_pop(), nullptr);
  EXPECT_EQ(tout_state.depth, 1);
  EXPECT_EQ(tout_state.stack[0], tout_default_writer);
  EXPECT_EQ(error_code, M_INTERNAL);
}

TEST_F(ToutTest, MessagesGoThroughTheWriterAsWholeLines) {
  tout_install_message_hooks();
  message(M_GENERIC, 0, MSG_INFO, "hello there");
  ASSERT_EQ(captured.size(), 1u) << "prefix and text should reach the writer together";
  EXPECT_EQ(captured[0].text, msg_prefix + "hello there");
  EXPECT_EQ(captured[0].flags & (TOUT_STDERR | TOUT_NL), TOUT_STDERR | TOUT_NL);
}

TEST(ToutMore, TheSystemVariableIsTheWritersFlag) {
  init_system_variables();
  SysVar* more = find_sysvar("!MORE");
  ASSERT_NE(more, nullptr);
  Variable* zero = make_long_temp(0);
  store_sysv(more, zero);
  deltmp(zero);
  EXPECT_EQ(sysv_more, 0);
  sysv_more = 1;
  Variable* seen = get_sysv(more);
  EXPECT_EQ(seen->type, TYP_INT);
  EXPECT_EQ(seen->value.i, 1);
  deltmp(seen);
}

// ------------------------------------------------------------ ordering of the two streams

TEST(ToutStreams, StandardOutputAndErrorKeepProgramOrderInOnePipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    // A pipe's standard output is normally block-buffered: exactly the case that
    // reorders output unless the writer flushes when it changes streams.
    static char buf[8192];
    setvbuf(stdout, buf, _IOFBF, sizeof buf);
    while (tout_state.depth > 1) tout_pop();
    for (int i = 0; i < 12; i++) toutf((i % 3 == 1 ? TOUT_STDERR : 0) | TOUT_NL, "msg %d", i);
    fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char chunk[512];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  std::string expected;
  for (int i = 0; i < 12; i++) expected += "msg " + std::to_string(i) + "\n";
  EXPECT_EQ(out, expected);
}

// ------------------------------------------------------------ pager on a terminal

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

PTY_SCENARIO(pager_listing) {
  init_files();
  tout_more_reset();
  for (int i = 0; i < 60; i++) toutf(TOUT_PAGED | TOUT_NL, "row %d", i);
  toutf(TOUT_NL, "END err=%d quit=%d", err_code, tout_quit() ? 1 : 0);
  return 0;
}

TEST(ToutPager, PagesAScreenfulAndObeysItsKeys) {
  const int rows = 24;
  const int page = rows - 3;
  PtyProcess p;
  ASSERT_TRUE(p.start("pager_listing", rows, 80));
  bool found;
  std::string first = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found) << first;
  EXPECT_EQ(count_of(first, "row "), page);
  EXPECT_EQ(count_of(first, "row " + std::to_string(page - 1) + "\r\n"), 1);
  // The prompt is centred.
  size_t line_start = first.rfind('\n');
  EXPECT_EQ(first.substr(line_start + 1), std::string((80 - PAGER_PROMPT_LEN) / 2, ' '));

  p.send("?");
  std::string help = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found);
  EXPECT_NE(help.find("<space>\t\tDisplay next page of text."), std::string::npos) << help;
  EXPECT_NE(help.find("q or Q\t\tQuit"), std::string::npos);
  EXPECT_EQ(count_of(help, "row "), 0);

  p.send("x");  // not a pager key: asked again
  std::string again = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(count_of(again, "row "), 0);

  p.send(" ");
  std::string second = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(count_of(second, "row "), page);
  EXPECT_EQ(count_of(second, "row " + std::to_string(page) + "\r\n"), 1);

  p.send("\r");
  std::string one = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(count_of(one, "row "), 1);

  p.send("q");
  std::string rest = p.read_until("END", &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(count_of(rest, "row "), 0) << "paged text after quitting must be dropped";
  std::string tail = p.read_until("\n", &found);
  EXPECT_NE(tail.find("err=1 quit=1"), std::string::npos) << tail;
  EXPECT_EQ(p.wait_exit(), 0);
}

PTY_SCENARIO(pager_wide_text) {
  init_files();
  tout_more_reset();
  std::string wide(2 * term.columns + term.columns / 2, 'w');
  tout(TOUT_PAGED | TOUT_NL, wide.c_str(), static_cast<int>(wide.size()));
  for (int i = 0; i < 40; i++) toutf(TOUT_PAGED | TOUT_NL, "short %d", i);
  return 0;
}

TEST(ToutPager, TextWiderThanTheTerminalCountsAsSeveralLines) {
  const int rows = 12, cols = 40;
  PtyProcess p;
  ASSERT_TRUE(p.start("pager_wide_text", rows, cols));
  bool found;
  std::string first = p.read_until(pager_prompt, &found);
  ASSERT_TRUE(found) << first;
  int wide_lines = (2 * cols + cols / 2) / cols + 1;
  EXPECT_EQ(count_of(first, "short "), rows - 3 - wide_lines);
  p.send("q");
  EXPECT_EQ(p.wait_exit(), 0);
}

PTY_SCENARIO(pager_off) {
  init_files();
  sysv_more = 0;
  tout_more_reset();
  for (int i = 0; i < 50; i++) toutf(TOUT_PAGED | TOUT_NL, "line %d", i);
  toutf(TOUT_NL, "END");
  return 0;
}

TEST(ToutPager, MoreZeroNeverPrompts) {
  PtyProcess p;
  ASSERT_TRUE(p.start("pager_off", 24, 80));
  bool found;
  std::string all = p.read_until("END", &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(count_of(all, "line "), 50);
  EXPECT_EQ(all.find(pager_prompt), std::string::npos);
  EXPECT_EQ(p.wait_exit(), 0);
}

// ------------------------------------------------------------ terminal size and modes

PTY_SCENARIO(window_resize) {
  init_files();
  toutf(TOUT_NL, "START %d %d", term.lines, term.columns);
  auto resize_and_report = [](int rows, int cols) {
    int before_lines = term.lines, before_cols = term.columns;
    struct winsize ws = {};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    ioctl(0, TIOCSWINSZ, &ws);  // the terminal signals the window change
    for (int i = 0; i < 200 && term.lines == before_lines && term.columns == before_cols; i++) usleep(5000);
    toutf(TOUT_NL, "SIZE %d %d", term.lines, term.columns);
  };
  resize_and_report(5, 10);
  resize_and_report(0, 0);
  resize_and_report(30, 100);
  return 0;
}

TEST(ToutTerminal, WindowChangesAreRecordedWithTheirLimits) {
  PtyProcess p;
  ASSERT_TRUE(p.start("window_resize", 24, 80));
  bool found;
  p.read_until("START ", &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(p.read_until("\r\n"), "24 80");
  p.read_until("SIZE ");
  EXPECT_EQ(p.read_until("\r\n"), "10 20");
  p.read_until("SIZE ");
  EXPECT_EQ(p.read_until("\r\n"), "24 80");
  p.read_until("SIZE ");
  EXPECT_EQ(p.read_until("\r\n"), "30 100");
  EXPECT_EQ(p.wait_exit(), 0);
}

PTY_SCENARIO(raw_modes) {
  init_files();
  struct termios orig, t;
  tcgetattr(0, &orig);
  int bad = 0;
  ttymode(0, 1, MSG_LONGJMP);
  tcgetattr(0, &t);
  if ((t.c_lflag & (ICANON | ECHO)) || !(t.c_lflag & ISIG) || (t.c_oflag & OPOST) || t.c_cc[VMIN] != 1) bad |= 1;
  if (tty_unix_state_stdin_mode != 1) bad |= 2;
  tout(TOUT_NL, "raw", 3);
  ttymode(0, 2, MSG_LONGJMP);
  tcgetattr(0, &t);
  if ((t.c_lflag & ISIG) || (t.c_lflag & ICANON) || tty_unix_state_stdin_mode != 2) bad |= 4;
  ttymode(0, 0, MSG_LONGJMP);
  tcgetattr(0, &t);
  if (t.c_lflag != orig.c_lflag || t.c_oflag != orig.c_oflag || tty_unix_state_stdin_mode != 0) bad |= 8;
  tout(TOUT_NL, "cooked", 6);
  // Leave the terminal raw: the shutdown's exit handlers must restore it.
  ttymode(0, 1, MSG_LONGJMP);
  toutf(TOUT_NL, "BAD %d", bad);
  exithand_internal_cleanup();
  return 0;
}

TEST(ToutTerminal, RawAndCookedModesAreSetAndRestoredAtExit) {
  PtyProcess p;
  ASSERT_TRUE(p.start("raw_modes", 24, 80));
  bool found;
  p.read_until("raw", &found);
  ASSERT_TRUE(found);
  // Output post-processing is off in raw mode, so the writer itself must add the return.
  EXPECT_EQ(p.read_until("cooked").substr(0, 2), "\r\n");
  p.read_until("BAD ");
  EXPECT_EQ(p.read_until("\r\n"), "0");
  EXPECT_EQ(p.wait_exit(), 0);
  struct termios t;
  ASSERT_EQ(tcgetattr(p.master(), &t), 0);
  EXPECT_TRUE(t.c_lflag & ICANON) << "terminal left in raw mode after exit";
  EXPECT_TRUE(t.c_lflag & ECHO);
}

PTY_SCENARIO(suspend_restores_terminal) {
  init_files();
  signal(SIGTTOU, SIG_IGN);
  int go[2];
  if (pipe(go) < 0) return 10;
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(11);
    ttymode(0, 1, MSG_LONGJMP);
    raise(SIGTSTP);
    // Continued: raw mode must be back.
    struct termios t;
    tcgetattr(0, &t);
    int result = !(t.c_lflag & ICANON) && tty_unix_state_stdin_mode == 1 ? 0 : 12;
    ttymode(0, 0, MSG_CONTINUE);
    _exit(result);
  }
  setpgid(child, child);
  tcsetpgrp(0, child);
  if (write(go[1], "g", 1) != 1) return 13;
  int status;
  waitpid(child, &status, WUNTRACED);
  int stopped = WIFSTOPPED(status);
  struct termios t;
  tcgetattr(0, &t);
  int cooked_while_stopped = (t.c_lflag & ICANON) ? 1 : 0;
  tcsetpgrp(0, child);
  kill(child, SIGCONT);
  waitpid(child, &status, 0);
  int child_ok = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  tcsetpgrp(0, getpgrp());
  toutf(TOUT_NL, "STOPPED %d COOKED %d CHILD %d", stopped, cooked_while_stopped, child_ok);
  return 0;
}

TEST(ToutTerminal, SuspendHandsBackACookedTerminalAndResumesRaw) {
  PtyProcess p;
  ASSERT_TRUE(p.start("suspend_restores_terminal", 24, 80));
  bool found;
  p.read_until("STOPPED ", &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(p.read_until("\r\n"), "1 COOKED 1 CHILD 0");
  EXPECT_EQ(p.wait_exit(), 0);
}

TEST(ToutTerminal, CharacterTimeFollowsTheLineSpeed) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct termios t;
  tcgetattr(slave, &t);
  cfsetospeed(&t, B1200);
  tcsetattr(slave, TCSANOW, &t);
  EXPECT_EQ(tty_per_char_pad(slave), 83);
  cfsetospeed(&t, B50);
  tcsetattr(slave, TCSANOW, &t);
  EXPECT_EQ(tty_per_char_pad(slave), 2000);
  cfsetospeed(&t, B38400);  // beyond the table
  tcsetattr(slave, TCSANOW, &t);
  EXPECT_EQ(tty_per_char_pad(slave), 10000);

  EXPECT_EQ(tty_chars_waiting(slave, MSG_LONGJMP), 0);
  const std::string typed = "abc\n";
  ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  usleep(20000);
  EXPECT_EQ(tty_chars_waiting(slave, MSG_LONGJMP), static_cast<int>(typed.size()));
  close(master);
  close(slave);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(tty_per_char_pad(fds[0]), 10000);
  EXPECT_EQ(error_code_of([&] { ttymode(fds[0], 1, MSG_LONGJMP); }), M_TTY_MODES);
  close(fds[0]);
  close(fds[1]);
}

// ------------------------------------------------------------ timer queue

std::vector<char> fired_order;
void fire_a() { fired_order.push_back('A'); }
void fire_b() { fired_order.push_back('B'); }
void fire_c() {
  fired_order.push_back('C');
  // Queued from the handler with the same expiry: the later request goes first.
  timer_set(30000, fire_a, 1, nullptr);
  timer_set(30000, fire_b, 1, nullptr);
}

TEST(ToutTimer, RequestsExpireInOrderAndEqualExpiriesInReverse) {
  fired_order.clear();
  fired_order.reserve(16);  // the callbacks run in the signal handler
  auto start = std::chrono::steady_clock::now();
  timer_set(20000, fire_c, 0, nullptr);
  TimerCallback out = fire_a;
  timer_set(150000, nullptr, 0, &out);  // waits
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(std::string(fired_order.begin(), fired_order.end()), "CBA");
}

TEST(ToutTimer, CancelledRequestNeverFires) {
  fired_order.clear();
  fired_order.reserve(16);
  timer_set(20000, fire_a, 0, nullptr);
  timer_set(40000, fire_b, 0, nullptr);
  timer_cancel(fire_a);
  timer_set(80000, nullptr, 0, nullptr);
  EXPECT_EQ(std::string(fired_order.begin(), fired_order.end()), "B");
}

}  // namespace
