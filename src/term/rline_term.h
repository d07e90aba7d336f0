// The few terminal services the line editor, the journal and the OS built-ins need:
// writing through the terminal writer, raw/cooked switching, the per-character time of
// the line speed and the terminal width. Kept in one place so the editor does not care
// how the terminal writer does them.
#pragma once

// Output flags as the terminal writer takes them.
constexpr int TW_ERR = 1;    // error stream
constexpr int TW_END = 4;    // end the line after the text
constexpr int TW_PAGED = 8;  // subject to the pager

void term_write(int flags, const char* text, int len);
void term_write_line(int flags, const char* text);  // adds TW_END
// mode 0 restores the saved attributes, 1 raw with signals, 2 raw without signals.
void term_mode(int fd, int mode);
int term_current_mode(int fd);
int term_char_time(int fd);  // tenths of a millisecond
int term_columns();
int term_chars_waiting(int fd);
