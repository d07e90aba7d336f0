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

// The entry of the name (length 0: NUL-terminated), created when absent unless
// IDENT_LOOKUP is given. IDENT_UPCASE folds the name first; IDENT_KEEP_PTR keeps the
// caller's (static) characters instead of a copy. Null when absent or out of memory
// (reported with the caller's action).
IdentEntry* ident_hash(const char* name, int length, int flags, int action);
// Binary searches; both return the index or -1.

int binsrch(const char* key, const char* const* table, int count);
// table: array of pointers to records whose first field is an IdentEntry*.
int binsrch_ident(const IdentEntry* entry, void* const* table, int count);

// A growable sorted table of records keyed by name: count entries in strcmp order of
// their names, room for capacity; owned is 1 when the block was allocated here (and is
// freed when the table grows).
struct SearchTable {
  uint32_t count;
  uint32_t capacity;
  uint32_t owned;
  void* entries[];  // pointers to records whose first field is an IdentEntry*
};
constexpr uint32_t SEARCH_TABLE_INITIAL = 60;
// Index of the record's name in the table, inserting the record in order when absent;
// -1 when the table cannot be created or grown. A null table is created.
int binsrch_insert_ident(void* record, SearchTable** table);
