#include "base/message.h"

#include <cerrno>
#include <cfenv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>


int32_t err_code = 0;
int32_t error_code = 0;
std::string ur_err_string;
int32_t syserror_codes[2] = {0, 0};
std::string ur_syserr_string;
std::string msg_prefix = "% ";
int32_t vek_quiet = 0;
MessageHooks message_hooks;
MathErrorState math_errors;

namespace {

constexpr int kMaxPieces = 16;
constexpr size_t kComposeBytes = 2048;

// A piece of the composed text: [start, start + length). The character after a piece
// that ends at a newline, carriage return or blank is the dropped separator.
struct Piece {
  size_t start;
  size_t length;
};

// Splits text into at most 16 pieces. A piece ends at a newline, a carriage return or
// the end of the text, or when it reaches the usable width; then it ends at its last
// blank instead when it has one. From the second piece on the width is reduced by the
// indent. Always at least one (possibly empty) piece.
std::vector<Piece> wrap_pieces(const std::string& text, int width, int indent) {
  std::vector<Piece> pieces;
  size_t pos = 0;
  int usable = width;
  while (pos < text.size() && static_cast<int>(pieces.size()) < kMaxPieces) {
    size_t limit = static_cast<size_t>(usable > 1 ? usable : 1);
    size_t end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r' && end - pos < limit) end++;
    if (end >= text.size()) {
      pieces.push_back({pos, text.size() - pos});
      pos = text.size();
    } else if (text[end] == '\n' || text[end] == '\r') {
      pieces.push_back({pos, end - pos});
      pos = end + 1;
    } else {
      // At the width: break at the last blank, which may be the character just past it.
      size_t blank = text.rfind(' ', end);
      if (blank != std::string::npos && blank > pos) {
        pieces.push_back({pos, blank - pos});
        pos = blank + 1;
      } else {
        pieces.push_back({pos, end - pos});
        pos = end;
      }
    }
    if (pieces.size() == 1) usable = width - indent;
  }
  if (pieces.empty()) pieces.push_back({0, 0});
  return pieces;
}

// !ERR_STRING: the text through the end of the last piece, each dropped separator
// turned into a newline, at most MAX_ERR_STRING characters.
std::string err_string_of(const std::string& text, const std::vector<Piece>& pieces) {
  std::string out;
  for (size_t i = 0; i < pieces.size(); i++) {
    if (i && pieces[i].start > pieces[i - 1].start + pieces[i - 1].length) out += '\n';
    out.append(text, pieces[i].start, pieces[i].length);
    if (out.size() >= MAX_ERR_STRING) break;
  }
  if (out.size() > MAX_ERR_STRING) out.resize(MAX_ERR_STRING);
  return out;
}

bool file_units_exist() { return message_hooks.write != nullptr; }

void write_line(int flags, const std::string& s, bool end_line) {
  if (message_hooks.write) {
    message_hooks.write(flags, s.c_str(), end_line);
  } else {
    fputs(s.c_str(), stderr);
    if (end_line) fputc('\n', stderr);
  }
}

// The operating system's text for an error number.
const char* syserr_text(int syserr) {
  const char* t = syserr > 0 ? strerrordesc_np(syserr) : nullptr;
  return t ? t : "unknown system error";
}

}  // namespace

void message_v(int code, int syserr, int action, va_list ap) {
  const int act = action & 0xffff;
  const std::string prefix = (action & MSG_NOPREFIX) ? std::string() : msg_prefix;
  if (act > MSG_INFO || act < 0) {
    write_line(1, prefix + "Unknown action parameter in message()", true);
    return;
  }
  if (message_hooks.inter_exit) message_hooks.inter_exit(1);
  if (code > 0 || code < -(MSG_TABLE_SIZE - 1)) code = M_BAD_CODE;
  const char* fmt = msg_arr[-code];

  bool print = !(action & MSG_NOPRINT) && !((action & MSG_QUIET) && vek_quiet);
  const int out_flags = 1 | ((action & MSG_PAGED) ? 8 : 0);
  if (act == MSG_LONGJMP || act == MSG_IOERROR) {
    if (act == MSG_IOERROR && message_hooks.ioerror_active && message_hooks.ioerror_active()) print = false;
    if (message_hooks.catch_active && message_hooks.catch_active()) print = false;
  }

  // Compose: routine part, bell, formatted text, all within the 2048-byte buffer.
  std::string text;
  if (fmt[0] == '%' && fmt[1] == 'N') {
    fmt += 2;
    const char* r = message_hooks.current_sysroutine ? message_hooks.current_sysroutine() : nullptr;
    if (r && *r) text = std::string(r) + ": ";
  }
  const int indent = static_cast<int>(prefix.size() + text.size());
  if ((action & MSG_BELL) && message_hooks.is_terminal && message_hooks.is_terminal()) text += '\a';
  char body[kComposeBytes];
  vsnprintf(body, sizeof body, fmt, ap);
  text += body;
  if (text.size() >= kComposeBytes) text.resize(kComposeBytes - 1);

  const int width = message_hooks.error_width ? message_hooks.error_width() : 80;
  const std::vector<Piece> pieces = wrap_pieces(text, width - 3, indent);
  std::vector<std::string> lines;
  for (size_t i = 0; i < pieces.size(); i++)
    lines.push_back((i ? std::string(static_cast<size_t>(indent), ' ') : std::string()) +
                    text.substr(pieces[i].start, pieces[i].length));

  if (act != MSG_INFO) {
    err_code = error_code = static_cast<int16_t>(code & 0xffff);
    ur_err_string = err_string_of(text, pieces);
    syserror_codes[0] = syserror_codes[1] = 0;
    ur_syserr_string.clear();
  }

  const bool journal = file_units_exist() && message_hooks.journal;
  if (print) {
    if (!file_units_exist()) {
      std::string out = "\n" + prefix;
      for (const auto& l : lines) out += l + "\n";
      fputs(out.c_str(), stderr);
    } else {
      if (message_hooks.line_editing && message_hooks.line_editing()) write_line(out_flags, "\r", true);
      write_line(out_flags, prefix, false);
      for (const auto& l : lines) write_line(out_flags, l, true);
      if (act != MSG_INFO && journal) {
        if (message_hooks.journal_begin_message) message_hooks.journal_begin_message();
        for (size_t i = 0; i < lines.size(); i++)
          message_hooks.journal(("; " + (i ? std::string() : prefix) + lines[i]).c_str());
      }
    }
    if ((action & MSG_BELL) && message_hooks.widget_bell) message_hooks.widget_bell();
  }

  if (syserr) {
    const char* stext = syserr_text(syserr);
    if (print) {
      char line[600];
      snprintf(line, sizeof line, "%*s%s", static_cast<int>(prefix.size()), " ", stext);
      write_line(out_flags, line, true);
      if (journal) {
        snprintf(line, sizeof line, "; %*s%s", static_cast<int>(prefix.size()), " ", stext);
        message_hooks.journal(line);
      }
    }
    syserror_codes[0] = syserr;
    if (!ur_syserr_string.empty()) ur_syserr_string += '\n';
    ur_syserr_string += stext;
    if (ur_syserr_string.size() > MAX_ERR_STRING) ur_syserr_string.resize(MAX_ERR_STRING);
  }

  errno = 0;
  switch (act) {
    case MSG_EXIT:
      if (message_hooks.exit_program) message_hooks.exit_program(0);
      exit(0);
    case MSG_LONGJMP:
    case MSG_IOERROR: throw VekJump{action, code};
    default: return;
  }
}

namespace {

// Ends a variable argument list however message_v leaves (it may throw).
struct VaListEnd {
  va_list& ap;
  ~VaListEnd() { va_end(ap); }
};

}  // namespace

void message(int code, int syserr, int action, ...) {
  va_list ap;
  va_start(ap, action);
  VaListEnd end{ap};
  message_v(code, syserr, action, ap);
}

void message_error(int code, int syserr, int action, ...) {
  {
    va_list ap;
    va_start(ap, action);
    VaListEnd end{ap};
    message_v(code, syserr, action, ap);
  }
  // Only reached for a non-error action: treat it as an error all the same.
  throw VekJump{MSG_LONGJMP, code};
}

const char* strmessage_text(int n) {
  int64_t k = n < 0 ? -static_cast<int64_t>(n) : n;
  if (k >= MSG_TABLE_SIZE) message(M_BAD_CODE, 0, MSG_LONGJMP);
  return msg_arr[k];
}

// Floating-point exceptions stay masked: nothing ever traps (no SIGFPE). Errors are read
// from the environment's sticky flags, and integer kernels report division by zero
// themselves through note_math_error.
int trap_enable(int on) {
  int prev = math_errors.report_enabled;
  math_errors.report_enabled = on != 0;
  fedisableexcept(FE_ALL_EXCEPT);
  return prev;
}

namespace {

// The exceptions a trap would have caught at once; underflow is only ever seen by
// CHECK_MATH.
constexpr int kTrappedExcepts = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID;

int bits_of(int excepts) {
  int bits = 0;
  if (excepts & FE_DIVBYZERO) bits |= MATH_FLT_DIV0;
  if (excepts & FE_UNDERFLOW) bits |= MATH_FLT_UNDERFLOW;
  if (excepts & FE_OVERFLOW) bits |= MATH_FLT_OVERFLOW;
  if (excepts & FE_INVALID) bits |= MATH_FLT_INVALID;
  return bits;
}

// Reads and clears the sticky flags in `excepts`.
int read_hw_flags(int excepts) {
  int e = fetestexcept(excepts);
  if (e) feclearexcept(e);
  return bits_of(e);
}

constexpr struct {
  int bit;
  const char* text;
} kMathTexts[] = {{1, "Integer divide by 0"},   {16, "Floating divide by 0"},      {32, "Floating underflow"},
                  {64, "Floating overflow"},    {128, "Floating illegal operand"}, {2, "Integer overflow"}};

void report_bits(int bits, bool with_traceback) {
  for (const auto& m : kMathTexts) {
    if (bits & m.bit) {
      message(M_MATH_ERROR, 0, MSG_CONTINUE, m.text);
      if (with_traceback && message_hooks.traceback) message_hooks.traceback("Detected at", 0, 0, 0);
    }
  }
}

}  // namespace

void print_fp_errors() {
  // With reports off nothing would have trapped: the flags are left for CHECK_MATH.
  int hw = math_errors.report_enabled ? read_hw_flags(kTrappedExcepts) : 0;
  math_errors.accumulated |= hw;
  int bits = math_errors.pending | hw;
  math_errors.pending = 0;
  if (!bits) return;
  if (math_errors.report_count++ < 8 && math_errors.report_enabled) report_bits(bits, true);
  math_errors.cumulative |= bits;
}

int check_fpe(int report, int set_bits, int mode, int mask) {
  if (set_bits) {
    math_errors.accumulated |= set_bits;
    return math_errors.accumulated;
  }
  int bits = (math_errors.accumulated | read_hw_flags(FE_ALL_EXCEPT)) & ~mask;
  math_errors.accumulated = 0;
  if (mode == 1) math_errors.report_count = 1;
  if (mode == 2) math_errors.report_count = 8;
  if (report && bits) report_bits(bits, false);
  return bits;
}
