// SPDX-License-Identifier: MIT
// Dequantization and the 22-bit saturating fixed-point inverse DCT of the modelled hardware.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Dequantizes coef (natural order) in place with the low 16 bits of dequant, transforms it and
// writes the 8x8 samples row by row, rows stride bytes apart. Reads/Writes: idct_work.
void idct_block(int16_t* coef, const uint32_t* dequant, uint8_t* out, size_t stride = 8) noexcept;

// The samples of idct_block (same arithmetic) from coef and the low 16 bits of the
// dequantization table as signed values; coef is left unchanged.
using IdctKernel = void (*)(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                            size_t stride) noexcept;

// The kernel a plan takes: the fastest the machine runs (AVX2 where the processor has it, else
// SSE2 where the target has it) with is_simd, else idct_block_portable.
IdctKernel idct_kernel(bool is_simd) noexcept;

// Every kernel the machine runs (portable, SSE2 where the target has it, AVX2 where the processor
// has it), each named, for tests and the benchmark.
struct NamedIdctKernel {
  const char* name;
  IdctKernel kernel;
};
int32_t idct_kernels(NamedIdctKernel* out, int32_t capacity) noexcept;

void idct_block_portable(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                         size_t stride) noexcept;
void idct_block_sse2(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                     size_t stride) noexcept;
void idct_block_avx2(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                     size_t stride) noexcept;

// Two blocks a call, as an MCU's transform takes them (its luma blocks side by side, its Cb and Cr
// blocks): coef holds the first block's 64 coefficients, then the second's, each block with its
// own table and output (rows stride bytes apart); the samples are the one-block kernel's.
using IdctPairKernel = void (*)(const int16_t* coef, const int16_t* dequant_first,
                                const int16_t* dequant_second, uint8_t* out_first,
                                uint8_t* out_second, size_t stride) noexcept;

// With is_simd the fastest the machine runs (AVX-512 where the processor has it, else a
// one-block kernel twice), else the portable kernel twice; and every one by name.
IdctPairKernel idct_pair_kernel(bool is_simd) noexcept;
struct NamedIdctPairKernel {
  const char* name;
  IdctPairKernel kernel;
};
int32_t idct_pair_kernels(NamedIdctPairKernel* out, int32_t capacity) noexcept;

void idct_pair_avx512(const int16_t* coef, const int16_t* dequant_first,
                      const int16_t* dequant_second, uint8_t* out_first, uint8_t* out_second,
                      size_t stride) noexcept;

// The sample of a block whose only non-zero term is the dequantized DC value dc (-2048..2047):
// both passes carry 128 * dc to every position unchanged, so the block is flat.
constexpr uint8_t flat_block_sample(int32_t dc) {
  const int32_t t = ((dc * 128) >> 9) + 1;
  const int32_t s = t >> 1;
  return static_cast<uint8_t>((s < -128 ? -128 : (s > 127 ? 127 : s)) + 128);
}

// One 8-point inverse transform of eight consecutive values, in place.
void idct_1d(int32_t* x) noexcept;

// Transposes an 8x8 array of 32-bit values in place.
void transpose_8x8(int32_t* w) noexcept;

}  // namespace kestrum
