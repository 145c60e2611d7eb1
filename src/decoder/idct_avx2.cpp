// SPDX-License-Identifier: MIT
// The inverse DCT of idct.cpp on AVX2: all eight rows (then columns) of a block per vector set,
// 32-bit lanes, 22-bit saturation by min/max and the same exact floor of the 12-bit products as
// the SSE2 version; blocks whose products all fit 32 bits (most of a photo's) multiply in 32 bits.
// Compiled with -mavx2 and chosen at run time (idct_dispatch.cpp).
#include <immintrin.h>

#include <cstdint>
#include <initializer_list>

#include "common/avx2_transpose.h"
#include "common/fixed_point.h"
#include "decoder/idct.h"
#include "decoder/idct_bounds.h"
#include "decoder/idct_flowgraph.h"

namespace kestrum {
namespace {

using V8 = __m256i;

inline V8 saturate(V8 v) {
  return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_set1_epi32(kSat22Min)),
                          _mm256_set1_epi32(kSat22Max));
}
inline V8 multiplier(int32_t k) {
  return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k)));
}

// P: mul_q12_sat22 per lane. Without small products, for |v| < 2^21: v = 4096 h + l with
// 0 <= l < 4096, so that floor(v k / 4096) = h k + floor(l k / 4096); h and l each fit the low
// 16-bit half that _mm256_madd_epi16 multiplies by k (the constant's high half is 0). With small
// products, the 32-bit product shifted down is the floor itself.
template <Reach kReach>
struct Avx2Ops {
  using V = V8;
  static constexpr bool kIsSmall = kReach == Reach::kSmallProducts;
  static V S(V v) { return kReach == Reach::kSaturating ? saturate(v) : v; }
  static V P(V v, V k) {
    if constexpr (kIsSmall) {
      return _mm256_srai_epi32(_mm256_mullo_epi32(v, k), 12);
    } else {
      const V8 h = _mm256_srai_epi32(v, 12);
      const V8 l = _mm256_and_si256(v, _mm256_set1_epi32(0xFFF));
      return S(_mm256_add_epi32(_mm256_madd_epi16(h, k),
                                _mm256_srai_epi32(_mm256_madd_epi16(l, k), 12)));
    }
  }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V constant(int32_t k) { return kIsSmall ? _mm256_set1_epi32(k) : multiplier(k); }
};

// How far the block's two passes can reach.
Reach reach_of(const V8* c) {
  V8 sum = _mm256_setzero_si256();
  for (size_t r = 0; r < 4; ++r) {
    const V8 w = _mm256_loadu_si256(reinterpret_cast<const V8*>(kBound[2 * r]));
    sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_abs_epi16(c[r]), w));
  }
  __m128i total = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0x4E));
  total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0xB1));
  const int32_t bound = _mm_cvtsi128_si32(total);
  if (bound <= kSmallProductSumMax) return Reach::kSmallProducts;
  return bound <= kUnsaturatedSumMax ? Reach::kUnsaturated : Reach::kSaturating;
}

template <Reach kReach>
void both_passes(V8* x) {
  avx2::transpose_8x8_32(x);
  idct_flowgraph<Avx2Ops<kReach>>(x);
  // x[k] lane v: position k of row v; the column pass wants x[v] lane k.
  avx2::transpose_8x8_32(x);
  idct_flowgraph<Avx2Ops<kReach>>(x);
}

}  // namespace

void idct_block_avx2(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                     size_t stride) noexcept {
  // Dequantize (16-bit low product = the wrap, then the 12-bit clamp), two rows of coefficients
  // per vector; then widen times 128 into lanes of 32 bits.
  const V8 lo = _mm256_set1_epi16(-2048), hi = _mm256_set1_epi16(2047);
  V8 c[4];  // c[r] holds rows 2r and 2r + 1
  for (size_t r = 0; r < 4; ++r) {
    const V8 v = _mm256_loadu_si256(reinterpret_cast<const V8*>(coef + 16 * r));
    const V8 q = _mm256_loadu_si256(reinterpret_cast<const V8*>(dequant16 + 16 * r));
    c[r] = _mm256_min_epi16(_mm256_max_epi16(_mm256_mullo_epi16(v, q), lo), hi);
  }
  // Every term but the DC (the lowest 16-bit lane of c[0]).
  const V8 all_but_dc =
      _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const V8 any_ac = _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(c[0], all_but_dc), c[1]),
                                    _mm256_or_si256(c[2], c[3]));
  if (_mm256_testz_si256(any_ac, any_ac)) {
    // Only the DC term: a flat block.
    const int32_t dc = static_cast<int16_t>(_mm256_cvtsi256_si32(c[0]));
    const __m128i flat = _mm_set1_epi8(static_cast<char>(flat_block_sample(dc)));
    for (size_t row = 0; row < 8; ++row)
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + row * stride), flat);
    return;
  }
  // x[i] lane u: horizontal frequency u of row i; the row pass wants them transposed.
  V8 x[8];
  for (size_t r = 0; r < 4; ++r) {
    x[2 * r] = _mm256_slli_epi32(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(c[r])), 7);
    x[2 * r + 1] = _mm256_slli_epi32(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(c[r], 1)), 7);
  }
  switch (reach_of(c)) {
    case Reach::kSmallProducts:
      both_passes<Reach::kSmallProducts>(x);
      break;
    case Reach::kUnsaturated:
      both_passes<Reach::kUnsaturated>(x);
      break;
    case Reach::kSaturating:
      both_passes<Reach::kSaturating>(x);
      break;
  }
  // Descale by 1024 rounding halves up; then four rows at a time: the saturating packs to 8 bits
  // clamp to -128..127, the XOR with 0x80 unshifts, and one permute puts the rows in order.
  // ((x >> 9) + 1) >> 1 is (x + 512) >> 10: adding 512 carries into bit 10 exactly when bit 9 is
  // set, as adding 1 to x >> 9 does.
  const V8 half = _mm256_set1_epi32(512);
  const V8 unshift = _mm256_set1_epi8(static_cast<char>(0x80));
  // The packs leave four columns of each row per 128-bit half: row r's columns 0..3 in dword r,
  // columns 4..7 in dword 4 + r.
  const V8 row_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (size_t row = 0; row < 8; row += 4) {
    V8 d[4];
    for (size_t i = 0; i < 4; ++i) d[i] = _mm256_srai_epi32(_mm256_add_epi32(x[row + i], half), 10);
    const V8 bytes =
        _mm256_packs_epi16(_mm256_packs_epi32(d[0], d[1]), _mm256_packs_epi32(d[2], d[3]));
    const V8 rows = _mm256_permutevar8x32_epi32(_mm256_xor_si256(bytes, unshift), row_order);
    const __m128i first = _mm256_castsi256_si128(rows);
    const __m128i second = _mm256_extracti128_si256(rows, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + row * stride), first);
    _mm_storeh_pi(reinterpret_cast<__m64*>(out + (row + 1) * stride), _mm_castsi128_ps(first));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (row + 2) * stride), second);
    _mm_storeh_pi(reinterpret_cast<__m64*>(out + (row + 3) * stride), _mm_castsi128_ps(second));
  }
}

}  // namespace kestrum
