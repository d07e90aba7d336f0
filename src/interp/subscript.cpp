// Subscripted loads and stores: index checks, contiguous block extraction, offset lists
// for general subscripts, gathers, block insertion and scattered stores.
#include "interp/subscript.h"

#include <cstring>
#include <vector>

#include "base/message.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

SubscriptHooks subscript_hooks;

namespace {

// The operands of one subscript list, read downwards from the stack top: for subscript
// i, a is its index or range start and b its range end (when the code has them).
struct SubOperands {
  int n_subs;
  int code[MAX_SUBSCRIPTS];
  Variable* a[MAX_SUBSCRIPTS];
  Variable* b[MAX_SUBSCRIPTS];
  int n_popped;
};

SubOperands read_operands(int n_subs, int codes, Variable** stack_top) {
  SubOperands s{};
  s.n_subs = n_subs;
  Variable** sp = stack_top;
  for (int i = n_subs - 1; i >= 0; i--) {
    int c = subscript_code(n_subs, codes, i);
    s.code[i] = c;
    s.a[i] = s.b[i] = nullptr;
    switch (c) {
      case SUB_EXPR:
      case SUB_FROM: s.a[i] = *sp--; break;
      case SUB_RANGE:
        s.b[i] = *sp--;
        s.a[i] = *sp--;
        break;
      default: break;
    }
  }
  s.n_popped = static_cast<int>(stack_top - sp);
  return s;
}

void release(Variable* v) {
  if (v && (v->flags & FLAG_TEMPORARY)) deltmp(v);
}

void release_operands(const SubOperands& s) {
  for (int i = 0; i < s.n_subs; i++) {
    release(s.a[i]);
    release(s.b[i]);
  }
}

bool is_index_array(const Variable* v) { return v->flags & FLAG_HAS_DESC; }

// A scalar seen as a one-element array.
ArrayDesc scalar_desc(const Variable* v) {
  ArrayDesc d{};
  d.elem_size = static_cast<uint32_t>(type_size[v->type]);
  d.byte_len = d.elem_size;
  d.n_elts = 1;
  d.data = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(&v->value));
  d.n_dim = 1;
  for (uint32_t& e : d.dims) e = 1;
  d.guard = ARRAY_GUARD;
  return d;
}

// Extent and byte stride addressed by subscript i of n_subs: a single subscript sees the
// array as a vector of all its elements.
uint32_t sub_extent(const ArrayDesc& d, int n_subs, int i) { return n_subs == 1 ? d.n_elts : d.dims[i]; }
uint64_t sub_stride(const ArrayDesc& d, int n_subs, int i) {
  uint64_t s = d.elem_size;
  if (n_subs > 1)
    for (int k = 0; k < i; k++) s *= d.dims[k];
  return s;
}

void dup_string(StringDesc& s) {
  if (!s.length) {
    s = StringDesc{0, 0, nullptr};
    return;
  }
  const char* from = s.chars;
  s.owned = 0;
  auto* p = static_cast<char*>(counting_malloc(s.length + 1u));
  if (!p) {
    s = StringDesc{0, 0, nullptr};
    message(M_NO_MEMORY, errno, MSG_LONGJMP, "copying subscripted string");
  }
  memcpy(p, from, s.length);
  p[s.length] = 0;
  s.chars = p;
  s.owned = 1;
}

void free_string(StringDesc& s) {
  if (s.owned && s.chars) counting_free(s.chars);
  s = StringDesc{0, 0, nullptr};
}

// Makes copied elements independent of their originals.
void own_elements(int type, StructDef* sdef, uint8_t* data, uint32_t n) {
  if (type == TYP_STRING) {
    auto* s = reinterpret_cast<StringDesc*>(data);
    for (uint32_t k = 0; k < n; k++) s[k].owned = 0;
    for (uint32_t k = 0; k < n; k++) dup_string(s[k]);
  } else if (sdef) {
    dup_str_struct(sdef, data, n);
  }
}

void free_elements(int type, StructDef* sdef, uint8_t* data, uint32_t n) {
  if (type == TYP_STRING) {
    auto* s = reinterpret_cast<StringDesc*>(data);
    for (uint32_t k = 0; k < n; k++) free_string(s[k]);
  } else if (sdef) {
    del_str_struct(sdef, data, n);
  }
}

// A temporary of var's type (a structure array of var's definition, which gains a
// reference) with the given shape; strings and records cleared.
Variable* result_like(const Variable* var, int n_dim, const int32_t* dims) {
  Variable* r = gettmp();
  r->type = var->type;
  if (var->flags & FLAG_STRUCT) {
    StructDef* sd = var->value.s.sdef;
    make_array(n_dim, dims, r, sd->length);
    memset(r->value.s.arr->data, 0, r->value.s.arr->byte_len);
    r->value.s.sdef = sd;
    r->flags |= FLAG_STRUCT;
    if (is_anonymous(sd)) struct_add_ref(sd);
  } else {
    make_array(n_dim, dims, r, type_size[var->type]);
    if (var->type == TYP_STRING) memset(r->value.s.arr->data, 0, r->value.s.arr->byte_len);
  }
  return r;
}

// Gathers n elements of size T from base + off[k].
template <class T>
void gather(uint8_t* dst, const uint8_t* base, const int32_t* off, uint32_t n) {
  T* d = reinterpret_cast<T*>(dst);
  for (uint32_t k = 0; k < n; k++) memcpy(&d[k], base + off[k], sizeof(T));
}
void gather_any(uint8_t* dst, const uint8_t* base, const int32_t* off, uint32_t n, uint32_t elem) {
  switch (elem) {
    case 1: gather<uint8_t>(dst, base, off, n); break;
    case 2: gather<uint16_t>(dst, base, off, n); break;
    case 4: gather<uint32_t>(dst, base, off, n); break;
    case 8: gather<uint64_t>(dst, base, off, n); break;
    default:
      for (uint32_t k = 0; k < n; k++) memcpy(dst + static_cast<size_t>(k) * elem, base + off[k], elem);
  }
}

// Index arrays as LONG: the operand itself when it already is one, else a converted
// temporary (recorded in `made` for release).
const int32_t* long_indices(Variable* v, std::vector<Variable*>& made) {
  if (v->flags & FLAG_FILE_OR_STRUCT) var_error(M_SUBSCRIPT_STRUCT, v, MSG_LONGJMP);
  ArrayDesc* a = v->value.s.arr;
  if (v->type == TYP_LONG) return reinterpret_cast<const int32_t*>(a->data);
  Variable* t = gettmp();
  made.push_back(t);
  t->type = TYP_LONG;
  make_array_like(a, t, 4);
  convert(a->data, t->value.s.arr->data, static_cast<int32_t>(a->n_elts), v->type, TYP_LONG);
  return reinterpret_cast<const int32_t*>(t->value.s.arr->data);
}

inline int32_t clip(int32_t i, uint32_t extent) {
  if (i < 0) return 0;
  if (static_cast<uint32_t>(i) >= extent) return static_cast<int32_t>(extent - 1);
  return i;
}

// Resolves a range, "*" or scalar subscript to [start, end] with the -106 check.
void range_of(const SubOperands& s, int i, uint32_t extent, const Variable* var, int32_t* start, int32_t* end) {
  switch (s.code[i]) {
    case SUB_ALL:
      *start = 0;
      *end = static_cast<int32_t>(extent) - 1;
      break;
    case SUB_RANGE:
      *start = long_scalar(s.a[i]);
      *end = long_scalar(s.b[i]);
      break;
    case SUB_FROM:
      *start = long_scalar(s.a[i]);
      *end = static_cast<int32_t>(extent) - 1;
      break;
    default: *start = *end = long_scalar(s.a[i]);
  }
  if (*start < 0 || *start > *end || static_cast<uint32_t>(*end) >= extent)
    var_error(M_RANGE_VALUES, var, MSG_LONGJMP);
}

bool all_scalar_indices(const SubOperands& s) {
  for (int i = 0; i < s.n_subs; i++)
    if (s.code[i] != SUB_EXPR || is_index_array(s.a[i])) return false;
  return true;
}

// Byte offset of an all-scalar subscript list, with the -104 check.
uint64_t scalar_offset(const SubOperands& s, const Variable* var, const ArrayDesc& d) {
  uint64_t off = 0;
  for (int i = 0; i < s.n_subs; i++) {
    int32_t idx = long_scalar(s.a[i]);
    if (idx < 0 || static_cast<uint32_t>(idx) >= sub_extent(d, s.n_subs, i))
      message(M_SUBSCRIPT_RANGE, 0, MSG_LONGJMP, varname(var), varname(s.a[i]));
    off += static_cast<uint64_t>(idx) * sub_stride(d, s.n_subs, i);
  }
  return off;
}

ArrayDesc desc_of(const Variable* v) { return (v->flags & FLAG_HAS_DESC) ? *v->value.s.arr : scalar_desc(v); }

uint8_t* data_of(Variable* v) {
  return (v->flags & FLAG_HAS_DESC) ? v->value.s.arr->data : reinterpret_cast<uint8_t*>(&v->value);
}

// src converted to dest's element type (src itself when it already has it).
Variable* matching_source(Variable* dest, Variable* src) {
  if (dest->flags & FLAG_STRUCT) {
    if (!(src->flags & FLAG_STRUCT) || src->value.s.sdef != dest->value.s.sdef)
      message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(dest), varname(src));
    return src;
  }
  if (src->type == dest->type && !(src->flags & FLAG_STRUCT)) return src;
  if (src->flags & FLAG_FILE) var_error(M_NO_FILE, src, MSG_LONGJMP);
  Variable* t = gettmp();
  t->type = dest->type;
  if (src->flags & FLAG_HAS_DESC) {
    make_array_like(src->value.s.arr, t, type_size[dest->type]);
    if (dest->type == TYP_STRING) memset(t->value.s.arr->data, 0, t->value.s.arr->byte_len);
    convert(src->value.s.arr->data, t->value.s.arr->data, static_cast<int32_t>(src->value.s.arr->n_elts),
            src->type, dest->type);
  } else {
    convert(&src->value, &t->value, 1, src->type, dest->type);
    if (dest->type == TYP_STRING) t->flags |= FLAG_DYNAMIC;
  }
  return t;
}

// Stores n_src elements (1 = broadcast) of size elem from src at dest + off[k].
template <class T>
void scatter(uint8_t* dest, const uint8_t* src, const int32_t* off, uint32_t n, bool broadcast) {
  const T* s = reinterpret_cast<const T*>(src);
  if (broadcast) {
    T v;
    memcpy(&v, s, sizeof v);
    for (uint32_t k = 0; k < n; k++) memcpy(dest + off[k], &v, sizeof v);
  } else {
    for (uint32_t k = 0; k < n; k++) memcpy(dest + off[k], &s[k], sizeof(T));
  }
}

}  // namespace

int subscript_operand_count(int n_subs, int codes) {
  int n = 0;
  for (int i = 0; i < n_subs; i++) {
    int c = subscript_code(n_subs, codes, i);
    n += c == SUB_RANGE ? 2 : c == SUB_ALL ? 0 : 1;
  }
  return n;
}

Variable* extract_subscript_range(Variable* var, int n_subs, int codes, Variable** stack_top, uint32_t base,
                                  int* out_n_popped, const ArrayDesc* desc) {
  SubOperands s = read_operands(n_subs, codes, stack_top);
  for (int i = 0; i < n_subs; i++)
    if (s.code[i] == SUB_EXPR && is_index_array(s.a[i])) {
      *out_n_popped = 0;
      return nullptr;
    }
  int32_t start[MAX_SUBSCRIPTS], end[MAX_SUBSCRIPTS], dims[MAX_SUBSCRIPTS];
  for (int i = 0; i < n_subs; i++) {
    range_of(s, i, sub_extent(*desc, n_subs, i), var, &start[i], &end[i]);
    dims[i] = end[i] - start[i] + 1;
  }
  release_operands(s);
  *out_n_popped = s.n_popped;

  Variable* res = result_like(var, n_subs, dims);
  const uint32_t elem = desc->elem_size;
  uint64_t src_off = base;
  for (int i = 0; i < n_subs; i++) src_off += static_cast<uint64_t>(start[i]) * sub_stride(*desc, n_subs, i);
  const size_t run = static_cast<size_t>(dims[0]) * elem;
  uint8_t* dst = res->value.s.arr->data;
  int32_t count[MAX_SUBSCRIPTS] = {0};
  for (;;) {
    uint64_t off = src_off;
    for (int i = 1; i < n_subs; i++) off += static_cast<uint64_t>(count[i]) * sub_stride(*desc, n_subs, i);
    memcpy(dst, desc->data + off, run);
    dst += run;
    int i = 1;
    while (i < n_subs && ++count[i] == dims[i]) count[i++] = 0;
    if (i >= n_subs) break;
  }
  own_elements(var->type, (var->flags & FLAG_STRUCT) ? var->value.s.sdef : nullptr, res->value.s.arr->data,
               res->value.s.arr->n_elts);
  release(var);
  return res;
}

Variable* general_subscript(Variable* var, Variable** stack_top, int n_subs, int codes, int* out_n_popped) {
  SubOperands s = read_operands(n_subs, codes, stack_top);
  *out_n_popped = s.n_popped;
  const ArrayDesc d = desc_of(var);
  std::vector<Variable*> made;

  bool all_expr = true, all_arrays = true;
  for (int i = 0; i < n_subs; i++) {
    if (s.code[i] != SUB_EXPR) all_expr = false;
    else if (s.a[i]->flags & FLAG_FILE_OR_STRUCT) var_error(M_SUBSCRIPT_STRUCT, s.a[i], MSG_LONGJMP);
    if (s.code[i] != SUB_EXPR || !is_index_array(s.a[i])) all_arrays = false;
  }

  Variable* res;
  if (all_expr && all_arrays) {
    // Index arrays paired element by element; the result has the first one's shape.
    const uint32_t n = s.a[0]->value.s.arr->n_elts;
    for (int i = 1; i < n_subs; i++)
      if (s.a[i]->value.s.arr->n_elts != n) var_error(M_SUBSCRIPT_SIZES, var, MSG_LONGJMP);
    const int32_t* idx[MAX_SUBSCRIPTS];
    for (int i = 0; i < n_subs; i++) idx[i] = long_indices(s.a[i], made);
    Variable* first = s.a[0];
    if (first->type == TYP_LONG && (first->flags & FLAG_TEMPORARY) && (first->flags & FLAG_ARRAY)) {
      res = first;
      s.a[0] = nullptr;  // becomes the result, not released below
    } else if (!made.empty() && first->type != TYP_LONG) {
      res = made.front();
      made.erase(made.begin());
    } else {
      res = gettmp();
      res->type = TYP_LONG;
      make_array_like(first->value.s.arr, res, 4);
    }
    auto* out = reinterpret_cast<int32_t*>(res->value.s.arr->data);
    uint32_t ext[MAX_SUBSCRIPTS];
    uint64_t stride[MAX_SUBSCRIPTS];
    for (int i = 0; i < n_subs; i++) {
      ext[i] = sub_extent(d, n_subs, i);
      stride[i] = sub_stride(d, n_subs, i);
    }
    for (uint32_t k = 0; k < n; k++) {
      uint64_t off = 0;
      for (int i = 0; i < n_subs; i++) off += static_cast<uint64_t>(clip(idx[i][k], ext[i])) * stride[i];
      out[k] = static_cast<int32_t>(off);
    }
  } else {
    // Outer product of the subscripts' selections, first subscript fastest.
    std::vector<int32_t> offs[MAX_SUBSCRIPTS];
    int32_t dims[MAX_SUBSCRIPTS];
    for (int i = 0; i < n_subs; i++) {
      const uint32_t ext = sub_extent(d, n_subs, i);
      const uint64_t stride = sub_stride(d, n_subs, i);
      if (s.code[i] == SUB_EXPR && is_index_array(s.a[i])) {
        const int32_t* idx = long_indices(s.a[i], made);
        const uint32_t n = s.a[i]->value.s.arr->n_elts;
        offs[i].resize(n);
        for (uint32_t k = 0; k < n; k++) offs[i][k] = static_cast<int32_t>(clip(idx[k], ext) * stride);
      } else {
        int32_t a, b;
        range_of(s, i, ext, var, &a, &b);
        offs[i].resize(static_cast<size_t>(b - a + 1));
        for (int32_t k = a; k <= b; k++) offs[i][static_cast<size_t>(k - a)] = static_cast<int32_t>(k * stride);
      }
      dims[i] = static_cast<int32_t>(offs[i].size());
    }
    res = make_temp_array_of(TYP_LONG, n_subs, dims);
    auto* out = reinterpret_cast<int32_t*>(res->value.s.arr->data);
    size_t count[MAX_SUBSCRIPTS] = {0};
    for (;;) {
      int32_t outer = 0;
      for (int i = 1; i < n_subs; i++) outer += offs[i][count[i]];
      for (int32_t o : offs[0]) *out++ = outer + o;
      int i = 1;
      while (i < n_subs && ++count[i] == offs[i].size()) count[i++] = 0;
      if (i >= n_subs) break;
    }
  }
  for (Variable* t : made) deltmp(t);
  release_operands(s);
  return res;
}

void insert_array(Variable* dest, Variable* src, const int32_t* starts, int n_subs, uint32_t base) {
  Variable* s = matching_source(dest, src);
  const ArrayDesc dd = desc_of(dest);
  const ArrayDesc sd = desc_of(s);
  int32_t sext[MAX_SUBSCRIPTS];
  for (int i = 0; i < n_subs; i++) {
    uint32_t dext = sub_extent(dd, n_subs, i);
    sext[i] = static_cast<int32_t>(n_subs == 1 ? sd.n_elts : (i < sd.n_dim ? sd.dims[i] : 1));
    if (starts[i] < 0 || static_cast<int64_t>(starts[i]) + sext[i] > static_cast<int64_t>(dext))
      var_error(M_INSERT_RANGE, dest, MSG_LONGJMP);
  }
  const int type = dest->type;
  StructDef* sdef = (dest->flags & FLAG_STRUCT) ? dest->value.s.sdef : nullptr;
  const uint32_t elem = dd.elem_size;
  uint64_t dst_off = base;
  for (int i = 0; i < n_subs; i++) dst_off += static_cast<uint64_t>(starts[i]) * sub_stride(dd, n_subs, i);
  const uint32_t run_n = static_cast<uint32_t>(sext[0]);
  const uint8_t* from = sd.data;
  int32_t count[MAX_SUBSCRIPTS] = {0};
  for (;;) {
    uint64_t off = dst_off;
    for (int i = 1; i < n_subs; i++) off += static_cast<uint64_t>(count[i]) * sub_stride(dd, n_subs, i);
    uint8_t* to = data_of(dest) + off;
    free_elements(type, sdef, to, run_n);
    memcpy(to, from, static_cast<size_t>(run_n) * elem);
    own_elements(type, sdef, to, run_n);
    from += static_cast<size_t>(run_n) * elem;
    int i = 1;
    while (i < n_subs && ++count[i] == sext[i]) count[i++] = 0;
    if (i >= n_subs) break;
  }
  if (type == TYP_STRING && !(dest->flags & FLAG_HAS_DESC)) dest->flags |= FLAG_DYNAMIC;
  if (s != src) deltmp(s);
}

void ssub_complex(Variable* dest, Variable* src, Variable** stack_top, int n_subs, int codes, int* out_n_popped) {
  Variable* s = matching_source(dest, src);
  if (s == dest) {
    // Storing a variable into a selection of itself: read from a copy.
    s = gettmp();
    var_copy(dest, s);
  }
  Variable* offs = general_subscript(dest, stack_top, n_subs, codes, out_n_popped);
  const uint32_t n = offs->value.s.arr->n_elts;
  const uint32_t n_src = s->n_elts();
  if (n_src > 1 && n_src != n) var_error(M_SOURCE_SIZE, dest, MSG_LONGJMP);
  const bool broadcast = n_src == 1;
  const int32_t* off = reinterpret_cast<const int32_t*>(offs->value.s.arr->data);
  uint8_t* base = data_of(dest);
  const uint8_t* from = data_of(s);
  const uint32_t elem = desc_of(dest).elem_size;
  if (dest->type == TYP_STRING || (dest->flags & FLAG_STRUCT)) {
    StructDef* sdef = (dest->flags & FLAG_STRUCT) ? dest->value.s.sdef : nullptr;
    for (uint32_t k = 0; k < n; k++) {
      uint8_t* to = base + off[k];
      free_elements(dest->type, sdef, to, 1);
      memcpy(to, from + (broadcast ? 0 : static_cast<size_t>(k) * elem), elem);
      own_elements(dest->type, sdef, to, 1);
    }
    // A scalar string that held the empty string owned nothing until now.
    if (dest->type == TYP_STRING && !(dest->flags & FLAG_HAS_DESC)) dest->flags |= FLAG_DYNAMIC;
  } else {
    switch (elem) {
      case 1: scatter<uint8_t>(base, from, off, n, broadcast); break;
      case 2: scatter<uint16_t>(base, from, off, n, broadcast); break;
      case 4: scatter<uint32_t>(base, from, off, n, broadcast); break;
      default: scatter<uint64_t>(base, from, off, n, broadcast); break;
    }
  }
  deltmp(offs);
  if (s != src) deltmp(s);
  release(src);
}

Variable* subscript_load(Variable* var, int n_subs, int codes, Variable** stack_top, int* popped) {
  if (popped) *popped = subscript_operand_count(n_subs, codes);
  if (var->type == TYP_UNDEF) var_error(M_UNDEFINED, var, MSG_LONGJMP);
  if (var->flags & FLAG_FILE) {
    if (!subscript_hooks.file_load) var_error(M_NO_FILE, var, MSG_LONGJMP);
    return subscript_hooks.file_load(var, n_subs, codes, stack_top);
  }
  const bool is_struct = var->flags & FLAG_STRUCT;
  const ArrayDesc d = desc_of(var);
  SubOperands s = read_operands(n_subs, codes, stack_top);
  if (all_scalar_indices(s)) {
    const uint64_t off = scalar_offset(s, var, d);
    Variable* res;
    if (is_struct) {
      int32_t one = 1;
      res = result_like(var, 1, &one);
      memcpy(res->value.s.arr->data, d.data + off, d.elem_size);
      dup_str_struct(var->value.s.sdef, res->value.s.arr->data, 1);
    } else {
      res = gettmp();
      res->type = var->type;
      memcpy(&res->value, d.data + off, d.elem_size);
      if (var->type == TYP_STRING) {
        dup_string(res->value.str);
        if (res->value.str.owned) res->flags |= FLAG_DYNAMIC;
      }
    }
    release_operands(s);
    release(var);
    return res;
  }
  int n_popped;
  if (!is_struct) {
    if (Variable* r = extract_subscript_range(var, n_subs, codes, stack_top, 0, &n_popped, &d)) return r;
  }
  Variable* offs = general_subscript(var, stack_top, n_subs, codes, &n_popped);
  const ArrayDesc& od = *offs->value.s.arr;
  int32_t dims[MAX_DIMS];
  for (int i = 0; i < od.n_dim; i++) dims[i] = static_cast<int32_t>(od.dims[i]);
  Variable* res = result_like(var, od.n_dim, dims);
  gather_any(res->value.s.arr->data, d.data, reinterpret_cast<const int32_t*>(od.data), od.n_elts, d.elem_size);
  own_elements(var->type, is_struct ? var->value.s.sdef : nullptr, res->value.s.arr->data, od.n_elts);
  deltmp(offs);
  release(var);
  return res;
}

void subscript_store(Variable* dest, Variable* src, int n_subs, int codes, Variable** stack_top, int* popped) {
  if (popped) *popped = subscript_operand_count(n_subs, codes);
  if (src->type == TYP_UNDEF) var_error(M_UNDEFINED, src, MSG_LONGJMP);
  if (dest->type == TYP_UNDEF) var_error(M_UNDEFINED, dest, MSG_LONGJMP);
  if (dest->flags & FLAG_CONSTANT) var_error(M_READ_ONLY, dest, MSG_LONGJMP);
  if (dest->flags & FLAG_FILE) {
    if (!subscript_hooks.file_store) var_error(M_NO_FILE, dest, MSG_LONGJMP);
    subscript_hooks.file_store(dest, src, n_subs, codes, stack_top);
    return;
  }
  SubOperands s = read_operands(n_subs, codes, stack_top);
  if (!all_scalar_indices(s)) {
    int n_popped;
    ssub_complex(dest, src, stack_top, n_subs, codes, &n_popped);
    return;
  }
  const ArrayDesc d = desc_of(dest);
  const uint64_t off = scalar_offset(s, dest, d);
  if (src->flags & FLAG_HAS_DESC) {
    int32_t starts[MAX_SUBSCRIPTS];
    for (int i = 0; i < n_subs; i++) starts[i] = long_scalar(s.a[i]);
    insert_array(dest, src, starts, n_subs, 0);
  } else if (dest->flags & FLAG_STRUCT) {
    store_struc_el(TYP_STRUCT, dest->value.s.sdef, d.data + off, src, 0);
  } else {
    // Convert first: the source may be the destination's own string.
    Value v;
    convert(&src->value, &v, 1, src->type, dest->type);
    uint8_t* to = d.data + off;
    if (dest->type == TYP_STRING) {
      free_string(*reinterpret_cast<StringDesc*>(to));
      if (!(dest->flags & FLAG_HAS_DESC)) dest->flags |= FLAG_DYNAMIC;
    }
    memcpy(to, &v, d.elem_size);
  }
  release_operands(s);
  release(src);
}
