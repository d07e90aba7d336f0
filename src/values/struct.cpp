#include "values/struct.h"

#include <cstring>

#include "interp/message.h"
#include "values/temps.h"

namespace {

// Walks every STRING and structure field of n records, calling f(string) for each
// StringDesc and recursing into nested structures.
template <typename F>
void for_each_string(StructDef* sd, uint8_t* data, uint32_t n, F&& f) {
  for (uint32_t r = 0; r < n; r++) {
    uint8_t* rec = data + static_cast<size_t>(r) * static_cast<size_t>(sd->length);
    for (int t = 0; t < sd->n_tags; t++) {
      TagEntry& te = sd->tags[t];
      uint32_t count = (te.desc.flags & FLAG_HAS_DESC) ? te.desc.value.s.arr->n_elts : 1;
      if (te.desc.flags & FLAG_STRUCT) {
        for_each_string(te.desc.value.s.sdef, rec + te.offset, count, f);
      } else if (te.desc.type == TYP_STRING) {
        auto* s = reinterpret_cast<StringDesc*>(rec + te.offset);
        for (uint32_t i = 0; i < count; i++) f(s[i]);
      }
    }
  }
}

}  // namespace

void dup_str_struct(StructDef* sdef, uint8_t* data, uint32_t n) {
  // First make every copied descriptor non-owning so that a failure part way leaves
  // nothing that would be freed twice.
  for_each_string(sdef, data, n, [](StringDesc& s) { s.owned = 0; });
  for_each_string(sdef, data, n, [](StringDesc& s) {
    if (!s.length) {
      s = StringDesc{0, 0, nullptr};
      return;
    }
    auto* p = static_cast<char*>(counting_malloc(s.length + 1u));
    if (!p) {
      s = StringDesc{0, 0, nullptr};
      message(M_NO_MEMORY, 0, MSG_LONGJMP, "duplicating structure");
    }
    memcpy(p, s.chars, s.length);
    p[s.length] = 0;
    s.chars = p;
    s.owned = 1;
  });
}

void del_str_struct(StructDef* sdef, uint8_t* data, uint32_t n) {
  for_each_string(sdef, data, n, [](StringDesc& s) {
    if (s.owned && s.chars) counting_free(s.chars);
    s = StringDesc{0, 0, nullptr};
  });
}

void del_anon_struct(StructDef* sdef) {
  if (!sdef || !is_anonymous(sdef)) return;
  if (--sdef->refs > 0) return;
  for (int t = 0; t < sdef->n_tags; t++) {
    TagEntry& te = sdef->tags[t];
    if ((te.desc.flags & FLAG_STRUCT) && is_anonymous(te.desc.value.s.sdef)) del_anon_struct(te.desc.value.s.sdef);
  }
  counting_free(sdef);
}

const char* struct_print_name(const StructDef* sdef) { return sdef->name ? sdef->name->name : "Anonymous"; }
