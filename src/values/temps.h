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

// A detached checked-out list (see mark_temps); opaque to callers.
struct TempList;

Variable* gettmp();
void freetmp(Variable* t);
void deltmp(Variable* t);
void* getscratch(Variable** out_var, int32_t n, int elem_size);
void initialize_temps();
TempList* mark_temps(TempList* saved);
TempList* move_temp_to_list(Variable* t, TempList* saved);
// Takes a checked-out temporary off the checked-out list (it stays checked out, and is
// not released when the list is), and puts it back as the newest entry.
void detach_temp(Variable* t);
void attach_temp(Variable* t);
// True when t is the only temporary on the checked-out list.
bool sole_temp(Variable* t);
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
