// The interpreter on hand-assembled byte code: what compiled code cannot produce (a jump
// into a loop, an unknown opcode), steps, interrupts and recovery. The language itself is
// checked by the script tests.
#include "interp_support.h"

namespace {

class InterpreterTest : public InterpTest {};

// A jump into the body of a loop whose FOR_INIT never ran.
TEST_F(InterpreterTest, ForLoopEnteredIllegally) {
  Asm jump;
  jump.line(1);
  uint32_t j = jump.branch(OP_JUMP);
  jump.lng(0);
  jump.local(0);
  jump.lng(3);
  uint32_t fi = jump.for_init(false);
  jump.patch_here(j);
  jump.for_next(fi);
  jump.op(OP_END);
  EXPECT_NE(run(jump), nullptr);
  EXPECT_EQ(error_code, M_FOR_ENTERED_ILLEGALLY);
}

TEST_F(InterpreterTest, StepCountRunsThatManyStatements) {
  Asm a;
  for (int i = 1; i <= 4; i++) {
    a.line(i);
    a.local(0);
    a.lng(1);
    a.op(OP_ADD);
    a.store_local(0);
  }
  a.op(OP_END);
  var(0)->type = TYP_LONG;
  var(0)->value.l = 0;
  uint8_t* at = interpreter(a.code(), 0, 2, nullptr);
  ASSERT_NE(at, nullptr);
  EXPECT_EQ(var(0)->value.l, 2);
  EXPECT_EQ(inst_u16(at), 3) << "stopped at the third statement";
  at = interpreter(at, 0, 1, nullptr);
  EXPECT_EQ(var(0)->value.l, 3);
  EXPECT_EQ(interpreter(at, 0, 0, nullptr), nullptr);
  EXPECT_EQ(var(0)->value.l, 4);
}

int trip_count = 0;
void trip_after_five(int, Variable*[], KwNames) {
  if (++trip_count == 5) int_interrupt = IR_INTERRUPT;
}
const RoutineEntry trip_entry(trip_after_five, "TRIP", 0, 0);

TEST_F(InterpreterTest, InterruptStopsALoopWithinOneStatement) {
  trip_count = 0;
  Asm a;
  a.line(1);
  uint32_t mark = a.op(OP_PAD1);
  a.call(OP_CALL_SYSPRO, &trip_entry, 0);
  a.back(OP_JUMP_BACK, mark);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(trip_count, 5);
  EXPECT_EQ(int_interrupt, IR_INTERRUPT);
}

TEST_F(InterpreterTest, UnknownOpcodeIsReported) {
  Asm a;
  a.line(1);
  uint32_t bad = a.op(OP_PAD1);
  a.op(OP_END);
  *a.at(bad) = 0xC8;
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_UNKNOWN_INSTRUCTION);
}

TEST_F(InterpreterTest, FailedStatementReleasesItsTemporaries) {
  Asm a;
  a.line(1);
  a.str("abc");
  a.str("defg");
  a.local(7);  // undefined
  a.lng(1);
  a.op(OP_ADD);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_UNDEFINED);
  EXPECT_EQ(temp_list_handler(3), 0);
  EXPECT_EQ(istate.sp, istack_base());
}

}  // namespace
