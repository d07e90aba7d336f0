#include "interp/message.h"

#include <cerrno>
#include <cfenv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "values/variable.h"

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

// Splits text into at most 16 pieces no longer than the usable width (reduced by the
// indent from the second piece on), breaking at newlines, carriage returns, or the last
// blank before the width.
std::vector<std::string> wrap_pieces(const std::string& text, int width, int indent) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  int usable = width;
  while (pos < text.size() && static_cast<int>(pieces.size()) < kMaxPieces) {
    size_t limit = static_cast<size_t>(usable > 1 ? usable : 1);
    size_t end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r' && end - pos < limit) end++;
    if (end < text.size() && (text[end] == '\n' || text[end] == '\r')) {
      pieces.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    } else if (end >= text.size()) {
      pieces.push_back(text.substr(pos));
      pos = text.size();
    } else {
      size_t blank = text.rfind(' ', end);
      if (blank != std::string::npos && blank >= pos && blank > pos) {
        pieces.push_back(text.substr(pos, blank - pos));
        pos = blank + 1;
      } else {
        pieces.push_back(text.substr(pos, end - pos));
        pos = end;
      }
    }
    if (pieces.size() == 1) usable = width - indent;
  }
  return pieces;
}

void write_line(int flags, const std::string& s, bool end_line) {
  if (message_hooks.write) {
    message_hooks.write(flags, s.c_str(), end_line);
  } else {
    fputs(s.c_str(), stderr);
    if (end_line) fputc('\n', stderr);
  }
}

void message_core(int code, int syserr, int action, va_list ap) {
  int act = action & 0xffff;
  if (act > MSG_INFO) {
    std::string line = (action & MSG_NOPREFIX ? std::string() : msg_prefix) + "Unknown action parameter in message()";
    write_line(1, line, true);
    return;
  }
  std::string prefix = (action & MSG_NOPREFIX) ? std::string() : msg_prefix;
  if (message_hooks.inter_exit) message_hooks.inter_exit(1);
  if (code > 0 || code < -(MSG_TABLE_SIZE - 1)) code = M_BAD_CODE;
  const char* fmt = msg_arr[-code];

  bool print = !(action & MSG_NOPRINT) && !((action & MSG_QUIET) && vek_quiet);
  int out_flags = 1 | ((action & MSG_PAGED) ? 8 : 0);
  if (act == MSG_LONGJMP || act == MSG_IOERROR) {
    if (act == MSG_IOERROR && message_hooks.ioerror_active && message_hooks.ioerror_active()) print = false;
    if (message_hooks.catch_active && message_hooks.catch_active()) print = false;
  }

  std::string routine_part;
  if (fmt[0] == '%' && fmt[1] == 'N') {
    fmt += 2;
    const char* r = message_hooks.current_sysroutine ? message_hooks.current_sysroutine() : nullptr;
    if (r && *r) routine_part = std::string(r) + ": ";
  }
  char body[kComposeBytes];
  vsnprintf(body, sizeof body, fmt, ap);
  std::string text = routine_part;
  if ((action & MSG_BELL) && message_hooks.is_terminal && message_hooks.is_terminal()) text += '\a';
  text += body;
  if (text.size() >= kComposeBytes) text.resize(kComposeBytes - 1);
  int indent = static_cast<int>(prefix.size() + routine_part.size());

  int width = message_hooks.error_width ? message_hooks.error_width() : 80;
  std::vector<std::string> pieces = wrap_pieces(text, width - 3, indent);

  if (act != MSG_INFO) {
    err_code = error_code = static_cast<int16_t>(code & 0xffff);
    std::string joined;
    for (size_t i = 0; i < pieces.size(); i++) {
      if (i) joined += '\n';
      joined += pieces[i];
    }
    if (joined.size() > MAX_ERR_STRING) joined.resize(MAX_ERR_STRING);
    ur_err_string = joined;
    syserror_codes[0] = syserror_codes[1] = 0;
    ur_syserr_string.clear();
  }

  if (print) {
    if (!message_hooks.write) {
      fputc('\n', stderr);
      fputs(prefix.c_str(), stderr);
      for (auto& p : pieces) {
        fputs(p.c_str(), stderr);
        fputc('\n', stderr);
      }
    } else {
      if (message_hooks.line_editing && message_hooks.line_editing()) write_line(out_flags, "\r", true);
      write_line(out_flags, prefix, false);
      std::string pad(static_cast<size_t>(indent), ' ');
      for (size_t i = 0; i < pieces.size(); i++) write_line(out_flags, i ? pad + pieces[i] : pieces[i], true);
      if (act != MSG_INFO && message_hooks.journal) {
        for (size_t i = 0; i < pieces.size(); i++) message_hooks.journal(("; " + (i ? std::string() : prefix) + pieces[i]).c_str());
      }
    }
  }

  if (syserr) {
    const char* stext = strerror(syserr);
    if (!stext) stext = "unknown system error";
    if (print) {
      char line[600];
      snprintf(line, sizeof line, "%*s%s", static_cast<int>(prefix.size()), " ", stext);
      write_line(out_flags, line, true);
    }
    syserror_codes[0] = syserr;
    std::string add = ur_syserr_string.empty() ? stext : "\n" + std::string(stext);
    ur_syserr_string += add;
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

}  // namespace

void message(int code, int syserr, int action, ...) {
  va_list ap;
  va_start(ap, action);
  try {
    message_core(code, syserr, action, ap);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

void message_error(int code, int syserr, int action, ...) {
  va_list ap;
  va_start(ap, action);
  try {
    message_core(code, syserr, action, ap);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
  // Only reached for a non-error action: treat it as an error all the same.
  throw VekJump{MSG_LONGJMP, code};
}

void var_error(int code, const Variable* variable, int action) { message(code, 0, action, varname(variable)); }

const char* strmessage_text(int n) {
  if (n < 0) n = -n;
  if (n >= MSG_TABLE_SIZE) message(M_BAD_CODE, 0, MSG_LONGJMP);
  return msg_arr[n];
}

int trap_enable(int on) {
  int prev = math_errors.report_enabled;
  math_errors.report_enabled = on != 0;
  return prev;
}

namespace {

int read_hw_flags() {
  int bits = 0;
  int e = fetestexcept(FE_ALL_EXCEPT);
  if (e & FE_DIVBYZERO) bits |= MATH_FLT_DIV0;
  if (e & FE_UNDERFLOW) bits |= MATH_FLT_UNDERFLOW;
  if (e & FE_OVERFLOW) bits |= MATH_FLT_OVERFLOW;
  if (e & FE_INVALID) bits |= MATH_FLT_INVALID;
  feclearexcept(FE_ALL_EXCEPT);
  return bits;
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
  int bits = math_errors.pending;
  if (!bits) return;
  math_errors.pending = 0;
  if (math_errors.report_count++ < 8 && math_errors.report_enabled) report_bits(bits, true);
  math_errors.cumulative |= bits;
}

int check_fpe(int report, int set_bits, int mode, int mask) {
  if (set_bits) {
    math_errors.accumulated |= set_bits;
    return math_errors.accumulated;
  }
  int bits = (math_errors.accumulated | read_hw_flags()) & ~mask;
  math_errors.accumulated = 0;
  if (mode == 1) math_errors.report_count = 1;
  if (mode == 2) math_errors.report_count = 8;
  if (report && bits) report_bits(bits, false);
  return bits;
}
