// The instruction table, padding, instruction lengths, constant pooling and statement
// markers of the emitter.
#include <gtest/gtest.h>

#include "compiler/bytecode.h"
#include "compiler/cstate.h"
#include "test_support.h"

namespace {

class BytecodeTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    unit_ = CodeBlock{};
    alloc_code_area(&unit_, 2000, 400);
    saved_ = c_prog;
    c_prog = &unit_;
    cstate.error_count = 0, cstate.code_full = false, cstate.stmt_start = false;
  }
  void TearDown() override {
    c_prog = saved_;
    free_code_area(&unit_);
    cstate.error_count = 0, cstate.code_full = false, cstate.stmt_start = false;
    VekTest::TearDown();
  }
  uint32_t emit1(Opcode op) {
    uint8_t b[1] = {op};
    return enter_inst(b, 1, &unit_);
  }
  CodeBlock unit_{};
  CodeBlock* saved_ = nullptr;
};

TEST_F(BytecodeTest, TableAgreesWithOpcodeNumbering) {
  EXPECT_STREQ(inst_def[1].name, "PUSH_LOCAL");
  EXPECT_STREQ(inst_def[OP_ADD].name, "ADD");
  EXPECT_EQ(OP_ADD, 13);
  EXPECT_EQ(OP_GT, 29);
  EXPECT_EQ(OP_END, 56);
  EXPECT_EQ(OP_PAD1, 67);
  EXPECT_EQ(OP_SET_IOERROR_BACK, 80);
  for (int k = 0; k < 7; k++) EXPECT_EQ(inst_def[OP_PAD1 + k].length, k + 1);
  // Every fixed length is a multiple of nothing in particular, but never below 1, and
  // every alignment is a power of two no larger than 8.
  for (int op = 1; op < OP_COUNT; op++) {
    int a = inst_def[op].align;
    EXPECT_TRUE(a == 1 || a == 2 || a == 4 || a == 8) << inst_def[op].name;
  }
  EXPECT_EQ(inst_def[OP_PUSH_CONST].length, 8 + sizeof(Variable));
}

TEST_F(BytecodeTest, AlignmentPaddingUsesFillerOfRightLength) {
  for (int i = 0; i < 13; i++) emit1(OP_POP);
  ASSERT_EQ(unit_.code_len, 13u);
  uint8_t inst[32] = {OP_PUSH_CONST};
  uint32_t at = enter_inst(inst, 32, &unit_);
  EXPECT_EQ(at, 16u);
  EXPECT_EQ(unit_.code[13], OP_PAD3);
  EXPECT_EQ(instruction_length(&unit_, 13), 16u);
  EXPECT_EQ(instruction_length(&unit_, 16), 48u);
}

TEST_F(BytecodeTest, ComputedLengthsAndEnd) {
  uint8_t str[12] = {OP_PUSH_STRING, 3, 0, 'a', 'b', 'c', 0};
  EXPECT_EQ(inst_size(str), 8u);  // 3 + 5 rounded down to even
  str[1] = 4;
  EXPECT_EQ(inst_size(str), 8u);
  uint8_t ms[12] = {OP_MAKE_STRUCT, 2};
  EXPECT_EQ(inst_size(ms), 12u);
  uint8_t call[8] = {OP_CALL_SYSPRO, 2};
  put_u16(call, 10);
  EXPECT_EQ(inst_size(call), 18u);
  emit1(OP_END);
  EXPECT_EQ(instruction_length(&unit_, 0), 0u);
  unit_.code[0] = 0;
  EXPECT_EQ(instruction_length(&unit_, 0), 0u);
  unit_.code[0] = 81;
  EXPECT_EQ(instruction_length(&unit_, 0), 0u);
}

TEST_F(BytecodeTest, FullCodeAreaEmitsNothing) {
  CodeBlock small{};
  alloc_code_area(&small, 8, 16);
  uint8_t pop[1] = {OP_POP};
  for (int i = 0; i < 7; i++) EXPECT_EQ(enter_inst(pop, 1, &small), static_cast<uint32_t>(i));
  EXPECT_EQ(enter_inst(pop, 1, &small), 0u);
  EXPECT_EQ(small.code_len, 7u);
  EXPECT_GT(cstate.error_count, 0);
  free_code_area(&small);
}

TEST_F(BytecodeTest, EqualConstantsArePooledTypesAreNot) {
  ConstPool pool{};
  Variable one{};
  one.type = TYP_INT;
  one.value.i = 1;
  Variable one_long{};
  one_long.type = TYP_LONG;
  one_long.value.l = 1;
  uint32_t a = emit_constant(one, &unit_, &pool);
  uint32_t b = emit_constant(one, &unit_, &pool);
  uint32_t c = emit_constant(one_long, &unit_, &pool);
  EXPECT_EQ(unit_.code[a], OP_PUSH_CONST);
  ASSERT_EQ(unit_.code[b], OP_PUSH_CONST_REF);
  EXPECT_EQ(b - inst_u16(unit_.code + b), a + 8);
  EXPECT_EQ(unit_.code[c], OP_PUSH_CONST);
  // Without a pool every constant is emitted in full.
  uint32_t d = emit_constant(one, &unit_, nullptr);
  EXPECT_EQ(unit_.code[d], OP_PUSH_CONST);
  EXPECT_EQ(inst_const(unit_.code + d)->value.i, 1);
  EXPECT_EQ(inst_const(unit_.code + d)->flags, FLAG_CONSTANT);
}

TEST_F(BytecodeTest, ConstHashFollowsShiftXorRule) {
  const uint8_t bytes[3] = {7, 200, 1};
  uint16_t h = 0;
  for (uint8_t b : bytes) h = static_cast<uint16_t>((b - 3) ^ (2 * h));
  EXPECT_EQ(const_hash(bytes, 3), h);
}

TEST_F(BytecodeTest, HandlesRoundTrip) {
  int x = 0, y = 0;
  uint32_t hx = code_handle(&x);
  EXPECT_NE(hx, 0u);
  EXPECT_EQ(code_handle(&x), hx);
  EXPECT_NE(code_handle(&y), hx);
  EXPECT_EQ(handle_ptr(hx), &x);
  EXPECT_EQ(code_handle(nullptr), 0u);
  EXPECT_EQ(handle_ptr(0), nullptr);
}

}  // namespace
