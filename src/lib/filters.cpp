#include "lib/filters.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "base/message.h"
#include "base/workers.h"
#include "values/convert.h"
#include "values/simd.h"
#include "values/temps.h"

namespace {

// Large arrays are split by rows between two threads when the rows are independent, so
// that the results are the same as from one.
constexpr uint32_t kThreadedElements = 1u << 18;

template <typename F>
void split_rows(uint32_t r0, uint32_t r1, uint32_t n_elements, F&& work) {
  if (n_elements < kThreadedElements || r1 - r0 < 2 || worker_threads() < 2) {
    work(r0, r1);
    return;
  }
  split_work(r0, r0 + (r1 - r0) / 2, r1, work);
}

// A new temporary of x's type and dimensions.
Variable* array_like(Variable* x) {
  Variable* t = gettmp();
  t->type = x->type;
  make_array_like(x->arr(), t, type_size[x->type]);
  return t;
}

// ---- SMOOTH -----------------------------------------------------------------------------
//
// Kernels work on lanes: an element is L lanes of type U (a complex element is two
// floats, smoothed independently). Integer sums are 32-bit and wrap; they are held
// unsigned so that the wrap is defined, and divided as signed values.

template <typename S, typename U>
inline S to_sum(U x) {
  if constexpr (std::is_same_v<S, uint32_t>) return static_cast<uint32_t>(static_cast<int32_t>(x));
  else return static_cast<S>(x);
}

template <typename U, typename S>
inline U box_mean(S sum, uint32_t divisor) {
  if constexpr (std::is_same_v<S, uint32_t>)
    return static_cast<U>(static_cast<int32_t>(sum) / static_cast<int32_t>(divisor));
  else return static_cast<U>(sum / static_cast<S>(divisor));
}

// What the one-dimensional running sum gains when one element enters and one leaves:
// a float difference, even when the sum itself is kept in double.
template <typename U, typename S>
inline S entering(U in, U out) {
  if constexpr (std::is_same_v<S, uint32_t>) return to_sum<S>(in) - to_sum<S>(out);
  else return static_cast<S>(static_cast<U>(in - out));
}

// One line of n elements, stride elements apart; may run in place. The ring keeps the
// h + 1 source values that an in-place pass has already overwritten.
template <typename U, typename S, int L>
void smooth_line(const U* src, U* dst, U* ring, uint32_t n, size_t stride, uint32_t w) {
  const uint32_t h = w / 2;
  const size_t st = stride * L;
  for (int l = 0; l < L; l++) {
    const U* s = src + l;
    U* d = dst + l;
    for (uint32_t i = 0; i <= h; i++) {
      ring[i] = s[i * st];
      d[i * st] = s[i * st];
    }
    for (uint32_t i = n - h; i < n; i++) d[i * st] = s[i * st];
    S sum = 0;
    for (uint32_t i = 0; i < w; i++) sum += to_sum<S>(s[i * st]);
    uint32_t oldest = 0;
    for (uint32_t c = h; c + h < n; c++) {
      d[c * st] = box_mean<U>(sum, w);
      if (c + h + 1 >= n) break;
      sum += entering<U, S>(s[(c + h + 1) * st], ring[oldest]);
      ring[oldest] = s[(c + 1) * st];
      oldest = oldest == h ? 0 : oldest + 1;
    }
  }
}

// An nx by ny plane (x fastest) into a distinct destination, with one running sum per
// column and one along the row.
template <typename U, typename S, int L>
void smooth_plane(const U* src, U* dst, S* col, uint32_t nx, uint32_t ny, uint32_t w) {
  const uint32_t h = w / 2;
  const size_t row = static_cast<size_t>(nx) * L;
  for (size_t i = 0; i < row; i++) col[i] = 0;
  for (uint32_t r = 0; r < w; r++)
    for (size_t i = 0; i < row; i++) col[i] += to_sum<S>(src[r * row + i]);
  memcpy(dst, src, h * row * sizeof(U));
  memcpy(dst + (ny - h) * row, src + (ny - h) * row, h * row * sizeof(U));
  const uint32_t area = w * w;
  for (uint32_t r = h; r + h < ny; r++) {
    const U* s = src + r * row;
    U* d = dst + r * row;
    memcpy(d, s, h * L * sizeof(U));
    memcpy(d + (nx - h) * L, s + (nx - h) * L, h * L * sizeof(U));
    for (int l = 0; l < L; l++) {
      S run = 0;
      for (uint32_t x = 0; x < w; x++) run += col[x * L + l];
      for (uint32_t x = h;; x++) {
        d[x * L + l] = box_mean<U>(run, area);
        if (x + h + 1 >= nx) break;
        run += static_cast<S>(col[(x + h + 1) * L + l] - col[(x - h) * L + l]);
      }
    }
    if (r + h + 1 < ny) {
      const U* in = src + (r + h + 1) * row;
      const U* out = src + (r - h) * row;
      for (size_t i = 0; i < row; i++) col[i] += static_cast<S>(to_sum<S>(in[i]) - to_sum<S>(out[i]));
    }
  }
}

using SmoothLine = void (*)(const void* src, void* dst, uint32_t n, size_t stride, uint32_t w);
using SmoothPlane = void (*)(const void* src, void* dst, uint32_t nx, uint32_t ny, uint32_t w);

template <typename U, typename S, int L>
void smooth_line_any(const void* src, void* dst, uint32_t n, size_t stride, uint32_t w) {
  std::vector<U> ring(w / 2 + 1);
  smooth_line<U, S, L>(static_cast<const U*>(src), static_cast<U*>(dst), ring.data(), n, stride, w);
}

template <typename U, typename S, int L>
void smooth_plane_any(const void* src, void* dst, uint32_t nx, uint32_t ny, uint32_t w) {
  std::vector<S> col(static_cast<size_t>(nx) * L);
  smooth_plane<U, S, L>(static_cast<const U*>(src), static_cast<U*>(dst), col.data(), nx, ny, w);
}

// By TypeCode - 1: byte, int, long, float, double, complex.
constexpr SmoothLine kSmoothLine[6] = {
    smooth_line_any<uint8_t, uint32_t, 1>, smooth_line_any<int16_t, uint32_t, 1>, smooth_line_any<int32_t, uint32_t, 1>,
    smooth_line_any<float, double, 1>,     smooth_line_any<double, double, 1>,    smooth_line_any<float, float, 2>};
constexpr SmoothPlane kSmoothPlane[6] = {
    smooth_plane_any<uint8_t, uint32_t, 1>, smooth_plane_any<int16_t, uint32_t, 1>,
    smooth_plane_any<int32_t, uint32_t, 1>, smooth_plane_any<float, float, 1>,
    smooth_plane_any<double, double, 1>,    smooth_plane_any<float, float, 2>};

Variable* smooth_of(Variable* x, Variable* width) {
  int32_t w = long_scalar(width);
  w = (w & ~1) + 1;
  if (w < 3) var_error(M_SMOOTH_WIDTH, width, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  const ArrayDesc* a = x->arr();
  const uint32_t uw = static_cast<uint32_t>(w);
  const bool as_line = a->n_dim == 1 || (a->n_dim == 2 && (a->dims[0] == 1 || a->dims[1] == 1));
  bool fits = true;
  if (as_line) fits = a->n_elts >= uw;
  else
    for (int i = 0; i < a->n_dim; i++) fits &= a->dims[i] >= uw;
  if (!fits) var_error(M_SMOOTH_WIDTH, width, MSG_LONGJMP);

  Variable* t = array_like(x);
  const int k = x->type - 1;
  const uint8_t* src = x->arr()->data;
  uint8_t* dst = t->arr()->data;
  if (as_line) {
    kSmoothLine[k](src, dst, a->n_elts, 1, uw);
    return t;
  }
  const uint32_t nx = a->dims[0], ny = a->dims[1];
  const size_t plane_bytes = static_cast<size_t>(nx) * ny * a->elem_size;
  const uint32_t n_planes = a->n_elts / (nx * ny);
  for (uint32_t p = 0; p < n_planes; p++) kSmoothPlane[k](src + p * plane_bytes, dst + p * plane_bytes, nx, ny, uw);
  // Further dimensions one at a time, in place, each line along the dimension.
  for (int d = 2; d < a->n_dim; d++) {
    size_t stride = 1;
    for (int i = 0; i < d; i++) stride *= a->dims[i];
    const size_t block = stride * a->dims[d];
    for (size_t o = 0; o < a->n_elts / block; o++)
      for (size_t j = 0; j < stride; j++) {
        uint8_t* line = dst + (o * block + j) * a->elem_size;
        kSmoothLine[k](line, line, a->dims[d], stride, uw);
      }
  }
  return t;
}

// ---- CONVOL -----------------------------------------------------------------------------
//
// Per type: the kernel's element type K, the accumulator A and the scale factor's type.
// Integer sums are 32-bit and wrap (held unsigned).

struct Cf {
  float r, i;
};

inline int32_t divide_i32(int32_t v, int32_t s) {
  // -1 would trap on the most negative value; the quotient wraps instead.
  return s == -1 ? static_cast<int32_t>(0u - static_cast<uint32_t>(v)) : v / s;
}

template <typename T>
struct Conv;
template <>
struct Conv<uint8_t> {
  using K = int32_t;
  using A = uint32_t;
  using Sc = int32_t;
  static constexpr int kernel_type = TYP_LONG;
  static A prod(uint8_t a, K k) { return static_cast<uint32_t>(a) * static_cast<uint32_t>(k); }
  static uint8_t store(A acc, Sc s) {
    int32_t v = static_cast<int32_t>(acc);
    if (s) v = divide_i32(v, s);
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
};
template <>
struct Conv<int16_t> {
  using K = int16_t;
  using A = uint32_t;
  using Sc = int32_t;
  static constexpr int kernel_type = TYP_INT;
  static A prod(int16_t a, K k) { return static_cast<uint32_t>(static_cast<int32_t>(a) * static_cast<int32_t>(k)); }
  static int16_t store(A acc, Sc s) {
    int32_t v = static_cast<int32_t>(acc);
    if (s) v = divide_i32(v, s);
    return static_cast<int16_t>(static_cast<uint16_t>(v));
  }
};
template <>
struct Conv<int32_t> {
  using K = int32_t;
  using A = uint32_t;
  using Sc = int32_t;
  static constexpr int kernel_type = TYP_LONG;
  static A prod(int32_t a, K k) { return static_cast<uint32_t>(a) * static_cast<uint32_t>(k); }
  static int32_t store(A acc, Sc s) {
    int32_t v = static_cast<int32_t>(acc);
    return s ? divide_i32(v, s) : v;
  }
};
template <>
struct Conv<float> {
  using K = float;
  using A = float;
  using Sc = float;
  static constexpr int kernel_type = TYP_FLOAT;
  static A prod(float a, K k) { return a * k; }
  static float store(A acc, Sc s) { return s != 0.0f ? acc / s : acc; }
};
template <>
struct Conv<double> {
  using K = double;
  using A = double;
  using Sc = double;
  static constexpr int kernel_type = TYP_DOUBLE;
  static A prod(double a, K k) { return a * k; }
  static double store(A acc, Sc s) { return s != 0.0 ? acc / s : acc; }
};
template <>
struct Conv<Cf> {
  using K = Cf;
  using A = Cf;
  using Sc = float;
  static constexpr int kernel_type = TYP_COMPLEX;
  static A prod(Cf a, K k) { return Cf{a.r * k.r - a.i * k.i, a.r * k.i + a.i * k.r}; }
  static Cf store(A acc, Sc s) { return s != 0.0f ? Cf{acc.r / s, acc.i / s} : acc; }
};

template <typename A>
inline A acc_add(A x, A y) {
  if constexpr (std::is_same_v<A, Cf>) return Cf{x.r + y.r, x.i + y.i};
  else return x + y;
}

// Everything a kernel pass needs, in elements.
struct ConvPlan {
  int nd;
  uint32_t adims[MAX_DIMS];
  size_t astride[MAX_DIMS];
  uint32_t nk;
  std::vector<ptrdiff_t> offset;    // per kernel element, from the output position
  std::vector<int32_t> disp;        // per kernel element and dimension
  uint32_t lo[MAX_DIMS], hi[MAX_DIMS];  // interior range per dimension
  int edge;                         // 0 zero, 1 truncate, 2 wrap
};

// Interior outputs of one line: len outputs from position p (in source elements), sums
// of products over the kernel in its storage order, a strip of outputs at a time.
constexpr uint32_t kConvStrip = 512;

template <typename T>
[[gnu::always_inline]] inline void conv_segment_body(const T* src, T* dst, size_t p, uint32_t len,
                                                     const ConvPlan& plan, const typename Conv<T>::K* kv,
                                                     typename Conv<T>::Sc scale) {
  using C = Conv<T>;
  typename C::A acc[kConvStrip];
  for (uint32_t j0 = 0; j0 < len; j0 += kConvStrip) {
    const uint32_t l = std::min(kConvStrip, len - j0);
    for (uint32_t j = 0; j < l; j++) acc[j] = typename C::A{};
    for (uint32_t k = 0; k < plan.nk; k++) {
      const T* s = src + p + j0 + plan.offset[k];
      const typename C::K kk = kv[k];
      for (uint32_t j = 0; j < l; j++) acc[j] = acc_add(acc[j], C::prod(s[j], kk));
    }
    T* out = dst + p + j0;
    for (uint32_t j = 0; j < l; j++) out[j] = C::store(acc[j], scale);
  }
}

template <typename T>
T conv_edge_value(const T* src, const uint32_t* coord, const ConvPlan& plan, const typename Conv<T>::K* kv,
                  typename Conv<T>::Sc scale) {
  using C = Conv<T>;
  typename C::A acc{};
  for (uint32_t k = 0; k < plan.nk; k++) {
    size_t idx = 0;
    for (int d = 0; d < plan.nd; d++) {
      int64_t c = static_cast<int64_t>(coord[d]) + plan.disp[k * plan.nd + d];
      const int64_t n = plan.adims[d];
      if (c < 0) c = plan.edge == 1 ? 0 : c + n;
      else if (c >= n) c = plan.edge == 1 ? n - 1 : c - n;
      idx += static_cast<size_t>(c) * plan.astride[d];
    }
    acc = acc_add(acc, C::prod(src[idx], kv[k]));
  }
  return C::store(acc, scale);
}

// Lines r0..r1 along the first dimension (r counts the lines in storage order).
template <typename T>
[[gnu::always_inline]] inline void conv_lines_body(const void* src_v, void* dst_v, const void* kv_v,
                                                   const ConvPlan& plan, const void* scale_v, uint32_t r0,
                                                   uint32_t r1) {
  using C = Conv<T>;
  const T* src = static_cast<const T*>(src_v);
  T* dst = static_cast<T*>(dst_v);
  const auto* kv = static_cast<const typename C::K*>(kv_v);
  const typename C::Sc scale = *static_cast<const typename C::Sc*>(scale_v);
  const uint32_t n0 = plan.adims[0];
  uint32_t coord[MAX_DIMS] = {};
  for (uint32_t r = r0; r < r1; r++) {
    uint32_t rest = r;
    bool interior = true;
    for (int d = 1; d < plan.nd; d++) {
      coord[d] = rest % plan.adims[d];
      rest /= plan.adims[d];
      interior &= coord[d] >= plan.lo[d] && coord[d] < plan.hi[d];
    }
    const size_t base = static_cast<size_t>(r) * n0;
    auto edges = [&](uint32_t x0, uint32_t x1) {
      if (plan.edge == 0) {
        for (uint32_t x = x0; x < x1; x++) dst[base + x] = T{};
        return;
      }
      for (uint32_t x = x0; x < x1; x++) {
        coord[0] = x;
        dst[base + x] = conv_edge_value(src, coord, plan, kv, scale);
      }
    };
    if (!interior) {
      edges(0, n0);
      continue;
    }
    edges(0, plan.lo[0]);
    edges(plan.hi[0], n0);
    conv_segment_body(src, dst, base + plan.lo[0], plan.hi[0] - plan.lo[0], plan, kv, scale);
  }
}

using ConvKernel = void (*)(const void* src, void* dst, const void* kv, const ConvPlan& plan, const void* scale,
                            uint32_t r0, uint32_t r1);

#if VEK_HAVE_SIMD_LEVELS
template <typename T>
VEK_TARGET_AVX512 void conv_lines_avx512(const void* s, void* d, const void* k, const ConvPlan& p, const void* sc,
                                         uint32_t r0, uint32_t r1) {
  conv_lines_body<T>(s, d, k, p, sc, r0, r1);
}
template <typename T>
VEK_TARGET_AVX2 void conv_lines_avx2(const void* s, void* d, const void* k, const ConvPlan& p, const void* sc,
                                     uint32_t r0, uint32_t r1) {
  conv_lines_body<T>(s, d, k, p, sc, r0, r1);
}
#endif
template <typename T>
void conv_lines(const void* s, void* d, const void* k, const ConvPlan& p, const void* sc, uint32_t r0, uint32_t r1) {
#if VEK_HAVE_SIMD_LEVELS
  // Complex products stay with the baseline build, where they are not fused.
  if constexpr (!std::is_same_v<T, Cf>) {
    if (simd_level == SIMD_AVX512) return conv_lines_avx512<T>(s, d, k, p, sc, r0, r1);
    if (simd_level == SIMD_AVX2) return conv_lines_avx2<T>(s, d, k, p, sc, r0, r1);
  }
#endif
  conv_lines_body<T>(s, d, k, p, sc, r0, r1);
}

constexpr ConvKernel kConv[6] = {conv_lines<uint8_t>, conv_lines<int16_t>, conv_lines<int32_t>,
                                 conv_lines<float>,   conv_lines<double>,  conv_lines<Cf>};
constexpr int kConvKernelType[6] = {TYP_LONG, TYP_INT, TYP_LONG, TYP_FLOAT, TYP_DOUBLE, TYP_COMPLEX};

Variable* convol_of(Variable* x, Variable* kernel, Variable* scale_arg, int32_t center, int edge) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (kernel->type == TYP_UNDEF) var_error(M_UNDEFINED, kernel, MSG_LONGJMP);
  if (!kernel->has_desc()) var_error(M_NOT_ARRAY, kernel, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  const ArrayDesc* a = x->arr();
  const ArrayDesc* ka = kernel->arr();
  uint32_t kdims[MAX_DIMS];
  for (int i = 0; i < MAX_DIMS; i++) kdims[i] = 1;
  bool ok;
  if (ka->n_dim == 1) {
    ok = ka->n_elts < a->dims[0];
    kdims[0] = ka->n_elts;
  } else {
    ok = ka->n_dim == a->n_dim;
    for (int i = 0; ok && i < a->n_dim; i++) {
      ok = ka->dims[i] < a->dims[i];
      kdims[i] = ka->dims[i];
    }
  }
  if (!ok) var_error(M_KERNEL_DIMS, kernel, MSG_LONGJMP);
  if (scale_arg && scale_arg->has_desc()) var_error(M_NOT_SCALAR, scale_arg, MSG_LONGJMP);

  const int k = x->type - 1;
  Variable* kconv = kernel;
  if (kernel->type != kConvKernelType[k]) {
    Variable* kv = kernel;
    kconv = basic_type_conversion(1, &kv, kConvKernelType[k]);
  }
  TempGuard kguard;
  if (kconv != kernel) kguard.v = kconv;
  union {
    int32_t l;
    float f;
    double d;
  } scale;
  scale.d = 0;
  if (x->type <= TYP_LONG) scale.l = scale_arg ? long_scalar(scale_arg) : 0;
  else if (x->type == TYP_DOUBLE) scale.d = scale_arg ? double_scalar(scale_arg) : 0.0;
  else scale.f = scale_arg ? static_cast<float>(double_scalar(scale_arg)) : 0.0f;

  ConvPlan plan;
  plan.nd = a->n_dim;
  plan.edge = edge;
  size_t stride = 1;
  for (int d = 0; d < plan.nd; d++) {
    plan.adims[d] = a->dims[d];
    plan.astride[d] = stride;
    stride *= a->dims[d];
    if (center) {
      plan.lo[d] = kdims[d] / 2;
      plan.hi[d] = a->dims[d] - (kdims[d] - 1) / 2;
    } else {
      plan.lo[d] = kdims[d] - 1;
      plan.hi[d] = a->dims[d];
    }
  }
  plan.nk = ka->n_elts;
  plan.offset.resize(plan.nk);
  plan.disp.resize(static_cast<size_t>(plan.nk) * plan.nd);
  for (uint32_t e = 0; e < plan.nk; e++) {
    uint32_t rest = e;
    ptrdiff_t off = 0;
    for (int d = 0; d < plan.nd; d++) {
      const int32_t c = static_cast<int32_t>(rest % kdims[d]);
      rest /= kdims[d];
      const int32_t disp = center ? c - static_cast<int32_t>(kdims[d] / 2) : -c;
      plan.disp[e * plan.nd + d] = disp;
      off += static_cast<ptrdiff_t>(disp) * static_cast<ptrdiff_t>(plan.astride[d]);
    }
    plan.offset[e] = off;
  }

  Variable* t = array_like(x);
  const void* src = a->data;
  void* dst = t->arr()->data;
  const void* kvals = kconv->data_ptr();
  const uint32_t n_lines = a->n_elts / a->dims[0];
  ConvKernel kern = kConv[k];
  split_rows(0, n_lines, a->n_elts, [&](uint32_t r0, uint32_t r1) { kern(src, dst, kvals, plan, &scale, r0, r1); });
  return t;
}

// ---- MEDIAN -----------------------------------------------------------------------------
//
// The filter selects the window element of the wanted rank with a selection network:
// Batcher's odd-even merge sort on the window padded to a power of two, with the
// comparisons that only move padding (known to be the largest values) resolved when
// the network is built, and those that cannot reach the output dropped. The same
// network runs on vectors of neighbouring output positions, whose windows are
// neighbouring loads. Byte data take the lower of two middle values, floating data
// the upper (ranks (N - 1) / 2 and N / 2).

struct NetOp {
  uint16_t a, b;  // after the op a holds the smaller and b the larger value
  uint8_t kind;   // 0 both, 1 only a is needed, 2 only b
};

struct Network {
  std::vector<NetOp> ops;
  uint32_t out;
};

Network build_selection(uint32_t n, uint32_t rank) {
  uint32_t p2 = 1;
  while (p2 < n) p2 <<= 1;
  // slot[w]: the value slot carried by wire w, or -1 for padding.
  std::vector<int32_t> slot(p2);
  for (uint32_t i = 0; i < p2; i++) slot[i] = i < n ? static_cast<int32_t>(i) : -1;
  std::vector<NetOp> ops;
  for (uint32_t p = 1; p < p2; p <<= 1)
    for (uint32_t k = p; k >= 1; k >>= 1)
      for (uint32_t j = k % p; j + k < p2; j += 2 * k)
        for (uint32_t i = 0; i < k && i + j + k < p2; i++) {
          const uint32_t lo = i + j, hi = i + j + k;
          if (lo / (2 * p) != hi / (2 * p)) continue;
          if (slot[hi] < 0) continue;  // the larger side already holds padding
          if (slot[lo] < 0) {
            std::swap(slot[lo], slot[hi]);  // padding moves up, the value down
            continue;
          }
          ops.push_back(NetOp{static_cast<uint16_t>(slot[lo]), static_cast<uint16_t>(slot[hi]), 0});
        }
  Network net;
  net.out = static_cast<uint32_t>(slot[rank]);
  std::vector<bool> needed(n, false);
  needed[net.out] = true;
  std::vector<NetOp> kept;
  for (size_t i = ops.size(); i-- > 0;) {
    NetOp op = ops[i];
    const bool na = needed[op.a], nb = needed[op.b];
    if (!na && !nb) continue;
    op.kind = na && nb ? 0 : na ? 1 : 2;
    needed[op.a] = needed[op.b] = true;
    kept.push_back(op);
  }
  net.ops.assign(kept.rbegin(), kept.rend());
  return net;
}

template <typename V>
[[gnu::always_inline]] inline void run_network(const Network& net, V* v) {
  for (const NetOp& op : net.ops) {
    const V x = v[op.a], y = v[op.b];
    if (op.kind != 2) v[op.a] = x < y ? x : y;
    if (op.kind != 1) v[op.b] = x < y ? y : x;
  }
}

template <typename T, int kBytes>
using VecN [[gnu::vector_size(kBytes)]] = T;

// Windows larger than this are selected by partial sorting instead.
constexpr uint32_t kNetworkLimit = 512;

// NaN orders after every number, so that partial sorting has a strict weak order.
template <typename T>
inline bool total_less(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return a < b || (std::isnan(b) && !std::isnan(a));
  else return a < b;
}

struct MedianJob {
  const void* src;
  void* dst;
  uint32_t nx;
  uint32_t w;
  bool two_d;
  uint32_t rank;
  const Network* net;  // null: partial sorting
};

// Output rows r0..r1 (for a vector, row 0 only), interior positions only.
template <typename T, int kBytes>
[[gnu::always_inline]] inline void median_rows_body(const MedianJob& job, uint32_t r0, uint32_t r1) {
  using V = VecN<T, kBytes>;
  constexpr uint32_t kLanes = kBytes / sizeof(T);
  const T* src = static_cast<const T*>(job.src);
  T* dst = static_cast<T*>(job.dst);
  const uint32_t nx = job.nx, w = job.w, h = w / 2;
  const uint32_t wy = job.two_d ? w : 1;
  const uint32_t n = w * wy;
  const uint32_t x_end = nx - h;  // interior positions are h .. x_end - 1
  // Vectors live in a byte buffer aligned by hand: a vector type as a template argument
  // would lose its vector attribute, and its alignment with it.
  std::vector<uint8_t> raw(job.net ? (n + 1) * sizeof(V) : 0);
  V* vbuf = job.net ? reinterpret_cast<V*>((reinterpret_cast<uintptr_t>(raw.data()) + sizeof(V) - 1) &
                                           ~(uintptr_t{sizeof(V)} - 1))
                    : nullptr;
  std::vector<T> sbuf(n);
  for (uint32_t r = r0; r < r1; r++) {
    const T* top = src + static_cast<size_t>(r - (job.two_d ? h : 0)) * nx;
    T* out = dst + static_cast<size_t>(r) * nx;
    uint32_t x = h;
    if (job.net && x_end - h >= kLanes) {
      for (;;) {
        for (uint32_t dy = 0; dy < wy; dy++)
          for (uint32_t dx = 0; dx < w; dx++)
            memcpy(&vbuf[dy * w + dx], top + static_cast<size_t>(dy) * nx + x - h + dx, sizeof(V));
        run_network(*job.net, vbuf);
        memcpy(out + x, &vbuf[job.net->out], sizeof(V));
        if (x + kLanes >= x_end) break;
        // The last group overlaps the one before rather than running past the row.
        x = std::min(x + kLanes, x_end - kLanes);
      }
      continue;
    }
    for (; x < x_end; x++) {
      for (uint32_t dy = 0; dy < wy; dy++)
        memcpy(&sbuf[dy * w], top + static_cast<size_t>(dy) * nx + x - h, w * sizeof(T));
      if (job.net) {
        run_network(*job.net, sbuf.data());
        out[x] = sbuf[job.net->out];
      } else {
        std::nth_element(sbuf.begin(), sbuf.begin() + job.rank, sbuf.end(), total_less<T>);
        out[x] = sbuf[job.rank];
      }
    }
  }
}

using MedianRows = void (*)(const MedianJob& job, uint32_t r0, uint32_t r1);
#if VEK_HAVE_SIMD_LEVELS
template <typename T>
VEK_TARGET_AVX512 void median_rows_avx512(const MedianJob& job, uint32_t r0, uint32_t r1) {
  median_rows_body<T, 64>(job, r0, r1);
}
template <typename T>
VEK_TARGET_AVX2 void median_rows_avx2(const MedianJob& job, uint32_t r0, uint32_t r1) {
  median_rows_body<T, 32>(job, r0, r1);
}
#endif
template <typename T>
void median_rows(const MedianJob& job, uint32_t r0, uint32_t r1) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return median_rows_avx512<T>(job, r0, r1);
  if (simd_level == SIMD_AVX2) return median_rows_avx2<T>(job, r0, r1);
#endif
  median_rows_body<T, 16>(job, r0, r1);
}

Variable* median_all(Variable* x) {
  Variable* xv = x;
  Variable* f = basic_type_conversion(1, &xv, TYP_FLOAT);
  TempGuard g;
  if (f != x) g.v = f;
  const uint32_t n = f->n_elts();
  float* data = static_cast<float*>(f->data_ptr());
  std::vector<float> copy;
  if (!f->is_temp()) {
    copy.assign(data, data + n);
    data = copy.data();
  }
  std::nth_element(data, data + n / 2, data + n, total_less<float>);
  return make_float_temp(data[n / 2]);
}

Variable* median_filter(Variable* x, Variable* width) {
  const ArrayDesc* a = x->arr();
  if (a->n_dim > 2) var_error(M_ONE_OR_TWO_DIMS, x, MSG_LONGJMP);
  const int32_t w = long_scalar(width);
  bool fits = w >= 2;
  for (int i = 0; fits && i < a->n_dim; i++) fits = a->dims[i] >= static_cast<uint32_t>(w);
  if (!fits) var_error(M_MEDIAN_WIDTH, width, MSG_LONGJMP);
  const int work_type = x->type == TYP_BYTE ? TYP_BYTE : TYP_FLOAT;
  Variable* xv = x;
  Variable* in = basic_type_conversion(1, &xv, work_type);
  TempGuard g;
  if (in != x) g.v = in;
  Variable* t = array_like(in);
  const uint32_t uw = static_cast<uint32_t>(w), h = uw / 2;
  const bool two_d = a->n_dim == 2;
  const uint32_t nx = a->dims[0], ny = two_d ? a->dims[1] : 1;
  const size_t es = static_cast<size_t>(type_size[work_type]);
  const uint8_t* src = in->arr()->data;
  uint8_t* dst = t->arr()->data;
  // Borders keep their input values.
  if (two_d) {
    memcpy(dst, src, h * nx * es);
    memcpy(dst + (ny - h) * nx * es, src + (ny - h) * nx * es, h * nx * es);
  }
  for (uint32_t r = two_d ? h : 0; r < (two_d ? ny - h : 1); r++) {
    memcpy(dst + r * nx * es, src + r * nx * es, h * es);
    memcpy(dst + (r * nx + nx - h) * es, src + (r * nx + nx - h) * es, h * es);
  }
  const uint32_t n = two_d ? uw * uw : uw;
  const uint32_t rank = work_type == TYP_BYTE ? (n - 1) / 2 : n / 2;
  Network net;
  if (n <= kNetworkLimit) net = build_selection(n, rank);
  MedianJob job{src, dst, nx, uw, two_d, rank, n <= kNetworkLimit ? &net : nullptr};
  MedianRows rows = work_type == TYP_BYTE ? median_rows<uint8_t> : median_rows<float>;
  if (two_d) split_rows(h, ny - h, a->n_elts, [&](uint32_t r0, uint32_t r1) { rows(job, r0, r1); });
  else rows(job, 0, 1);
  return t;
}

Variable* median_of(Variable* x, Variable* width) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  return width ? median_filter(x, width) : median_all(x);
}

// ---- Built-ins --------------------------------------------------------------------------

int32_t convol_center;
uint32_t convol_edge;
const KwEntry kConvolKeywords[] = {
    {"CENTER", TYP_LONG, 1, 0, nullptr, &convol_center},
    {"EDGE_TRUNCATE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &convol_edge},
    {"EDGE_WRAP", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 2, nullptr, &convol_edge},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

Variable* ur_smooth(int, Variable* argv[], KwNames) { return smooth_of(argv[0], argv[1]); }

Variable* ur_convol(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n = argc;
  convol_center = 1;
  convol_edge = 0;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kConvolKeywords, pos, 1);
  } else {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
  }
  if (n < 2) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  // The keywords are decoded in name order, so EDGE_WRAP wins when both are given.
  const int edge = convol_edge & 2 ? 2 : convol_edge & 1 ? 1 : 0;
  return convol_of(pos[0], pos[1], n > 2 ? pos[2] : nullptr, convol_center, edge);
}

Variable* ur_median(int argc, Variable* argv[], KwNames) { return median_of(argv[0], argc > 1 ? argv[1] : nullptr); }

const RoutineEntry filter_functions[] = {
    {ur_convol, "CONVOL", 2, 3, true},
    {ur_median, "MEDIAN", 1, 2},
    {ur_smooth, "SMOOTH", 2, 2},
};
const int n_filter_functions = sizeof filter_functions / sizeof filter_functions[0];
