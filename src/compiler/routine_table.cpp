#include "compiler/routine_table.h"

#include <cerrno>
#include <cstring>

#include "base/message.h"
#include "values/temps.h"

RoutineTable* sys_fun_table = nullptr;
RoutineTable* sys_pro_table = nullptr;

namespace {

size_t table_bytes(uint32_t capacity) { return sizeof(RoutineTable) + capacity * sizeof(const RoutineEntry*); }

RoutineTable* new_table(uint32_t capacity) {
  auto* t = static_cast<RoutineTable*>(counting_malloc(table_bytes(capacity)));
  if (!t) return nullptr;
  t->count = 0;
  t->capacity = capacity;
  t->owned = 1;
  return t;
}

// Binary search by exact name; midpoint rounded towards zero.
int table_index(const RoutineTable* t, const char* name) {
  if (!t) return -1;
  int lo = 0, hi = static_cast<int>(t->count) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = strcmp(name, t->entries[mid]->name);
    if (c == 0) return mid;
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
  }
  return -1;
}

}  // namespace

int add_to_routine_table(RoutineTable** table, const RoutineEntry* entries, int count) {
  for (int k = 1; k < count; k++) {
    if (strcmp(entries[k - 1].name, entries[k].name) >= 0) {
      message(M_INTERNAL, 0, MSG_CONTINUE, "System table additions not in order");
      return 0;
    }
  }
  RoutineTable* old = *table;
  uint32_t old_count = old ? old->count : 0;
  uint32_t replaced = 0;
  for (int k = 0; k < count; k++)
    if (table_index(old, entries[k].name) >= 0) replaced++;
  uint32_t new_count = old_count + static_cast<uint32_t>(count) - replaced;

  RoutineTable* dst = old;
  if (!old || new_count > old->capacity) {
    dst = new_table(new_count + 128);
    if (!dst) {
      message(M_NO_MEMORY, errno, MSG_CONTINUE, "Extending system tables");
      return 0;
    }
  }
  // Merge from the top down: the write position never falls below the read position,
  // so the merge also works in place.
  int w = static_cast<int>(new_count) - 1, i = static_cast<int>(old_count) - 1, j = count - 1;
  while (j >= 0) {
    int c = i >= 0 ? strcmp(old->entries[i]->name, entries[j].name) : -1;
    if (c > 0) {
      dst->entries[w--] = old->entries[i--];
    } else {
      if (c == 0) i--;
      dst->entries[w--] = &entries[j--];
    }
  }
  if (dst != old) {
    for (; i >= 0; i--) dst->entries[i] = old->entries[i];
    if (old && old->owned) counting_free(old);
  }
  dst->count = new_count;
  *table = dst;
  return 1;
}

int add_system_routine(const RoutineEntry* entries, bool is_function, int count) {
  return add_to_routine_table(is_function ? &sys_fun_table : &sys_pro_table, entries, count);
}

const RoutineEntry* routine_lookup(const RoutineTable* table, const char* name) {
  int k = table_index(table, name);
  return k >= 0 ? table->entries[k] : nullptr;
}

const RoutineEntry* is_sys_function(const char* name) { return routine_lookup(sys_fun_table, name); }
const RoutineEntry* is_procedure(const char* name) { return routine_lookup(sys_pro_table, name); }
int sys_fun_index(const char* name) { return table_index(sys_fun_table, name); }

void init_routine_tables() {
  static bool done = false;
  if (done) return;
  done = true;
  initialize_temps();
  if (!sys_fun_table) sys_fun_table = new_table(1);
  if (!sys_pro_table) sys_pro_table = new_table(1);
  if (!sys_fun_table || !sys_pro_table) message(M_NO_MEMORY, errno, MSG_EXIT, "Allocating system tables");
}
