// SPDX-License-Identifier: MIT
// Run-time choice of the inverse DCT kernel: AVX2 when the processor (and the operating system's
// saved state) supports it, on x86-64 and i686 builds; SSE2 where the target has it; the portable
// kernel otherwise, and whenever the plan asks for it.
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

// SSE2 where the target has it, else null.
IdctKernel sse2_kernel() {
#if defined(__SSE2__)
  return idct_block_sse2;
#else
  return nullptr;
#endif
}

}  // namespace

IdctKernel idct_kernel(bool is_simd) noexcept {
  static const IdctKernel fastest = avx2_kernel() != nullptr   ? avx2_kernel()
                                    : sse2_kernel() != nullptr ? sse2_kernel()
                                                               : IdctKernel{idct_block_portable};
  return is_simd ? fastest : idct_block_portable;
}

int32_t idct_kernels(NamedIdctKernel* out, int32_t capacity) noexcept {
  int32_t n = 0;
  if (n < capacity) out[n++] = {"portable", idct_block_portable};
  if (sse2_kernel() != nullptr && n < capacity) out[n++] = {"sse2", sse2_kernel()};
  if (avx2_kernel() != nullptr && n < capacity) out[n++] = {"avx2", avx2_kernel()};
  return n;
}

}  // namespace kestrum
