// Line editing and command recall: the one entry through which terminal lines are read
// (vek_rline), the raw-mode line editor with its editing actions, escape sequences and
// key definitions, the recall ring, the journal's writer, and the terminal capabilities
// the editor uses. Relies on the terminal writer and raw-mode switching and message();
// the window-system front end plugs in through rline_hooks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "interp/routines.h"

// rline_state bits. Bits 2 and 4 are cleared each time a new line is requested.
constexpr int RL_ACTIVE = 1;      // the editor runs: the terminal is in raw mode
constexpr int RL_NO_RECALL = 2;   // the line just read must not enter the recall ring
constexpr int RL_JOURNALLED = 4;  // the line just read is journalled (or must not be)
extern int rline_state;

// Caller flags of vek_rline. Input that is not a terminal adds 1 and 2.
constexpr int RLF_NO_RECALL = 1;
constexpr int RLF_NO_JOURNAL = 2;
constexpr int RLF_JOURNAL_COMMENT = 4;  // journal the line as a comment (data typed for READ)
constexpr int RLF_PLAIN = 8;            // never edit

constexpr int RL_STREAM_UNIT = -100;  // vek_rline's unit: read the given stream directly
constexpr int RL_LINE_SIZE = 512;
constexpr int RL_MAX_LINE = 510;

// Settings viewed by system variables: !EDIT_INPUT (0 reads plain lines; 2 or more also
// sizes the recall ring when it is first needed) and !JOURNAL (unit of the open journal).
extern int32_t edit_input;
extern int32_t journal_file;
extern FILE* journal_pout;  // stream of the open journal, or null

// The line block.
struct RlineBlock {
  FILE* stream = nullptr;
  int fd = 0;
  const char* prompt = "";
  int prompt_len = 0;
  int16_t len = 0;
  char line[RL_LINE_SIZE] = {};
  int max_len = RL_MAX_LINE;
  int flags = 0;
};
extern RlineBlock rblk;

// Reads one line into buffer (size bytes) and returns buffer, or null at end of input
// (or when a plain line does not fit). unit is 0 (standard input) or RL_STREAM_UNIT to
// read `stream`. An edited line carries no newline; a plain read returns what fgets gave,
// including the newline.
char* vek_rline(char* buffer, int size, int unit, FILE* stream, const char* prompt, int flags);

// The editor on rblk: true when a line was entered, false at end of input.
bool rline_from_kbrd();
// n < 0: new line, prompt and line, cursor restored, output flushed. n >= 0: carriage
// return, prompt, line, then n characters cleared past its end, cursor restored.
void rline_redraw(int n);
// Writes out the editor's pending screen output (the suspend handler calls it).
void rline_flush_screen();
// Plugs the editor into the layers below it: the pager's key reader (so that a widget
// front end's keys reach it) and message()'s line-editing test. Called once at start-up.
void rline_init();
// Back to the state of a new session: insert mode, initial keys, empty recall ring (whose
// size is fixed again on next use), no capabilities. For tests.
void rline_reset_session();
// Journals the last line read unless it must not be.
void rline_flush_journal();

// Editing actions.
enum EditAction : int {
  EA_INSERT = 0,  // not an action: the byte is inserted
  EA_UNDEFINED = -1,
  EA_EOF_OR_ENTER = -2,
  EA_REDRAW = -3,
  EA_DELETE_CHAR = -4,
  EA_DELETE_TO_START = -5,
  EA_DELETE_WORD = -6,
  EA_LEFT = -7,
  EA_RIGHT = -8,
  EA_START = -9,
  EA_END = -10,
  EA_TOGGLE_INSERT = -11,
  EA_PREVIOUS = -12,
  EA_NEXT = -13,
  EA_ENTER = -14,
  EA_FORWARD_WORD = -15,
  EA_BACK_WORD = -16,
  EA_INSERT_STRING = -17,
  EA_MATCH_TEXT = -18,
  EA_ESCAPE = -19,
  EA_DELETE_CURRENT = -20,
  EA_RECALL_NUMBER = -21,
  EA_DELETE_EOL = -22,
};
constexpr int EA_COUNT = 22;
const char* edit_action_name(int action);
// The action of a typed byte; line_len decides "^" (match on an empty line).
int edit_action_of(int byte, int line_len);

// Key definitions, searched in order.
constexpr int KEY_TERMINATE = 1;
constexpr int KEY_NOECHO = 2;
struct KeyDef {
  int flags = 0;
  int action = EA_UNDEFINED;
  std::string sequence;
  std::string name;
  std::string value;
};
extern std::vector<KeyDef> key_defs;
const KeyDef* find_key_by_sequence(const std::string& sequence);

// Reads the rest of an escape sequence that began with `first` (ESC or 0x9B) from
// `next` (returns a byte, or -1 at end of input). On success returns 0 and stores the
// whole sequence, 0x9B written as ESC "["; returns EA_DELETE_WORD for ESC DEL and
// EA_UNDEFINED for a malformed or over-long sequence.
int read_escape_sequence(int first, const std::function<int()>& next, std::string& sequence);

// Recall ring.
void rbuf_save(const char* line);
void rbuf_reset();
const char* rbuf_recall(int direction);  // -1 older, +1 newer; null when none
const char* rbuf_match(bool by_text, const char* text);
void rbuf_help();    // HELP, /RECALL_COMMANDS
int rbuf_size();     // fixes the size on first use
int rbuf_count();    // lines held
void rbuf_forget();  // empties the ring and forgets its size

// Key listing (HELP, /KEYS): names are scalar strings; none lists everything.
void display_fkeys(int n, Variable* names[], bool all);
// DEFINE_KEY.
void set_fkey(int argc, Variable* argv[], KwNames argk);
// The DEFINE_KEY mechanism itself.
void define_key(const char* name, const char* value, int action, int flags, const char* escape);
void reset_key_defs();

// The journal's writer (JOURNAL opens and closes the file): logit writes data lines,
// logit_cmt comment lines. journal_start makes `stream`, the file of `unit`, the journal;
// unit_ok (may be null) confirms before each input line that the unit is still open for
// writing, else the journal is forgotten. journal_stop forgets it; the unit is the
// caller's.
void journal_start(int unit, FILE* stream, bool (*unit_ok)(int unit));
void journal_stop();
void logit(const char* text);
void logit_cmt(const char* text);

// Terminal capabilities: clear to end of line, delete character, insert character. An
// empty string means the terminal lacks it; pad is the count of NUL bytes sent after.
struct TermCap {
  std::string str;
  int pad = 0;
  bool present() const { return !str.empty(); }
  int len() const { return static_cast<int>(str.size()); }
};
enum { TC_CE = 0, TC_DC = 1, TC_IC = 2 };
extern TermCap tcinfo[3];
void init_tcinfo();
// Pad count for a capability's leading delay ("5", "3.5*"): strips the delay from
// `cap` and returns the number of NULs for the given character time (tenths of ms).
int termcap_pad(std::string& cap, int char_time);

// Services from layers above (the window-system front end). Null: not there.
struct RlineHooks {
  bool (*widget_mode)() = nullptr;
  // The front end's line reader; false at end of input.
  bool (*widget_read)(char* buffer, int size, const char* prompt) = nullptr;
  // Hold (true) or release the window system's timer while the terminal is raw.
  void (*hold_window_timer)(bool hold) = nullptr;
  // Serves window-system events until a byte can be read from fd.
  void (*wait_for_key)(int fd) = nullptr;
  // Replaces the editor's screen output (tests capture it here).
  void (*screen)(const char* text, int len) = nullptr;
  // One keystroke from the front end (GET_KBRD in widget mode).
  int (*widget_key)(int wait) = nullptr;
  // Writes one value to the journal unit as a data line (formatted output); without it
  // the value's elements are written in their default text form, blank-separated.
  void (*journal_value)(int unit, Variable* value) = nullptr;
};
extern RlineHooks rline_hooks;
