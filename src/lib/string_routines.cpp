// STRLEN, STRPOS, STRMID, STRPUT, STRTRIM, STRCOMPRESS, STRUPCASE, STRLOWCASE.
#include "lib/string_routines.h"

#include <cstring>
#include <string_view>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

namespace {


void refuse_file_or_struct(const Variable* x) {
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
}

// x as STRING: x itself when it is a string, else a new temporary kept by the guard.
Variable* as_string(Variable* x, TempGuard& guard) {
  refuse_file_or_struct(x);
  if (x->type == TYP_STRING) return x;
  Variable* s = basic_type_conversion(1, &x, TYP_STRING);
  if (s != x) guard.v = s;
  return s;
}

StringDesc* string_elements(Variable* x) { return static_cast<StringDesc*>(x->data_ptr()); }

// A STRING temporary of x's shape whose every element owns its characters, which the
// element operations then change in place. x itself is never changed unless it is a
// temporary (then it is the copy).
Variable* private_copy(Variable* x) {
  refuse_file_or_struct(x);
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  Variable* t;
  if (x->type != TYP_STRING) {
    t = basic_type_conversion(1, &x, TYP_STRING);
  } else if (x->is_temp()) {
    t = x;
  } else {
    t = gettmp();
    var_copy(x, t);
  }
  TempGuard guard{t == x ? nullptr : t};
  StringDesc* s = string_elements(t);
  uint32_t n = t->n_elts();
  for (uint32_t i = 0; i < n; i++) {
    if (s[i].length && !s[i].owned) {
      s[i].owned = 1;
      dup_str(&s[i], 1);
    }
  }
  t->flags |= FLAG_DYNAMIC;
  guard.release();
  return t;
}

// Runs op(chars, length) -> new length on every element of a private copy of x. An
// element left without characters becomes the empty string.
template <typename Op>
Variable* each_string(Variable* x, Op op) {
  Variable* t = private_copy(x);
  StringDesc* s = string_elements(t);
  uint32_t n = t->n_elts();
  for (uint32_t i = 0; i < n; i++) {
    if (!s[i].length) continue;
    uint32_t len = op(s[i].chars, static_cast<uint32_t>(s[i].length));
    if (len == 0) {
      del_str(&s[i], 1);
    } else {
      s[i].length = static_cast<uint16_t>(len);
      s[i].chars[len] = 0;
    }
  }
  return t;
}

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A result of `type` with x's shape (a scalar for a scalar x).
Variable* result_like(const Variable* x, int type) {
  if (!x->is_array()) {
    Variable* t = gettmp();
    t->value.d = 0;
    t->type = static_cast<uint8_t>(type);
    return t;
  }
  return make_temp_array_of(type, x->value.s.arr->n_dim, reinterpret_cast<const int32_t*>(x->value.s.arr->dims));
}

int32_t non_negative(const Variable* v) {
  int32_t r = long_scalar(v);
  return r < 0 ? 0 : r;
}

int32_t kw_remove_all = 0;
KwEntry strcompress_keywords[] = {
    {"REMOVE_ALL", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &kw_remove_all},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

Variable* string_change_case(Variable* x, int direction) {
  if (direction != 0 && direction != 1)
    message(M_INTERNAL, 0, MSG_LONGJMP, "Bad direction argument to string_change_case()");
  if (direction == 0)
    return each_string(x, [](char* c, uint32_t len) {
      up_case(c, c);
      return len;
    });
  return each_string(x, [](char* c, uint32_t len) {
    down_case(c, c);
    return len;
  });
}

Variable* string_upcase(int, Variable* argv[], KwNames) { return string_change_case(argv[0], 0); }
Variable* string_lowcase(int, Variable* argv[], KwNames) { return string_change_case(argv[0], 1); }

Variable* strtrim(int argc, Variable* argv[], KwNames) {
  int32_t flag = argc >= 2 ? long_scalar(argv[1]) : 0;
  if (flag < 0 || flag > 2) message(M_VALUE_RANGE, 0, MSG_LONGJMP, varname(argv[1]));
  return each_string(argv[0], [flag](char* c, uint32_t len) {
    if (flag != 1)
      while (len && is_blank(c[len - 1])) len--;
    if (flag != 0) {
      uint32_t lead = 0;
      while (lead < len && is_blank(c[lead])) lead++;
      if (lead) {
        memmove(c, c + lead, len - lead);
        len -= lead;
      }
    }
    return len;
  });
}

Variable* strcompress(int argc, Variable* argv[], KwNames argk) {
  Variable* x = argv[0];
  bool remove_all = false;
  if (argk) {
    Variable* positional[1] = {nullptr};
    if (get_kw_params(argc, argv, argk, strcompress_keywords, positional, 1) != 1)
      message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
    x = positional[0];
    remove_all = kw_remove_all != 0;
  }
  return each_string(x, [remove_all](char* c, uint32_t len) {
    uint32_t out = 0;
    for (uint32_t i = 0; i < len;) {
      if (!is_blank(c[i])) {
        c[out++] = c[i++];
        continue;
      }
      while (i < len && is_blank(c[i])) i++;
      if (!remove_all) c[out++] = ' ';
    }
    return out;
  });
}

Variable* strmid(int, Variable* argv[], KwNames) {
  uint32_t first = static_cast<uint32_t>(non_negative(argv[1]));
  uint32_t count = static_cast<uint32_t>(non_negative(argv[2]));
  return each_string(argv[0], [first, count](char* c, uint32_t len) -> uint32_t {
    if (first >= len) return 0;
    uint32_t n = len - first < count ? len - first : count;
    memmove(c, c + first, n);
    return n;
  });
}

Variable* string_len(int, Variable* argv[], KwNames) {
  TempGuard guard;
  Variable* s = as_string(argv[0], guard);
  Variable* r = result_like(s, TYP_LONG);
  const StringDesc* e = string_elements(s);
  auto* out = static_cast<int32_t*>(r->data_ptr());
  uint32_t n = s->n_elts();
  for (uint32_t i = 0; i < n; i++) out[i] = e[i].length;
  return r;
}

Variable* string_pos(int argc, Variable* argv[], KwNames) {
  refuse_file_or_struct(argv[0]);
  if (!argv[1]->is_scalar()) var_error(M_NOT_SCALAR, argv[1], MSG_LONGJMP);
  int32_t pos = argc >= 3 ? non_negative(argv[2]) : 0;
  TempGuard expr_guard, search_guard;
  Variable* s = as_string(argv[0], expr_guard);
  Variable* k = as_string(argv[1], search_guard);
  std::string_view key(str_chars(k->value.str), k->value.str.length);
  Variable* r = result_like(s, TYP_INT);
  const StringDesc* e = string_elements(s);
  auto* out = static_cast<int16_t*>(r->data_ptr());
  uint32_t n = s->n_elts();
  for (uint32_t i = 0; i < n; i++) {
    int32_t len = e[i].length;
    int32_t found = -1;
    if (len == 0) {
      found = -1;
    } else if (key.empty()) {
      found = pos < len - 1 ? pos : len - 1;
    } else if (pos < len) {
      size_t at = std::string_view(e[i].chars, static_cast<size_t>(len)).find(key, static_cast<size_t>(pos));
      if (at != std::string_view::npos) found = static_cast<int32_t>(at);
    }
    out[i] = static_cast<int16_t>(found);
  }
  return r;
}

void strput(int argc, Variable* argv[], KwNames) {
  Variable* dest = argv[0];
  if (dest->flags & FLAG_UNNAMED) message(M_DEST_NAMED, 0, MSG_LONGJMP);
  if (dest->type != TYP_STRING || (dest->flags & FLAG_FILE_OR_STRUCT)) var_error(M_NEED_STRING, dest, MSG_LONGJMP);
  if (!argv[1]->is_scalar()) var_error(M_NOT_SCALAR, argv[1], MSG_LONGJMP);
  uint32_t pos = argc >= 3 ? static_cast<uint32_t>(non_negative(argv[2])) : 0;
  TempGuard guard;
  Variable* src = as_string(argv[1], guard);
  const StringDesc& from = src->value.str;
  dest->flags |= FLAG_DYNAMIC;
  StringDesc* e = string_elements(dest);
  uint32_t n = dest->n_elts();
  for (uint32_t i = 0; i < n; i++) {
    uint32_t len = e[i].length;
    if (!len || !from.length || pos >= len) continue;
    if (!e[i].owned) {
      e[i].owned = 1;
      dup_str(&e[i], 1);
    }
    uint32_t count = len - pos < from.length ? len - pos : from.length;
    memcpy(e[i].chars + pos, from.chars, count);
  }
}

const RoutineEntry string_functions[] = {
    {strcompress, "STRCOMPRESS", 1, 1, true}, {string_len, "STRLEN", 1, 1},   {string_lowcase, "STRLOWCASE", 1, 1},
    {strmid, "STRMID", 3, 3},                 {string_pos, "STRPOS", 2, 3},    {strtrim, "STRTRIM", 1, 2},
    {string_upcase, "STRUPCASE", 1, 1},
};
const int n_string_functions = sizeof string_functions / sizeof string_functions[0];

const RoutineEntry string_procedures[] = {
    {strput, "STRPUT", 2, 3},
};
const int n_string_procedures = sizeof string_procedures / sizeof string_procedures[0];
