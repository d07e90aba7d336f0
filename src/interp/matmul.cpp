// The matrix product kernels. Every element of C is a sum from zero over k in increasing
// order, in the element type, whatever the kernel: the blocked kernels for FLOAT and
// DOUBLE only choose which sums advance together (a block of rows and columns of C held
// in vector registers), and park a partial sum in C between runs of k. So they give
// exactly the results of the plain kernel, at every vector level.
#include "interp/matmul.h"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "base/workers.h"
#include "values/element_ops.h"
#include "values/simd.h"
#include "values/variable.h"

namespace {

// C's column j accumulates A's column k times B(k, j), k increasing; the inner loop runs
// over contiguous i.
template <class T>
void plain_product(const void* ap, const void* bp, void* cp, uint32_t a0, uint32_t a1, uint32_t b1) {
  const T* a = static_cast<const T*>(ap);
  const T* b = static_cast<const T*>(bp);
  T* c = static_cast<T*>(cp);
  for (uint32_t j = 0; j < b1; j++) {
    T* cj = c + static_cast<size_t>(j) * a0;
    for (uint32_t i = 0; i < a0; i++) cj[i] = T{};
    for (uint32_t k = 0; k < a1; k++) {
      const T bkj = b[k + static_cast<size_t>(j) * a1];
      const T* ak = a + static_cast<size_t>(k) * a0;
      for (uint32_t i = 0; i < a0; i++) {
        cj[i] = elem::Add::f(cj[i], elem::Mul::f(ak[i], bkj));
      }
    }
  }
}

// Sizes of the blocked kernels: a block of C of MR = W * MV rows (MV vectors of W
// elements) by NR columns lives in registers while k runs over at most KC values.
constexpr size_t kKc = 256;
constexpr int kNr = 6;

template <class T, int W>
using Vec [[gnu::vector_size(W * sizeof(T))]] = T;

struct Dims {
  size_t a0, a1, b1;
};

// C(i0..i1, j0..j1) over k0..k1, one element at a time (the edges of the blocking).
template <class T>
[[gnu::always_inline]] inline void edge(const T* a, const T* b, T* c, const Dims& d, size_t i0, size_t i1, size_t j0,
                                        size_t j1, size_t k0, size_t k1) {
  for (size_t j = j0; j < j1; j++) {
    T* cj = c + j * d.a0;
    if (k0 == 0)
      for (size_t i = i0; i < i1; i++) cj[i] = T{};
    for (size_t k = k0; k < k1; k++) {
      const T bkj = b[k + j * d.a1];
      const T* ak = a + k * d.a0;
      for (size_t i = i0; i < i1; i++) cj[i] += ak[i] * bkj;
    }
  }
}

// The register block at rows i.. (MV vectors of W), columns j.. (kNr), over k0..k1. The
// rows of A come from `ap`, element (m, k) at ap[m + (k - k0) * lda].
template <class T, int W, int MV>
[[gnu::always_inline]] inline void block(const T* ap, size_t lda, const T* b, T* c, const Dims& d, size_t i, size_t j,
                                         size_t k0, size_t k1) {
  using V = Vec<T, W>;
  V acc[kNr][MV];
#pragma GCC unroll 8
  for (int jj = 0; jj < kNr; jj++) {
#pragma GCC unroll 8
    for (int m = 0; m < MV; m++) {
      if (k0 == 0) {
        acc[jj][m] = V{};
      } else {
        memcpy(&acc[jj][m], c + i + m * W + (j + jj) * d.a0, sizeof(V));
      }
    }
  }
  const T* bj = b + j * d.a1;
  for (size_t k = k0; k < k1; k++) {
    const T* ak = ap + (k - k0) * lda;
    V av[MV];
#pragma GCC unroll 8
    for (int m = 0; m < MV; m++) memcpy(&av[m], ak + m * W, sizeof(V));
#pragma GCC unroll 8
    for (int jj = 0; jj < kNr; jj++) {
      // s - 0 is s exactly (also -0.0): a broadcast.
      const V bv = bj[k + jj * d.a1] - V{};
#pragma GCC unroll 8
      for (int m = 0; m < MV; m++) acc[jj][m] += av[m] * bv;
    }
  }
#pragma GCC unroll 8
  for (int jj = 0; jj < kNr; jj++) {
#pragma GCC unroll 8
    for (int m = 0; m < MV; m++) memcpy(c + i + m * W + (j + jj) * d.a0, &acc[jj][m], sizeof(V));
  }
}

// Rows i..i+MV*W of C for the columns in whole register blocks, over k0..k1. A is read
// in place: each block's rows of a column of A are one contiguous run already.
template <class T, int W, int MV>
[[gnu::always_inline]] inline void row_panel(const T* a, const T* b, T* c, const Dims& d, size_t i, size_t k0,
                                             size_t k1) {
  for (size_t j = 0; j + kNr <= d.b1; j += kNr) block<T, W, MV>(a + i + k0 * d.a0, d.a0, b, c, d, i, j, k0, k1);
}

template <class T, int W, int MV>
[[gnu::always_inline]] inline void blocked_product(const void* ap, const void* bp, void* cp, uint32_t a0, uint32_t a1,
                                                   uint32_t b1) {
  const T* a = static_cast<const T*>(ap);
  const T* b = static_cast<const T*>(bp);
  T* c = static_cast<T*>(cp);
  const Dims d{a0, a1, b1};
  constexpr size_t kMr = static_cast<size_t>(W) * MV;
  if (a1 == 0) {
    std::fill(c, c + d.a0 * d.b1, T{});
    return;
  }
  const size_t full_columns = d.b1 / kNr * kNr;
  for (size_t k0 = 0; k0 < d.a1; k0 += kKc) {
    const size_t k1 = std::min(d.a1, k0 + kKc);
    size_t i = 0;
    for (; i + kMr <= d.a0; i += kMr) row_panel<T, W, MV>(a, b, c, d, i, k0, k1);
    // The rows left over go in narrower register blocks, the last few one by one.
    if constexpr (MV >= 4)
      if (i + 2 * W <= d.a0) {
        row_panel<T, W, 2>(a, b, c, d, i, k0, k1);
        i += 2 * W;
      }
    if constexpr (MV >= 2)
      if (i + W <= d.a0) {
        row_panel<T, W, 1>(a, b, c, d, i, k0, k1);
        i += W;
      }
    edge(a, b, c, d, i, d.a0, 0, full_columns, k0, k1);
    edge(a, b, c, d, 0, d.a0, full_columns, d.b1, k0, k1);
  }
}

// One build per vector level: 16, 8 or 4 floats (8, 4 or 2 doubles) per register.
template <class T>
void product_base(const void* a, const void* b, void* c, uint32_t a0, uint32_t a1, uint32_t b1) {
  blocked_product<T, 16 / sizeof(T), 2>(a, b, c, a0, a1, b1);
}
#if VEK_HAVE_SIMD_LEVELS
template <class T>
VEK_TARGET_AVX2 void product_avx2(const void* a, const void* b, void* c, uint32_t a0, uint32_t a1, uint32_t b1) {
  blocked_product<T, 32 / sizeof(T), 2>(a, b, c, a0, a1, b1);
}
template <class T>
VEK_TARGET_AVX512 void product_avx512(const void* a, const void* b, void* c, uint32_t a0, uint32_t a1, uint32_t b1) {
  blocked_product<T, 64 / sizeof(T), 4>(a, b, c, a0, a1, b1);
}
#endif

template <class T>
void real_product(const void* a, const void* b, void* c, uint32_t a0, uint32_t a1, uint32_t b1) {
#if VEK_HAVE_SIMD_LEVELS
  if (simd_level == SIMD_AVX512) return product_avx512<T>(a, b, c, a0, a1, b1);
  if (simd_level == SIMD_AVX2) return product_avx2<T>(a, b, c, a0, a1, b1);
#endif
  product_base<T>(a, b, c, a0, a1, b1);
}

// Large products are shared out by columns of C: each thread computes whole columns, so
// every element is still one sum in k order and the result does not depend on the split.
// Threads take runs of columns from a shared counter, so that a thread the system is slow
// to schedule holds nobody up: the calling thread alone would finish the product.
// Columns of the result are handed out in runs to the worker threads; each element's sum
// is formed by one thread in its defined order, so the split does not change the result.
constexpr uint64_t kThreadWork = uint64_t{1} << 21;  // multiply-adds; below this one thread
constexpr uint32_t kRunColumns = 4 * kNr;

uint32_t product_threads(uint32_t a0, uint32_t a1, uint32_t b1) {
  const uint64_t work = uint64_t{a0} * a1 * b1;
  if (work < kThreadWork || b1 < 2 * kRunColumns) return 1;
  return static_cast<uint32_t>(std::min<uint64_t>(worker_threads(), work / kThreadWork + 1));
}

template <class T, MatrixKernel K>
void threaded_product(const void* ap, const void* bp, void* cp, uint32_t a0, uint32_t a1, uint32_t b1) {
  const uint32_t n = product_threads(a0, a1, b1);
  if (n <= 1) return K(ap, bp, cp, a0, a1, b1);
  const T* a = static_cast<const T*>(ap);
  const T* b = static_cast<const T*>(bp);
  T* c = static_cast<T*>(cp);
  std::atomic<uint32_t> next{0};
  run_on_workers(n, [&](uint32_t) {
    for (uint32_t j0; (j0 = next.fetch_add(kRunColumns, std::memory_order_relaxed)) < b1;) {
      const uint32_t m = std::min(kRunColumns, b1 - j0);
      K(a, b + static_cast<size_t>(j0) * a1, c + static_cast<size_t>(j0) * a0, a0, a1, m);
    }
  });
}

constexpr MatrixKernel kKernels[8] = {nullptr,
                                      nullptr,
                                      nullptr,
                                      threaded_product<int32_t, plain_product<int32_t>>,
                                      threaded_product<float, real_product<float>>,
                                      threaded_product<double, real_product<double>>,
                                      threaded_product<Complex, plain_product<Complex>>,
                                      nullptr};
constexpr MatrixKernel kReference[8] = {nullptr, nullptr, nullptr, plain_product<int32_t>, plain_product<float>,
                                        plain_product<double>, plain_product<Complex>, nullptr};

}  // namespace

MatrixKernel matrix_kernel(int type) { return type >= 0 && type < 8 ? kKernels[type] : nullptr; }
MatrixKernel reference_matrix_kernel(int type) { return type >= 0 && type < 8 ? kReference[type] : nullptr; }
