// Compiling format texts into FormatNodes, and the display of format errors.
#include "io/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/message.h"

FormatState fmt;

const char* const format_kind_name[N_FORMAT_KINDS] = {
    "String Constant", "(", ")", "/", ",", ":", "$", "I", "O", "z", "Z", "F",
    "e",               "E", "g", "G", "A", "H", "X", "Q", "T", "TL", "TR",
};

void cleanup_fmt() {
  fmt.nodes.reset();
  fmt.text.clear();
  fmt.text.shrink_to_fit();
  fmt.cursor = 0;
  fmt.end = fmt.current = fmt.reversion = fmt.n_dollar = 0;
}

namespace {

// Writes one line of the error display on the error stream, ending it or not.
void display_line(const std::string& text, bool end_line) {
  if (message_hooks.write) {
    message_hooks.write(1, text.c_str(), end_line);
  } else {
    fputs(text.c_str(), stderr);
    if (end_line) fputc('\n', stderr);
  }
}

// A compile error: the format is shown between double quotes, then the message starts
// under the failing character. Both go out only when the message itself will be printed
// (not when ON_IOERROR or CATCH takes the error).
[[noreturn]] void format_error(int code, ...) {
  const bool silent = (message_hooks.ioerror_active && message_hooks.ioerror_active()) ||
                      (message_hooks.catch_active && message_hooks.catch_active());
  if (!silent) {
    display_line(msg_prefix + "\"" + fmt.text + "\"", true);
    display_line(msg_prefix + std::string(fmt.cursor + 1, ' '), false);
  }
  cleanup_fmt();
  va_list ap;
  va_start(ap, code);
  message_v(code, 0, MSG_IOERROR | MSG_NOPREFIX, ap);
  va_end(ap);
  // message_v always throws for action 3; keep the compiler sure of it.
  throw VekJump{MSG_IOERROR, code};
}

// Where the compiler stands between elements.
enum class After {
  kOpen,     // just after "(": an element or ")" may follow, not a comma
  kComma,    // after ",": an element or "/" may follow
  kSlash,    // after "/": anything may follow
  kElement,  // after an element: a separator or ")" must follow
  kClose,    // after a group's ")": a separator or ")" must follow
};

class FormatCompiler {
 public:
  explicit FormatCompiler(FormatState& f) : f_(f), s_(f.text) {}

  void run() {
    skip_blanks();
    if (at_digit()) {
      size_t at = f_.cursor;
      number();
      if (peek() == '(') {
        f_.cursor = at;
        format_error(M_FMT_REPEAT, "open (");
      }
      f_.cursor = at;
      format_error(M_FMT_PAREN_EXPECTED);
    }
    if (peek() != '(') format_error(M_FMT_PAREN_EXPECTED);
    add(FK_OPEN, false, 1);
    f_.cursor++;
    int depth = 1;
    After state = After::kOpen;
    while (depth > 0) {
      skip_blanks();
      if (f_.cursor >= s_.size()) format_error(M_FMT_UNEXPECTED_END);
      const size_t start = f_.cursor;
      const char c = s_[start];
      if (c == ',') {
        if (state == After::kOpen || state == After::kComma) format_error(M_FMT_EXTRA_COMMA);
        state = After::kComma;
        f_.cursor++;
        continue;
      }
      if (c == ')') {
        if (state == After::kComma) format_error(M_FMT_EXTRA_COMMA);
        add(FK_CLOSE, false, 1);
        f_.cursor++;
        depth--;
        state = After::kClose;
        continue;
      }
      if (c == '/') {
        add(FK_SLASH, false, 1);
        f_.cursor++;
        state = After::kSlash;
        continue;
      }
      if (state == After::kElement) format_error(M_FMT_COMMA_OR_SLASH);
      if (state == After::kClose) format_error(M_FMT_COMMA);
      if (element(depth)) {
        depth++;
        state = After::kOpen;
      } else {
        state = After::kElement;
      }
    }
    skip_blanks();
    if (f_.cursor < s_.size()) format_error(M_FMT_TEXT_AT_END);
    f_.reversion = last_outer_group_;
  }

 private:
  FormatState& f_;
  const std::string& s_;
  int last_outer_group_ = 0;

  char peek() const { return f_.cursor < s_.size() ? s_[f_.cursor] : '\0'; }
  bool at_digit() const { return peek() >= '0' && peek() <= '9'; }
  void skip_blanks() {
    while (peek() == ' ' || peek() == '\t') f_.cursor++;
  }
  // A decimal number at the cursor (saturating well above every limit).
  long number() {
    long v = 0;
    while (at_digit()) {
      if (v < 100000000) v = v * 10 + (peek() - '0');
      f_.cursor++;
    }
    return v;
  }
  // A number that must lie in lo..hi.
  int ranged_number(int lo, int hi) {
    const size_t at = f_.cursor;
    long v = number();
    if (v < lo || v > hi) {
      f_.cursor = at;
      format_error(M_FMT_RANGE, lo, hi);
    }
    return static_cast<int>(v);
  }
  // A required number in lo..hi (-223 when there is none).
  int required_number(int lo, int hi) {
    if (!at_digit()) format_error(M_FMT_INTEGER);
    return ranged_number(lo, hi);
  }

  FormatNode& add(FormatKind kind, bool repeat_given, int repeat) {
    if (f_.end >= MAX_FORMAT_NODES - 1) format_error(M_FMT_TOO_MANY);
    FormatNode& n = f_.nodes[static_cast<size_t>(f_.end++)];
    n = FormatNode{kind, static_cast<uint8_t>(repeat_given), 0, repeat, static_cast<int32_t>(f_.cursor), -1, -1, -1};
    if (kind == FK_DOLLAR) f_.n_dollar++;
    return n;
  }

  // One element at the cursor (not a separator or ")"). Returns true for a group "(".
  bool element(int depth) {
    const size_t start = f_.cursor;
    bool given = false;
    long count = 1;
    if (at_digit()) {
      given = true;
      count = number();
    }
    const size_t code_at = f_.cursor;
    const char c = peek();
    auto repeat = [&]() {
      if (given && (count < 1 || count > MAX_REPEAT)) {
        f_.cursor = start;
        format_error(M_FMT_RANGE, 1, MAX_REPEAT);
      }
      return static_cast<int>(count);
    };
    auto no_repeat = [&](FormatKind kind) {
      if (given) format_error(M_FMT_REPEAT, format_kind_name[kind]);
    };
    switch (c) {
      case '(': {
        int r = repeat();
        if (depth == 1) last_outer_group_ = f_.end;
        add(FK_OPEN, given, r);
        f_.cursor++;
        return true;
      }
      case ')': no_repeat(FK_CLOSE); break;
      case '/': no_repeat(FK_SLASH); break;
      case ',': no_repeat(FK_COMMA); break;
      case '"':
      case '\'': {
        no_repeat(FK_TEXT);
        size_t close = s_.find(c, code_at + 1);
        if (close == std::string::npos) {
          f_.cursor = s_.size();
          format_error(M_FMT_UNEXPECTED_END);
        }
        FormatNode& n = add(FK_TEXT, false, 1);
        n.pos = static_cast<int32_t>(code_at + 1);
        n.width = static_cast<int32_t>(close - code_at - 1);
        f_.cursor = close + 1;
        return false;
      }
      case 'H':
      case 'h': {
        if (!given) break;
        if (count < 1 || count > MAX_HOLLERITH) {
          f_.cursor = start;
          format_error(M_FMT_RANGE, 1, MAX_HOLLERITH);
        }
        if (s_.size() - (code_at + 1) < static_cast<size_t>(count)) {
          f_.cursor = s_.size();
          format_error(M_FMT_HOLLERITH);
        }
        FormatNode& n = add(FK_H, true, static_cast<int>(count));
        n.pos = static_cast<int32_t>(code_at + 1);
        n.width = static_cast<int32_t>(count);
        f_.cursor = code_at + 1 + static_cast<size_t>(count);
        return false;
      }
      case ':':
        no_repeat(FK_COLON);
        add(FK_COLON, false, 1);
        f_.cursor++;
        return false;
      case '$':
        no_repeat(FK_DOLLAR);
        add(FK_DOLLAR, false, 1);
        f_.cursor++;
        return false;
      case 'I': case 'i': return integer_code(FK_I, given, repeat());
      case 'O': case 'o': return integer_code(FK_O, given, repeat());
      case 'z': return integer_code(FK_z, given, repeat());
      case 'Z': return integer_code(FK_Z, given, repeat());
      case 'F': case 'f': case 'D': case 'd': return real_code(FK_F, given, repeat());
      case 'e': return real_code(FK_e, given, repeat());
      case 'E': return real_code(FK_E, given, repeat());
      case 'g': return real_code(FK_g, given, repeat());
      case 'G': return real_code(FK_G, given, repeat());
      case 'A': case 'a': {
        int r = repeat();
        FormatNode& n = add(FK_A, given, r);
        f_.cursor++;
        if (at_digit()) n.width = ranged_number(0, MAX_FIELD);
        return false;
      }
      case 'X': case 'x': {
        int r = repeat();
        add(FK_X, given, r);
        f_.cursor++;
        return false;
      }
      case 'Q': case 'q':
        no_repeat(FK_Q);
        add(FK_Q, false, 1);
        f_.cursor++;
        return false;
      case 'T': case 't': {
        FormatKind kind = FK_T;
        char next = code_at + 1 < s_.size() ? s_[code_at + 1] : '\0';
        if (next == 'L' || next == 'l') kind = FK_TL;
        if (next == 'R' || next == 'r') kind = FK_TR;
        no_repeat(kind);
        FormatNode& n = add(kind, false, 1);
        f_.cursor += kind == FK_T ? 1 : 2;
        n.width = required_number(1, MAX_REPEAT);
        return false;
      }
      default: break;
    }
    f_.cursor = code_at;
    format_error(M_FMT_UNEXPECTED_TEXT);
  }

  // I, O, z, Z: [w[.m]].
  bool integer_code(FormatKind kind, bool given, int repeat) {
    FormatNode& n = add(kind, given, repeat);
    f_.cursor++;
    if (!at_digit()) return false;
    n.width = ranged_number(0, MAX_FIELD);
    if (peek() == '.') {
      f_.cursor++;
      n.digits = required_number(0, MAX_FIELD);
    }
    return false;
  }

  // F/D, e, E, g, G: [w.d], the exponent kinds also [Ee].
  bool real_code(FormatKind kind, bool given, int repeat) {
    FormatNode& n = add(kind, given, repeat);
    f_.cursor++;
    if (!at_digit()) return false;
    n.width = ranged_number(0, MAX_FIELD);
    if (peek() != '.') format_error(M_FMT_DOT);
    f_.cursor++;
    if (!at_digit()) format_error(M_FMT_DOT);
    n.digits = ranged_number(0, MAX_FIELD);
    if (kind != FK_F && (peek() == 'E' || peek() == 'e')) {
      f_.cursor++;
      n.exp_width = required_number(0, MAX_FIELD);
    }
    return false;
  }
};

}  // namespace

void init_fmt(const char* format_text) {
  cleanup_fmt();
  fmt.text = format_text ? format_text : "";
  fmt.nodes = std::make_unique<FormatNode[]>(MAX_FORMAT_NODES);
  FormatCompiler(fmt).run();
  fmt.current = 0;
}
