// SPDX-License-Identifier: MIT
// Forward DCT and quantization of one block on AVX2, with the results of the scalar code: eight
// transforms per pass in 32-bit lanes, products split as 4096 h + l so that they floor exactly,
// the descale, the 16-bit wrap and the reciprocal quantizer per lane. Compiled with -mavx2 and
// chosen at run time (fdct_quant.cpp).
#include <immintrin.h>

#include <array>

#include "common/avx2_transpose.h"
#include "common/jpeg_tables.h"
#include "encoder/fdct_flowgraph.h"
#include "encoder/fdct_quant.h"

namespace kestrum {
namespace {

using V8 = __m256i;

struct Avx2Ops {
  using V = V8;
  // floor(v k / 4096) for |v| < 2^27: v = 4096 h + l, 0 <= l < 4096, so the product is
  // h k + floor(l k / 4096); h and l each fit the low 16-bit half that _mm256_madd_epi16
  // multiplies by k (the constant's high half is 0). Transform values stay below 2^22, so the
  // low 32 bits the scalar product keeps are the whole product.
  static V M(V v, V k) {
    const V h = _mm256_srai_epi32(v, 12);
    const V l = _mm256_and_si256(v, _mm256_set1_epi32(0xFFF));
    return _mm256_add_epi32(_mm256_madd_epi16(h, k), _mm256_srai_epi32(_mm256_madd_epi16(l, k), 12));
  }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V neg(V v) { return _mm256_sub_epi32(_mm256_setzero_si256(), v); }
  static V constant(int32_t k) { return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k))); }
};

}  // namespace

void fdct_quant_block_avx2(const uint8_t* samples, size_t stride, const int32_t* reciprocal_natural,
                           int16_t* out_zz) noexcept {
  // x[r] lane c: (sample - 128) * 128 of row r, column c; the row pass wants x[c] lane r.
  V8 x[8];
  const V8 shift = _mm256_set1_epi32(128);
  for (size_t r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + r * stride));
    x[r] = _mm256_slli_epi32(_mm256_sub_epi32(_mm256_cvtepu8_epi32(row), shift), 7);
  }
  avx2::transpose_8x8_32(x);
  fdct_flowgraph<Avx2Ops>(x);  // x[u] lane r: horizontal frequency u of row r
  avx2::transpose_8x8_32(x);
  fdct_flowgraph<Avx2Ops>(x);  // x[v] lane u: coefficient (v, u)
  alignas(32) std::array<int16_t, 64> natural;
  const V8 one = _mm256_set1_epi32(1), half = _mm256_set1_epi32(262144);
  for (size_t v = 0; v < 8; ++v) {
    // Descale by 128 rounding halves up, wrap to 16 bits, then |c| * R + 2^18 >> 19 with c's sign.
    V8 c = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(x[v], 6), one), 1);
    c = _mm256_srai_epi32(_mm256_slli_epi32(c, 16), 16);
    const V8 r = _mm256_loadu_si256(reinterpret_cast<const V8*>(reciprocal_natural + 8 * v));
    const V8 q = _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_abs_epi32(c), r), half), 19);
    const V8 signed_q = _mm256_sign_epi32(q, c);
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(signed_q), _mm256_extracti128_si256(signed_q, 1));
    _mm_store_si128(reinterpret_cast<__m128i*>(natural.data() + 8 * v), packed);
  }
  for (size_t k = 0; k < 64; ++k) out_zz[k] = natural[kZigZagToNatural[k]];
}

}  // namespace kestrum
