// XDR primitives shared by save files and the server's wire format.
#pragma once

#include <rpc/types.h>
#include <rpc/xdr.h>

// A double as two longs, the high then the low 32 bits of its IEEE pattern.
bool_t xdr_vek_mips_double(XDR* xdrs, double* d);
