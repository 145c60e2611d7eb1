// SPDX-License-Identifier: MIT
// Block fetch, the 12-bit fixed-point forward DCT and the reciprocal quantizer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Reciprocal of a quantizer entry q (1..255): trunc(65536.0 / q - 1.0) for q = 1, else
// trunc(65536.0 / q + 1.0).
int32_t quant_reciprocal(int32_t q) noexcept;

// Half of the quantizer's 2^19 descale: |c| * R + kQuantRoundingBias rounds to nearest.
inline constexpr int32_t kQuantRoundingBias = 262144;  // 2^18

// Quantizes one coefficient: |c| * R + 2^18 shifted right by 19, with the sign of c.
int16_t quantize(int32_t c, int32_t reciprocal) noexcept;

// Copies the four Y blocks (stride y_stride) and one Cb and Cr block (stride y_stride / 2) of an
// MCU into blocks (six blocks of 64 values, row-major).
void fetch_mcu(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int32_t y_stride,
               int16_t* blocks) noexcept;

// One 8-point forward transform of in[0], in[s], ..., in[7s] into out at the same stride.
void fdct_1d(const int32_t* in, int32_t stride, int32_t* out) noexcept;

// Replaces level-shifted samples (row-major) with their DCT coefficients (8x the T.81 A.3.3
// values, row-major).
void fdct_2d(int16_t* block) noexcept;

// Level-shifts, transforms and quantizes the six blocks in place, leaving zig-zag order.
// Reads: h_samp, v_samp, the reciprocal tables. Returns 0.
int32_t transform_mcu(int16_t* blocks) noexcept;

// Bit k set where zig-zag coefficient k is not zero.
uint64_t nonzero_mask(const int16_t* zz) noexcept;

// Level-shifts, transforms and quantizes one 8x8 block of samples (rows stride bytes apart) into
// zig-zag coefficients, as transform_mcu does a block; reciprocal_natural holds the block's
// reciprocals in natural order. Returns nonzero_mask(out_zz), which a kernel may work out from
// its registers.
uint64_t fdct_quant_block(const uint8_t* samples, size_t stride, const int32_t* reciprocal_natural,
                          int16_t* out_zz) noexcept;
uint64_t fdct_quant_block_sse2(const uint8_t* samples, size_t stride,
                               const int32_t* reciprocal_natural, int16_t* out_zz) noexcept;
uint64_t fdct_quant_block_avx2(const uint8_t* samples, size_t stride,
                               const int32_t* reciprocal_natural, int16_t* out_zz) noexcept;

// A kernel does two blocks a call, first and second, with the same stride and reciprocals (an
// MCU's luma blocks side by side, or its Cb and Cr blocks): out_zz[0..63] and out_zz[64..127]
// take their coefficients as fdct_quant_block gives them, nonzero[0] and nonzero[1] their masks.
using FdctQuantKernel = void (*)(const uint8_t* first, const uint8_t* second, size_t stride,
                                 const int32_t* reciprocal_natural, int16_t* out_zz,
                                 uint64_t* nonzero) noexcept;
void fdct_quant_pair_avx512(const uint8_t* first, const uint8_t* second, size_t stride,
                            const int32_t* reciprocal_natural, int16_t* out_zz,
                            uint64_t* nonzero) noexcept;

// The kernel a plan takes: with is_simd the fastest the machine runs (AVX-512 where the processor
// has it, else AVX2, else SSE2 where the build targets it), else the portable code; and all of
// them by name, for tests and the benchmark.
FdctQuantKernel fdct_quant_kernel(bool is_simd) noexcept;
struct NamedFdctQuantKernel {
  const char* name;
  FdctQuantKernel kernel;
};
int32_t fdct_quant_kernels(NamedFdctQuantKernel* out, int32_t capacity) noexcept;

}  // namespace kestrum
