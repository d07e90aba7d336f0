#include "lib/reshape.h"

#include <algorithm>
#include <cstring>

#include "base/message.h"
#include "base/workers.h"
#include "values/convert.h"
#include "values/simd.h"
#include "values/strings.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

// Elements are moved as opaque blocks of their size.
template <size_t N>
struct Block {
  uint8_t b[N];
};

// ---- ROTATE and TRANSPOSE ---------------------------------------------------------------
//
// Reorder code bits: 4 exchanges x and y, 2 reverses x, 1 reverses y.
constexpr int kTranspose = 4, kReverseX = 2, kReverseY = 1;
constexpr int kRotateCode[8] = {0, 5, 3, 6, 4, 2, 7, 1};

// Working set of one tile (source and destination) and the shortest tile row or column
// worth halving further.
constexpr double kTileBytes = 524288;
constexpr double kTileEdgeBytes = 8183;
// Square blocks inside a tile, small enough that the source lines of one block stay in
// the first-level cache while the destination is written.
constexpr uint32_t kBlock = 16;

// Destination of source element (x, y) is base + x * sx + y * sy.
struct Placement {
  int64_t base, sx, sy;
};

Placement placement(int code, uint32_t nx, uint32_t ny) {
  const int64_t ux = code & kTranspose ? ny : 1;  // step of x' in the destination
  const int64_t uy = code & kTranspose ? 1 : nx;  // step of y'
  Placement p{0, ux, uy};
  if (code & kReverseX) {
    p.base += (nx - 1) * ux;
    p.sx = -ux;
  }
  if (code & kReverseY) {
    p.base += (ny - 1) * uy;
    p.sy = -uy;
  }
  return p;
}

// Copies source rows y0..y1 (all columns), tile by tile, block by block.
template <typename E>
void reorder_rows(const void* src_v, void* dst_v, uint32_t nx, uint32_t y0, uint32_t y1, uint32_t tw, uint32_t th,
                  Placement p) {
  const E* src = static_cast<const E*>(src_v);
  E* dst = static_cast<E*>(dst_v);
  const bool rows_contiguous = p.sx == 1 || p.sx == -1;
  for (uint32_t ty = y0; ty < y1; ty += th) {
    const uint32_t ty1 = std::min(y1, ty + th);
    for (uint32_t tx = 0; tx < nx; tx += tw) {
      const uint32_t tx1 = std::min(nx, tx + tw);
      if (rows_contiguous) {
        for (uint32_t y = ty; y < ty1; y++) {
          const E* s = src + static_cast<size_t>(y) * nx;
          E* d = dst + p.base + y * p.sy;
          if (p.sx == 1) {
            memcpy(d + tx, s + tx, (tx1 - tx) * sizeof(E));
          } else {
            for (uint32_t x = tx; x < tx1; x++) d[-static_cast<int64_t>(x)] = s[x];
          }
        }
        continue;
      }
      for (uint32_t by = ty; by < ty1; by += kBlock) {
        const uint32_t by1 = std::min(ty1, by + kBlock);
        for (uint32_t bx = tx; bx < tx1; bx += kBlock) {
          const uint32_t bx1 = std::min(tx1, bx + kBlock);
          for (uint32_t x = bx; x < bx1; x++) {
            E* d = dst + p.base + x * p.sx;
            const E* s = src + x;
            if (p.sy == 1) {
              for (uint32_t y = by; y < by1; y++) d[y] = s[static_cast<size_t>(y) * nx];
            } else {
              for (uint32_t y = by; y < by1; y++) d[-static_cast<int64_t>(y)] = s[static_cast<size_t>(y) * nx];
            }
          }
        }
      }
    }
  }
}

using ReorderKernel = void (*)(const void*, void*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, Placement);
// By element size: 1, 2, 4, 8 and 16 bytes (string descriptors).
constexpr ReorderKernel kReorder[5] = {reorder_rows<Block<1>>, reorder_rows<Block<2>>, reorder_rows<Block<4>>,
                                       reorder_rows<Block<8>>, reorder_rows<Block<16>>};
constexpr int reorder_index(int es) { return es == 1 ? 0 : es == 2 ? 1 : es == 4 ? 2 : es == 8 ? 3 : 4; }

// Arrays of more elements than this are reordered by two threads, each taking half the
// source rows (the destinations do not overlap).
constexpr uint32_t kThreadedElements = 1u << 20;

void run_split(uint32_t n_rows, uint32_t n_elements, uint32_t th, auto&& work) {
  if (n_elements < kThreadedElements || n_rows < 2 || worker_threads() < 2) {
    work(0u, n_rows);
    return;
  }
  uint32_t mid = n_rows / 2;
  if (th > 1 && mid > th) mid = (mid + th - 1) / th * th;  // keep whole tiles
  split_work(0u, mid, n_rows, work);
}

Variable* reorder(Variable* x, int code) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (code == 0) return x;
  const ArrayDesc* a = x->arr();
  if (a->n_dim > 2) var_error(M_ONE_OR_TWO_DIMS, x, MSG_LONGJMP);
  const uint32_t nx = a->dims[0], ny = a->n_dim == 2 ? a->dims[1] : 1;
  const int es = type_size[x->type];
  int32_t rdims[2];
  rdims[0] = static_cast<int32_t>(code & kTranspose ? ny : nx);
  rdims[1] = static_cast<int32_t>(code & kTranspose ? nx : ny);
  Variable* t = gettmp();
  t->type = x->type;
  // A result of n by 1 keeps its second dimension: it is always two-dimensional.
  ArrayDesc* r = make_array(2, rdims, t, es);
  r->n_dim = 2;

  double tw = nx, th = ny;
  while (2 * tw * th * es > kTileBytes && tw * es >= kTileEdgeBytes && th * es >= kTileEdgeBytes) {
    if (th * nx >= ny * tw && th >= 2) th = static_cast<uint32_t>(th) / 2;
    else tw = static_cast<uint32_t>(tw) / 2;
  }
  const Placement p = placement(code, nx, ny);
  ReorderKernel k = kReorder[reorder_index(es)];
  const uint32_t itw = static_cast<uint32_t>(tw), ith = static_cast<uint32_t>(th);
  run_split(ny, a->n_elts, ith, [&](uint32_t y0, uint32_t y1) { k(a->data, r->data, nx, y0, y1, itw, ith, p); });
  if (x->type == TYP_STRING) dup_str(reinterpret_cast<StringDesc*>(r->data), r->n_elts);
  return t;
}

// ---- SHIFT ------------------------------------------------------------------------------

// Shifts dimension d (and, recursively, those below) of the block at src into dst.
void shift_block(const uint8_t* src, uint8_t* dst, int d, const uint32_t* dims, const uint32_t* s,
                 const size_t* stride) {
  if (d == 0) {
    const size_t n = dims[0], k = s[0], es = stride[0];
    memcpy(dst + k * es, src, (n - k) * es);
    memcpy(dst, src + (n - k) * es, k * es);
    return;
  }
  // Dimensions that do not move below d are copied as one block per line of d.
  bool lower_still = true;
  for (int i = 0; i < d; i++) lower_still &= s[i] == 0;
  for (uint32_t i = 0; i < dims[d]; i++) {
    uint32_t j = i + s[d];
    if (j >= dims[d]) j -= dims[d];
    const uint8_t* from = src + i * stride[d];
    uint8_t* to = dst + j * stride[d];
    if (lower_still) memcpy(to, from, stride[d]);
    else shift_block(from, to, d - 1, dims, s, stride);
  }
}

Variable* shift_of(Variable* x, int n_shifts, Variable* shifts[]) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->is_file()) var_error(M_NO_FILE, x, MSG_LONGJMP);
  const ArrayDesc* a = x->arr();
  uint32_t dims[MAX_DIMS];
  int nd;
  if (n_shifts == 1) {
    nd = 1;
    dims[0] = a->n_elts;
  } else {
    if (n_shifts != a->n_dim) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
    nd = a->n_dim;
    for (int i = 0; i < nd; i++) dims[i] = a->dims[i];
  }
  uint32_t s[MAX_DIMS];
  for (int i = 0; i < nd; i++) {
    int64_t v = long_scalar(shifts[i]) % static_cast<int64_t>(dims[i]);
    if (v < 0) v += dims[i];
    s[i] = static_cast<uint32_t>(v);
  }
  const size_t es = a->elem_size;
  size_t stride[MAX_DIMS];
  stride[0] = es;
  for (int i = 1; i < nd; i++) stride[i] = stride[i - 1] * dims[i - 1];

  Variable* t = gettmp();
  t->type = x->type;
  int32_t rdims[MAX_DIMS];
  for (int i = 0; i < a->n_dim; i++) rdims[i] = static_cast<int32_t>(a->dims[i]);
  ArrayDesc* r = make_array(a->n_dim, rdims, t, static_cast<int>(es));
  shift_block(a->data, r->data, nd - 1, dims, s, stride);
  if (x->is_struct()) {
    StructDef* sd = x->sdef();
    t->value.s.sdef = sd;
    t->flags |= FLAG_STRUCT;
    if (is_anonymous(sd)) struct_add_ref(sd);
    dup_str_struct(sd, r->data, r->n_elts);
  } else if (x->type == TYP_STRING) {
    dup_str(reinterpret_cast<StringDesc*>(r->data), r->n_elts);
  }
  return t;
}

// ---- REFORM -----------------------------------------------------------------------------

Variable* reform_of(Variable* x, int n_new, Variable* dim_args[], bool overwrite) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->is_file()) var_error(M_NO_FILE, x, MSG_LONGJMP);
  const ArrayDesc* a = x->arr();
  int64_t dims[MAX_DIMS];
  int nd = 0;
  if (n_new == 0) {
    for (int i = 0; i < a->n_dim; i++)
      if (a->dims[i] != 1) dims[nd++] = a->dims[i];
    if (nd == 0) dims[nd++] = 1;
  } else {
    if (n_new == 1 && dim_args[0]->has_desc()) {
      Variable* d = dim_args[0];
      Variable* conv = basic_type_conversion(1, &d, TYP_LONG);
      TempGuard g;
      if (conv != d) g.v = conv;
      if (conv->n_elts() > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
      nd = static_cast<int>(conv->n_elts());
      const int32_t* v = static_cast<const int32_t*>(conv->data_ptr());
      for (int i = 0; i < nd; i++) dims[i] = v[i];
    } else {
      nd = n_new;
      for (int i = 0; i < nd; i++) dims[i] = long_scalar(dim_args[i]);
    }
    int64_t product = 1;
    for (int i = 0; i < nd; i++) {
      product *= dims[i];
      if (product > INT32_MAX || product < -INT32_MAX) product = 0;  // cannot match any count
    }
    if (product != a->n_elts) var_error(M_NEW_SUBSCRIPTS, x, MSG_LONGJMP);
    // Two negative factors can give the right product; they never reach the descriptor.
    for (int i = 0; i < nd; i++)
      if (dims[i] < 1) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  }
  // A constant is never changed in place: it belongs to compiled code.
  Variable* r = x;
  if (!x->is_temp() && !(overwrite && !x->is_const())) {
    r = gettmp();
    var_copy(x, r);
  }
  ArrayDesc* ra = r->arr();
  ra->n_dim = static_cast<uint8_t>(nd);
  for (int i = 0; i < MAX_DIMS; i++) ra->dims[i] = i < nd ? static_cast<uint32_t>(dims[i]) : 1;
  return r;
}

// ---- REBIN ------------------------------------------------------------------------------
//
// Line kernels. A call resamples n_outer groups of `stride` interleaved lines of m
// elements each into lines of m * f (enlarging) or m / f (reducing) elements; the inner
// loops run across the interleaved lines, which are independent, so that they vectorise.
// Integers interpolate in 32-bit fixed point with six fractional bits and average in
// 32 bits; floating types work in their own precision.

template <typename T>
using Acc = std::conditional_t<std::is_integral_v<T>, int32_t, T>;

inline int32_t wrap_i32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// Interleaved lines are taken kStrip at a time, with their running values and steps.
constexpr uint32_t kStrip = 256;

template <typename T>
[[gnu::always_inline]] inline void interpolate_body(const T* src, T* dst, uint32_t m, uint32_t f, uint32_t stride,
                                                    uint32_t n_outer) {
  const size_t out_m = static_cast<size_t>(m) * f;
  Acc<T> run[kStrip], step[kStrip];
  for (uint32_t o = 0; o < n_outer; o++) {
    const T* s = src + static_cast<size_t>(o) * m * stride;
    T* d = dst + static_cast<size_t>(o) * out_m * stride;
    if (stride == 1) {
      for (uint32_t i = 0; i < m; i++) {
        const T a = s[i], b = i + 1 < m ? s[i + 1] : a;
        T* out = d + static_cast<size_t>(i) * f;
        if constexpr (std::is_integral_v<T>) {
          const int32_t st = wrap_i32((static_cast<int64_t>(b) - a) * 64) / static_cast<int32_t>(f);
          uint32_t v = static_cast<uint32_t>(wrap_i32(static_cast<int64_t>(a) * 64));
          for (uint32_t k = 0; k < f; k++, v += static_cast<uint32_t>(st)) out[k] = static_cast<T>(static_cast<int32_t>(v) / 64);
        } else {
          const T st = (b - a) / static_cast<T>(f);
          T v = a;
          for (uint32_t k = 0; k < f; k++, v += st) out[k] = v;
        }
      }
      continue;
    }
    for (uint32_t i = 0; i < m; i++) {
      for (uint32_t j0 = 0; j0 < stride; j0 += kStrip) {
        const uint32_t len = std::min(kStrip, stride - j0);
        const T* ra = s + static_cast<size_t>(i) * stride + j0;
        const T* rb = i + 1 < m ? ra + stride : ra;
        T* out = d + static_cast<size_t>(i) * f * stride + j0;
        if constexpr (std::is_integral_v<T>) {
          const int32_t fi = static_cast<int32_t>(f);
          for (uint32_t j = 0; j < len; j++) {
            step[j] = wrap_i32((static_cast<int64_t>(rb[j]) - ra[j]) * 64) / fi;
            run[j] = wrap_i32(static_cast<int64_t>(ra[j]) * 64);
          }
          for (uint32_t k = 0; k < f; k++) {
            T* row = out + static_cast<size_t>(k) * stride;
            for (uint32_t j = 0; j < len; j++) {
              row[j] = static_cast<T>(run[j] / 64);
              run[j] = static_cast<int32_t>(static_cast<uint32_t>(run[j]) + static_cast<uint32_t>(step[j]));
            }
          }
        } else {
          const T fd = static_cast<T>(f);
          for (uint32_t j = 0; j < len; j++) {
            step[j] = (rb[j] - ra[j]) / fd;
            run[j] = ra[j];
          }
          for (uint32_t k = 0; k < f; k++) {
            T* row = out + static_cast<size_t>(k) * stride;
            for (uint32_t j = 0; j < len; j++) {
              row[j] = run[j];
              run[j] += step[j];
            }
          }
        }
      }
    }
  }
}

template <typename T>
[[gnu::always_inline]] inline void average_body(const T* src, T* dst, uint32_t m, uint32_t f, uint32_t stride,
                                                uint32_t n_outer) {
  const uint32_t out_m = m / f;
  if (stride == 1) {
    for (size_t o = 0; o < static_cast<size_t>(n_outer) * out_m; o++) {
      const T* s = src + o * f;
      Acc<T> sum = 0;
      for (uint32_t k = 0; k < f; k++) sum = static_cast<Acc<T>>(sum + s[k]);
      dst[o] = static_cast<T>(sum / static_cast<Acc<T>>(f));
    }
    return;
  }
  // Sums of f consecutive lines kept per interleaved line, a strip at a time.
  Acc<T> acc[kStrip];
  for (uint32_t o = 0; o < n_outer; o++) {
    const T* s = src + static_cast<size_t>(o) * m * stride;
    T* d = dst + static_cast<size_t>(o) * out_m * stride;
    for (uint32_t i = 0; i < out_m; i++) {
      for (uint32_t j0 = 0; j0 < stride; j0 += kStrip) {
        const uint32_t len = std::min(kStrip, stride - j0);
        for (uint32_t j = 0; j < len; j++) acc[j] = 0;
        for (uint32_t k = 0; k < f; k++) {
          const T* row = s + (static_cast<size_t>(i) * f + k) * stride + j0;
          if constexpr (std::is_integral_v<T>) {
            for (uint32_t j = 0; j < len; j++)
              acc[j] = static_cast<int32_t>(static_cast<uint32_t>(acc[j]) + static_cast<uint32_t>(row[j]));
          } else {
            for (uint32_t j = 0; j < len; j++) acc[j] += row[j];
          }
        }
        T* out = d + static_cast<size_t>(i) * stride + j0;
        const Acc<T> fd = static_cast<Acc<T>>(f);
        for (uint32_t j = 0; j < len; j++) out[j] = static_cast<T>(acc[j] / fd);
      }
    }
  }
}

template <typename T>
void sample_body(const T* src, T* dst, uint32_t m, uint32_t f, bool enlarge, uint32_t stride, uint32_t n_outer) {
  const size_t out_m = enlarge ? static_cast<size_t>(m) * f : m / f;
  for (uint32_t o = 0; o < n_outer; o++) {
    const T* s = src + static_cast<size_t>(o) * m * stride;
    T* d = dst + o * out_m * stride;
    for (size_t i = 0; i < out_m; i++) {
      const T* from = s + (enlarge ? i / f : i * f) * stride;
      memcpy(d + i * stride, from, stride * sizeof(T));
    }
  }
}

using ResampleKernel = void (*)(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge, uint32_t stride,
                                uint32_t n_outer);

template <typename T>
[[gnu::always_inline]] inline void resample_body(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge,
                                                 uint32_t stride, uint32_t n_outer) {
  if (enlarge) interpolate_body(static_cast<const T*>(src), static_cast<T*>(dst), m, f, stride, n_outer);
  else average_body(static_cast<const T*>(src), static_cast<T*>(dst), m, f, stride, n_outer);
}
#if VEK_HAVE_SIMD_LEVELS
template <typename T>
VEK_TARGET_AVX512 void resample_avx512(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge,
                                       uint32_t stride, uint32_t n_outer) {
  resample_body<T>(src, dst, m, f, enlarge, stride, n_outer);
}
template <typename T>
VEK_TARGET_AVX2 void resample_avx2(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge, uint32_t stride,
                                   uint32_t n_outer) {
  resample_body<T>(src, dst, m, f, enlarge, stride, n_outer);
}
#endif
template <typename T>
void resample(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge, uint32_t stride, uint32_t n_outer) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return resample_avx512<T>(src, dst, m, f, enlarge, stride, n_outer);
  if (simd_level == SIMD_AVX2) return resample_avx2<T>(src, dst, m, f, enlarge, stride, n_outer);
#endif
  resample_body<T>(src, dst, m, f, enlarge, stride, n_outer);
}

template <typename T>
void sample(const void* src, void* dst, uint32_t m, uint32_t f, bool enlarge, uint32_t stride, uint32_t n_outer) {
  sample_body(static_cast<const T*>(src), static_cast<T*>(dst), m, f, enlarge, stride, n_outer);
}

// [SAMPLE][type]
constexpr ResampleKernel kResample[2][N_TYPES] = {
    {nullptr, resample<uint8_t>, resample<int16_t>, resample<int32_t>, resample<float>, resample<double>, nullptr,
     nullptr, nullptr},
    {nullptr, sample<uint8_t>, sample<int16_t>, sample<int32_t>, sample<float>, sample<double>, nullptr, nullptr,
     nullptr}};

Variable* rebin_of(Variable* x, int n_new, Variable* dim_args[], bool use_sample) {
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (!x->has_desc()) var_error(M_NOT_ARRAY, x, MSG_LONGJMP);
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (x->type == TYP_STRING) var_error(M_NO_STRING, x, MSG_LONGJMP);
  if (x->type == TYP_COMPLEX) var_error(M_NO_COMPLEX, x, MSG_LONGJMP);
  const ArrayDesc* a = x->arr();
  int32_t want[MAX_DIMS];
  for (int i = 0; i < MAX_DIMS; i++) want[i] = i < n_new ? long_scalar(dim_args[i]) : 1;
  const int nd = std::max<int>(n_new, a->n_dim);
  int32_t cur[MAX_DIMS];
  for (int i = 0; i < MAX_DIMS; i++) cur[i] = static_cast<int32_t>(a->dims[i]);
  for (int d = 0; d < nd; d++) {
    const int32_t m = cur[d], w = want[d];
    if (w == m) continue;
    if (w < 1 || (w > m ? w % m : m % w) != 0) message(M_INTEGER_FACTOR, 0, MSG_LONGJMP);
  }
  ResampleKernel k = kResample[use_sample][x->type];
  Variable* current = x;
  TempGuard previous;
  for (int d = 0; d < nd; d++) {
    const int32_t m = cur[d], w = want[d];
    if (w == m) continue;
    const bool enlarge = w > m;
    const uint32_t f = static_cast<uint32_t>(enlarge ? w / m : m / w);
    uint32_t stride = 1, n_outer = 1;
    for (int i = 0; i < d; i++) stride *= static_cast<uint32_t>(cur[i]);
    for (int i = d + 1; i < nd; i++) n_outer *= static_cast<uint32_t>(cur[i]);
    const void* src = current->arr()->data;
    cur[d] = w;
    Variable* t = gettmp();
    t->type = x->type;
    make_array(nd, cur, t, type_size[x->type]);
    k(src, t->arr()->data, static_cast<uint32_t>(m), f, enlarge, stride, n_outer);
    if (previous.v) deltmp(previous.release());
    previous.v = t;
    current = t;
  }
  return previous.v ? previous.release() : x;
}

// ---- Built-ins --------------------------------------------------------------------------

uint32_t reform_flags;
const KwEntry kReformKeywords[] = {
    {"OVERWRITE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &reform_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

uint32_t rebin_flags;
const KwEntry kRebinKeywords[] = {
    {"SAMPLE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &rebin_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

Variable* ur_rotate(int, Variable* argv[], KwNames) { return reorder(argv[0], kRotateCode[long_scalar(argv[1]) & 7]); }

Variable* ur_transpose(int, Variable* argv[], KwNames) { return reorder(argv[0], kTranspose); }

Variable* ur_shift(int argc, Variable* argv[], KwNames) { return shift_of(argv[0], argc - 1, argv + 1); }

Variable* ur_reform(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[MAX_DIMS + 1];
  int n = argc;
  bool overwrite = false;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kReformKeywords, pos, 1);
    overwrite = reform_flags & 1;
  } else {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
  }
  return reform_of(pos[0], n - 1, pos + 1, overwrite);
}

Variable* rebin(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[MAX_DIMS + 1];
  int n = argc;
  bool use_sample = false;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kRebinKeywords, pos, 1);
    use_sample = rebin_flags & 1;
  } else {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
  }
  if (n < 2) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  return rebin_of(pos[0], n - 1, pos + 1, use_sample);
}

const RoutineEntry reshape_functions[] = {
    {rebin, "REBIN", 2, 9, true},        {ur_reform, "REFORM", 1, 9, true}, {ur_rotate, "ROTATE", 2, 2},
    {ur_shift, "SHIFT", 2, 9},           {ur_transpose, "TRANSPOSE", 1, 1},
};
const int n_reshape_functions = sizeof reshape_functions / sizeof reshape_functions[0];
