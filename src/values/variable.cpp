#include "values/variable.h"

#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "values/struct.h"
#include "values/temps.h"

const int type_size[N_TYPES] = {0, 1, 2, 4, 4, 8, 8, static_cast<int>(sizeof(StringDesc)), 0};
const char* const type_name[N_TYPES] = {"UNDEFINED", "BYTE     ", "INT      ", "LONG     ", "FLOAT    ",
                                        "DOUBLE   ", "COMPLEX  ", "STRING   ", "STRUCT   "};
const char* const oform[N_TYPES] = {"<Undefined>", "%4d",   "%8d", "%12ld", "%#13.6g",
                                    "%#16.8g",     "(%#13.6g,%#13.6g)", "%s", ""};
const int oform_len[N_TYPES] = {11, 4, 8, 12, 13, 16, 29, 0, 0};

bool (*varname_lookup)(const Variable* var, VarNameInfo* out) = nullptr;
const char* (*sysvar_name_lookup)(const Variable* var) = nullptr;

namespace {

// Bytes from the start of the allocation to the first data byte.
constexpr size_t kDescBytes = sizeof(ArrayDesc);

uint32_t* trailing_guard(ArrayDesc* a) {
  size_t rounded = (static_cast<size_t>(a->byte_len) + 3) & ~size_t{3};
  return reinterpret_cast<uint32_t*>(a->data + rounded);
}

void free_string_elements(ArrayDesc* a) {
  auto* s = reinterpret_cast<StringDesc*>(a->data);
  for (uint32_t i = 0; i < a->n_elts; i++) {
    if (s[i].owned && s[i].chars) counting_free(s[i].chars);
    s[i] = StringDesc{0, 0, nullptr};
  }
}

char* dup_chars(const char* src, size_t n) {
  char* p = static_cast<char*>(counting_malloc(n + 1));
  if (!p) message(M_NO_MEMORY, 0, MSG_LONGJMP, "duplicating string");
  memcpy(p, src, n);
  p[n] = 0;
  return p;
}

}  // namespace

ArrayDesc* make_array(int n_dim, const int32_t* dims, Variable* var, int elem_size) {
  uint8_t saved_type = 0, saved_flags = 0;
  if (var) {
    saved_type = var->type;
    saved_flags = var->flags;
    var->type = 0;
    var->flags = 0;
  }
  if (n_dim > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
  if (n_dim < 1) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  while (n_dim > 1 && dims[n_dim - 1] == 1) n_dim--;
  int64_t n = 1;
  for (int i = n_dim - 1; i >= 0; i--) {
    n *= dims[i];
    if (n < 1 || n > INT32_MAX) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  }
  int64_t byte_len = n * elem_size;
  if (byte_len > INT32_MAX || (elem_size > 0 && byte_len < n)) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);

  size_t total = kDescBytes;
  if (var) total += ((static_cast<size_t>(byte_len) + 3) & ~size_t{3}) + 4;
  auto* a = static_cast<ArrayDesc*>(counting_malloc(total));
  if (!a) message(M_NO_MEMORY, errno, MSG_LONGJMP, "to make array");
  a->elem_size = static_cast<uint32_t>(elem_size);
  a->byte_len = static_cast<uint32_t>(byte_len);
  a->n_elts = static_cast<uint32_t>(n);
  a->data = var ? reinterpret_cast<uint8_t*>(a) + kDescBytes : nullptr;
  a->n_dim = static_cast<uint8_t>(n_dim);
  a->flags = 0;
  a->unit = 0;
  for (int i = 0; i < MAX_DIMS; i++) a->dims[i] = i < n_dim ? static_cast<uint32_t>(dims[i]) : 1;
  a->guard = ARRAY_GUARD;
  if (var) {
    *trailing_guard(a) = ARRAY_GUARD;
    var->value.s.arr = a;
    var->type = saved_type;
    var->flags = saved_flags | FLAG_ARRAY | FLAG_DYNAMIC;
  }
  return a;
}

ArrayDesc* make_array_like(const ArrayDesc* shape, Variable* var, int elem_size) {
  int32_t dims[MAX_DIMS];
  for (int i = 0; i < shape->n_dim; i++) dims[i] = static_cast<int32_t>(shape->dims[i]);
  return make_array(shape->n_dim, dims, var, elem_size);
}

ArrayDesc* import_array_desc(int n_dim, const int32_t* dims, int elem_size) {
  return make_array(n_dim, dims, nullptr, elem_size);
}

Variable* import_array(int n_dim, const int32_t* dims, int type, void* data) {
  ArrayDesc* a = make_array(n_dim, dims, nullptr, type_size[type]);
  a->data = static_cast<uint8_t*>(data);
  a->flags = ARR_NO_FREE;
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  t->value.s.arr = a;
  t->flags = FLAG_TEMPORARY | FLAG_ARRAY | FLAG_DYNAMIC;
  return t;
}

void delvar(Variable* var) {
  uint8_t type = var->type, flags = var->flags;
  var->type = 0;
  var->flags = 0;
  if (!(flags & FLAG_DYNAMIC)) return;
  if (flags & FLAG_FILE) {
    ArrayDesc* a = var->value.s.arr;
    if (a->guard != ARRAY_GUARD) message(M_CORRUPT_DESC, 0, MSG_LONGJMP, "<file variable>");
    counting_free(a);
    return;
  }
  if (flags & FLAG_ARRAY) {
    ArrayDesc* a = var->value.s.arr;
    if (a->guard != ARRAY_GUARD) message(M_CORRUPT_DESC, 0, MSG_LONGJMP, "<array>");
    if (flags & FLAG_STRUCT) {
      StructDef* sd = var->value.s.sdef;
      if (!(a->flags & ARR_NO_FREE)) del_str_struct(sd, a->data, a->n_elts);
      if (sd && is_anonymous(sd)) del_anon_struct(sd);
    } else if (type == TYP_STRING && !(a->flags & ARR_NO_FREE)) {
      free_string_elements(a);
    }
    if (!(a->flags & ARR_NO_FREE) && *trailing_guard(a) != ARRAY_GUARD)
      message(M_CORRUPT_DESC, 0, MSG_LONGJMP, "<array>");
    counting_free(a);
    return;
  }
  if (type == TYP_STRING) {
    StringDesc& s = var->value.str;
    if (s.owned && s.chars) counting_free(s.chars);
    s = StringDesc{0, 0, nullptr};
  }
}

void var_copy(Variable* src, Variable* dst) {
  if (src == dst) return;
  if (src->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(src));
  if (dst->flags & (FLAG_CONSTANT | FLAG_DYNAMIC)) {
    if (dst->flags & FLAG_UNNAMED)
      message(M_INTERNAL, 0, MSG_LONGJMP,
              "Attempt to store into Constant or Temp variable with dynamic allocation.");
    delvar(dst);
  }
  bool dst_temp = dst->flags & FLAG_TEMPORARY;
  uint8_t sflags = src->flags;
  bool src_dyn = sflags & FLAG_DYNAMIC;
  if (!src_dyn && ((sflags & (FLAG_ARRAY | FLAG_FILE)) ||
                   (src->type == TYP_STRING && !(sflags & FLAG_HAS_DESC) && src->value.str.owned &&
                    src->value.str.length)))
    message(M_INTERNAL, 0, MSG_LONGJMP, "VAR_COPY, dynamic bit not set");

  dst->type = src->type;
  dst->value = src->value;
  dst->flags = static_cast<uint8_t>((sflags & ~FLAG_UNNAMED) | (dst_temp ? FLAG_TEMPORARY : 0));

  if (sflags & FLAG_TEMPORARY) {
    freetmp(src);
    return;
  }
  if (!src_dyn) {
    // A string that points at characters it does not own stays non-owning.
    return;
  }
  // Duplicate what src owns; until done, dst must not appear to own src's memory.
  dst->flags &= static_cast<uint8_t>(~FLAG_DYNAMIC);
  uint8_t keep_flags = dst->flags;
  if (sflags & FLAG_FILE) {
    auto* a = static_cast<ArrayDesc*>(counting_malloc(sizeof(ArrayDesc)));
    if (!a) {
      dst->type = 0;
      dst->flags = dst_temp ? FLAG_TEMPORARY : 0;
      message(M_NO_MEMORY, errno, MSG_LONGJMP, "Copying file var");
    }
    *a = *src->value.s.arr;
    dst->value.s.arr = a;
    dst->flags = keep_flags | FLAG_DYNAMIC;
    return;
  }
  if (sflags & FLAG_ARRAY) {
    ArrayDesc* sa = src->value.s.arr;
    dst->flags = keep_flags & static_cast<uint8_t>(~(FLAG_ARRAY | FLAG_STRUCT));
    StructDef* sd = src->value.s.sdef;
    make_array_like(sa, dst, static_cast<int>(sa->elem_size));
    ArrayDesc* da = dst->value.s.arr;
    if (sflags & FLAG_STRUCT) {
      dst->value.s.sdef = sd;
      dst->flags |= FLAG_STRUCT;
      memcpy(da->data, sa->data, sa->byte_len);
      // Zero the copy's owned pointers first so a failing duplicate never double-frees.
      dup_str_struct(sd, da->data, da->n_elts);
      if (is_anonymous(sd)) struct_add_ref(sd);
    } else if (src->type == TYP_STRING) {
      auto* ss = reinterpret_cast<StringDesc*>(sa->data);
      auto* ds = reinterpret_cast<StringDesc*>(da->data);
      for (uint32_t i = 0; i < sa->n_elts; i++) ds[i] = StringDesc{0, 0, nullptr};
      for (uint32_t i = 0; i < sa->n_elts; i++) {
        if (ss[i].length) {
          ds[i].chars = dup_chars(ss[i].chars, ss[i].length);
          ds[i].length = ss[i].length;
          ds[i].owned = 1;
        }
      }
    } else {
      memcpy(da->data, sa->data, sa->byte_len);
    }
    return;
  }
  if (src->type == TYP_STRING) {
    const StringDesc& s = src->value.str;
    dst->value.str = StringDesc{0, 0, nullptr};
    if (s.length) {
      dst->value.str.chars = dup_chars(s.chars, s.length);
      dst->value.str.length = s.length;
      dst->value.str.owned = 1;
      dst->flags = keep_flags | FLAG_DYNAMIC;
    }
  }
}

void var_copy_strip(Variable* src, Variable* dst, int steal) {
  if (src->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(src));
  if (src == dst) return;
  if (src->flags & FLAG_TEMPORARY) {
    if (dst->flags & FLAG_DYNAMIC) delvar(dst);
    dst->type = src->type;
    dst->value = src->value;
    dst->flags = static_cast<uint8_t>(src->flags & ~FLAG_UNNAMED);
    src->type = 0;
    src->flags = FLAG_TEMPORARY;
    return;
  }
  if (steal) {
    if (dst->flags & FLAG_DYNAMIC) delvar(dst);
    dst->type = src->type;
    dst->value = src->value;
    dst->flags = static_cast<uint8_t>(src->flags & ~FLAG_UNNAMED);
    src->type = 0;
    src->flags = 0;
    return;
  }
  var_copy(src, dst);
}

void store_scalar(Variable* var, int type, const void* value_ptr) {
  if (var->flags & FLAG_UNNAMED) message(M_STORE_EXPR, 0, MSG_LONGJMP, varname(var));
  if (var->flags & FLAG_DYNAMIC) delvar(var);
  var->flags = 0;
  switch (type) {
    case TYP_BYTE: memcpy(&var->value.c, value_ptr, 1); break;
    case TYP_INT: memcpy(&var->value.i, value_ptr, 2); break;
    case TYP_LONG: memcpy(&var->value.l, value_ptr, 4); break;
    case TYP_FLOAT: memcpy(&var->value.f, value_ptr, 4); break;
    case TYP_DOUBLE:
    case TYP_COMPLEX: memcpy(&var->value.d, value_ptr, 8); break;
    case TYP_STRING: {
      StringDesc s;
      memcpy(&s, value_ptr, sizeof s);
      var->value.str = StringDesc{0, 0, nullptr};
      if (s.length) {
        var->value.str.chars = dup_chars(s.chars, s.length);
        var->value.str.length = s.length;
        var->value.str.owned = 1;
      }
      var->flags = FLAG_DYNAMIC;
      break;
    }
    default:
      var->type = 0;
      message(M_INTERNAL, 0, MSG_LONGJMP, "Bad type code in store_scalar");
  }
  var->type = static_cast<uint8_t>(type);
}

Variable* temporary(Variable* var) {
  if (var->flags & FLAG_TEMPORARY) return var;
  if (var->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(var));
  if (var->flags & FLAG_FILE) message(M_NO_FILE, 0, MSG_LONGJMP, varname(var));
  Variable* t = gettmp();
  t->type = var->type;
  t->value = var->value;
  t->flags = static_cast<uint8_t>((var->flags & ~FLAG_CONSTANT) | FLAG_TEMPORARY);
  var->type = 0;
  var->flags &= FLAG_CONSTANT;
  return t;
}

void no_name_var(const Variable* var, char* buf, size_t buflen) {
  if (var->type > TYP_STRUCT) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad variable type encountered in no_name_var()");
  std::string out = "<";
  out += type_name[var->type];
  char tmp[128];
  if (var->type != TYP_UNDEF) {
    if (var->flags & FLAG_FILE) {
      out += " File";
    } else if (var->flags & FLAG_HAS_DESC) {
      const ArrayDesc* a = var->value.s.arr;
      out += " Array(";
      for (int i = 0; i < a->n_dim; i++) {
        snprintf(tmp, sizeof tmp, i ? ", %ld" : "%ld", static_cast<long>(a->dims[i]));
        out += tmp;
      }
      out += ")";
    } else {
      out += "(";
      const Value& v = var->value;
      switch (var->type) {
        case TYP_BYTE: snprintf(tmp, sizeof tmp, oform[1], v.c); break;
        case TYP_INT: snprintf(tmp, sizeof tmp, oform[2], v.i); break;
        case TYP_LONG: snprintf(tmp, sizeof tmp, oform[3], static_cast<long>(v.l)); break;
        case TYP_FLOAT: snprintf(tmp, sizeof tmp, oform[4], static_cast<double>(v.f)); break;
        case TYP_DOUBLE: snprintf(tmp, sizeof tmp, oform[5], v.d); break;
        case TYP_COMPLEX:
          snprintf(tmp, sizeof tmp, oform[6], static_cast<double>(v.cmp.r), static_cast<double>(v.cmp.i));
          break;
        case TYP_STRING: {
          std::string s = "'";
          if (v.str.length > 20) {
            s.append(v.str.chars, 20);
            s += "...'";
          } else {
            if (v.str.length) s.append(v.str.chars, v.str.length);
            s += "'";
          }
          snprintf(tmp, sizeof tmp, "%s", s.c_str());
          break;
        }
        default: tmp[0] = 0;
      }
      out += tmp;
      out += ")";
    }
  }
  out += ">";
  snprintf(buf, buflen, "%s", out.c_str());
}

const char* varname(const Variable* var) {
  static char bufs[2][300];
  static int which = 0;
  char* buf = bufs[which];
  which ^= 1;
  // A read-only system variable carries the constant flag but has a name.
  const char* sv = (var->flags & FLAG_UNNAMED) == FLAG_CONSTANT && sysvar_name_lookup ? sysvar_name_lookup(var) : nullptr;
  if (sv) {
    snprintf(buf, sizeof bufs[0], "%s", sv);
    return buf;
  }
  if (var->flags & FLAG_UNNAMED) {
    no_name_var(var, buf, sizeof bufs[0]);
    return buf;
  }
  VarNameInfo info{nullptr, nullptr};
  if (varname_lookup && varname_lookup(var, &info) && info.name) {
    if (!info.common) {
      snprintf(buf, sizeof bufs[0], "%s", info.name);
      return buf;
    }
    std::string vn = info.name, cn = info.common;
    bool vcut = false, ccut = false;
    if (vn.size() + cn.size() + 3 >= 256) {
      while (vn.size() + cn.size() >= 248) {
        if (vn.size() >= cn.size()) {
          vn.resize(vn.size() - 1);
          vcut = true;
        } else {
          cn.resize(cn.size() - 1);
          ccut = true;
        }
      }
    }
    snprintf(buf, sizeof bufs[0], "%s%s (%s%s)", vn.c_str(), vcut ? "..." : "", cn.c_str(), ccut ? "..." : "");
    return buf;
  }
  if (sysvar_name_lookup && (sv = sysvar_name_lookup(var))) {
    snprintf(buf, sizeof bufs[0], "%s", sv);
    return buf;
  }
  snprintf(buf, sizeof bufs[0], "<No  name>");
  return buf;
}

void var_error(int code, const Variable* variable, int action) { message(code, 0, action, varname(variable)); }

Variable* size(const Variable* x) {
  int32_t out[MAX_DIMS + 3];
  int n;
  if (x->flags & FLAG_HAS_DESC) {
    const ArrayDesc* a = x->value.s.arr;
    n = 0;
    out[n++] = a->n_dim;
    for (int i = 0; i < a->n_dim; i++) out[n++] = static_cast<int32_t>(a->dims[i]);
    out[n++] = x->type;
    out[n++] = static_cast<int32_t>(a->n_elts);
  } else {
    out[0] = 0;
    out[1] = x->type;
    out[2] = 1;
    n = 3;
  }
  Variable* t = make_temp_array_of(TYP_LONG, 1, &n);
  memcpy(t->value.s.arr->data, out, sizeof(int32_t) * static_cast<size_t>(n));
  return t;
}

int32_t n_elements(const Variable* x) {
  if (x->type == TYP_UNDEF) return 0;
  if (x->flags & FLAG_ARRAY) return static_cast<int32_t>(x->value.s.arr->n_elts);
  return 1;
}

Variable* make_scalar_temp(int type, const void* value_ptr) {
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  t->value.d = 0;
  memcpy(&t->value, value_ptr, static_cast<size_t>(type_size[type]));
  return t;
}

Variable* make_long_temp(int32_t v) { return make_scalar_temp(TYP_LONG, &v); }
Variable* make_float_temp(float v) { return make_scalar_temp(TYP_FLOAT, &v); }
Variable* make_double_temp(double v) { return make_scalar_temp(TYP_DOUBLE, &v); }

Variable* make_temp_array_of(int type, int n_dim, const int32_t* dims) {
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  make_array(n_dim, dims, t, type_size[type]);
  if (type == TYP_STRING) memset(t->value.s.arr->data, 0, t->value.s.arr->byte_len);
  return t;
}
