// The blocked and threaded matrix product kernels give exactly the sums of the plain one
// (from zero, k increasing, in the element type) at every vector level the processor
// offers, for shapes that exercise every edge of the blocking and of the threads' shares.
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "interp/matmul.h"
#include "interp/operators.h"
#include "ops_support.h"
#include "values/simd.h"

namespace {

class MatmulTest : public VekTest {
 protected:
  void TearDown() override {
    simd_level = saved_;
    VekTest::TearDown();
  }
  SimdLevel saved_ = simd_level;
};

// Values of widely varying magnitude, so that the order of summation shows in the
// rounding; a few signed zeros and infinities ride along.
template <class T>
std::vector<T> values(size_t n, uint32_t seed) {
  std::vector<T> v(n);
  uint32_t s = seed;
  for (size_t i = 0; i < n; i++) {
    s = s * 1664525u + 1013904223u;
    double x = (static_cast<double>(s >> 8) / 16777216.0 - 0.5) * std::ldexp(1.0, static_cast<int>(s % 23) - 11);
    v[i] = static_cast<T>(x);
  }
  if (n > 7) {
    v[n / 3] = static_cast<T>(-0.0);
    v[n / 2] = std::numeric_limits<T>::infinity();
  }
  return v;
}

template <class T>
void expect_same_as_plain(int type, uint32_t a0, uint32_t a1, uint32_t b1) {
  std::vector<T> a = values<T>(static_cast<size_t>(a0) * a1, a0 * 7 + a1);
  std::vector<T> b = values<T>(static_cast<size_t>(a1) * b1, b1 * 13 + a1);
  std::vector<T> want(static_cast<size_t>(a0) * b1), got(want.size());
  reference_matrix_kernel(type)(a.data(), b.data(), want.data(), a0, a1, b1);
  const SimdLevel best = simd_level;
  for (int level = SIMD_BASE; level <= best; level++) {
    simd_level = static_cast<SimdLevel>(level);
    std::fill(got.begin(), got.end(), T(12345));
    matrix_kernel(type)(a.data(), b.data(), got.data(), a0, a1, b1);
    EXPECT_EQ(memcmp(got.data(), want.data(), want.size() * sizeof(T)), 0)
        << "level " << level << " shape " << a0 << "x" << a1 << " # " << a1 << "x" << b1;
  }
  simd_level = best;
}

TEST_F(MatmulTest, BlockedKernelsSumInTheSameOrderAsThePlainOne) {
  // Rows around multiples of every register block, columns around multiples of six,
  // k across the split of long sums.
  const uint32_t shapes[][3] = {{1, 1, 1}, {3, 5, 2}, {64, 256, 6}, {65, 257, 7}, {70, 300, 13},
                                {130, 513, 19}, {16, 1, 12}, {8, 600, 1}, {200, 3, 5}};
  for (auto& s : shapes) {
    expect_same_as_plain<float>(TYP_FLOAT, s[0], s[1], s[2]);
    expect_same_as_plain<double>(TYP_DOUBLE, s[0], s[1], s[2]);
  }
}

// C(i, j) as the sum over k of A(i, k) * B(k, j), one element at a time.
template <class T>
std::vector<T> direct_product(const std::vector<T>& a, const std::vector<T>& b, size_t a0, size_t a1, size_t b1) {
  std::vector<T> c(a0 * b1);
  for (size_t j = 0; j < b1; j++)
    for (size_t i = 0; i < a0; i++) {
      T s{};
      for (size_t k = 0; k < a1; k++) {
        const T x = a[i + k * a0], y = b[k + j * a1];
        if constexpr (std::is_same_v<T, int32_t>) {
          s = static_cast<int32_t>(static_cast<uint32_t>(s) + static_cast<uint32_t>(x) * static_cast<uint32_t>(y));
        } else if constexpr (std::is_same_v<T, Complex>) {
          s = Complex{s.r + (x.r * y.r - x.i * y.i), s.i + (x.r * y.i + x.i * y.r)};
        } else {
          s += x * y;
        }
      }
      c[i + j * a0] = s;
    }
  return c;
}

template <class T>
std::vector<T> mixed_values(size_t n, uint32_t seed) {
  if constexpr (std::is_same_v<T, int32_t>) {
    std::vector<T> v(n);
    uint32_t s = seed;
    for (auto& x : v) x = static_cast<int32_t>(s = s * 1664525u + 1013904223u);
    return v;
  } else if constexpr (std::is_same_v<T, Complex>) {
    std::vector<float> p = values<float>(2 * n, seed);
    std::vector<T> v(n);
    for (size_t i = 0; i < n; i++) v[i] = Complex{p[2 * i], p[2 * i + 1]};
    return v;
  } else {
    return values<T>(n, seed);
  }
}

// Products large enough to be shared out among threads, with odd extents so that every
// thread's share has ragged edges: each element equals the direct sum bit for bit, and
// the floating exceptions raised in helper threads show in the caller.
template <class T>
void expect_threaded_same_as_direct(int type, uint32_t a0, uint32_t a1, uint32_t b1) {
  std::vector<T> a = mixed_values<T>(static_cast<size_t>(a0) * a1, a0 + a1);
  std::vector<T> b = mixed_values<T>(static_cast<size_t>(a1) * b1, b1 * 3 + 1);
  feclearexcept(FE_ALL_EXCEPT);
  std::vector<T> want = direct_product(a, b, a0, a1, b1);
  const int want_flags = fetestexcept(FE_INVALID | FE_OVERFLOW);
  feclearexcept(FE_ALL_EXCEPT);
  std::vector<T> got(want.size(), T{});
  matrix_kernel(type)(a.data(), b.data(), got.data(), a0, a1, b1);
  EXPECT_EQ(fetestexcept(FE_INVALID | FE_OVERFLOW), want_flags) << "type " << type;
  feclearexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(memcmp(got.data(), want.data(), want.size() * sizeof(T)), 0)
      << "type " << type << " shape " << a0 << "x" << a1 << " # " << a1 << "x" << b1;
}

TEST_F(MatmulTest, LargeProductsEqualTheDirectSumsBitForBit) {
  expect_threaded_same_as_direct<float>(TYP_FLOAT, 131, 257, 97);
  expect_threaded_same_as_direct<float>(TYP_FLOAT, 501, 499, 503);
  expect_threaded_same_as_direct<double>(TYP_DOUBLE, 127, 301, 101);
  expect_threaded_same_as_direct<int32_t>(TYP_LONG, 129, 255, 99);
  expect_threaded_same_as_direct<Complex>(TYP_COMPLEX, 97, 131, 103);
}

TEST_F(MatmulTest, OverflowInAnyThreadsShareReachesTheCaller) {
  // One column of B overflows its sums; wherever it lies, whichever thread computes it,
  // the caller's exception flags show the overflow afterwards.
  const uint32_t a0 = 131, a1 = 257, b1 = 480;
  std::vector<float> a(static_cast<size_t>(a0) * a1, 1.0f), c(static_cast<size_t>(a0) * b1);
  for (uint32_t big = 0; big < b1; big += 7) {
    std::vector<float> b(static_cast<size_t>(a1) * b1, 1.0f);
    for (uint32_t k = 0; k < a1; k++) b[k + static_cast<size_t>(big) * a1] = 3e38f;
    feclearexcept(FE_ALL_EXCEPT);
    matrix_kernel(TYP_FLOAT)(a.data(), b.data(), c.data(), a0, a1, b1);
    EXPECT_TRUE(fetestexcept(FE_OVERFLOW)) << "column " << big;
    EXPECT_TRUE(std::isinf(c[static_cast<size_t>(big) * a0]));
    EXPECT_EQ(c[big ? 0 : a0], static_cast<float>(a1));
  }
  feclearexcept(FE_ALL_EXCEPT);
}

TEST_F(MatmulTest, EmptyInnerDimensionGivesZeros) {
  std::vector<float> c(6, 7.0f);
  matrix_kernel(TYP_FLOAT)(nullptr, nullptr, c.data(), 2, 0, 3);
  for (float x : c) EXPECT_EQ(x, 0.0f);
}

TEST_F(MatmulTest, ProductOfLargeFloatArraysThroughTheOperator) {
  // C = A # B with A(i,k) = i + k and B(k,j) = k - j: small integers, so every partial
  // sum is exact and C(i,j) is the closed form of sum over k of (i+k)(k-j).
  const int n0 = 67, n1 = 300, n2 = 9;
  std::vector<float> a(n0 * n1), b(n1 * n2);
  for (int k = 0; k < n1; k++)
    for (int i = 0; i < n0; i++) a[i + k * n0] = static_cast<float>(i + k);
  for (int j = 0; j < n2; j++)
    for (int k = 0; k < n1; k++) b[k + j * n1] = static_cast<float>(k - j);
  Variable* A = ops_test::array_temp<float>(TYP_FLOAT, a, {n0, n1});
  Variable* B = ops_test::array_temp<float>(TYP_FLOAT, b, {n1, n2});
  Variable* C = mmult_op(A, B);
  ASSERT_EQ(C->type, TYP_FLOAT);
  const double s1 = n1 * (n1 - 1) / 2.0, s2 = (n1 - 1.0) * n1 * (2.0 * n1 - 1) / 6.0;
  for (int j = 0; j < n2; j++)
    for (int i = 0; i < n0; i++) {
      double want = s2 + (i - j) * s1 - static_cast<double>(i) * j * n1;
      ASSERT_EQ(ops_test::elem<float>(C, static_cast<size_t>(i + j * n0)), static_cast<float>(want)) << i << "," << j;
    }
  deltmp(C);
}

}  // namespace
