// The wire forms shared by the RPC server and its clients: the program and procedure
// numbers, and the XDR codecs of variable records (getinfo, vinfo and their older
// forms). Self-contained over libtirpc, so that client programs can link this module
// alone; values travel as WireValue, which knows nothing of the interpreter.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/xdr_vek.h"

constexpr unsigned long RPC_PROGRAM_DEFAULT = 0x2010CAFE;
constexpr unsigned long RPC_VERSION = 1;

enum RpcProcedure : unsigned long {
  RPC_NULL = 0,
  RPC_OLDGET_VARIABLE = 1,
  RPC_OLDSET_VARIABLE = 2,
  RPC_RUN_COMMAND = 3,
  RPC_EXIT = 4,
  RPC_INTERACTIVE = 5,
  RPC_GET_VARIABLE = 8,
  RPC_SET_VARIABLE = 9,
};

// Longest variable name in the current and in the older records.
constexpr unsigned kRpcNameMax = 129;
constexpr unsigned kRpcOldNameMax = 16;
// Longest command line RUN_COMMAND accepts.
constexpr unsigned kRpcCommandMax = 65535;

// Type codes and the array flag as they travel (the same numbers as the language's).
enum WireType : uint8_t {
  W_UNDEF = 0, W_BYTE = 1, W_INT = 2, W_LONG = 3, W_FLOAT = 4, W_DOUBLE = 5,
  W_COMPLEX = 6, W_STRING = 7, W_STRUCT = 8,
};
constexpr uint8_t kWireArrayFlag = 4;
constexpr int kWireMaxDims = 8;

// Bytes per element in WireValue::data (host layout; complex is two floats).
int wire_elem_size(int type);

// A variable as it travels. Numeric data holds n elements in host layout; strings hold
// one entry per element. A scalar has no dims and one element. Undefined values and
// structures carry no data (structures cannot be transferred).
struct WireValue {
  std::string name;
  uint8_t type = W_UNDEF;
  uint8_t flags = 0;
  std::vector<uint32_t> dims;
  std::vector<uint8_t> data;
  std::vector<std::string> strings;

  bool is_array() const { return flags & kWireArrayFlag; }
  uint64_t count() const;  // elements
};

// GET_VARIABLE's argument: the name and a short the server does not use (clients send 0).
struct WireGetInfo {
  std::string name;
  short reserved = 0;
};

// XDR routines over these records, for clnt_call and svc_getargs. They decode into
// the object (cleared first) and free nothing with XDR_FREE: the objects own their
// memory. Decoding grows buffers as data arrives, so a record that claims more data
// than it carries fails without a huge allocation.
bool_t xdr_vek_getinfo(XDR* xdrs, WireGetInfo* info);
bool_t xdr_vek_oldgetinfo(XDR* xdrs, WireGetInfo* info);
bool_t xdr_vinfo(XDR* xdrs, WireValue* value);
bool_t xdr_oldvinfo(XDR* xdrs, WireValue* value);
// A command line: an XDR string of at most kRpcCommandMax bytes.
bool_t xdr_vek_command(XDR* xdrs, std::string* command);

// The primitives of the records.
bool_t xdr_vek_rpc_complex(XDR* xdrs, float* re_im);
bool_t xdr_vek_rpc_string(XDR* xdrs, std::string* s);
