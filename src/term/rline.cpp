// The line reader and the raw-mode editor. The screen is updated incrementally: every
// change writes the fewest characters among the ways the terminal allows (rewriting,
// insert/delete-character and clear-to-end capabilities), so that slow lines stay usable.
#include "term/rline.h"

#include <termcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/message.h"
#include "term/os.h"
#include "term/rline_term.h"
#include "term/tout.h"

int rline_state = 0;
int32_t edit_input = 1;
RlineBlock rblk;
RlineHooks rline_hooks;
TermCap tcinfo[3];

namespace {

// Control characters 0..31; EA_INSERT inserts the byte itself (^G and ^I).
constexpr int8_t kControlActions[32] = {
    EA_UNDEFINED,      EA_START,          EA_BACK_WORD,     EA_UNDEFINED,      // ^@ ^A ^B ^C
    EA_EOF_OR_ENTER,   EA_END,            EA_FORWARD_WORD,  EA_INSERT,         // ^D ^E ^F ^G
    EA_DELETE_CHAR,    EA_INSERT,         EA_ENTER,         EA_DELETE_EOL,     // ^H ^I ^J ^K
    EA_UNDEFINED,      EA_ENTER,          EA_PREVIOUS,      EA_UNDEFINED,      // ^L ^M ^N ^O
    EA_UNDEFINED,      EA_UNDEFINED,      EA_REDRAW,        EA_UNDEFINED,      // ^P ^Q ^R ^S
    EA_UNDEFINED,      EA_DELETE_TO_START, EA_UNDEFINED,    EA_DELETE_WORD,    // ^T ^U ^V ^W
    EA_DELETE_CURRENT, EA_UNDEFINED,      EA_UNDEFINED,     EA_ESCAPE,         // ^X ^Y ^Z ESC
    EA_UNDEFINED,      EA_UNDEFINED,      EA_UNDEFINED,     EA_UNDEFINED,
};

constexpr const char* kActionNames[EA_COUNT + 1] = {
    "",
    "<Undefined>",
    "<EOF If Line Empty, Line Term. Otherwise>",
    "<Redraw>",
    "<Delete Character>",
    "<Delete To Start Of Line>",
    "<Delete Word>",
    "<Cursor Left>",
    "<Cursor Right>",
    "<Start Of Line>",
    "<End Of Line>",
    "<Insert/Overstrike Toggle>",
    "<Previous Line>",
    "<Next Line>",
    "<Line Terminator>",
    "<Forward Word>",
    "<Back Word>",
    "<Insert String>",
    "<If Line Empty, Find Last Cmd Matching Text>",
    "<Process Escape Sequence>",
    "<Delete Current Character>",
    "<Recall Line By Number>",
    "<Delete to end-of-line>",
};

constexpr int kScreenBufSize = 80;
constexpr int kNoCapability = 60000;
constexpr int kEscapeBufSize = 16;
constexpr int kMaxReadErrors = 20;  // a dead terminal ends input instead of spinning

char scr_buf[kScreenBufSize];
int scr_len = 0;
int cursor = 0;       // logical cursor in rblk.line
int scr_col = 0;      // column of the terminal's cursor, counted from the line's start
bool insert_mode = true;

// ---- screen output ----

void scr_put(const char* s, int n) {
  for (int i = 0; i < n; i++) {
    if (scr_len == kScreenBufSize) rline_flush_screen();
    scr_buf[scr_len++] = s[i];
  }
}
void scr_putc(char c) { scr_put(&c, 1); }
void scr_puts(const std::string& s) { scr_put(s.data(), static_cast<int>(s.size())); }

void put_cap(const TermCap& cap) {
  scr_puts(cap.str);
  for (int i = 0; i < cap.pad; i++) scr_putc('\0');
}

// Line characters from..to-1 as they are shown: control characters as blanks.
void put_chars(int from, int to) {
  for (int i = from; i < to; i++) {
    unsigned char c = static_cast<unsigned char>(rblk.line[i]);
    scr_putc(c < 32 ? ' ' : static_cast<char>(c));
  }
}

void put_prompt() { scr_put(rblk.prompt, rblk.prompt_len); }

// Moves the terminal's cursor left from column `from` to column `to` of the line.
void back_to(int from, int to) {
  int n = from - to;
  if (n <= 0) return;
  if (n > to + rblk.prompt_len + 1) {
    scr_putc('\r');
    put_prompt();
    put_chars(0, to);
  } else {
    for (int i = 0; i < n; i++) scr_putc('\b');
  }
  scr_col = to;
}

// Moves both cursors to position `to`.
void move_to(int to) {
  if (to < scr_col)
    back_to(scr_col, to);
  else if (to > scr_col)
    put_chars(scr_col, to);
  scr_col = to;
  cursor = to;
}

// Clears n columns past the end of the line; the terminal's cursor is at the end.
void clear_past_end(int n) {
  if (n <= 0) return;
  const TermCap& ce = tcinfo[TC_CE];
  if (ce.present() && ce.len() + ce.pad < n) {
    put_cap(ce);
  } else {
    for (int i = 0; i < n; i++) scr_putc(' ');
    for (int i = 0; i < n; i++) scr_putc('\b');
  }
}

void set_line(const char* text) {
  size_t n = std::min(strlen(text), static_cast<size_t>(rblk.max_len));
  memcpy(rblk.line, text, n);
  rblk.line[n] = 0;
  rblk.len = static_cast<int16_t>(n);
}

// ---- editing operations ----

void insert_chars(const char* s, int n) {
  if (n <= 0) return;
  int len = rblk.len;
  if (insert_mode) {
    if (len + n > rblk.max_len) return;
    int rest = len - cursor;
    memmove(rblk.line + cursor + n, rblk.line + cursor, static_cast<size_t>(rest) + 1);
    memcpy(rblk.line + cursor, s, static_cast<size_t>(n));
    rblk.len = static_cast<int16_t>(len + n);
    const TermCap& ic = tcinfo[TC_IC];
    if (ic.present() && (ic.len() + ic.pad) * n < 2 * rest - n) {
      for (int i = 0; i < n; i++) put_cap(ic);
      put_chars(cursor, cursor + n);
      scr_col = cursor + n;
    } else {
      put_chars(cursor, rblk.len);
      scr_col = rblk.len;
      back_to(scr_col, cursor + n);
    }
  } else {
    int new_len = std::max(len, cursor + n);
    if (new_len > rblk.max_len) return;
    memcpy(rblk.line + cursor, s, static_cast<size_t>(n));
    rblk.len = static_cast<int16_t>(new_len);
    rblk.line[new_len] = 0;
    put_chars(cursor, cursor + n);
    scr_col = cursor + n;
  }
  cursor += n;
}

// Removes n characters at `start`; both cursors are already at `start`.
void delete_at(int start, int n) {
  int old_len = rblk.len;
  memmove(rblk.line + start, rblk.line + start + n, static_cast<size_t>(old_len - start - n) + 1);
  rblk.len = static_cast<int16_t>(old_len - n);
  int rest = rblk.len - start;
  if (n > term_columns()) {
    rline_redraw(-1);
    return;
  }
  const TermCap& dc = tcinfo[TC_DC];
  const TermCap& ce = tcinfo[TC_CE];
  int rewrite_cost = 2 * (rest + n);
  int dc_cost = dc.present() ? dc.len() * n + dc.pad : kNoCapability;
  int ce_cost = ce.present() ? ce.len() + ce.pad + 2 * rest : kNoCapability;
  if (rewrite_cost <= dc_cost && rewrite_cost <= ce_cost) {
    put_chars(start, rblk.len);
    for (int i = 0; i < n; i++) scr_putc(' ');
    back_to(rblk.len + n, start);
  } else if (ce_cost <= dc_cost) {
    put_cap(ce);
    put_chars(start, rblk.len);
    back_to(rblk.len, start);
  } else {
    for (int i = 0; i < n; i++) put_cap(dc);
  }
  scr_col = start;
}

void delete_before(int n) {
  n = std::min(n, cursor);
  if (n <= 0) return;
  int start = cursor - n;
  if (n > term_columns()) {
    cursor = start;
    memmove(rblk.line + start, rblk.line + start + n, static_cast<size_t>(rblk.len - start - n) + 1);
    rblk.len = static_cast<int16_t>(rblk.len - n);
    rline_redraw(-1);
    return;
  }
  move_to(start);
  delete_at(start, n);
}

bool is_word_char(char c) { return isalnum(static_cast<unsigned char>(c)) != 0; }

int forward_word_pos() {
  int p = cursor;
  while (p < rblk.len && !is_word_char(rblk.line[p])) p++;
  while (p < rblk.len && is_word_char(rblk.line[p])) p++;
  return p;
}

int back_word_pos() {
  int p = cursor;
  while (p > 0 && !is_word_char(rblk.line[p - 1])) p--;
  while (p > 0 && is_word_char(rblk.line[p - 1])) p--;
  return p;
}

// Replaces the whole line (recall) and shows it with the cursor at `new_cursor`.
void replace_line(const char* text, int new_cursor) {
  int old_len = rblk.len;
  set_line(text);
  cursor = std::clamp(new_cursor, 0, static_cast<int>(rblk.len));
  rline_redraw(std::max(0, old_len - rblk.len));
}

// ---- input ----

int read_byte() {
  int errors = 0;
  for (;;) {
    if (rline_hooks.wait_for_key) rline_hooks.wait_for_key(rblk.fd);
    unsigned char c;
    ssize_t r = read(rblk.fd, &c, 1);
    if (r == 1) return c;
    if (r == 0) return -1;
    if (errno == EINTR) continue;
    message(M_INTERNAL, errno, MSG_CONTINUE, "Unable to read from keyboard");
    if (++errors >= kMaxReadErrors) return -1;
  }
}

void raw_on() {
  if (rline_hooks.hold_window_timer) rline_hooks.hold_window_timer(true);
  if (isatty(rblk.fd)) term_mode(rblk.fd, 1);
  rline_state |= RL_ACTIVE;
}

void raw_off() {
  if (isatty(rblk.fd)) term_mode(rblk.fd, 0);
  rline_state &= ~RL_ACTIVE;
  if (rline_hooks.hold_window_timer) rline_hooks.hold_window_timer(false);
}

// Leaves raw mode, asks a question on standard output and reads up to 63 characters.
std::string ask(const char* question) {
  rline_flush_screen();
  if (isatty(rblk.fd)) term_mode(rblk.fd, 0);
  term_write(0, question, static_cast<int>(strlen(question)));
  std::string answer;
  for (;;) {
    unsigned char c;
    ssize_t r = read(rblk.fd, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || c == '\n') break;
    if (answer.size() < 63) answer += static_cast<char>(c);
  }
  if (isatty(rblk.fd)) term_mode(rblk.fd, 1);
  return answer;
}

void recall_by_text() {
  std::string text = ask("String To Match: ");
  const char* found = rbuf_match(true, text.c_str());
  if (found) {
    const char* at = strstr(found, text.c_str());
    set_line(found);
    cursor = std::min(static_cast<int>(at - found + text.size()), static_cast<int>(rblk.len));
  }
  // The answer's newline left the terminal at the start of a fresh row.
  rline_redraw(0);
}

void recall_by_number() {
  std::string text = ask("Recall Line #: ");
  const char* found = rbuf_match(false, text.c_str());
  if (found) {
    set_line(found);
    cursor = rblk.len;
  }
  rline_redraw(0);
}

enum Outcome { KEEP_EDITING, ENTER_LINE, END_OF_INPUT };

Outcome apply(int action, int byte, const KeyDef* def);

Outcome key_value(const KeyDef* def) {
  if (!def || def->value.empty()) return KEEP_EDITING;
  if (!(def->flags & KEY_NOECHO)) {
    insert_chars(def->value.data(), static_cast<int>(def->value.size()));
    return (def->flags & KEY_TERMINATE) ? ENTER_LINE : KEEP_EDITING;
  }
  // The value replaces the line unseen: erase what is shown, then enter.
  move_to(0);
  clear_past_end(rblk.len);
  set_line(def->value.c_str());
  cursor = scr_col = 0;
  rline_state |= RL_NO_RECALL | RL_JOURNALLED;
  return ENTER_LINE;
}

Outcome escape_sequence(int first) {
  std::string seq;
  int r = read_escape_sequence(first, read_byte, seq);
  if (r != 0) return apply(r, 0, nullptr);
  const KeyDef* def = find_key_by_sequence(seq);
  if (!def || def->action == EA_ESCAPE) return KEEP_EDITING;
  return apply(def->action, 0, def);
}

Outcome apply(int action, int byte, const KeyDef* def) {
  switch (action) {
    case EA_INSERT: {
      char c = static_cast<char>(byte);
      insert_chars(&c, 1);
      break;
    }
    case EA_EOF_OR_ENTER:
      return rblk.len == 0 ? END_OF_INPUT : ENTER_LINE;
    case EA_REDRAW:
      rline_redraw(-1);
      break;
    case EA_DELETE_CHAR:
      delete_before(1);
      break;
    case EA_DELETE_TO_START:
      delete_before(cursor);
      break;
    case EA_DELETE_WORD:
      delete_before(cursor - back_word_pos());
      break;
    case EA_LEFT:
      if (cursor > 0) move_to(cursor - 1);
      break;
    case EA_RIGHT:
      if (cursor < rblk.len) move_to(cursor + 1);
      break;
    case EA_START:
      move_to(0);
      break;
    case EA_END:
      move_to(rblk.len);
      break;
    case EA_TOGGLE_INSERT:
      insert_mode = !insert_mode;
      break;
    case EA_PREVIOUS:
    case EA_NEXT: {
      const char* s = rbuf_recall(action == EA_PREVIOUS ? -1 : 1);
      replace_line(s ? s : "", s ? static_cast<int>(strlen(s)) : 0);
      break;
    }
    case EA_ENTER:
      return ENTER_LINE;
    case EA_FORWARD_WORD:
      move_to(forward_word_pos());
      break;
    case EA_BACK_WORD:
      move_to(back_word_pos());
      break;
    case EA_INSERT_STRING:
      return key_value(def);
    case EA_MATCH_TEXT:
      if (rblk.len == 0)
        recall_by_text();
      else if (byte >= 32 && byte != 127)
        return apply(EA_INSERT, byte, nullptr);
      break;
    case EA_ESCAPE:
      return escape_sequence(byte);
    case EA_DELETE_CURRENT:
      if (cursor < rblk.len) delete_at(cursor, 1);
      break;
    case EA_RECALL_NUMBER:
      recall_by_number();
      break;
    case EA_DELETE_EOL: {
      int n = rblk.len - cursor;
      rblk.len = static_cast<int16_t>(cursor);
      rblk.line[cursor] = 0;
      clear_past_end(n);
      break;
    }
    default:
      break;
  }
  return KEEP_EDITING;
}

bool blank_or_commas(const char* s) {
  for (; *s; s++)
    if (*s != ' ' && *s != ',' && *s != '\t') return false;
  return true;
}

bool line_editing_active() { return rline_state & RL_ACTIVE; }

// Bytes already read into the stream's buffer are not seen by a wait on its descriptor.
bool stream_has_buffered_input(FILE* stream) {
#ifdef __GLIBC__
  return stream->_IO_read_ptr < stream->_IO_read_end;
#else
  (void)stream;
  return true;  // no way to tell: never wait
#endif
}

char* plain_read(char* buffer, int size) {
  buffer[size - 1] = '\1';
  if (isatty(rblk.fd) && rblk.prompt_len) term_write(0, rblk.prompt, rblk.prompt_len);
  char* r;
  do {
    errno = 0;
    clearerr(rblk.stream);
    if (rline_hooks.wait_for_key && !stream_has_buffered_input(rblk.stream))
      rline_hooks.wait_for_key(fileno(rblk.stream));
    r = fgets(buffer, size, rblk.stream);
  } while (!r && errno == EINTR);
  if (!r) return nullptr;
  if (buffer[size - 1] != '\1') {
    message(M_INPUT_TOO_LONG, 0, MSG_CONTINUE, size);
    return nullptr;
  }
  size_t n = strcspn(buffer, "\n");
  n = std::min(n, static_cast<size_t>(RL_MAX_LINE));
  memcpy(rblk.line, buffer, n);
  rblk.line[n] = 0;
  rblk.len = static_cast<int16_t>(n);
  return buffer;
}

}  // namespace

const char* edit_action_name(int action) {
  if (action > 0 || action < -EA_COUNT) return kActionNames[1];
  return kActionNames[-action];
}

int edit_action_of(int byte, int line_len) {
  if (byte < 32) return kControlActions[byte];
  if (byte == 127) return EA_DELETE_CHAR;
  if (byte == 0x9B) return EA_ESCAPE;
  if (byte == '^' && line_len == 0) return EA_MATCH_TEXT;
  return EA_INSERT;
}

int read_escape_sequence(int first, const std::function<int()>& next, std::string& seq) {
  seq.assign(1, '\033');
  enum { TWO_BYTE, CONTROL, SINGLE_SHIFT } kind;
  if (first == 0x9B) {
    seq += '[';
    kind = CONTROL;
  } else {
    int b = next();
    if (b < 0) return EA_UNDEFINED;
    if (b == 127) return EA_DELETE_WORD;
    seq += static_cast<char>(b);
    kind = b == '[' ? CONTROL : b == 'O' ? SINGLE_SHIFT : TWO_BYTE;
    if (kind == TWO_BYTE) return (b >= 0x30 && b <= 0x7E) ? 0 : EA_UNDEFINED;
  }
  bool too_long = false;
  bool intermediate = false;
  for (;;) {
    int b = next();
    if (b < 0) return EA_UNDEFINED;
    if (static_cast<int>(seq.size()) >= kEscapeBufSize - 1) too_long = true;
    if (!too_long) seq += static_cast<char>(b);
    if (b >= 0x40 && b <= 0x7E) return too_long ? EA_UNDEFINED : 0;
    if (kind == SINGLE_SHIFT) return EA_UNDEFINED;
    if (b >= 0x30 && b <= 0x3F && !intermediate) continue;
    if (b >= 0x20 && b <= 0x2F) {
      intermediate = true;
      continue;
    }
    return EA_UNDEFINED;
  }
}

void rline_flush_screen() {
  if (!scr_len) return;
  if (rline_hooks.screen)
    rline_hooks.screen(scr_buf, scr_len);
  else
    term_write(TW_ERR, scr_buf, scr_len);
  scr_len = 0;
}

void rline_init() {
  message_hooks.line_editing = line_editing_active;
  tout_hooks.get_key = get_kbrd;
}

void rline_reset_session() {
  insert_mode = true;
  cursor = scr_col = scr_len = 0;
  rline_state = 0;
  rblk = RlineBlock{};
  for (TermCap& t : tcinfo) t = TermCap{};
  reset_key_defs();
  rbuf_forget();
}

void rline_redraw(int n) {
  if (n < 0) {
    scr_put("\r\n", 2);
  } else {
    scr_putc('\r');
  }
  put_prompt();
  put_chars(0, rblk.len);
  scr_col = rblk.len;
  if (n > 0) clear_past_end(n);
  back_to(scr_col, cursor);
  if (n < 0) rline_flush_screen();
}

bool rline_from_kbrd() {
  rblk.len = 0;
  rblk.line[0] = 0;
  cursor = scr_col = 0;
  rbuf_reset();
  if (!rblk.prompt) rblk.prompt = "";
  rblk.prompt_len = static_cast<int>(strlen(rblk.prompt));
  raw_on();
  put_prompt();
  Outcome outcome = KEEP_EDITING;
  try {
    while (outcome == KEEP_EDITING) {
      rline_flush_screen();
      int byte = read_byte();
      if (byte < 0) {
        outcome = END_OF_INPUT;
        break;
      }
      outcome = apply(edit_action_of(byte, rblk.len), byte, nullptr);
    }
  } catch (...) {
    rline_flush_screen();
    raw_off();
    throw;
  }
  scr_put("\r\n", 2);
  rline_flush_screen();
  raw_off();
  return outcome == ENTER_LINE;
}

char* vek_rline(char* buffer, int size, int unit, FILE* stream, const char* prompt, int flags) {
  if (!message_hooks.line_editing) message_hooks.line_editing = line_editing_active;
  if (size < 2) return nullptr;
  if (unit == RL_STREAM_UNIT && stream && fileno(stream) == 0) unit = 0;
  if (unit == 0)
    stream = stdin;
  else if (unit != RL_STREAM_UNIT)
    stream = nullptr;  // other units are read by their own transfers
  if (!stream) return nullptr;
  rblk.stream = stream;
  rblk.fd = fileno(stream);
  rblk.prompt = prompt ? prompt : "";
  rblk.prompt_len = static_cast<int>(strlen(rblk.prompt));
  rblk.max_len = std::min(size - 1, RL_MAX_LINE);

  rline_flush_journal();
  if (!(rline_state & RL_NO_RECALL) && !(rblk.flags & RLF_NO_RECALL) && !blank_or_commas(rblk.line))
    rbuf_save(rblk.line);
  rline_state &= ~(RL_NO_RECALL | RL_JOURNALLED);
  bool tty = isatty(rblk.fd);
  rblk.flags = flags | (tty ? 0 : RLF_NO_RECALL | RLF_NO_JOURNAL);
  rblk.len = 0;
  rblk.line[0] = 0;

  if (tty) {
    if (rline_hooks.widget_mode && rline_hooks.widget_mode() && rline_hooks.widget_read) {
      if (!rline_hooks.widget_read(buffer, size, rblk.prompt)) return nullptr;
      set_line(buffer);
      return buffer;
    }
    if (edit_input != 0 && !(flags & RLF_PLAIN)) {
      if (!rline_from_kbrd()) return nullptr;
      memcpy(buffer, rblk.line, static_cast<size_t>(rblk.len) + 1);
      return buffer;
    }
  }
  return plain_read(buffer, size);
}

// ---- terminal capabilities ----

int termcap_pad(std::string& cap, int char_time) {
  size_t i = 0;
  int tenths = 0;
  while (i < cap.size() && isdigit(static_cast<unsigned char>(cap[i]))) tenths = tenths * 10 + (cap[i++] - '0');
  tenths *= 10;
  if (i < cap.size() && cap[i] == '.') {
    i++;
    if (i < cap.size() && isdigit(static_cast<unsigned char>(cap[i]))) tenths += cap[i++] - '0';
  }
  if (i < cap.size() && cap[i] == '*') i++;
  cap.erase(0, i);
  if (char_time <= 0) return 0;
  return (tenths + char_time / 2) / char_time;
}

void init_tcinfo() {
  for (TermCap& t : tcinfo) t = TermCap{};
  const char* type = getenv("TERM");
  if (!type || !*type) return;
  if (tgetent(nullptr, type) <= 0) return;
  char area[2048];
  char* ap = area;
  if (tgetstr(const_cast<char*>("pc"), &ap)) return;
  int char_time = term_char_time(1);
  auto take = [&](int slot, const char* id) {
    char* s = tgetstr(const_cast<char*>(id), &ap);
    if (!s) return;
    std::string cap(s);
    tcinfo[slot].pad = termcap_pad(cap, char_time);
    tcinfo[slot].str = cap;
  };
  if (!tgetstr(const_cast<char*>("dm"), &ap)) {
    take(TC_CE, "ce");
    take(TC_DC, "dc");
  }
  char* im = tgetstr(const_cast<char*>("im"), &ap);
  if (!im || !*im) take(TC_IC, "ic");
}
