// SPDX-License-Identifier: MIT
// Inverse DCT (T.81 A.3.3) as a fixed-width datapath: dequantized coefficients clamped to 12 bits
// after a 16-bit wrap, a separable Loeffler-style 8-point transform whose every sum and product
// is saturated to 22 bits, 12-bit constants, descale with rounding, clamp and level shift.
#include "decoder/idct.h"

#include "common/fixed_point.h"
#include "decoder/decoder_state.h"

namespace kestrum {
namespace {

// 12-bit constants, each round(value * 4096) (rounded to nearest, unlike the encoder's truncated
// forward constants).
constexpr int32_t kSqrt2 = 5793;           // round(sqrt(2) * 4096)
constexpr int32_t kC6Sqrt2 = 2217;         // round(sqrt(2) * cos(6pi/16) * 4096)
constexpr int32_t kC2mC6Sqrt2 = 3135;      // round(sqrt(2) * (cos(2pi/16) - cos(6pi/16)) * 4096)
constexpr int32_t kNegC2pC6Sqrt2 = -7568;  // round(-sqrt(2) * (cos(2pi/16) + cos(6pi/16)) * 4096)
constexpr int32_t kC3 = 3406;              // round(cos(3pi/16) * 4096)
constexpr int32_t kC1 = 4017;              // round(cos(pi/16) * 4096)
constexpr int32_t kS3mC3 = -1130;          // round((sin(3pi/16) - cos(3pi/16)) * 4096)
constexpr int32_t kNegS3pC3 = -5681;       // round(-(sin(3pi/16) + cos(3pi/16)) * 4096)
constexpr int32_t kNegS1pC1 = -4816;       // round(-(sin(pi/16) + cos(pi/16)) * 4096)
constexpr int32_t kS1mC1 = -3218;          // round((sin(pi/16) - cos(pi/16)) * 4096)

constexpr int32_t S(int32_t v) { return saturate22(v); }
constexpr int32_t P(int32_t v, int32_t k) { return mul_q12_sat22(v, k); }

}  // namespace

// Scaling: inputs are dequantized coefficients (12 bits) times 128, so 19 bits. Each pass has
// gain 2*sqrt(2) (a lone x0 reaches all outputs unchanged); every sum and product is clamped to
// 22 bits, so 32-bit sums of two operands cannot overflow. Products floor (arithmetic >> 12).
// After both passes the value is 8 * 128 = 1024 times the sample; the descale rounds halves up.
void idct_1d(int32_t* x) noexcept {
  // Even part.
  const int32_t e0 = S(x[0] + x[4]);
  const int32_t e1 = S(x[0] - x[4]);
  const int32_t z = P(S(x[2] + x[6]), kC6Sqrt2);
  const int32_t a = S(P(x[2], kC2mC6Sqrt2) + z);
  const int32_t b = S(P(x[6], kNegC2pC6Sqrt2) + z);
  const int32_t E0 = S(e0 + a), E3 = S(e0 - a), E1 = S(e1 + b), E2 = S(e1 - b);
  // Odd part.
  const int32_t r3 = P(x[3], kSqrt2);
  const int32_t r5 = P(x[5], kSqrt2);
  const int32_t s17 = S(x[1] + x[7]);
  const int32_t d17 = S(x[1] - x[7]);
  const int32_t p = S(d17 - r5), q = S(d17 + r5), r = S(s17 - r3), s = S(s17 + r3);
  const int32_t u = P(S(s + q), kC3);
  const int32_t v = P(S(p + r), kC1);
  const int32_t Oa = S(P(q, kS3mC3) + u);
  const int32_t Ob = S(u + P(s, kNegS3pC3));
  const int32_t Oc = S(P(p, kNegS1pC1) + v);
  const int32_t Od = S(v + P(r, kS1mC1));
  x[0] = S(E0 + Oa);
  x[7] = S(E0 - Oa);
  x[1] = S(E1 + Od);
  x[6] = S(E1 - Od);
  x[2] = S(E2 + Oc);
  x[5] = S(E2 - Oc);
  x[3] = S(E3 + Ob);
  x[4] = S(E3 - Ob);
}

void transpose_8x8(int32_t* w) noexcept {
  for (int r = 0; r < 8; ++r) {
    for (int c = r + 1; c < 8; ++c) {
      const int32_t t = w[8 * r + c];
      w[8 * r + c] = w[8 * c + r];
      w[8 * c + r] = t;
    }
  }
}

void idct_block(int16_t* coef, const uint32_t* dequant, uint8_t* out, size_t stride) noexcept {
  int32_t* w = g_decoder.idct_work.data();
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
    for (size_t col = 0; col < 8; ++col) out[row * stride + col] = static_cast<uint8_t>(w[8 * col + row]);
  }
}

}  // namespace kestrum
