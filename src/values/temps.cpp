#include "values/temps.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <unistd.h>

#include <sys/mman.h>

#include "base/message.h"

MemCounters mem_counters{0, 0, 0};

namespace {
// The current checked-out list. Detached lists (mark_temps) live in their own TempList.
TempList current_list;
}  // namespace

namespace temp_state {
TempRec* free_head = nullptr;
TempList* current = &current_list;
}  // namespace temp_state

namespace {

using temp_state::current;
using temp_state::free_head;

TempRec pool[TEMP_POOL_SIZE];
bool pool_initialised = false;

// The counters are 32-bit (MEMORY reports longs); the limit needs the full figure.
size_t total_in_use = 0;
size_t limit_bytes = 0;

// A control group limit in bytes from the first of these files that holds a number.
size_t cgroup_limit() {
  for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    std::ifstream in(path);
    unsigned long long v = 0;
    if (in >> v && v > 0) return static_cast<size_t>(v);
  }
  return SIZE_MAX;
}

// VEK_MEMORY_LIMIT: a number of bytes, optionally followed by K, M or G.
size_t configured_limit() {
  const char* text = getenv("VEK_MEMORY_LIMIT");
  if (!text || !*text) return SIZE_MAX;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  int shift = 0;
  switch (*end) {
    case 'k':
    case 'K': shift = 10; break;
    case 'm':
    case 'M': shift = 20; break;
    case 'g':
    case 'G': shift = 30; break;
    default: break;
  }
  if (end == text || v == 0 || v > (SIZE_MAX >> shift)) return SIZE_MAX;
  return static_cast<size_t>(v) << shift;
}

size_t default_memory_limit() {
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  size_t limit = pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page) : SIZE_MAX;
  limit = std::min(limit, cgroup_limit());
  return std::min(limit, configured_limit());
}
void list_init(TempList* l) {
  l->sentinel.next = &l->sentinel;
  l->sentinel.prev = &l->sentinel;
  l->cursor = &l->sentinel;
}

bool list_empty(const TempList* l) { return l->sentinel.next == &l->sentinel; }

// Links t as the newest temporary of list l.
void link_newest(TempList* l, TempRec* t) {
  TempRec* c = l->cursor;  // newest so far, or the sentinel
  // Newest-to-oldest order is cursor->next->...; insert t before the cursor.
  t->next = c;
  t->prev = c->prev;
  c->prev->next = t;
  c->prev = t;
  l->cursor = t;
}

void unlink(TempList* l, TempRec* t) {
  if (l->cursor == t) l->cursor = t->next;
  t->prev->next = t->next;
  t->next->prev = t->prev;
  if (list_empty(l)) l->cursor = &l->sentinel;
}

TempRec* rec_of(Variable* v) { return reinterpret_cast<TempRec*>(v); }

// Detached lists come and go with every user routine call; released ones are kept for
// reuse (chained through their cursor), so that a call allocates nothing.
TempList* spare_lists = nullptr;

TempList* new_list() {
  TempList* l = spare_lists;
  if (l) spare_lists = reinterpret_cast<TempList*>(l->cursor);
  else l = new TempList;
  list_init(l);
  return l;
}

void drop_list(TempList* l) {
  l->cursor = reinterpret_cast<TempRec*>(spare_lists);
  spare_lists = l;
}

// Which list holds t: the current list, unless t was moved to a detached one. Temporaries
// are only freed from the current list in practice; detached lists are restored first.
}  // namespace

void initialize_temps() {
  list_init(&current_list);
  current = &current_list;
  free_head = nullptr;
  for (int i = TEMP_POOL_SIZE - 1; i >= 0; i--) {
    pool[i].var.type = 0;
    pool[i].var.flags = FLAG_TEMPORARY;
    pool[i].next = free_head;
    pool[i].prev = nullptr;
    free_head = &pool[i];
  }
  pool_initialised = true;
}

Variable* gettmp_slow() {
  if (!pool_initialised) initialize_temps();
  if (!free_head) message(M_TEMP_LIMIT, 0, MSG_LONGJMP);
  return gettmp();
}

void deltmp(Variable* v) {
  if (v->flags & FLAG_DYNAMIC) delvar(v);
  freetmp(v);
}

void* getscratch(Variable** out_var, int32_t n, int elem_size) {
  Variable* t = gettmp();
  t->type = TYP_BYTE;
  make_array(1, &n, t, elem_size);
  *out_var = t;
  return t->value.s.arr->data;
}

TempList* mark_temps_slow(TempList* saved) {
  if (!pool_initialised) initialize_temps();
  if (!saved) {
    if (list_empty(current)) return nullptr;
    TempList* l = new_list();
    // Move the whole chain to the new anchor.
    TempRec* first = current->sentinel.next;
    TempRec* last = current->sentinel.prev;
    l->sentinel.next = first;
    l->sentinel.prev = last;
    first->prev = &l->sentinel;
    last->next = &l->sentinel;
    l->cursor = current->cursor;
    list_init(current);
    return l;
  }
  // Restore: anything still checked out on the current list is appended as newest.
  TempRec* first = saved->sentinel.next;
  TempRec* last = saved->sentinel.prev;
  if (first != &saved->sentinel) {
    if (list_empty(current)) {
      current->sentinel.next = first;
      current->sentinel.prev = last;
      first->prev = &current->sentinel;
      last->next = &current->sentinel;
      current->cursor = saved->cursor;
    } else {
      // Older saved temporaries go after the current ones in newest-to-oldest order.
      TempRec* cur_last = current->sentinel.prev;
      cur_last->next = first;
      first->prev = cur_last;
      last->next = &current->sentinel;
      current->sentinel.prev = last;
    }
  }
  drop_list(saved);
  return nullptr;
}

TempList* move_temp_to_list(Variable* v, TempList* saved) {
  TempRec* t = rec_of(v);
  unlink(current, t);
  if (!saved) {
    saved = new_list();
  }
  link_newest(saved, t);
  return saved;
}

void detach_temp(Variable* v) { unlink(current, rec_of(v)); }
void attach_temp(Variable* v) { link_newest(current, rec_of(v)); }

int temp_list_handler(int op) {
  if (!pool_initialised) initialize_temps();
  switch (op) {
    case 1: {
      int n = 0;
      for (TempRec* t = free_head; t; t = t->next) n++;
      return n;
    }
    case 2: {
      int n = 0;
      while (!list_empty(current)) {
        Variable* v = &current->sentinel.next->var;
        // delvar may itself fail on a corrupt descriptor; the temporary is already
        // undefined then, so release it without trying again.
        try {
          deltmp(v);
        } catch (const VekJump&) {
          freetmp(v);
        }
        n++;
      }
      return n;
    }
    case 3: {
      int n = 0;
      for (TempRec* t = current->sentinel.next; t != &current->sentinel; t = t->next) n++;
      return n;
    }
    default: return 0;
  }
}

size_t memory_limit() {
  if (!limit_bytes) limit_bytes = default_memory_limit();
  return limit_bytes;
}

void set_memory_limit(size_t bytes) { limit_bytes = bytes; }

// Blocks for large arrays start on a cache line, so that element loops run on aligned
// data, and from 2 MB on they ask for huge pages: a fresh array is then faulted in 2 MB
// at a time instead of 4 KB. The header before each block records the size asked for;
// every block counts as that size plus 16 bytes.
namespace {
constexpr size_t kBigBlock = size_t{1} << 20;
constexpr size_t kHugeBlock = size_t{2} << 20;
constexpr size_t head_bytes(size_t n) { return n >= kBigBlock ? 64 : 16; }

// The last freed block of at least this size is kept for the next large request it can
// serve (a statement that drops an array and makes one of about the same size, a loop
// that replaces a result): a fresh mapping would be faulted in and cleared page by page
// again. The kept pages are handed back lazily, so the system can take them when memory
// runs short.
constexpr size_t kKeptBlock = size_t{32} << 20;
struct KeptBlock {
  uint8_t* raw = nullptr;
  size_t size = 0;  // bytes usable after the header
};
KeptBlock kept;

void release_kept() {
  free(kept.raw);
  kept = {};
}

void keep_block(uint8_t* raw, size_t n) {
  release_kept();
  uintptr_t lo = (reinterpret_cast<uintptr_t>(raw) + 64 + 4095) & ~uintptr_t{4095};
  uintptr_t hi = (reinterpret_cast<uintptr_t>(raw) + 64 + n) & ~uintptr_t{4095};
  if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_FREE);
  kept = {raw, n};
}

// The kept block when it fits n without wasting more than a quarter of it.
uint8_t* take_kept(size_t n) {
  if (!kept.raw) return nullptr;
  if (kept.size < n || n < kept.size - kept.size / 4) {
    release_kept();
    return nullptr;
  }
  uint8_t* raw = kept.raw;
  kept = {};
  return raw;
}
}  // namespace

void* counting_malloc(size_t n) {
  size_t limit = memory_limit();
  if (n > SIZE_MAX - 64 || n + 16 > limit || total_in_use > limit - (n + 16)) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t head = head_bytes(n);
  uint8_t* raw;
  if (head == 16) {
    raw = static_cast<uint8_t*>(malloc(n + head));
    if (!raw) return nullptr;
  } else if (n >= kKeptBlock && (raw = take_kept(n))) {
    // Still advised for huge pages.
  } else {
    void* p = nullptr;
    if (posix_memalign(&p, 64, n + head) != 0) return nullptr;
    raw = static_cast<uint8_t*>(p);
    if (n >= kHugeBlock) {
      uintptr_t lo = (reinterpret_cast<uintptr_t>(raw) + 4095) & ~uintptr_t{4095};
      uintptr_t hi = (reinterpret_cast<uintptr_t>(raw) + n + head) & ~uintptr_t{4095};
      if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
    }
  }
  mem_counters.bytes_in_use += static_cast<uint32_t>(n + 16);
  total_in_use += n + 16;
  mem_counters.n_malloc++;
  uint8_t* user = raw + head;
  uint64_t size = n;
  memcpy(user - 8, &size, 8);
  return user;
}

void counting_free(void* p) {
  if (!p) return;
  auto* user = static_cast<uint8_t*>(p);
  uint64_t n;
  memcpy(&n, user - 8, 8);
  mem_counters.bytes_in_use -= static_cast<uint32_t>(n + 16);
  total_in_use -= n + 16;
  mem_counters.n_free++;
  if (n >= kKeptBlock && n <= memory_limit() / 4)
    keep_block(user - head_bytes(n), n);
  else
    free(user - head_bytes(n));
}

void* ur_malloc(size_t n, int severity) {
  void* p = counting_malloc(n);
  if (!p) message(M_NO_MEMORY, errno, severity, "in ur_malloc()");
  return p;
}

int ur_free(void* p, int /*severity*/) {
  counting_free(p);
  return 1;
}

void* small_malloc(size_t n) {
  static uint8_t* chunk = nullptr;
  static size_t left = 0;
  bool large = n > 100;
  n = (n + 7) & ~size_t{7};
  if (large) {
    void* p = counting_malloc(n);
    if (!p) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Allocating small tables");
    return p;
  }
  if (!chunk || left < n) {
    chunk = static_cast<uint8_t*>(counting_malloc(5000));
    if (!chunk) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Allocating small tables");
    left = 5000;
  }
  void* p = chunk;
  chunk += n;
  left -= n;
  return p;
}

Variable* memory() {
  int32_t n = 4;
  Variable* t = make_temp_array_of(TYP_LONG, 1, &n);
  auto* d = reinterpret_cast<int32_t*>(t->value.s.arr->data);
  d[0] = static_cast<int32_t>(mem_counters.bytes_in_use);
  d[1] = static_cast<int32_t>(mem_counters.n_malloc);
  d[2] = static_cast<int32_t>(mem_counters.n_free);
  d[3] = temp_list_handler(1);
  return t;
}

void help_vm(char* buf, size_t buflen) {
  snprintf(buf, buflen, "heap memory in use: %10u, calls to MALLOC: %10u, FREE: %10u", mem_counters.bytes_in_use,
           mem_counters.n_malloc, mem_counters.n_free);
}
