// SPDX-License-Identifier: MIT
// Run-time choice of the inverse DCT kernel: AVX2 when the processor (and the operating system's
// saved state) supports it, on x86-64 and i686 builds; SSE2 where the target has it; the portable
// kernel otherwise, and whenever the plan asks for it. Pairs of blocks take the AVX-512 kernel
// where the processor has it.
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

// Two blocks through a one-block kernel.
template <IdctKernel kBlock>
void pair_of(const int16_t* coef, const int16_t* dequant_first, const int16_t* dequant_second,
             uint8_t* out_first, uint8_t* out_second, size_t stride) noexcept {
  kBlock(coef, dequant_first, out_first, stride);
  kBlock(coef + 64, dequant_second, out_second, stride);
}

// The AVX-512 pair kernel where the build has one and the processor runs it, else null.
IdctPairKernel avx512_pair_kernel() {
#if defined(KESTRUM_HAVE_AVX512)
  if (cpu_has_avx512()) return idct_pair_avx512;
#endif
  return nullptr;
}

// The fastest one-block kernel twice.
IdctPairKernel fastest_block_twice() {
#if defined(KESTRUM_HAVE_AVX2)
  if (cpu_has_avx2()) return pair_of<idct_block_avx2>;
#endif
#if defined(__SSE2__)
  return pair_of<idct_block_sse2>;
#else
  return pair_of<idct_block_portable>;
#endif
}

}  // namespace

IdctPairKernel idct_pair_kernel(bool is_simd) noexcept {
  static const IdctPairKernel fastest =
      avx512_pair_kernel() != nullptr ? avx512_pair_kernel() : fastest_block_twice();
  return is_simd ? fastest : pair_of<idct_block_portable>;
}

int32_t idct_pair_kernels(NamedIdctPairKernel* out, int32_t capacity) noexcept {
  int32_t n = 0;
  if (n < capacity) out[n++] = {"portable", pair_of<idct_block_portable>};
  if (n < capacity) out[n++] = {"twice", fastest_block_twice()};
  if (avx512_pair_kernel() != nullptr && n < capacity) out[n++] = {"avx512", avx512_pair_kernel()};
  return n;
}

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
