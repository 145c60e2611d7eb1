// SPDX-License-Identifier: MIT
// Block fetch, the 12-bit fixed-point forward DCT and the reciprocal quantizer.
#pragma once

#include <cstdint>

namespace kestrum {

// Reciprocal of a quantizer entry q (1..255): trunc(65536.0 / q - 1.0) for q = 1, else
// trunc(65536.0 / q + 1.0).
int32_t quant_reciprocal(int32_t q) noexcept;

// Quantizes one coefficient: |c| * R + 2^18 shifted right by 19, with the sign of c.
int16_t quantize(int32_t c, int32_t reciprocal) noexcept;

// Copies the four Y blocks (stride y_stride) and one Cb and Cr block (stride y_stride / 2) of an
// MCU into blocks (six blocks of 64 values, row-major).
void fetch_mcu(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int32_t y_stride, int16_t* blocks) noexcept;

// One 8-point forward transform of in[0], in[s], ..., in[7s] into out at the same stride.
void fdct_1d(const int32_t* in, int32_t stride, int32_t* out) noexcept;

// Replaces level-shifted samples (row-major) with their DCT coefficients (8x the T.81 A.3.3
// values, row-major).
void fdct_2d(int16_t* block) noexcept;

// Level-shifts, transforms and quantizes the six blocks in place, leaving zig-zag order.
// Reads: h_samp, v_samp, the reciprocal tables. Returns 0.
int32_t transform_mcu(int16_t* blocks) noexcept;

}  // namespace kestrum
