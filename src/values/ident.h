// The interned identifier table: every name (routine, variable, keyword, tag, structure)
// is entered once, and the address of its IdentEntry is its identity everywhere. Also
// the sorted search tables of records keyed by an IdentEntry.
#pragma once

#include <cstdint>

struct IdentEntry {
  IdentEntry* next;
  const char* name;
  int32_t length;
  // The name's characters follow inline unless the caller kept its own pointer.
};

constexpr int IDENT_HASH_SIZE = 1051;
constexpr int IDENT_UPCASE = 1;
constexpr int IDENT_LOOKUP = 2;
constexpr int IDENT_KEEP_PTR = 4;

IdentEntry* ident_hash(const char* name, int length, int flags, int action);

int binsrch(const char* key, const char* const* table, int count);
// table: array of pointers to records whose first field is an IdentEntry*.
int binsrch_ident(const IdentEntry* entry, void* const* table, int count);

struct SearchTable {
  uint32_t count;
  uint32_t capacity;
  uint32_t owned;
  void** entries;
};
int binsrch_insert_ident(void* record, SearchTable** table);
