#include "values/ident.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/message.h"
#include "values/temps.h"

namespace {

// Hash coefficients: a fixed table of pseudo-random 31-bit values (any fixed table
// gives the same behaviour apart from chain order). Three values are pinned so that the
// chains come out as they always have.
constexpr std::array<uint32_t, 256> make_coefficients() {
  std::array<uint32_t, 256> t{};
  uint64_t x = 0x2545F4914F6CDD1Dull;
  for (auto& v : t) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v = static_cast<uint32_t>(x >> 33) & 0x7fffffffu;
  }
  t[0] = 603237760;
  t[1] = 346886080;
  t['A'] = 977386432;
  return t;
}
constexpr std::array<uint32_t, 256> kCoefficients = make_coefficients();

IdentEntry* buckets[IDENT_HASH_SIZE];

uint32_t bucket_of(const char* s, int n) {
  uint32_t h = 0;
  for (int i = 0; i < n; i++) h = kCoefficients[static_cast<unsigned char>(s[i])] + 2 * h;
  return h % IDENT_HASH_SIZE;
}

const IdentEntry* ident_of(void* record) { return *static_cast<IdentEntry**>(record); }

size_t table_bytes(uint32_t capacity) { return sizeof(SearchTable) + capacity * sizeof(void*); }

}  // namespace

IdentEntry* ident_hash(const char* name, int length, int flags, int action) {
  if (length == 0) length = static_cast<int>(strlen(name));
  static std::string folded;
  if (flags & IDENT_UPCASE) {
    folded.assign(name, static_cast<size_t>(length));
    for (char& c : folded) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    name = folded.c_str();
  }
  // Chains are ordered by increasing length and, within a length, by decreasing name.
  IdentEntry** link = &buckets[bucket_of(name, length)];
  for (; *link && (*link)->length < length; link = &(*link)->next) {}
  for (; *link && (*link)->length == length; link = &(*link)->next) {
    int c = strncmp(name, (*link)->name, static_cast<size_t>(length));
    if (c == 0) return *link;
    if (c > 0) break;
  }
  if (flags & IDENT_LOOKUP) return nullptr;

  // A folded name lives in a reused buffer, so it is always copied.
  bool keep = (flags & IDENT_KEEP_PTR) && !(flags & IDENT_UPCASE);
  size_t bytes = sizeof(IdentEntry) + (keep ? 0 : static_cast<size_t>(length) + 1);
  auto* e = static_cast<IdentEntry*>(counting_malloc(bytes));
  if (!e) {
    message(M_NO_MEMORY, errno, action, "adding identifier to hash table");
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
  e->next = *link;
  *link = e;
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
    auto* t = static_cast<SearchTable*>(counting_malloc(table_bytes(SEARCH_TABLE_INITIAL)));
    if (!t) {
      message(M_NO_MEMORY, errno, MSG_CONTINUE, "to create binary identifier search table");
      return -1;
    }
    t->count = 1;
    t->capacity = SEARCH_TABLE_INITIAL;
    t->owned = 1;
    t->entries[0] = record;
    *table = t;
    return 0;
  }
  SearchTable* t = *table;
  const char* key = ident_of(record)->name;
  int lo = 0, hi = static_cast<int>(t->count) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = strcmp(key, ident_of(t->entries[mid])->name);
    if (c == 0) return mid;
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  if (t->count >= t->capacity) {
    uint32_t cap = t->capacity ? t->capacity * 2 : SEARCH_TABLE_INITIAL;
    auto* n = static_cast<SearchTable*>(counting_malloc(table_bytes(cap)));
    if (!n) {
      message(M_NO_MEMORY, errno, MSG_CONTINUE, "to expand binary identifier search table");
      return -1;
    }
    n->count = t->count;
    n->capacity = cap;
    n->owned = 1;
    memcpy(n->entries, t->entries, t->count * sizeof(void*));
    if (t->owned) counting_free(t);
    *table = t = n;
  }
  memmove(t->entries + lo + 1, t->entries + lo, (t->count - static_cast<uint32_t>(lo)) * sizeof(void*));
  t->entries[lo] = record;
  t->count++;
  return lo;
}
