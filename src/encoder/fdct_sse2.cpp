// SPDX-License-Identifier: MIT
// Forward DCT and quantization of one block on SSE2, with the results of the scalar code: four
// transforms per pass in 32-bit lanes (each pass runs on two halves of the block), products
// split as 4096 h + l so that they floor exactly, the descale, the 16-bit wrap and the reciprocal
// quantizer per lane. The i686 DLL's fast kernel (SSE2 is its baseline); on x86-64 the AVX2
// kernel is chosen where the processor has it (fdct_quant.cpp).
#include <array>

#include "common/jpeg_tables.h"
#include "encoder/fdct_flowgraph.h"
#include "encoder/fdct_quant.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include "common/sse2_transpose.h"
#endif

namespace kestrum {

#if defined(__SSE2__)
namespace {

using Vec = __m128i;

struct Sse2Ops {
  using V = Vec;
  // floor(v k / 4096) for |v| < 2^27: v = 4096 h + l, 0 <= l < 4096, so the product is
  // h k + floor(l k / 4096); h and l each fit the low 16-bit half that _mm_madd_epi16 multiplies
  // by k (the constant's high half is 0). Transform values stay below 2^22, so the low 32 bits
  // the scalar product keeps are the whole product.
  static V M(V v, V k) {
    const V h = _mm_srai_epi32(v, 12);
    const V l = _mm_and_si128(v, _mm_set1_epi32(0xFFF));
    return _mm_add_epi32(_mm_madd_epi16(h, k), _mm_srai_epi32(_mm_madd_epi16(l, k), 12));
  }
  static V add(V a, V b) { return _mm_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V neg(V v) { return _mm_sub_epi32(_mm_setzero_si128(), v); }
  static V constant(int32_t k) {
    return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k)));
  }
};

// The row pass over level-shifted samples not yet times 128: a sum u of its inputs stays within
// +-2048 and fits the low 16-bit half, so the exact floor(u k / 32) is one _mm_madd_epi16 and a
// shift (|u k| < 2^24).
struct Sse2RowOps : Sse2Ops {
  static V M_of_inputs(V u, V k) { return _mm_srai_epi32(_mm_madd_epi16(u, k), 5); }
  static V times_128(V u) { return _mm_slli_epi32(u, 7); }
};

// Transposes the 8x8 matrix held as two halves of eight vectors: half[h][k] lane j is element
// (4h + j, k). Afterwards out[h][k] lane j is element (4h + j, k) of the transposed matrix.
void transpose_halves(Vec (&half)[2][8]) {
  for (Vec* x : {half[0], half[1]}) {
    sse2::transpose_4x4(x[0], x[1], x[2], x[3]);
    sse2::transpose_4x4(x[4], x[5], x[6], x[7]);
  }
  // The off-diagonal 4x4 blocks trade places.
  for (int k = 0; k < 4; ++k) {
    const Vec t = half[0][4 + k];
    half[0][4 + k] = half[1][k];
    half[1][k] = t;
  }
}

// |c| * r + 2^18 >> 19 with the sign of c, per lane; |c| < 2^15 and r < 2^16, so the unsigned
// 32-bit products of _mm_mul_epu32 hold the whole value.
Vec quantize_lanes(Vec c, Vec r) {
  const Vec sign = _mm_srai_epi32(c, 31);
  const Vec magnitude = _mm_sub_epi32(_mm_xor_si128(c, sign), sign);
  const Vec even = _mm_mul_epu32(magnitude, r);
  const Vec odd = _mm_mul_epu32(_mm_srli_epi64(magnitude, 32), _mm_srli_epi64(r, 32));
  // The low halves of the products of lanes 0, 2 (even) and 1, 3 (odd), interleaved back.
  const Vec even_lanes = _mm_shuffle_epi32(even, 0x08);
  const Vec odd_lanes = _mm_shuffle_epi32(odd, 0x08);
  const Vec whole = _mm_unpacklo_epi32(even_lanes, odd_lanes);
  const Vec q = _mm_srli_epi32(_mm_add_epi32(whole, _mm_set1_epi32(kQuantRoundingBias)), 19);
  return _mm_sub_epi32(_mm_xor_si128(q, sign), sign);
}

}  // namespace

uint64_t fdct_quant_block_sse2(const uint8_t* samples, size_t stride,
                               const int32_t* reciprocal_natural, int16_t* out_zz) noexcept {
  // x[h][c] lane j: sample - 128 of row 4h + j, column c (the row pass's input divided by 128).
  Vec x[2][8];
  const Vec zero = _mm_setzero_si128();
  const Vec shift = _mm_set1_epi32(128);
  for (int h = 0; h < 2; ++h) {
    for (int j = 0; j < 4; ++j) {
      const size_t r = static_cast<size_t>(4 * h + j);
      const Vec bytes = _mm_loadl_epi64(reinterpret_cast<const Vec*>(samples + r * stride));
      const Vec words = _mm_unpacklo_epi8(bytes, zero);
      // Row r as two vectors of four columns; gathered into columns by the transposes below.
      x[h][j] = _mm_sub_epi32(_mm_unpacklo_epi16(words, zero), shift);
      x[h][4 + j] = _mm_sub_epi32(_mm_unpackhi_epi16(words, zero), shift);
    }
    // x[h][0..3] lane c hold rows 4h..4h+3 at columns 0..3; make x[h][c] lane j = row 4h + j.
    sse2::transpose_4x4(x[h][0], x[h][1], x[h][2], x[h][3]);
    sse2::transpose_4x4(x[h][4], x[h][5], x[h][6], x[h][7]);
  }
  fdct_flowgraph<Sse2RowOps>(x[0]);  // x[h][u] lane j: horizontal frequency u of row 4h + j
  fdct_flowgraph<Sse2RowOps>(x[1]);
  transpose_halves(x);            // x[g][r] lane i: frequency 4g + i of row r
  fdct_flowgraph<Sse2Ops>(x[0]);  // x[g][v] lane i: coefficient (v, 4g + i)
  fdct_flowgraph<Sse2Ops>(x[1]);
  alignas(16) std::array<int16_t, 64> natural;
  const Vec half = _mm_set1_epi32(64);
  for (size_t v = 0; v < 8; ++v) {
    Vec q[2];
    for (size_t g = 0; g < 2; ++g) {
      // Descale by 128 rounding halves up ((x + 64) >> 7), wrap to 16 bits, quantize.
      Vec c = _mm_srai_epi32(_mm_add_epi32(x[g][v], half), 7);
      c = _mm_srai_epi32(_mm_slli_epi32(c, 16), 16);
      const Vec r =
          _mm_loadu_si128(reinterpret_cast<const Vec*>(reciprocal_natural + 8 * v + 4 * g));
      q[g] = quantize_lanes(c, r);
    }
    _mm_store_si128(reinterpret_cast<Vec*>(natural.data() + 8 * v), _mm_packs_epi32(q[0], q[1]));
  }
  for (size_t k = 0; k < 64; ++k) out_zz[k] = natural[kZigZagToNatural[k]];
  // nonzero_mask eight coefficients at a time.
  uint64_t zeros = 0;
  for (int i = 0; i < 4; ++i) {
    const Vec lo = _mm_loadu_si128(reinterpret_cast<const Vec*>(out_zz + 16 * i));
    const Vec hi = _mm_loadu_si128(reinterpret_cast<const Vec*>(out_zz + 16 * i + 8));
    const Vec eq = _mm_packs_epi16(_mm_cmpeq_epi16(lo, zero), _mm_cmpeq_epi16(hi, zero));
    zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(eq))) << (16 * i);
  }
  return ~zeros;
}

#else

uint64_t fdct_quant_block_sse2(const uint8_t* samples, size_t stride,
                               const int32_t* reciprocal_natural, int16_t* out_zz) noexcept {
  return fdct_quant_block(samples, stride, reciprocal_natural, out_zz);
}

#endif

}  // namespace kestrum
