// BYTE, FIX, LONG, FLOAT, DOUBLE, COMPLEX, STRING.
#include "lib/conversions.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

StringFormatter string_formatter = nullptr;

namespace {


// BYTE of a string: the characters, one string per column, padded with zeros to the
// longest.
Variable* bytes_of_strings(Variable* x) {
  uint32_t n = x->n_elts();
  const auto* s = static_cast<const StringDesc*>(x->data_ptr());
  uint32_t width = 1;
  for (uint32_t i = 0; i < n; i++)
    if (s[i].length > width) width = s[i].length;
  int32_t dims[MAX_DIMS + 1];
  int n_dim = 1;
  dims[0] = static_cast<int32_t>(width);
  if (x->is_array()) {
    const ArrayDesc* a = x->value.s.arr;
    if (a->n_dim >= MAX_DIMS) message(M_STR_TO_BYTE_DIMS, 0, MSG_LONGJMP);
    for (int i = 0; i < a->n_dim; i++) dims[n_dim++] = static_cast<int32_t>(a->dims[i]);
  }
  Variable* t = make_temp_array_of(TYP_BYTE, n_dim, dims);
  uint8_t* out = t->value.s.arr->data;
  memset(out, 0, t->value.s.arr->byte_len);
  for (uint32_t i = 0; i < n; i++)
    if (s[i].length) memcpy(out + static_cast<size_t>(i) * width, s[i].chars, s[i].length);
  return t;
}

// STRING of BYTE: each row of the first dimension up to its first zero byte.
Variable* strings_of_bytes(Variable* x) {
  const uint8_t* data = static_cast<const uint8_t*>(x->data_ptr());
  uint32_t row = 1, n_rows = 1;
  const ArrayDesc* a = x->is_array() ? x->value.s.arr : nullptr;
  if (a) {
    row = a->dims[0];
    n_rows = a->n_elts / row;
  }
  // Check every row before allocating, so that the error leaves nothing behind.
  for (uint32_t r = 0; r < n_rows; r++) {
    const void* z = memchr(data + static_cast<size_t>(r) * row, 0, row);
    size_t len = z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - (data + static_cast<size_t>(r) * row)) : row;
    if (len >= MAX_STRING_LENGTH) message(M_STRING_TOO_LONG, 0, MSG_LONGJMP, "STRING(byte)");
  }
  Variable* t;
  StringDesc* out;
  if (a && a->n_dim > 1) {
    int32_t dims[MAX_DIMS];
    for (int i = 1; i < a->n_dim; i++) dims[i - 1] = static_cast<int32_t>(a->dims[i]);
    t = make_temp_array_of(TYP_STRING, a->n_dim - 1, dims);
    out = reinterpret_cast<StringDesc*>(t->value.s.arr->data);
  } else {
    t = gettmp();
    t->value.str = StringDesc{0, 0, nullptr};
    t->type = TYP_STRING;
    t->flags |= FLAG_DYNAMIC;
    out = &t->value.str;
  }
  TempGuard guard{t};
  for (uint32_t r = 0; r < n_rows; r++) {
    const char* p = reinterpret_cast<const char*>(data + static_cast<size_t>(r) * row);
    str_store_n(&out[r], p, static_cast<uint32_t>(strnlen(p, row)));
  }
  return guard.release();
}

// A part of COMPLEX as FLOAT: a FLOAT is used as it is, anything else goes through
// FLOAT's one-argument form (the temporary made is freed by the guard).
const Variable* float_part(Variable* p, TempGuard& guard) {
  if (p->type == TYP_FLOAT) {
    if (p->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, p, MSG_LONGJMP);
    return p;
  }
  Variable* r = basic_type_conversion(1, &p, TYP_FLOAT);
  if (r != p) guard.v = r;
  return r;
}

// The formatted forms of STRING: lines from formatted output, one string each.
Variable* formatted_string(std::vector<Variable*>& values, const char* format) {
  if (!string_formatter) message(M_INTERNAL, 0, MSG_LONGJMP, "formatted output is not available");
  std::vector<std::string> lines;
  string_formatter(static_cast<int>(values.size()), values.data(), format, lines);
  constexpr size_t kMaxLines = 1024;
  if (lines.size() > kMaxLines) {
    lines.resize(kMaxLines);
    message(M_FORMAT_TRUNCATED, 0, MSG_INFO, static_cast<int>(kMaxLines));
  }
  for (auto& line : lines)
    if (line.size() > 1 && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (lines.size() <= 1) return ret_str_as_STRING(lines.empty() ? "" : lines[0].c_str());
  int32_t n = static_cast<int32_t>(lines.size());
  Variable* t = make_temp_array_of(TYP_STRING, 1, &n);
  auto* out = reinterpret_cast<StringDesc*>(t->value.s.arr->data);
  TempGuard guard{t};
  for (int32_t i = 0; i < n; i++)
    str_store_n(&out[i], lines[static_cast<size_t>(i)].data(), static_cast<uint32_t>(lines[static_cast<size_t>(i)].size()));
  return guard.release();
}

// STRING's keywords. The targets are read right after decoding.
int32_t kw_format_present = 0;
StringDesc kw_format{0, 0, nullptr};
int32_t kw_print = 0;
KwEntry string_keywords[] = {
    {"FORMAT", TYP_STRING, 1, KW_CLEAR, &kw_format_present, &kw_format},
    {"PRINT", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &kw_print},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

Variable* byte(int argc, Variable* argv[], KwNames) {
  Variable* x = argv[0];
  if (argc == 1 && x->type == TYP_STRING && !(x->flags & FLAG_FILE_OR_STRUCT)) return bytes_of_strings(x);
  return basic_type_conversion(argc, argv, TYP_BYTE);
}

Variable* fix(int argc, Variable* argv[], KwNames) { return basic_type_conversion(argc, argv, TYP_INT); }
Variable* lng(int argc, Variable* argv[], KwNames) { return basic_type_conversion(argc, argv, TYP_LONG); }
Variable* flt(int argc, Variable* argv[], KwNames) { return basic_type_conversion(argc, argv, TYP_FLOAT); }
Variable* dbl(int argc, Variable* argv[], KwNames) { return basic_type_conversion(argc, argv, TYP_DOUBLE); }

Variable* ur_complex(int argc, Variable* argv[], KwNames) {
  if (argc >= 3) return basic_type_conversion(argc, argv, TYP_COMPLEX);
  if (argc == 1 && argv[0]->type == TYP_COMPLEX) {
    if (argv[0]->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, argv[0], MSG_LONGJMP);
    return argv[0];
  }
  Variable zero{};
  zero.type = TYP_FLOAT;
  zero.flags = FLAG_CONSTANT;
  zero.value.f = 0.0f;
  TempGuard re_guard, im_guard;
  const Variable* re = float_part(argv[0], re_guard);
  const Variable* im = argc >= 2 ? float_part(argv[1], im_guard) : &zero;

  const Variable* shape = nullptr;
  if (re->is_array() && im->is_array())
    shape = im->n_elts() < re->n_elts() ? im : re;
  else if (re->is_array())
    shape = re;
  else if (im->is_array())
    shape = im;

  const float* rp = static_cast<const float*>(const_cast<Variable*>(re)->data_ptr());
  const float* ip = static_cast<const float*>(const_cast<Variable*>(im)->data_ptr());
  const uint32_t rs = re->is_array() ? 1 : 0, is = im->is_array() ? 1 : 0;
  Variable* t = gettmp();
  t->type = TYP_COMPLEX;
  float* out;
  uint32_t n = 1;
  if (shape) {
    make_array_like(shape->value.s.arr, t, type_size[TYP_COMPLEX]);
    out = reinterpret_cast<float*>(t->value.s.arr->data);
    n = t->value.s.arr->n_elts;
  } else {
    out = &t->value.cmp.r;
  }
  for (uint32_t i = 0; i < n; i++) {
    out[2 * i] = rp[i * rs];
    out[2 * i + 1] = ip[i * is];
  }
  return t;
}

Variable* string(int argc, Variable* argv[], KwNames argk) {
  std::vector<Variable*> values(static_cast<size_t>(argc));
  int n = argc;
  std::string format;
  bool have_format = false, print = false;
  if (argk) {
    n = get_kw_params(argc, argv, argk, string_keywords, values.data(), 1);
    if (kw_format_present) {
      have_format = true;
      format.assign(str_chars(kw_format), kw_format.length);
    }
    print = kw_print != 0;
  } else {
    for (int i = 0; i < argc; i++) values[static_cast<size_t>(i)] = argv[i];
  }
  values.resize(static_cast<size_t>(n));
  if (n < 1) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);

  if (!have_format && !print && n == 1) {
    Variable* x = values[0];
    if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
    if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
    if (x->type == TYP_BYTE) return strings_of_bytes(x);
    return basic_type_conversion(1, &x, TYP_STRING);
  }
  if (!have_format && !print) {
    // A trailing format-looking string is the format.
    const Variable* last = values.back();
    if (last->type == TYP_STRING && last->is_scalar() && last->value.str.length >= 3) {
      const char* c = last->value.str.chars;
      if (c[0] == '(' || (c[0] == '$' && c[1] == '(')) {
        have_format = true;
        format.assign(c, last->value.str.length);
        values.pop_back();
      }
    }
  }
  return formatted_string(values, have_format ? format.c_str() : nullptr);
}

const RoutineEntry conversion_functions[] = {
    {byte, "BYTE", 1, 10},      {ur_complex, "COMPLEX", 1, 10}, {dbl, "DOUBLE", 1, 10}, {fix, "FIX", 1, 10},
    {flt, "FLOAT", 1, 10},      {lng, "LONG", 1, 10},           {string, "STRING", 1, 100, true},
};
const int n_conversion_functions = sizeof conversion_functions / sizeof conversion_functions[0];
