// SPDX-License-Identifier: MIT
// Run-time choice of the inverse DCT kernel: AVX2 when the processor (and the operating system's
// saved state) supports it, on x86-64 builds; SSE2 (or the portable kernel) otherwise.
#include "common/cpu_features.h"
#include "decoder/idct.h"

namespace kestrum {
namespace {

// The AVX2 kernel where the build has one and the processor runs it, else null.
IdctKernel avx2_kernel() {
#if defined(KESTRUM_HAVE_AVX2)
  if (cpu_has_avx2()) return idct_block_avx2;
#endif
  return nullptr;
}

const IdctKernel g_kernel = avx2_kernel() != nullptr ? avx2_kernel() : IdctKernel{idct_block_sse2};

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
  if (avx2_kernel() != nullptr && n < capacity) out[n++] = {"avx2", avx2_kernel()};
  return n;
}

}  // namespace kestrum
