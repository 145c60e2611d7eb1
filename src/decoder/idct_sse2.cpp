// SPDX-License-Identifier: MIT
// The inverse DCT of idct.cpp on SSE2, four rows or columns per vector, with the same results:
// every sum and product is saturated to 22 bits as in idct_1d, and the products floor exactly.
#include <array>
#include <cstring>

#include "common/fixed_point.h"
#include "decoder/idct.h"
#include "decoder/idct_flowgraph.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include "common/sse2_transpose.h"
#endif

namespace kestrum {

#if defined(__SSE2__)
namespace {

using Vec = __m128i;

// Clamps each lane to the 22-bit range (SSE2 has no 32-bit min/max, so compare and select).
inline Vec saturate(Vec v) {
  const Vec max = _mm_set1_epi32(kSat22Max);
  const Vec min = _mm_set1_epi32(kSat22Min);
  const Vec above = _mm_cmpgt_epi32(v, max);
  v = _mm_or_si128(_mm_andnot_si128(above, v), _mm_and_si128(above, max));
  const Vec below = _mm_cmplt_epi32(v, min);
  return _mm_or_si128(_mm_andnot_si128(below, v), _mm_and_si128(below, min));
}

// A 12-bit constant as the 16-bit pair (k, 0) in every 32-bit lane, for _mm_madd_epi16.
inline Vec multiplier(int32_t k) {
  return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k)));
}

// mul_q12_sat22 per lane for |v| < 2^21 (every operand is saturated first). With v = 4096 h + l,
// 0 <= l < 4096: floor(v k / 4096) = h k + floor(l k / 4096), and h (10 bits) and l (12 bits)
// both fit the low 16-bit half that _mm_madd_epi16 multiplies by k (the high half meets 0).
inline Vec product(Vec v, Vec k) {
  const Vec h = _mm_srai_epi32(v, 12);
  const Vec l = _mm_and_si128(v, _mm_set1_epi32(0xFFF));
  return saturate(_mm_add_epi32(_mm_madd_epi16(h, k), _mm_srai_epi32(_mm_madd_epi16(l, k), 12)));
}

struct Sse2Ops {
  using V = Vec;
  static V S(V v) { return saturate(v); }
  static V P(V v, V k) { return product(v, k); }
  static V add(V a, V b) { return _mm_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V constant(int32_t k) { return multiplier(k); }
};

// Transposes eight rows of eight 16-bit values.
inline void transpose_8x8_16(Vec* r) {
  const Vec a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const Vec a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const Vec a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const Vec a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const Vec b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const Vec b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const Vec b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const Vec b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

}  // namespace

void idct_block_sse2(const int16_t* coef, const int16_t* dequant16, uint8_t* out,
                     size_t stride) noexcept {
  // Dequantize eight coefficients per vector: the 16-bit low product is the wrap, then the
  // 12-bit clamp; then the columns become vectors (lanes = rows) for the row pass.
  Vec c[8];
  Vec any_ac = _mm_setzero_si128();
  const Vec lo = _mm_set1_epi16(-2048), hi = _mm_set1_epi16(2047);
  for (int i = 0; i < 8; ++i) {
    const Vec v = _mm_loadu_si128(reinterpret_cast<const Vec*>(coef + 8 * i));
    const Vec q = _mm_loadu_si128(reinterpret_cast<const Vec*>(dequant16 + 8 * i));
    c[i] = _mm_min_epi16(_mm_max_epi16(_mm_mullo_epi16(v, q), lo), hi);
    any_ac = _mm_or_si128(any_ac, i == 0 ? _mm_srli_si128(c[0], 2) : c[i]);
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(any_ac, _mm_setzero_si128())) == 0xFFFF) {
    // Only the DC term: a flat block.
    const int32_t dc = static_cast<int16_t>(_mm_cvtsi128_si32(c[0]));
    const Vec flat = _mm_set1_epi8(static_cast<char>(flat_block_sample(dc)));
    for (size_t row = 0; row < 8; ++row)
      _mm_storel_epi64(reinterpret_cast<Vec*>(out + row * stride), flat);
    return;
  }
  transpose_8x8_16(c);
  // Rows 0..3 and 4..7: widen to 32 bits times 128 ((v << 16) >> 9 is v * 128 exactly).
  Vec top[8], bottom[8];
  const Vec zero = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    top[i] = _mm_srai_epi32(_mm_unpacklo_epi16(zero, c[i]), 9);
    bottom[i] = _mm_srai_epi32(_mm_unpackhi_epi16(zero, c[i]), 9);
  }
  idct_flowgraph<Sse2Ops>(top);
  idct_flowgraph<Sse2Ops>(bottom);
  // top[k] lane r holds position k of row r. Columns pass: left[r] lane c = row r, column c.
  Vec left[8] = {top[0], top[1], top[2], top[3], bottom[0], bottom[1], bottom[2], bottom[3]};
  Vec right[8] = {top[4], top[5], top[6], top[7], bottom[4], bottom[5], bottom[6], bottom[7]};
  sse2::transpose_4x4(left[0], left[1], left[2], left[3]);
  sse2::transpose_4x4(left[4], left[5], left[6], left[7]);
  sse2::transpose_4x4(right[0], right[1], right[2], right[3]);
  sse2::transpose_4x4(right[4], right[5], right[6], right[7]);
  idct_flowgraph<Sse2Ops>(left);
  idct_flowgraph<Sse2Ops>(right);
  // Descale by 1024 rounding halves up ((x + 512) >> 10, the same as ((x >> 9) + 1) >> 1), clamp
  // to -128..127, unshift, store a row at a time.
  const Vec half = _mm_set1_epi32(512);
  const Vec smin = _mm_set1_epi16(-128), smax = _mm_set1_epi16(127), shift = _mm_set1_epi16(128);
  for (int row = 0; row < 8; ++row) {
    const Vec l = _mm_srai_epi32(_mm_add_epi32(left[row], half), 10);
    const Vec r = _mm_srai_epi32(_mm_add_epi32(right[row], half), 10);
    const Vec s =
        _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(l, r), smin), smax), shift);
    _mm_storel_epi64(reinterpret_cast<Vec*>(out + static_cast<size_t>(row) * stride),
                     _mm_packus_epi16(s, s));
  }
}

#endif

}  // namespace kestrum
