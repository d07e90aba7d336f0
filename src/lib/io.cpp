// The transfer built-ins PRINT, PRINTF, READ, READF, READS, READU and WRITEU, and the
// formatted-output services other modules reach through hooks: STRING's formatted
// forms, STOP's messages and the journal's data lines.
#include "lib/io.h"

#include <string>
#include <vector>

#include "base/message.h"
#include "interp/interpreter.h"
#include "io/exec_io.h"
#include "io/files.h"
#include "io/format.h"
#include "lib/conversions.h"
#include "term/rline.h"
#include "values/convert.h"
#include "values/strings.h"

namespace {

// ---- Keywords -----------------------------------------------------------------------

int32_t kw_format_given = 0;
StringDesc kw_format{0, 0, nullptr};
int32_t kw_prompt_given = 0;
StringDesc kw_prompt{0, 0, nullptr};
int32_t kw_count_given = 0;
Variable* kw_count = nullptr;

constexpr uint8_t kOutput = 1;  // PRINT, PRINTF, READS
constexpr uint8_t kInput = 2;   // READ, READF
const KwEntry text_keywords[] = {
    {"FORMAT", TYP_STRING, kOutput | kInput, 0, &kw_format_given, &kw_format},
    {"PROMPT", TYP_STRING, kInput, 0, &kw_prompt_given, &kw_prompt},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};
const KwEntry unformatted_keywords[] = {
    {"TRANSFER_COUNT", 0, 1, KW_OUTPUT, &kw_count_given, &kw_count},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

std::string text_of(const StringDesc& s) { return std::string(str_chars(s), s.length); }

// The decoded arguments of a text transfer.
struct TextCall {
  std::vector<Variable*> args;
  bool has_format = false;
  std::string format;
  bool has_prompt = false;
  std::string prompt;
};

TextCall decode_text(int argc, Variable* argv[], KwNames argk, uint8_t mask) {
  TextCall c;
  // Entries masked out of this call keep their flags from an earlier call: clear them.
  kw_format_given = kw_prompt_given = 0;
  c.args.resize(static_cast<size_t>(argc));
  int n = get_kw_params(argc, argv, argk, text_keywords, c.args.data(), mask);
  c.args.resize(static_cast<size_t>(n));
  if (kw_format_given) {
    c.has_format = true;
    c.format = text_of(kw_format);
  }
  if (kw_prompt_given) {
    c.has_prompt = true;
    c.prompt = text_of(kw_prompt);
  }
  return c;
}

// Without FORMAT, a first data argument "$(...)" is the format.
void take_dollar_format(TextCall& c, size_t first_data) {
  if (c.has_format || c.args.size() <= first_data) return;
  const Variable* v = c.args[first_data];
  if (v->type != TYP_STRING || !v->is_scalar() || v->value.str.length < 3) return;
  const char* s = v->value.str.chars;
  if (s[0] != '$' || s[1] != '(') return;
  c.has_format = true;
  c.format.assign(s + 1, v->value.str.length - 1u);
  c.args.erase(c.args.begin() + static_cast<std::ptrdiff_t>(first_data));
}

void require_named(const std::vector<Variable*>& targets, size_t first) {
  for (size_t i = first; i < targets.size(); i++)
    if (targets[i]->is_unnamed()) var_error(M_NOT_NAMED, targets[i], MSG_LONGJMP);
}

int unit_of(Variable* v) { return long_scalar(v); }

void write_text(int unit, TextCall& c, size_t first) {
  take_dollar_format(c, first);
  Variable** values = c.args.data() + first;
  const int n = static_cast<int>(c.args.size() - first);
  if (c.has_format)
    exec_io(n, values, unit, IO_FORMAT_OUT, c.format.c_str(), nullptr, nullptr, nullptr, nullptr);
  else
    exec_io(n, values, unit, IO_PRINT, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void read_text(int unit, TextCall& c, size_t first) {
  require_named(c.args, first);
  Variable** targets = c.args.data() + first;
  const int n = static_cast<int>(c.args.size() - first);
  const char* prompt = c.has_prompt ? c.prompt.c_str() : nullptr;
  if (c.has_format)
    exec_io(n, targets, unit, IO_FORMAT_IN, c.format.c_str(), nullptr, nullptr, nullptr, prompt);
  else
    exec_io(n, targets, unit, IO_READ, nullptr, nullptr, nullptr, nullptr, prompt);
}

// ---- Built-ins ----------------------------------------------------------------------

void print(int argc, Variable* argv[], KwNames argk) {
  TextCall c = decode_text(argc, argv, argk, kOutput);
  write_text(-1, c, 0);
}

void print_f(int argc, Variable* argv[], KwNames argk) {
  TextCall c = decode_text(argc, argv, argk, kOutput);
  if (c.args.empty()) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  write_text(unit_of(c.args[0]), c, 1);
}

void ur_read(int argc, Variable* argv[], KwNames argk) {
  TextCall c = decode_text(argc, argv, argk, kInput);
  read_text(0, c, 0);
}

void read_f(int argc, Variable* argv[], KwNames argk) {
  TextCall c = decode_text(argc, argv, argk, kInput);
  if (c.args.empty()) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  read_text(unit_of(c.args[0]), c, 1);
}

// READS: the source's elements, as strings, are the records.
struct StringRecords {
  std::vector<std::string> records;
  size_t next = 0;
};

bool next_string_record(void* ctx, std::string& record) {
  auto* s = static_cast<StringRecords*>(ctx);
  if (s->next >= s->records.size()) return false;
  record = s->records[s->next++];
  return true;
}

void read_s(int argc, Variable* argv[], KwNames argk) {
  TextCall c = decode_text(argc, argv, argk, kOutput);
  if (c.args.empty()) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  require_named(c.args, 1);
  Variable* src = c.args[0];
  if (src->type == TYP_UNDEF) var_error(M_UNDEFINED, src, MSG_LONGJMP);
  if (src->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, src, MSG_LONGJMP);
  StringRecords recs;
  const uint32_t n = src->n_elts();
  const auto* base = static_cast<const uint8_t*>(src->data_ptr());
  const size_t size = static_cast<size_t>(type_size[src->type]);
  for (uint32_t i = 0; i < n; i++) {
    const void* p = base + i * size;
    if (src->type == TYP_STRING) {
      recs.records.push_back(text_of(*static_cast<const StringDesc*>(p)));
    } else {
      StringDesc sd{0, 0, nullptr};
      convert(p, &sd, 1, src->type, TYP_STRING);
      recs.records.push_back(text_of(sd));
      del_str(&sd, 1);
    }
  }
  const int count = static_cast<int>(c.args.size() - 1);
  const std::string source_name = varname(src);
  exec_io(count, c.args.data() + 1, 0, (c.has_format ? IO_FORMAT_IN : IO_READ) | IO_STRING,
          c.has_format ? c.format.c_str() : nullptr, next_string_record, nullptr, &recs, source_name.c_str());
}

// READU and WRITEU: XDR units take the XDR modes; TRANSFER_COUNT gets the elements
// moved, even when the transfer fails part way.
void unformatted(int argc, Variable* argv[], KwNames argk, bool input) {
  std::vector<Variable*> args(static_cast<size_t>(argc));
  int n = get_kw_params(argc, argv, argk, unformatted_keywords, args.data(), 1);
  if (n < 1) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  Variable* count_var = kw_count_given ? kw_count : nullptr;
  if (count_var && count_var->is_unnamed()) var_error(M_NOT_NAMED, count_var, MSG_LONGJMP);
  if (input) {
    args.resize(static_cast<size_t>(n));
    require_named(args, 1);
  }
  const int unit = unit_of(args[0]);
  ensure_file_status(MSG_IOERROR, unit, FC_OPEN | (input ? FC_READ : FC_WRITE));
  FileRec* f = file_table[unit];
  const bool xdr = f->attributes & FA_XDR;
  const int mode = input ? (xdr ? IO_XDR_READU : IO_READU) : (xdr ? IO_XDR_WRITEU : IO_WRITEU);
  auto store_count = [&](int32_t moved) {
    if (count_var) store_scalar(count_var, TYP_LONG, &moved);
  };
  store_count(0);
  try {
    store_count(exec_io(n - 1, args.data() + 1, unit, mode, nullptr, nullptr, nullptr, nullptr, nullptr));
  } catch (const VekJump&) {
    if (file_table[unit]) store_count(file_table[unit]->transfer_count);
    throw;
  }
}

void forrd(int argc, Variable* argv[], KwNames argk) { unformatted(argc, argv, argk, true); }
void forwrt(int argc, Variable* argv[], KwNames argk) { unformatted(argc, argv, argk, false); }

// ---- Services -----------------------------------------------------------------------

void collect_line(void* ctx, const char* text, size_t length, bool) {
  static_cast<std::vector<std::string>*>(ctx)->emplace_back(text, length);
}

void format_for_string(int n, Variable* values[], const char* format, std::vector<std::string>& lines) {
  if (format) {
    if (format[0] == '$' && format[1] == '(') format++;
    exec_io(n, values, 0, IO_FORMAT_OUT | IO_STRING, format, nullptr, collect_line, &lines, nullptr);
  } else {
    exec_io(n, values, 0, IO_PRINT | IO_STRING, nullptr, nullptr, collect_line, &lines, nullptr);
  }
}

void journal_line(void*, const char* text, size_t length, bool) { logit(std::string(text, length).c_str()); }

void journal_value(int, Variable* value) {
  exec_io(1, &value, 0, IO_PRINT | IO_STRING, nullptr, nullptr, journal_line, nullptr, nullptr);
}

bool transfer_interrupted() { return int_interrupt == IR_INTERRUPT || io_output_quit(); }

}  // namespace

void print_values(int argc, Variable* argv[]) {
  exec_io(argc, argv, -1, IO_PRINT, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void install_io_hooks() {
  string_formatter = format_for_string;
  rline_hooks.journal_value = journal_value;
  io_interrupt_requested = transfer_interrupted;
}

const RoutineEntry io_procedures[] = {
    {forrd, "FORRD", 1, 100, true},  {forwrt, "FORWRT", 1, 100, true}, {print, "PRINT", 0, 100, true},
    {print_f, "PRINTF", 1, 100, true}, {ur_read, "READ", 0, 100, true},  {read_f, "READF", 1, 100, true},
    {read_s, "READS", 1, 100, true}, {forrd, "READU", 1, 100, true},  {forwrt, "WRITEU", 1, 100, true},
};
const int n_io_procedures = sizeof io_procedures / sizeof io_procedures[0];
