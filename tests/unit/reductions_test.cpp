#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "lib/reductions.h"
#include "test_support.h"
#include "value_builders.h"
#include "values/simd.h"
#include "lib/sysvars.h"

namespace {

class ReductionsTest : public VekTest {
 protected:
  void TearDown() override {
    simd_level = widest_;
    VekTest::TearDown();
  }
  const SimdLevel widest_ = simd_level;
};

// A small deterministic generator so that failures reproduce.
struct Lcg {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
  float uniform() { return static_cast<float>(next() % 1000003) / 1000003.0f; }
};

template <typename T>
Variable* vec_temp(int type, const std::vector<T>& v, std::vector<int32_t> dims = {}) {
  if (dims.empty()) dims.push_back(static_cast<int32_t>(v.size()));
  Variable* t = make_temp_array_of(type, static_cast<int>(dims.size()), dims.data());
  memcpy(t->arr()->data, v.data(), v.size() * sizeof(T));
  return t;
}

// ---- TOTAL ---------------------------------------------------------------------------------

TEST_F(ReductionsTest, TotalOfFloatsIsTheSequentialSinglePrecisionSum) {
  Lcg g{1};
  std::vector<float> v(1000003);
  for (float& x : v) x = g.uniform() * 1000.0f - 300.0f;
  float ref = 0.0f;
  for (float x : v) ref += x;
  double ref_d = 0.0;
  for (float x : v) ref_d += x;
  Variable* a = vec_temp(TYP_FLOAT, v);
  Variable* t = total_of(a, nullptr, false);
  EXPECT_EQ(t->type, TYP_FLOAT);
  EXPECT_EQ(t->value.f, ref);
  deltmp(t);
  t = total_of(a, nullptr, true);
  EXPECT_EQ(t->type, TYP_DOUBLE);
  EXPECT_EQ(t->value.d, ref_d);
  deltmp(t);
  deltmp(a);
}

// ---- MIN and MAX ---------------------------------------------------------------------------

// The straightforward scan the results must agree with.
template <typename T>
std::pair<uint32_t, uint32_t> reference_extremes(const std::vector<T>& v) {
  uint32_t lo = 0, hi = 0;
  for (uint32_t i = 1; i < v.size(); i++) {
    if (v[i] < v[lo]) lo = i;
    else if (v[i] > v[hi]) hi = i;
  }
  return {lo, hi};
}

template <typename T>
void check_extremes(int type, const std::vector<T>& v) {
  Variable* a = vec_temp(type, v);
  void *mn, *mx, *base;
  min_max(a, &mn, &mx, &base);
  auto [lo, hi] = reference_extremes(v);
  EXPECT_EQ((static_cast<T*>(mn) - static_cast<T*>(base)), static_cast<ptrdiff_t>(lo)) << "type " << type;
  EXPECT_EQ((static_cast<T*>(mx) - static_cast<T*>(base)), static_cast<ptrdiff_t>(hi)) << "type " << type;
  // MAX and MIN alone search for one extreme only.
  Variable idx{};
  deltmp(max_of(a, &idx, nullptr));
  EXPECT_EQ(idx.value.l, static_cast<int32_t>(hi)) << "type " << type;
  deltmp(min_of(a, &idx, nullptr));
  EXPECT_EQ(idx.value.l, static_cast<int32_t>(lo)) << "type " << type;
  deltmp(a);
}

template <typename T>
std::vector<T> random_vector(uint32_t n, uint32_t range, uint64_t seed) {
  Lcg g{seed};
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(static_cast<int64_t>(g.next() % range) - static_cast<int64_t>(range / 3));
  return v;
}

TEST_F(ReductionsTest, ExtremesAgreeWithAPlainScanForEveryTypeAtEveryVectorWidth) {
  for (int level = SIMD_BASE; level <= widest_; level++) {
    simd_level = static_cast<SimdLevel>(level);
    SCOPED_TRACE(level);
    // Lengths around the vector steps and blocks leave short final blocks and tails.
    for (uint32_t n : {1u, 2u, 63u, 65u, 4095u, 5000u, 16449u, 100003u}) {
      // Narrow ranges give many equal extremes spread over many blocks.
      check_extremes(TYP_BYTE, random_vector<uint8_t>(n, 256, n));
      check_extremes(TYP_INT, random_vector<int16_t>(n, 60000, n + 1));
      check_extremes(TYP_LONG, random_vector<int32_t>(n, 50, n + 2));
      check_extremes(TYP_FLOAT, random_vector<float>(n, 1000, n + 3));
      check_extremes(TYP_DOUBLE, random_vector<double>(n, 7, n + 4));
    }
    // Rising and falling runs move an extreme in every block, the last one included.
    for (uint32_t n : {70000u, 70001u}) {
      std::vector<float> up(n), down(n);
      for (uint32_t i = 0; i < up.size(); i++) {
        up[i] = static_cast<float>(i);
        down[i] = -static_cast<float>(i);
      }
      check_extremes(TYP_FLOAT, up);
      check_extremes(TYP_FLOAT, down);
    }
  }
}

TEST_F(ReductionsTest, NaNNeverBecomesAnExtremeUnlessFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v(40000, 1.0f);
  v[0] = nan;
  v[100] = 5.0f;
  v[30000] = -5.0f;
  Variable* a = vec_temp(TYP_FLOAT, v);
  Variable idx{};
  Variable* r = max_of(a, &idx, nullptr);
  EXPECT_TRUE(std::isnan(r->value.f));
  EXPECT_EQ(idx.value.l, 0);
  deltmp(r);
  r = min_of(a, &idx, nullptr);
  EXPECT_TRUE(std::isnan(r->value.f));
  EXPECT_EQ(idx.value.l, 0);
  deltmp(r);
  deltmp(a);

  v[0] = 0.0f;
  for (uint32_t i = 2; i < v.size(); i += 3) v[i] = nan;
  a = vec_temp(TYP_FLOAT, v);
  r = max_of(a, &idx, nullptr);
  EXPECT_EQ(r->value.f, 5.0f);
  EXPECT_EQ(idx.value.l, 100);
  deltmp(r);
  r = min_of(a, &idx, nullptr);
  EXPECT_EQ(r->value.f, -5.0f);
  EXPECT_EQ(idx.value.l, 30000);
  deltmp(r);
  deltmp(a);

  // -0.0 equals 0.0: the first of them is the extreme.
  std::vector<double> z = {1.0, 0.0, -0.0, 2.0};
  a = vec_temp(TYP_DOUBLE, z);
  r = min_of(a, &idx, nullptr);
  EXPECT_EQ(idx.value.l, 1);
  EXPECT_FALSE(std::signbit(r->value.d));
  deltmp(r);
  deltmp(a);
}

// ---- WHERE ---------------------------------------------------------------------------------

template <typename T>
void check_where(int type, const std::vector<T>& v, bool (*nonzero)(const T&)) {
  std::vector<int32_t> ref;
  for (uint32_t i = 0; i < v.size(); i++)
    if (nonzero(v[i])) ref.push_back(static_cast<int32_t>(i));
  Variable* a = vec_temp(type, v);
  Variable count{};
  err_code = -99;
  Variable* w = where_of(a, &count);
  EXPECT_EQ(count.type, TYP_LONG);
  EXPECT_EQ(count.value.l, static_cast<int32_t>(ref.size()));
  EXPECT_EQ(err_code, static_cast<int32_t>(ref.size()));
  if (ref.empty()) {
    EXPECT_FALSE(w->has_desc());
    EXPECT_EQ(w->type, TYP_LONG);
    EXPECT_EQ(w->value.l, -1);
  } else {
    EXPECT_EQ(w->type, TYP_LONG);
    ASSERT_EQ(w->arr()->n_elts, ref.size());
    EXPECT_EQ(0, memcmp(elements<int32_t>(w), ref.data(), ref.size() * 4)) << "type " << type;
  }
  deltmp(w);
  deltmp(a);
  err_code = 0;
}

TEST_F(ReductionsTest, WhereFindsEveryNonzeroElementInOrderAtEveryVectorWidth) {
  Lcg g{9};
  for (uint32_t n : {1u, 15u, 16u, 17u, 64u, 65u, 1000u, 100001u}) {
    for (uint32_t density : {0u, 3u, 50u, 97u, 100u}) {
      std::vector<uint8_t> b(n);
      std::vector<int16_t> s(n);
      std::vector<float> f(n);
      std::vector<double> d(n);
      std::vector<int32_t> l(n);
      for (uint32_t i = 0; i < n; i++) {
        bool on = g.next() % 100 < density;
        b[i] = on ? static_cast<uint8_t>(1 + g.next() % 255) : 0;
        s[i] = on ? static_cast<int16_t>(g.next() % 2 ? -32768 : 256) : 0;
        f[i] = on ? (g.next() % 2 ? std::numeric_limits<float>::quiet_NaN() : 1.5f) : (g.next() % 2 ? -0.0f : 0.0f);
        d[i] = on ? (g.next() % 2 ? -std::numeric_limits<double>::infinity() : 1e-310) : (g.next() % 2 ? -0.0 : 0.0);
        l[i] = on ? static_cast<int32_t>(g.next() | 1) : 0;
      }
      for (int level = SIMD_BASE; level <= widest_; level++) {
        simd_level = static_cast<SimdLevel>(level);
        check_where<uint8_t>(TYP_BYTE, b, [](const uint8_t& x) { return x != 0; });
        check_where<int16_t>(TYP_INT, s, [](const int16_t& x) { return x != 0; });
        check_where<float>(TYP_FLOAT, f, [](const float& x) { return !(x == 0.0f); });
        check_where<double>(TYP_DOUBLE, d, [](const double& x) { return !(x == 0.0); });
        check_where<int32_t>(TYP_LONG, l, [](const int32_t& x) { return x != 0; });
      }
      simd_level = widest_;
    }
  }
}

// ---- SORT ----------------------------------------------------------------------------------

// Reference: a stable sort of the subscripts by value, NaNs last.
template <typename T>
std::vector<int32_t> reference_order(const std::vector<T>& v) {
  std::vector<int32_t> idx(v.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::stable_sort(idx.begin(), idx.end(), [&](int32_t a, int32_t b) {
    bool na = v[a] != v[a], nb = v[b] != v[b];
    if (na || nb) return !na && nb;
    return v[a] < v[b];
  });
  return idx;
}

template <typename T>
void check_sort(int type, const std::vector<T>& v) {
  Variable* a = vec_temp(type, v);
  Variable* s = sort_of(a);
  ASSERT_EQ(s->type, TYP_LONG);
  ASSERT_EQ(s->arr()->n_elts, v.size());
  std::vector<int32_t> ref = reference_order(v);
  EXPECT_EQ(0, memcmp(elements<int32_t>(s), ref.data(), ref.size() * 4)) << "type " << type << " n " << v.size();
  deltmp(s);
  deltmp(a);
}

TEST_F(ReductionsTest, SortIsStableAndAgreesWithAReferenceForEveryTypeAtEveryVectorWidth) {
  for (int level = SIMD_BASE; level <= widest_; level++) {
    simd_level = static_cast<SimdLevel>(level);
    for (uint32_t n : {2u, 17u, 511u, 512u, 5000u, 200001u}) {
      check_sort(TYP_BYTE, random_vector<uint8_t>(n, 256, n));
      check_sort(TYP_INT, random_vector<int16_t>(n, 65536, n + 1));
      check_sort(TYP_INT, random_vector<int16_t>(n, 9, n + 2));
      check_sort(TYP_LONG, random_vector<int32_t>(n, 100, n + 3));
      check_sort(TYP_LONG, random_vector<int32_t>(n, 4000000000u, n + 4));
      std::vector<float> f = random_vector<float>(n, 1000, n + 5);
      for (float& x : f) x *= 1.0e-3f;
      check_sort(TYP_FLOAT, f);
      std::vector<double> d = random_vector<double>(n, 200, n + 6);
      for (double& x : d) x = x * 1.0e30;
      check_sort(TYP_DOUBLE, d);
    }
  }
}

TEST_F(ReductionsTest, SortOfLongArraysWhoseSubscriptsNeedManyBits) {
  // Past 2^21 elements a subscript and an 11-bit digit no longer share 32 bits.
  const uint32_t n = (1u << 21) + 3;
  check_sort(TYP_LONG, random_vector<int32_t>(n, 4000000000u, 7));
  std::vector<float> f = random_vector<float>(n, 1000003, 8);
  for (float& x : f) x *= 1.0e-6f;
  check_sort(TYP_FLOAT, f);
}

TEST_F(ReductionsTest, SortPutsNaNLastAndTiesSignedZeros) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (int level = SIMD_BASE; level <= widest_; level++) {
    simd_level = static_cast<SimdLevel>(level);
    for (uint32_t n : {10u, 3000u}) {
      std::vector<double> d(n);
      std::vector<float> f(n);
      Lcg g{n};
      const double pool[] = {nan, -nan, inf, -inf, 0.0, -0.0, 1.0, -1.0, 1e-310, -1e-310};
      for (uint32_t i = 0; i < n; i++) {
        d[i] = pool[g.next() % 10];
        f[i] = static_cast<float>(d[i]);
      }
      check_sort(TYP_DOUBLE, d);
      check_sort(TYP_FLOAT, f);
    }
  }
}

}  // namespace
