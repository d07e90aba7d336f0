#include "values/strings.h"

#include <cerrno>
#include <cstring>

#include "base/message.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

// A fresh owned block holding length characters and a NUL, or null.
char* new_chars(const char* text, uint32_t length) {
  char* p = static_cast<char*>(counting_malloc(length + 1));
  if (!p) return nullptr;
  memcpy(p, text, length);
  p[length] = 0;
  return p;
}

bool tags_contain_string(const StructDef* sd) {
  if (!sd) return false;
  for (int i = 0; i < sd->n_tags; i++) {
    const Variable& d = sd->tags[i].desc;
    if (d.type == TYP_STRING) return true;
    if (d.type == TYP_STRUCT && tags_contain_string(d.value.s.sdef)) return true;
  }
  return false;
}

}  // namespace

void str_store_n(StringDesc* desc, const char* text, uint32_t length) {
  *desc = StringDesc{0, 0, nullptr};
  if (!length) return;
  if (length > MAX_STRING_LENGTH) length = MAX_STRING_LENGTH;
  char* p = new_chars(text, length);
  if (!p) message(M_NO_MEMORY, errno, MSG_LONGJMP, "storing fixed string");
  *desc = StringDesc{static_cast<uint16_t>(length), 1, p};
}

void str_store(StringDesc* desc, const char* text) {
  str_store_n(desc, text, text ? static_cast<uint32_t>(strnlen(text, MAX_STRING_LENGTH)) : 0);
}

void dup_str(StringDesc* desc, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    StringDesc& s = desc[i];
    if (!s.length || !s.owned) continue;
    char* p = new_chars(s.chars, s.length);
    if (!p) {
      for (uint32_t j = i; j < n; j++) desc[j] = StringDesc{0, 0, nullptr};
      message(M_NO_MEMORY, errno, MSG_LONGJMP, "to duplicate string");
    }
    s.chars = p;
  }
}

void dup_str_nojmp(StringDesc* desc, uint32_t n, const char* context) {
  for (uint32_t i = 0; i < n; i++) {
    StringDesc& s = desc[i];
    if (!s.length || !s.owned) continue;
    char* p = new_chars(s.chars, s.length);
    if (!p) {
      s = StringDesc{0, 0, nullptr};
      message(M_NO_MEMORY, errno, MSG_INFO, context ? context : "to duplicate string");
      continue;
    }
    s.chars = p;
  }
}

void del_str(StringDesc* desc, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    if (desc[i].owned && desc[i].chars) counting_free(desc[i].chars);
    desc[i] = StringDesc{0, 0, nullptr};
  }
}

void str_ensure_length(StringDesc* desc, uint32_t n) {
  if (n > MAX_STRING_LENGTH) n = MAX_STRING_LENGTH;
  if (n == 0) {
    del_str(desc, 1);
    return;
  }
  if (n > desc->length || !desc->owned || !desc->chars) {
    del_str(desc, 1);
    char* p = static_cast<char*>(counting_malloc(n + 1));
    if (!p) message(M_NO_MEMORY, errno, MSG_LONGJMP, "ensuring string length");
    desc->chars = p;
    desc->owned = 1;
  }
  desc->length = static_cast<uint16_t>(n);
  desc->chars[n] = 0;
}

int STRING_strcmp(const StringDesc* a, const StringDesc* b) {
  uint32_t la = a->length, lb = b->length;
  int c = memcmp(str_chars(*a), str_chars(*b), la < lb ? la : lb);
  if (c) return c;
  return la < lb ? -1 : la > lb ? 1 : 0;
}

Variable* ret_str_as_STRING(const char* text) {
  Variable* t = gettmp();
  t->value.str = StringDesc{0, 0, nullptr};
  str_store(&t->value.str, text);
  t->type = TYP_STRING;
  t->flags = FLAG_TEMPORARY | FLAG_DYNAMIC;
  return t;
}

bool contains_STRING(const Variable* var) {
  if (var->type == TYP_STRING) return true;
  if (var->type == TYP_STRUCT && var->is_struct()) return tags_contain_string(var->sdef());
  return false;
}

// Case changes are plain ASCII whatever the locale, so results never depend on it.
void up_case(char* to, const char* from) {
  for (; *from; from++, to++) *to = ascii_upper(*from);
  *to = 0;
}

void down_case(char* to, const char* from) {
  for (; *from; from++, to++) *to = ascii_lower(*from);
  *to = 0;
}

void captialize(char* to, const char* from) {
  down_case(to, from);
  *to = ascii_upper(*to);
}
