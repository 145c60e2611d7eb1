// SPDX-License-Identifier: MIT
// Dequantization and the 22-bit saturating fixed-point inverse DCT of the modelled hardware.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Dequantizes coef (natural order) in place with the low 16 bits of dequant, transforms it and
// writes the 8x8 samples row by row, rows stride bytes apart. Reads/Writes: idct_work.
void idct_block(int16_t* coef, const uint32_t* dequant, uint8_t* out, size_t stride = 8) noexcept;

// The samples of idct_block (same arithmetic, SSE2 where the target has it) from coef and the
// low 16 bits of the dequantization table as signed values; coef is left unchanged.
void idct_block_simd(const int16_t* coef, const int16_t* dequant16, uint8_t* out, size_t stride) noexcept;

// One 8-point inverse transform of eight consecutive values, in place.
void idct_1d(int32_t* x) noexcept;

// Transposes an 8x8 array of 32-bit values in place.
void transpose_8x8(int32_t* w) noexcept;

}  // namespace kestrum
