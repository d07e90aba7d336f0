#include "values/sysvar.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

SearchTable* sysvartab = nullptr;
SearchTable* vmsv1_sysvartab = nullptr;
int32_t vek_cursor = 0;

namespace {

constexpr size_t MAX_STRING_CHARS = 65535;

SysVar* rec_at(SearchTable* t, int i) { return static_cast<SysVar*>(t->entries[i]); }

SysVar* lookup(SearchTable* t, const IdentEntry* ident) {
  if (!t || !ident) return nullptr;
  int i = binsrch_ident(ident, t->entries, static_cast<int>(t->count));
  return i < 0 ? nullptr : rec_at(t, i);
}

bool legal_name(const char* name) {
  size_t n = strlen(name);
  if (n < 2 || name[0] != '!') return false;
  for (size_t i = 1; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!isalnum(c) && c != '_' && c != '$') return false;
  }
  return true;
}

char* dup_text(const char* s, size_t n, const char* what) {
  auto* p = static_cast<char*>(counting_malloc(n + 1));
  if (!p) message(M_NO_MEMORY, 0, MSG_LONGJMP, what);
  memcpy(p, s, n);
  p[n] = 0;
  return p;
}

// A scalar string that points at characters it does not own gets its own copy, so that
// a system variable never refers to the text of a statement that is about to be freed.
void own_scalar_string(Variable* v) {
  if (v->type != TYP_STRING || v->has_desc()) return;
  StringDesc& s = v->value.str;
  if (s.length && !s.owned) {
    s.chars = dup_text(s.chars, s.length, "creating system variable");
    s.owned = 1;
    v->flags |= FLAG_DYNAMIC;
  }
}

// Copies value into dst without ever moving a temporary's memory.
void copy_value(Variable* value, Variable* dst) {
  uint8_t saved = value->flags;
  value->flags &= static_cast<uint8_t>(~FLAG_TEMPORARY);
  try {
    var_copy(value, dst);
  } catch (...) {
    value->flags = saved;
    throw;
  }
  value->flags = saved;
  own_scalar_string(dst);
}

void load(SysVar* rec) {
  if (rec->binding && rec->binding->load) rec->binding->load(rec);
}

// Arrays and structures that share one descriptor (!X, !Y, !Z) find their own storage
// again through `data`.
void point_desc(SysVar* rec) {
  if (rec->var.has_desc() && rec->data) rec->var.value.s.arr->data = static_cast<uint8_t*>(rec->data);
}

SysVarBinding* binding_of(SysVar* rec) {
  if (!rec->binding) {
    auto* b = static_cast<SysVarBinding*>(small_malloc(sizeof(SysVarBinding)));
    *b = SysVarBinding{nullptr, nullptr, nullptr, nullptr};
    rec->binding = b;
  }
  return rec->binding;
}

SysVar* new_record(const char* name, SearchTable** table) {
  IdentEntry* id = ident_hash(name, 0, 0, MSG_LONGJMP);
  auto* rec = static_cast<SysVar*>(small_malloc(sizeof(SysVar)));
  if (!rec) message(M_NO_MEMORY, 0, MSG_LONGJMP, "creating system variable");
  *rec = SysVar{id, nullptr, Variable{}, nullptr};
  if (binsrch_insert_ident(rec, table) < 0) message(M_NO_MEMORY, 0, MSG_LONGJMP, "creating system variable");
  return rec;
}

// Binding hooks.
void int_load(SysVar* sv) { sv->var.value.i = static_cast<int16_t>(*static_cast<int32_t*>(sv->binding->global)); }
void int_store(SysVar* sv) { *static_cast<int32_t*>(sv->binding->global) = sv->var.value.i; }

// A mirrored std::string is viewed in place: the descriptor points at the owner's
// characters (not owned), refreshed before every read, so the mirror holds no memory.
void string_load(SysVar* sv) {
  const std::string& g = *static_cast<std::string*>(sv->binding->global);
  StringDesc& s = sv->var.value.str;
  if (s.owned && s.chars) counting_free(s.chars);
  size_t n = g.size() > MAX_STRING_CHARS ? MAX_STRING_CHARS : g.size();
  s = StringDesc{static_cast<uint16_t>(n), 0, n ? const_cast<char*>(g.c_str()) : nullptr};
  sv->var.flags &= static_cast<uint8_t>(~FLAG_DYNAMIC);
}

void string_store(SysVar* sv) {
  const StringDesc& s = sv->var.value.str;
  static_cast<std::string*>(sv->binding->global)->assign(s.length ? s.chars : "", s.length);
  string_load(sv);
}

void after_store(SysVar* rec) {
  if (!rec->binding) return;
  if (rec->binding->store) rec->binding->store(rec);
  if (rec->binding->notify) rec->binding->notify(rec);
}

}  // namespace

SysVar* is_sysvar(const IdentEntry* ident) { return lookup(sysvartab, ident); }

SysVar* is_vmsv1_sysvar(const IdentEntry* ident) { return lookup(vmsv1_sysvartab, ident); }

SysVar* find_sysvar(const char* name) {
  IdentEntry* id = ident_hash(name, 0, IDENT_LOOKUP, MSG_LONGJMP);
  if (!id) return nullptr;
  SysVar* rec = is_sysvar(id);
  return rec ? rec : is_vmsv1_sysvar(id);
}

const char* sysvar_name_of(const Variable* v) {
  for (SearchTable* t : {sysvartab, vmsv1_sysvartab}) {
    if (!t) continue;
    for (uint32_t i = 0; i < t->count; i++)
      if (&rec_at(t, static_cast<int>(i))->var == v) return rec_at(t, static_cast<int>(i))->name->name;
  }
  return nullptr;
}

SysVar* enter_sysv(const char* name, Variable* value, int read_only) {
  if (value->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(value));
  if (value->is_file()) message(M_NO_FILE, 0, MSG_LONGJMP, varname(value));
  if (!legal_name(name)) message(M_SYSVAR_NAME, 0, MSG_LONGJMP, name);

  IdentEntry* id = ident_hash(name, 0, IDENT_LOOKUP, MSG_LONGJMP);
  if (SysVar* rec = lookup(sysvartab, id)) {
    if (rec->var.type != value->type) message(M_CONFLICT_DEF, 0, MSG_LONGJMP, "MISSING");
    check_compatible_struc(value, &rec->var, name);
    if (!read_only) store_sysv(rec, value);
    return rec;
  }
  SysVar* rec = new_record(name, &sysvartab);
  copy_value(value, &rec->var);
  rec->data = rec->var.has_desc() ? static_cast<void*>(rec->var.value.s.arr->data) : &rec->var.value;
  if (read_only) rec->var.flags |= FLAG_CONSTANT;
  return rec;
}

SysVar* enter_builtin_sysv(const char* name, Variable* desc, void* data, int read_only) {
  if (!legal_name(name)) message(M_SYSVAR_NAME, 0, MSG_LONGJMP, name);
  if (find_sysvar(name)) message(M_INTERNAL, 0, MSG_LONGJMP, "system variable defined twice");
  SysVar* rec = new_record(name, &sysvartab);
  rec->var.type = desc->type;
  rec->var.value = desc->value;
  rec->var.flags = static_cast<uint8_t>(desc->flags & ~FLAG_UNNAMED);
  if (desc->is_temp()) {
    freetmp(desc);
  } else {
    desc->type = 0;
    desc->flags = 0;
  }
  if (rec->var.has_desc()) {
    rec->data = data ? data : rec->var.value.s.arr->data;
    point_desc(rec);
  } else {
    rec->data = data ? data : &rec->var.value;
  }
  if (read_only) rec->var.flags |= FLAG_CONSTANT;
  return rec;
}

SysVar* enter_vmsv1_sysv(const char* name, int type, void* data, int n_elts) {
  SysVar* rec = new_record(name, &vmsv1_sysvartab);
  rec->var.type = static_cast<uint8_t>(type);
  if (n_elts > 1) {
    // A descriptor only: the data is the aliased field.
    ArrayDesc* a = make_array(1, &n_elts, nullptr, type_size[type]);
    a->data = static_cast<uint8_t*>(data);
    a->flags = ARR_NO_FREE;
    rec->var.value.s.arr = a;
    rec->var.flags = FLAG_ARRAY | FLAG_DYNAMIC;
  }
  rec->data = data;
  return rec;
}

SysVar* enter_vmsv1_computed(const char* name, int type, void (*compute)(SysVar* sv)) {
  SysVar* rec = new_record(name, &vmsv1_sysvartab);
  rec->var.type = static_cast<uint8_t>(type);
  rec->var.flags = FLAG_CONSTANT;
  rec->data = &rec->var.value;
  binding_of(rec)->load = compute;
  return rec;
}

Variable* get_sysv(SysVar* rec) {
  load(rec);
  Variable* t = gettmp();
  if (rec->var.has_desc()) {
    point_desc(rec);
    var_copy(&rec->var, t);
    return t;
  }
  t->type = rec->var.type;
  t->value.d = 0;
  if (rec->var.type == TYP_STRING) {
    const auto* s = static_cast<const StringDesc*>(rec->data);
    t->value.str = StringDesc{0, 0, nullptr};
    if (s->length) {
      t->value.str = StringDesc{s->length, 1, dup_text(s->chars, s->length, "reading system variable")};
      t->flags |= FLAG_DYNAMIC;
    }
    return t;
  }
  memcpy(&t->value, rec->data, static_cast<size_t>(type_size[rec->var.type]));
  return t;
}

void store_element(Variable* desc, void* data, Variable* value, const char* name_text, IdentEntry* /*name_ident*/) {
  store_field_value(desc, static_cast<uint8_t*>(data), value, name_text);
  // A scalar string destination now owns its characters.
  if (desc->type == TYP_STRING && !desc->has_desc() && data == &desc->value && desc->value.str.owned)
    desc->flags |= FLAG_DYNAMIC;
}

void store_sysv(SysVar* rec, Variable* value) {
  load(rec);
  point_desc(rec);
  store_element(&rec->var, rec->data, value, rec->name->name, rec->name);
  if (!rec->var.has_desc() && rec->data != &rec->var.value)
    memcpy(&rec->var.value, rec->data, static_cast<size_t>(type_size[rec->var.type]));
  after_store(rec);
}

Variable* sysv_variable(SysVar* rec) {
  load(rec);
  if (rec->var.has_desc()) {
    point_desc(rec);
  } else if (rec->data != &rec->var.value) {
    memcpy(&rec->var.value, rec->data, static_cast<size_t>(type_size[rec->var.type]));
  }
  return &rec->var;
}

void sysv_stored(SysVar* rec) {
  if (!rec->var.has_desc() && rec->data != &rec->var.value)
    memcpy(rec->data, &rec->var.value, static_cast<size_t>(type_size[rec->var.type]));
  after_store(rec);
}

const char* sysv_string(SysVar* rec) {
  if (!rec || rec->var.type != TYP_STRING || rec->var.has_desc()) return "";
  load(rec);
  const auto* s = static_cast<const StringDesc*>(rec->data);
  return s->length ? s->chars : "";
}

SysVar* bind_sysvar(const char* name, int32_t* global) {
  SysVar* rec = find_sysvar(name);
  if (!rec || rec->var.has_desc()) return nullptr;
  load(rec);
  if (rec->var.type == TYP_LONG) {
    // The owner takes the start-up value; from now on its global is the storage.
    *global = *static_cast<int32_t*>(rec->data);
    rec->data = global;
  } else if (rec->var.type == TYP_INT) {
    *global = *static_cast<int16_t*>(rec->data);
    SysVarBinding* b = binding_of(rec);
    b->global = global;
    b->load = int_load;
    b->store = int_store;
  } else {
    message(M_INTERNAL, 0, MSG_LONGJMP, "binding a system variable to a long of another type");
  }
  return rec;
}

SysVar* bind_sysvar(const char* name, std::string* global) {
  SysVar* rec = find_sysvar(name);
  if (!rec || rec->var.has_desc()) return nullptr;
  if (rec->var.type != TYP_STRING)
    message(M_INTERNAL, 0, MSG_LONGJMP, "binding a system variable to a string of another type");
  load(rec);
  const auto* s = static_cast<const StringDesc*>(rec->data);
  global->assign(s->length ? s->chars : "", s->length);
  SysVarBinding* b = binding_of(rec);
  b->global = global;
  b->load = string_load;
  b->store = string_store;
  string_load(rec);
  return rec;
}

SysVar* bind_sysvar_hooks(const char* name, void* global, void (*load_hook)(SysVar*), void (*store_hook)(SysVar*)) {
  SysVar* rec = find_sysvar(name);
  if (!rec) return nullptr;
  SysVarBinding* b = binding_of(rec);
  b->global = global;
  b->load = load_hook;
  b->store = store_hook;
  return rec;
}

SysVar* set_sysvar_notify(const char* name, void (*notify)(SysVar*)) {
  SysVar* rec = find_sysvar(name);
  if (rec) binding_of(rec)->notify = notify;
  return rec;
}

void sysv_set_data(SysVar* rec, void* data) {
  rec->data = data;
  point_desc(rec);
}

void helpsy(void (*out)(const char* line)) {
  if (!sysvartab) return;
  size_t width = 0;
  for (uint32_t i = 0; i < sysvartab->count; i++)
    width = std::max(width, strlen(rec_at(sysvartab, static_cast<int>(i))->name->name));
  for (uint32_t i = 0; i < sysvartab->count; i++) {
    SysVar* rec = rec_at(sysvartab, static_cast<int>(i));
    load(rec);
    char buf[160];
    std::string line;
    snprintf(buf, sizeof buf, "%-*s = ", static_cast<int>(width), rec->name->name);
    line = buf;
    const Variable& v = rec->var;
    if (v.is_struct()) {
      line += v.sdef()->name ? v.sdef()->name->name : "<Anonymous>";
    } else if (v.has_desc()) {
      line += "Array(";
      const ArrayDesc* a = v.arr();
      for (int d = 0; d < a->n_dim; d++) {
        snprintf(buf, sizeof buf, d ? ", %ld" : "%ld", static_cast<long>(a->dims[d]));
        line += buf;
      }
      line += ")";
    } else {
      const void* p = rec->data;
      switch (v.type) {
        case TYP_BYTE: snprintf(buf, sizeof buf, oform[1], *static_cast<const uint8_t*>(p)); break;
        case TYP_INT: snprintf(buf, sizeof buf, oform[2], *static_cast<const int16_t*>(p)); break;
        case TYP_LONG: snprintf(buf, sizeof buf, oform[3], static_cast<long>(*static_cast<const int32_t*>(p))); break;
        case TYP_FLOAT: snprintf(buf, sizeof buf, oform[4], static_cast<double>(*static_cast<const float*>(p))); break;
        case TYP_DOUBLE: snprintf(buf, sizeof buf, oform[5], *static_cast<const double*>(p)); break;
        case TYP_COMPLEX: {
          const auto* c = static_cast<const float*>(p);
          snprintf(buf, sizeof buf, oform[6], static_cast<double>(c[0]), static_cast<double>(c[1]));
          break;
        }
        case TYP_STRING: {
          const auto* s = static_cast<const StringDesc*>(p);
          buf[0] = 0;
          if (s->length) line.append(s->chars, s->length);
          break;
        }
        default: buf[0] = 0;
      }
      if (v.type != TYP_STRING) line += buf;
    }
    out(line.c_str());
  }
}
