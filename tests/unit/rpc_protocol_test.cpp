// The RPC records on the wire: exact encodings, round trips, and refusal of records
// that are cut short or claim more than they carry.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "session/pipe_protocol.h"
#include "session/rpc_protocol.h"

namespace {

template <typename T>
std::vector<uint8_t> encode(bool_t (*proc)(XDR*, T*), T value) {
  std::vector<uint8_t> buf(1 << 16);
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
  EXPECT_TRUE(proc(&x, &value));
  buf.resize(xdr_getpos(&x));
  xdr_destroy(&x);
  return buf;
}

template <typename T>
bool decode(bool_t (*proc)(XDR*, T*), std::vector<uint8_t> bytes, T* out) {
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(bytes.data()), static_cast<u_int>(bytes.size()), XDR_DECODE);
  bool ok = proc(&x, out);
  xdr_destroy(&x);
  return ok;
}

std::vector<uint8_t> words(std::initializer_list<uint32_t> ws) {
  std::vector<uint8_t> out;
  for (uint32_t w : ws)
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(w >> s));
  return out;
}

WireValue scalar(const char* name, uint8_t type, const void* v) {
  WireValue w;
  w.name = name;
  w.type = type;
  const auto* p = static_cast<const uint8_t*>(v);
  w.data.assign(p, p + wire_elem_size(type));
  return w;
}

}  // namespace

TEST(RpcProtocol, ScalarEncodings) {
  double d = 0.1;
  // name "D" (count, byte, padding), type 5, flags 0, then high and low words.
  EXPECT_EQ(encode(xdr_vinfo, scalar("D", W_DOUBLE, &d)), words({1, 0x44000000, 5, 0, 0x3FB99999, 0x9999999A}));
  float c[2] = {1.0f, -2.0f};
  EXPECT_EQ(encode(xdr_vinfo, scalar("C", W_COMPLEX, c)), words({1, 0x43000000, 6, 0, 0x3F800000, 0xC0000000}));
  int16_t i = -3;
  EXPECT_EQ(encode(xdr_vinfo, scalar("I", W_INT, &i)), words({1, 0x49000000, 2, 0, 0xFFFFFFFD}));
  WireValue s;
  s.name = "S";
  s.type = W_STRING;
  s.strings = {"abcde"};
  // The length as a short, then an XDR string of that length.
  EXPECT_EQ(encode(xdr_vinfo, s), words({1, 0x53000000, 7, 0, 5, 5, 0x61626364, 0x65000000}));
  s.strings = {""};
  EXPECT_EQ(encode(xdr_vinfo, s), words({1, 0x53000000, 7, 0, 0}));
}

TEST(RpcProtocol, ArraysRoundTripInBothRecords) {
  WireValue a;
  a.name = "ARR";
  a.type = W_LONG;
  a.flags = kWireArrayFlag;
  a.dims = {3, 2};
  for (int32_t k = 0; k < 6; k++) a.data.insert(a.data.end(), reinterpret_cast<uint8_t*>(&k), reinterpret_cast<uint8_t*>(&k) + 4);
  WireValue back;
  ASSERT_TRUE(decode(xdr_vinfo, encode(xdr_vinfo, a), &back));
  EXPECT_EQ(back.dims, a.dims);
  EXPECT_EQ(back.data, a.data);
  // The older record keeps the elements in one dimension.
  ASSERT_TRUE(decode(xdr_oldvinfo, encode(xdr_oldvinfo, a), &back));
  EXPECT_EQ(back.dims, std::vector<uint32_t>{6});
  EXPECT_EQ(back.data, a.data);

  WireValue b;
  b.name = "B";
  b.type = W_BYTE;
  b.flags = kWireArrayFlag;
  b.dims = {70001};  // more than one decoding chunk, not a multiple of 4
  for (uint32_t k = 0; k < 70001; k++) b.data.push_back(static_cast<uint8_t>(k * 7));
  std::vector<uint8_t> buf(80000);
  XDR x;
  xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), 80000, XDR_ENCODE);
  ASSERT_TRUE(xdr_vinfo(&x, &b));
  u_int used = xdr_getpos(&x);
  EXPECT_EQ(used, 4u + 4 + 8 + 8 + 70004);
  buf.resize(used);
  ASSERT_TRUE(decode(xdr_vinfo, buf, &back));
  EXPECT_EQ(back.data, b.data);
}

TEST(RpcProtocol, MalformedRecordsAreRefused) {
  WireValue v;
  // Cut short: the double's low word is missing.
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x44000000, 5, 0, 0x3FB99999}), &v));
  // A type beyond structures, a name past 129 bytes, a name past 16 in the old record.
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x44000000, 9, 0}), &v));
  EXPECT_FALSE(decode(xdr_vinfo, words({130}), &v));
  EXPECT_FALSE(decode(xdr_oldvinfo, words({17}), &v));
  // The two string lengths disagree.
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x53000000, 7, 0, 5, 4, 0x61626364}), &v));
  // Nine dimensions; a zero extent; 2^31 elements.
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x41000000, 3, 4, 9, 1, 1, 1, 1, 1, 1, 1, 1, 1}), &v));
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x41000000, 3, 4, 2, 3, 0}), &v));
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x41000000, 3, 4, 2, 65536, 32768, 1, 2}), &v));
  // 2^30 elements claimed with 8 bytes of data: refused without reserving 4 GB.
  EXPECT_FALSE(decode(xdr_vinfo, words({1, 0x41000000, 3, 4, 2, 65536, 16384, 1, 2}), &v));
  EXPECT_LE(v.data.capacity(), size_t{1} << 20);
  std::string cmd;
  EXPECT_FALSE(decode(xdr_vek_command, words({100, 0x61626364}), &cmd));
  EXPECT_TRUE(decode(xdr_vek_command, words({3, 0x783d3100}), &cmd));
  EXPECT_EQ(cmd, "x=1");
}

TEST(PipeProtocol, DescriptionOfScalarsAndStrings) {
  double d = -1.25;
  PipeVarDesc desc;
  std::vector<uint8_t> bytes = pipe_from_wire(scalar("", W_DOUBLE, &d), &desc);
  EXPECT_EQ(desc.n_elts, 1);
  EXPECT_EQ(desc.byte_len, 8);
  double inline_value;
  memcpy(&inline_value, desc.scalar, 8);
  EXPECT_EQ(inline_value, -1.25);
  // A scalar travelling inline comes back as it went.
  WireValue back = wire_from_pipe("X", desc);
  EXPECT_EQ(back.data, bytes);

  WireValue s;
  s.type = W_STRING;
  s.flags = kWireArrayFlag;
  s.dims = {2};
  s.strings = {"ab", ""};
  bytes = pipe_from_wire(s, &desc);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{'a', 'b', 0, 0}));
  EXPECT_EQ(desc.n_dim, 1);
  EXPECT_EQ(desc.dims[0], 2);
  EXPECT_EQ(desc.flags, kWireArrayFlag);
}
