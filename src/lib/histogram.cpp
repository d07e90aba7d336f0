#include "lib/histogram.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "base/message.h"
#include "base/workers.h"
#include "lib/reductions.h"
#include "values/convert.h"
#include "values/simd.h"
#include "values/temps.h"

namespace {

// Keyword values of one call, shared by HISTOGRAM and BYTSCL.
struct HistKw {
  double binsize = 1.0;
  bool min_given = false, max_given = false;
  double min = 0, max = 0;
  Variable* input = nullptr;
  Variable* omin = nullptr;
  Variable* omax = nullptr;
  Variable* reverse = nullptr;
  int32_t top = 255;
};

// A double converted to type T by the system's conversion rules.
template <typename T>
T as_type(double v, int type) {
  T out{};
  convert(&v, &out, 1, TYP_DOUBLE, type);
  return out;
}

// ---- HISTOGRAM --------------------------------------------------------------------------
//
// Per type, a Bins record maps a value to its bin (or -1 when it is not counted). The
// counting pass and the reverse-index pass use the same mapping.

template <typename T>
struct IntBins {
  int64_t min, range, size;
  int64_t operator()(T v) const {
    const int64_t d = static_cast<int64_t>(v) - min;
    if (static_cast<uint64_t>(d) > static_cast<uint64_t>(range)) return -1;
    return size == 1 ? d : d / size;
  }
};

template <typename T>
struct FloatBins {
  T min, range, size;
  int64_t last;  // the last bin, a guard against rounding
  int64_t operator()(T v) const {
    const T d = v - min;
    if (!(d >= 0 && d <= range)) return -1;
    const int64_t b = static_cast<int64_t>(size == 1 ? d : d / size);
    return b > last ? last : b;
  }
};

struct ByteBins {
  int min, max, size;
  int64_t operator()(uint8_t v) const { return v < min || v > max ? -1 : (v - min) / size; }
};

// Counts are added to bins. With a bin size of 1 and few bins, four partial histograms
// take alternate elements, so that runs of equal values do not wait on one counter.
template <typename T, typename B>
void count_into(const T* x, uint32_t n, const B& bins, int32_t* out, int64_t n_bins, bool unit_bins) {
  if (unit_bins && n_bins <= 65536 && n >= 4 * static_cast<uint64_t>(n_bins)) {
    std::vector<uint32_t> part(4 * static_cast<size_t>(n_bins), 0);
    uint32_t* p0 = part.data();
    uint32_t* p1 = p0 + n_bins;
    uint32_t* p2 = p1 + n_bins;
    uint32_t* p3 = p2 + n_bins;
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const int64_t b0 = bins(x[i]), b1 = bins(x[i + 1]), b2 = bins(x[i + 2]), b3 = bins(x[i + 3]);
      if (b0 >= 0) p0[b0]++;
      if (b1 >= 0) p1[b1]++;
      if (b2 >= 0) p2[b2]++;
      if (b3 >= 0) p3[b3]++;
    }
    for (; i < n; i++)
      if (const int64_t b = bins(x[i]); b >= 0) p0[b]++;
    for (int64_t b = 0; b < n_bins; b++)
      out[b] = static_cast<int32_t>(static_cast<uint32_t>(out[b]) + p0[b] + p1[b] + p2[b] + p3[b]);
    return;
  }
  for (uint32_t i = 0; i < n; i++)
    if (const int64_t b = bins(x[i]); b >= 0) out[b] = static_cast<int32_t>(static_cast<uint32_t>(out[b]) + 1);
}

// The reverse-index vector: offsets of each bin's subscripts, then the subscripts.
template <typename T, typename B>
Variable* reverse_indices(const T* x, uint32_t n, const B& bins, const int32_t* counts, int64_t n_bins) {
  int64_t total = 0;
  for (int64_t b = 0; b < n_bins; b++) total += counts[b];
  const int64_t len = n_bins + 1 + total;
  if (len > INT32_MAX) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  int32_t dim = static_cast<int32_t>(len);
  Variable* t = make_temp_array_of(TYP_LONG, 1, &dim);
  int32_t* r = static_cast<int32_t*>(t->data_ptr());
  int64_t at = n_bins + 1;
  for (int64_t b = 0; b <= n_bins; b++) {
    r[b] = static_cast<int32_t>(at);
    if (b < n_bins) at += counts[b];
  }
  std::vector<int32_t> next(r, r + n_bins);
  for (uint32_t i = 0; i < n; i++)
    if (const int64_t b = bins(x[i]); b >= 0) r[next[b]++] = static_cast<int32_t>(i);
  return t;
}

// The counts vector: a new zeroed LONG vector, or the INPUT array (its LONG conversion
// when it has another type), which must hold at least `need` elements.
struct Counts {
  Variable* var;
  int32_t* data;
};

Counts counts_for(Variable* input, int64_t need) {
  if (need > INT32_MAX) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  if (!input) {
    int32_t d = static_cast<int32_t>(need);
    Variable* t = make_temp_array_of(TYP_LONG, 1, &d);
    memset(t->data_ptr(), 0, static_cast<size_t>(need) * 4);
    return {t, static_cast<int32_t*>(t->data_ptr())};
  }
  Variable* c = input;
  if (input->type != TYP_LONG) {
    Variable* in = input;
    c = basic_type_conversion(1, &in, TYP_LONG);
  }
  if (c->n_elts() < need) {
    if (c != input) deltmp(c);
    var_error(M_NOT_ENOUGH_ELEMENTS, input, MSG_LONGJMP);
  }
  return {c, static_cast<int32_t*>(c->data_ptr())};
}

template <typename T>
void store_range(const HistKw& kw, int type, T mn, T mx) {
  if (kw.omin) store_scalar(kw.omin, type, &mn);
  if (kw.omax) store_scalar(kw.omax, type, &mx);
}

// Defaults from the data for whichever of MIN and MAX is missing.
template <typename T>
void data_range(Variable* x, const HistKw& kw, T* mn, T* mx) {
  if (!kw.min_given || !kw.max_given) {
    void *lo, *hi, *base;
    min_max(x, &lo, &hi, &base);
    if (!kw.min_given) *mn = *static_cast<T*>(lo);
    if (!kw.max_given) *mx = *static_cast<T*>(hi);
  }
  if (kw.min_given) *mn = as_type<T>(kw.min, x->type);
  if (kw.max_given) *mx = as_type<T>(kw.max, x->type);
}

template <typename T, typename B>
Variable* finish(Variable* x, const HistKw& kw, const B& bins, Counts c, int64_t n_bins, T mn, T mx) {
  TempGuard g;
  if (c.var->is_temp()) g.v = c.var;
  const T* data = static_cast<const T*>(x->data_ptr());
  if (kw.reverse) {
    Variable* r = reverse_indices(data, x->n_elts(), bins, c.data, n_bins);
    var_copy(r, kw.reverse);
  }
  store_range(kw, x->type, mn, mx);
  g.release();
  return c.var;
}

template <typename T>
Variable* histogram_int(Variable* x, const HistKw& kw) {
  T mn{}, mx{};
  data_range(x, kw, &mn, &mx);
  const T bs = as_type<T>(kw.binsize, x->type);
  const int64_t range = static_cast<int64_t>(mx) - mn;
  if (bs <= 0 || range <= 0) message(M_BINSIZE, 0, MSG_LONGJMP);
  const int64_t n_bins = range / bs + 1;
  Counts c = counts_for(kw.input, n_bins);
  const IntBins<T> bins{mn, range, bs};
  count_into(static_cast<const T*>(x->data_ptr()), x->n_elts(), bins, c.data, n_bins, bs == 1);
  return finish(x, kw, bins, c, n_bins, mn, mx);
}

template <typename T>
Variable* histogram_float(Variable* x, const HistKw& kw) {
  T mn{}, mx{};
  data_range(x, kw, &mn, &mx);
  const T bs = as_type<T>(kw.binsize, x->type);
  const T range = mx - mn;
  if (!(bs > 0) || !(range > 0)) message(M_BINSIZE, 0, MSG_LONGJMP);
  const T q = std::trunc(range / bs);
  if (!(q < static_cast<T>(INT32_MAX))) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  const int64_t n_bins = static_cast<int64_t>(q) + 1;
  Counts c = counts_for(kw.input, n_bins);
  const FloatBins<T> bins{mn, range, bs, n_bins - 1};
  count_into(static_cast<const T*>(x->data_ptr()), x->n_elts(), bins, c.data, n_bins, false);
  return finish(x, kw, bins, c, n_bins, mn, mx);
}

// Gives a LONG array the first n elements of its data as its whole shape.
void shrink_to(Variable* v, uint32_t n) {
  ArrayDesc* a = v->arr();
  a->n_dim = 1;
  for (int i = 0; i < MAX_DIMS; i++) a->dims[i] = i == 0 ? n : 1;
  a->n_elts = n;
  a->byte_len = n * 4;
  // The guard word follows the data.
  const uint32_t guard = ARRAY_GUARD;
  memcpy(a->data + ((a->byte_len + 3) & ~3u), &guard, 4);
}

Variable* histogram_byte(Variable* x, const HistKw& kw) {
  uint8_t mn = 0, mx = 255;
  if (kw.min_given) mn = as_type<uint8_t>(kw.min, TYP_BYTE);
  if (kw.max_given) mx = as_type<uint8_t>(kw.max, TYP_BYTE);
  const uint8_t bs = as_type<uint8_t>(kw.binsize, TYP_BYTE);
  if (bs == 0 || mn >= mx) message(M_BINSIZE, 0, MSG_LONGJMP);
  Counts c = counts_for(kw.input, 256);
  const uint8_t* data = static_cast<const uint8_t*>(x->data_ptr());
  const uint32_t n = x->n_elts();
  uint32_t all[4][256] = {};
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    all[0][data[i]]++;
    all[1][data[i + 1]]++;
    all[2][data[i + 2]]++;
    all[3][data[i + 3]]++;
  }
  for (; i < n; i++) all[0][data[i]]++;
  for (int v = 0; v < 256; v++)
    c.data[v] = static_cast<int32_t>(static_cast<uint32_t>(c.data[v]) + all[0][v] + all[1][v] + all[2][v] + all[3][v]);
  const int n_bins = (mx - mn) / bs + 1;
  for (int b = 0; b < n_bins; b++) {
    uint32_t sum = 0;
    for (int v = mn + b * bs; v < mn + (b + 1) * bs && v <= mx; v++) sum += static_cast<uint32_t>(c.data[v]);
    c.data[b] = static_cast<int32_t>(sum);
  }
  shrink_to(c.var, static_cast<uint32_t>(n_bins));
  return finish(x, kw, ByteBins{mn, mx, bs}, c, n_bins, mn, mx);
}

using HistFn = Variable* (*)(Variable* x, const HistKw& kw);
constexpr HistFn kHistogram[N_TYPES] = {nullptr,
                                        histogram_byte,
                                        histogram_int<int16_t>,
                                        histogram_int<int32_t>,
                                        histogram_float<float>,
                                        histogram_float<double>,
                                        nullptr,
                                        nullptr,
                                        nullptr};

Variable* histogram_of(Variable* x, const HistKw& kw) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  if (x->type == TYP_COMPLEX) var_error(M_NO_COMPLEX, x, MSG_LONGJMP);
  if (kw.input && kw.reverse) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
  if (kw.input) {
    if (kw.input->type == TYP_UNDEF) var_error(M_UNDEFINED, kw.input, MSG_LONGJMP);
    if (!kw.input->is_array()) var_error(M_NOT_ARRAY, kw.input, MSG_LONGJMP);
  }
  return kHistogram[x->type](x, kw);
}

// ---- BYTSCL -----------------------------------------------------------------------------
//
// Each element: d = value - min; below 0 gives 0, at or above the range gives TOP,
// otherwise the scaled value of its type. Integer differences are 32-bit.

template <typename T>
using Diff = std::conditional_t<std::is_integral_v<T>, int32_t, T>;

inline int32_t sub32(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }

// Large floating arrays are scaled by two threads, each taking half the elements.
constexpr uint32_t kThreadedElements = 1u << 20;

template <typename F>
void split_elements(uint32_t n, F&& work) {
  if (n < kThreadedElements || worker_threads() < 2) {
    work(0u, n);
    return;
  }
  split_work(0u, n / 2, n, work);
}

template <typename T, int kLane>
[[gnu::always_inline]] inline void scale_float_body(const T* x, uint8_t* out, uint32_t i0, uint32_t i1, T mn,
                                                    T range, T scale, int32_t top) {
  for (uint32_t i = i0; i < i1; i++) {
    const T d = x[static_cast<size_t>(i) * kLane] - mn;
    const int32_t v = d >= range ? top : static_cast<int32_t>(d >= 0 ? d * scale : T(0));
    out[i] = static_cast<uint8_t>(d >= 0 ? v : 0);
  }
}
#if VEK_HAVE_SIMD_LEVELS
template <typename T, int kLane>
VEK_TARGET_AVX512 void scale_float_avx512(const T* x, uint8_t* out, uint32_t i0, uint32_t i1, T mn, T range, T scale,
                                          int32_t top) {
  scale_float_body<T, kLane>(x, out, i0, i1, mn, range, scale, top);
}
template <typename T, int kLane>
VEK_TARGET_AVX2 void scale_float_avx2(const T* x, uint8_t* out, uint32_t i0, uint32_t i1, T mn, T range, T scale,
                                      int32_t top) {
  scale_float_body<T, kLane>(x, out, i0, i1, mn, range, scale, top);
}
#endif
template <typename T, int kLane>
void scale_float(const T* x, uint8_t* out, uint32_t i0, uint32_t i1, T mn, T range, T scale, int32_t top) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return scale_float_avx512<T, kLane>(x, out, i0, i1, mn, range, scale, top);
  if (simd_level == SIMD_AVX2) return scale_float_avx2<T, kLane>(x, out, i0, i1, mn, range, scale, top);
#endif
  scale_float_body<T, kLane>(x, out, i0, i1, mn, range, scale, top);
}

// Element kernels by type; `out` may be the operand's own byte data.
template <typename T>
void bytscl_kernel(const void* data, uint8_t* out, uint32_t n, T mn, T mx, int32_t top) {
  const T* x = static_cast<const T*>(data);
  if constexpr (std::is_floating_point_v<T>) {
    const T range = mx - mn;
    if (range == 0) {
      memset(out, 0, n);
      return;
    }
    const T scale = static_cast<T>(top) / range;
    split_elements(n, [&](uint32_t i0, uint32_t i1) { scale_float<T, 1>(x, out, i0, i1, mn, range, scale, top); });
  } else {
    const int32_t lo = mn, range = sub32(mx, mn);
    if (range == 0) {
      memset(out, 0, n);
      return;
    }
    auto limits = [&](int32_t d, auto scaled) -> uint8_t {
      if (d < 0) return 0;
      if (d >= range) return static_cast<uint8_t>(top);
      return static_cast<uint8_t>(scaled(d));
    };
    if constexpr (std::is_same_v<T, uint8_t>) {
      uint8_t table[256];
      for (int b = 0; b < 256; b++) table[b] = limits(b - lo, [&](int32_t d) { return top * d / range; });
      for (uint32_t i = 0; i < n; i++) out[i] = table[x[i]];
    } else if constexpr (std::is_same_v<T, int16_t>) {
      int32_t m = top * 256 / range;
      int shift = 8;
      if (m < 5) {
        m = top * 65536 / range;
        shift = 16;
      }
      for (uint32_t i = 0; i < n; i++)
        out[i] = limits(x[i] - lo, [&](int32_t d) { return (d * m) >> shift; });
    } else if (range < (1 << 23)) {
      uint32_t m = static_cast<uint32_t>(top / range);
      int k = 0;
      while (m < static_cast<uint32_t>(top) && k < 24) {
        k++;
        m = static_cast<uint32_t>((int64_t{1} << k) * top / range);
      }
      for (uint32_t i = 0; i < n; i++)
        out[i] = limits(sub32(x[i], lo), [&](int32_t d) { return (static_cast<uint32_t>(d) * m) >> k; });
    } else {
      int32_t div = range / 256;
      if (range / div >= 256) div++;
      for (uint32_t i = 0; i < n; i++) out[i] = limits(sub32(x[i], lo), [&](int32_t d) { return d / div; });
    }
  }
}

// Complex elements scale by their real parts.
void bytscl_complex(const void* data, uint8_t* out, uint32_t n, float mn, float mx, int32_t top) {
  const float range = mx - mn;
  if (range == 0) {
    memset(out, 0, n);
    return;
  }
  const float scale = static_cast<float>(top) / range;
  const float* x = static_cast<const float*>(data);
  split_elements(n, [&](uint32_t i0, uint32_t i1) { scale_float<float, 2>(x, out, i0, i1, mn, range, scale, top); });
}

using BytsclFn = void (*)(Variable* x, uint8_t* out, const HistKw& kw);

template <typename T>
void bytscl_typed(Variable* x, uint8_t* out, const HistKw& kw) {
  const int type = x->type;
  // The real part of a complex extreme.
  using E = std::conditional_t<std::is_same_v<T, Complex>, float, T>;
  E mn{}, mx{};
  if (!kw.min_given || !kw.max_given) {
    void *lo, *hi, *base;
    min_max(x, &lo, &hi, &base);
    mn = *static_cast<E*>(lo);
    mx = *static_cast<E*>(hi);
  }
  if constexpr (std::is_same_v<T, Complex>) {
    if (kw.min_given) mn = static_cast<float>(as_type<Complex>(kw.min, type).r);
    if (kw.max_given) mx = static_cast<float>(as_type<Complex>(kw.max, type).r);
    bytscl_complex(x->data_ptr(), out, x->n_elts(), mn, mx, kw.top);
  } else {
    if (kw.min_given) mn = as_type<T>(kw.min, type);
    if (kw.max_given) mx = as_type<T>(kw.max, type);
    bytscl_kernel<T>(x->data_ptr(), out, x->n_elts(), mn, mx, kw.top);
  }
}

constexpr BytsclFn kBytscl[N_TYPES] = {nullptr,
                                       bytscl_typed<uint8_t>,
                                       bytscl_typed<int16_t>,
                                       bytscl_typed<int32_t>,
                                       bytscl_typed<float>,
                                       bytscl_typed<double>,
                                       bytscl_typed<Complex>,
                                       nullptr,
                                       nullptr};

Variable* bytscl_of(Variable* x, HistKw& kw) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  if (kw.top > 255) kw.top = 255;
  if (kw.top < 0) kw.top = 0;
  Variable* t = x;
  if (!(x->type == TYP_BYTE && x->is_temp())) {
    t = gettmp();
    t->type = TYP_BYTE;
    make_array_like(x->arr(), t, 1);
  }
  kBytscl[x->type](x, t->arr()->data, kw);
  return t;
}

// ---- Built-ins --------------------------------------------------------------------------

constexpr uint8_t kHistMask = 1, kBytsclMask = 2, kBoth = kHistMask | kBytsclMask;
double kw_binsize;
int32_t kw_min_given, kw_max_given, kw_input_given, kw_omin_given, kw_omax_given, kw_reverse_given;
double kw_min, kw_max;
Variable *kw_input, *kw_omin, *kw_omax, *kw_reverse;
int32_t kw_top;
const KwEntry kHistKeywords[] = {
    {"BINSIZE", TYP_DOUBLE, kBoth, 0, nullptr, &kw_binsize},
    {"INPUT", 0, kBoth, KW_OUTPUT, &kw_input_given, &kw_input},
    {"MAX", TYP_DOUBLE, kBoth, 0, &kw_max_given, &kw_max},
    {"MIN", TYP_DOUBLE, kBoth, 0, &kw_min_given, &kw_min},
    {"OMAX", 0, kBoth, KW_OUTPUT, &kw_omax_given, &kw_omax},
    {"OMIN", 0, kBoth, KW_OUTPUT, &kw_omin_given, &kw_omin},
    {"REVERSE_INDICES", 0, kBoth, KW_OUTPUT, &kw_reverse_given, &kw_reverse},
    {"TOP", TYP_LONG, kBoth, 0, nullptr, &kw_top},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

Variable* named_output(int32_t given, Variable* v) {
  if (!given) return nullptr;
  if (v->flags & FLAG_UNNAMED) var_error(M_NOT_NAMED, v, MSG_LONGJMP);
  return v;
}

// Decodes the shared keywords into kw; returns the positional count.
int decode(int argc, Variable* argv[], KwNames argk, Variable* pos[], uint8_t mask, HistKw& kw) {
  kw_binsize = 1.0;
  kw_top = 255;
  int n = argc;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kHistKeywords, pos, mask);
  } else {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
    kw_min_given = kw_max_given = kw_input_given = kw_omin_given = kw_omax_given = kw_reverse_given = 0;
  }
  kw.binsize = kw_binsize;
  kw.top = kw_top;
  kw.min_given = kw_min_given;
  kw.max_given = kw_max_given;
  kw.min = kw_min;
  kw.max = kw_max;
  kw.input = kw_input_given ? kw_input : nullptr;
  kw.omin = named_output(kw_omin_given, kw_omin);
  kw.omax = named_output(kw_omax_given, kw_omax);
  kw.reverse = named_output(kw_reverse_given, kw_reverse);
  return n;
}

}  // namespace

Variable* ur_histogram(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1];
  HistKw kw;
  decode(argc, argv, argk, pos, kHistMask, kw);
  return histogram_of(pos[0], kw);
}

Variable* ur_bytscl(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3];
  HistKw kw;
  const int n = decode(argc, argv, argk, pos, kBytsclMask, kw);
  if (n > 1) {
    kw.min_given = true;
    kw.min = double_scalar(pos[1]);
  }
  if (n > 2) {
    kw.max_given = true;
    kw.max = double_scalar(pos[2]);
  }
  return bytscl_of(pos[0], kw);
}

const RoutineEntry histogram_functions[] = {
    {ur_bytscl, "BYTSCL", 1, 3, true},
    {ur_histogram, "HISTOGRAM", 1, 1, true},
};
const int n_histogram_functions = sizeof histogram_functions / sizeof histogram_functions[0];
