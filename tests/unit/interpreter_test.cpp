// The interpreter on hand-assembled byte code: the scalar fast path, truth of
// conditions, FOR loops, CASE, stops, steps and interrupts, EXECUTE, and recovery.
#include <functional>

#include "interp_support.h"

namespace {

class InterpreterTest : public InterpTest {
 protected:
  // Stores l OP r into variable 0 and returns it.
  Variable binary(const std::function<void(Asm&)>& l, const std::function<void(Asm&)>& r, uint8_t op) {
    Asm a;
    a.line(1);
    l(a);
    r(a);
    a.op(op);
    a.store_local(0);
    a.op(OP_END);
    EXPECT_EQ(run(a), nullptr);
    return *var(0);
  }
};

TEST_F(InterpreterTest, ScalarOperatorsWrapPromoteAndCompare) {
  Variable v = binary([](Asm& a) { a.byte(200); }, [](Asm& a) { a.byte(100); }, OP_ADD);
  EXPECT_EQ(v.type, TYP_BYTE);
  EXPECT_EQ(v.value.c, 44);
  v = binary([](Asm& a) { a.lng(-7); }, [](Asm& a) { a.lng(2); }, OP_DIV);
  EXPECT_EQ(v.type, TYP_LONG);
  EXPECT_EQ(v.value.l, -3);
  v = binary([](Asm& a) { a.integer(32767); }, [](Asm& a) { a.integer(1); }, OP_ADD);
  EXPECT_EQ(v.type, TYP_INT);
  EXPECT_EQ(v.value.i, -32768);
  v = binary([](Asm& a) { a.integer(7); }, [](Asm& a) { a.flt(2.0f); }, OP_DIV);
  EXPECT_EQ(v.type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(v.value.f, 3.5f);
  v = binary([](Asm& a) { a.byte(200); }, [](Asm& a) { a.byte(100); }, OP_GT);
  EXPECT_EQ(v.type, TYP_BYTE);
  EXPECT_EQ(v.value.c, 1) << "BYTE compares unsigned";
  v = binary([](Asm& a) { a.dbl(5.0); }, [](Asm& a) { a.lng(6); }, OP_GE);
  EXPECT_EQ(v.type, TYP_BYTE);
  EXPECT_EQ(v.value.c, 0);
  v = binary([](Asm& a) { a.flt(2.0f); }, [](Asm& a) { a.flt(3.0f); }, OP_AND);
  EXPECT_FLOAT_EQ(v.value.f, 3.0f);
  v = binary([](Asm& a) { a.flt(0.0f); }, [](Asm& a) { a.flt(4.0f); }, OP_OR);
  EXPECT_FLOAT_EQ(v.value.f, 4.0f);
  v = binary([](Asm& a) { a.lng(12); }, [](Asm& a) { a.lng(10); }, OP_AND);
  EXPECT_EQ(v.value.l, 8);
  v = binary([](Asm& a) { a.cplx(1, 2); }, [](Asm& a) { a.cplx(3, 4); }, OP_MUL);
  EXPECT_EQ(v.type, TYP_COMPLEX);
  EXPECT_FLOAT_EQ(v.value.cmp.r, -5.0f);
  EXPECT_FLOAT_EQ(v.value.cmp.i, 10.0f);
  v = binary([](Asm& a) { a.lng(INT32_MIN); }, [](Asm& a) { a.lng(-1); }, OP_DIV);
  EXPECT_EQ(v.value.l, INT32_MIN);
}

TEST_F(InterpreterTest, IntegerDivisionByZeroIsAMathConditionNotACrash) {
  Variable v = binary([](Asm& a) { a.lng(5); }, [](Asm& a) { a.lng(0); }, OP_DIV);
  EXPECT_EQ(v.type, TYP_LONG);
  EXPECT_EQ(v.value.l, 0);
  EXPECT_TRUE(math_errors.cumulative & MATH_INT_DIV0) << "reported at the end of the statement";
  EXPECT_EQ(math_errors.pending, 0);
}

TEST_F(InterpreterTest, OddIntegersAreTrueRealsWhenNonZeroStringsWhenNotEmpty) {
  struct Case {
    std::function<void(Asm&)> value;
    bool expect;
  } cases[] = {
      {[](Asm& a) { a.lng(2); }, false},        {[](Asm& a) { a.lng(3); }, true},
      {[](Asm& a) { a.integer(-1); }, true},    {[](Asm& a) { a.byte(4); }, false},
      {[](Asm& a) { a.flt(0.5f); }, true},      {[](Asm& a) { a.dbl(0.0); }, false},
      {[](Asm& a) { a.str(""); }, false},       {[](Asm& a) { a.str("x"); }, true},
      {[](Asm& a) { a.cplx(0, 1); }, false},    {[](Asm& a) { a.cplx(2, 0); }, true},
  };
  int n = 0;
  for (auto& c : cases) {
    Asm a;
    a.line(1);
    c.value(a);
    uint32_t jf = a.branch(OP_JUMP_IF_FALSE);
    a.lng(1);
    a.store_local(0);
    uint32_t j = a.branch(OP_JUMP);
    a.patch_here(jf);
    a.lng(2);
    a.store_local(0);
    a.patch_here(j);
    a.op(OP_END);
    EXPECT_EQ(run(a), nullptr);
    EXPECT_EQ(var(0)->value.l, c.expect ? 1 : 2) << "case " << n;
    n++;
  }
}

TEST_F(InterpreterTest, UndefinedConditionIsAnError) {
  Asm a;
  a.line(1);
  a.local(3);
  a.branch(OP_JUMP_IF_FALSE);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_UNDEFINED);
}

// for var0 = init, limit [, step] do var1 = var1 + 1
void assemble_loop(Asm& a, const std::function<void(Asm&)>& init, const std::function<void(Asm&)>& limit,
                   const std::function<void(Asm&)>* step) {
  a.line(1);
  a.lng(0);
  a.store_local(1);
  a.line(2);
  init(a);
  a.local(0);
  limit(a);
  if (step) (*step)(a);
  uint32_t fi = a.for_init(step != nullptr);
  a.local(1);
  a.lng(1);
  a.op(OP_ADD);
  a.store_local(1);
  a.for_next(fi);
  a.op(OP_END);
}

TEST_F(InterpreterTest, ForLoopsLeaveTheVariableOneStepBeyondTheLimit) {
  struct Case {
    int init, limit, step;  // step 0: none
    int runs, final_value;
  } cases[] = {{0, 10, 3, 4, 12}, {5, 1, 0, 0, 6}, {10, 1, -4, 3, -2}, {0, 3, 0, 4, 4}, {2, 2, 0, 1, 3}};
  for (auto& c : cases) {
    Asm a;
    std::function<void(Asm&)> step = [&](Asm& x) { x.lng(c.step); };
    assemble_loop(a, [&](Asm& x) { x.lng(c.init); }, [&](Asm& x) { x.lng(c.limit); }, c.step ? &step : nullptr);
    EXPECT_EQ(run(a), nullptr);
    EXPECT_EQ(var(1)->value.l, c.runs) << c.init << "," << c.limit << "," << c.step;
    EXPECT_EQ(var(0)->type, TYP_LONG);
    EXPECT_EQ(var(0)->value.l, c.final_value) << c.init << "," << c.limit << "," << c.step;
  }
}

TEST_F(InterpreterTest, ForLoopConvertsTheLimitToTheVariablesType) {
  Asm a;
  assemble_loop(a, [](Asm& x) { x.integer(1); }, [](Asm& x) { x.dbl(3.9); }, nullptr);
  EXPECT_EQ(run(a), nullptr);
  EXPECT_EQ(var(0)->type, TYP_INT);
  EXPECT_EQ(var(0)->value.i, 4) << "a real limit is truncated";
  EXPECT_EQ(var(1)->value.l, 3);

  Asm f;
  assemble_loop(f, [](Asm& x) { x.flt(0.5f); }, [](Asm& x) { x.lng(2); }, nullptr);
  EXPECT_EQ(run(f), nullptr);
  EXPECT_FLOAT_EQ(var(0)->value.f, 2.5f);
  EXPECT_EQ(var(1)->value.l, 2);
}

TEST_F(InterpreterTest, ForLoopErrors) {
  Asm big;
  assemble_loop(big, [](Asm& x) { x.integer(0); }, [](Asm& x) { x.lng(40000); }, nullptr);
  EXPECT_NE(run(big), nullptr);
  EXPECT_EQ(error_code, M_LOOP_LIMIT);

  Asm cplx;
  assemble_loop(cplx, [](Asm& x) { x.cplx(0, 0); }, [](Asm& x) { x.lng(3); }, nullptr);
  EXPECT_NE(run(cplx), nullptr);
  EXPECT_EQ(error_code, M_NO_COMPLEX);

  // A jump into the body of a loop whose FOR_INIT never ran.
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

// CASE selector OF labels... : var0 = index of the matching label (ELSE: 99).
void assemble_case(Asm& a, const std::function<void(Asm&)>& selector,
                   const std::vector<std::function<void(Asm&)>>& labels, bool with_else) {
  a.line(1);
  selector(a);
  std::vector<uint32_t> ends;
  for (size_t i = 0; i < labels.size(); i++) {
    labels[i](a);
    uint32_t t = a.branch(OP_CASE_TEST);
    a.lng(static_cast<int32_t>(i + 1));
    a.store_local(0);
    ends.push_back(a.branch(OP_JUMP));
    a.patch_here(t);
  }
  if (with_else) {
    a.op(OP_POP);
    a.lng(99);
    a.store_local(0);
    ends.push_back(a.branch(OP_JUMP));
  }
  a.op(OP_CASE_NOMATCH);
  for (uint32_t e : ends) a.patch_here(e);
  a.op(OP_END);
}

TEST_F(InterpreterTest, CaseConvertsLabelsToTheSelectorsType) {
  Asm a;
  assemble_case(a, [](Asm& x) { x.integer(12); },
                {[](Asm& x) { x.str("7"); }, [](Asm& x) { x.str("12"); }, [](Asm& x) { x.lng(12); }}, false);
  EXPECT_EQ(run(a), nullptr);
  EXPECT_EQ(var(0)->value.l, 2);

  Asm s;
  assemble_case(s, [](Asm& x) { x.str("b"); }, {[](Asm& x) { x.str("a"); }, [](Asm& x) { x.str("b"); }}, false);
  EXPECT_EQ(run(s), nullptr);
  EXPECT_EQ(var(0)->value.l, 2);

  Asm e;
  assemble_case(e, [](Asm& x) { x.lng(5); }, {[](Asm& x) { x.lng(1); }}, true);
  EXPECT_EQ(run(e), nullptr);
  EXPECT_EQ(var(0)->value.l, 99);

  Asm none;
  assemble_case(none, [](Asm& x) { x.lng(5); }, {[](Asm& x) { x.lng(1); }}, false);
  EXPECT_NE(run(none), nullptr);
  EXPECT_EQ(error_code, M_CASE_NO_MATCH);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(InterpreterTest, StopRecordsAContinuationAndContinuingFinishes) {
  Asm a;
  a.line(1);
  a.lng(1);
  a.store_local(0);
  a.line(2);
  a.op2(OP_STOP, 0);
  a.line(3);
  a.lng(2);
  a.store_local(0);
  a.op(OP_END);
  uint8_t* stop = interpreter(a.code(), 0, 0, nullptr);
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(int_interrupt, IR_STEP);
  EXPECT_EQ(main_frame->cont_pc, stop);
  EXPECT_EQ(var(0)->value.l, 1);
  EXPECT_EQ(interpreter(stop, 0, 0, nullptr), nullptr);
  EXPECT_EQ(var(0)->value.l, 2);
  EXPECT_EQ(main_frame->cont_pc, nullptr);
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

TEST_F(InterpreterTest, ExecuteYieldsOneOnSuccessAndZeroOnAnyFailure) {
  Asm a;
  a.line(1);
  a.str("x9 = 9");
  a.op(OP_EXECUTE);
  a.store_local(0);
  a.line(2);
  a.str("y9 = undefined_zz + 1");
  a.op(OP_EXECUTE);
  a.store_local(1);
  a.line(3);
  a.str("y9 = 1 +");
  a.op(OP_EXECUTE);
  a.store_local(3);
  a.op(OP_END);
  EXPECT_EQ(run(a), nullptr);
  EXPECT_EQ(var(0)->value.i, 1);
  VarInfo x9 = find_main_variable("X9");
  ASSERT_NE(x9.var, nullptr);
  EXPECT_EQ(x9.var->type, TYP_INT);
  EXPECT_EQ(x9.var->value.i, 9);
  EXPECT_EQ(var(1)->value.i, 0);
  EXPECT_EQ(var(3)->value.i, 0);
  EXPECT_EQ(istate.execute_list, nullptr);
}

TEST_F(InterpreterTest, ExecuteRequiresAScalarString) {
  Asm a;
  a.line(1);
  a.lng(3);
  a.op(OP_EXECUTE);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_NEED_STRING);
}

}  // namespace
