// SPDX-License-Identifier: MIT
// Exact integer helpers of the codec datapaths: arithmetic shifts, the 22-bit saturation of the
// inverse DCT, visible 16-bit and 32-bit wraps, and 12-bit fixed-point products.
#pragma once

#include <cstdint>

namespace kestrum {

// Arithmetic shift right (floor division by 2^n); C++20 defines >> on negatives this way.
constexpr int32_t asr(int32_t v, int n) { return v >> n; }
constexpr int64_t asr64(int64_t v, int n) { return v >> n; }

inline constexpr int32_t kSat22Max = 2097151;   // 2^21 - 1
inline constexpr int32_t kSat22Min = -2097152;  // -2^21

// Clamps v to the signed 22-bit range of the inverse DCT datapath.
constexpr int32_t saturate22(int64_t v) {
  return v > kSat22Max ? kSat22Max : (v < kSat22Min ? kSat22Min : static_cast<int32_t>(v));
}

// Keeps the low 16 bits as a signed value (two's-complement wrap).
constexpr int16_t wrap16(int32_t v) { return static_cast<int16_t>(v); }

// Keeps the low 32 bits of a 64-bit value as a signed value (two's-complement wrap).
constexpr int32_t wrap32(int64_t v) { return static_cast<int32_t>(v); }

// 32-bit addition with two's-complement wrap, so that hostile input cannot cause signed overflow.
constexpr int32_t add_wrap32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// 64-bit product, arithmetic shift by 12 (floor), then 22-bit saturation.
constexpr int32_t mul_q12_sat22(int32_t v, int32_t k) {
  return saturate22(asr64(static_cast<int64_t>(v) * k, 12));
}

// 64-bit product, arithmetic shift by 12 (floor), low 32 bits kept.
constexpr int32_t mul_q12_wrap32(int32_t v, int32_t k) {
  return wrap32(asr64(static_cast<int64_t>(v) * k, 12));
}

constexpr int32_t clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

static_assert(asr(-3, 1) == -2);
static_assert(asr(-1, 12) == -1);
static_assert(saturate22(2097152) == kSat22Max && saturate22(-2097153) == kSat22Min);
static_assert(wrap16(66000) == 464 && wrap16(40000) == -25536);
static_assert(mul_q12_sat22(-1, 1) == -1);  // floor, not toward zero

}  // namespace kestrum
