// SPDX-License-Identifier: MIT
// Forward DCT (T.81 A.3.3) on the Loeffler-Ligtenberg-Moschytz flowgraph with 12-bit truncated
// constants, and quantization by per-coefficient reciprocals (T.81 A.3.4 rounding to nearest).
#include "encoder/fdct_quant.h"

#include <array>
#include <cstring>

#include "common/cpu_features.h"
#include "common/fixed_point.h"
#include "common/jpeg_tables.h"
#include "encoder/encoder_state.h"
#include "encoder/fdct_flowgraph.h"

namespace kestrum {
namespace {

struct ScalarOps {
  using V = int32_t;
  static V M(V v, V k) { return mul_q12_wrap32(v, k); }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V neg(V v) { return -v; }
  static V constant(int32_t k) { return k; }
};

}  // namespace

int32_t quant_reciprocal(int32_t q) noexcept {
  double r = 65536.0 / static_cast<double>(q);  // 2^16 / q
  r = q == 1 ? r - 1.0 : r + 1.0;
  return static_cast<int32_t>(r);
}

int16_t quantize(int32_t c, int32_t reciprocal) noexcept {
  // |c| <= 8192 and R <= 65535, so R * |c| + 2^18 stays below 2^30.
  if (c >= 0) return static_cast<int16_t>((reciprocal * c + kQuantRoundingBias) >> 19);
  return static_cast<int16_t>(-((reciprocal * -c + kQuantRoundingBias) >> 19));
}

void fetch_mcu(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int32_t y_stride,
               int16_t* blocks) noexcept {
  const size_t w = static_cast<size_t>(y_stride);
  for (size_t b = 0; b < 4; ++b) {
    const uint8_t* src = y + (b / 2) * 8 * w + (b % 2) * 8;
    int16_t* dst = blocks + 64 * b;
    for (size_t r = 0; r < 8; ++r) {
      for (size_t c = 0; c < 8; ++c) dst[8 * r + c] = src[r * w + c];
    }
  }
  for (size_t r = 0; r < 8; ++r) {
    for (size_t c = 0; c < 8; ++c) {
      blocks[256 + 8 * r + c] = cb[(r * w) / 2 + c];
      blocks[320 + 8 * r + c] = cr[(r * w) / 2 + c];
    }
  }
}

// Scaling: inputs are level-shifted samples times 128 (15 bits). One pass yields out[0] = the
// sum of the inputs and out[k] = sqrt(2) * sum x_n cos((2n+1)k pi/16); each product floors
// (arithmetic >> 12) and keeps the low 32 bits, which 8-bit samples never exceed (|v| < 2^24).
void fdct_1d(const int32_t* in, int32_t stride, int32_t* out) noexcept {
  const size_t s = static_cast<size_t>(stride);
  std::array<int32_t, 8> x;
  for (size_t i = 0; i < 8; ++i) x[i] = in[i * s];
  fdct_flowgraph<ScalarOps>(x.data());
  for (size_t i = 0; i < 8; ++i) out[i * s] = x[i];
}

void fdct_2d(int16_t* block) noexcept {
  std::array<int32_t, 64> a{}, b{};
  for (size_t i = 0; i < 64; ++i) a[i] = block[i] * 128;
  for (size_t j = 0; j < 8; ++j) fdct_1d(&a[8 * j], 1, &b[8 * j]);
  for (size_t j = 0; j < 8; ++j) fdct_1d(&b[j], 8, &a[j]);
  // Descale by 128, rounding halves up: (v >> 6) + 1 >> 1.
  for (size_t i = 0; i < 64; ++i) block[i] = wrap16(asr(asr(a[i], 6) + 1, 1));
}

int32_t transform_mcu(int16_t* blocks) noexcept {
  const EncoderState& e = g_encoder;
  const size_t luma_blocks = static_cast<size_t>(e.h_samp[0] * e.v_samp[0]);
  for (size_t blk = 0; blk < 6; ++blk) {
    int16_t* block = blocks + 64 * blk;
    const int32_t* reciprocal =
        blk < luma_blocks ? e.luma_reciprocal_zz.data() : e.chroma_reciprocal_zz.data();
    for (size_t i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(block[i] - 128);
    fdct_2d(block);
    std::array<int16_t, 64> scratch{};
    for (size_t k = 0; k < 64; ++k)
      scratch[k] = quantize(block[kZigZagToNatural[k]], reciprocal[k]);
    std::memcpy(block, scratch.data(), sizeof scratch);
  }
  return 0;
}

uint64_t nonzero_mask(const int16_t* zz) noexcept {
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= static_cast<uint64_t>(zz[k] != 0) << k;
  return mask;
}

uint64_t fdct_quant_block(const uint8_t* samples, size_t stride, const int32_t* reciprocal_natural,
                          int16_t* out_zz) noexcept {
  std::array<int16_t, 64> block;
  for (size_t r = 0; r < 8; ++r) {
    for (size_t c = 0; c < 8; ++c)
      block[8 * r + c] = static_cast<int16_t>(samples[r * stride + c] - 128);
  }
  fdct_2d(block.data());
  for (size_t k = 0; k < 64; ++k) {
    const size_t n = kZigZagToNatural[k];
    out_zz[k] = quantize(block[n], reciprocal_natural[n]);
  }
  return nonzero_mask(out_zz);
}

namespace {

using BlockKernel = uint64_t (*)(const uint8_t*, size_t, const int32_t*, int16_t*) noexcept;

// Two blocks through a one-block kernel.
template <BlockKernel kBlock>
void pair_of(const uint8_t* first, const uint8_t* second, size_t stride,
             const int32_t* reciprocal_natural, int16_t* out_zz, uint64_t* nonzero) noexcept {
  nonzero[0] = kBlock(first, stride, reciprocal_natural, out_zz);
  nonzero[1] = kBlock(second, stride, reciprocal_natural, out_zz + 64);
}

// The AVX-512 kernel where the build has one and the processor runs it, else null.
FdctQuantKernel avx512_kernel() {
#if defined(KESTRUM_HAVE_AVX512)
  if (cpu_has_avx512()) return fdct_quant_pair_avx512;
#endif
  return nullptr;
}

// The AVX2 kernel where the build has one and the processor runs it, else null.
FdctQuantKernel avx2_kernel() {
#if defined(KESTRUM_HAVE_AVX2)
  if (cpu_has_avx2()) return pair_of<fdct_quant_block_avx2>;
#endif
  return nullptr;
}

// The SSE2 kernel where the build targets SSE2 (x86-64, and i686 with -msse2), else null.
FdctQuantKernel sse2_kernel() {
#if defined(__SSE2__)
  return pair_of<fdct_quant_block_sse2>;
#else
  return nullptr;
#endif
}

}  // namespace

FdctQuantKernel fdct_quant_kernel(bool is_simd) noexcept {
  static const FdctQuantKernel fastest = avx512_kernel() != nullptr ? avx512_kernel()
                                         : avx2_kernel() != nullptr ? avx2_kernel()
                                         : sse2_kernel() != nullptr
                                             ? sse2_kernel()
                                             : FdctQuantKernel{pair_of<fdct_quant_block>};
  return is_simd ? fastest : pair_of<fdct_quant_block>;
}

int32_t fdct_quant_kernels(NamedFdctQuantKernel* out, int32_t capacity) noexcept {
  int32_t n = 0;
  if (n < capacity) out[n++] = {"portable", pair_of<fdct_quant_block>};
  if (sse2_kernel() != nullptr && n < capacity) out[n++] = {"sse2", sse2_kernel()};
  if (avx2_kernel() != nullptr && n < capacity) out[n++] = {"avx2", avx2_kernel()};
  if (avx512_kernel() != nullptr && n < capacity) out[n++] = {"avx512", avx512_kernel()};
  return n;
}

}  // namespace kestrum
