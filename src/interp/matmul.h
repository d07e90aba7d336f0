// Kernels of the matrix product (the # operator): C (a0 x b1) = A (a0 x a1) . B (a1 x b1),
// first index fastest, every element summed from zero in the element type with k
// increasing. Relies on the value model's type codes and the SIMD level (values/simd.h).
#pragma once

#include <cstdint>

using MatrixKernel = void (*)(const void* a, const void* b, void* c, uint32_t a0, uint32_t a1, uint32_t b1);

// The kernel for element type LONG, FLOAT, DOUBLE or COMPLEX (null for other types).
// Large products are shared out by columns of C among threads; the sums stay the same.
MatrixKernel matrix_kernel(int type);
// The plain column-at-a-time kernel, for tests that check the blocked ones against it.
MatrixKernel reference_matrix_kernel(int type);
