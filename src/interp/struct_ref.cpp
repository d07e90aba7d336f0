// Tag chains: s[i].a[j].b read or stored as one reference. A chain is a list of levels,
// the base variable and then one per tag; each level selects some elements (all, or the
// byte offsets of a subscript) of the array at that level. Element addresses are the
// sums of every level's field offset and selected element offset.
#include "interp/struct_ref.h"

#include <cstring>

#include "base/message.h"
#include "interp/subscript.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

constexpr int kMaxChains = 4;
constexpr int kMaxTags = 10;

struct RefLevel {
  uint32_t field_offset;  // offset of the field in the enclosing record (0 for the base)
  int type;               // element type at this level
  StructDef* sdef;        // definition of the elements when they are records
  uint32_t elem_size;
  uint32_t count;         // selected elements
  const int32_t* offsets; // byte offsets of the selected elements; null: all, in order
  Variable* offsets_var;  // the temporary holding them
  int n_dim;              // shape of the selection
  uint32_t dims[MAX_DIMS];
};

struct RefChain {
  Variable* var;
  bool read_only;
  int n_levels;
  RefLevel level[kMaxTags + 1];
};

RefChain chains[kMaxChains];
int n_open = 0;

void set_shape(RefLevel& l, const ArrayDesc* a) {
  if (a) {
    l.count = a->n_elts;
    l.n_dim = a->n_dim;
    memcpy(l.dims, a->dims, sizeof l.dims);
  } else {
    l.count = 1;
    l.n_dim = 1;
    for (uint32_t& d : l.dims) d = 1;
  }
}

void select_subscripts(RefLevel& l, Variable* holder, int n_subs, int codes, Variable** stack_top, int* out_n) {
  Variable* offs = general_subscript(holder, stack_top, n_subs, codes, out_n);
  l.offsets_var = offs;
  l.offsets = reinterpret_cast<const int32_t*>(offs->value.s.arr->data);
  set_shape(l, offs->value.s.arr);
}

// Removes the innermost chain from the open list and returns a copy to work on, so that
// an error while fetching or storing never leaves it open.
RefChain take_chain() {
  if (n_open == 0) message(M_INTERNAL, 0, MSG_LONGJMP, "structure reference not open");
  return chains[--n_open];
}

void release_levels(const RefChain& c) {
  for (int i = 0; i < c.n_levels; i++)
    if (c.level[i].offsets_var) deltmp(c.level[i].offsets_var);
}

// Calls f(address) for every selected element, the innermost level varying fastest.
template <class F>
void walk(const RefChain& c, int lvl, uint8_t* base, F& f) {
  const RefLevel& l = c.level[lvl];
  uint8_t* field = base + l.field_offset;
  for (uint32_t k = 0; k < l.count; k++) {
    uint8_t* elem = field + (l.offsets ? static_cast<size_t>(l.offsets[k]) : static_cast<size_t>(k) * l.elem_size);
    if (lvl + 1 == c.n_levels) f(elem);
    else walk(c, lvl + 1, elem, f);
  }
}

uint64_t total_count(const RefChain& c) {
  uint64_t n = 1;
  for (int i = 0; i < c.n_levels; i++) n *= c.level[i].count;
  return n;
}

}  // namespace

void struct_refs_reset() { n_open = 0; }
int struct_refs_open() { return n_open; }

void struct_ref(Variable* var, int n_subs, int codes, Variable** stack_top, int* out_n, bool read_only) {
  *out_n = 0;
  if (var->flags & FLAG_FILE) var_error(M_NO_FILE, var, MSG_LONGJMP);
  if (!(var->flags & FLAG_STRUCT)) var_error(M_NOT_STRUCT, var, MSG_LONGJMP);
  if (n_open == kMaxChains) var_error(M_STRUCT_NESTING, var, MSG_LONGJMP);
  RefChain& c = chains[n_open];
  c.var = var;
  c.read_only = read_only || (var->flags & FLAG_CONSTANT);
  c.n_levels = 1;
  RefLevel& l = c.level[0];
  l.field_offset = 0;
  l.type = TYP_STRUCT;
  l.sdef = var->value.s.sdef;
  l.elem_size = static_cast<uint32_t>(l.sdef->length);
  l.offsets = nullptr;
  l.offsets_var = nullptr;
  if (n_subs) select_subscripts(l, var, n_subs, codes, stack_top, out_n);
  else set_shape(l, var->value.s.arr);
  n_open++;
}

void struct_tag_ref(IdentEntry* tag, int n_subs, int codes, Variable** stack_top, int* out_n) {
  *out_n = 0;
  if (n_open == 0) message(M_INTERNAL, 0, MSG_LONGJMP, "structure reference not open");
  RefChain& c = chains[n_open - 1];
  try {
    const RefLevel& cur = c.level[c.n_levels - 1];
    const char* tag_text = tag ? tag->name : "(tag number)";
    if (cur.type != TYP_STRUCT) message(M_NOT_STRUCT, 0, MSG_LONGJMP, tag_text);
    if (c.n_levels == kMaxTags + 1) message(M_STRUCT_NESTING, 0, MSG_LONGJMP, tag_text);
    const int n_sub_ops = subscript_operand_count(n_subs, codes);
    int idx;
    if (tag) {
      idx = find_tag(cur.sdef, tag);
      if (idx < 0) message(M_TAG_UNDEFINED, 0, MSG_LONGJMP, tag->name, struct_print_name(cur.sdef));
    } else {
      Variable* num = stack_top[-n_sub_ops];
      idx = long_scalar(num);
      if (idx < 0 || idx >= cur.sdef->n_tags)
        message(M_TAG_NUMBER, 0, MSG_LONGJMP, varname(num), struct_print_name(cur.sdef));
    }
    const TagEntry& te = cur.sdef->tags[idx];
    RefLevel& l = c.level[c.n_levels];
    l.field_offset = te.offset;
    l.type = te.desc.type;
    l.sdef = (te.desc.flags & FLAG_STRUCT) ? te.desc.value.s.sdef : nullptr;
    l.elem_size = l.sdef ? static_cast<uint32_t>(l.sdef->length) : static_cast<uint32_t>(type_size[l.type]);
    l.offsets = nullptr;
    l.offsets_var = nullptr;
    const bool has_desc = te.desc.flags & FLAG_HAS_DESC;
    if (n_subs) {
      if (!has_desc) message(M_NOT_ARRAY, 0, MSG_LONGJMP, te.tag->ident->name);
      // The field's data-less descriptor stands in for the array being subscripted.
      Variable holder{};
      holder.type = te.desc.type;
      holder.flags = FLAG_TEMPORARY | FLAG_ARRAY;
      holder.value.s.arr = te.desc.value.s.arr;
      int used = 0;
      select_subscripts(l, &holder, n_subs, codes, stack_top, &used);
    } else {
      set_shape(l, has_desc ? te.desc.value.s.arr : nullptr);
    }
    c.n_levels++;
    if (!tag) {
      Variable* num = stack_top[-n_sub_ops];
      if (num->flags & FLAG_TEMPORARY) deltmp(num);
    }
    *out_n = n_sub_ops + (tag ? 0 : 1);
  } catch (const VekJump&) {
    n_open--;  // the chain is abandoned; its temporaries go with the statement's
    throw;
  }
}

Variable* fetch_struct() {
  RefChain c = take_chain();
  const RefLevel& last = c.level[c.n_levels - 1];
  int32_t dims[MAX_DIMS];
  int nd = 0;
  for (int i = c.n_levels - 1; i >= 0; i--) {
    const RefLevel& l = c.level[i];
    if (l.count == 1) continue;
    if (nd + l.n_dim > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
    for (int d = 0; d < l.n_dim; d++) dims[nd++] = static_cast<int32_t>(l.dims[d]);
  }
  const uint64_t total = total_count(c);
  Variable* res = gettmp();
  res->type = static_cast<uint8_t>(last.type);
  uint8_t* base = c.var->value.s.arr->data;
  if (total == 1 && last.type != TYP_STRUCT) {
    auto copy = [&](uint8_t* p) { memcpy(&res->value, p, last.elem_size); };
    walk(c, 0, base, copy);
    if (last.type == TYP_STRING) {
      StringDesc orig = res->value.str;
      res->value.str = StringDesc{0, 0, nullptr};
      convert(&orig, &res->value.str, 1, TYP_STRING, TYP_STRING);
      res->flags |= FLAG_DYNAMIC;
    }
  } else {
    if (nd == 0) dims[nd++] = 1;
    make_array(nd, dims, res, static_cast<int>(last.elem_size));
    ArrayDesc* a = res->value.s.arr;
    if (last.type == TYP_STRING || last.sdef) memset(a->data, 0, a->byte_len);
    uint8_t* dst = a->data;
    if (last.sdef) {
      res->value.s.sdef = last.sdef;
      res->flags |= FLAG_STRUCT;
      if (is_anonymous(last.sdef)) struct_add_ref(last.sdef);
    }
    auto copy = [&](uint8_t* p) {
      memcpy(dst, p, last.elem_size);
      dst += last.elem_size;
    };
    walk(c, 0, base, copy);
    if (last.sdef) {
      dup_str_struct(last.sdef, a->data, a->n_elts);
    } else if (last.type == TYP_STRING) {
      auto* s = reinterpret_cast<StringDesc*>(a->data);
      for (uint32_t k = 0; k < a->n_elts; k++) s[k].owned = 0;
      for (uint32_t k = 0; k < a->n_elts; k++) {
        StringDesc orig = s[k];
        s[k] = StringDesc{0, 0, nullptr};
        convert(&orig, &s[k], 1, TYP_STRING, TYP_STRING);
      }
    }
  }
  release_levels(c);
  if (c.var->flags & FLAG_TEMPORARY) deltmp(c.var);
  return res;
}

void store_struct(Variable* value) {
  RefChain c = take_chain();
  if (value->type == TYP_UNDEF) var_error(M_UNDEFINED, value, MSG_LONGJMP);
  if (c.read_only) var_error(M_READ_ONLY, c.var, MSG_LONGJMP);
  const RefLevel& last = c.level[c.n_levels - 1];
  const uint64_t total = total_count(c);
  const uint32_t n_src = value->n_elts();
  if (n_src != 1 && n_src != total) {
    if (last.offsets) var_error(M_SOURCE_SIZE, c.var, MSG_LONGJMP);
    message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(value), struct_print_name(c.level[0].sdef));
  }
  // Storing part of a variable into itself: read from a copy.
  Variable* src = value;
  if (value == c.var) {
    src = gettmp();
    var_copy(value, src);
  }
  uint32_t k = 0;
  auto store = [&](uint8_t* p) { store_struc_el(last.type, last.sdef, p, src, n_src == 1 ? 0 : k++); };
  walk(c, 0, c.var->value.s.arr->data, store);
  if (src != value) deltmp(src);
  release_levels(c);
  if (value->flags & FLAG_TEMPORARY) deltmp(value);
}
