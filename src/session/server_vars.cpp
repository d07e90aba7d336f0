#include "session/server_vars.h"

#include <cctype>
#include <cstring>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/frames.h"
#include "values/ident.h"
#include "values/strings.h"
#include "values/temps.h"

namespace {

constexpr int M_RPC_ERROR = -386;  // "RPC Error: %s."

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > kRpcNameMax || !isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$') return false;
  return true;
}

// Frees a temporary unless its value was moved out of it.
struct OwnedTemp {
  Variable* t;
  ~OwnedTemp() {
    if (t) deltmp(t);
  }
};

}  // namespace

Variable* main_level_variable(const std::string& name, bool create) {
  if (!valid_name(name) || !main_prog || !main_frame) return nullptr;
  IdentEntry* id = ident_hash(name.c_str(), 0, IDENT_UPCASE | (create ? 0 : IDENT_LOOKUP), MSG_LONGJMP);
  if (!id) return nullptr;
  return main_level_storage(id, create);
}

WireValue wire_from_variable(const std::string& name, Variable* var) {
  WireValue w;
  w.name = name;
  if (!var || var->type == TYP_UNDEF || var->is_file()) return w;
  if (var->is_struct() || var->type == TYP_STRUCT) {
    w.type = W_STRUCT;
    return w;
  }
  w.type = var->type;
  uint32_t n = var->n_elts();
  if (var->is_array()) {
    w.flags = kWireArrayFlag;
    const ArrayDesc* a = var->arr();
    w.dims.assign(a->dims, a->dims + a->n_dim);
  }
  if (var->type == TYP_STRING) {
    const auto* s = static_cast<const StringDesc*>(var->data_ptr());
    w.strings.reserve(n);
    for (uint32_t i = 0; i < n; i++) w.strings.emplace_back(str_chars(s[i]), s[i].length);
  } else {
    const auto* p = static_cast<const uint8_t*>(var->data_ptr());
    w.data.assign(p, p + static_cast<size_t>(n) * type_size[var->type]);
  }
  return w;
}

void store_wire_value(const WireValue& w, Variable* dst) {
  if (w.type < W_BYTE || w.type > W_STRING) message(M_RPC_ERROR, 0, MSG_LONGJMP, "Variable type can't be transferred");
  uint64_t n = w.count();
  bool strings = w.type == W_STRING;
  if (n == 0 || (strings ? w.strings.size() != n : w.data.size() != n * wire_elem_size(w.type)) ||
      w.dims.size() > MAX_DIMS)
    message(M_RPC_ERROR, 0, MSG_LONGJMP, "Variable data doesn't match its type");
  if (strings)
    for (const auto& s : w.strings)
      if (s.size() > MAX_STRING_LENGTH) message(M_RPC_ERROR, 0, MSG_LONGJMP, "String longer than 65535 characters");
  if (!w.is_array()) {
    if (strings) {
      StringDesc s{static_cast<uint16_t>(w.strings[0].size()), 0, const_cast<char*>(w.strings[0].c_str())};
      store_scalar(dst, TYP_STRING, &s);
    } else {
      store_scalar(dst, w.type, w.data.data());
    }
    return;
  }
  int32_t dims[MAX_DIMS];
  for (size_t i = 0; i < w.dims.size(); i++) dims[i] = static_cast<int32_t>(w.dims[i]);
  OwnedTemp guard{make_temp_array_of(w.type, static_cast<int>(w.dims.size()), dims)};
  Variable* t = guard.t;
  if (strings) {
    auto* s = static_cast<StringDesc*>(t->data_ptr());
    for (uint64_t i = 0; i < n; i++) str_store_n(&s[i], w.strings[i].data(), static_cast<uint32_t>(w.strings[i].size()));
  } else {
    memcpy(t->data_ptr(), w.data.data(), w.data.size());
  }
  if (dst->flags & FLAG_UNNAMED) message(M_STORE_EXPR, 0, MSG_LONGJMP, varname(dst));
  guard.t = nullptr;
  var_copy(t, dst);  // moves the temporary's memory into dst and frees the temporary
}

void set_main_variable(const WireValue& value) {
  Variable* var = main_level_variable(value.name, true);
  if (!var) message(M_RPC_ERROR, 0, MSG_LONGJMP, "Invalid variable name");
  store_wire_value(value, var);
}
