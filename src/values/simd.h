// The widest vector instruction set of this processor, found once at start-up. Element
// loops are built once per level (see interp/op_kernels.h) and run in the widest build
// the processor can execute. Relies only on the compiler's CPU feature tests.
#pragma once

enum SimdLevel : int {
  SIMD_BASE = 0,    // the x86-64 baseline (SSE2)
  SIMD_AVX2 = 1,
  SIMD_AVX512 = 2,  // AVX-512 Foundation
};

// Tests lower it to check that every build gives the same results.
extern SimdLevel simd_level;

// Attributes of the per-level builds of a loop.
#if defined(__x86_64__) || defined(__i386__)
#define VEK_TARGET_AVX2 __attribute__((target("avx2")))
#define VEK_TARGET_AVX512 __attribute__((target("avx512f")))
#define VEK_HAVE_SIMD_LEVELS 1
#else
#define VEK_HAVE_SIMD_LEVELS 0
#endif
