#include "values/struct.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/message.h"
#include "values/convert.h"
#include "values/temps.h"

SearchTable* global_tag_table = nullptr;
SearchTable* global_struct_table = nullptr;

namespace {

// Alignment by TypeCode; a STRING field holds a StringDesc, so it aligns like a pointer.
constexpr int kTypeAlign[N_TYPES] = {1, 1, 2, 4, 4, 8, 4, alignof(StringDesc), 1};

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

void check_value(const Variable* v) {
  if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
  if (v->flags & FLAG_FILE) var_error(M_NO_FILE, v, MSG_LONGJMP);
}

// Describes field te by value v: its type, flags and, for arrays and structures, a
// data-less copy of v's descriptor placed at `copy`.
void describe_field(TagEntry& te, const Variable* v, ArrayDesc* copy) {
  te.desc.type = v->type;
  te.desc.flags = static_cast<uint8_t>(v->flags & ~FLAG_UNNAMED);
  te.desc.value = Value{};
  if (v->flags & FLAG_HAS_DESC) {
    *copy = *v->value.s.arr;
    copy->data = nullptr;
    copy->flags = 0;
    te.desc.value.s.arr = copy;
    if (v->flags & FLAG_STRUCT) te.desc.value.s.sdef = v->value.s.sdef;
  }
}

void free_strings(StringDesc* s, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    if (s[i].owned && s[i].chars) counting_free(s[i].chars);
    s[i] = StringDesc{0, 0, nullptr};
  }
}

uint8_t* value_data(Variable* v) {
  return (v->flags & FLAG_HAS_DESC) ? v->value.s.arr->data : reinterpret_cast<uint8_t*>(&v->value);
}

}  // namespace

// ---- tables -------------------------------------------------------------------------------

TagNameRec* enter_tag(IdentEntry* name, bool create) {
  if (global_tag_table) {
    int i = binsrch_ident(name, global_tag_table->entries, static_cast<int>(global_tag_table->count));
    if (i >= 0) return static_cast<TagNameRec*>(global_tag_table->entries[i]);
  }
  if (!create) return nullptr;
  auto* rec = static_cast<TagNameRec*>(small_malloc(sizeof(TagNameRec)));
  rec->ident = name;
  rec->chain = nullptr;
  if (binsrch_insert_ident(rec, &global_tag_table) < 0) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Entering tag name");
  return rec;
}

StructDef* find_structure_def(IdentEntry* name) {
  if (!global_struct_table) return nullptr;
  int i = binsrch_ident(name, global_struct_table->entries, static_cast<int>(global_struct_table->count));
  return i >= 0 ? static_cast<StructDef*>(global_struct_table->entries[i]) : nullptr;
}

StructDef* insert_structure_def(IdentEntry* name, int n_tags) {
  if (StructDef* sd = find_structure_def(name)) return (sd->n_tags == n_tags || n_tags == 0) ? sd : nullptr;
  size_t bytes = sizeof(StructDef) + static_cast<size_t>(n_tags) * sizeof(TagEntry);
  auto* sd = static_cast<StructDef*>(small_malloc(bytes));
  memset(static_cast<void*>(sd), 0, bytes);
  sd->name = name;
  sd->n_tags = n_tags;
  sd->tags = reinterpret_cast<TagEntry*>(sd + 1);
  for (int i = 0; i < n_tags; i++) sd->tags[i].owner = sd;
  if (binsrch_insert_ident(sd, &global_struct_table) < 0)
    message(M_NO_MEMORY, errno, MSG_LONGJMP, "creating structure def");
  return sd;
}

void set_struct_tag_name(StructDef* sdef, int i, IdentEntry* tag) {
  TagEntry& te = sdef->tags[i];
  if (te.tag) return;
  TagNameRec* rec = enter_tag(tag, true);
  te.tag = rec;
  te.owner = sdef;
  te.same_name = rec->chain;
  rec->chain = &te;
}

int compile_named_struct(IdentEntry* name, int n, IdentEntry* const* tags) {
  if (StructDef* sd = find_structure_def(name)) {
    if (sd->n_tags != n) return M_STRUCT_NTAGS;
    for (int i = 0; i < n; i++)
      if (tags[i] && sd->tags[i].tag && sd->tags[i].tag->ident != tags[i]) return M_STRUCT_TAG_DEF;
    return 0;
  }
  for (int i = 0; i < n; i++)
    if (!tags[i]) return M_STRUCT_TAG_DEF;
  StructDef* sd = insert_structure_def(name, n);
  for (int i = 0; i < n; i++) set_struct_tag_name(sd, i, tags[i]);
  return 0;
}

int find_tag(const StructDef* sdef, const IdentEntry* name) {
  if (!is_anonymous(sdef)) {
    TagNameRec* rec = enter_tag(const_cast<IdentEntry*>(name), false);
    for (TagEntry* te = rec ? rec->chain : nullptr; te; te = te->same_name)
      if (te->owner == sdef) return static_cast<int>(te - sdef->tags);
    return -1;
  }
  for (int i = 0; i < sdef->n_tags; i++)
    if (sdef->tags[i].tag && sdef->tags[i].tag->ident == name) return i;
  return -1;
}

// ---- layout -------------------------------------------------------------------------------

uint32_t field_size(const TagEntry& te) {
  if (te.desc.flags & FLAG_HAS_DESC) return te.desc.value.s.arr->byte_len;
  return static_cast<uint32_t>(type_size[te.desc.type]);
}

int align_structure(StructDef* sdef, bool assign) {
  uint32_t offset = 0;
  int max_align = 1;
  for (int t = 0; t < sdef->n_tags; t++) {
    TagEntry& te = sdef->tags[t];
    int a = (te.desc.flags & FLAG_STRUCT) ? align_structure(te.desc.value.s.sdef, false) : kTypeAlign[te.desc.type];
    if (a > max_align) max_align = a;
    offset = (offset + static_cast<uint32_t>(a) - 1) / static_cast<uint32_t>(a) * static_cast<uint32_t>(a);
    if (assign) te.offset = offset;
    offset += field_size(te);
  }
  if (assign) {
    uint32_t m = static_cast<uint32_t>(max_align);
    sdef->length = static_cast<int32_t>((offset + m - 1) / m * m);
  }
  return max_align;
}

// ---- building -----------------------------------------------------------------------------

void check_compatible_struc(const Variable* value, const Variable* field, const char* struct_name) {
  if (value->flags & FLAG_FILE) var_error(M_NO_FILE, value, MSG_LONGJMP);
  const bool vd = value->flags & FLAG_HAS_DESC, fd = field->flags & FLAG_HAS_DESC;
  bool ok = vd == fd;
  if (ok && vd) {
    const ArrayDesc* a = value->value.s.arr;
    const ArrayDesc* b = field->value.s.arr;
    ok = a->n_dim == b->n_dim && memcmp(a->dims, b->dims, sizeof(uint32_t) * a->n_dim) == 0;
  }
  if (ok && ((value->flags | field->flags) & FLAG_STRUCT))
    ok = (value->flags & FLAG_STRUCT) && (field->flags & FLAG_STRUCT) && value->value.s.sdef == field->value.s.sdef;
  if (!ok) message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(value), struct_name);
}

void store_field_value(const Variable* desc, uint8_t* data, Variable* value, const char* name_text) {
  if (value->type == TYP_UNDEF) var_error(M_UNDEFINED, value, MSG_LONGJMP);
  if (desc->flags & FLAG_CONSTANT) message(M_READ_ONLY, 0, MSG_LONGJMP, name_text);
  check_compatible_struc(value, desc, name_text);
  const uint32_t n = (desc->flags & FLAG_HAS_DESC) ? desc->value.s.arr->n_elts : 1;
  const uint8_t* src = value_data(value);
  if (desc->flags & FLAG_STRUCT) {
    StructDef* sd = desc->value.s.sdef;
    if (src == data) return;
    del_str_struct(sd, data, n);
    memcpy(data, src, static_cast<size_t>(n) * static_cast<size_t>(sd->length));
    dup_str_struct(sd, data, n);
  } else if (desc->type == TYP_STRING) {
    // Convert aside first: the value may be these very strings.
    std::vector<StringDesc> fresh(n, StringDesc{0, 0, nullptr});
    convert(src, fresh.data(), static_cast<int32_t>(n), value->type, TYP_STRING);
    free_strings(reinterpret_cast<StringDesc*>(data), n);
    memcpy(data, fresh.data(), n * sizeof(StringDesc));
  } else {
    convert(src, data, static_cast<int32_t>(n), value->type, desc->type);
  }
}

namespace {

// Gives the incomplete named definition sd its tags from the values.
void define_named(StructDef* sd, Variable** vals, IdentEntry* const* tag_names) {
  for (int i = 0; i < sd->n_tags; i++) {
    Variable* v = vals[i];
    check_value(v);
    TagEntry& te = sd->tags[i];
    IdentEntry* tn = tag_names ? tag_names[i] : (te.tag ? te.tag->ident : nullptr);
    if (!tn || (te.tag && te.tag->ident != tn)) message(M_STRUCT_TAG_DEF, 0, MSG_LONGJMP, sd->name->name);
    if ((v->flags & FLAG_STRUCT) && is_anonymous(v->value.s.sdef)) message(M_STRUCT_ANON_MEMBER, 0, MSG_LONGJMP);
  }
  for (int i = 0; i < sd->n_tags; i++) {
    Variable* v = vals[i];
    TagEntry& te = sd->tags[i];
    if (!te.tag) set_struct_tag_name(sd, i, tag_names[i]);
    ArrayDesc* copy = nullptr;
    if (v->flags & FLAG_HAS_DESC) copy = static_cast<ArrayDesc*>(small_malloc(sizeof(ArrayDesc)));
    describe_field(te, v, copy);
  }
  align_structure(sd, true);
}

StructDef* make_anonymous(Variable** vals, int n, IdentEntry* const* tag_names) {
  int n_desc = 0;
  for (int i = 0; i < n; i++) {
    check_value(vals[i]);
    if (!tag_names || !tag_names[i]) message(M_STRUCT_TAG_DEF, 0, MSG_LONGJMP, "Anonymous");
    if (vals[i]->flags & FLAG_HAS_DESC) n_desc++;
  }
  size_t bytes = sizeof(StructDef) + static_cast<size_t>(n) * sizeof(TagEntry) +
                 static_cast<size_t>(n_desc) * sizeof(ArrayDesc);
  auto* sd = static_cast<StructDef*>(counting_malloc(bytes));
  if (!sd) message(M_NO_MEMORY, errno, MSG_LONGJMP, "creating anonymous structure");
  memset(static_cast<void*>(sd), 0, bytes);
  sd->n_tags = n;
  sd->refs = 1;
  sd->tags = reinterpret_cast<TagEntry*>(sd + 1);
  auto* copies = reinterpret_cast<ArrayDesc*>(sd->tags + n);
  for (int i = 0; i < n; i++) {
    Variable* v = vals[i];
    TagEntry& te = sd->tags[i];
    te.tag = enter_tag(tag_names[i], true);
    te.owner = sd;
    describe_field(te, v, (v->flags & FLAG_HAS_DESC) ? copies++ : nullptr);
    if ((v->flags & FLAG_STRUCT) && is_anonymous(v->value.s.sdef)) struct_add_ref(v->value.s.sdef);
  }
  align_structure(sd, true);
  return sd;
}

}  // namespace

Variable* make_struc(Variable** stack_top, int n, IdentEntry* name, IdentEntry* const* tag_names, bool release,
                     bool define) {
  Variable** vals = stack_top - (n - 1);
  StructDef* sd;
  if (name) {
    sd = find_structure_def(name);
    if (!sd) {
      if (!define || n == 0) message(M_STRUCT_UNDEFINED, 0, MSG_LONGJMP, name->name);
      sd = insert_structure_def(name, n);
    }
    if (n == 0) {
      // {name} alone makes a zeroed record of a complete definition.
      if (sd->length == 0) message(M_STRUCT_UNDEFINED, 0, MSG_LONGJMP, name->name);
    } else if (sd->n_tags != n) {
      message(M_STRUCT_NTAGS, 0, MSG_LONGJMP, name->name, "MISSING");
    } else if (sd->length) {
      for (int i = 0; i < n; i++) {
        check_value(vals[i]);
        if (tag_names && tag_names[i] && sd->tags[i].tag->ident != tag_names[i])
          message(M_STRUCT_TAG_DEF, 0, MSG_LONGJMP, tag_names[i]->name);
        check_compatible_struc(vals[i], &sd->tags[i].desc, name->name);
      }
    } else {
      define_named(sd, vals, tag_names);
    }
  } else {
    sd = make_anonymous(vals, n, tag_names);
  }

  // The result holds the anonymous definition's first reference.
  Variable* res = gettmp();
  res->type = TYP_STRUCT;
  int32_t one = 1;
  try {
    make_array(1, &one, res, sd->length);
  } catch (const VekJump&) {
    if (!name) del_anon_struct(sd);
    throw;
  }
  memset(res->value.s.arr->data, 0, res->value.s.arr->byte_len);
  res->value.s.sdef = sd;
  res->flags |= FLAG_STRUCT;
  const char* print_name = struct_print_name(sd);
  uint8_t* rec = res->value.s.arr->data;
  if (n && sd->n_tags == n)
    for (int i = 0; i < n; i++) store_field_value(&sd->tags[i].desc, rec + sd->tags[i].offset, vals[i], print_name);
  if (release)
    for (int i = 0; i < n; i++)
      if (vals[i]->flags & FLAG_TEMPORARY) deltmp(vals[i]);
  return res;
}

// ---- copying and freeing ----------------------------------------------------------------

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

Variable* dup_structure(const Variable* var, uint32_t from, uint32_t to) {
  StructDef* sd = var->value.s.sdef;
  int32_t n = static_cast<int32_t>(to - from + 1);
  Variable* res = gettmp();
  res->type = TYP_STRUCT;
  make_array(1, &n, res, sd->length);
  memcpy(res->value.s.arr->data, var->value.s.arr->data + static_cast<size_t>(from) * sd->length,
         static_cast<size_t>(n) * sd->length);
  res->value.s.sdef = sd;
  res->flags |= FLAG_STRUCT;
  if (is_anonymous(sd)) struct_add_ref(sd);
  dup_str_struct(sd, res->value.s.arr->data, static_cast<uint32_t>(n));
  return res;
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

// ---- single elements and records ------------------------------------------------------------

void store_struct_subs(Variable* dest, Variable* src, uint32_t to, uint32_t from) {
  if (!(src->flags & FLAG_STRUCT) || src->value.s.sdef != dest->value.s.sdef)
    message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(src), varname(dest));
  if (src->value.s.arr->n_elts > 1) var_error(M_NOT_SCALAR, src, MSG_LONGJMP);
  StructDef* sd = dest->value.s.sdef;
  const size_t len = static_cast<size_t>(sd->length);
  uint8_t* d = dest->value.s.arr->data + to * len;
  const uint8_t* s = src->value.s.arr->data + from * len;
  if (d == s) return;
  del_str_struct(sd, d, 1);
  memcpy(d, s, len);
  dup_str_struct(sd, d, 1);
}

void store_struc_el(int elem_type, StructDef* sdef, uint8_t* dst, Variable* src, uint32_t src_index) {
  if (elem_type == TYP_STRUCT) {
    if (!(src->flags & FLAG_STRUCT) || src->value.s.sdef != sdef)
      message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(src), struct_print_name(sdef));
    const size_t len = static_cast<size_t>(sdef->length);
    const uint8_t* s = src->value.s.arr->data + src_index * len;
    if (s == dst) return;
    del_str_struct(sdef, dst, 1);
    memcpy(dst, s, len);
    dup_str_struct(sdef, dst, 1);
    return;
  }
  if (src->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, src, MSG_LONGJMP);
  const uint8_t* s = value_data(src) + static_cast<size_t>(src_index) * static_cast<size_t>(type_size[src->type]);
  if (elem_type == TYP_STRING) {
    StringDesc fresh{0, 0, nullptr};
    convert(s, &fresh, 1, src->type, TYP_STRING);
    free_strings(reinterpret_cast<StringDesc*>(dst), 1);
    memcpy(dst, &fresh, sizeof fresh);
  } else {
    convert(s, dst, 1, src->type, elem_type);
  }
}

Variable* temp_from_tag(Variable* var, int tag) {
  StructDef* sd = var->value.s.sdef;
  const TagEntry& te = sd->tags[tag];
  const uint8_t* p = var->value.s.arr->data + te.offset;
  Variable* t = gettmp();
  t->type = te.desc.type;
  if (te.desc.flags & FLAG_HAS_DESC) {
    const ArrayDesc* shape = te.desc.value.s.arr;
    make_array_like(shape, t, static_cast<int>(shape->elem_size));
    ArrayDesc* a = t->value.s.arr;
    memcpy(a->data, p, a->byte_len);
    if (te.desc.flags & FLAG_STRUCT) {
      StructDef* fsd = te.desc.value.s.sdef;
      t->value.s.sdef = fsd;
      t->flags |= FLAG_STRUCT;
      if (is_anonymous(fsd)) struct_add_ref(fsd);
      dup_str_struct(fsd, a->data, a->n_elts);
    } else if (te.desc.type == TYP_STRING) {
      auto* s = reinterpret_cast<StringDesc*>(a->data);
      for (uint32_t i = 0; i < a->n_elts; i++) s[i].owned = 0;
      for (uint32_t i = 0; i < a->n_elts; i++) {
        StringDesc orig = s[i];
        s[i] = StringDesc{0, 0, nullptr};
        convert(&orig, &s[i], 1, TYP_STRING, TYP_STRING);
      }
    }
  } else if (te.desc.type == TYP_STRING) {
    t->value.str = StringDesc{0, 0, nullptr};
    convert(p, &t->value.str, 1, TYP_STRING, TYP_STRING);
    t->flags |= FLAG_DYNAMIC;
  } else {
    memcpy(&t->value, p, static_cast<size_t>(type_size[te.desc.type]));
  }
  return t;
}

// ---- HELP ---------------------------------------------------------------------------------

namespace {

std::string dims_text(const ArrayDesc* a) {
  std::string t = "Array(";
  char buf[24];
  for (int i = 0; i < a->n_dim; i++) {
    snprintf(buf, sizeof buf, i ? ", %u" : "%u", a->dims[i]);
    t += buf;
  }
  return t + ")";
}

std::string scalar_text(int type, const uint8_t* p) {
  char buf[64];
  Value v{};
  memcpy(&v, p, static_cast<size_t>(type_size[type]));
  switch (type) {
    case TYP_BYTE: snprintf(buf, sizeof buf, oform[type], v.c); break;
    case TYP_INT: snprintf(buf, sizeof buf, oform[type], v.i); break;
    case TYP_LONG: snprintf(buf, sizeof buf, oform[type], static_cast<long>(v.l)); break;
    case TYP_FLOAT: snprintf(buf, sizeof buf, oform[type], static_cast<double>(v.f)); break;
    case TYP_DOUBLE: snprintf(buf, sizeof buf, oform[type], v.d); break;
    case TYP_COMPLEX:
      snprintf(buf, sizeof buf, oform[type], static_cast<double>(v.cmp.r), static_cast<double>(v.cmp.i));
      break;
    case TYP_STRING: return v.str.length ? std::string(v.str.chars, v.str.length) : std::string();
    default: buf[0] = 0;
  }
  return buf;
}

}  // namespace

void helpstruct(const StructDef* sdef, const uint8_t* record, std::vector<std::string>& lines) {
  char buf[160];
  if (sdef->name)
    snprintf(buf, sizeof buf, "** Structure %s, %d tags, length=%d:", sdef->name->name, sdef->n_tags, sdef->length);
  else
    snprintf(buf, sizeof buf, "** Structure <%lx>, %d tags, length=%d, refs=%d:",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(sdef)), sdef->n_tags, sdef->length, sdef->refs);
  lines.emplace_back(buf);
  for (int t = 0; t < sdef->n_tags; t++) {
    const TagEntry& te = sdef->tags[t];
    snprintf(buf, sizeof buf, "   %-16s%-8s ", te.tag ? te.tag->ident->name : "", type_name[te.desc.type]);
    std::string line = buf;
    if (te.desc.flags & FLAG_STRUCT)
      line += std::string("-> ") + struct_print_name(te.desc.value.s.sdef) + " " + dims_text(te.desc.value.s.arr);
    else if (te.desc.flags & FLAG_HAS_DESC)
      line += dims_text(te.desc.value.s.arr);
    else if (record)
      line += scalar_text(te.desc.type, record + te.offset);
    lines.push_back(line);
  }
}
