// Terminal output: tout/toutf with the partial-line buffer, the stack of replaceable
// output functions and the pager driven by !MORE; the terminal description (size,
// SIGWINCH), raw/cooked mode switching restored on exit and on suspend, line-speed
// padding, and the queue of interval-timer requests on SIGALRM. Relies on message(), the
// line editor and the exit-handler list; the file units tell it through tout_hooks which
// standard units are terminals.
#pragma once

#include <cstddef>
#include <cstdint>

// Output flags taken by tout, toutf and the output functions.
constexpr int TOUT_STDERR = 1;     // error stream; without it standard output
constexpr int TOUT_NL_FIRST = 2;   // first end the pending partial line
constexpr int TOUT_NL = 4;         // end the line after the text
constexpr int TOUT_PAGED = 8;      // subject to the pager; also sets !ERR to 0
constexpr int TOUT_FORMFEED = 16;  // form feeds in the text start a new page
constexpr int TOUT_NOW = 32;       // write the pending text now without ending the line

// The user's terminal. is_tty: standard output is a terminal and the session is not in
// widget mode.
struct TermDesc {
  char name[64];  // TERM, "" when unset
  int is_tty;
  int lines;
  int columns;
};
extern TermDesc term;

// !MORE (the system-variable table points here).
extern int32_t sysv_more;

using OutputFn = void (*)(int flags, const char* text, int length);
constexpr int TOUT_STACK_SIZE = 5;
constexpr int TOUT_LINE_SIZE = 268;
constexpr int PAGER_PROMPT_LEN = 42;
extern const char* const pager_prompt;  // "< Press Spacebar to continue, ? for help >"

struct ToutState {
  int lines_written;   // since the last page prompt; -1: the user quit
  int page_length;
  OutputFn stack[TOUT_STACK_SIZE];  // stack[0] is the default writer
  int depth;
  char partial[TOUT_LINE_SIZE];     // pending text of an unfinished line
  int partial_len;
  int partial_flags;                // stream class (TOUT_STDERR) of the pending text
};
extern ToutState tout_state;

void tout(int flags, const char* text, int length);
int toutf(int flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
void tout_push(OutputFn fn);
OutputFn tout_pop();
void tout_more_reset();
bool tout_quit();
// The writer at the bottom of the stack: standard output or standard error.
void tout_default_writer(int flags, const char* text, int length);
// Routes message() output through tout.
void tout_install_message_hooks();

// Terminal modes: 0 cooked (restores the saved attributes), 1 raw keeping signal keys,
// 2 raw without them. Failures: message -188 with the given action.
extern int tty_unix_state_stdin_mode;
void ttymode(int fd, int mode, int action);
int ttymode_of(int fd);  // the mode ttymode last set on fd (0 when none)
int tty_chars_waiting(int fd, int action);
int tty_per_char_pad(int fd);  // tenths of a millisecond per character
void tty_restore_all();        // exit handler: every recorded descriptor back to mode 0
void sigwinch_handler(int sig = 0);

// Interval-timer queue. A request without callback sets a flag that timer_set waits for.
using TimerCallback = void (*)();
void timer_init();
void timer_set(long delay_us, TimerCallback callback, int async, TimerCallback* out);
void timer_cancel(TimerCallback callback);
void timer_block(int on);

// Services from higher layers; null means "not there".
struct ToutHooks {
  // Whether standard unit -2, -1 or 0 is a terminal; set once the file units exist.
  // Until then the pager is off and the writer asks the stream itself.
  bool (*unit_is_tty)(int unit) = nullptr;
  // One keystroke for the pager (a front end's reader); null: standard input is read in
  // raw mode 1. Returns the character, or -1 at end of input.
  int (*get_key)(int wait) = nullptr;
};
extern ToutHooks tout_hooks;
