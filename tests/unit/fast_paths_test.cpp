// The interpreter's shortcuts checked against the general machinery they stand in for:
// the scalar kernel table against the operators, the temporary lists, and large value
// blocks. Fused stores, the inline LONG loop step and call results: the tight_loops script.
#include <cfenv>
#include <cstring>
#include <limits>
#include <utility>

#include "interp/operators.h"
#include "interp/scalar_ops.h"
#include "interp_support.h"
#include "ops_support.h"

namespace {

using ops_test::scalar_temp;

class FastPathTest : public InterpTest {};

// One element of `type` made from x (re) and y (the imaginary part of a COMPLEX), as
// convert() would make it.
Value value_of(int type, double x, double y) {
  Value v;
  v.d = 0;
  switch (type) {
    case TYP_BYTE: scalar::put(v, elem::num_cvt<uint8_t>(x)); break;
    case TYP_INT: scalar::put(v, elem::num_cvt<int16_t>(x)); break;
    case TYP_LONG: scalar::put(v, elem::num_cvt<int32_t>(x)); break;
    case TYP_FLOAT: scalar::put(v, static_cast<float>(x)); break;
    case TYP_DOUBLE: scalar::put(v, x); break;
    default: v.cmp = Complex{static_cast<float>(x), static_cast<float>(y)}; break;
  }
  return v;
}

// Bit-identical results, except that a NaN may come with either sign: IEEE leaves the
// sign of a NaN result open, and the compiler may order a commutative operation's
// operands either way.
bool same_result(int type, const void* a, const void* b) {
  auto same = [](auto x, auto y) { return memcmp(&x, &y, sizeof x) == 0 || (x != x && y != y); };
  auto get = [](auto tag, const void* p, int k) {
    decltype(tag) x;
    memcpy(&x, static_cast<const char*>(p) + k * sizeof x, sizeof x);
    return x;
  };
  switch (type) {
    case TYP_FLOAT: return same(get(0.0f, a, 0), get(0.0f, b, 0));
    case TYP_DOUBLE: return same(get(0.0, a, 0), get(0.0, b, 0));
    case TYP_COMPLEX: return same(get(0.0f, a, 0), get(0.0f, b, 0)) && same(get(0.0f, a, 1), get(0.0f, b, 1));
    default: return memcmp(a, b, static_cast<size_t>(type_size[type])) == 0;
  }
}

Variable* one_element_array(int type, const Value& v) {
  int32_t one = 1;
  Variable* t = make_temp_array_of(type, 1, &one);
  memcpy(t->value.s.arr->data, &v, static_cast<size_t>(type_size[type]));
  return t;
}

// Every binary operator on every pair of numeric types: the fast path's kernel against
// the general operator on scalars and on one-element arrays (which run the array
// kernels, in the widest vector build). Results must agree bit for bit, and so must the
// record of integer division by zero. Values include zero divisors, the most negative
// LONG over -1, signed zeros, NaN, infinities and complex divisors whose squared modulus
// overflows or underflows.
TEST_F(FastPathTest, ScalarKernelsAgreeWithTheArrayKernels) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<double, double> values[] = {{3, -1},     {200, 0},     {0, 0},       {-0.0, -0.0},
                                              {-7, 2},     {-1, 1},      {-2147483648.0, 0}, {2.5, 1e-30},
                                              {1e30, 1e30}, {1e-30, -1e-30}, {nan, 1},   {inf, -inf}};
  int compared = 0, general_only = 0, zero_divisions = 0;
  for (int op = OP_ADD; op <= OP_GT; op++) {
    for (int tl = TYP_BYTE; tl <= TYP_COMPLEX; tl++) {
      for (int tr = TYP_BYTE; tr <= TYP_COMPLEX; tr++) {
        scalar::ScalarKernel k = scalar::kernel_for(op, tl, tr);
        for (auto [x, xi] : values) {
          for (auto [y, yi] : values) {
            const Value lv = value_of(tl, x, xi), rv = value_of(tr, y, yi);
            if (!k) {
              // No fast kernel: POWER (handled elsewhere) or an operator the promoted type
              // refuses, which the general operator reports.
              if (op != OP_POWER) {
                int code = error_code_of([&] { binop_for_opcode(op, scalar_temp(tl, lv), scalar_temp(tr, rv)); });
                EXPECT_TRUE(code == M_ILLEGAL_COMPLEX || code == M_ILLEGAL_FLOAT) << op << " " << tl << " " << tr;
                temp_list_handler(2);
                general_only++;
              }
              break;
            }
            math_errors = MathErrorState{};
            scalar::ScalarResult fast = k(lv, rv);
            const int fast_errors = math_errors.accumulated;
            zero_divisions += fast_errors != 0;
            for (bool arrays : {false, true}) {
              math_errors = MathErrorState{};
              Variable* l = arrays ? one_element_array(tl, lv) : scalar_temp(tl, lv);
              Variable* r = arrays ? one_element_array(tr, rv) : scalar_temp(tr, rv);
              Variable* slow = binop_for_opcode(op, l, r);
              ASSERT_EQ(fast.type, slow->type) << op << " " << tl << " " << tr;
              EXPECT_TRUE(same_result(slow->type, &fast.bits, slow->data_ptr()))
                  << "op " << op << " types " << tl << "," << tr << " values (" << x << "," << xi << ") (" << y
                  << "," << yi << ")" << (arrays ? " arrays" : " scalars");
              EXPECT_EQ(math_errors.accumulated, fast_errors) << op << " " << tl << " " << tr;
              deltmp(slow);
              compared++;
            }
          }
          if (!k) break;
        }
      }
    }
  }
  math_errors = MathErrorState{};
  feclearexcept(FE_ALL_EXCEPT);
  EXPECT_GT(compared, 50000);
  EXPECT_GT(general_only, 0);
  EXPECT_GT(zero_divisions, 0);
  for (int t = TYP_BYTE; t <= TYP_COMPLEX; t++) EXPECT_EQ(scalar::kernel_for(OP_POWER, t, t), nullptr);
  EXPECT_EQ(scalar::kernel_for(OP_ADD, TYP_STRING, TYP_LONG), nullptr);
  EXPECT_EQ(scalar::kernel_for(OP_ADD, TYP_LONG, TYP_UNDEF), nullptr);
}

TEST_F(FastPathTest, TemporariesDetachAndReattachAsNewest) {
  Variable* a = make_long_temp(1);
  EXPECT_TRUE(sole_temp(a));
  Variable* b = make_long_temp(2);
  EXPECT_FALSE(sole_temp(a));
  detach_temp(a);
  EXPECT_TRUE(sole_temp(b));
  EXPECT_EQ(temp_list_handler(2), 1) << "a detached temporary is not released with the list";
  EXPECT_EQ(a->type, TYP_LONG);
  attach_temp(a);
  EXPECT_TRUE(sole_temp(a));
  // Marking and restoring many times reuses the detached lists.
  for (int i = 0; i < 1000; i++) {
    TempList* saved = mark_temps(nullptr);
    EXPECT_NE(saved, nullptr);
    EXPECT_EQ(temp_list_handler(3), 0);
    Variable* t = make_long_temp(i);
    saved = move_temp_to_list(t, saved);
    mark_temps(saved);
    ASSERT_EQ(temp_list_handler(3), 2);
    EXPECT_EQ(t->value.l, i);
    deltmp(t);
  }
  temp_list_handler(2);
}

TEST_F(FastPathTest, LargeBlocksAreAlignedAndCountedLikeSmallOnes) {
  uint32_t before = mem_counters.bytes_in_use;
  for (size_t n : {size_t{100}, size_t{1} << 20, (size_t{8} << 20) + 3}) {
    auto* p = static_cast<uint8_t*>(counting_malloc(n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mem_counters.bytes_in_use, before + n + 16);
    if (n >= (size_t{1} << 20)) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    }
    memset(p, 0xA5, n);  // the whole block is usable
    counting_free(p);
    EXPECT_EQ(mem_counters.bytes_in_use, before);
  }
  // The last large block freed serves the next request of about its size, counted anew;
  // a request it would serve wastefully gets a block of its own.
  const size_t big = size_t{40} << 20;
  auto* p = static_cast<uint8_t*>(counting_malloc(big));
  ASSERT_NE(p, nullptr);
  counting_free(p);
  auto* q = static_cast<uint8_t*>(counting_malloc(big - 4096));
  EXPECT_EQ(q, p);
  EXPECT_EQ(mem_counters.bytes_in_use, before + big - 4096 + 16);
  memset(q, 0x5A, big - 4096);
  counting_free(q);
  auto* r = static_cast<uint8_t*>(counting_malloc(big / 2));
  ASSERT_NE(r, nullptr);
  memset(r, 1, big / 2);
  counting_free(r);
  EXPECT_EQ(mem_counters.bytes_in_use, before);
  // An array's data follows its descriptor: large arrays get cache-line aligned data.
  int32_t n = 1 << 20;
  Variable* t = make_temp_array_of(TYP_FLOAT, 1, &n);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(t->value.s.arr->data) % 64, 0u);
  deltmp(t);
}

}  // namespace
