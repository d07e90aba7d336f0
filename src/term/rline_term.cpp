// Terminal services for the line editor, handed to the terminal writer so that raw-mode
// state, output order and the pager are shared with the rest of the session.
#include "term/rline_term.h"

#include <cstring>

#include "base/message.h"
#include "term/tout.h"

void term_write(int flags, const char* text, int len) { tout(flags, text, len); }

void term_write_line(int flags, const char* text) {
  term_write(flags | TW_END, text, static_cast<int>(strlen(text)));
}

void term_mode(int fd, int mode) { ttymode(fd, mode, MSG_CONTINUE); }

int term_current_mode(int fd) { return ttymode_of(fd); }

int term_char_time(int fd) { return tty_per_char_pad(fd); }

int term_columns() { return term.columns; }

int term_chars_waiting(int fd) { return tty_chars_waiting(fd, MSG_CONTINUE); }
