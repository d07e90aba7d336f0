#include "lib/reductions.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "base/message.h"
#include "lib/arrays.h"
#include "values/convert.h"
#include "values/simd.h"
#include "values/strings.h"
#include "lib/sysvars.h"
#include "values/temps.h"

namespace {

// ---- TOTAL --------------------------------------------------------------------------------
//
// The order of summation is part of the result: elements are added one at a time in
// storage order, each into the running sum of its result element. Summing along a
// dimension other than the first keeps that order per result element while the inner
// loop runs across result elements (independent sums, so it vectorises).

using SumKernel = void (*)(const void* src, void* dst, uint32_t n_outer, uint32_t n_sum, uint32_t stride);

template <typename T, typename Acc>
void sum_real(const void* src, void* dst, uint32_t n_outer, uint32_t n_sum, uint32_t stride) {
  const T* x = static_cast<const T*>(src);
  Acc* out = static_cast<Acc*>(dst);
  for (uint32_t o = 0; o < n_outer; o++) {
    const T* p = x + static_cast<size_t>(o) * n_sum * stride;
    if (stride == 1) {
      Acc s = 0;
      for (uint32_t k = 0; k < n_sum; k++) s += static_cast<Acc>(p[k]);
      out[o] = s;
      continue;
    }
    Acc* acc = out + static_cast<size_t>(o) * stride;
    for (uint32_t i = 0; i < stride; i++) acc[i] = 0;
    for (uint32_t k = 0; k < n_sum; k++) {
      const T* row = p + static_cast<size_t>(k) * stride;
      for (uint32_t i = 0; i < stride; i++) acc[i] += static_cast<Acc>(row[i]);
    }
  }
}

// Complex elements: real and imaginary parts summed separately, rounded to single
// precision at the end when the sums are kept in double.
template <typename Acc>
void sum_complex(const void* src, void* dst, uint32_t n_outer, uint32_t n_sum, uint32_t stride) {
  const float* x = static_cast<const float*>(src);
  float* out = static_cast<float*>(dst);
  std::vector<Acc> acc(2 * static_cast<size_t>(stride));
  for (uint32_t o = 0; o < n_outer; o++) {
    const float* p = x + 2 * static_cast<size_t>(o) * n_sum * stride;
    std::fill(acc.begin(), acc.end(), Acc(0));
    for (uint32_t k = 0; k < n_sum; k++) {
      const float* row = p + 2 * static_cast<size_t>(k) * stride;
      for (uint32_t i = 0; i < 2 * stride; i++) acc[i] += static_cast<Acc>(row[i]);
    }
    float* r = out + 2 * static_cast<size_t>(o) * stride;
    for (uint32_t i = 0; i < 2 * stride; i++) r[i] = static_cast<float>(acc[i]);
  }
}

// [DOUBLE keyword][operand type]
constexpr SumKernel kSumKernel[2][N_TYPES] = {
    {nullptr, sum_real<uint8_t, float>, sum_real<int16_t, float>, sum_real<int32_t, float>, sum_real<float, float>,
     sum_real<double, double>, sum_complex<float>, nullptr, nullptr},
    {nullptr, sum_real<uint8_t, double>, sum_real<int16_t, double>, sum_real<int32_t, double>,
     sum_real<float, double>, sum_real<double, double>, sum_complex<double>, nullptr, nullptr}};
constexpr uint8_t kSumType[2][N_TYPES] = {
    {0, TYP_FLOAT, TYP_FLOAT, TYP_FLOAT, TYP_FLOAT, TYP_DOUBLE, TYP_COMPLEX, 0, 0},
    {0, TYP_DOUBLE, TYP_DOUBLE, TYP_DOUBLE, TYP_DOUBLE, TYP_DOUBLE, TYP_COMPLEX, 0, 0}};

// ---- MIN and MAX --------------------------------------------------------------------------
//
// Running extremes start at element 0 and change only on a strict comparison, so the
// first of equal extremes wins and a NaN never replaces an extreme (a NaN in element 0
// stays both extremes). The scan goes block by block: a vectorised pass finds each
// block's extremes, and only a block that improves on the running value is searched
// again (from cache) for the first element equal to its extreme.

using ExtremesKernel = void (*)(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax);

// Vectors of kBytes bytes (16 in the baseline build, 32 or 64 in the wider builds), four
// of them side by side so that the compare-and-select chains overlap.
template <typename T, int kBytes>
using VecN [[gnu::vector_size(kBytes)]] = T;

constexpr int kMin = 1, kMax = 2, kBoth = 3;

// One element of the scalar head and tail: strict comparisons, so the first of equal
// extremes stays.
template <typename T, int kWant>
inline void step(const T* x, uint32_t i, T& mn, T& mx, uint32_t& lo, uint32_t& hi) {
  if ((kWant & kMin) && x[i] < mn) {
    mn = x[i];
    lo = i;
  } else if ((kWant & kMax) && x[i] > mx) {
    mx = x[i];
    hi = i;
  }
}

// The first subscript from i on whose element equals v, which is known to occur: whole
// vectors are compared until one holds it.
template <typename T, int kBytes>
[[gnu::always_inline]] inline uint32_t first_equal(const T* x, uint32_t i, T v) {
  using V = VecN<T, kBytes>;
  constexpr uint32_t kLanes = kBytes / sizeof(T);
  V splat;
  for (uint32_t l = 0; l < kLanes; l++) splat[l] = v;
  for (;; i += kLanes) {
    V w;
    memcpy(&w, x + i, sizeof w);
    const auto eq = w == splat;
    bool any = false;
    for (uint32_t l = 0; l < kLanes; l++) any |= eq[l] != 0;
    if (any) break;
  }
  while (!(x[i] == v)) i++;
  return i;
}

// kWant selects what is searched for: kMin, kMax or both (the other index is then 0).
// Every build compares the same elements strictly, so all find the same subscripts.
template <typename T, int kWant, int kBytes>
[[gnu::always_inline]] inline void extremes_body(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
  using V = VecN<T, kBytes>;
  constexpr uint32_t kLanes = kBytes / sizeof(T);
  constexpr uint32_t kStep = 4 * kLanes;
  constexpr uint32_t kBlock = 16384 / sizeof(T);
  const T* x = static_cast<const T*>(data);
  T mn = x[0], mx = x[0];
  uint32_t lo = 0, hi = 0;
  // Scalar steps up to a 64-byte boundary, so that the vector loads never straddle
  // cache lines.
  uint32_t i = 1;
  for (; i < n && (reinterpret_cast<uintptr_t>(x + i) & 63); i++) step<T, kWant>(x, i, mn, mx, lo, hi);
  // Blocks of kBlock elements; the last one shorter, still a whole number of steps.
  for (uint32_t len; i + kStep <= n; i += len) {
    len = std::min(kBlock, (n - i) / kStep * kStep);
    V splat_mn, splat_mx;
    for (uint32_t l = 0; l < kLanes; l++) {
      splat_mn[l] = mn;
      splat_mx[l] = mx;
    }
    V mn0 = splat_mn, mn1 = splat_mn, mn2 = splat_mn, mn3 = splat_mn;
    V mx0 = splat_mx, mx1 = splat_mx, mx2 = splat_mx, mx3 = splat_mx;
    for (uint32_t j = 0; j < len; j += kStep) {
      V v0, v1, v2, v3;
      const T* p = x + i + j;
      memcpy(&v0, p, sizeof v0);
      memcpy(&v1, p + kLanes, sizeof v1);
      memcpy(&v2, p + 2 * kLanes, sizeof v2);
      memcpy(&v3, p + 3 * kLanes, sizeof v3);
      if constexpr (kWant & kMin) {
        mn0 = v0 < mn0 ? v0 : mn0;
        mn1 = v1 < mn1 ? v1 : mn1;
        mn2 = v2 < mn2 ? v2 : mn2;
        mn3 = v3 < mn3 ? v3 : mn3;
      }
      if constexpr (kWant & kMax) {
        mx0 = v0 > mx0 ? v0 : mx0;
        mx1 = v1 > mx1 ? v1 : mx1;
        mx2 = v2 > mx2 ? v2 : mx2;
        mx3 = v3 > mx3 ? v3 : mx3;
      }
    }
    mn0 = mn1 < mn0 ? mn1 : mn0;
    mn2 = mn3 < mn2 ? mn3 : mn2;
    mn0 = mn2 < mn0 ? mn2 : mn0;
    mx0 = mx1 > mx0 ? mx1 : mx0;
    mx2 = mx3 > mx2 ? mx3 : mx2;
    mx0 = mx2 > mx0 ? mx2 : mx0;
    T bmn = mn0[0], bmx = mx0[0];
    for (uint32_t l = 1; l < kLanes; l++) {
      if (mn0[l] < bmn) bmn = mn0[l];
      if (mx0[l] > bmx) bmx = mx0[l];
    }
    if ((kWant & kMin) && bmn < mn) {
      lo = first_equal<T, kBytes>(x, i, bmn);
      mn = x[lo];
    }
    if ((kWant & kMax) && bmx > mx) {
      hi = first_equal<T, kBytes>(x, i, bmx);
      mx = x[hi];
    }
  }
  for (; i < n; i++) step<T, kWant>(x, i, mn, mx, lo, hi);
  *imin = lo;
  *imax = hi;
}

#if VEK_HAVE_SIMD_LEVELS
template <typename T, int kWant>
VEK_TARGET_AVX512 void extremes_avx512(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
  extremes_body<T, kWant, 64>(data, n, imin, imax);
}
template <typename T, int kWant>
VEK_TARGET_AVX2 void extremes_avx2(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
  extremes_body<T, kWant, 32>(data, n, imin, imax);
}
#endif

template <typename T, int kWant>
void extremes(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return extremes_avx512<T, kWant>(data, n, imin, imax);
  if (simd_level == SIMD_AVX2) return extremes_avx2<T, kWant>(data, n, imin, imax);
#endif
  extremes_body<T, kWant, 16>(data, n, imin, imax);
}

// Complex values order by their real parts.
void extremes_complex(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
  const float* x = static_cast<const float*>(data);
  float mn = x[0], mx = x[0];
  uint32_t lo = 0, hi = 0;
  for (uint32_t i = 1; i < n; i++) {
    float r = x[2 * static_cast<size_t>(i)];
    if (r < mn) {
      mn = r;
      lo = i;
    } else if (r > mx) {
      mx = r;
      hi = i;
    }
  }
  *imin = lo;
  *imax = hi;
}

void extremes_string(const void* data, uint32_t n, uint32_t* imin, uint32_t* imax) {
  const auto* x = static_cast<const StringDesc*>(data);
  uint32_t lo = 0, hi = 0;
  for (uint32_t i = 1; i < n; i++) {
    if (STRING_strcmp(&x[i], &x[lo]) < 0) lo = i;
    else if (STRING_strcmp(&x[i], &x[hi]) > 0) hi = i;
  }
  *imin = lo;
  *imax = hi;
}

template <int kWant>
constexpr ExtremesKernel kExtremesFor[N_TYPES] = {
    nullptr,          extremes<uint8_t, kWant>, extremes<int16_t, kWant>, extremes<int32_t, kWant>,
    extremes<float, kWant>, extremes<double, kWant>, extremes_complex, extremes_string, nullptr};
// [what is wanted - 1][type]
constexpr const ExtremesKernel* kExtremes[3] = {kExtremesFor<kMin>, kExtremesFor<kMax>, kExtremesFor<kBoth>};

// The subscripts of the wanted extremes of v (see get_array_data for refusals).
void find_extremes(Variable* v, int want, void** data, uint32_t* lo, uint32_t* hi) {
  uint32_t n;
  get_array_data(v, &n, data);
  *lo = *hi = 0;
  kExtremes[want - 1][v->type](*data, n, lo, hi);
}

// A scalar temporary holding a copy of the element at p (a string gets its own
// characters).
Variable* element_temp(int type, const void* p) {
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  t->value.d = 0;
  if (type == TYP_STRING) {
    const auto* s = static_cast<const StringDesc*>(p);
    t->value.str = StringDesc{0, 0, nullptr};
    if (s->length) {
      str_store_n(&t->value.str, s->chars, s->length);
      t->flags |= FLAG_DYNAMIC;
    }
    return t;
  }
  memcpy(&t->value, p, static_cast<size_t>(type_size[type]));
  return t;
}

// Shared body of MAX (want_max) and MIN.
Variable* extreme_of(Variable* x, Variable* subscript_out, Variable* other_out, bool want_max) {
  void* base;
  uint32_t lo, hi;
  find_extremes(x, other_out ? kBoth : want_max ? kMax : kMin, &base, &lo, &hi);
  const size_t es = static_cast<size_t>(type_size[x->type]);
  int32_t subscript = static_cast<int32_t>(want_max ? hi : lo);
  const uint8_t* pick = static_cast<uint8_t*>(base) + (want_max ? hi : lo) * es;
  const uint8_t* other = static_cast<uint8_t*>(base) + (want_max ? lo : hi) * es;
  // Copies first: an output argument may be the operand itself.
  Variable* result = element_temp(x->type, pick);
  if (other_out) {
    Variable* o = element_temp(x->type, other);
    try {
      store_scalar(other_out, o->type, &o->value);
    } catch (...) {
      deltmp(o);
      throw;
    }
    deltmp(o);
  }
  if (subscript_out) store_scalar(subscript_out, TYP_LONG, &subscript);
  else vek_cursor = subscript;
  return result;
}

// ---- WHERE --------------------------------------------------------------------------------

template <typename T>
inline uint32_t nonzero(const T& x) {
  return x != 0 ? 1u : 0u;  // for float and double, -0.0 is zero and NaN is not
}
template <>
inline uint32_t nonzero<Complex>(const Complex& x) {
  return x.r != 0 ? 1u : 0u;
}
template <>
inline uint32_t nonzero<StringDesc>(const StringDesc& x) {
  return x.length != 0 ? 1u : 0u;
}

// Elements are taken in chunks of 64; the first pass records each chunk's count so that
// the second can skip empty chunks and write full ones without looking at the data.
constexpr uint32_t kChunk = 64;

using CountKernel = uint32_t (*)(const void* data, uint32_t n, uint8_t* chunk_counts);
using FillKernel = void (*)(const void* data, uint32_t n, const uint8_t* chunk_counts, int32_t* out);

template <typename T>
uint32_t where_count(const void* data, uint32_t n, uint8_t* chunk_counts) {
  const T* x = static_cast<const T*>(data);
  uint32_t total = 0;
  uint32_t c = 0;
  for (uint32_t i = 0; i + kChunk <= n; i += kChunk, c++) {
    uint32_t k = 0;
    for (uint32_t j = 0; j < kChunk; j++) k += nonzero(x[i + j]);
    chunk_counts[c] = static_cast<uint8_t>(k == kChunk ? 255 : k);
    total += k;
  }
  for (uint32_t i = c * kChunk; i < n; i++) total += nonzero(x[i]);
  return total;
}

template <typename T>
void where_fill(const void* data, uint32_t n, const uint8_t* chunk_counts, int32_t* out) {
  const T* x = static_cast<const T*>(data);
  int32_t stage[kChunk];
  uint32_t c = 0;
  uint32_t i = 0;
  for (; i + kChunk <= n; i += kChunk, c++) {
    uint8_t k = chunk_counts[c];
    if (k == 0) continue;
    if (k == 255) {
      for (uint32_t j = 0; j < kChunk; j++) out[j] = static_cast<int32_t>(i + j);
      out += kChunk;
      continue;
    }
    uint32_t m = 0;
    for (uint32_t j = 0; j < kChunk; j++) {
      stage[m] = static_cast<int32_t>(i + j);
      m += nonzero(x[i + j]);
    }
    memcpy(out, stage, m * sizeof(int32_t));
    out += m;
  }
  for (; i < n; i++)
    if (nonzero(x[i])) *out++ = static_cast<int32_t>(i);
}

constexpr CountKernel kWhereCount[N_TYPES] = {
    nullptr,         where_count<uint8_t>, where_count<int16_t>, where_count<int32_t>,   where_count<float>,
    where_count<double>, where_count<Complex>, where_count<StringDesc>, nullptr};
constexpr FillKernel kWhereFill[N_TYPES] = {
    nullptr,        where_fill<uint8_t>, where_fill<int16_t>, where_fill<int32_t>,   where_fill<float>,
    where_fill<double>, where_fill<Complex>, where_fill<StringDesc>, nullptr};

// With AVX-512 the numeric types go 16 elements at a time: a comparison gives a mask of
// the nonzero elements, whose subscripts one compress instruction packs together. The
// nonzero test is the one above (a float or double compared unordered-not-equal with 0).
#if VEK_HAVE_SIMD_LEVELS
#define VEK_TARGET_COMPRESS __attribute__((target("avx512f,avx512bw,avx512vl,popcnt")))

template <typename T>
VEK_TARGET_COMPRESS inline uint32_t nonzero_mask16(const T* p) {
  if constexpr (std::is_same_v<T, uint8_t>) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_test_epi8_mask(v, v);
  } else if constexpr (std::is_same_v<T, int16_t>) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_test_epi16_mask(v, v);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    __m512i v = _mm512_loadu_si512(p);
    return _mm512_test_epi32_mask(v, v);
  } else if constexpr (std::is_same_v<T, float>) {
    return _mm512_cmp_ps_mask(_mm512_loadu_ps(p), _mm512_setzero_ps(), _CMP_NEQ_UQ);
  } else {
    uint32_t lo = _mm512_cmp_pd_mask(_mm512_loadu_pd(p), _mm512_setzero_pd(), _CMP_NEQ_UQ);
    uint32_t hi = _mm512_cmp_pd_mask(_mm512_loadu_pd(p + 8), _mm512_setzero_pd(), _CMP_NEQ_UQ);
    return lo | hi << 8;
  }
}

template <typename T>
VEK_TARGET_COMPRESS uint32_t where_count_wide(const void* data, uint32_t n) {
  const T* x = static_cast<const T*>(data);
  uint32_t total = 0;
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) total += static_cast<uint32_t>(__builtin_popcount(nonzero_mask16(x + i)));
  for (; i < n; i++) total += nonzero(x[i]);
  return total;
}

// `count` is the number of subscripts out has room for: a full 16-lane store is used
// while it fits, a masked one for the last group.
template <typename T>
VEK_TARGET_COMPRESS void where_fill_wide(const void* data, uint32_t n, uint32_t count, int32_t* out) {
  const T* x = static_cast<const T*>(data);
  const __m512i step = _mm512_set1_epi32(16);
  __m512i idx = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  uint32_t w = 0;
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16, idx = _mm512_add_epi32(idx, step)) {
    const __mmask16 m = static_cast<__mmask16>(nonzero_mask16(x + i));
    if (!m) continue;
    const __m512i v = _mm512_maskz_compress_epi32(m, idx);
    const uint32_t k = static_cast<uint32_t>(__builtin_popcount(m));
    if (w + 16 <= count) _mm512_storeu_si512(out + w, v);
    else _mm512_mask_storeu_epi32(out + w, static_cast<__mmask16>((1u << k) - 1), v);
    w += k;
  }
  for (; i < n; i++)
    if (nonzero(x[i])) out[w++] = static_cast<int32_t>(i);
}

using WideCount = uint32_t (*)(const void*, uint32_t);
using WideFill = void (*)(const void*, uint32_t, uint32_t, int32_t*);
constexpr WideCount kWhereCountWide[N_TYPES] = {nullptr,
                                                where_count_wide<uint8_t>,
                                                where_count_wide<int16_t>,
                                                where_count_wide<int32_t>,
                                                where_count_wide<float>,
                                                where_count_wide<double>,
                                                nullptr,
                                                nullptr,
                                                nullptr};
constexpr WideFill kWhereFillWide[N_TYPES] = {nullptr,
                                              where_fill_wide<uint8_t>,
                                              where_fill_wide<int16_t>,
                                              where_fill_wide<int32_t>,
                                              where_fill_wide<float>,
                                              where_fill_wide<double>,
                                              nullptr,
                                              nullptr,
                                              nullptr};

bool have_compress() {
  static const bool cpu = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt");
  return cpu && simd_level == SIMD_AVX512;
}
#endif

// ---- SORT ---------------------------------------------------------------------------------
//
// Elements are mapped to unsigned keys that order like the values (signed integers with
// the sign bit flipped; floating point by its bit pattern, negatives inverted), then
// sorted by a least-significant-digit radix sort, which is stable: equal elements keep
// the order of their subscripts. -0.0 ties with 0.0, and NaNs go last.

inline uint32_t sort_key(uint8_t v) { return v; }
inline uint32_t sort_key(int16_t v) { return static_cast<uint16_t>(v) ^ 0x8000u; }
inline uint32_t sort_key(int32_t v) { return static_cast<uint32_t>(v) ^ 0x80000000u; }
// Floating keys are computed with masks rather than branches so that the key loops
// vectorise: -0.0 is made +0.0, and any NaN (whatever its sign) becomes the largest key.
inline uint32_t sort_key(float v) {
  uint32_t b;
  memcpy(&b, &v, sizeof b);
  const uint32_t mag = b & 0x7fffffffu;
  b &= 0u - static_cast<uint32_t>(mag != 0);
  const uint32_t k = b ^ (static_cast<uint32_t>(static_cast<int32_t>(b) >> 31) | 0x80000000u);
  return k | (0u - static_cast<uint32_t>(mag > 0x7f800000u));
}
inline uint64_t sort_key(double v) {
  uint64_t b;
  memcpy(&b, &v, sizeof b);
  const uint64_t mag = b & ~(uint64_t{1} << 63);
  b &= uint64_t{0} - static_cast<uint64_t>(mag != 0);
  const uint64_t k = b ^ (static_cast<uint64_t>(static_cast<int64_t>(b) >> 63) | (uint64_t{1} << 63));
  return k | (uint64_t{0} - static_cast<uint64_t>(mag > 0x7ff0000000000000u));
}

using SortKernel = void (*)(const void* data, uint32_t n, int32_t* out);

// Below this many elements a comparison sort of (key, subscript) pairs is quicker than
// the radix passes.
constexpr uint32_t kSmallSort = 512;
// How far ahead the scatter passes prefetch their destinations.
constexpr uint32_t kPrefetch = 64;

template <typename K>
int bit_width_of(K v) {
  int b = 0;
  for (; v; v >>= 1) b++;
  return b;
}

// Counts the first (lowest) digit of every key.
template <typename T, typename K>
void count_first_digit(const T* x, uint32_t n, K kmin, K mask, uint32_t* hist) {
  for (uint32_t i = 0; i < n; i++) hist[(sort_key(x[i]) - kmin) & mask]++;
}

// The smallest and largest keys, in the widest vector build available (the loop has no
// branches, so it vectorises).
template <typename T, typename K>
[[gnu::always_inline]] inline void key_range_body(const T* x, uint32_t n, K* lo, K* hi) {
  K kmin = sort_key(x[0]), kmax = kmin;
  for (uint32_t i = 0; i < n; i++) {
    const K k = sort_key(x[i]);
    kmin = std::min(kmin, k);
    kmax = std::max(kmax, k);
  }
  *lo = kmin;
  *hi = kmax;
}
#if VEK_HAVE_SIMD_LEVELS
template <typename T, typename K>
VEK_TARGET_AVX512 void key_range_avx512(const T* x, uint32_t n, K* lo, K* hi) {
  key_range_body(x, n, lo, hi);
}
template <typename T, typename K>
VEK_TARGET_AVX2 void key_range_avx2(const T* x, uint32_t n, K* lo, K* hi) {
  key_range_body(x, n, lo, hi);
}
#endif
template <typename T, typename K>
void key_range(const T* x, uint32_t n, K* lo, K* hi) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return key_range_avx512(x, n, lo, hi);
  if (simd_level == SIMD_AVX2) return key_range_avx2(x, n, lo, hi);
#endif
  key_range_body(x, n, lo, hi);
}

template <typename T>
void radix_argsort(const void* data, uint32_t n, int32_t* out) {
  using K = decltype(sort_key(T{}));
  struct Item {
    K key;
    uint32_t idx;
  };
  const T* x = static_cast<const T*>(data);
  if (n < kSmallSort) {
    std::vector<Item> v(n);
    for (uint32_t i = 0; i < n; i++) v[i] = Item{sort_key(x[i]), i};
    std::sort(v.begin(), v.end(),
              [](const Item& a, const Item& b) { return a.key < b.key || (a.key == b.key && a.idx < b.idx); });
    for (uint32_t i = 0; i < n; i++) out[i] = static_cast<int32_t>(v[i].idx);
    return;
  }
  // Keys are taken relative to the smallest, so only the bits in which they differ are
  // sorted on: as few passes as digits of at most 11 bits allow (fewer for short
  // arrays, whose histograms must stay small). The first pass reads the elements
  // directly and the last writes subscripts straight into the result.
  K kmin, kmax;
  key_range(x, n, &kmin, &kmax);
  const int bits = bit_width_of(static_cast<K>(kmax - kmin));
  if (bits == 0) {
    for (uint32_t i = 0; i < n; i++) out[i] = static_cast<int32_t>(i);
    return;
  }
  const int max_digit = std::clamp(bit_width_of(n), 8, 11);
  const int passes = (bits + max_digit - 1) / max_digit;
  const int digit_bits = (bits + passes - 1) / passes;
  const uint32_t radix = 1u << digit_bits;
  const K mask = static_cast<K>(radix - 1);
  std::vector<uint32_t> hist(static_cast<size_t>(passes) * radix, 0);
  // Counts become starting places.
  auto starts = [&](int p) {
    uint32_t sum = 0;
    for (uint32_t d = 0; d < radix; d++) {
      uint32_t c = hist[p * radix + d];
      hist[p * radix + d] = sum;
      sum += c;
    }
  };
  // Only the first digit is counted beforehand; the first pass counts the others as it
  // goes (it waits on memory anyway).
  count_first_digit(x, n, kmin, mask, hist.data());
  starts(0);
  uint32_t* h1 = hist.data() + radix;
  uint32_t* h2 = hist.data() + 2 * radix;
  auto count_rest = [&](K k) {
    if (passes == 2) {
      h1[(k >> digit_bits) & mask]++;
    } else if (passes == 3) {
      h1[(k >> digit_bits) & mask]++;
      h2[(k >> (2 * digit_bits)) & mask]++;
    } else {
      for (int p = 1; p < passes; p++) hist[p * radix + ((k >> (p * digit_bits)) & mask)]++;
    }
  };
  uint32_t* h = hist.data();
  if (passes == 1) {
    for (uint32_t i = 0; i < n; i++) {
      if (i + kPrefetch < n) __builtin_prefetch(&out[h[(sort_key(x[i + kPrefetch]) - kmin) & mask]], 1);
      out[h[(sort_key(x[i]) - kmin) & mask]++] = static_cast<int32_t>(i);
    }
    return;
  }
  // Work space from the counting allocator, which backs large blocks with huge pages.
  // The destinations are scattered: each pass asks for the line of the element a few
  // dozen places ahead before it is written. When a subscript and one digit fit 32 bits,
  // the pass before the last writes just those, packed: less to allocate and to move.
  const int idx_bits = bit_width_of(n - 1);
  const bool packed = digit_bits + idx_bits <= 32;
  const size_t n_items = packed ? (passes > 3 ? 2 : passes - 2) : (passes > 2 ? 2 : 1);
  const int top_shift = (passes - 1) * digit_bits;
  Variable* scratch;
  auto* base = static_cast<uint8_t*>(
      getscratch(&scratch, static_cast<int32_t>(n), static_cast<int>(n_items * sizeof(Item) + (packed ? 4 : 0))));
  Item* src = reinterpret_cast<Item*>(base);
  Item* dst = src + n;
  auto* pk = reinterpret_cast<uint32_t*>(base + n_items * n * sizeof(Item));
  if (packed && passes == 2) {
    for (uint32_t i = 0; i < n; i++) {
      if (i + kPrefetch < n) __builtin_prefetch(&pk[h[(sort_key(x[i + kPrefetch]) - kmin) & mask]], 1);
      const K k = sort_key(x[i]) - kmin;
      pk[h[k & mask]++] = static_cast<uint32_t>((k >> top_shift) & mask) << idx_bits | i;
      count_rest(k);
    }
    starts(1);
  } else {
    for (uint32_t i = 0; i < n; i++) {
      if (i + kPrefetch < n) __builtin_prefetch(&src[h[(sort_key(x[i + kPrefetch]) - kmin) & mask]], 1);
      const K k = sort_key(x[i]) - kmin;
      src[h[k & mask]++] = Item{k, i};
      count_rest(k);
    }
    for (int p = 1; p < passes; p++) starts(p);
    const int last_item_pass = packed ? passes - 3 : passes - 2;
    for (int p = 1; p <= last_item_pass; p++) {
      h = &hist[p * radix];
      const int shift = p * digit_bits;
      for (uint32_t i = 0; i < n; i++) {
        if (i + kPrefetch < n) __builtin_prefetch(&dst[h[(src[i + kPrefetch].key >> shift) & mask]], 1);
        const Item it = src[i];
        dst[h[(it.key >> shift) & mask]++] = it;
      }
      std::swap(src, dst);
    }
    if (packed) {
      h = &hist[(passes - 2) * radix];
      const int shift = (passes - 2) * digit_bits;
      for (uint32_t i = 0; i < n; i++) {
        if (i + kPrefetch < n) __builtin_prefetch(&pk[h[(src[i + kPrefetch].key >> shift) & mask]], 1);
        const Item it = src[i];
        pk[h[(it.key >> shift) & mask]++] = static_cast<uint32_t>((it.key >> top_shift) & mask) << idx_bits | it.idx;
      }
    }
  }
  h = &hist[(passes - 1) * radix];
  if (packed) {
    const uint32_t idx_mask = static_cast<uint32_t>((uint64_t{1} << idx_bits) - 1);
    for (uint32_t i = 0; i < n; i++) {
      if (i + kPrefetch < n) __builtin_prefetch(&out[h[pk[i + kPrefetch] >> idx_bits]], 1);
      const uint32_t v = pk[i];
      out[h[v >> idx_bits]++] = static_cast<int32_t>(v & idx_mask);
    }
  } else {
    for (uint32_t i = 0; i < n; i++) {
      if (i + kPrefetch < n) __builtin_prefetch(&out[h[(src[i + kPrefetch].key >> top_shift) & mask]], 1);
      const Item it = src[i];
      out[h[(it.key >> top_shift) & mask]++] = static_cast<int32_t>(it.idx);
    }
  }
  deltmp(scratch);
}

void string_argsort(const void* data, uint32_t n, int32_t* out) {
  const auto* x = static_cast<const StringDesc*>(data);
  for (uint32_t i = 0; i < n; i++) out[i] = static_cast<int32_t>(i);
  std::stable_sort(out, out + n, [x](int32_t a, int32_t b) { return STRING_strcmp(&x[a], &x[b]) < 0; });
}

constexpr SortKernel kSort[N_TYPES] = {nullptr,
                                       radix_argsort<uint8_t>,
                                       radix_argsort<int16_t>,
                                       radix_argsort<int32_t>,
                                       radix_argsort<float>,
                                       radix_argsort<double>,
                                       nullptr,
                                       string_argsort,
                                       nullptr};

}  // namespace

void get_array_data(Variable* v, uint32_t* n, void** data) {
  if (v->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(v));
  if (v->flags & FLAG_FILE_OR_STRUCT) message(M_NO_FILE_STRUCT, 0, MSG_LONGJMP, varname(v));
  *n = v->n_elts();
  *data = v->data_ptr();
}

void min_max(Variable* v, void** min_ptr, void** max_ptr, void** base) {
  void* data;
  uint32_t lo, hi;
  find_extremes(v, kBoth, &data, &lo, &hi);
  size_t es = static_cast<size_t>(type_size[v->type]);
  *base = data;
  *min_ptr = static_cast<uint8_t*>(data) + lo * es;
  *max_ptr = static_cast<uint8_t*>(data) + hi * es;
}

Variable* total_of(Variable* x, Variable* dimension, bool as_double) {
  uint32_t n;
  void* data;
  get_array_data(x, &n, &data);
  if (x->type == TYP_STRING) message(M_NO_STRING, 0, MSG_LONGJMP, varname(x));
  int d = dimension ? long_scalar(dimension) : 0;
  SumKernel kernel = kSumKernel[as_double][x->type];
  int rtype = kSumType[as_double][x->type];
  const ArrayDesc* a = x->has_desc() ? x->arr() : nullptr;
  if (d != 0 && n > 1 && (d < 0 || d > a->n_dim)) message(M_ARRAY_DIMS, 0, MSG_LONGJMP, d, varname(x));
  if (d == 0 || n == 1 || a->n_dim == 1) {
    Variable* t = gettmp();
    t->type = static_cast<uint8_t>(rtype);
    t->value.d = 0;
    kernel(data, &t->value, 1, n, 1);
    return t;
  }
  uint32_t stride = 1, n_outer = 1;
  int32_t rdims[MAX_DIMS];
  int rn = 0;
  for (int i = 0; i < a->n_dim; i++) {
    if (i < d - 1) stride *= a->dims[i];
    if (i > d - 1) n_outer *= a->dims[i];
    if (i != d - 1) rdims[rn++] = static_cast<int32_t>(a->dims[i]);
  }
  Variable* t;
  void* out = make_temp_array(rtype, rn, rdims, ARR_NOZERO, &t);
  kernel(data, out, n_outer, a->dims[d - 1], stride);
  return t;
}

Variable* max_of(Variable* x, Variable* subscript_out, Variable* min_out) {
  return extreme_of(x, subscript_out, min_out, true);
}

Variable* min_of(Variable* x, Variable* subscript_out, Variable* max_out) {
  return extreme_of(x, subscript_out, max_out, false);
}

Variable* where_of(Variable* x, Variable* count_out) {
  uint32_t n;
  void* data;
  get_array_data(x, &n, &data);
  bool wide = false;
#if VEK_HAVE_SIMD_LEVELS
  wide = kWhereCountWide[x->type] && have_compress();
#endif
  std::vector<uint8_t> chunks(wide ? 0 : n / kChunk + 1);
  uint32_t count = 0;
#if VEK_HAVE_SIMD_LEVELS
  if (wide) count = kWhereCountWide[x->type](data, n);
#endif
  if (!wide) count = kWhereCount[x->type](data, n, chunks.data());
  int32_t c = static_cast<int32_t>(count);
  if (count_out) store_scalar(count_out, TYP_LONG, &c);
  err_code = c;
  if (count == 0) return make_long_temp(-1);
  Variable* t;
  auto* out = static_cast<int32_t*>(make_temp_array(TYP_LONG, 1, &c, ARR_NOZERO, &t));
#if VEK_HAVE_SIMD_LEVELS
  if (wide) kWhereFillWide[x->type](data, n, count, out);
#endif
  if (!wide) kWhereFill[x->type](data, n, chunks.data(), out);
  return t;
}

Variable* sort_of(Variable* x) {
  uint32_t n;
  void* data;
  get_array_data(x, &n, &data);
  if (!x->has_desc()) message(M_NOT_ARRAY, 0, MSG_LONGJMP, varname(x));
  if (x->type == TYP_COMPLEX) message(M_NO_COMPLEX, 0, MSG_LONGJMP, varname(x));
  int32_t count = static_cast<int32_t>(n);
  Variable* t;
  auto* out = static_cast<int32_t*>(make_temp_array(TYP_LONG, 1, &count, ARR_NOZERO, &t));
  kSort[x->type](data, n, out);
  return t;
}

// ---- Built-ins -------------------------------------------------------------------------------

namespace {

// An argument or keyword that receives a result must be a variable.
Variable* output(Variable* v) {
  if (v && (v->flags & FLAG_UNNAMED)) var_error(M_NOT_NAMED, v, MSG_LONGJMP);
  return v;
}

uint32_t total_flags;
const KwEntry kTotalKeywords[] = {
    {"DOUBLE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &total_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int32_t other_given;
Variable* other_out;
const KwEntry kMaxKeywords[] = {
    {"MIN", 0, 1, KW_OUTPUT, &other_given, &other_out},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};
const KwEntry kMinKeywords[] = {
    {"MAX", 0, 1, KW_OUTPUT, &other_given, &other_out},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

// Positional arguments and the other extreme's target of MAX or MIN.
int extreme_args(int argc, Variable* argv[], KwNames argk, const KwEntry* table, Variable* pos[2],
                 Variable** other) {
  *other = nullptr;
  if (!argk) {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
    return argc;
  }
  int n = get_kw_params(argc, argv, argk, table, pos, 1);
  if (other_given) *other = output(other_out);
  other_out = nullptr;
  return n;
}

}  // namespace

Variable* ur_total(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {argv[0], nullptr};
  bool as_double = false;
  int n = argc;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kTotalKeywords, pos, 1);
    as_double = total_flags & 1;
  } else if (argc > 1) {
    pos[1] = argv[1];
  }
  return total_of(pos[0], n > 1 ? pos[1] : nullptr, as_double);
}

Variable* ur_max(int argc, Variable* argv[], KwNames argk) {
  Variable *pos[2], *other;
  int n = extreme_args(argc, argv, argk, kMaxKeywords, pos, &other);
  return max_of(pos[0], n > 1 ? output(pos[1]) : nullptr, other);
}

Variable* ur_min(int argc, Variable* argv[], KwNames argk) {
  Variable *pos[2], *other;
  int n = extreme_args(argc, argv, argk, kMinKeywords, pos, &other);
  return min_of(pos[0], n > 1 ? output(pos[1]) : nullptr, other);
}

Variable* ur_where(int argc, Variable* argv[], KwNames) {
  return where_of(argv[0], argc > 1 ? output(argv[1]) : nullptr);
}

Variable* ur_sort(int, Variable* argv[], KwNames) { return sort_of(argv[0]); }

const RoutineEntry reduction_functions[] = {
    {ur_max, "MAX", 1, 2, true}, {ur_min, "MIN", 1, 2, true}, {ur_sort, "SORT", 1, 1},
    {ur_total, "TOTAL", 1, 2, true}, {ur_where, "WHERE", 1, 2},
};
const int n_reduction_functions = sizeof reduction_functions / sizeof reduction_functions[0];
