// Helpers for tests of conversions, strings and messages: temporaries built from literal
// lists, element access, and a capture of everything message() prints.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "base/message.h"
#include "values/strings.h"
#include "values/temps.h"
#include "values/variable.h"

// A temporary array of `type` whose elements are the given values converted by C++.
template <typename T>
Variable* temp_array(int type, std::initializer_list<T> values, std::vector<int32_t> dims = {}) {
  if (dims.empty()) dims.push_back(static_cast<int32_t>(values.size()));
  Variable* t = make_temp_array_of(type, static_cast<int>(dims.size()), dims.data());
  T* d = reinterpret_cast<T*>(t->value.s.arr->data);
  for (T v : values) *d++ = v;
  return t;
}

inline Variable* string_array(std::initializer_list<const char*> texts, std::vector<int32_t> dims = {}) {
  if (dims.empty()) dims.push_back(static_cast<int32_t>(texts.size()));
  Variable* t = make_temp_array_of(TYP_STRING, static_cast<int>(dims.size()), dims.data());
  auto* d = reinterpret_cast<StringDesc*>(t->value.s.arr->data);
  for (const char* s : texts) str_store(d++, s);
  return t;
}

// A named (non-temporary) scalar string variable that owns its characters.
inline void set_string(Variable* v, const char* text) {
  delvar(v);
  v->value.str = StringDesc{0, 0, nullptr};
  str_store(&v->value.str, text);
  v->type = TYP_STRING;
  v->flags = FLAG_DYNAMIC;
}

template <typename T>
T* elements(Variable* v) {
  return static_cast<T*>(v->data_ptr());
}

inline std::string text_of(const StringDesc& s) { return std::string(str_chars(s), s.length); }
inline std::string text_of(const Variable* v) { return text_of(v->value.str); }

// Releases a built-in's result unless it is one of the arguments.
inline void release(Variable* result) {
  if (result && result->is_temp()) deltmp(result);
}

// Everything message() writes while this object lives, with the traceback titles asked
// for; the previous hooks and error state come back afterwards.
class MessageCapture {
 public:
  MessageCapture() : saved_(message_hooks), saved_prefix_(msg_prefix), saved_quiet_(vek_quiet) {
    current_ = this;
    message_hooks.write = [](int, const char* s, bool end) {
      current_->text += s;
      if (end) current_->text += '\n';
    };
    message_hooks.traceback = [](const char* title, int, int, int) { current_->tracebacks.push_back(title); };
  }
  ~MessageCapture() {
    message_hooks = saved_;
    msg_prefix = saved_prefix_;
    vek_quiet = saved_quiet_;
    current_ = nullptr;
  }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  std::string text;
  std::vector<std::string> tracebacks;

 private:
  static inline MessageCapture* current_ = nullptr;
  MessageHooks saved_;
  std::string saved_prefix_;
  int32_t saved_quiet_;
};
