#include "lib/sysvars.h"

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include <sys/utsname.h>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "lib/arrays.h"
#include "values/convert.h"
#include "values/strings.h"
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

// ---- The built-in system variables ------------------------------------------------------

SysVar* prompt_sysvar = nullptr;

namespace {

constexpr uint8_t SV_READ_ONLY = 1;
constexpr uint8_t SV_FROM_ENV = 2;

// The start-up list of the scalar system variables. Numbers and texts are the initial
// values; a variable whose storage belongs to another module is bound afterwards.
struct StartEntry {
  const char* name;
  uint8_t type;
  uint8_t flags;
  double number;
  const char* text;
};

// Where the fonts, the PostScript prolog and the library routines live: the build tree
// for an uninstalled build (set by the build), else the install prefix.
#ifndef VEK_DEFAULT_DIR
#define VEK_DEFAULT_DIR "/usr/local/lib/vek"
#endif

constexpr double kPi = 3.14159265358979323846;

constexpr StartEntry kStartList[] = {
    {"!C", TYP_LONG, 0, 0, nullptr},
    {"!DIR", TYP_STRING, SV_FROM_ENV, 0, VEK_DEFAULT_DIR},
    {"!DPI", TYP_DOUBLE, SV_READ_ONLY, kPi, nullptr},
    {"!DTOR", TYP_FLOAT, SV_READ_ONLY, kPi / 180.0, nullptr},
    {"!EDIT_INPUT", TYP_INT, 0, 1, nullptr},
    {"!ERR", TYP_LONG, 0, 0, nullptr},
    {"!ERROR", TYP_LONG, 0, 0, nullptr},
    {"!ERR_STRING", TYP_STRING, SV_READ_ONLY, 0, ""},
    {"!HELP_PATH", TYP_STRING, SV_FROM_ENV, 0, ""},
    {"!JOURNAL", TYP_LONG, SV_READ_ONLY, 0, nullptr},
    {"!MORE", TYP_INT, 0, 1, nullptr},
    {"!MSG_PREFIX", TYP_STRING, 0, 0, "% "},
    {"!ORDER", TYP_LONG, 0, 0, nullptr},
    {"!PATH", TYP_STRING, SV_FROM_ENV, 0, "+" VEK_DEFAULT_DIR "/lib"},
    {"!PI", TYP_FLOAT, SV_READ_ONLY, kPi, nullptr},
    {"!PROMPT", TYP_STRING, 0, 0, "Vek> "},
    {"!QUIET", TYP_LONG, 0, 0, nullptr},
    {"!RADEG", TYP_FLOAT, SV_READ_ONLY, 180.0 / kPi, nullptr},
    {"!SYSERR_STRING", TYP_STRING, SV_READ_ONLY, 0, ""},
};

// A string that points at text it does not own (static or the environment's).
StringDesc static_string(const char* text) {
  size_t n = text ? strlen(text) : 0;
  if (n == 0) return StringDesc{0, 0, nullptr};
  if (n > MAX_STRING_LENGTH) n = MAX_STRING_LENGTH;
  return StringDesc{static_cast<uint16_t>(n), 0, const_cast<char*>(text)};
}

void enter_start_entry(const StartEntry& e) {
  Variable v{};
  v.type = e.type;
  switch (e.type) {
    case TYP_INT: v.value.i = static_cast<int16_t>(e.number); break;
    case TYP_LONG: v.value.l = static_cast<int32_t>(e.number); break;
    case TYP_FLOAT: v.value.f = static_cast<float>(e.number); break;
    case TYP_DOUBLE: v.value.d = e.number; break;
    case TYP_STRING: {
      const char* text = e.text;
      if (e.flags & SV_FROM_ENV) {
        std::string env = std::string("VEK_") + (e.name + 1);
        if (const char* s = getenv(env.c_str())) text = s;
      }
      v.value.str = static_string(text);
      break;
    }
    default: message(M_INTERNAL, 0, MSG_LONGJMP, "bad type in the system variable list");
  }
  enter_builtin_sysv(e.name, &v, nullptr, e.flags & SV_READ_ONLY);
}

// Ties the variables that view other modules' state to that state.
void bind_owned_globals() {
  bind_sysvar("!C", &vek_cursor);
  bind_sysvar("!ERR", &err_code);
  bind_sysvar("!ERROR", &error_code);
  bind_sysvar("!ERR_STRING", &ur_err_string);
  bind_sysvar("!SYSERR_STRING", &ur_syserr_string);
  bind_sysvar("!MSG_PREFIX", &msg_prefix);
  bind_sysvar("!QUIET", &vek_quiet);
}

void enter_syserror() {
  int32_t two = 2;
  Variable* t = gettmp();
  t->type = TYP_LONG;
  make_array(1, &two, t, type_size[TYP_LONG]);
  enter_builtin_sysv("!SYSERROR", t, syserror_codes, 0);
}

// ---- Structure-valued variables ------------------------------------------------------
//
// Each structure is described field by field (tag, type, extents, offset in the C record
// that holds it); the structure is built from zero values of those shapes, and the
// layout the structure module assigns must land every tag on its C field.

#define F(rec, tag, type, field) {tag, type, 0, 0, offsetof(rec, field)}

constexpr FieldDesc kVersionFields[] = {
    F(VersionRec, "ARCH", TYP_STRING, arch),
    F(VersionRec, "OS", TYP_STRING, os),
    F(VersionRec, "RELEASE", TYP_STRING, release),
};

#undef F

// The release of this build, shown in !VERSION.
constexpr const char* kRelease = "1.0";

VersionRec version_rec{};

// A zero value of the field's shape.
Variable* zero_value(const FieldDesc& f) {
  if (f.d0) {
    int32_t dims[2] = {f.d0, f.d1 ? f.d1 : 1};
    return basic_array(f.type, f.d1 ? 2 : 1, dims, nullptr, ARR_ZERO);
  }
  Variable* t = gettmp();
  t->type = f.type;
  t->value.d = 0;
  if (f.type == TYP_STRING) t->value.str = StringDesc{0, 0, nullptr};
  return t;
}

}  // namespace

Variable* build_sysv_structure(const char* name, const FieldDesc* fields, int n, size_t c_size) {
  std::vector<Variable*> vals(static_cast<size_t>(n));
  std::vector<IdentEntry*> tags(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    tags[i] = ident_hash(fields[i].tag, 0, 0, MSG_LONGJMP);
    vals[i] = zero_value(fields[i]);
  }
  Variable* s = make_struc(&vals[n - 1], n, ident_hash(name, 0, 0, MSG_LONGJMP), tags.data(), true, true);
  const StructDef* sd = s->sdef();
  bool ok = sd->n_tags == n && static_cast<size_t>(sd->length) <= c_size;
  for (int i = 0; ok && i < n; i++) ok = sd->tags[i].offset == fields[i].offset;
  if (!ok) message(M_INTERNAL, 0, MSG_LONGJMP, "record layout differs from its structure");
  return s;
}

namespace {

void enter_structures() {
  static utsname host;
  if (uname(&host) != 0) host = utsname{};
  for (char* c = host.sysname; *c; c++) *c = ascii_lower(*c);
  version_rec.arch = static_string(host.machine);
  version_rec.os = static_string(host.sysname);
  version_rec.release = static_string(kRelease);
  Variable* desc = build_sysv_structure("!VERSION", kVersionFields, static_cast<int>(std::size(kVersionFields)),
                                         sizeof(VersionRec));
  enter_builtin_sysv("!VERSION", desc, &version_rec, 1);
}

// ---- Compatibility names ----------------------------------------------------------------

// The current date and time, as the text ctime gives without its newline.
void compute_stime(SysVar* sv) {
  static char text[32];
  time_t now = time(nullptr);
  char* s = ctime_r(&now, text);
  size_t n = s ? strlen(s) : 0;
  if (n && text[n - 1] == '\n') text[--n] = 0;
  sv->var.value.str = static_string(n ? text : nullptr);
}

int32_t ignore_storage = 0;

void enter_compatibility_names() {
  enter_vmsv1_computed("!STIME", TYP_STRING, compute_stime);
  enter_vmsv1_sysv("!IGNORE", TYP_LONG, &ignore_storage, 1);
}

// Only records of the tables are named: a listing may show handles of other objects.
const char* listing_name(uint32_t handle) {
  void* p = handle_ptr(handle);
  for (SearchTable* t : {sysvartab, vmsv1_sysvartab}) {
    if (!t) continue;
    for (uint32_t i = 0; i < t->count; i++)
      if (t->entries[i] == p) return static_cast<SysVar*>(p)->name->name;
  }
  return nullptr;
}

}  // namespace

void init_sysvars() {
  static bool done = false;
  if (done) return;
  done = true;
  for (const StartEntry& e : kStartList) enter_start_entry(e);
  enter_structures();
  enter_syserror();
  enter_compatibility_names();
  bind_owned_globals();
  prompt_sysvar = find_sysvar("!PROMPT");
  listing_sysvar_name = listing_name;
  sysvar_name_lookup = sysvar_name_of;
}

void defsysv_core(int n_pos, Variable* pos[], Variable* exists_out) {
  auto name_of = [](Variable* v) {
    if (v->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(v));
    if (v->has_desc()) message(M_NOT_SCALAR, 0, MSG_LONGJMP, varname(v));
    if (v->type != TYP_STRING) message(M_NEED_STRING, 0, MSG_LONGJMP, varname(v));
    std::string name(str_chars(v->value.str), v->value.str.length);
    up_case(name.data(), name.c_str());
    return name;
  };
  if (exists_out) {
    if (n_pos < 1) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
    std::string name = name_of(pos[0]);
    int32_t found = 0;
    if (!name.empty()) {
      IdentEntry* id = ident_hash(name.c_str(), static_cast<int>(name.size()), IDENT_LOOKUP, MSG_LONGJMP);
      found = is_sysvar(id) ? 1 : 0;
    }
    store_scalar(exists_out, TYP_LONG, &found);
    return;
  }
  if (n_pos < 2) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  std::string name = name_of(pos[0]);
  int read_only = n_pos > 2 && long_scalar(pos[2]) != 0;
  enter_sysv(name.c_str(), pos[1], read_only);
}

void defsysv(int argc, Variable* argv[], KwNames argk) {
  static int32_t exists_given;
  static Variable* exists;
  static const KwEntry kKeywords[] = {
      {"EXISTS", 0, 1, KW_OUTPUT, &exists_given, &exists},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n = argc;
  Variable* exists_out = nullptr;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
    if (exists_given) {
      if (exists->flags & FLAG_UNNAMED) var_error(M_NOT_NAMED, exists, MSG_LONGJMP);
      exists_out = exists;
    }
    exists = nullptr;
  } else {
    for (int i = 0; i < argc && i < 3; i++) pos[i] = argv[i];
  }
  defsysv_core(n, pos, exists_out);
}

const RoutineEntry sysvar_procedures[] = {
    {defsysv, "DEFSYSV", 1, 3, true},
};
const int n_sysvar_procedures = sizeof sysvar_procedures / sizeof sysvar_procedures[0];
