// SPDX-License-Identifier: MIT
#include "common/cpu_features.h"

namespace kestrum {

bool cpu_has_avx2() noexcept {
#if defined(KESTRUM_HAVE_AVX2)
  static const bool has = [] {
    __builtin_cpu_init();  // may run before the runtime's own constructors
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool cpu_has_avx512() noexcept {
#if defined(KESTRUM_HAVE_AVX512)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
  }();
  return has;
#else
  return false;
#endif
}

}  // namespace kestrum
