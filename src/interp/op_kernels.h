// Loop templates behind every element kernel of the operators and element-wise
// functions: one template per operation, instantiated per element type. Shared by the
// operator tables and the math built-ins; not for use elsewhere.
#pragma once

#include <cstdint>
#include <type_traits>

#include "base/message.h"
#include "values/element_ops.h"
#include "values/simd.h"
#include "values/variable.h"

namespace opk {

using elem::wrap_add;
using elem::wrap_mul;
using elem::wrap_neg;
using elem::wrap_sub;

// Binary loop: the scalar/array decision is taken once, then a plain loop runs. The
// output may alias an operand element for element, so ivdep is truthful.
template <class L, class R, class O, class F>
[[gnu::always_inline]] inline void loop2_body(const L* l, const R* r, O* o, uint32_t n, bool la, bool ra, F f) {
  if (la && ra) {
#pragma GCC ivdep
    for (uint32_t k = 0; k < n; k++) o[k] = f(l[k], r[k]);
  } else if (la) {
    const R b = *r;
#pragma GCC ivdep
    for (uint32_t k = 0; k < n; k++) o[k] = f(l[k], b);
  } else if (ra) {
    const L a = *l;
#pragma GCC ivdep
    for (uint32_t k = 0; k < n; k++) o[k] = f(a, r[k]);
  } else {
    *o = f(*l, *r);
  }
}

template <class I, class O, class F>
[[gnu::always_inline]] inline void loop1_body(const I* in, O* o, uint32_t n, F f) {
#pragma GCC ivdep
  for (uint32_t k = 0; k < n; k++) o[k] = f(in[k]);
}

// Every loop is built for each vector level and runs in the widest the processor has.
// The builds give identical results: element operations are exact IEEE operations or
// the same scalar library calls in each, and the build never contracts a product and a
// sum into a fused multiply-add. Complex elements stay with the baseline build: for
// them g++ pairs products into fused multiply-add-subtract instructions regardless.
template <class... T>
constexpr bool kWideBuilds = !(std::is_same_v<T, Complex> || ...);
#if VEK_HAVE_SIMD_LEVELS
template <class L, class R, class O, class F>
VEK_TARGET_AVX512 void loop2_avx512(const L* l, const R* r, O* o, uint32_t n, bool la, bool ra, F f) {
  loop2_body(l, r, o, n, la, ra, f);
}
template <class L, class R, class O, class F>
VEK_TARGET_AVX2 void loop2_avx2(const L* l, const R* r, O* o, uint32_t n, bool la, bool ra, F f) {
  loop2_body(l, r, o, n, la, ra, f);
}
template <class I, class O, class F>
VEK_TARGET_AVX512 void loop1_avx512(const I* in, O* o, uint32_t n, F f) {
  loop1_body(in, o, n, f);
}
template <class I, class O, class F>
VEK_TARGET_AVX2 void loop1_avx2(const I* in, O* o, uint32_t n, F f) {
  loop1_body(in, o, n, f);
}
#endif

template <class L, class R, class O, class F>
inline void loop2(const void* lp, const void* rp, void* op, uint32_t n, bool la, bool ra, F f) {
  const L* l = static_cast<const L*>(lp);
  const R* r = static_cast<const R*>(rp);
  O* o = static_cast<O*>(op);
#if VEK_HAVE_SIMD_LEVELS
  // A single element is not worth a change of build.
  if constexpr (kWideBuilds<L, R, O>) {
    if (simd_level == SIMD_AVX512 && (la || ra)) return loop2_avx512(l, r, o, n, la, ra, f);
    if (simd_level == SIMD_AVX2 && (la || ra)) return loop2_avx2(l, r, o, n, la, ra, f);
  }
#endif
  loop2_body(l, r, o, n, la, ra, f);
}

template <class I, class O, class F>
inline void loop1(const void* ip, void* op, uint32_t n, F f) {
  const I* in = static_cast<const I*>(ip);
  O* o = static_cast<O*>(op);
#if VEK_HAVE_SIMD_LEVELS
  if constexpr (kWideBuilds<I, O>) {
    if (simd_level == SIMD_AVX512 && n > 1) return loop1_avx512(in, o, n, f);
    if (simd_level == SIMD_AVX2 && n > 1) return loop1_avx2(in, o, n, f);
  }
#endif
  loop1_body(in, o, n, f);
}

// The complex logarithm and exponential used by the complex power and the math functions.
Complex alog_c(Complex z);
Complex exp_c(Complex z);

// Kernels that only report that the operation is not defined for the type.
void illegal_string2(const void*, const void*, void*, uint32_t, bool, bool);
void illegal_complex2(const void*, const void*, void*, uint32_t, bool, bool);
void illegal_float2(const void*, const void*, void*, uint32_t, bool, bool);
void illegal_string1(const void*, void*, uint32_t);
void illegal_complex1(const void*, void*, uint32_t);

// Result and conversion tables shared by the element-wise math functions: FLOAT for
// integers, FLOAT and STRING; DOUBLE and COMPLEX keep their type.
extern const uint8_t math_result_types[8];

}  // namespace opk
