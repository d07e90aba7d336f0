// Element loops run in the widest vector build the processor offers; every build must
// give bit-identical results (no fused multiply-adds, no approximations), which these
// tests check by running the same operations at each level the machine supports.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "interp/operators.h"
#include "lib/math.h"
#include "ops_support.h"
#include "values/simd.h"

namespace {

using ops_test::array_temp;

class SimdLevelsTest : public VekTest {
 protected:
  void TearDown() override {
    simd_level = saved_;
    VekTest::TearDown();
  }
  // The bytes of make()'s result at every level; all must be equal.
  void expect_same_at_every_level(const std::function<Variable*()>& make, const char* what) {
    std::vector<uint8_t> first;
    for (int level = SIMD_BASE; level <= saved_; level++) {
      simd_level = static_cast<SimdLevel>(level);
      Variable* r = make();
      ArrayDesc* a = r->value.s.arr;
      std::vector<uint8_t> bytes(a->data, a->data + a->byte_len);
      deltmp(r);
      if (level == SIMD_BASE) {
        first = bytes;
        continue;
      }
      EXPECT_EQ(bytes, first) << what << " differs at level " << level;
    }
    simd_level = saved_;
  }
  SimdLevel saved_ = simd_level;
};

// 1000 values (not a multiple of any vector width) with specials sprinkled in.
template <class T>
std::vector<T> sample(uint32_t seed) {
  std::vector<T> v(1000);
  uint32_t s = seed;
  for (size_t i = 0; i < v.size(); i++) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<T>((static_cast<double>(s >> 8) / 16777216.0 - 0.3) * 1000.0);
  }
  if constexpr (std::is_floating_point_v<T>) {
    v[5] = -0.0;
    v[6] = std::numeric_limits<T>::infinity();
    v[7] = std::numeric_limits<T>::quiet_NaN();
    v[8] = std::numeric_limits<T>::denorm_min();
  } else {
    v[5] = 0;
    v[6] = std::numeric_limits<T>::min();
  }
  return v;
}

TEST_F(SimdLevelsTest, OperatorsGiveTheSameBitsAtEveryLevel) {
  const BinOpTable* ops[] = {&ur_op_add, &ur_op_sub, &ur_op_mul, &ur_op_div, &ur_op_min, &ur_op_max,
                             &ur_op_mod, &ur_op_and, &ur_op_or,  &ur_op_lt,  &ur_op_ge,  &ur_op_expf};
  for (const BinOpTable* op : ops) {
    expect_same_at_every_level(
        [&] { return vek_binop(op, array_temp(TYP_FLOAT, sample<float>(1)), array_temp(TYP_FLOAT, sample<float>(2))); },
        "FLOAT array with array");
    expect_same_at_every_level(
        [&] { return vek_binop(op, array_temp(TYP_DOUBLE, sample<double>(3)), ops_test::scalar_temp(TYP_DOUBLE, 2.5)); },
        "DOUBLE array with scalar");
    if (op == &ur_op_expf) continue;
    expect_same_at_every_level(
        [&] {
          return vek_binop(op, ops_test::scalar_temp(TYP_LONG, int32_t{7}), array_temp(TYP_LONG, sample<int32_t>(4)));
        },
        "scalar with LONG array");
  }
  // Complex products and quotients: sums of products, where a fused multiply-add
  // would show.
  auto complex_sample = [](uint32_t seed) {
    std::vector<float> re = sample<float>(seed), im = sample<float>(seed + 100);
    std::vector<Complex> z(re.size());
    for (size_t i = 0; i < z.size(); i++) z[i] = Complex(re[i], im[i]);
    return z;
  };
  for (const BinOpTable* op : {&ur_op_mul, &ur_op_div})
    expect_same_at_every_level(
        [&] { return vek_binop(op, array_temp(TYP_COMPLEX, complex_sample(11)), array_temp(TYP_COMPLEX, complex_sample(12))); },
        "COMPLEX");
  // Mixed types convert first, then run the promoted type's loop.
  expect_same_at_every_level(
      [&] { return vek_binop(&ur_op_mul, array_temp(TYP_INT, sample<int16_t>(5)), array_temp(TYP_FLOAT, sample<float>(6))); },
      "INT times FLOAT");
  expect_same_at_every_level([&] { return vek_uop(1, std::vector<Variable*>{array_temp(TYP_FLOAT, sample<float>(7))}.data(), &ur_neg_op); },
                             "negation");
}

TEST_F(SimdLevelsTest, MathFunctionsGiveTheSameBitsAtEveryLevel) {
  using Fn = Variable* (*)(int, Variable*[], KwNames);
  const Fn fns[] = {ur_op_sqrt, ur_op_exp, ur_op_alog, ur_op_sin, ur_op_cos, ur_op_tan, ur_op_alog10, ur_abs_fun};
  for (Fn fn : fns) {
    for (int type : {TYP_FLOAT, TYP_DOUBLE, TYP_LONG}) {
      expect_same_at_every_level(
          [&] {
            Variable* x = type == TYP_FLOAT    ? array_temp(TYP_FLOAT, sample<float>(8))
                          : type == TYP_DOUBLE ? array_temp(TYP_DOUBLE, sample<double>(9))
                                               : array_temp(TYP_LONG, sample<int32_t>(10));
            Variable* r = fn(1, &x, nullptr);
            deltmp(x);  // the caller releases an argument (perhaps emptied)
            return r;
          },
          "math function");
    }
  }
}

}  // namespace
