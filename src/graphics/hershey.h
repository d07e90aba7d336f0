// Vector (Hershey) fonts and the "!" command language of graphic text: the font file
// hersh1.chr under !DIR with the one current font, the tokenizer of commands, stripping of
// commands for device fonts, line-break counting, and the device-free layout of one line
// of vector text (levels, exponent and index, saves, font switches) as pen moves.
// Relies on the message system and the graphics resource paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Font units (the coordinates of the stroke words) in one nominal character height: the
// layout reports positions in nominal heights, and the caller scales one nominal height
// to the device's character cell height (Y_CH_SIZE) times the text size. A Hershey
// capital is 21 units high, an average character about 20 units wide, so one character
// advances about 0.63 nominal heights, the width-to-height ratio of the usual cell.
constexpr float HERSH_NOMINAL_HEIGHT = 32.0f;

constexpr int HERSH_FIRST_FONT = 3;    // the default, and what bad numbers select
constexpr int HERSH_LAST_FONT = 20;    // the last one a command can select
constexpr int HERSH_FONT_SLOTS = 40;   // entries of the file's header
constexpr int HERSH_MAX_STROKE_BYTES = 8562;  // kept of one font's stroke data

// A decoded font: one entry per character (96 for codes 32..127, 224 for 32..255).
struct HershFont {
  int number = 0;
  bool extended = false;
  std::vector<uint8_t> width;        // advance, font units
  std::vector<uint8_t> left;         // left offset, font units
  std::vector<uint32_t> first;       // first stroke word
  std::vector<uint32_t> end;         // one past the last stroke word
  std::vector<uint16_t> words;       // the stroke data
  // Index of the character for a code (below 32 counts as 32; a standard font takes the
  // code's low seven bits).
  int char_index(unsigned char code) const;
};

// Makes font n current (n below 3 or above 39 means 3). Reads the file on first use:
// "Error opening file: %s." (-167, an error) when it cannot be opened or read; a font
// the file does not have is the informational "No such font: %d" (-298), and font 3.
void hersh_load_font(int n);
// The current font (loads font 3 when none is loaded yet).
const HershFont& hersh_font();
// Forgets the file and the current font, so that the next use reads the file anew.
void hersh_reset();

// ---- Commands ---------------------------------------------------------------------------

enum HershTokenKind {
  HT_END,         // no more text
  HT_TEXT,        // characters to draw: text, length
  HT_LEVEL,       // value 0 A, 1 B, 2 D, 3 L, 4 N, 5 U
  HT_NEWLINE,     // !C
  HT_EXP_INDEX,   // value 0 exponent (!E), 1 index (!I)
  HT_FONT,        // value: the font number (3 for a bad number)
  HT_FONT_ONCE,   // !M: value 9 for the next character only
  HT_RESTORE,     // !R
  HT_SAVE,        // !S
  HT_ENTRY_FONT,  // !X: back to the font in use when the string began
};

struct HershToken {
  HershTokenKind kind = HT_END;
  int value = 0;
  const char* text = nullptr;  // the characters of HT_TEXT (for commands: the command)
  int length = 0;
};

// Reads one token of text[0 .. end). A run of text stops before the next "!"; "!!" is a
// one-character run "!"; an unknown command letter is the run "!" and the letter. When
// `drawing` is set, bad commands are reported: a font number outside 3..20 with
// "Invalid graphtext command: ...%s" (-330, informational) and an unknown letter with
// "Error using Hershey characters: %s." (-299, informational). Returns the position after
// the token.
const char* hersh_parse(const char* text, const char* end, HershToken& token, bool drawing);

// Copies text without its commands into out (at most size bytes, NUL-terminated): "!!"
// becomes "!", a "!" and the next character are dropped, and after "!1" or "!2" one more.
// Returns the length, or -1 when the result does not fit.
int un_hersh(const char* text, int length, char* out, int size);

// Number of "!C" line breaks of the text, and the offset of the first one (-1: none).
int text_n_lines(const char* text, int length, int* first);

// Per level (A, B, D, L, N, U): baseline offset in font units and size factor; per
// exponent/index state (E, I, normal): offset and factor on top of the level. Device
// fonts that understand the commands place their levels by the same numbers.
constexpr float HERSH_LEVEL_OFFSET[6] = {16.15f, -17.043f, -7.961f, -15.922f, 0.0f, 15.2f};
constexpr float HERSH_LEVEL_FACTOR[6] = {1.0f, 1.0f, 0.619f, 0.619f, 1.0f, 0.619f};
constexpr float HERSH_EI_OFFSET[3] = {14.972f, -4.408f, 0.0f};
constexpr float HERSH_EI_FACTOR[3] = {0.444f, 0.444f, 1.0f};
constexpr int HERSH_LEVEL_NORMAL = 4;
constexpr int HERSH_EI_NORMAL = 2;
// Font units from the baseline to the top of a capital or a digit.
constexpr float HERSH_CAP_HEIGHT = 21.0f;

// ---- Layout -----------------------------------------------------------------------------

// A pen move (down false) or draw (down true) to x, y: nominal character heights from the
// start point, x along the baseline, y up from it.
using HershPen = void (*)(void* data, float x, float y, bool down);

// Lays out one line of vector text (a "!C" ends it) at `size` nominal heights per font
// height and returns its width: the furthest the pen advanced along the baseline, in
// nominal heights. With `drawing` set the strokes go to pen (which may be null) and bad
// commands are reported; without it the line is only measured. The font in use when the
// string began is entry_font, or the current font when entry_font is below 0 (the caller
// of a multi-line string passes the font of its start). Errors: "Too many saves" and
// "Restore without save" (-299).
float hersh_layout(const char* text, int length, float size, bool drawing, HershPen pen, void* data,
                   int entry_font = -1);
