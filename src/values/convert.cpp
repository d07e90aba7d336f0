#include "values/convert.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "base/message.h"
#include "values/element_ops.h"
#include "values/strings.h"
#include "values/temps.h"

// The element loops are meant to vectorise; -O2 alone only takes loops of known length.
#pragma GCC optimize("vect-cost-model=dynamic")

namespace {

using elem::CType;
using elem::num_cvt;

using Kernel = void (*)(const void* src, void* dst, int32_t n);

template <typename From, typename To>
void num_kernel(const void* s, void* d, int32_t n) {
  if (s == d) {
    // In place (the destination element is not larger): go through memcpy so that the
    // compiler never assumes the two views are distinct.
    auto* base = static_cast<unsigned char*>(d);
    for (int32_t i = 0; i < n; i++) {
      From x;
      memcpy(&x, base + static_cast<size_t>(i) * sizeof(From), sizeof x);
      To y = num_cvt<To>(x);
      memcpy(base + static_cast<size_t>(i) * sizeof(To), &y, sizeof y);
    }
    return;
  }
  const From* __restrict src = static_cast<const From*>(s);
  To* __restrict dst = static_cast<To*>(d);
  for (int32_t i = 0; i < n; i++) dst[i] = num_cvt<To>(src[i]);
}

// Element copy for identical types (numbers).
template <typename T>
void copy_kernel(const void* s, void* d, int32_t n) {
  if (s != d) memmove(d, s, static_cast<size_t>(n) * sizeof(T));
}

// Leaves descriptors [from, n) empty; used before unwinding so that a half-filled STRING
// destination can be freed safely.
void clear_strings(StringDesc* d, int32_t from, int32_t n) {
  for (int32_t j = from; j < n; j++) d[j] = StringDesc{0, 0, nullptr};
}

// Stores a private copy of text into d[i]; on failure clears the rest and unwinds.
void store_elem(StringDesc* d, int32_t i, int32_t n, const char* text, size_t len) {
  d[i] = StringDesc{0, 0, nullptr};
  if (!len) return;
  if (len > MAX_STRING_LENGTH) len = MAX_STRING_LENGTH;
  char* p = static_cast<char*>(counting_malloc(len + 1));
  if (!p) {
    clear_strings(d, i, n);
    message(M_NO_MEMORY, errno, MSG_LONGJMP, "to duplicate string");
  }
  memcpy(p, text, len);
  p[len] = 0;
  d[i] = StringDesc{static_cast<uint16_t>(len), 1, p};
}

void string_copy_kernel(const void* s, void* d, int32_t n) {
  if (s == d) return;
  auto* src = static_cast<const StringDesc*>(s);
  auto* dst = static_cast<StringDesc*>(d);
  for (int32_t i = 0; i < n; i++) {
    StringDesc e = src[i];
    store_elem(dst, i, n, str_chars(e), e.length);
  }
}

// Integers as "%Nd" of their output format would print them (right-justified in the
// format's width), without going through printf: converting integer arrays to strings
// is common enough for the difference to show.
int format_int(char* buf, int32_t x, int width) {
  char digits[12];
  int n = 0;
  uint32_t u = x < 0 ? 0u - static_cast<uint32_t>(x) : static_cast<uint32_t>(x);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (x < 0) digits[n++] = '-';
  const int pad = width > n ? width - n : 0;
  memset(buf, ' ', static_cast<size_t>(pad));
  for (int i = 0; i < n; i++) buf[pad + i] = digits[n - 1 - i];
  buf[pad + n] = 0;
  return pad + n;
}
int format_elem(char* buf, size_t, uint8_t x) { return format_int(buf, x, oform_len[TYP_BYTE]); }
int format_elem(char* buf, size_t, int16_t x) { return format_int(buf, x, oform_len[TYP_INT]); }
int format_elem(char* buf, size_t, int32_t x) { return format_int(buf, x, oform_len[TYP_LONG]); }
int format_elem(char* buf, size_t size, float x) {
  int n = snprintf(buf, size, oform[TYP_FLOAT], static_cast<double>(x));
  if (!std::isfinite(x)) name_nonfinite(buf, n);
  return n;
}
int format_elem(char* buf, size_t size, double x) {
  int n = snprintf(buf, size, oform[TYP_DOUBLE], x);
  if (!std::isfinite(x)) name_nonfinite(buf, n);
  return n;
}
int format_elem(char* buf, size_t size, Complex x) {
  int n = snprintf(buf, size, oform[TYP_COMPLEX], static_cast<double>(x.r), static_cast<double>(x.i));
  if (!std::isfinite(x.r) || !std::isfinite(x.i)) name_nonfinite(buf, n);
  return n;
}

template <typename From>
void to_string_kernel(const void* s, void* d, int32_t n) {
  auto* src = static_cast<const From*>(s);
  auto* dst = static_cast<StringDesc*>(d);
  char buf[400];  // a DOUBLE near its maximum prints over 300 digits
  for (int32_t i = 0; i < n; i++) {
    int len = format_elem(buf, sizeof buf, src[i]);
    if (len < 0) len = 0;
    if (static_cast<size_t>(len) >= sizeof buf) len = static_cast<int>(sizeof buf) - 1;
    store_elem(dst, i, n, buf, static_cast<size_t>(len));
  }
}

// Words naming the destination in message -69.
const char* scan_word(int to_type) {
  switch (to_type) {
    case TYP_BYTE: return "Byte";
    case TYP_INT: return "Integer";
    case TYP_LONG: return "Long";
    case TYP_FLOAT: return "Float";
    case TYP_DOUBLE: return "Double";
    default: return "Complex";
  }
}

// Reports a string that did not scan. In an ON_IOERROR routine this unwinds (the
// caller has already made its data consistent); otherwise it is information only.
void report_scan_error(int to_type) {
  bool io = message_hooks.ioerror_active && message_hooks.ioerror_active();
  int action = io ? MSG_IOERROR : MSG_INFO;
  const char* from_word = to_type == TYP_COMPLEX ? "String" : "STRING";
  try {
    message(M_CONVERT, 0, action, from_word, scan_word(to_type));
  } catch (const VekJump&) {
    if (message_hooks.traceback) message_hooks.traceback("Detected at:", 0, 0, 0);
    throw;
  }
  if (message_hooks.traceback) message_hooks.traceback("Detected at:", 0, 0, 0);
}

// Text to scan: owned characters are patched in place (and put back); static text,
// which may be read-only, is copied to the scratch buffer first.
char* scannable(const StringDesc& sd, std::string& scratch) {
  if (sd.owned) return sd.chars;
  scratch.assign(sd.chars, sd.length);
  return scratch.data();
}

template <typename To>
bool scan_elem(const StringDesc& sd, std::string& scratch, To* out) {
  if constexpr (std::is_integral_v<To>) {
    (void)scratch;
    int v = 0;
    if (sscanf(sd.chars, "%d", &v) != 1) return false;
    *out = num_cvt<To>(static_cast<int32_t>(v));
    return true;
  } else if constexpr (std::is_same_v<To, Complex>) {
    char* text = scannable(sd, scratch);
    DtoEFixup fix;
    flt_d_to_e(text, true, &fix);
    float r = 0, i = 0;
    int got = sscanf(text, " ( %f , %f ) ", &r, &i);
    flt_d_to_e_fixup(&fix);
    if (got != 2) return false;
    *out = Complex{r, i};
    return true;
  } else {
    char* text = scannable(sd, scratch);
    DtoEFixup fix;
    flt_d_to_e(text, false, &fix);
    double v = 0;
    int got = sscanf(text, "%lf", &v);
    flt_d_to_e_fixup(&fix);
    if (got != 1) return false;
    *out = static_cast<To>(v);
    return true;
  }
}

template <typename To>
void from_string_kernel(const void* s, void* d, int32_t n) {
  const bool in_place = s == d;
  auto* src = static_cast<const StringDesc*>(s);
  auto* base = static_cast<unsigned char*>(d);
  constexpr int to_type = std::is_same_v<To, uint8_t>   ? TYP_BYTE
                          : std::is_same_v<To, int16_t> ? TYP_INT
                          : std::is_same_v<To, int32_t> ? TYP_LONG
                          : std::is_same_v<To, float>   ? TYP_FLOAT
                          : std::is_same_v<To, double>  ? TYP_DOUBLE
                                                        : TYP_COMPLEX;
  std::string scratch;
  for (int32_t i = 0; i < n; i++) {
    StringDesc sd;
    memcpy(&sd, src + i, sizeof sd);
    To value{};
    bool ok = sd.length == 0 || scan_elem<To>(sd, scratch, &value);
    // In place the descriptor is about to be overwritten: its characters go with it.
    if (in_place && sd.owned && sd.length) counting_free(sd.chars);
    memcpy(base + static_cast<size_t>(i) * sizeof(To), &value, sizeof value);
    if (ok) continue;
    if (in_place && message_hooks.ioerror_active && message_hooks.ioerror_active()) {
      // About to unwind: release the strings not yet converted and leave numbers behind.
      for (int32_t j = i + 1; j < n; j++) {
        StringDesc rest;
        memcpy(&rest, src + j, sizeof rest);
        if (rest.owned && rest.length) counting_free(rest.chars);
      }
      for (int32_t j = i + 1; j < n; j++) {
        To zero{};
        memcpy(base + static_cast<size_t>(j) * sizeof(To), &zero, sizeof zero);
      }
      n = i + 1;
    }
    report_scan_error(to_type);
  }
}

void from_undefined(const void*, void*, int32_t) {
  message(M_UNDEFINED, 0, MSG_LONGJMP, "Conversion source variable");
}
void to_undefined(const void*, void*, int32_t) {
  message(M_UNDEFINED, 0, MSG_LONGJMP, "Conversion destination variable");
}
void from_struct(const void*, void*, int32_t) { message(M_STRUCT_CONVERT, 0, MSG_LONGJMP, "from"); }
void to_struct(const void*, void*, int32_t) { message(M_STRUCT_CONVERT, 0, MSG_LONGJMP, "to"); }

// The case for one (from, to) pair, in the order of precedence of the rules.
template <int From, int To>
constexpr Kernel pick() {
  if constexpr (From == TYP_UNDEF) return from_undefined;
  else if constexpr (To == TYP_UNDEF) return to_undefined;
  else if constexpr (From == TYP_STRUCT) return from_struct;
  else if constexpr (To == TYP_STRUCT) return to_struct;
  else if constexpr (From == TYP_STRING && To == TYP_STRING) return string_copy_kernel;
  else if constexpr (From == TYP_STRING) return from_string_kernel<typename CType<To>::type>;
  else if constexpr (To == TYP_STRING) return to_string_kernel<typename CType<From>::type>;
  else if constexpr (From == To) return copy_kernel<typename CType<From>::type>;
  else return num_kernel<typename CType<From>::type, typename CType<To>::type>;
}

template <int To, int... From>
constexpr void fill_row(Kernel* row, std::integer_sequence<int, From...>) {
  ((row[From] = pick<From, To>()), ...);
}

template <int... To>
constexpr auto build_table(std::integer_sequence<int, To...>) {
  struct Table {
    Kernel k[N_TYPES * N_TYPES];
  } t{};
  ((fill_row<To>(t.k + N_TYPES * To, std::make_integer_sequence<int, N_TYPES>{})), ...);
  return t;
}

// Indexed by N_TYPES * to_type + from_type.
constexpr auto kConvertTable = build_table(std::make_integer_sequence<int, N_TYPES>{});

// Skips a number's sign, digits, point and digits, then repairs its exponent letter.
char* patch_number(char* p, DtoEFixup* fix) {
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  auto record = [fix](char* at, char replacement) {
    if (fix->count < 2) {
      fix->where[fix->count] = at;
      fix->saved[fix->count] = *at;
      fix->count++;
      *at = replacement;
    }
  };
  if (*p == '+' || *p == '-') p++;
  while (is_digit(*p)) p++;
  if (*p == '.') {
    p++;
    while (is_digit(*p)) p++;
  }
  char c = *p;
  if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
    char next = p[1];
    if (next == '+' || next == '-' || is_digit(next)) {
      if (c == 'D' || c == 'd') record(p, 'E');
      p += 2;
      while (is_digit(*p)) p++;
    } else {
      record(p, ' ');
      p++;
    }
  }
  return p;
}

char* skip_blanks(char* p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

}  // namespace

void flt_d_to_e(char* text, bool two_numbers, DtoEFixup* fix) {
  fix->count = 0;
  char* p = skip_blanks(text);
  if (two_numbers && *p == '(') p = skip_blanks(p + 1);
  p = patch_number(p, fix);
  if (!two_numbers) return;
  p = skip_blanks(p);
  if (*p == ',') patch_number(skip_blanks(p + 1), fix);
}

void flt_d_to_e_fixup(DtoEFixup* fix) {
  for (int i = fix->count - 1; i >= 0; i--) *fix->where[i] = fix->saved[i];
  fix->count = 0;
}

void convert(const void* src, void* dst, int32_t n, int from_type, int to_type) {
  if (from_type < 0 || to_type < 0 || from_type >= N_TYPES || to_type >= N_TYPES)
    message(M_INTERNAL, 0, MSG_LONGJMP, "Unknown combination in convert().");
  if (n <= 0) return;
  kConvertTable.k[N_TYPES * to_type + from_type](src, dst, n);
}

namespace {

// Shared checks of the scalar extractors; returns the address of the value.
const void* scalar_source(const Variable* var) {
  if (var->type == TYP_UNDEF) var_error(M_UNDEFINED, var, MSG_LONGJMP);
  if (var->has_desc()) var_error(M_NOT_SCALAR, var, MSG_LONGJMP);
  if (var->type > TYP_STRING) var_error(M_UNKNOWN_TYPE, var, MSG_LONGJMP);
  return &var->value;
}

}  // namespace

int32_t long_scalar(const Variable* var) {
  int32_t r = 0;
  convert(scalar_source(var), &r, 1, var->type, TYP_LONG);
  return r;
}

double double_scalar(const Variable* var) {
  double r = 0;
  convert(scalar_source(var), &r, 1, var->type, TYP_DOUBLE);
  return r;
}

namespace {

// The offset form: the bytes of x from `offset` on, reinterpreted as to_type.
Variable* offset_form(int argc, Variable* argv[], int to_type) {
  Variable* x = argv[0];
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  if (!is_numeric(to_type)) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad type in offset conversion");
  const uint8_t* bytes;
  uint32_t length;
  if (x->is_array()) {
    bytes = x->value.s.arr->data;
    length = x->value.s.arr->byte_len;
  } else {
    bytes = reinterpret_cast<const uint8_t*>(&x->value);
    length = static_cast<uint32_t>(type_size[x->type]);
  }
  int32_t offset = long_scalar(argv[1]);
  if (offset < 0) var_error(M_OFFSET_RANGE, x, MSG_LONGJMP);
  if (argc == 2) {
    if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(type_size[to_type]) > length)
      var_error(M_OFFSET_RANGE, x, MSG_LONGJMP);
    Variable* t = gettmp();
    t->value.d = 0;
    memcpy(&t->value, bytes + offset, static_cast<size_t>(type_size[to_type]));
    t->type = static_cast<uint8_t>(to_type);
    return t;
  }
  int n_dim = argc - 2;
  if (n_dim > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
  int32_t dims[MAX_DIMS];
  for (int i = 0; i < n_dim; i++) dims[i] = long_scalar(argv[i + 2]);
  Variable* t = make_temp_array_of(to_type, n_dim, dims);
  const ArrayDesc* a = t->value.s.arr;
  if (static_cast<uint64_t>(offset) + a->byte_len > length) {
    deltmp(t);
    var_error(M_OFFSET_RANGE, x, MSG_LONGJMP);
  }
  memcpy(a->data, bytes + offset, a->byte_len);
  return t;
}

}  // namespace

Variable* basic_type_conversion(int argc, Variable* argv[], int to_type) {
  Variable* x = argv[0];
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (argc >= 2) return offset_form(argc, argv, to_type);
  if (x->type == to_type) return x;
  Variable* t = gettmp();
  if (x->is_array()) {
    t->type = static_cast<uint8_t>(to_type);
    make_array_like(x->value.s.arr, t, type_size[to_type]);
    if (to_type == TYP_STRING) memset(t->value.s.arr->data, 0, t->value.s.arr->byte_len);
    convert(x->value.s.arr->data, t->value.s.arr->data, static_cast<int32_t>(x->value.s.arr->n_elts), x->type,
            to_type);
    return t;
  }
  t->value.d = 0;
  t->value.str = StringDesc{0, 0, nullptr};
  // The type is set only once the value is whole, so a failure leaves nothing to free.
  Value v;
  v.str = StringDesc{0, 0, nullptr};
  convert(&x->value, &v, 1, x->type, to_type);
  t->value = v;
  t->type = static_cast<uint8_t>(to_type);
  if (to_type == TYP_STRING) t->flags |= FLAG_DYNAMIC;
  return t;
}

void name_nonfinite(char* text, int len) {
  auto lower = [](char c) { return static_cast<char>(c | 0x20); };
  for (int i = 0; i + 3 <= len; i++) {
    char a = lower(text[i]), b = lower(text[i + 1]), c = lower(text[i + 2]);
    if (a == 'n' && b == 'a' && c == 'n') {
      memcpy(text + i, "NaN", 3);
      // The sign of a NaN means nothing to the reader.
      if (i > 0 && text[i - 1] == '-') {
        memmove(text + 1, text, static_cast<size_t>(i - 1));
        text[0] = ' ';
      }
      i += 2;
    } else if (a == 'i' && b == 'n' && c == 'f') {
      memcpy(text + i, "Inf", 3);
      i += 2;
    }
  }
}

int format_number(char* buf, size_t size, int type, const void* p) {
  switch (type) {
    case TYP_BYTE: return format_elem(buf, size, *static_cast<const uint8_t*>(p));
    case TYP_INT: return format_elem(buf, size, *static_cast<const int16_t*>(p));
    case TYP_LONG: return format_elem(buf, size, *static_cast<const int32_t*>(p));
    case TYP_FLOAT: return format_elem(buf, size, *static_cast<const float*>(p));
    case TYP_DOUBLE: return format_elem(buf, size, *static_cast<const double*>(p));
    case TYP_COMPLEX: return format_elem(buf, size, *static_cast<const Complex*>(p));
    default: return 0;
  }
}
