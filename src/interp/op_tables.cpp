// The promotion tables, the element kernels of every binary and unary operator, and the
// operator tables that tie them together.
#include <cerrno>
#include <cmath>
#include <cstring>

#include "interp/op_kernels.h"
#include "interp/operators.h"
#include "values/temps.h"

using namespace opk;

namespace {

constexpr uint8_t B = TYP_BYTE, I = TYP_INT, L = TYP_LONG, F = TYP_FLOAT, D = TYP_DOUBLE, C = TYP_COMPLEX,
                  S = TYP_STRING;

constexpr uint8_t promote(int r, int l) {
  if (l == S && r == S) return S;
  if (l == S) return static_cast<uint8_t>(r);
  if (r == S) return static_cast<uint8_t>(l);
  return static_cast<uint8_t>(l > r ? l : r);
}

// Exponentiation: r is the exponent's type, l the base's.
constexpr bool int_type(int t) { return t >= B && t <= L; }
constexpr uint8_t exp_kernel(int r, int l) {
  if (int_type(r)) return l == S ? F : static_cast<uint8_t>(l);
  if (r == C || l == C) return C;
  if (r == D || l == D) return D;
  return F;  // FLOAT or STRING exponent of an integer, FLOAT or STRING base
}
constexpr uint8_t exp_conv(int r, int l) {
  if (int_type(r)) return r == L ? 0 : L;
  uint8_t k = exp_kernel(r, l);
  return k == r ? 0 : k;
}
constexpr uint8_t base_conv(int r, int l) {
  uint8_t k = exp_kernel(r, l);
  return k == l ? 0 : k;
}

constexpr uint8_t table_entry(int table, int r, int l) {
  switch (table) {
    case AT_PROMOTE: return promote(r, l);
    case AT_RELATION: return B;
    case AT_CONV_LEFT: {
      if (r == S) return 0;
      if (l == S) return static_cast<uint8_t>(r);
      uint8_t p = promote(r, l);
      return l < p ? p : 0;
    }
    case AT_CONV_RIGHT: {
      if (l == S) return 0;
      if (r == S) return static_cast<uint8_t>(l);
      uint8_t p = promote(r, l);
      return r < p ? p : 0;
    }
    case AT_EXP_CONV: return exp_conv(r, l);
    case AT_BASE_CONV: return base_conv(r, l);
    case AT_EXP_KERNEL:
    case AT_EXP_RESULT: return exp_kernel(r, l);
    default: return 0;
  }
}

constexpr std::array<uint8_t, 8 * ARITH_TABLE_STRIDE> build_arith() {
  std::array<uint8_t, 8 * ARITH_TABLE_STRIDE> a{};
  for (int t = 1; t <= 8; t++)
    for (int r = 1; r <= 7; r++)
      for (int l = 1; l <= 7; l++) a[(t - 1) * ARITH_TABLE_STRIDE + (r - 1) * 7 + (l - 1)] = table_entry(t, r, l);
  return a;
}

// ---- binary element operations -------------------------------------------------------

using elem::is_cplx;
using elem::is_int;
using namespace elem;

template <class Op, class T>
void arith(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<T, T, T>(l, r, o, n, la, ra, [](T a, T b) { return Op::f(a, b); });
}

// ---- relational -----------------------------------------------------------------------

template <class Op, class T>
void relate(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<T, T, uint8_t>(l, r, o, n, la, ra, [](T a, T b) { return static_cast<uint8_t>(Op::f(a, b)); });
}

// Strings order as strcmp orders them; an empty string has no characters.
int compare_strings(const StringDesc& a, const StringDesc& b) {
  size_t n = a.length < b.length ? a.length : b.length;
  int c = n ? memcmp(a.chars, b.chars, n) : 0;
  if (c) return c;
  return static_cast<int>(a.length) - static_cast<int>(b.length);
}

template <class Op>
void relate_str(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<StringDesc, StringDesc, uint8_t>(l, r, o, n, la, ra, [](const StringDesc& a, const StringDesc& b) {
    return static_cast<uint8_t>(Op::f(compare_strings(a, b), 0));
  });
}

void concat_str(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  const auto* ls = static_cast<const StringDesc*>(l);
  const auto* rs = static_cast<const StringDesc*>(r);
  auto* os = static_cast<StringDesc*>(o);
  for (uint32_t k = 0; k < n; k++) {
    const StringDesc& a = ls[la ? k : 0];
    const StringDesc& b = rs[ra ? k : 0];
    uint32_t len = static_cast<uint32_t>(a.length) + b.length;
    if (len >= 65535) message(M_STRING_TOO_LONG, 0, MSG_LONGJMP, "Concatenation (+)");
    if (len == 0) continue;  // the result was cleared to empty strings
    auto* p = static_cast<char*>(counting_malloc(len + 1));
    if (!p) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Concatenation (+)");
    if (a.length) memcpy(p, a.chars, a.length);
    if (b.length) memcpy(p + a.length, b.chars, b.length);
    p[len] = 0;
    os[k] = StringDesc{static_cast<uint16_t>(len), 1, p};
  }
}

// ---- exponentiation ---------------------------------------------------------------------

// Integer exponent (always LONG here). Integer bases: a negative exponent gives 0,
// otherwise squaring in the base's width. Real and complex bases: squaring with the
// exponent's magnitude, then the reciprocal for a negative exponent.
template <class T>
T int_power(T base, int32_t e) {
  if constexpr (is_int<T>) {
    if (e < 0) return 0;
    T result = 1;
    for (uint32_t m = static_cast<uint32_t>(e); m; m >>= 1) {
      if (m & 1) result = wrap_mul(result, base);
      base = wrap_mul(base, base);
    }
    return result;
  } else {
    uint32_t m = e < 0 ? 0u - static_cast<uint32_t>(e) : static_cast<uint32_t>(e);
    T result;
    if constexpr (is_cplx<T>) result = {1.0f, 0.0f};
    else result = 1;
    for (; m; m >>= 1) {
      if (m & 1) result = Mul::f(result, base);
      base = Mul::f(base, base);
    }
    if (e >= 0) return result;
    if constexpr (is_cplx<T>) {
      return creciprocal(result);
    } else {
      return T(1) / result;
    }
  }
}

template <class T>
void expi(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<T, int32_t, T>(l, r, o, n, la, ra, [](T a, int32_t e) { return int_power(a, e); });
}

template <class T>
T real_power(T base, T e) {
  if (base == T(0)) {
    if (e < T(0)) return std::pow(base, e);  // raises the divide-by-zero condition
    return e == T(0) ? T(1) : T(0);
  }
  return std::pow(base, e);
}

template <class T>
void expf_real(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<T, T, T>(l, r, o, n, la, ra, [](T a, T e) { return real_power(a, e); });
}

}  // namespace

namespace opk {

Complex alog_c(Complex z) { return {logf(sqrtf(z.r * z.r + z.i * z.i)), atan2f(z.i, z.r)}; }
Complex exp_c(Complex z) {
  float m = static_cast<float>(exp(static_cast<double>(z.r)));
  return {m * cosf(z.i), m * sinf(z.i)};
}

void illegal_string2(const void*, const void*, void*, uint32_t, bool, bool) {
  message(M_ILLEGAL_STRING, 0, MSG_LONGJMP);
}
void illegal_complex2(const void*, const void*, void*, uint32_t, bool, bool) {
  message(M_ILLEGAL_COMPLEX, 0, MSG_LONGJMP);
}
void illegal_float2(const void*, const void*, void*, uint32_t, bool, bool) {
  message(M_ILLEGAL_FLOAT, 0, MSG_LONGJMP);
}
void illegal_string1(const void*, void*, uint32_t) { message(M_ILLEGAL_STRING, 0, MSG_LONGJMP); }
void illegal_complex1(const void*, void*, uint32_t) { message(M_ILLEGAL_COMPLEX, 0, MSG_LONGJMP); }

const uint8_t math_result_types[8] = {0, F, F, F, F, D, C, F};

}  // namespace opk

namespace {

void expf_complex(const void* l, const void* r, void* o, uint32_t n, bool la, bool ra) {
  loop2<Complex, Complex, Complex>(l, r, o, n, la, ra, [](Complex z, Complex w) { return exp_c(cmul(w, alog_c(z))); });
}

// ---- unary --------------------------------------------------------------------------------

template <class T>
void negate(const void* in, void* out, uint32_t n) {
  loop1<T, T>(in, out, n, [](T a) -> T {
    if constexpr (is_int<T>) return wrap_neg(a);
    else if constexpr (is_cplx<T>) return cneg(a);
    else return -a;
  });
}

template <class T>
void bit_not(const void* in, void* out, uint32_t n) {
  loop1<T, T>(in, out, n, [](T a) -> T {
    if constexpr (is_int<T>) return static_cast<T>(~a);
    else return a == T(0) ? T(1) : T(0);
  });
}

template <class T>
void absolute(const void* in, void* out, uint32_t n) {
  loop1<T, T>(in, out, n, [](T a) -> T {
    if constexpr (std::is_unsigned_v<T>) return a;
    else if constexpr (is_int<T>) return a < 0 ? wrap_neg(a) : a;
    else return std::fabs(a);
  });
}

void abs_complex(const void* in, void* out, uint32_t n) {
  loop1<Complex, float>(in, out, n, [](Complex a) { return sqrtf(a.r * a.r + a.i * a.i); });
}

constexpr uint8_t kOwnTypes[8] = {0, B, I, L, F, D, C, F};
constexpr uint8_t kAbsResult[8] = {0, B, I, L, F, D, F, F};

}  // namespace

const std::array<uint8_t, 8 * ARITH_TABLE_STRIDE> arith_rslt = build_arith();

namespace {

template <class Op>
constexpr BinOpTable arith_table(BinKernel complex_kernel, BinKernel string_kernel) {
  return {AT_PROMOTE,
          AT_PROMOTE,
          AT_CONV_LEFT,
          AT_CONV_RIGHT,
          {arith<Op, uint8_t>, arith<Op, int16_t>, arith<Op, int32_t>, arith<Op, float>, arith<Op, double>,
           complex_kernel, string_kernel}};
}

template <class Op>
constexpr BinOpTable relational_table(BinKernel complex_kernel) {
  return {AT_RELATION,
          AT_PROMOTE,
          AT_CONV_LEFT,
          AT_CONV_RIGHT,
          {relate<Op, uint8_t>, relate<Op, int16_t>, relate<Op, int32_t>, relate<Op, float>, relate<Op, double>,
           complex_kernel, relate_str<Op>}};
}

}  // namespace

const BinOpTable ur_op_add = arith_table<Add>(arith<Add, Complex>, concat_str);
const BinOpTable ur_op_sub = arith_table<Sub>(arith<Sub, Complex>, illegal_string2);
const BinOpTable ur_op_mul = arith_table<Mul>(arith<Mul, Complex>, illegal_string2);
const BinOpTable ur_op_div = arith_table<Div>(arith<Div, Complex>, illegal_string2);
const BinOpTable ur_op_min = arith_table<Min>(illegal_complex2, illegal_string2);
const BinOpTable ur_op_max = arith_table<Max>(illegal_complex2, illegal_string2);
const BinOpTable ur_op_mod = arith_table<Mod>(illegal_complex2, illegal_string2);
const BinOpTable ur_op_and = arith_table<And>(illegal_complex2, illegal_string2);
const BinOpTable ur_op_or = arith_table<Or>(illegal_complex2, illegal_string2);
const BinOpTable ur_op_xor = {AT_PROMOTE,
                              AT_PROMOTE,
                              AT_CONV_LEFT,
                              AT_CONV_RIGHT,
                              {arith<Xor, uint8_t>, arith<Xor, int16_t>, arith<Xor, int32_t>, illegal_float2,
                               illegal_float2, illegal_complex2, illegal_string2}};

const BinOpTable ur_op_expi = {AT_EXP_RESULT, AT_EXP_KERNEL, AT_BASE_CONV, AT_EXP_CONV,
                               {expi<uint8_t>, expi<int16_t>, expi<int32_t>, expi<float>, expi<double>,
                                expi<Complex>, illegal_string2}};
const BinOpTable ur_op_expf = {AT_EXP_RESULT, AT_EXP_KERNEL, AT_BASE_CONV, AT_EXP_CONV,
                               {illegal_float2, illegal_float2, illegal_float2, expf_real<float>,
                                expf_real<double>, expf_complex, illegal_string2}};

const BinOpTable ur_op_eq = relational_table<Eq>(relate<Eq, Complex>);
const BinOpTable ur_op_ne = relational_table<Ne>(relate<Ne, Complex>);
const BinOpTable ur_op_le = relational_table<Le>(illegal_complex2);
const BinOpTable ur_op_lt = relational_table<Lt>(illegal_complex2);
const BinOpTable ur_op_ge = relational_table<Ge>(illegal_complex2);
const BinOpTable ur_op_gt = relational_table<Gt>(illegal_complex2);

// Unary minus and NOT keep the operand's type (a string is read as FLOAT).
const UnOpTable ur_neg_op = {kOwnTypes,
                             kOwnTypes,
                             {nullptr, negate<uint8_t>, negate<int16_t>, negate<int32_t>, negate<float>,
                              negate<double>, negate<Complex>, negate<float>}};
const UnOpTable ur_not_op = {kOwnTypes,
                             kOwnTypes,
                             {nullptr, bit_not<uint8_t>, bit_not<int16_t>, bit_not<int32_t>, bit_not<float>,
                              bit_not<double>, illegal_complex1, illegal_string1}};
// ABS of COMPLEX is the FLOAT modulus, read from the complex operand unconverted.
const UnOpTable ur_abs = {kAbsResult,
                          kOwnTypes,
                          {nullptr, absolute<uint8_t>, absolute<int16_t>, absolute<int32_t>, absolute<float>,
                           absolute<double>, abs_complex, absolute<float>}};
