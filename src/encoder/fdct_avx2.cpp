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
    return _mm256_add_epi32(_mm256_madd_epi16(h, k),
                            _mm256_srai_epi32(_mm256_madd_epi16(l, k), 12));
  }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V neg(V v) { return _mm256_sub_epi32(_mm256_setzero_si256(), v); }
  static V constant(int32_t k) {
    return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k)));
  }
};

// The row pass over level-shifted samples not yet times 128: a sum u of its inputs stays within
// +-2048 and fits the low 16-bit half, so the exact floor(u k / 32) is one _mm256_madd_epi16 and a
// shift (|u k| < 2^24).
struct Avx2RowOps : Avx2Ops {
  static V M_of_inputs(V u, V k) { return _mm256_srai_epi32(_mm256_madd_epi16(u, k), 5); }
  static V times_128(V u) { return _mm256_slli_epi32(u, 7); }
};

// The zig-zag reorder as byte shuffles: output vector o (zig-zag positions 8o..8o+7) is the OR of
// the natural-order rows its values come from, each row shuffled into place (0x80 selects zero).
struct ZigZagStep {
  uint8_t output, row;
  std::array<uint8_t, 16> shuffle;
};

constexpr bool takes_from(size_t output, size_t row) {
  for (size_t j = 0; j < 8; ++j) {
    if (kZigZagToNatural[8 * output + j] / 8 == row) return true;
  }
  return false;
}

constexpr size_t zigzag_step_count() {
  size_t n = 0;
  for (size_t o = 0; o < 8; ++o) {
    for (size_t r = 0; r < 8; ++r) n += takes_from(o, r) ? 1u : 0u;
  }
  return n;
}

constexpr std::array<ZigZagStep, zigzag_step_count()> make_zigzag_steps() {
  std::array<ZigZagStep, zigzag_step_count()> steps{};
  size_t n = 0;
  for (size_t o = 0; o < 8; ++o) {
    for (size_t r = 0; r < 8; ++r) {
      if (!takes_from(o, r)) continue;
      ZigZagStep& step = steps[n++];
      step.output = static_cast<uint8_t>(o);
      step.row = static_cast<uint8_t>(r);
      for (size_t j = 0; j < 8; ++j) {
        const size_t natural = kZigZagToNatural[8 * o + j];
        const bool here = natural / 8 == r;
        step.shuffle[2 * j] = here ? static_cast<uint8_t>(2 * (natural % 8)) : 0x80;
        step.shuffle[2 * j + 1] = here ? static_cast<uint8_t>(2 * (natural % 8) + 1) : 0x80;
      }
    }
  }
  return steps;
}

constexpr auto kZigZagSteps = make_zigzag_steps();
static_assert(kZigZagSteps.size() == 36);  // 3 + 5 + 6 + 4 + 4 + 6 + 5 + 3 rows per output vector

}  // namespace

uint64_t fdct_quant_block_avx2(const uint8_t* samples, size_t stride,
                               const int32_t* reciprocal_natural, int16_t* out_zz) noexcept {
  // x[r] lane c: sample - 128 of row r, column c (the row pass's inputs divided by 128); the row
  // pass wants x[c] lane r.
  V8 x[8];
  const V8 shift = _mm256_set1_epi32(128);
  for (size_t r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + r * stride));
    x[r] = _mm256_sub_epi32(_mm256_cvtepu8_epi32(row), shift);
  }
  avx2::transpose_8x8_32(x);
  fdct_flowgraph<Avx2RowOps>(x);  // x[u] lane r: horizontal frequency u of row r
  avx2::transpose_8x8_32(x);
  fdct_flowgraph<Avx2Ops>(x);  // x[v] lane u: coefficient (v, u)
  // Descale by 128 rounding halves up. The reference then wraps c to 16 bits, which never changes
  // it: |c| is at most 128 times the largest sum of a basis function's magnitudes (8192) plus the
  // floors' few units, far below 2^15.
  const V8 one = _mm256_set1_epi32(1);
  for (size_t v = 0; v < 8; ++v)
    x[v] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(x[v], 6), one), 1);
  // Quantize two rows a vector in 16-bit lanes: (|c| R + 2^18) >> 19 is (floor(|c| R / 2^16) + 4)
  // >> 3, as the low 16 bits of |c| R cannot carry into bit 19 past a multiple of 2^19 (R <
  // 2^16, the reciprocals of 1..255).
  __m128i rows[8];
  const V8 four = _mm256_set1_epi16(4);
  for (size_t v = 0; v < 8; v += 2) {
    // packs interleaves the 128-bit halves: lane order 0 2 1 3 puts row v, then row v + 1.
    const V8 c = _mm256_permute4x64_epi64(_mm256_packs_epi32(x[v], x[v + 1]), 0xD8);
    const V8 r32a = _mm256_loadu_si256(reinterpret_cast<const V8*>(reciprocal_natural + 8 * v));
    const V8 r32b = _mm256_loadu_si256(reinterpret_cast<const V8*>(reciprocal_natural + 8 * v + 8));
    const V8 r = _mm256_permute4x64_epi64(_mm256_packus_epi32(r32a, r32b), 0xD8);
    const V8 q =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mulhi_epu16(_mm256_abs_epi16(c), r), four), 3);
    const V8 signed_q = _mm256_sign_epi16(q, c);
    rows[v] = _mm256_castsi256_si128(signed_q);
    rows[v + 1] = _mm256_extracti128_si256(signed_q, 1);
  }
  __m128i zz[8] = {};
#pragma GCC unroll 36
  for (const ZigZagStep& step : kZigZagSteps) {
    const __m128i select = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.shuffle.data()));
    zz[step.output] = _mm_or_si128(zz[step.output], _mm_shuffle_epi8(rows[step.row], select));
  }
  // The mask from the same registers: a saturating pack keeps a value's being zero or not.
  uint64_t zero = 0;
  for (size_t o = 0; o < 8; o += 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_zz + 8 * o), zz[o]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_zz + 8 * o + 8), zz[o + 1]);
    const __m128i bytes = _mm_packs_epi16(zz[o], zz[o + 1]);
    const auto is_zero =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
    zero |= uint64_t{is_zero} << (8 * o);
  }
  return ~zero;
}

}  // namespace kestrum
