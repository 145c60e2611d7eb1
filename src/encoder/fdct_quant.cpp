// SPDX-License-Identifier: MIT
// Forward DCT (T.81 A.3.3) on the Loeffler-Ligtenberg-Moschytz flowgraph with 12-bit truncated
// constants, and quantization by per-coefficient reciprocals (T.81 A.3.4 rounding to nearest).
#include "encoder/fdct_quant.h"

#include <array>
#include <cstring>

#include "common/fixed_point.h"
#include "common/jpeg_tables.h"
#include "encoder/encoder_state.h"

namespace kestrum {
namespace {

// 12-bit constants, each trunc(value * 4096.0) toward zero (the inverse transform's constants
// are rounded to nearest instead: 3405 here against 3406 there).
constexpr int32_t kK1 = 3405;   // trunc(cos(3pi/16) * 4096)
constexpr int32_t kK2 = -1130;  // trunc((sin(3pi/16) - cos(3pi/16)) * 4096)
constexpr int32_t kK3 = -5681;  // trunc(-(sin(3pi/16) + cos(3pi/16)) * 4096)
constexpr int32_t kK4 = 4017;   // trunc(cos(pi/16) * 4096)
constexpr int32_t kK5 = -3218;  // trunc((sin(pi/16) - cos(pi/16)) * 4096)
constexpr int32_t kK6 = -4816;  // trunc(-(sin(pi/16) + cos(pi/16)) * 4096)
constexpr int32_t kK7 = 5351;   // trunc(cos(pi/8) * sqrt(2) * 4096)
constexpr int32_t kK8 = -3134;  // trunc((sin(pi/8) - cos(pi/8)) * sqrt(2) * 4096)
constexpr int32_t kK9 = -7568;  // trunc(-(sin(pi/8) + cos(pi/8)) * sqrt(2) * 4096)
constexpr int32_t kK10 = 5792;  // trunc(sqrt(2) * 4096)

constexpr int32_t M(int32_t v, int32_t k) { return mul_q12_wrap32(v, k); }

}  // namespace

int32_t quant_reciprocal(int32_t q) noexcept {
  double r = 65536.0 / static_cast<double>(q);  // 2^16 / q
  r = q == 1 ? r - 1.0 : r + 1.0;
  return static_cast<int32_t>(r);
}

int16_t quantize(int32_t c, int32_t reciprocal) noexcept {
  // |c| <= 8192 and R <= 65535, so R * |c| + 2^18 stays below 2^30.
  if (c >= 0) return static_cast<int16_t>((reciprocal * c + 262144) >> 19);
  return static_cast<int16_t>(-((reciprocal * -c + 262144) >> 19));
}

void fetch_mcu(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int32_t y_stride, int16_t* blocks) noexcept {
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
  const int32_t x0 = in[0], x1 = in[s], x2 = in[2 * s], x3 = in[3 * s];
  const int32_t x4 = in[4 * s], x5 = in[5 * s], x6 = in[6 * s], x7 = in[7 * s];
  const int32_t t0 = x0 + x7, d0 = x0 - x7, t1 = x1 + x6, d1 = x1 - x6;
  const int32_t t2 = x2 + x5, d2 = x2 - x5, t3 = x3 + x4, d3 = x3 - x4;
  const int32_t e0 = t0 + t3, e3 = t0 - t3, e1 = t1 + t2, e2 = t1 - t2;
  out[0] = e0 + e1;
  out[4 * s] = e0 - e1;
  const int32_t z3 = M(e2 + e3, kK7);
  out[2 * s] = z3 + M(e2, kK8);
  out[6 * s] = -(z3 + M(e3, kK9));
  const int32_t z1 = M(d0 + d3, kK1);
  const int32_t a = z1 + M(d0, kK2);
  const int32_t b = z1 + M(d3, kK3);
  const int32_t z2 = M(d1 + d2, kK4);
  const int32_t c = z2 + M(d1, kK5);
  const int32_t d = z2 + M(d2, kK6);
  out[1 * s] = (b + c) + (d + a);
  out[7 * s] = (b + c) - (d + a);
  out[3 * s] = M(b - c, kK10);
  out[5 * s] = M(a - d, kK10);
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
    const int32_t* reciprocal = blk < luma_blocks ? e.luma_reciprocal_zz.data() : e.chroma_reciprocal_zz.data();
    for (size_t i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(block[i] - 128);
    fdct_2d(block);
    std::array<int16_t, 64> scratch{};
    for (size_t k = 0; k < 64; ++k) scratch[k] = quantize(block[kZigZagToNatural[k]], reciprocal[k]);
    std::memcpy(block, scratch.data(), sizeof scratch);
  }
  return 0;
}

}  // namespace kestrum
