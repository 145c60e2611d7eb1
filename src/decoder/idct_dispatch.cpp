// SPDX-License-Identifier: MIT
// Run-time choice of the inverse DCT kernel: AVX2 when the processor (and the operating system's
// saved state) supports it, on x86-64 builds; SSE2 (or the portable kernel) otherwise.
#include "decoder/idct.h"

namespace kestrum {
namespace {

bool avx2_available() {
#if defined(KESTRUM_HAVE_AVX2)
  __builtin_cpu_init();  // may run before the runtime's own constructors
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

const IdctKernel g_kernel = avx2_available() ? IdctKernel{idct_block_avx2} : IdctKernel{idct_block_sse2};

}  // namespace

void idct_block_simd(const int16_t* coef, const int16_t* dequant16, uint8_t* out, size_t stride) noexcept {
  g_kernel(coef, dequant16, out, stride);
}

int32_t idct_kernels(NamedIdctKernel* out, int32_t capacity) noexcept {
  int32_t n = 0;
#if defined(__SSE2__)
  if (n < capacity) out[n++] = {"sse2", idct_block_sse2};
#else
  if (n < capacity) out[n++] = {"portable", idct_block_sse2};
#endif
  if (avx2_available() && n < capacity) out[n++] = {"avx2", idct_block_avx2};
  return n;
}

}  // namespace kestrum
