#include "compiler/lexer.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/message.h"
#include "compiler/routine_table.h"
#include "values/variable.h"

LexerHooks lexer_hooks;

namespace {

constexpr std::array<int8_t, 128> make_char_class() {
  std::array<int8_t, 128> t{};  // everything not listed is illegal (0)
  t['\t'] = t['\f'] = t[' '] = CC_BLANK;
  t[0] = t['\n'] = t['\r'] = CC_EOL;
  t[4] = -TOK_EOF;
  t['!'] = CC_BANG;
  t['"'] = CC_DQUOTE;
  t['$'] = CC_DOLLAR;
  t['\''] = CC_QUOTE;
  t['.'] = CC_DOT;
  for (int c = '0'; c <= '9'; c++) t[c] = CC_DIGIT;
  t[';'] = CC_COMMENT;
  for (int c = 'A'; c <= 'Z'; c++) t[c] = CC_UPPER;
  t['_'] = CC_UPPER;
  for (int c = 'a'; c <= 'z'; c++) t[c] = CC_LOWER;
  t['@'] = CC_AT;
  t['('] = -TOK_LPAREN;
  t[')'] = -TOK_RPAREN;
  t[','] = -TOK_COMMA;
  t[':'] = -TOK_COLON;
  t['='] = -TOK_EQUALS;
  t['['] = -TOK_LBRACKET;
  t[']'] = -TOK_RBRACKET;
  t['^'] = -TOK_CARET;
  t['{'] = -TOK_LBRACE;
  t['}'] = -TOK_RBRACE;
  t['+'] = t['-'] = t['<'] = t['>'] = -TOK_ADDOP;
  t['&'] = -TOK_EOS;
  t['#'] = t['*'] = t['/'] = -TOK_MULOP;
  return t;
}
constexpr std::array<int8_t, 128> kCharClass = make_char_class();

inline int class_of(char c) { return kCharClass[static_cast<unsigned char>(c) & 0x7f]; }
inline bool is_blank(char c) { return class_of(c) == CC_BLANK; }
inline bool is_digit7(char c) { return class_of(c) == CC_DIGIT; }
inline bool ends_line(char c) { return c == 0 || c == '\n' || c == '\r'; }
inline bool continues_ident(int cls) {
  return cls == CC_DOLLAR || cls == CC_DIGIT || cls == CC_UPPER || cls == CC_LOWER;
}

// Two identifier buffers used in turn, so the previous identifier's text stays valid
// while the parser looks one token ahead. String constants get the same treatment:
// they are copied out of the line so that a continuation line read for the lookahead
// (or an EXECUTE string scanned in place) cannot change them.
char ident_buf[2][MAX_IDENT_CHARS + 1];
int ident_toggle;
std::string string_buf[2];
int string_toggle;

[[noreturn]] void scan_error(int code) {
  if (lexer_hooks.scnerr) lexer_hooks.scnerr(code, 0, MSG_LONGJMP);
  else message(code, 0, MSG_LONGJMP);
  throw VekJump{MSG_LONGJMP, code};
}

// Reads lines until one holds something other than blanks or a comment, and leaves the
// cursor on its first non-blank character.
void next_line() {
  for (;;) {
    if (lexer_hooks.getline) {
      lexer_hooks.getline(nullptr);
    } else {
      cstate.line = cstate.line_buffer;
      strcpy(cstate.line_buffer, "\x04\x04");
    }
    char* p = cstate.line;
    while (is_blank(*p)) p++;
    int cls = class_of(*p);
    if (cls == CC_COMMENT || cls == CC_EOL) continue;
    cstate.cursor = p;
    return;
  }
}

// Numeric constants ---------------------------------------------------------------

enum class Radix { kDecimal, kHex, kOctal };

// 32-bit accumulation of integer digits, wrapping like a 32-bit unsigned read.
uint32_t integer_value(const char* s, int n, int base) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) {
    int c = toupper(static_cast<unsigned char>(s[i]));
    int d = c <= '9' ? c - '0' : c - 'A' + 10;
    v = v * static_cast<uint32_t>(base) + static_cast<uint32_t>(d);
  }
  return v;
}

// Integer suffixes ("L" then "B") and the range rules, shared by every radix.
void finish_integer(Token* tok, uint32_t v, char*& p) {
  int type = TYP_INT;
  if (toupper(static_cast<unsigned char>(*p)) == 'L') {
    type = TYP_LONG;
    p++;
  }
  if (toupper(static_cast<unsigned char>(*p)) == 'B') {
    type = TYP_BYTE;
    p++;
  }
  auto sv = static_cast<int32_t>(v);
  if (type == TYP_BYTE) {
    if (v > 255) {
      cstate.cursor = p;
      scan_error(M_BYTE_CONST);
    }
    tok->value.c = static_cast<uint8_t>(v);
  } else if (type == TYP_INT && sv >= -32768 && sv <= 32767) {
    tok->value.i = static_cast<int16_t>(sv);
  } else {
    type = TYP_LONG;
    tok->value.l = sv;
  }
  tok->type = type;
  tok->code = TOK_CONST;
}

// Scans the digits, fraction and exponent of a number starting at s. Returns the end;
// sets floating/dbl, and copies the text (at most MAX_NUMBER_CHARS, "D" made "E", a bare
// exponent letter completed with "0") into work.
// Characters are masked to 7 bits here as in the class table, so that a character the
// table calls a digit or a dot is one here too (else the scan would not advance).
const char* scan_number_text(const char* s, bool* floating, bool* dbl, char* work, int* work_len) {
  const char* p = s;
  while (is_digit7(*p)) p++;
  if ((*p & 0x7f) == '.') {
    *floating = true;
    p++;
    while (is_digit7(*p)) p++;
  }
  const char* exp_letter = nullptr;
  int e = toupper(*p & 0x7f);
  if (e == 'E' || e == 'D') {
    *floating = true;
    if (e == 'D') *dbl = true;
    exp_letter = p++;
    if ((*p & 0x7f) == '+' || (*p & 0x7f) == '-') p++;
    while (is_digit7(*p)) p++;
  }
  int n = 0;
  for (const char* q = s; q < p && n < MAX_NUMBER_CHARS; q++)
    work[n++] = q == exp_letter ? 'E' : static_cast<char>(*q & 0x7f);
  if (exp_letter && !is_digit7(p[-1]) && n < MAX_NUMBER_CHARS) work[n++] = '0';
  work[n] = 0;
  *work_len = n;
  return p;
}

// A number written in the program text: decimal, or octal after a double quote (radix
// kOctal, s just past the quote).
void scan_number(Token* tok, char* s, Radix radix) {
  bool floating = false, dbl = false;
  char work[MAX_NUMBER_CHARS + 2];
  int n = 0;
  char* p = const_cast<char*>(scan_number_text(s, &floating, &dbl, work, &n));
  if (radix == Radix::kOctal) {
    bool bad = floating || n == 0;
    for (int i = 0; i < n && !bad; i++) bad = work[i] > '7';
    if (bad) {
      cstate.cursor = p;
      scan_error(M_BAD_HEX_OCTAL);
    }
  }
  if (floating) {
    tok->code = TOK_CONST;
    if (dbl) {
      tok->type = TYP_DOUBLE;
      tok->value.d = strtod(work, nullptr);
    } else {
      tok->type = TYP_FLOAT;
      tok->value.f = strtof(work, nullptr);
    }
    cstate.cursor = p;
    return;
  }
  finish_integer(tok, integer_value(work, n, radix == Radix::kOctal ? 8 : 10), p);
  cstate.cursor = p;
}

// A quoted hexadecimal ('7FFF'X) or octal ('17'O) constant: text is the quoted part;
// p points just past the X or O.
void quoted_number(Token* tok, const std::string& text, char* p, bool hex) {
  bool bad = text.empty() || text.size() > static_cast<size_t>(MAX_NUMBER_CHARS);
  for (char c : text) {
    if (bad) break;
    bad = hex ? !isxdigit(static_cast<unsigned char>(c)) : (c < '0' || c > '7');
  }
  if (bad) {
    cstate.cursor = p;
    scan_error(M_BAD_HEX_OCTAL);
  }
  finish_integer(tok, integer_value(text.data(), static_cast<int>(text.size()), hex ? 16 : 8), p);
  cstate.cursor = p;
}

// A string constant (or a quoted number) starting at the quote q.
void scan_string(Token* tok, char* q) {
  char quote = *q;
  std::string& out = string_buf[string_toggle];
  string_toggle ^= 1;
  out.clear();
  char* p = q + 1;
  bool closed = false;
  while (!ends_line(*p)) {
    if (*p == quote) {
      if (p[1] == quote) {
        out.push_back(quote);
        p += 2;
        continue;
      }
      p++;
      closed = true;
      break;
    }
    out.push_back(*p++);
  }
  if (closed) {
    int c = toupper(static_cast<unsigned char>(*p));
    if (c == 'X' || c == 'O') {
      quoted_number(tok, out, p + 1, c == 'X');
      return;
    }
  }
  cstate.cursor = p;
  tok->code = TOK_STRING;
  tok->length = static_cast<int32_t>(out.size());
  tok->value.str = out.c_str();
}

// Identifiers ----------------------------------------------------------------------

void decide_function(Token* tok, const char* name, int len) {
  if (int idx = sys_fun_index(name); idx >= 0) {
    tok->code = TOK_FUNC;
    tok->length = 1;
    tok->value.sysfun = idx;
    return;
  }
  IdentEntry* id = ident_hash(name, len, IDENT_LOOKUP, MSG_LONGJMP);
  if (id && lexer_hooks.find_user_function) {
    if (CodeBlock* f = lexer_hooks.find_user_function(id)) {
      tok->code = TOK_FUNC;
      tok->length = 0;
      tok->value.ufun = f;
      return;
    }
  }
  if (strcmp(name, "CALL_FUNCTION") == 0) {
    tok->code = TOK_FUNC;
    tok->length = 0;
    tok->value.ufun = nullptr;
    return;
  }
  if (id && lexer_hooks.is_program_variable && lexer_hooks.is_program_variable(id)) return;
  if (!lexer_hooks.is_in_library || !lexer_hooks.new_user_function) return;
  char lower[MAX_IDENT_CHARS + 1];
  for (int i = 0; i <= len; i++) lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(name[i])));
  if (!lexer_hooks.is_in_library(lower)) return;
  if (!id) id = ident_hash(name, len, 0, MSG_LONGJMP);
  if (!id) return;
  if (CodeBlock* f = lexer_hooks.new_user_function(id)) {
    tok->code = TOK_FUNC;
    tok->length = 0;
    tok->value.ufun = f;
  }
}

void scan_identifier(Token* tok, char* s) {
  char* buf = ident_buf[ident_toggle];
  ident_toggle ^= 1;
  int n = 0;
  char* p = s;
  // The first character ("!", a letter or "_") is always taken; "$" and digits only
  // continue a name.
  do {
    char c = static_cast<char>(*p & 0x7f);
    if (n < MAX_IDENT_CHARS) buf[n++] = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    p++;
  } while (continues_ident(class_of(*p)));
  buf[n] = 0;
  while (is_blank(*p)) p++;
  cstate.cursor = p;
  tok->text = buf;
  tok->length = n;

  int r = binsrch(buf, reserved_words, N_RESERVED);
  if (r >= 0) {
    tok->code = reserved_codes[r];
    memcpy(tok->value.word, buf, static_cast<size_t>(n) + 1);
    return;
  }
  tok->code = TOK_IDENT;
  if (class_of(*p) == -TOK_LPAREN && !cstate.dot_flag && buf[0] != '!') decide_function(tok, buf, n);
}

}  // namespace

const int8_t char_class[128] = {
#define CC8(i) kCharClass[i], kCharClass[i + 1], kCharClass[i + 2], kCharClass[i + 3], kCharClass[i + 4], \
               kCharClass[i + 5], kCharClass[i + 6], kCharClass[i + 7]
    CC8(0),  CC8(8),  CC8(16), CC8(24), CC8(32), CC8(40),  CC8(48),  CC8(56),
    CC8(64), CC8(72), CC8(80), CC8(88), CC8(96), CC8(104), CC8(112), CC8(120),
#undef CC8
};

const char* const reserved_words[N_RESERVED] = {
    "AND",    "BEGIN", "CASE",  "COMMON", "DO",    "ELSE",  "END",        "ENDCASE", "ENDELSE",
    "ENDFOR", "ENDIF", "ENDREP", "ENDWHILE", "EQ", "FOR",   "FUNCTION",   "GE",      "GOTO",
    "GT",     "IF",    "LE",    "LT",     "MOD",   "NE",    "NOT",        "OF",      "ON_IOERROR",
    "OR",     "PRO",   "REPEAT", "THEN",  "UNTIL", "WHILE", "XOR",
};
const uint8_t reserved_codes[N_RESERVED] = {
    TOK_LOGOP, TOK_BEGIN, TOK_CASE,  TOK_DECL,  TOK_DO,    TOK_ELSE,  TOK_END,   TOK_END,   TOK_END,
    TOK_END,   TOK_END,   TOK_END,   TOK_END,   TOK_RELOP, TOK_FOR,   TOK_DECL,  TOK_RELOP, TOK_JUMP,
    TOK_RELOP, TOK_IF,    TOK_RELOP, TOK_RELOP, TOK_MULOP, TOK_RELOP, TOK_ADDOP, TOK_OF,    TOK_JUMP,
    TOK_LOGOP, TOK_DECL,  TOK_REPEAT, TOK_THEN, TOK_UNTIL, TOK_WHILE, TOK_LOGOP,
};

void gettok(Token* tok) {
  *tok = Token{};
  bool continued = false;
  for (;;) {
    if (!cstate.cursor) {
      if (cstate.single_stmt && !continued) {
        strcpy(cstate.line_buffer, "& END");
        cstate.line = cstate.line_buffer;
        cstate.cursor = cstate.line;
      } else {
        next_line();
      }
    }
    char* p = cstate.cursor;
    while (is_blank(*p)) p++;
    cstate.cursor = p;
    cstate.token_start = p;
    char ch = *p;
    int cls = class_of(ch);
    if (cls < 0) {
      tok->code = -cls;
      tok->type = 1;
      tok->value.word[0] = static_cast<char>(ch & 0x7f);
      cstate.cursor = p + 1;
      break;
    }
    switch (cls) {
      case CC_ILLEGAL:
        scan_error(M_ILLEGAL_CHAR);
      case CC_COMMENT:
      case CC_EOL:
        tok->code = TOK_EOS;
        tok->type = 1;
        tok->value.word[0] = ch == ';' ? ';' : 0;
        cstate.cursor = nullptr;
        break;
      case CC_DOLLAR:
        cstate.cursor = nullptr;
        continued = true;
        continue;
      case CC_DQUOTE:
        if (p[1] >= '0' && p[1] <= '7') scan_number(tok, p + 1, Radix::kOctal);
        else scan_string(tok, p);
        break;
      case CC_QUOTE:
        scan_string(tok, p);
        break;
      case CC_DOT:
        if (is_digit7(p[1])) {
          scan_number(tok, p, Radix::kDecimal);
          break;
        }
        tok->code = TOK_DOT;
        tok->type = 1;
        tok->value.word[0] = '.';
        cstate.cursor = p + 1;
        cstate.dot_flag = 1;
        return;
      case CC_DIGIT:
        scan_number(tok, p, Radix::kDecimal);
        break;
      case CC_AT:
        tok->code = TOK_FUNC;
        tok->length = 1;
        tok->value.sysfun = sys_fun_index("RHO_FUNCTION");
        cstate.cursor = p + 1;
        break;
      default:  // "!", letters and "_"
        scan_identifier(tok, p);
        break;
    }
    break;
  }
  cstate.dot_flag = 0;
}
