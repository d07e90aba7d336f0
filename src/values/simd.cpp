#include "values/simd.h"

namespace {

SimdLevel detect() {
#if VEK_HAVE_SIMD_LEVELS
  // Static initialisers may run before the compiler's own feature probe.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return SIMD_AVX512;
  if (__builtin_cpu_supports("avx2")) return SIMD_AVX2;
#endif
  return SIMD_BASE;
}

}  // namespace

SimdLevel simd_level = detect();
