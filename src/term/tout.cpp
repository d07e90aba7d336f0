#include "term/tout.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/message.h"
#include "base/process.h"
#include "term/rline.h"

TermDesc term = {"", 0, 24, 80};
int32_t sysv_more = 1;
const char* const pager_prompt = "< Press Spacebar to continue, ? for help >";
ToutState tout_state = {0, 0, {tout_default_writer}, 1, {}, 0, 0};
ToutHooks tout_hooks;
int tty_unix_state_stdin_mode = 0;

namespace {

// ---------------------------------------------------------------- writer and pager

FILE* last_stream = nullptr;  // the stream the default writer used last

bool unit_is_tty(int unit) { return tout_hooks.unit_is_tty && tout_hooks.unit_is_tty(unit); }

OutputFn top_writer() { return tout_state.stack[tout_state.depth - 1]; }

bool pager_applies(int flags) {
  return sysv_more && (flags & TOUT_PAGED) && unit_is_tty(0) && !is_widget_mode() &&
         unit_is_tty((flags & TOUT_STDERR) ? -2 : -1);
}

// One keystroke for the pager; end of input counts as "quit" so that a closed terminal
// can never keep the pager waiting.
int pager_key() {
  if (tout_hooks.get_key) return tout_hooks.get_key(1);
  int previous = tty_unix_state_stdin_mode;
  ttymode(0, 1, MSG_CONTINUE);
  unsigned char c;
  ssize_t n;
  do n = read(0, &c, 1);
  while (n < 0 && errno == EINTR);
  if (previous != 1) ttymode(0, previous, MSG_CONTINUE);
  return n == 1 ? c : -1;
}

const char* const pager_help[] = {
    "---------------------------------------------------",
    "<space>\t\tDisplay next page of text.",
    "<return>\tDisplay next line of text.",
    "q or Q\t\tQuit",
    "h, H, or ?\tDisplay this message.",
    "---------------------------------------------------",
};

void page_prompt(OutputFn fn, int stream) {
  int indent = std::clamp((term.columns - PAGER_PROMPT_LEN) / 2, 0, 64);
  std::string prompt = std::string(indent, ' ') + pager_prompt;
  std::string erase = "\r" + std::string(indent + PAGER_PROMPT_LEN, ' ') + "\r";
  for (;;) {
    fn(stream, prompt.c_str(), static_cast<int>(prompt.size()));
    int key = pager_key();
    fn(stream, erase.c_str(), static_cast<int>(erase.size()));
    switch (key) {
      case ' ': tout_state.lines_written = 0; return;
      case '\r':
      case '\n': tout_state.lines_written--; return;
      case 'q':
      case 'Q':
      case -1:
        tout_state.lines_written = -1;
        err_code = 1;
        return;
      case '?':
      case 'h':
      case 'H':
        for (const char* line : pager_help) fn(stream | TOUT_NL, line, static_cast<int>(strlen(line)));
        break;
      default: break;
    }
  }
}

int text_lines(int length) { return length / std::max(term.columns, 1) + 1; }

// Between tout/toutf and the output function on top of the stack.
void pager(int flags, const char* text, int length) {
  OutputFn fn = top_writer();
  if (!text) text = "";
  if (!pager_applies(flags)) {
    fn(flags, text, length);
    return;
  }
  ToutState& st = tout_state;
  int stream = flags & TOUT_STDERR;
  bool first = true;
  while (first || length > 0) {
    first = false;
    if (st.page_length > 0 && st.lines_written >= st.page_length) page_prompt(fn, stream);
    if (st.lines_written == -1) {
      err_code = 1;
      return;
    }
    const char* ff = (flags & TOUT_FORMFEED) ? static_cast<const char*>(memchr(text, '\f', length)) : nullptr;
    if (!ff) {
      fn(flags, text, length);
      st.lines_written += text_lines(length);
      return;
    }
    // The form feed becomes a line feed and the next chunk starts on a new page.
    int chunk = static_cast<int>(ff - text) + 1;
    std::string piece(text, chunk);
    piece.back() = '\n';
    fn(flags & ~TOUT_NL, piece.c_str(), chunk);
    fn(stream | TOUT_NL, "^L", 2);
    if (st.page_length > 0) st.lines_written = st.page_length;
    text += chunk;
    length -= chunk;
  }
}

// Hands the pending partial line to the pager with the caller's flags, but on the
// stream it was started for.
void write_pending(int flags) {
  ToutState& st = tout_state;
  if (st.partial_len == 0) return;
  char copy[TOUT_LINE_SIZE];
  int n = st.partial_len;
  memcpy(copy, st.partial, n);
  st.partial_len = 0;  // output functions may call tout themselves
  pager((flags & ~(TOUT_STDERR | TOUT_NL_FIRST)) | st.partial_flags, copy, n);
}

// ---------------------------------------------------------------- terminal modes

struct TtyRecord {
  TtyRecord* next;
  int fd;
  struct termios saved;
  int mode;
};
TtyRecord* tty_records = nullptr;
TtyRecord* tty_free = nullptr;
bool tty_first_call = true;
int stdin_fd = 0;

TtyRecord* find_tty(int fd) {
  for (TtyRecord* r = tty_records; r; r = r->next)
    if (r->fd == fd) return r;
  return nullptr;
}

struct termios raw_attributes(const struct termios& saved, int mode) {
  struct termios t = saved;
  t.c_lflag &= ~(ICANON | ECHO);
#ifdef XCASE
  t.c_lflag &= ~XCASE;
#endif
  t.c_lflag |= IEXTEN;
  if (mode == 1)
    t.c_lflag |= ISIG;
  else
    t.c_lflag &= ~ISIG;
  t.c_oflag &= ~OPOST;
  t.c_cflag &= ~PARENB;
  t.c_iflag &= ~(INPCK | ISTRIP);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return t;
}

int set_attributes(int fd, const struct termios& t) {
  int rc;
  do rc = tcsetattr(fd, TCSADRAIN, &t);
  while (rc < 0 && errno == EINTR);
  return rc;
}

void sigtstp_handler(int);

void install_sigtstp() {
  struct sigaction sa = {};
  sa.sa_handler = sigtstp_handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTSTP, &sa, nullptr);
}

// Job-control stop: hand the terminal back in its saved state, stop, and take raw mode
// up again on continuation.
void sigtstp_handler(int) {
  int saved_errno = errno;
  signal(SIGTTOU, SIG_IGN);
  bool editing = rline_state & RL_ACTIVE;
  if (editing) rline_flush_screen();
  int previous = tty_unix_state_stdin_mode;
  TtyRecord* r = find_tty(stdin_fd);
  if (previous && r) set_attributes(stdin_fd, r->saved);

  signal(SIGTTOU, SIG_DFL);
  signal(SIGTSTP, SIG_DFL);
  sigset_t unblock, old_mask;
  sigemptyset(&unblock);
  sigaddset(&unblock, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &unblock, &old_mask);
  kill(0, SIGTSTP);

  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  install_sigtstp();
  if (previous && r) set_attributes(stdin_fd, raw_attributes(r->saved, previous));
  if (editing) rline_redraw(-1);
  errno = saved_errno;
}

// ---------------------------------------------------------------- timer queue

struct TimerRequest {
  TimerRequest* next;
  long delay;  // microseconds after the previous request
  TimerCallback callback;
};
TimerRequest timer_prealloc[3];
TimerRequest* timer_head = nullptr;
TimerRequest* timer_free_list = nullptr;
bool timer_pool_ready = false;
bool timer_inited = false;
volatile sig_atomic_t timer_fired = 0;
sigset_t timer_block_mask;
bool timer_blocked = false;

TimerRequest* timer_alloc() {
  if (!timer_pool_ready) {
    timer_pool_ready = true;
    for (TimerRequest& r : timer_prealloc) {
      r.next = timer_free_list;
      timer_free_list = &r;
    }
  }
  TimerRequest* r = timer_free_list;
  if (r)
    timer_free_list = r->next;
  else
    r = new TimerRequest;
  return r;
}

void timer_insert(long delay, TimerCallback callback) {
  TimerRequest* r = timer_alloc();
  long accumulated = 0;
  TimerRequest** link = &timer_head;
  while (*link && accumulated + (*link)->delay < delay) {
    accumulated += (*link)->delay;
    link = &(*link)->next;
  }
  r->delay = delay - accumulated;
  r->callback = callback;
  r->next = *link;
  if (r->next) r->next->delay -= r->delay;
  *link = r;
}

void timer_expire() {
  do {
    TimerRequest* r = timer_head;
    if (!r) return;
    timer_head = r->next;
    TimerCallback callback = r->callback;
    r->next = timer_free_list;
    timer_free_list = r;
    if (callback)
      callback();
    else
      timer_fired = 1;
  } while (timer_head && timer_head->delay <= 0);
}

void timer_arm() {
  while (timer_head && timer_head->delay <= 0) timer_expire();
  if (!timer_head) return;
  struct itimerval it = {};
  it.it_value.tv_sec = timer_head->delay / 1000000;
  it.it_value.tv_usec = timer_head->delay % 1000000;
  if (setitimer(ITIMER_REAL, &it, nullptr) < 0) message(M_INTERNAL, 0, MSG_CONTINUE, "Unable to set timer.");
}

// Stops the timer and keeps its remaining time in the head request. Called with SIGALRM
// blocked; an expiry that is already pending is taken here, so that its handler cannot
// later expire the request that follows.
void timer_suspend() {
  struct itimerval zero = {}, old = {};
  if (setitimer(ITIMER_REAL, &zero, &old) < 0) {
    message(M_INTERNAL, 0, MSG_CONTINUE, "Unable to clear timer.");
    return;
  }
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGALRM)) {
    sigset_t alrm;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    struct timespec now = {0, 0};
    sigtimedwait(&alrm, nullptr, &now);
  }
  if (timer_head) {
    long remaining = old.it_value.tv_sec * 1000000L + old.it_value.tv_usec;
    timer_head->delay = std::max(remaining, 0L);
  }
}

void sigalrm_handler(int) {
  int saved_errno = errno;
  timer_expire();
  timer_arm();
  errno = saved_errno;
}

void block_alarm(sigset_t* old) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGALRM);
  sigprocmask(SIG_BLOCK, &set, old);
}

}  // namespace

// ---------------------------------------------------------------- public: output

void tout_default_writer(int flags, const char* text, int length) {
  FILE* out = (flags & TOUT_STDERR) ? stderr : stdout;
  // Both streams may end in the same file or pipe: keep the program's order.
  if (last_stream && last_stream != out) fflush(last_stream);
  last_stream = out;
  if (length > 0) fwrite(text, 1, static_cast<size_t>(length), out);
  if (flags & TOUT_NL) {
    fputs(tty_unix_state_stdin_mode ? "\r\n" : "\n", out);
  } else {
    bool tty = tout_hooks.unit_is_tty ? unit_is_tty((flags & TOUT_STDERR) ? -2 : -1) : isatty(fileno(out));
    if (tty) fflush(out);
  }
}

void tout(int flags, const char* text, int length) {
  if (flags & TOUT_PAGED) err_code = 0;
  bool nl_first = flags & TOUT_NL_FIRST;
  flags &= ~TOUT_NL_FIRST;
  if (!text) length = 0;
  if (tout_state.partial_len > 0) write_pending((flags & ~TOUT_NL) | (nl_first ? TOUT_NL : 0));
  if (length == 0 && !(flags & TOUT_NL)) return;
  pager(flags, text, length);
}

int toutf(int flags, const char* format, ...) {
  ToutState& st = tout_state;
  if (flags & TOUT_PAGED) err_code = 0;
  if (flags & TOUT_NL_FIRST) write_pending(flags | TOUT_NL);
  flags &= ~TOUT_NL_FIRST;

  char small[TOUT_LINE_SIZE];
  std::string big;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  const char* s = small;
  if (n < 0) n = 0;
  if (n >= TOUT_LINE_SIZE) {
    big.resize(static_cast<size_t>(n) + 1);
    va_start(ap, format);
    vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    s = big.data();
  }

  int stream = flags & TOUT_STDERR;
  // Text pending for the other stream, or too much to hold, goes out as it stands.
  if (st.partial_len > 0 && (st.partial_flags != stream || st.partial_len + n >= TOUT_LINE_SIZE))
    write_pending(flags & ~(TOUT_NL | TOUT_NOW));
  if (n >= TOUT_LINE_SIZE) {
    pager((flags & (TOUT_NL | TOUT_NOW)) ? flags : flags & ~TOUT_NL, s, n);
    return n;
  }
  if (st.partial_len == 0) st.partial_flags = stream;
  memcpy(st.partial + st.partial_len, s, static_cast<size_t>(n));
  st.partial_len += n;
  if (flags & (TOUT_NL | TOUT_NOW)) write_pending(flags);
  return n;
}

void tout_push(OutputFn fn) {
  if (tout_state.depth >= TOUT_STACK_SIZE) {
    message(M_INTERNAL, 0, MSG_CONTINUE, "attempt to push too many output functions in tout");
    return;
  }
  tout_state.stack[tout_state.depth++] = fn;
}

OutputFn tout_pop() {
  if (tout_state.depth <= 1) {
    message(M_INTERNAL, 0, MSG_CONTINUE, "attempt to pop too many output functions in tout");
    return nullptr;
  }
  return tout_state.stack[--tout_state.depth];
}

void tout_more_reset() {
  tout_state.lines_written = 0;
  tout_state.page_length = term.lines < 4 ? term.lines - 1 : term.lines - 3;
  tout_state.partial_len = 0;
}

bool tout_quit() { return tout_state.lines_written == -1; }

void tout_install_message_hooks() {
  message_hooks.write = [](int flags, const char* text, bool end_line) {
    // The prefix stays pending until the first piece completes the line, so that the
    // pager sees one line.
    toutf(flags | (end_line ? TOUT_NL : 0), "%s", text);
  };
  message_hooks.is_terminal = []() { return !is_widget_mode(); };
}

// ---------------------------------------------------------------- public: terminal

void ttymode(int fd, int mode, int action) {
  if (tty_first_call) {
    tty_first_call = false;
    stdin_fd = fileno(stdin);
    declare_exit_handler(tty_restore_all);
    install_sigtstp();
  }
  TtyRecord* r = find_tty(fd);
  if (mode == 0) {
    if (!r) return;
    for (TtyRecord** link = &tty_records; *link; link = &(*link)->next)
      if (*link == r) {
        *link = r->next;
        break;
      }
    r->next = tty_free;
    tty_free = r;
    if (fd == stdin_fd) tty_unix_state_stdin_mode = 0;
    if (set_attributes(fd, r->saved) < 0) message(M_TTY_MODES, errno, action);
    return;
  }
  struct termios saved;
  if (!r) {
    if (tcgetattr(fd, &saved) < 0) {
      message(M_TTY_MODES, errno, action);
      return;
    }
    if (tty_free) {
      r = tty_free;
      tty_free = r->next;
    } else {
      r = new TtyRecord;
    }
    r->fd = fd;
    r->saved = saved;
    r->mode = 0;
    r->next = tty_records;
    tty_records = r;
  }
  if (set_attributes(fd, raw_attributes(r->saved, mode)) < 0) {
    message(M_TTY_MODES, errno, action);
    return;
  }
  r->mode = mode;
  if (fd == stdin_fd) tty_unix_state_stdin_mode = mode;
}

int ttymode_of(int fd) {
  TtyRecord* r = find_tty(fd);
  return r ? r->mode : 0;
}

void tty_restore_all() {
  while (tty_records) ttymode(tty_records->fd, 0, MSG_CONTINUE);
}

int tty_chars_waiting(int fd, int action) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) < 0) {
    message(M_TTY_MODES, errno, action);
    return 0;
  }
  return n;
}

int tty_per_char_pad(int fd) {
  // Tenths of a millisecond per character, by line-speed code 1 (50 baud) to 14 (19200).
  static const int char_time[15] = {10000, 2000, 1333, 909, 743, 666, 500, 333, 166, 83, 55, 41, 20, 10, 5};
  struct termios t;
  if (tcgetattr(fd, &t) < 0) return 10000;
  speed_t code = cfgetospeed(&t);
  if (code >= 1 && code <= 14) return char_time[code];
  return 10000;
}

void sigwinch_handler(int) {
  int saved_errno = errno;
  struct sigaction sa = {};
  sa.sa_handler = sigwinch_handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGWINCH, &sa, nullptr) < 0) message(M_SIGNAL_FAILED, errno, MSG_LONGJMP);
  if (term.is_tty) {
    struct winsize ws = {};
    int rc;
    do rc = ioctl(fileno(stdout), TIOCGWINSZ, &ws);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) ws.ws_row = ws.ws_col = 0;
    term.lines = ws.ws_row == 0 ? 24 : std::max<int>(ws.ws_row, 10);
    term.columns = ws.ws_col == 0 ? 80 : std::max<int>(ws.ws_col, 20);
  }
  errno = saved_errno;
}

// ---------------------------------------------------------------- public: timer

void timer_init() {
  if (timer_inited) return;
  timer_inited = true;
  struct sigaction sa = {};
  sa.sa_handler = sigalrm_handler;
  sa.sa_flags = 0;  // no restart: a pending wait must be able to interrupt a terminal read
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  if (timer_head) {
    sigset_t old;
    block_alarm(&old);
    timer_arm();
    sigprocmask(SIG_SETMASK, &old, nullptr);
  }
}

void timer_set(long delay_us, TimerCallback callback, int async, TimerCallback* out) {
  if (async) {
    timer_insert(delay_us, callback);
    return;
  }
  timer_init();
  sigset_t old;
  block_alarm(&old);
  timer_suspend();
  timer_fired = 0;
  timer_insert(delay_us, callback);
  timer_arm();
  if (!callback) {
    sigset_t wait_mask = old;
    sigdelset(&wait_mask, SIGALRM);
    while (!timer_fired) sigsuspend(&wait_mask);
  }
  if (out) *out = callback;
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void timer_cancel(TimerCallback callback) {
  sigset_t old;
  block_alarm(&old);
  timer_suspend();
  for (TimerRequest** link = &timer_head; *link; link = &(*link)->next) {
    TimerRequest* r = *link;
    if (r->callback != callback) continue;
    *link = r->next;
    if (r->next) r->next->delay += r->delay;
    r->next = timer_free_list;
    timer_free_list = r;
    break;
  }
  timer_arm();
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void timer_block(int on) {
  if (on) {
    if (!timer_head || timer_blocked) return;
    block_alarm(&timer_block_mask);
    timer_blocked = true;
  } else if (timer_blocked) {
    timer_blocked = false;
    sigprocmask(SIG_SETMASK, &timer_block_mask, nullptr);
  }
}
