// SPDX-License-Identifier: MIT
// Inverse DCT (T.81 A.3.3) as a fixed-width datapath: dequantized coefficients clamped to 12 bits
// after a 16-bit wrap, a separable Loeffler-style 8-point transform whose every sum and product
// is saturated to 22 bits, 12-bit constants, descale with rounding, clamp and level shift.
#include "decoder/idct.h"

#include <array>

#include "common/fixed_point.h"
#include "decoder/decoder_state.h"
#include "decoder/idct_flowgraph.h"

namespace kestrum {
namespace {

struct ScalarOps {
  using V = int32_t;
  static V S(V v) { return saturate22(v); }
  static V P(V v, V k) { return mul_q12_sat22(v, k); }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V constant(int32_t k) { return k; }
};

}  // namespace

// Scaling: inputs are dequantized coefficients (12 bits) times 128, so 19 bits. Each pass has
// gain 2*sqrt(2) (a lone x0 reaches all outputs unchanged); every sum and product is clamped to
// 22 bits, so 32-bit sums of two operands cannot overflow. Products floor (arithmetic >> 12).
// After both passes the value is 8 * 128 = 1024 times the sample; the descale rounds halves up.
void idct_1d(int32_t* x) noexcept { idct_flowgraph<ScalarOps>(x); }

void transpose_8x8(int32_t* w) noexcept {
  for (int r = 0; r < 8; ++r) {
    for (int c = r + 1; c < 8; ++c) {
      const int32_t t = w[8 * r + c];
      w[8 * r + c] = w[8 * c + r];
      w[8 * c + r] = t;
    }
  }
}

namespace {

// idct_block with its work area w (64 values).
void idct_block_in(int16_t* coef, const uint32_t* dequant, uint8_t* out, size_t stride,
                   int32_t* w) {
  for (int i = 0; i < 64; ++i) {
    const int32_t q = static_cast<int16_t>(static_cast<uint16_t>(dequant[i]));
    // Kept deliberately: the product wraps to 16 bits before the 12-bit clamp.
    coef[i] = static_cast<int16_t>(clamp(wrap16(coef[i] * q), -2048, 2047));
    w[i] = coef[i] * 128;
  }
  for (int row = 0; row < 8; ++row) idct_1d(w + 8 * row);
  transpose_8x8(w);
  for (int row = 0; row < 8; ++row) idct_1d(w + 8 * row);
  for (int i = 0; i < 64; ++i) {
    const int32_t t = asr(asr(w[i], 9) + 1, 1);
    w[i] = clamp(t, -128, 127) + 128;
  }
  for (size_t row = 0; row < 8; ++row) {
    for (size_t col = 0; col < 8; ++col)
      out[row * stride + col] = static_cast<uint8_t>(w[8 * col + row]);
  }
}

}  // namespace

void idct_block(int16_t* coef, const uint32_t* dequant, uint8_t* out, size_t stride) noexcept {
  idct_block_in(coef, dequant, out, stride, g_decoder.idct_work.data());
}

void idct_block_portable(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                         size_t stride) noexcept {
  std::array<int16_t, 64> work;
  std::array<uint32_t, 64> dequant;
  for (size_t i = 0; i < 64; ++i) {
    work[i] = coef[i];
    dequant[i] = static_cast<uint16_t>(dequant16[i]);
  }
  std::array<int32_t, 64>
      w;  // its own work area: the kernel may run on the decoder's second thread
  idct_block_in(work.data(), dequant.data(), out, stride, w.data());
}

}  // namespace kestrum
