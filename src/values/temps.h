// Temporaries and memory: the fixed pool of 140 temporary Variables with the list of
// those checked out, the counting allocator behind all value memory (and MEMORY's
// figures), and the small-block allocator for permanent tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/variable.h"

constexpr int TEMP_POOL_SIZE = 140;

// A temporary record: the Variable comes first, so a Variable* of a temporary is also
// a TempRec*.
struct TempRec {
  Variable var;
  TempRec* next;
  TempRec* prev;
};

// A checked-out list: the current one, or one detached by mark_temps. Newest to oldest
// runs from the cursor through next; the sentinel closes the ring.
struct TempList {
  TempRec sentinel;
  TempRec* cursor;
};

// The pool's state, owned by temps.cpp; visible here only for the inline fast paths of
// gettmp, freetmp, mark_temps and sole_temp, which every routine call and scalar
// operation goes through.
namespace temp_state {
extern TempRec* free_head;  // null also before the pool is first set up
extern TempList* current;   // the checked-out list
}  // namespace temp_state

// gettmp when the free list is empty: sets the pool up on first use, else reports that
// all temporaries are taken.
Variable* gettmp_slow();
inline Variable* gettmp() {
  TempRec* t = temp_state::free_head;
  if (!t) return gettmp_slow();
  temp_state::free_head = t->next;
  t->var.type = 0;
  t->var.flags = FLAG_TEMPORARY;
  // Links t as the newest entry: before the cursor.
  TempList* l = temp_state::current;
  TempRec* c = l->cursor;
  t->next = c;
  t->prev = c->prev;
  c->prev->next = t;
  c->prev = t;
  l->cursor = t;
  return &t->var;
}
inline void freetmp(Variable* v) {
  TempRec* t = reinterpret_cast<TempRec*>(v);
  v->type = 0;
  v->flags = FLAG_TEMPORARY;
  TempList* l = temp_state::current;
  if (l->cursor == t) l->cursor = t->next;
  t->prev->next = t->next;
  t->next->prev = t->prev;
  if (l->sentinel.next == &l->sentinel) l->cursor = &l->sentinel;
  t->next = temp_state::free_head;
  t->prev = nullptr;
  temp_state::free_head = t;
}
void deltmp(Variable* t);
void* getscratch(Variable** out_var, int32_t n, int elem_size);
void initialize_temps();
TempList* mark_temps_slow(TempList* saved);
// With null: detaches the checked-out list and returns it (null when nothing is checked
// out). With a list: puts it back behind anything checked out meanwhile.
inline TempList* mark_temps(TempList* saved) {
  if (!saved) {
    const TempList* l = temp_state::current;
    if (l->sentinel.next == &l->sentinel) return nullptr;
  }
  return mark_temps_slow(saved);
}
TempList* move_temp_to_list(Variable* t, TempList* saved);
// Takes a checked-out temporary off the checked-out list (it stays checked out, and is
// not released when the list is), and puts it back as the newest entry.
void detach_temp(Variable* t);
void attach_temp(Variable* t);
// True when t is the only temporary on the checked-out list.
inline bool sole_temp(Variable* v) {
  const TempRec* t = reinterpret_cast<const TempRec*>(v);
  const TempList* l = temp_state::current;
  return l->sentinel.next == t && t->next == &l->sentinel;
}
int temp_list_handler(int op);

// Frees a temporary made in a scope when the scope ends, whether normally or by an
// error; release() hands it on instead.
struct TempGuard {
  Variable* v = nullptr;
  ~TempGuard() {
    if (v) deltmp(v);
  }
  Variable* release() {
    Variable* r = v;
    v = nullptr;
    return r;
  }
};

// Counting allocator.
struct MemCounters {
  uint32_t bytes_in_use;
  uint32_t n_malloc;
  uint32_t n_free;
};
extern MemCounters mem_counters;

// Value memory is refused (null, errno ENOMEM) once the bytes in use would pass the
// limit: the smallest of the physical memory, the control group's limit and
// VEK_MEMORY_LIMIT (bytes, or with a K, M or G suffix). Without it, a huge request
// succeeds on an over-committing system and the process is killed when the pages are
// touched. set_memory_limit(0) restores the default.
void* counting_malloc(size_t n);
void counting_free(void* p);
size_t memory_limit();
void set_memory_limit(size_t bytes);
void* ur_malloc(size_t n, int severity);
int ur_free(void* p, int severity);
void* small_malloc(size_t n);

// MEMORY(): bytes in use, allocations, frees, free temporaries.
Variable* memory();
// HELP's memory line (without newline).
void help_vm(char* buf, size_t buflen);
