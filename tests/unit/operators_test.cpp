#include <array>
#include <cfenv>
#include <cmath>
#include <complex>
#include <cstdint>

#include "compiler/bytecode.h"
#include "interp/operators.h"
#include "lib/math.h"
#include "ops_support.h"
#include "values/struct.h"

using namespace ops_test;

namespace {

class OperatorsTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    check_fpe(0, 0, 0, 0);  // start from clear math-error state
  }
  void TearDown() override {
    check_fpe(0, 0, 0, 0);
    math_errors.pending = 0;
    VekTest::TearDown();
  }
};

// A value of `type` that reads as v (strings hold its decimal text, or the pair form
// that a string needs to convert to COMPLEX).
Variable* make_value(int type, int v, bool array = false, bool complex_text = false) {
  if (type == TYP_STRING && complex_text) {
    std::string t = "(" + std::to_string(v) + ",0)";
    return array ? str_array_temp({t}) : str_temp(t);
  }
  std::vector<int32_t> d1 = {1};
  switch (type) {
    case TYP_BYTE: return array ? array_temp<uint8_t>(type, {uint8_t(v)}) : scalar_temp(type, uint8_t(v));
    case TYP_INT: return array ? array_temp<int16_t>(type, {int16_t(v)}) : scalar_temp(type, int16_t(v));
    case TYP_LONG: return array ? array_temp<int32_t>(type, {v}) : scalar_temp(type, int32_t(v));
    case TYP_FLOAT: return array ? array_temp<float>(type, {float(v)}) : scalar_temp(type, float(v));
    case TYP_DOUBLE: return array ? array_temp<double>(type, {double(v)}) : scalar_temp(type, double(v));
    case TYP_COMPLEX: {
      std::complex<float> c(float(v), 0);
      return array ? array_temp<std::complex<float>>(type, {c}) : scalar_temp(type, c);
    }
    default: return array ? str_array_temp({std::to_string(v)}) : str_temp(std::to_string(v));
  }
}

double num(Variable* v, size_t i = 0) {
  switch (v->type) {
    case TYP_BYTE: return elem<uint8_t>(v, i);
    case TYP_INT: return elem<int16_t>(v, i);
    case TYP_LONG: return elem<int32_t>(v, i);
    case TYP_FLOAT: return elem<float>(v, i);
    case TYP_DOUBLE: return elem<double>(v, i);
    case TYP_COMPLEX: return elem<std::complex<float>>(v, i).real();
    default: return std::stod(str_elem(v, i));
  }
}

int widest(int l, int r) {
  if (l == TYP_STRING) return r;
  if (r == TYP_STRING) return l;
  return std::max(l, r);
}

TEST_F(OperatorsTest, EveryTypePairPromotesAndConvertsBothOperands) {
  for (int l = TYP_BYTE; l <= TYP_STRING; l++) {
    for (int r = TYP_BYTE; r <= TYP_STRING; r++) {
      for (bool arrays : {false, true}) {
        SCOPED_TRACE(testing::Message() << "left " << l << " right " << r << " arrays " << arrays);
        Variable* sum =
            vek_binop(&ur_op_add, make_value(l, 3, arrays, r == TYP_COMPLEX), make_value(r, 4, false, l == TYP_COMPLEX));
        EXPECT_EQ(sum->type, widest(l, r));
        EXPECT_EQ(bool(sum->flags & FLAG_ARRAY), arrays);
        if (sum->type == TYP_STRING) EXPECT_EQ(str_elem(sum), "34");
        else EXPECT_EQ(num(sum), 7.0);
        deltmp(sum);
        Variable* ne =
            vek_binop(&ur_op_ne, make_value(l, 3, false, r == TYP_COMPLEX), make_value(r, 4, arrays, l == TYP_COMPLEX));
        EXPECT_EQ(ne->type, TYP_BYTE);
        EXPECT_EQ(elem<uint8_t>(ne), 1);
        deltmp(ne);
      }
    }
  }
  // Spot checks against the published table.
  EXPECT_EQ(arith_entry(AT_PROMOTE, TYP_STRING, TYP_BYTE), TYP_BYTE);
  EXPECT_EQ(arith_entry(AT_PROMOTE, TYP_INT, TYP_COMPLEX), TYP_COMPLEX);
  EXPECT_EQ(arith_entry(AT_CONV_LEFT, TYP_STRING, TYP_STRING), 0);
  EXPECT_EQ(arith_entry(AT_CONV_RIGHT, TYP_DOUBLE, TYP_FLOAT), 0);
  EXPECT_EQ(arith_entry(AT_CONV_LEFT, TYP_DOUBLE, TYP_FLOAT), TYP_DOUBLE);
}

TEST_F(OperatorsTest, IntegerArithmeticWrapsInTheTypeWidth) {
  const std::vector<int64_t> samples = {0, 1, -1, 7, -7, 100, 200, 255, 32767, -32768, 65535, 123456789, -2147483647};
  for (int64_t a : samples) {
    for (int64_t b : samples) {
      auto check = [&](const BinOpTable* op, int64_t exact) {
        Variable* rb = vek_binop(op, make_value(TYP_BYTE, int(a & 0xff)), make_value(TYP_BYTE, int(b & 0xff)));
        Variable* ri = vek_binop(op, make_value(TYP_INT, int(int16_t(a))), make_value(TYP_INT, int(int16_t(b))));
        Variable* rl = vek_binop(op, make_value(TYP_LONG, int(int32_t(a))), make_value(TYP_LONG, int(int32_t(b))));
        EXPECT_EQ(elem<uint8_t>(rb), uint8_t(exact & 0xff)) << a << " " << b;
        EXPECT_EQ(elem<int16_t>(ri), int16_t(uint16_t(exact & 0xffff))) << a << " " << b;
        EXPECT_EQ(elem<int32_t>(rl), int32_t(uint32_t(exact & 0xffffffff))) << a << " " << b;
        deltmp(rb);
        deltmp(ri);
        deltmp(rl);
      };
      check(&ur_op_add, a + b);
      check(&ur_op_sub, a - b);
      check(&ur_op_mul, int64_t(uint64_t(a) * uint64_t(b)));
    }
  }
  Variable* b = vek_binop(&ur_op_add, make_value(TYP_BYTE, 200), make_value(TYP_BYTE, 100));
  EXPECT_EQ(elem<uint8_t>(b), 44);
  deltmp(b);
}

TEST_F(OperatorsTest, DivisionTruncatesAndModKeepsTheDividendSign) {
  for (int a = -9; a <= 9; a++) {
    for (int b : {-4, -3, -1, 1, 2, 3, 5}) {
      Variable* q = vek_binop(&ur_op_div, make_value(TYP_INT, a), make_value(TYP_INT, b));
      Variable* m = vek_binop(&ur_op_mod, make_value(TYP_LONG, a), make_value(TYP_LONG, b));
      EXPECT_EQ(elem<int16_t>(q), int(std::trunc(double(a) / b))) << a << "/" << b;
      EXPECT_EQ(elem<int32_t>(m), a - b * int(std::trunc(double(a) / b))) << a << " mod " << b;
      deltmp(q);
      deltmp(m);
    }
  }
  Variable* f = vek_binop(&ur_op_mod, scalar_temp(TYP_FLOAT, 5.5f), scalar_temp(TYP_FLOAT, 2.0f));
  EXPECT_FLOAT_EQ(elem<float>(f), 1.5f);
  deltmp(f);
  // BYTE division is unsigned.
  Variable* ub = vek_binop(&ur_op_div, make_value(TYP_BYTE, 250), make_value(TYP_BYTE, 7));
  EXPECT_EQ(elem<uint8_t>(ub), 250 / 7);
  deltmp(ub);
}

TEST_F(OperatorsTest, IntegerDivideByZeroIsAConditionNotACrash) {
  Variable* q = vek_binop(&ur_op_div, make_value(TYP_LONG, 5), make_value(TYP_LONG, 0));
  EXPECT_EQ(elem<int32_t>(q), 0);
  deltmp(q);
  EXPECT_TRUE(check_fpe(0, 0, 0, 0) & MATH_INT_DIV0);
  Variable* m = vek_binop(&ur_op_mod, array_temp<int16_t>(TYP_INT, {4, 5, 6}), make_value(TYP_INT, 0));
  EXPECT_TRUE(check_fpe(0, 0, 0, 0) & MATH_INT_DIV0);
  deltmp(m);
  // The most negative LONG divided by -1 wraps instead of trapping.
  Variable* w = vek_binop(&ur_op_div, scalar_temp(TYP_LONG, INT32_MIN), make_value(TYP_LONG, -1));
  EXPECT_EQ(elem<int32_t>(w), INT32_MIN);
  deltmp(w);
  EXPECT_EQ(check_fpe(0, 0, 0, 0) & MATH_INT_DIV0, 0);
}

TEST_F(OperatorsTest, FloatingExceptionsLeaveStickyFlagsForCheckMath) {
  Variable* q = vek_binop(&ur_op_div, array_temp<float>(TYP_FLOAT, {1, -1, 0}), scalar_temp(TYP_FLOAT, 0.0f));
  EXPECT_TRUE(std::isinf(elem<float>(q, 0)));
  EXPECT_TRUE(std::isnan(elem<float>(q, 2)));
  deltmp(q);
  int bits = check_fpe(0, 0, 0, 0);
  EXPECT_TRUE(bits & MATH_FLT_DIV0);
  EXPECT_TRUE(bits & MATH_FLT_INVALID);
}

TEST_F(OperatorsTest, StringOperands) {
  Variable* s = vek_binop(&ur_op_add, str_temp("ab"), str_temp("cd"));
  EXPECT_EQ(s->type, TYP_STRING);
  EXPECT_EQ(str_elem(s), "abcd");
  deltmp(s);
  Variable* e = vek_binop(&ur_op_add, str_temp(""), str_temp(""));
  EXPECT_EQ(e->value.str.length, 0);
  deltmp(e);
  Variable* n = vek_binop(&ur_op_add, str_temp("12"), make_value(TYP_LONG, 1));
  EXPECT_EQ(n->type, TYP_LONG);
  EXPECT_EQ(elem<int32_t>(n), 13);
  deltmp(n);
  // strcmp order: a prefix sorts first, bytes compare unsigned.
  struct {
    const char *a, *b;
    int lt;
  } cases[] = {{"a", "b", 1}, {"ab", "a", 0}, {"", "a", 1}, {"a", "", 0}, {"\xe9", "z", 0}, {"same", "same", 0}};
  for (auto& c : cases) {
    Variable* r = vek_binop(&ur_op_lt, str_temp(c.a), str_temp(c.b));
    EXPECT_EQ(elem<uint8_t>(r), c.lt) << c.a << " LT " << c.b;
    deltmp(r);
  }
  Variable* eq = vek_binop(&ur_op_eq, str_array_temp({"x", "y", ""}), str_temp("y"));
  EXPECT_EQ(elem<uint8_t>(eq, 0) + 2 * elem<uint8_t>(eq, 1) + 4 * elem<uint8_t>(eq, 2), 2);
  deltmp(eq);
  EXPECT_EQ(error_code_of([] { vek_binop(&ur_op_sub, str_temp("a"), str_temp("b")); }), M_ILLEGAL_STRING);
  temp_list_handler(2);
  std::string big(40000, 'x');
  EXPECT_EQ(error_code_of([&] { vek_binop(&ur_op_add, str_temp(big), str_temp(big)); }), M_STRING_TOO_LONG);
  temp_list_handler(2);
}

TEST_F(OperatorsTest, IllegalTypeCombinationsReportTheirMessage) {
  EXPECT_EQ(error_code_of([] { vek_binop(&ur_op_xor, make_value(TYP_FLOAT, 1), make_value(TYP_INT, 1)); }),
            M_ILLEGAL_FLOAT);
  EXPECT_EQ(error_code_of([] { vek_binop(&ur_op_min, make_value(TYP_COMPLEX, 1), make_value(TYP_INT, 1)); }),
            M_ILLEGAL_COMPLEX);
  EXPECT_EQ(error_code_of([] { vek_binop(&ur_op_lt, make_value(TYP_COMPLEX, 1), make_value(TYP_INT, 1)); }),
            M_ILLEGAL_COMPLEX);
  Variable undef{};
  EXPECT_EQ(error_code_of([&] { vek_binop(&ur_op_add, &undef, make_value(TYP_INT, 1)); }), M_UNDEFINED);
  Variable file{};
  make_file_var(&file, 3);
  EXPECT_EQ(error_code_of([&] { vek_binop(&ur_op_add, make_value(TYP_INT, 1), &file); }), M_NO_FILE_STRUCT);
  EXPECT_EQ(error_code_of([&] { con(2, std::array<Variable*, 2>{make_value(TYP_INT, 1), &file}.data(), 0); }),
            M_NO_FILE);
  delvar(&file);
  temp_list_handler(2);
}

TEST_F(OperatorsTest, MinMaxAndLogicalOperators) {
  auto l = [](const BinOpTable* op, Variable* a, Variable* b) {
    Variable* r = vek_binop(op, a, b);
    double v = num(r);
    deltmp(r);
    return v;
  };
  EXPECT_EQ(l(&ur_op_min, make_value(TYP_INT, 3), make_value(TYP_INT, 5)), 3);
  EXPECT_EQ(l(&ur_op_max, make_value(TYP_INT, 3), make_value(TYP_INT, 5)), 5);
  EXPECT_EQ(l(&ur_op_max, make_value(TYP_BYTE, 200), make_value(TYP_BYTE, 100)), 200);  // unsigned
  EXPECT_EQ(l(&ur_op_and, make_value(TYP_FLOAT, 2), make_value(TYP_FLOAT, 3)), 3.0);
  EXPECT_EQ(l(&ur_op_and, make_value(TYP_FLOAT, 0), make_value(TYP_FLOAT, 3)), 0.0);
  EXPECT_EQ(l(&ur_op_or, make_value(TYP_FLOAT, 0), make_value(TYP_FLOAT, 4)), 4.0);
  EXPECT_EQ(l(&ur_op_or, make_value(TYP_DOUBLE, 2), make_value(TYP_DOUBLE, 4)), 2.0);
  EXPECT_EQ(l(&ur_op_and, make_value(TYP_INT, 6), make_value(TYP_INT, 3)), 2);
  EXPECT_EQ(l(&ur_op_xor, make_value(TYP_LONG, 6), make_value(TYP_LONG, 3)), 5);
}

TEST_F(OperatorsTest, ExponentSpecialCases) {
  auto pw = [](Variable* base, Variable* e) {
    Variable* r = vek_binop(power_op_table(e), base, e);
    return r;
  };
  Variable* r = pw(make_value(TYP_INT, 2), make_value(TYP_INT, -1));
  EXPECT_EQ(r->type, TYP_INT);
  EXPECT_EQ(elem<int16_t>(r), 0);
  deltmp(r);
  r = pw(make_value(TYP_FLOAT, 2), make_value(TYP_INT, -1));
  EXPECT_EQ(elem<float>(r), 0.5f);
  deltmp(r);
  r = pw(make_value(TYP_LONG, 0), make_value(TYP_LONG, 0));
  EXPECT_EQ(elem<int32_t>(r), 1);
  deltmp(r);
  r = pw(make_value(TYP_FLOAT, 0), make_value(TYP_FLOAT, 0));
  EXPECT_EQ(elem<float>(r), 1.0f);
  deltmp(r);
  r = pw(make_value(TYP_FLOAT, 0), make_value(TYP_FLOAT, 3));
  EXPECT_EQ(elem<float>(r), 0.0f);
  deltmp(r);
  r = pw(make_value(TYP_DOUBLE, 0), make_value(TYP_DOUBLE, -2));
  EXPECT_TRUE(std::isinf(elem<double>(r)));
  EXPECT_TRUE(check_fpe(0, 0, 0, 0) & MATH_FLT_DIV0);
  deltmp(r);
  // Integer bases square in their own width; BYTE wraps.
  for (int e = 0; e <= 12; e++) {
    r = pw(make_value(TYP_BYTE, 3), make_value(TYP_BYTE, e));
    EXPECT_EQ(elem<uint8_t>(r), uint8_t(int64_t(std::pow(3.0, e)) & 0xff)) << e;
    deltmp(r);
    r = pw(make_value(TYP_LONG, -3), make_value(TYP_INT, e));
    EXPECT_EQ(elem<int32_t>(r), int32_t(std::pow(-3.0, e))) << e;
    deltmp(r);
  }
  // Result types of the real power: integer bases go to FLOAT, or DOUBLE with a DOUBLE exponent.
  r = pw(make_value(TYP_INT, 4), make_value(TYP_FLOAT, 0));
  EXPECT_EQ(r->type, TYP_FLOAT);
  deltmp(r);
  r = pw(make_value(TYP_LONG, 4), make_value(TYP_DOUBLE, 0));
  EXPECT_EQ(r->type, TYP_DOUBLE);
  deltmp(r);
  r = pw(make_value(TYP_DOUBLE, 4), make_value(TYP_STRING, 2));
  EXPECT_EQ(r->type, TYP_DOUBLE);
  EXPECT_EQ(elem<double>(r), 16.0);
  deltmp(r);
  r = pw(make_value(TYP_STRING, 9), make_value(TYP_INT, 2));
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(r), 81.0f);
  deltmp(r);
  // Complex: i^2 = -1 (integer exponent) and i^2.0 by the logarithm.
  std::complex<float> i(0, 1);
  r = pw(scalar_temp(TYP_COMPLEX, i), make_value(TYP_INT, 2));
  EXPECT_EQ(elem<std::complex<float>>(r), std::complex<float>(-1, 0));
  deltmp(r);
  r = pw(scalar_temp(TYP_COMPLEX, i), make_value(TYP_FLOAT, 2));
  EXPECT_EQ(r->type, TYP_COMPLEX);
  EXPECT_NEAR(elem<std::complex<float>>(r).real(), -1.0f, 1e-6);
  EXPECT_NEAR(elem<std::complex<float>>(r).imag(), 0.0f, 1e-6);
  deltmp(r);
  r = pw(scalar_temp(TYP_COMPLEX, std::complex<float>(1, 1)), make_value(TYP_INT, -2));
  std::complex<double> want = std::pow(std::complex<double>(1, 1), -2);
  EXPECT_NEAR(elem<std::complex<float>>(r).real(), want.real(), 1e-6);
  EXPECT_NEAR(elem<std::complex<float>>(r).imag(), want.imag(), 1e-6);
  deltmp(r);
}

TEST_F(OperatorsTest, OpcodesSelectTheirOperator) {
  Variable* r = binop_for_opcode(OP_POWER, make_value(TYP_FLOAT, 2), make_value(TYP_INT, -1));
  EXPECT_EQ(elem<float>(r), 0.5f);
  deltmp(r);
  r = binop_for_opcode(OP_POWER, make_value(TYP_INT, 2), scalar_temp(TYP_FLOAT, 0.5f));
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(elem<float>(r), std::sqrt(2.0f));
  deltmp(r);
  const int expect[] = {7, 3, 10, 2, 2, 5};  // 5 op 2 for ADD, SUB, MUL, DIV, MIN, MAX
  for (int op = OP_ADD; op <= OP_MAX; op++) {
    r = binop_for_opcode(op, make_value(TYP_LONG, 5), make_value(TYP_LONG, 2));
    EXPECT_EQ(elem<int32_t>(r), expect[op - OP_ADD]) << op;
    deltmp(r);
  }
  r = binop_for_opcode(OP_GE, make_value(TYP_LONG, 5), make_value(TYP_LONG, 2));
  EXPECT_EQ(elem<uint8_t>(r), 1);
  deltmp(r);
  r = uop_for_opcode(OP_NEGATE, make_value(TYP_DOUBLE, 3));
  EXPECT_EQ(elem<double>(r), -3.0);
  deltmp(r);
}

TEST_F(OperatorsTest, ComplexProductAndQuotient) {
  const std::complex<float> a(1, 2), b(3, -4);
  Variable* p = vek_binop(&ur_op_mul, scalar_temp(TYP_COMPLEX, a), scalar_temp(TYP_COMPLEX, b));
  Variable* q = vek_binop(&ur_op_div, array_temp<std::complex<float>>(TYP_COMPLEX, {a, b}),
                          scalar_temp(TYP_COMPLEX, b));
  std::complex<double> want_p = std::complex<double>(a) * std::complex<double>(b);
  std::complex<double> want_q = std::complex<double>(a) / std::complex<double>(b);
  EXPECT_NEAR(elem<std::complex<float>>(p).real(), want_p.real(), 1e-5);
  EXPECT_NEAR(elem<std::complex<float>>(p).imag(), want_p.imag(), 1e-5);
  EXPECT_NEAR(elem<std::complex<float>>(q, 0).real(), want_q.real(), 1e-6);
  EXPECT_NEAR(elem<std::complex<float>>(q, 0).imag(), want_q.imag(), 1e-6);
  EXPECT_EQ(elem<std::complex<float>>(q, 1), std::complex<float>(1, 0));
  deltmp(p);
  deltmp(q);
  Variable* eq = vek_binop(&ur_op_eq, scalar_temp(TYP_COMPLEX, a), scalar_temp(TYP_COMPLEX, std::conj(a)));
  EXPECT_EQ(elem<uint8_t>(eq), 0);
  deltmp(eq);
}

TEST_F(OperatorsTest, ShorterArraySetsTheResultShape) {
  Variable* r = vek_binop(&ur_op_add, array_temp<int16_t>(TYP_INT, {1, 2, 3}), array_temp<int16_t>(TYP_INT, {10, 20}));
  ASSERT_EQ(r->value.s.arr->n_elts, 2u);
  EXPECT_EQ(elem<int16_t>(r, 0), 11);
  EXPECT_EQ(elem<int16_t>(r, 1), 22);
  deltmp(r);
  // Equal counts: the left operand's shape, even when the right one's storage is reused.
  Variable* m = vek_binop(&ur_op_mul, array_temp<float>(TYP_FLOAT, {1, 2, 3, 4, 5, 6}, {2, 3}),
                          array_temp<float>(TYP_FLOAT, {1, 1, 1, 1, 1, 2}));
  EXPECT_EQ(dims_of(m), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(elem<float>(m, 5), 12.0f);
  deltmp(m);
  Variable* s = vek_binop(&ur_op_sub, make_value(TYP_LONG, 10), array_temp<int16_t>(TYP_INT, {1, 2, 3, 4}, {2, 2}));
  EXPECT_EQ(s->type, TYP_LONG);
  EXPECT_EQ(dims_of(s), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(elem<int32_t>(s, 3), 6);
  deltmp(s);
}

TEST_F(OperatorsTest, TemporariesAreReusedInPlace) {
  const int n = 1000;
  std::vector<float> vals(n);
  for (int i = 0; i < n; i++) vals[i] = float(i);
  Variable* a = array_temp<float>(TYP_FLOAT, vals);
  uint8_t* data = a->value.s.arr->data;
  const uint32_t allocs = mem_counters.n_malloc;
  Variable* root = vek_uop(1, &a, &ur_abs);  // abs in place
  Variable* t = vek_binop(&ur_op_mul, root, scalar_temp(TYP_FLOAT, 2.0f));
  t = vek_binop(&ur_op_add, t, scalar_temp(TYP_FLOAT, 1.0f));
  t = vek_binop(&ur_op_max, scalar_temp(TYP_FLOAT, 5.0f), t);
  EXPECT_EQ(mem_counters.n_malloc, allocs);
  EXPECT_EQ(t->value.s.arr->data, data);
  EXPECT_EQ(elem<float>(t, 0), 5.0f);
  EXPECT_EQ(elem<float>(t, 999), 1999.0f);
  // A LONG temporary converted to FLOAT in place, then reused.
  Variable* l = array_temp<int32_t>(TYP_LONG, {1, 2, 3});
  uint8_t* ldata = l->value.s.arr->data;
  const uint32_t allocs2 = mem_counters.n_malloc;
  Variable* f = vek_binop(&ur_op_div, l, scalar_temp(TYP_FLOAT, 2.0f));
  EXPECT_EQ(mem_counters.n_malloc, allocs2);
  EXPECT_EQ(f->value.s.arr->data, ldata);
  EXPECT_EQ(f->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(f, 2), 1.5f);
  deltmp(f);
  deltmp(t);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(OperatorsTest, NamedOperandsAreNeitherFreedNorOverwritten) {
  Variable named{};
  Variable* src = array_temp<int16_t>(TYP_INT, {1, 2, 3});
  var_copy(src, &named);
  Variable* r = vek_binop(&ur_op_add, &named, &named);
  EXPECT_EQ(elem<int16_t>(r, 2), 6);
  EXPECT_EQ(elem<int16_t>(&named, 2), 3);
  deltmp(r);
  Variable* neg = vek_uop(1, std::array<Variable*, 1>{&named}.data(), &ur_neg_op);
  EXPECT_EQ(elem<int16_t>(neg, 0), -1);
  EXPECT_EQ(elem<int16_t>(&named, 0), 1);
  deltmp(neg);
  delvar(&named);
}

TEST_F(OperatorsTest, UnaryOperators) {
  auto un = [](const UnOpTable* op, Variable* x) {
    Variable* r = vek_uop(1, &x, op);
    return r;
  };
  Variable* r = un(&ur_not_op, make_value(TYP_BYTE, 5));
  EXPECT_EQ(elem<uint8_t>(r), 250);
  deltmp(r);
  r = un(&ur_neg_op, make_value(TYP_BYTE, 5));
  EXPECT_EQ(elem<uint8_t>(r), 251);
  deltmp(r);
  r = un(&ur_abs, scalar_temp(TYP_INT, int16_t(-32768)));
  EXPECT_EQ(elem<int16_t>(r), -32768);
  deltmp(r);
  r = un(&ur_not_op, array_temp<double>(TYP_DOUBLE, {0.0, 2.5}));
  EXPECT_EQ(elem<double>(r, 0), 1.0);
  EXPECT_EQ(elem<double>(r, 1), 0.0);
  deltmp(r);
  r = un(&ur_neg_op, str_temp("2.5"));
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(r), -2.5f);
  deltmp(r);
  r = un(&ur_abs, array_temp<std::complex<float>>(TYP_COMPLEX, {{3, 4}, {-5, 12}}));
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(r, 1), 13.0f);
  deltmp(r);
  EXPECT_EQ(error_code_of([&] { un(&ur_not_op, make_value(TYP_COMPLEX, 1)); }), M_ILLEGAL_COMPLEX);
  EXPECT_EQ(error_code_of([&] { un(&ur_not_op, str_temp("1")); }), M_ILLEGAL_STRING);
  temp_list_handler(2);
}

TEST_F(OperatorsTest, MathFunctionsFollowTheirArgumentType) {
  // Built-ins leave their arguments to the caller (the interpreter releases them).
  Variable* in = array_temp<int16_t>(TYP_INT, {1, 4, 9});
  Variable* r = ur_op_sqrt(1, &in, nullptr);
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(r, 2), 3.0f);
  EXPECT_EQ(elem<int16_t>(in, 2), 9);
  deltmp(r);
  deltmp(in);
  // ...but an array temporary's storage is taken over for the result.
  Variable* f = array_temp<float>(TYP_FLOAT, {16, 25});
  uint8_t* storage = f->value.s.arr->data;
  r = ur_op_sqrt(1, &f, nullptr);
  EXPECT_EQ(r->value.s.arr->data, storage);
  EXPECT_EQ(elem<float>(r, 1), 5.0f);
  EXPECT_FALSE(f->flags & FLAG_ARRAY);
  deltmp(f);
  deltmp(r);
  EXPECT_EQ(temp_list_handler(3), 0);
  Variable* d = scalar_temp(TYP_DOUBLE, 1e-300);
  r = ur_op_alog10(1, &d, nullptr);
  EXPECT_EQ(r->type, TYP_DOUBLE);
  EXPECT_DOUBLE_EQ(elem<double>(r), -300.0);
  deltmp(r);
  Variable* c = scalar_temp(TYP_COMPLEX, std::complex<float>(-4, 0));
  r = ur_op_sqrt(1, &c, nullptr);
  EXPECT_NEAR(elem<std::complex<float>>(r).imag(), 2.0f, 1e-6);
  deltmp(r);
  Variable* e = scalar_temp(TYP_COMPLEX, std::complex<float>(0, float(M_PI)));
  r = ur_op_exp(1, &e, nullptr);
  EXPECT_NEAR(elem<std::complex<float>>(r).real(), -1.0f, 1e-6);
  deltmp(r);
  Variable* s = str_temp("0.5");
  r = ur_op_asin(1, &s, nullptr);
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(elem<float>(r), float(std::asin(0.5)));
  deltmp(r);
  Variable* bad = scalar_temp(TYP_COMPLEX, std::complex<float>(0, 1));
  EXPECT_EQ(error_code_of([&] { ur_op_acos(1, &bad, nullptr); }), M_ILLEGAL_COMPLEX);
  temp_list_handler(2);
  Variable* neg = scalar_temp(TYP_FLOAT, -1.0f);
  r = ur_op_alog(1, &neg, nullptr);
  EXPECT_TRUE(std::isnan(elem<float>(r)));
  EXPECT_TRUE(check_fpe(0, 0, 0, 0) & MATH_FLT_INVALID);
  deltmp(r);
  temp_list_handler(2);  // the remaining arguments
}

TEST_F(OperatorsTest, ConcatenationAlongEachLevel) {
  // [[1,2],[3,4]]: two rows joined along the second dimension.
  Variable* row1 = con(2, std::array<Variable*, 2>{make_value(TYP_INT, 1), make_value(TYP_INT, 2)}.data(), 0);
  Variable* row2 = con(2, std::array<Variable*, 2>{make_value(TYP_INT, 3), make_value(TYP_INT, 4)}.data(), 0);
  Variable* m = con(2, std::array<Variable*, 2>{row1, row2}.data(), 1);
  EXPECT_EQ(dims_of(m), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(elem<int16_t>(m, 2), 3);
  // Along the first dimension, mixed types promote: [m, [9.5, 8.5]] has 3x2 elements.
  Variable* col = array_temp<float>(TYP_FLOAT, {9.5f, 8.5f}, {1, 2});
  Variable* wide = con(2, std::array<Variable*, 2>{m, col}.data(), 0);
  EXPECT_EQ(wide->type, TYP_FLOAT);
  EXPECT_EQ(dims_of(wide), (std::vector<uint32_t>{3, 2}));
  std::vector<float> got;
  for (int i = 0; i < 6; i++) got.push_back(elem<float>(wide, i));
  EXPECT_EQ(got, (std::vector<float>{1, 2, 9.5f, 3, 4, 8.5f}));
  Variable* shortrow = array_temp<int16_t>(TYP_INT, {5});
  EXPECT_EQ(error_code_of([&] { con(2, std::array<Variable*, 2>{row1, shortrow}.data(), 1); }), M_CONCAT_DIMS);
  Variable* strs = con(2, std::array<Variable*, 2>{str_temp("a"), str_array_temp({"bc", ""})}.data(), 0);
  EXPECT_EQ(strs->type, TYP_STRING);
  EXPECT_EQ(str_elem(strs, 0) + "|" + str_elem(strs, 1) + "|" + str_elem(strs, 2), "a|bc|");
  // A string joined with a number takes the number's type.
  Variable* mixed = con(2, std::array<Variable*, 2>{str_temp("12"), make_value(TYP_BYTE, 7)}.data(), 0);
  EXPECT_EQ(mixed->type, TYP_BYTE);
  EXPECT_EQ(elem<uint8_t>(mixed, 0), 12);
  temp_list_handler(2);
}

TEST_F(OperatorsTest, MatrixProductShapes) {
  Variable* u = array_temp<int16_t>(TYP_INT, {1, 2, 3});
  Variable* v = array_temp<int16_t>(TYP_INT, {10, 20});
  Variable* outer = mmult_op(u, v);
  EXPECT_EQ(outer->type, TYP_LONG);
  EXPECT_EQ(dims_of(outer), (std::vector<uint32_t>{3, 2}));
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 2; j++) EXPECT_EQ(elem<int32_t>(outer, i + 3 * j), (i + 1) * (j + 1) * 10);
  deltmp(outer);
  // A (2x3) # x (3) = A x, a 2-element vector.
  std::vector<double> a = {1, 2, 3, 4, 5, 6};  // A(i,k) = a[i + 2k]
  Variable* A = array_temp<double>(TYP_DOUBLE, a, {2, 3});
  Variable* x = array_temp<float>(TYP_FLOAT, {1, 10, 100});
  Variable* y = mmult_op(A, x);
  EXPECT_EQ(y->type, TYP_DOUBLE);
  ASSERT_EQ(dims_of(y), (std::vector<uint32_t>{2}));
  for (int i = 0; i < 2; i++) EXPECT_EQ(elem<double>(y, i), a[i] * 1 + a[i + 2] * 10 + a[i + 4] * 100);
  deltmp(y);
  Variable* B = array_temp<float>(TYP_FLOAT, {1, 2, 3, 4, 5, 6}, {3, 2});
  Variable* z = array_temp<float>(TYP_FLOAT, {1, 1, 1});
  EXPECT_EQ(error_code_of([&] { mmult_op(B, z); }), M_MMULT_DIMS);
  EXPECT_EQ(error_code_of([&] { mmult_op(make_value(TYP_INT, 1), array_temp<int16_t>(TYP_INT, {1})); }),
            M_NOT_ARRAY);
  temp_list_handler(2);
}

}  // namespace
