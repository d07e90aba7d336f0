// The save-file stream: the byte images of the primitives, the record framing, the
// bounds checks made before anything is allocated, and the byte-code check applied to
// restored routines.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/bytecode.h"
#include "io/saverestore.h"
#include "scratch_files.h"
#include "values/simd.h"
#include "values/strings.h"

namespace {

void swallow(int, const char*, int) {}

class SaveStreamTest : public ScratchFilesTest {
 protected:
  SaveStreamTest() : ScratchFilesTest(swallow) {}
  std::vector<uint8_t> bytes_of(const char* name) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path(name).c_str(), "rb");
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
    fclose(f);
    return out;
  }
  void write_bytes(const char* name, const std::vector<uint8_t>& b) {
    write_file(name, std::string(b.begin(), b.end()));
  }
};

TEST_F(SaveStreamTest, PrimitivesHaveTheirByteImages) {
  ASSERT_EQ(open(3, "p", ACC_WRITE | ACC_NEW, FA_XDR), 3);
  {
    SaveStream s(3);
    int16_t neg = -2;
    s.x_short(neg);  // sign-extended to 4 bytes
    double d = 1.0;
    s.x_mips_double(d);  // high word first
    StringDesc empty{0, 0, nullptr};
    s.x_vek_string(empty);  // the length only
    char abc[] = "abcde";
    StringDesc five{5, 0, abc};
    s.x_vek_string(five);  // length, then length again, characters, padding
    uint8_t raw[3] = {1, 2, 3};
    s.x_opaque(raw, 3);
    Complex c{1.0f, -2.0f};
    s.x_complex(c);
    int16_t ints[2] = {-1, 300};
    s.x_elements(TYP_INT, ints, 2);
  }
  close_unit(3, false, MSG_IOERROR);
  const std::vector<uint8_t> want = {
      0xff, 0xff, 0xff, 0xfe,                                            // short -2
      0x3f, 0xf0, 0, 0, 0, 0, 0, 0,                                      // 1.0D
      0, 0, 0, 0,                                                        // ''
      0, 0, 0, 5, 0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0,          // 'abcde'
      0, 0, 0, 3, 1, 2, 3, 0,                                            // opaque
      0x3f, 0x80, 0, 0, 0xc0, 0, 0, 0,                                   // complex(1, -2)
      0xff, 0xff, 0xff, 0xff, 0, 0, 1, 0x2c,                             // INT block
  };
  EXPECT_EQ(bytes_of("p"), want);
}

TEST_F(SaveStreamTest, RecordsAreFramedWithTheOffsetOfTheNext) {
  ASSERT_EQ(open(3, "r", ACC_WRITE | ACC_NEW, FA_XDR), 3);
  {
    SaveStream s(3);
    int32_t sig = static_cast<int32_t>(SAVE_SIGNATURE);
    s.x_long(sig);
    s.begin_record();
    int32_t v = 77;
    s.x_long(v);
    s.end_record(SR_VARIABLE);
    s.begin_record();  // never finished: stays type 5
  }
  close_unit(3, false, MSG_IOERROR);
  ASSERT_EQ(open(3, "r", ACC_READ, FA_XDR), 3);
  {
    SaveStream s(3);
    int32_t sig = 0, next = 0;
    s.x_long(sig);
    EXPECT_EQ(static_cast<uint32_t>(sig), SAVE_SIGNATURE);
    EXPECT_EQ(s.read_header(&next), SR_VARIABLE);
    EXPECT_EQ(next, 4 + 16 + 4);
    s.seek(next);
    EXPECT_EQ(s.read_header(&next), SR_UNFINISHED);
    EXPECT_EQ(next, 0);
    // Nothing is left: any further read is the end of the file.
    EXPECT_EQ(error_code_of([&] { s.x_long(sig); }), M_IO_EOF);
  }
  close_unit(3, false, MSG_IOERROR);
}

TEST_F(SaveStreamTest, CountsBeyondTheFileFailBeforeAllocating) {
  // A string of 60000 characters announced in an 12-byte file; then a huge opaque.
  write_bytes("s", {0, 0, 0xea, 0x60, 0, 0, 0xea, 0x60, 'x', 'y', 0, 0});
  ASSERT_EQ(open(3, "s", ACC_READ, FA_XDR), 3);
  {
    SaveStream s(3);
    StringDesc d{0, 0, nullptr};
    const uint32_t before = mem_counters.bytes_in_use;
    EXPECT_EQ(error_code_of([&] { s.x_vek_string(d); }), M_IO_EOF);
    EXPECT_EQ(mem_counters.bytes_in_use, before);
    EXPECT_EQ(d.chars, nullptr);
    s.seek(0);
    std::vector<uint8_t> buf(8);
    EXPECT_EQ(error_code_of([&] { s.x_opaque(buf.data(), 8); }), M_SAVE_ITEM);  // count disagrees
    s.seek(0);
    std::vector<float> many(16);
    EXPECT_EQ(error_code_of([&] { s.x_elements(TYP_FLOAT, many.data(), 16); }), M_IO_EOF);
  }
  close_unit(3, false, MSG_IOERROR);
}

TEST_F(SaveStreamTest, ValuesRoundTripWithoutLeaks) {
  ASSERT_EQ(open(3, "v", ACC_WRITE | ACC_NEW, FA_XDR), 3);
  {
    SaveStream s(3);
    int32_t dims[2] = {3, 2};
    TempGuard a;
    a.v = make_temp_array_of(TYP_DOUBLE, 2, dims);
    for (int i = 0; i < 6; i++) elems<double>(a.v)[i] = i * 0.5 - 1;
    sr_write_value(s, a.v);
  }
  close_unit(3, false, MSG_IOERROR);
  std::vector<uint8_t> good = bytes_of("v");
  ASSERT_EQ(open(3, "v", ACC_READ, FA_XDR), 3);
  {
    SaveStream s(3);
    TempGuard b;
    b.v = sr_read_value(s);
    ASSERT_TRUE(b.v->is_array());
    EXPECT_EQ(b.v->type, TYP_DOUBLE);
    EXPECT_EQ(b.v->arr()->dims[0], 3u);
    EXPECT_EQ(b.v->arr()->dims[1], 2u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(elems<double>(b.v)[i], i * 0.5 - 1);
  }
  close_unit(3, false, MSG_IOERROR);
  // The descriptor must agree with itself: an element count that is not the product of
  // the dimensions is refused.
  good[8 + 4 + 8 + 3] = 7;  // n_elts
  write_bytes("w", good);
  ASSERT_EQ(open(3, "w", ACC_READ, FA_XDR), 3);
  {
    SaveStream s(3);
    EXPECT_EQ(error_code_of([&] { sr_read_value(s); }), M_SAVE_ITEM);
  }
  close_unit(3, false, MSG_IOERROR);
}

// Every vector build of the block conversion gives the file's big-endian image, with
// blocks of odd lengths (a remainder after the vector loop).
TEST_F(SaveStreamTest, BlockConversionAgreesAtEveryLevel) {
  const SimdLevel saved = simd_level;
  for (int level = SIMD_BASE; level <= saved; level++) {
    simd_level = static_cast<SimdLevel>(level);
    ASSERT_EQ(open(3, "b", ACC_WRITE | ACC_NEW, FA_XDR), 3);
    std::vector<float> f(7);
    std::vector<double> d(5);
    for (size_t i = 0; i < f.size(); i++) f[i] = static_cast<float>(i) * 1.5f - 2;
    for (size_t i = 0; i < d.size(); i++) d[i] = static_cast<double>(i) / 3 - 1;
    {
      SaveStream s(3);
      s.x_elements(TYP_FLOAT, f.data(), 7);
      s.x_elements(TYP_DOUBLE, d.data(), 5);
    }
    close_unit(3, false, MSG_IOERROR);
    std::vector<uint8_t> b = bytes_of("b");
    ASSERT_EQ(b.size(), 7u * 4 + 5u * 8);
    for (size_t i = 0; i < 7; i++) {
      uint32_t bits;
      std::memcpy(&bits, &f[i], 4);
      for (int k = 0; k < 4; k++) EXPECT_EQ(b[i * 4 + k], (bits >> (24 - 8 * k)) & 0xff) << "level " << level;
    }
    for (size_t i = 0; i < 5; i++) {
      uint64_t bits;
      std::memcpy(&bits, &d[i], 8);
      for (int k = 0; k < 8; k++) EXPECT_EQ(b[28 + i * 8 + k], (bits >> (56 - 8 * k)) & 0xff) << "level " << level;
    }
    ASSERT_EQ(open(3, "b", ACC_READ, FA_XDR), 3);
    {
      SaveStream s(3);
      std::vector<float> f2(7);
      std::vector<double> d2(5);
      s.x_elements(TYP_FLOAT, f2.data(), 7);
      s.x_elements(TYP_DOUBLE, d2.data(), 5);
      EXPECT_EQ(f2, f);
      EXPECT_EQ(d2, d);
    }
    close_unit(3, false, MSG_IOERROR);
  }
  simd_level = saved;
}

// Blocks of several transfer buffers, starting at a file offset that is not a multiple
// of the buffer (after a header word), with the stream's own writes before and after.
TEST_F(SaveStreamTest, LargeBlocksKeepTheStreamPosition) {
  const uint32_t n = (3u << 20) + 5;
  std::vector<int16_t> ints(n);
  std::vector<double> doubles(n / 2);
  std::vector<uint8_t> bytes(n);
  for (uint32_t i = 0; i < n; i++) {
    ints[i] = static_cast<int16_t>(i * 7919u);
    bytes[i] = static_cast<uint8_t>(i * 13u);
  }
  for (size_t i = 0; i < doubles.size(); i++) doubles[i] = static_cast<double>(i) * 0.25 - 9;
  ASSERT_EQ(open(3, "big", ACC_WRITE | ACC_NEW, FA_XDR), 3);
  {
    SaveStream s(3);
    int32_t w = 0x01020304;
    s.x_long(w);
    s.x_elements(TYP_INT, ints.data(), n);
    s.x_elements(TYP_DOUBLE, doubles.data(), static_cast<uint32_t>(doubles.size()));
    s.x_opaque(bytes.data(), n);
    s.x_long(w);
  }
  close_unit(3, false, MSG_IOERROR);
  const std::vector<uint8_t> b = bytes_of("big");
  const size_t d0 = 4 + size_t{n} * 4, o0 = d0 + doubles.size() * 8;
  ASSERT_EQ(b.size(), o0 + 4 + ((n + 3) & ~3u) + 4);
  const size_t last = n - 1;
  EXPECT_EQ(b[4 + last * 4 + 2], (static_cast<uint16_t>(ints[last]) >> 8) & 0xff);
  EXPECT_EQ(b[4 + last * 4], ints[last] < 0 ? 0xff : 0);  // sign-extended
  uint64_t bits;
  std::memcpy(&bits, &doubles.back(), 8);
  EXPECT_EQ(b[o0 - 8], bits >> 56);
  EXPECT_EQ(b[o0 + 4 + last], bytes[last]);
  ASSERT_EQ(open(3, "big", ACC_READ, FA_XDR), 3);
  {
    SaveStream s(3);
    int32_t w = 0;
    s.x_long(w);
    std::vector<int16_t> ints2(n);
    std::vector<double> doubles2(doubles.size());
    std::vector<uint8_t> bytes2(n);
    s.x_elements(TYP_INT, ints2.data(), n);
    s.x_elements(TYP_DOUBLE, doubles2.data(), static_cast<uint32_t>(doubles.size()));
    s.x_opaque(bytes2.data(), n);
    s.x_long(w);
    EXPECT_EQ(w, 0x01020304);
    EXPECT_EQ(ints2, ints);
    EXPECT_EQ(doubles2, doubles);
    EXPECT_EQ(bytes2, bytes);
  }
  close_unit(3, false, MSG_IOERROR);
}

TEST(RestoredCode, OnlyWellFormedInstructionSequencesPass) {
  // PUSH_LOCAL slot 0, POP, END for a unit with one variable.
  std::vector<uint8_t> code = {OP_PUSH_LOCAL, 0, 0, 0, OP_POP, OP_END};
  const uint8_t data[64] = {};
  EXPECT_TRUE(sr_code_valid(code.data(), 6, 1, 0, data, 8, 8));
  EXPECT_FALSE(sr_code_valid(code.data(), 6, 0, 0, data, 8, 8));  // slot beyond the frame
  EXPECT_FALSE(sr_code_valid(code.data(), 5, 1, 0, data, 8, 8));  // no END
  code[4] = 200;                                                  // unknown opcode
  EXPECT_FALSE(sr_code_valid(code.data(), 6, 1, 0, data, 8, 8));
  // A jump must land on an instruction.
  std::vector<uint8_t> jump = {OP_JUMP, 0, 3, 0, OP_POP, OP_END};
  EXPECT_FALSE(sr_code_valid(jump.data(), 6, 0, 0, data, 8, 8));
  jump[2] = 5;
  EXPECT_TRUE(sr_code_valid(jump.data(), 6, 0, 0, data, 8, 8));
  // An instruction running past the end of the code.
  std::vector<uint8_t> cut = {OP_POP, 0, OP_PUSH_LOCAL, 0};
  cut[1] = OP_POP;
  EXPECT_FALSE(sr_code_valid(cut.data(), 4, 1, 0, data, 8, 8));
}

// Restored code must leave the operand stack as it found it on every path.
TEST(RestoredCode, OnlyBalancedStacksPass) {
  // x = 1 (PUSH_CONST is long: use two locals): PUSH_LOCAL, PUSH_LOCAL, STORE, END.
  std::vector<uint8_t> store = {OP_PUSH_LOCAL, 0, 0, 0, OP_PUSH_LOCAL, 0, 0, 0, OP_STORE, OP_END};
  EXPECT_TRUE(sr_stack_balanced(store.data(), 10, false));
  store[4] = OP_PAD4;  // STORE with one value on the stack
  EXPECT_FALSE(sr_stack_balanced(store.data(), 10, false));
  // A value left behind at the end.
  std::vector<uint8_t> left = {OP_PUSH_LOCAL, 0, 0, 0, OP_END};
  EXPECT_FALSE(sr_stack_balanced(left.data(), 5, false));
  // A function returns its result; a procedure returns nothing.
  std::vector<uint8_t> ret = {OP_PUSH_LOCAL, 0, 0, 0, OP_RETURN, OP_END};
  EXPECT_TRUE(sr_stack_balanced(ret.data(), 6, true));
  EXPECT_FALSE(sr_stack_balanced(ret.data(), 6, false));
  // Two paths meeting with different depths: IF x THEN push; POP after the join.
  std::vector<uint8_t> join = {OP_PUSH_LOCAL, 0, 0, 0, OP_JUMP_IF_FALSE, 0, 8, 0,
                               OP_PUSH_LOCAL, 0, 0, 0, OP_POP, OP_END};
  EXPECT_FALSE(sr_stack_balanced(join.data(), 14, false));
  // Code after an unconditional jump is checked from its statement boundary.
  std::vector<uint8_t> dead = {OP_JUMP, 0, 9, 0, OP_LINE, 0, 1, 0, OP_POP, OP_END};
  EXPECT_FALSE(sr_stack_balanced(dead.data(), 10, false));
  dead[8] = OP_PAD1;
  EXPECT_TRUE(sr_stack_balanced(dead.data(), 10, false));
}

}  // namespace
