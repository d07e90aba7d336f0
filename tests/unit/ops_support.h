// Builders and readers for operator, subscript and structure tests: temporaries of any
// type made from plain C++ values, and element access by type.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "values/temps.h"
#include "values/variable.h"

namespace ops_test {

inline StringDesc owned_string(const std::string& s) {
  if (s.empty()) return StringDesc{0, 0, nullptr};
  auto* p = static_cast<char*>(counting_malloc(s.size() + 1));
  memcpy(p, s.c_str(), s.size() + 1);
  return StringDesc{static_cast<uint16_t>(s.size()), 1, p};
}

inline Variable* str_temp(const std::string& s) {
  Variable* t = gettmp();
  t->type = TYP_STRING;
  t->value.str = owned_string(s);
  t->flags |= FLAG_DYNAMIC;
  return t;
}

template <class T>
Variable* scalar_temp(int type, T v) {
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  t->value.d = 0;
  memcpy(&t->value, &v, sizeof v);
  return t;
}

// An array temporary of `type` with the given dims holding vals (converted by C++ cast).
template <class T>
Variable* array_temp(int type, const std::vector<T>& vals, std::vector<int32_t> dims = {}) {
  if (dims.empty()) dims = {static_cast<int32_t>(vals.size())};
  Variable* t = make_temp_array_of(type, static_cast<int>(dims.size()), dims.data());
  memcpy(t->value.s.arr->data, vals.data(), vals.size() * sizeof(T));
  return t;
}

inline Variable* str_array_temp(const std::vector<std::string>& vals) {
  int32_t n = static_cast<int32_t>(vals.size());
  Variable* t = make_temp_array_of(TYP_STRING, 1, &n);
  auto* s = reinterpret_cast<StringDesc*>(t->value.s.arr->data);
  for (size_t i = 0; i < vals.size(); i++) s[i] = owned_string(vals[i]);
  return t;
}

template <class T>
T elem(Variable* v, size_t i = 0) {
  T out;
  memcpy(&out, static_cast<uint8_t*>(v->data_ptr()) + i * sizeof(T), sizeof(T));
  return out;
}

inline std::string str_elem(Variable* v, size_t i = 0) {
  StringDesc s = elem<StringDesc>(v, i);
  return s.length ? std::string(s.chars, s.length) : std::string();
}

// A file (associated) variable of n LONG records: a descriptor without data.
inline void make_file_var(Variable* v, int32_t n) {
  v->type = TYP_LONG;
  v->value.s.arr = make_array(1, &n, nullptr, 4);
  v->flags = FLAG_FILE | FLAG_DYNAMIC;
}

inline std::vector<uint32_t> dims_of(const Variable* v) {
  std::vector<uint32_t> d;
  if (!(v->flags & FLAG_HAS_DESC)) return d;
  for (int i = 0; i < v->value.s.arr->n_dim; i++) d.push_back(v->value.s.arr->dims[i]);
  return d;
}

}  // namespace ops_test
