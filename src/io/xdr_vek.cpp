#include "io/xdr_vek.h"

#include <cstdint>
#include <cstring>

bool_t xdr_vek_mips_double(XDR* xdrs, double* d) {
  uint64_t bits = 0;
  if (xdrs->x_op == XDR_ENCODE) std::memcpy(&bits, d, 8);
  uint32_t hi = static_cast<uint32_t>(bits >> 32), lo = static_cast<uint32_t>(bits);
  if (!xdr_u_int32_t(xdrs, &hi) || !xdr_u_int32_t(xdrs, &lo)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    bits = (static_cast<uint64_t>(hi) << 32) | lo;
    std::memcpy(d, &bits, 8);
  }
  return TRUE;
}
