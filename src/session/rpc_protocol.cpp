#include "session/rpc_protocol.h"

#include <algorithm>
#include <cstring>

namespace {

// Decoded buffers grow by at most this many elements ahead of the data received.
constexpr uint64_t kGrowStep = 1 << 16;
// Largest element count a record may describe (the language's own limit).
constexpr uint64_t kMaxElements = 0x7fffffff;

bool_t xdr_name(XDR* xdrs, std::string* name, unsigned max) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  u_int n = static_cast<u_int>(name->size());
  if (!xdr_u_int(xdrs, &n) || n > max) return FALSE;
  if (xdrs->x_op == XDR_DECODE) name->assign(n, '\0');
  if (n && !xdr_opaque(xdrs, name->data(), n)) return FALSE;
  // Clients written in C may send the terminating NUL.
  if (xdrs->x_op == XDR_DECODE) name->resize(strnlen(name->c_str(), name->size()));
  return TRUE;
}

bool_t xdr_i32(XDR* xdrs, void* p) { return xdr_int32_t(xdrs, static_cast<int32_t*>(p)); }

// One numeric element at p (host layout) by the record's per-type coding.
bool_t xdr_element(XDR* xdrs, int type, uint8_t* p) {
  switch (type) {
    case W_BYTE: return xdr_u_char(xdrs, p);
    case W_INT: return xdr_short(xdrs, reinterpret_cast<short*>(p));
    case W_LONG:
    case W_FLOAT: return xdr_i32(xdrs, p);  // floats travel as their IEEE bits
    case W_DOUBLE: return xdr_vek_mips_double(xdrs, reinterpret_cast<double*>(p));
    case W_COMPLEX: return xdr_vek_rpc_complex(xdrs, reinterpret_cast<float*>(p));
    default: return FALSE;
  }
}

// n elements of the value's type: numbers into data, strings into strings. Byte arrays
// travel as one opaque block.
bool_t xdr_elements(XDR* xdrs, WireValue* v, uint64_t n) {
  if (n > kMaxElements) return FALSE;
  if (v->type == W_STRING) {
    if (xdrs->x_op == XDR_ENCODE) {
      if (v->strings.size() != n) return FALSE;
      for (auto& s : v->strings)
        if (!xdr_vek_rpc_string(xdrs, &s)) return FALSE;
      return TRUE;
    }
    v->strings.clear();
    for (uint64_t i = 0; i < n; i++) {
      if (v->strings.size() == v->strings.capacity()) v->strings.reserve(v->strings.size() + std::min(n - i, kGrowStep));
      std::string s;
      if (!xdr_vek_rpc_string(xdrs, &s)) return FALSE;
      v->strings.push_back(std::move(s));
    }
    return TRUE;
  }
  int size = wire_elem_size(v->type);
  if (size == 0) return FALSE;
  if (xdrs->x_op == XDR_ENCODE) {
    if (v->data.size() != n * size) return FALSE;
    if (v->type == W_BYTE) return xdr_opaque(xdrs, reinterpret_cast<char*>(v->data.data()), static_cast<u_int>(n));
    for (uint64_t i = 0; i < n; i++)
      if (!xdr_element(xdrs, v->type, v->data.data() + i * size)) return FALSE;
    return TRUE;
  }
  v->data.clear();
  // Byte chunks are multiples of 4 but the last, so the opaque padding falls where the
  // sender's single block puts it.
  for (uint64_t done = 0; done < n;) {
    uint64_t chunk = std::min(n - done, kGrowStep);
    v->data.resize((done + chunk) * size);
    uint8_t* p = v->data.data() + done * size;
    if (v->type == W_BYTE) {
      if (!xdr_opaque(xdrs, reinterpret_cast<char*>(p), static_cast<u_int>(chunk))) return FALSE;
    } else {
      for (uint64_t i = 0; i < chunk; i++)
        if (!xdr_element(xdrs, v->type, p + i * size)) return FALSE;
    }
    done += chunk;
  }
  return TRUE;
}

bool_t xdr_scalar(XDR* xdrs, WireValue* v) {
  if (v->type == W_UNDEF || v->type == W_STRUCT) {
    if (xdrs->x_op == XDR_DECODE) v->data.clear();
    return TRUE;
  }
  return xdr_elements(xdrs, v, 1);
}

bool_t xdr_record(XDR* xdrs, WireValue* v, bool old) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  if (xdrs->x_op == XDR_DECODE) *v = WireValue{};
  if (!xdr_name(xdrs, &v->name, old ? kRpcOldNameMax : kRpcNameMax)) return FALSE;
  if (!xdr_u_char(xdrs, &v->type) || !xdr_u_char(xdrs, &v->flags)) return FALSE;
  if (v->type > W_STRUCT) return FALSE;
  if (!v->is_array() || v->type == W_UNDEF || v->type == W_STRUCT) {
    v->flags &= static_cast<uint8_t>(~kWireArrayFlag);
    return xdr_scalar(xdrs, v);
  }
  if (old) {
    // The older record carries arrays as one dimension: the element count.
    u_int n = static_cast<u_int>(v->count());
    if (!xdr_u_int(xdrs, &n) || n == 0) return FALSE;
    if (xdrs->x_op == XDR_DECODE) v->dims = {n};
    return xdr_elements(xdrs, v, n);
  }
  u_int n_dim = static_cast<u_int>(v->dims.size());
  if (!xdr_u_int(xdrs, &n_dim) || n_dim < 1 || n_dim > kWireMaxDims) return FALSE;
  if (xdrs->x_op == XDR_DECODE) v->dims.assign(n_dim, 0);
  uint64_t n = 1;
  for (u_int i = 0; i < n_dim; i++) {
    if (!xdr_u_int(xdrs, &v->dims[i]) || v->dims[i] == 0) return FALSE;
    n *= v->dims[i];
    if (n > kMaxElements) return FALSE;
  }
  return xdr_elements(xdrs, v, n);
}

bool_t xdr_getinfo(XDR* xdrs, WireGetInfo* info, unsigned max) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  return xdr_name(xdrs, &info->name, max) && xdr_short(xdrs, &info->reserved);
}

}  // namespace

int wire_elem_size(int type) {
  static constexpr int kSizes[] = {0, 1, 2, 4, 4, 8, 8, 0, 0};
  return type >= 0 && type <= W_STRUCT ? kSizes[type] : 0;
}

uint64_t WireValue::count() const {
  if (type == W_UNDEF || type == W_STRUCT) return 0;
  if (!is_array()) return 1;
  uint64_t n = 1;
  for (uint32_t d : dims) n *= d;
  return n;
}

bool_t xdr_vek_rpc_complex(XDR* xdrs, float* re_im) {
  return xdr_i32(xdrs, &re_im[0]) && xdr_i32(xdrs, &re_im[1]);
}

bool_t xdr_vek_rpc_string(XDR* xdrs, std::string* s) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  if (xdrs->x_op == XDR_ENCODE && s->size() > 0xffff) return FALSE;
  u_short len = static_cast<u_short>(s->size());
  if (!xdr_u_short(xdrs, &len)) return FALSE;
  if (len == 0) {
    s->clear();
    return TRUE;
  }
  // The XDR string repeats the length; the two must agree.
  u_int n = len;
  if (!xdr_u_int(xdrs, &n) || n != len) return FALSE;
  if (xdrs->x_op == XDR_DECODE) s->assign(n, '\0');
  return xdr_opaque(xdrs, s->data(), n);
}

bool_t xdr_vek_getinfo(XDR* xdrs, WireGetInfo* info) { return xdr_getinfo(xdrs, info, kRpcNameMax); }
bool_t xdr_vek_oldgetinfo(XDR* xdrs, WireGetInfo* info) { return xdr_getinfo(xdrs, info, kRpcOldNameMax); }
bool_t xdr_vinfo(XDR* xdrs, WireValue* value) { return xdr_record(xdrs, value, false); }
bool_t xdr_oldvinfo(XDR* xdrs, WireValue* value) { return xdr_record(xdrs, value, true); }

bool_t xdr_vek_command(XDR* xdrs, std::string* command) {
  if (xdrs->x_op == XDR_FREE) return TRUE;
  u_int n = static_cast<u_int>(command->size());
  if (!xdr_u_int(xdrs, &n) || n > kRpcCommandMax) return FALSE;
  if (xdrs->x_op == XDR_DECODE) command->assign(n, '\0');
  return n == 0 || xdr_opaque(xdrs, command->data(), n);
}
