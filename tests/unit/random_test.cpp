#include "lib/random.h"

#include <cmath>

#include "test_support.h"

namespace {

class RandomTest : public VekTest {};

// Reference step written directly from the recurrence, in 64-bit arithmetic.
int32_t reference_step(int32_t s) {
  int64_t n = (static_cast<int64_t>(s) * 16807) % 2147483647;
  if (n <= 0) n += 2147483647;
  return static_cast<int32_t>(n);
}

TEST_F(RandomTest, StepMatchesTheRecurrenceAcrossTheRange) {
  for (int32_t s : {1, 2, 16807, 127773, 127774, 1000000, 2147483646, 2147483000}) {
    EXPECT_EQ(random_step(s), reference_step(s)) << s;
  }
  // A negative state is carried into range by the correction step.
  int32_t n = random_step(-5);
  EXPECT_GT(n, 0);
}

TEST_F(RandomTest, ScalarCallAdvancesSeedOnce) {
  Variable seed{};
  int32_t one = 1;
  store_scalar(&seed, TYP_LONG, &one);
  Variable* args[] = {&seed};
  Variable* r = ur_randomu(1, args, nullptr);
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(r->value.f, 16807.0f / 2147483648.0f);
  EXPECT_EQ(seed.type, TYP_LONG);
  EXPECT_EQ(seed.value.l, 16807);
  deltmp(r);
}

TEST_F(RandomTest, SeedZeroActsAsOneAndArraysFillInOrder) {
  Variable s0{}, s1{};
  int32_t zero = 0, one = 1;
  store_scalar(&s0, TYP_LONG, &zero);
  store_scalar(&s1, TYP_LONG, &one);
  Variable* d3 = make_long_temp(3);
  Variable* d2 = make_long_temp(2);
  Variable* a0[] = {&s0, d3, d2};
  Variable* r = ur_randomu(3, a0, nullptr);
  ASSERT_EQ(r->value.s.arr->n_dim, 2);
  EXPECT_EQ(r->value.s.arr->n_elts, 6u);
  int32_t state = 1;
  for (int i = 0; i < 6; i++) {
    state = reference_step(state);
    EXPECT_FLOAT_EQ(elems<float>(r)[i], static_cast<float>(state) / 2147483648.0f);
  }
  EXPECT_EQ(s0.value.l, state);
  deltmp(r);
  deltmp(d3);
  deltmp(d2);
}

TEST_F(RandomTest, NormalUsesTwelveUniformsPerValue) {
  Variable seed{};
  int32_t one = 1;
  store_scalar(&seed, TYP_LONG, &one);
  Variable* d = make_long_temp(4);
  Variable* args[] = {&seed, d};
  Variable* r = ur_randomn(2, args, nullptr);
  int32_t state = 1;
  for (int i = 0; i < 48; i++) state = reference_step(state);
  EXPECT_EQ(seed.value.l, state);
  for (int i = 0; i < 4; i++) {
    EXPECT_GE(elems<float>(r)[i], -6.0f);
    EXPECT_LE(elems<float>(r)[i], 6.0f);
  }
  deltmp(r);
  deltmp(d);
}

TEST_F(RandomTest, UndefinedSeedBecomesLongAndExpressionSeedIsRefused) {
  Variable seed{};
  Variable* args[] = {&seed};
  Variable* r = ur_randomu(1, args, nullptr);
  EXPECT_EQ(seed.type, TYP_LONG);
  EXPECT_GT(r->value.f, 0.0f);
  deltmp(r);
  Variable* konst = make_long_temp(5);
  Variable* args2[] = {konst};
  EXPECT_EQ(error_code_of([&] { ur_randomu(1, args2, nullptr); }), M_STORE_EXPR);
  temp_list_handler(2);
}

}  // namespace
