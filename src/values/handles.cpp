// The handle tree. Chains of the identifier table are kept in decreasing identifier
// order, so a lookup stops at the first smaller identifier. Subtrees are walked with an
// explicit list, never by recursion, so that a deep tree cannot exhaust the stack.
#include "values/handles.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/message.h"
#include "values/strings.h"
#include "values/temps.h"

HandleRec handle_root{};

namespace {

constexpr int kRefill = 20;
constexpr int32_t kMaxId = 0x7fffffff;

HandleRec* chains[HANDLE_CHAINS];
HandleRec* free_records = nullptr;
int32_t next_id = 1;
bool wrapped = false;  // the counter has passed the largest identifier once

HandleRec*& chain_of(int32_t id) { return chains[static_cast<uint32_t>(id) % HANDLE_CHAINS]; }

HandleRec* take_record() {
  if (!free_records) {
    auto* block = static_cast<HandleRec*>(counting_malloc(sizeof(HandleRec) * kRefill));
    if (!block) message(M_NO_MEMORY, errno, MSG_LONGJMP, "getting handle record memory");
    for (int i = 0; i < kRefill; i++) {
      block[i].link = free_records;
      free_records = &block[i];
    }
  }
  HandleRec* h = free_records;
  free_records = h->link;
  std::memset(static_cast<void*>(h), 0, sizeof *h);
  return h;
}

int32_t take_id() {
  const int32_t start = next_id;
  for (;;) {
    const int32_t id = next_id;
    next_id = next_id == kMaxId ? 1 : next_id + 1;
    if (next_id == 1) wrapped = true;
    if (!wrapped || !handle_lookup(id)) return id;
    if (next_id == start) message(M_HANDLE_IDS_USED, 0, MSG_LONGJMP);
  }
}

void enter(HandleRec* h) {
  HandleRec** p = &chain_of(h->id);
  while (*p && (*p)->id > h->id) p = &(*p)->link;
  h->link = *p;
  *p = h;
}

void remove_entry(HandleRec* h) {
  for (HandleRec** p = &chain_of(h->id); *p; p = &(*p)->link) {
    if (*p == h) {
      *p = h->link;
      return;
    }
  }
  message(M_INTERNAL, 0, MSG_LONGJMP, "attempt to delete nonexistant handle from hash table");
}

void link(HandleRec* h, HandleRec* ref, int mode) {
  if (!ref) ref = &handle_root;
  if (ref == &handle_root && mode == HANDLE_SIBLING) mode = HANDLE_FIRST_CHILD;
  switch (mode) {
    case HANDLE_FIRST_CHILD:
      h->parent = ref;
      h->sibling = ref->first_child;
      ref->first_child = h;
      break;
    case HANDLE_SIBLING:
      h->parent = ref->parent;
      h->sibling = ref->sibling;
      ref->sibling = h;
      break;
    default: {
      h->parent = ref;
      h->sibling = nullptr;
      HandleRec** p = &ref->first_child;
      while (*p) p = &(*p)->sibling;
      *p = h;
    }
  }
}

void unlink(HandleRec* h) {
  for (HandleRec** p = &h->parent->first_child; *p; p = &(*p)->sibling) {
    if (*p == h) {
      *p = h->sibling;
      break;
    }
  }
  h->parent = nullptr;
  h->sibling = nullptr;
}

// The handle's value owns what it holds.
void own_strings(Variable* v) {
  if (v->type != TYP_STRING || !v->is_scalar()) return;
  StringDesc& s = v->value.str;
  if (s.length && !s.owned) {
    str_store_n(&s, s.chars, s.length);
    v->flags |= FLAG_DYNAMIC;
  }
}

}  // namespace

HandleRec* handle_lookup(int32_t id) {
  for (HandleRec* h = chain_of(id); h && h->id >= id; h = h->link)
    if (h->id == id) return h;
  return nullptr;
}

HandleRec* handle_find(int32_t id) {
  HandleRec* h = id > 0 ? handle_lookup(id) : nullptr;
  if (!h) message(M_BAD_HANDLE, 0, MSG_LONGJMP, id);
  return h;
}

bool handle_within(const HandleRec* h, const HandleRec* ancestor) {
  for (; h; h = h->parent)
    if (h == ancestor) return true;
  return false;
}

HandleRec* handle_new(HandleRec* ref, int mode) {
  const int32_t id = take_id();
  HandleRec* h = take_record();
  h->id = id;
  enter(h);
  link(h, ref, mode);
  return h;
}

void handle_relink(HandleRec* h, HandleRec* ref, int mode) {
  unlink(h);
  link(h, ref, mode);
}

void handle_free(HandleRec* h) {
  // The subtree in preorder; entries leave the table from the deepest up.
  std::vector<HandleRec*> all{h};
  for (size_t i = 0; i < all.size(); i++)
    for (HandleRec* c = all[i]->first_child; c; c = c->sibling) all.push_back(c);
  for (size_t i = all.size(); i-- > 0;) remove_entry(all[i]);
  unlink(h);
  for (HandleRec* r : all) {
    delvar(&r->value);
    r->link = free_records;
    free_records = r;
  }
}

void handle_free_all() {
  while (handle_root.first_child) handle_free(handle_root.first_child);
}

void handle_store(HandleRec* h, Variable* src, bool move) {
  delvar(&h->value);
  var_copy_strip(src, &h->value, move ? 1 : 0);
  own_strings(&h->value);
}
