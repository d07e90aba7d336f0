// Terminal services for the line editor. Until the terminal writer is linked in, text
// goes to the standard streams and raw mode is set here with termios.
#include "session/rline_term.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "interp/message.h"

namespace {

struct SavedMode {
  termios attrs;
  int mode;
};
std::map<int, SavedMode> saved_modes;

int tc_set(int fd, const termios& t) {
  int r;
  do r = tcsetattr(fd, TCSADRAIN, &t);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

void term_write(int flags, const char* text, int len) {
  FILE* f = (flags & TW_ERR) ? stderr : stdout;
  if (len > 0) fwrite(text, 1, static_cast<size_t>(len), f);
  if (flags & TW_END) fputs(term_current_mode(0) ? "\r\n" : "\n", f);
  fflush(f);
}

void term_write_line(int flags, const char* text) {
  term_write(flags | TW_END, text, static_cast<int>(strlen(text)));
}

void term_mode(int fd, int mode) {
  auto it = saved_modes.find(fd);
  if (mode == 0) {
    if (it == saved_modes.end()) return;
    termios t = it->second.attrs;
    saved_modes.erase(it);
    if (tc_set(fd, t) < 0) message(M_TTY_MODES, errno, MSG_CONTINUE);
    return;
  }
  if (it == saved_modes.end()) {
    termios t;
    if (tcgetattr(fd, &t) < 0) {
      message(M_TTY_MODES, errno, MSG_CONTINUE);
      return;
    }
    it = saved_modes.emplace(fd, SavedMode{t, 0}).first;
  }
  termios t = it->second.attrs;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  if (mode == 1)
    t.c_lflag |= ISIG | IEXTEN;
  else
    t.c_lflag &= ~static_cast<tcflag_t>(ISIG);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_cflag &= ~static_cast<tcflag_t>(PARENB);
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tc_set(fd, t) < 0) message(M_TTY_MODES, errno, MSG_CONTINUE);
  it->second.mode = mode;
}

int term_current_mode(int fd) {
  auto it = saved_modes.find(fd);
  return it == saved_modes.end() ? 0 : it->second.mode;
}

int term_char_time(int fd) {
  static const int table[15] = {10000, 2000, 1333, 909, 743, 666, 500, 333, 166, 83, 55, 41, 20, 10, 5};
  termios t;
  if (tcgetattr(fd, &t) < 0) return 10000;
  speed_t s = cfgetospeed(&t);
  return s >= 1 && s <= 14 ? table[s] : 10000;
}

int term_columns() {
  winsize w{};
  if (ioctl(1, TIOCGWINSZ, &w) == 0 && w.ws_col >= 20) return w.ws_col;
  return 80;
}

int term_chars_waiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) < 0) {
    message(M_TTY_MODES, errno, MSG_CONTINUE);
    return 0;
  }
  return n;
}
