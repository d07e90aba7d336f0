#include "values/ident.h"

#include <cctype>
#include <cstring>

#include "interp/message.h"
#include "values/temps.h"

namespace {

IdentEntry* buckets[IDENT_HASH_SIZE];

unsigned hash_name(const char* s, int n) {
  unsigned h = 0;
  for (int i = 0; i < n; i++) h = h * 31 + static_cast<unsigned char>(s[i]);
  return h % IDENT_HASH_SIZE;
}

const IdentEntry* ident_of(void* record) { return *static_cast<IdentEntry**>(record); }

}  // namespace

IdentEntry* ident_hash(const char* name, int length, int flags, int action) {
  if (length == 0) length = static_cast<int>(strlen(name));
  static char folded[1024];
  if ((flags & IDENT_UPCASE) && length < static_cast<int>(sizeof folded)) {
    for (int i = 0; i < length; i++) folded[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
    folded[length] = 0;
    name = folded;
  }
  unsigned h = hash_name(name, length);
  for (IdentEntry* e = buckets[h]; e; e = e->next)
    if (e->length == length && memcmp(e->name, name, static_cast<size_t>(length)) == 0) return e;
  if (flags & IDENT_LOOKUP) return nullptr;
  bool keep = (flags & IDENT_KEEP_PTR) && !(flags & IDENT_UPCASE);
  size_t bytes = sizeof(IdentEntry) + (keep ? 0 : static_cast<size_t>(length) + 1);
  auto* e = static_cast<IdentEntry*>(small_malloc(bytes));
  if (!e) {
    message(M_NO_MEMORY, 0, action, "Entering identifier");
    return nullptr;
  }
  e->length = length;
  if (keep) {
    e->name = name;
  } else {
    char* chars = reinterpret_cast<char*>(e + 1);
    memcpy(chars, name, static_cast<size_t>(length));
    chars[length] = 0;
    e->name = chars;
  }
  e->next = buckets[h];
  buckets[h] = e;
  return e;
}

int binsrch(const char* key, const char* const* table, int count) {
  int lo = 0, hi = count - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = strcmp(key, table[mid]);
    if (c == 0) return mid;
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  return -1;
}

int binsrch_ident(const IdentEntry* entry, void* const* table, int count) {
  int lo = 0, hi = count - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    const IdentEntry* e = ident_of(table[mid]);
    if (e == entry) return mid;
    int c = strcmp(entry->name, e->name);
    if (c == 0) return mid;
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  return -1;
}

int binsrch_insert_ident(void* record, SearchTable** table) {
  if (!*table) {
    auto* t = static_cast<SearchTable*>(small_malloc(sizeof(SearchTable)));
    if (!t) return -1;
    *t = SearchTable{0, 0, 1, nullptr};
    *table = t;
  }
  SearchTable* t = *table;
  const IdentEntry* key = ident_of(record);
  int lo = 0, hi = static_cast<int>(t->count) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = strcmp(key->name, ident_of(t->entries[mid])->name);
    if (c == 0) return mid;
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  if (t->count == t->capacity) {
    uint32_t cap = t->capacity ? t->capacity * 2 : 16;
    auto* n = static_cast<void**>(counting_malloc(cap * sizeof(void*)));
    if (!n) return -1;
    if (t->count) memcpy(n, t->entries, t->count * sizeof(void*));
    if (t->entries && t->owned) counting_free(t->entries);
    t->entries = n;
    t->capacity = cap;
    t->owned = 1;
  }
  memmove(t->entries + lo + 1, t->entries + lo, (t->count - static_cast<uint32_t>(lo)) * sizeof(void*));
  t->entries[lo] = record;
  t->count++;
  return lo;
}
