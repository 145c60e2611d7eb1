// SPDX-License-Identifier: MIT
// The inverse DCT of idct.cpp on AVX-512 (F and BW), two blocks a call: lanes 0-7 of every vector
// hold the first block, lanes 8-15 the second, each pass sixteen transforms in 32-bit lanes with
// the AVX2 kernel's arithmetic (22-bit saturation by min/max, the exact floor of the 12-bit
// products, 32-bit products where the pair's bound allows). Compiled with -mavx512f -mavx512bw on
// x86-64 and i686 and chosen at run time (idct_dispatch.cpp).

#include <cstdint>
#include <initializer_list>

#include "common/avx512_transpose.h"  // with immintrin.h and the warnings it needs
#include "common/fixed_point.h"
#include "decoder/idct.h"
#include "decoder/idct_bounds.h"
#include "decoder/idct_flowgraph.h"

namespace kestrum {
namespace {

using V16 = __m512i;

// P: mul_q12_sat22 per lane, as the AVX2 kernel computes it.
template <Reach kReach>
struct Avx512Ops {
  using V = V16;
  static constexpr bool kIsSmall = kReach == Reach::kSmallProducts;
  static V S(V v) {
    if constexpr (kReach == Reach::kSaturating) {
      return _mm512_min_epi32(_mm512_max_epi32(v, _mm512_set1_epi32(kSat22Min)),
                              _mm512_set1_epi32(kSat22Max));
    } else {
      return v;
    }
  }
  static V P(V v, V k) {
    if constexpr (kIsSmall) {
      return _mm512_srai_epi32(_mm512_mullo_epi32(v, k), 12);
    } else {
      const V h = _mm512_srai_epi32(v, 12);
      const V l = _mm512_and_si512(v, _mm512_set1_epi32(0xFFF));
      return S(_mm512_add_epi32(_mm512_madd_epi16(h, k),
                                _mm512_srai_epi32(_mm512_madd_epi16(l, k), 12)));
    }
  }
  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V constant(int32_t k) {
    return _mm512_set1_epi32(kIsSmall ? k : static_cast<int32_t>(static_cast<uint16_t>(k)));
  }
};

template <Reach kReach>
void both_passes(V16* x) {
  avx512::transpose_halves_8x8_32(x);
  idct_flowgraph<Avx512Ops<kReach>>(x);
  avx512::transpose_halves_8x8_32(x);
  idct_flowgraph<Avx512Ops<kReach>>(x);
}

// Stores the low and high eight bytes of a 128-bit lane as two rows.
inline void store_two_rows(__m128i rows, uint8_t* first, uint8_t* second) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(first), rows);
  _mm_storeh_pi(reinterpret_cast<__m64*>(second), _mm_castsi128_ps(rows));
}

}  // namespace

void idct_pair_avx512(const int16_t* coef, const int16_t* dequant_first,
                      const int16_t* dequant_second, uint8_t* out_first, uint8_t* out_second,
                      size_t stride) noexcept {
  // Row r of both blocks in one vector of 16-bit lanes: dequantized (the 16-bit low product is
  // the wrap, then the 12-bit clamp), then widened times 128 into 32-bit lanes.
  const __m256i lo = _mm256_set1_epi16(-2048), hi = _mm256_set1_epi16(2047);
  __m256i c[8];
  for (size_t r = 0; r < 8; ++r) {
    const __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * r))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 64 + 8 * r)), 1);
    const __m256i q = _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(dequant_first + 8 * r))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(dequant_second + 8 * r)), 1);
    c[r] = _mm256_min_epi16(_mm256_max_epi16(_mm256_mullo_epi16(v, q), lo), hi);
  }
  // Both blocks flat (every term but the DC zero): the DC values alone give the samples.
  const __m256i all_but_dc =
      _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, -1, -1);
  __m256i rest = _mm256_and_si256(c[0], all_but_dc);
  for (size_t r = 1; r < 8; ++r) rest = _mm256_or_si256(rest, c[r]);
  if (_mm256_testz_si256(rest, rest)) {
    const int32_t dc_first = static_cast<int16_t>(_mm256_extract_epi16(c[0], 0));
    const int32_t dc_second = static_cast<int16_t>(_mm256_extract_epi16(c[0], 8));
    const __m128i flat_first = _mm_set1_epi8(static_cast<char>(flat_block_sample(dc_first)));
    const __m128i flat_second = _mm_set1_epi8(static_cast<char>(flat_block_sample(dc_second)));
    for (size_t row = 0; row < 8; ++row) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out_first + row * stride), flat_first);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out_second + row * stride), flat_second);
    }
    return;
  }
  V16 x[8];
  __m256i bound = _mm256_setzero_si256();
  for (size_t r = 0; r < 8; ++r) {
    x[r] = _mm512_slli_epi32(_mm512_cvtepi16_epi32(c[r]), 7);
    const __m128i w = _mm_load_si128(reinterpret_cast<const __m128i*>(kBound[r]));
    bound = _mm256_add_epi32(
        bound, _mm256_madd_epi16(_mm256_abs_epi16(c[r]), _mm256_broadcastsi128_si256(w)));
  }
  // The larger of the two blocks' bounds: lanes 0-3 of bound are the first block's, 4-7 the
  // second's.
  __m128i first_sum = _mm256_castsi256_si128(bound);
  __m128i second_sum = _mm256_extracti128_si256(bound, 1);
  first_sum = _mm_add_epi32(first_sum, _mm_shuffle_epi32(first_sum, 0x4E));
  first_sum = _mm_add_epi32(first_sum, _mm_shuffle_epi32(first_sum, 0xB1));
  second_sum = _mm_add_epi32(second_sum, _mm_shuffle_epi32(second_sum, 0x4E));
  second_sum = _mm_add_epi32(second_sum, _mm_shuffle_epi32(second_sum, 0xB1));
  const int32_t largest = _mm_cvtsi128_si32(_mm_max_epi32(first_sum, second_sum));
  if (largest <= kSmallProductSumMax) {
    both_passes<Reach::kSmallProducts>(x);
  } else if (largest <= kUnsaturatedSumMax) {
    both_passes<Reach::kUnsaturated>(x);
  } else {
    both_passes<Reach::kSaturating>(x);
  }
  // Descale by 1024 rounding halves up ((x + 512) >> 10); four rows at a time the saturating
  // packs clamp to -128..127, the XOR with 0x80 unshifts, and one permute puts each block's four
  // rows in order: the packs leave, in each 128-bit lane, four columns of rows 0-3 (lanes 0 and 2
  // columns 0-3 of the first and second block, lanes 1 and 3 columns 4-7).
  const V16 half = _mm512_set1_epi32(512);
  const V16 unshift = _mm512_set1_epi8(static_cast<char>(0x80));
  const V16 row_order = _mm512_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  for (size_t row = 0; row < 8; row += 4) {
    V16 d[4];
    for (size_t i = 0; i < 4; ++i) d[i] = _mm512_srai_epi32(_mm512_add_epi32(x[row + i], half), 10);
    const V16 bytes =
        _mm512_packs_epi16(_mm512_packs_epi32(d[0], d[1]), _mm512_packs_epi32(d[2], d[3]));
    const V16 rows = _mm512_permutexvar_epi32(row_order, _mm512_xor_si512(bytes, unshift));
    store_two_rows(_mm512_castsi512_si128(rows), out_first + row * stride,
                   out_first + (row + 1) * stride);
    store_two_rows(_mm512_extracti32x4_epi32(rows, 1), out_first + (row + 2) * stride,
                   out_first + (row + 3) * stride);
    store_two_rows(_mm512_extracti32x4_epi32(rows, 2), out_second + row * stride,
                   out_second + (row + 1) * stride);
    store_two_rows(_mm512_extracti32x4_epi32(rows, 3), out_second + (row + 2) * stride,
                   out_second + (row + 3) * stride);
  }
}

}  // namespace kestrum
