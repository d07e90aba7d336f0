#include "interp/routines.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "base/message.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

// Keywords --------------------------------------------------------------------------

namespace {

// Items to release at keyword clean-up: a Variable (freed when it is a temporary) or
// string characters of the given length.
struct CleanupItem {
  void* ptr;
  size_t length;
  bool is_variable;
};
std::vector<CleanupItem> cleanup_items;
std::vector<size_t> cleanup_levels;  // cleanup_items size when each level was opened

void record_item(void* p, size_t length, bool is_variable) {
  try {
    cleanup_items.push_back({p, length, is_variable});
  } catch (const std::bad_alloc&) {
    message(M_NO_MEMORY, 0, MSG_LONGJMP, "Allocating keyword list");
  }
}

void release_items(size_t from) {
  // Swap out first: freeing a temporary must not see the list half-released.
  while (cleanup_items.size() > from) {
    CleanupItem it = cleanup_items.back();
    cleanup_items.pop_back();
    if (it.is_variable) {
      auto* v = static_cast<Variable*>(it.ptr);
      if (v->is_temp()) deltmp(v);
    } else {
      counting_free(it.ptr);
    }
  }
}

const char* routine_name() {
  const char* n = message_hooks.current_sysroutine ? message_hooks.current_sysroutine() : nullptr;
  return n ? n : "";
}

size_t target_size(const KwEntry& e) {
  if (e.flags & KW_BITFLAG) return sizeof(uint32_t);
  if (e.flags & KW_ARRAY && !(e.flags & KW_VARIABLE)) return 0;  // the KwArray's data instead
  if (e.flags & KW_VARIABLE) return sizeof(Variable*);
  switch (e.type) {
    case TYP_LONG: return sizeof(int32_t);
    case TYP_FLOAT: return sizeof(float);
    case TYP_DOUBLE: return sizeof(double);
    case TYP_STRING: return sizeof(StringDesc);
    default: return 0;
  }
}

bool is_array_keyword(const KwEntry& e) { return (e.flags & KW_ARRAY) && !(e.flags & KW_VARIABLE); }

void clear_target(const KwEntry& e) {
  if (!e.value) return;
  if (is_array_keyword(e)) {
    auto* a = static_cast<KwArray*>(e.value);
    if (a->data && a->max_count > 0)
      memset(a->data, 0, static_cast<size_t>(a->max_count) * static_cast<size_t>(type_size[e.type]));
    return;
  }
  memset(e.value, 0, target_size(e));
}

void build_clear_list(const KwEntry* first, KwClearList* list) {
  try {
    for (const KwEntry* e = first; e->name; e++) {
      if (e->present) list->words.push_back(e->present);
      if (!(e->flags & KW_CLEAR) || !e->value) continue;
      if (is_array_keyword(*e)) {
        auto* a = static_cast<KwArray*>(e->value);
        if (a->data && a->max_count > 0)
          list->blocks.emplace_back(static_cast<size_t>(a->max_count) * static_cast<size_t>(type_size[e->type]),
                                    a->data);
      } else if (size_t n = target_size(*e)) {
        list->blocks.emplace_back(n, e->value);
      }
    }
  } catch (const std::bad_alloc&) {
    list->words.clear();
    list->blocks.clear();
    message(M_NO_MEMORY, 0, MSG_LONGJMP, "Allocating keyword list");
  }
  list->built = true;
}

// Step 1 of decoding: forget the previous call's keywords.
void reset_outputs(const KwEntry* table, const KwEntry* first, int mask) {
  if (table->name && !table->name[0]) {
    auto* list = static_cast<KwClearList*>(table->value);
    if (list) {
      if (!list->built) build_clear_list(first, list);
      for (int32_t* w : list->words) *w = 0;
      for (auto& [n, p] : list->blocks) memset(p, 0, n);
      return;
    }
  }
  for (const KwEntry* e = first; e->name; e++) {
    if (!(e->mask & mask)) continue;
    if (e->present) *e->present = 0;
    if (e->flags & KW_CLEAR) clear_target(*e);
  }
}

bool abbreviates(const char* given, size_t len, const KwEntry& e) { return strncmp(given, e.name, len) == 0; }

// Finds the entry a keyword name selects. The entries are [0, n); the search looks at
// [lo, n) only (keywords of a call arrive sorted, so each one lies further down the
// table than the one before); prev is the previous keyword's entry or -1.
int match_keyword(const KwEntry* t, int n, int lo, int prev, const char* given, int mask) {
  size_t len = strlen(given);
  int l = lo, h = n - 1, hit = -1;
  while (l <= h) {
    int mid = (l + h) / 2;
    int c = strncmp(given, t[mid].name, len);
    if (c == 0) {
      hit = mid;
      break;
    }
    if (c < 0) h = mid - 1;
    else l = mid + 1;
  }
  // All names the given one abbreviates form one run of the sorted table. More than one
  // of them applying to this routine is ambiguous, even when one matches exactly.
  int found = -1, applicable = 0;
  if (hit >= 0) {
    int a = hit, b = hit;
    while (a > 0 && abbreviates(given, len, t[a - 1])) a--;
    while (b < n - 1 && abbreviates(given, len, t[b + 1])) b++;
    for (int k = a; k <= b; k++) {
      if (!(t[k].mask & mask)) continue;
      applicable++;
      if (k >= lo && found < 0) found = k;
    }
  }
  if (found < 0) {
    if (prev >= 0 && abbreviates(given, len, t[prev]))
      message(M_KW_DUPLICATE, 0, MSG_LONGJMP, t[prev].name, routine_name());
    message(M_KW_NOT_ALLOWED, 0, MSG_LONGJMP, given, routine_name());
  }
  if (applicable > 1) message(M_KW_AMBIGUOUS, 0, MSG_LONGJMP, given);
  return found;
}

void store_string(const KwEntry& e, Variable* v, bool consume) {
  auto* dst = static_cast<StringDesc*>(e.value);
  if (v->type == TYP_STRING) {
    StringDesc s = v->value.str;
    if (consume && v->is_temp() && s.owned && s.chars) {
      record_item(s.chars, s.length, false);
      v->value.str = StringDesc{0, 0, nullptr};
    }
    s.owned = 0;
    *dst = s;
    return;
  }
  StringDesc s{0, 0, nullptr};
  convert(&v->value, &s, 1, v->type, TYP_STRING);
  if (s.owned && s.chars) {
    try {
      cleanup_items.push_back({s.chars, s.length, false});
    } catch (const std::bad_alloc&) {
      counting_free(s.chars);
      message(M_NO_MEMORY, 0, MSG_LONGJMP, "Allocating keyword list");
    }
  }
  s.owned = 0;
  *dst = s;
}

void store_array(const KwEntry& e, Variable* v) {
  auto* a = static_cast<KwArray*>(e.value);
  if (v->is_file()) var_error(M_NO_FILE_STRUCT, v, MSG_LONGJMP);
  auto n = static_cast<int32_t>(v->n_elts());
  if (n < a->min_count || n > a->max_count)
    message(M_KW_ARRAY_COUNT, 0, MSG_LONGJMP, varname(v), a->min_count, a->max_count);
  if (e.type == TYP_STRING) {
    auto* dst = static_cast<StringDesc*>(a->data);
    if (v->type == TYP_STRING) {
      auto* src = static_cast<const StringDesc*>(v->data_ptr());
      for (int32_t k = 0; k < n; k++) dst[k] = StringDesc{src[k].length, 0, src[k].chars};
    } else {
      for (int32_t k = 0; k < n; k++) dst[k] = StringDesc{0, 0, nullptr};
      convert(v->data_ptr(), dst, n, v->type, TYP_STRING);
      for (int32_t k = 0; k < n; k++) {
        if (dst[k].owned && dst[k].chars) {
          try {
            cleanup_items.push_back({dst[k].chars, dst[k].length, false});
          } catch (const std::bad_alloc&) {
            for (int32_t j = k; j < n; j++)
              if (dst[j].owned && dst[j].chars) counting_free(dst[j].chars);
            message(M_NO_MEMORY, 0, MSG_LONGJMP, "Allocating keyword list");
          }
        }
        dst[k].owned = 0;
      }
    }
  } else {
    convert(v->data_ptr(), a->data, n, v->type, e.type);
  }
  a->count = n;
}

// Step 3d-e: stores one keyword's value. With consume, v is a temporary made here
// (an _EXTRA tag), freed unless an output keyword keeps it.
void store_keyword(const KwEntry& e, Variable* v, bool consume) {
  if (e.present) *e.present = 1;
  uint16_t f = e.flags;
  bool kept = false;
  if (f & KW_BITFLAG) {
    if (variable_true(v) && e.value) *static_cast<uint32_t*>(e.value) |= f & KW_BITS;
  } else if ((f & KW_OUTPUT) == KW_OUTPUT) {
    *static_cast<Variable**>(e.value) = v;
    if (consume && v->is_temp()) {
      record_item(v, 0, true);
      kept = true;
    }
  } else if (f & KW_VARIABLE) {
    if (v->is_unnamed()) var_error(M_NOT_NAMED, v, MSG_LONGJMP);
    *static_cast<Variable**>(e.value) = v;
  } else if (f & KW_ARRAY) {
    store_array(e, v);
  } else {
    if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
    switch (e.type) {
      case TYP_LONG: *static_cast<int32_t*>(e.value) = long_scalar(v); break;
      case TYP_FLOAT: *static_cast<float*>(e.value) = static_cast<float>(double_scalar(v)); break;
      case TYP_DOUBLE: *static_cast<double*>(e.value) = double_scalar(v); break;
      case TYP_STRING: store_string(e, v, consume); break;
      default: message(M_INTERNAL, 0, MSG_LONGJMP, "get_kw_params: unknown keyword type");
    }
  }
  if (consume && v->is_temp() && !kept) deltmp(v);
}

// A temporary holding a copy of tag k of the structure record rec.
Variable* tag_temporary(const StructDef* sd, int k, uint8_t* rec) {
  const TagEntry& te = sd->tags[k];
  Variable view{};
  ArrayDesc shape{};
  view.type = te.desc.type;
  view.flags = FLAG_DYNAMIC;
  if (te.desc.flags & FLAG_HAS_DESC) {
    shape = *te.desc.value.s.arr;
    shape.data = rec + te.offset;
    view.flags |= FLAG_ARRAY | (te.desc.flags & FLAG_STRUCT);
    view.value.s.arr = &shape;
    view.value.s.sdef = te.desc.value.s.sdef;
  } else {
    memcpy(&view.value, rec + te.offset, static_cast<size_t>(type_size[view.type]));
  }
  Variable* t = gettmp();
  try {
    var_copy(&view, t);
  } catch (...) {
    deltmp(t);
    throw;
  }
  return t;
}

}  // namespace

int get_kw_params(int argc, Variable* argv[], KwNames argk, const KwEntry* kwtable, Variable* positional[],
                  int mask) {
  const KwEntry* first = kwtable;
  if (first && first->name && !first->name[0]) first++;  // header entry
  int n = 0;
  if (first)
    while (first[n].name) n++;
  if (kwtable) reset_outputs(kwtable, first, mask);

  int npos = 0, prev = -1;
  Variable* extra = nullptr;
  for (int i = 0; i < argc; i++) {
    const char* name = argk ? argk[i] : nullptr;
    if (!name || !name[0]) {
      if (positional) positional[npos] = argv[i];
      npos++;
    } else if (name[0] == '0') {
      extra = argv[i];
    } else {
      int k = match_keyword(first, n, prev + 1, prev, name, mask);
      store_keyword(first[k], argv[i], false);
      prev = k;
    }
  }

  if (extra) {
    if (!extra->is_struct()) var_error(M_NOT_STRUCT, extra, MSG_LONGJMP);
    const StructDef* sd = extra->sdef();
    uint8_t* rec = extra->arr()->data;
    for (int k = 0; k < sd->n_tags; k++) {
      const char* tag = sd->tags[k].tag->ident->name;
      int e = match_keyword(first, n, 0, -1, tag, mask);
      Variable* t = tag_temporary(sd, k, rec);
      try {
        store_keyword(first[e], t, true);
      } catch (...) {
        if (t->is_temp()) deltmp(t);
        throw;
      }
    }
  }
  return npos;
}

void keyword_cleanup(int action) {
  switch (action) {
    case KW_CLEANUP_ALL:
      cleanup_levels.clear();
      release_items(0);
      return;
    case KW_CLEANUP_OPEN:
      try {
        cleanup_levels.push_back(cleanup_items.size());
      } catch (const std::bad_alloc&) {
        message(M_NO_MEMORY, 0, MSG_LONGJMP, "Allocating keyword list");
      }
      return;
    case KW_CLEANUP_CLOSE: {
      if (cleanup_levels.empty()) message(M_INTERNAL, 0, MSG_LONGJMP, "KW_CLEANUP, bad nesting");
      size_t from = cleanup_levels.back();
      cleanup_levels.pop_back();
      release_items(from);
      return;
    }
    default: message(M_INTERNAL, 0, MSG_LONGJMP, "keyword_cleanup: Bad param\n");
  }
}

int variable_true(const Variable* v) {
  if (v->type == TYP_UNDEF) return 0;
  if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  const Value& x = v->value;
  switch (v->type) {
    case TYP_BYTE: return x.c != 0;
    case TYP_INT: return x.i != 0;
    case TYP_LONG: return x.l != 0;
    case TYP_FLOAT: return x.f != 0.0f;
    case TYP_DOUBLE: return x.d != 0.0;
    case TYP_COMPLEX: return x.cmp.r != 0.0f;
    case TYP_STRING: return x.str.length != 0;
    default: return 0;
  }
}
