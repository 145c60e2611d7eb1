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

// The zig-zag reorder as byte shuffles within 128-bit halves. The quantized block sits in four
// vectors of two rows (vector i: rows 2i and 2i + 1), and so does the output (vector j: zig-zag
// positions 16j..16j + 15, outputs 2j and 2j + 1 of eight values). A step shuffles one source
// vector, straight (lower half row 2i into output 2j, upper half row 2i + 1 into output 2j + 1)
// or with its halves swapped (row 2i + 1 into output 2j, row 2i into 2j + 1), and ORs it into
// output vector j (0x80 selects zero).
struct ZigZagStep {
  uint8_t output, source;
  bool is_swapped;
  std::array<uint8_t, 32> shuffle;
};

// The step's shuffle; false where it would select nothing.
constexpr bool make_step(size_t output, size_t source, bool is_swapped, ZigZagStep* step) {
  bool selects = false;
  for (size_t half = 0; half < 2; ++half) {
    const size_t out = 2 * output + half;
    const size_t row = 2 * source + (is_swapped ? 1 - half : half);
    for (size_t j = 0; j < 8; ++j) {
      const size_t natural = kZigZagToNatural[8 * out + j];
      const bool here = natural / 8 == row;
      selects = selects || here;
      step->shuffle[16 * half + 2 * j] = here ? static_cast<uint8_t>(2 * (natural % 8)) : 0x80;
      step->shuffle[16 * half + 2 * j + 1] =
          here ? static_cast<uint8_t>(2 * (natural % 8) + 1) : 0x80;
    }
  }
  step->output = static_cast<uint8_t>(output);
  step->source = static_cast<uint8_t>(source);
  step->is_swapped = is_swapped;
  return selects;
}

constexpr size_t zigzag_step_count() {
  size_t n = 0;
  for (size_t o = 0; o < 4; ++o) {
    for (size_t i = 0; i < 8; ++i) {
      ZigZagStep step{};
      n += make_step(o, i / 2, i % 2 == 1, &step) ? 1u : 0u;
    }
  }
  return n;
}

constexpr std::array<ZigZagStep, zigzag_step_count()> make_zigzag_steps() {
  std::array<ZigZagStep, zigzag_step_count()> steps{};
  size_t n = 0;
  for (size_t o = 0; o < 4; ++o) {
    for (size_t i = 0; i < 8; ++i) {
      ZigZagStep step{};
      if (make_step(o, i / 2, i % 2 == 1, &step)) steps[n++] = step;
    }
  }
  return steps;
}

constexpr auto kZigZagSteps = make_zigzag_steps();
static_assert(kZigZagSteps.size() == 24);

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
  // floors' few units, far below 2^15. ((x >> 6) + 1) >> 1 is (x + 64) >> 7.
  const V8 half = _mm256_set1_epi32(64);
  for (size_t v = 0; v < 8; ++v) x[v] = _mm256_srai_epi32(_mm256_add_epi32(x[v], half), 7);
  // Quantize two rows a vector in 16-bit lanes: (|c| R + 2^18) >> 19 is (floor(|c| R / 2^16) + 4)
  // >> 3, as the low 16 bits of |c| R cannot carry into bit 19 past a multiple of 2^19 (R <
  // 2^16, the reciprocals of 1..255).
  V8 rows[8];  // rows[2i]: rows 2i and 2i + 1; rows[2i + 1]: the same with halves swapped
  const V8 four = _mm256_set1_epi16(4);
  for (size_t v = 0; v < 8; v += 2) {
    // packs interleaves the 128-bit halves: lane order 0 2 1 3 puts row v, then row v + 1.
    const V8 c = _mm256_permute4x64_epi64(_mm256_packs_epi32(x[v], x[v + 1]), 0xD8);
    const V8 r32a = _mm256_loadu_si256(reinterpret_cast<const V8*>(reciprocal_natural + 8 * v));
    const V8 r32b = _mm256_loadu_si256(reinterpret_cast<const V8*>(reciprocal_natural + 8 * v + 8));
    const V8 r = _mm256_permute4x64_epi64(_mm256_packus_epi32(r32a, r32b), 0xD8);
    const V8 q =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mulhi_epu16(_mm256_abs_epi16(c), r), four), 3);
    rows[v] = _mm256_sign_epi16(q, c);
    rows[v + 1] = _mm256_permute2x128_si256(rows[v], rows[v], 0x01);
  }
  V8 zz[4] = {};
#pragma GCC unroll 24
  for (const ZigZagStep& step : kZigZagSteps) {
    const V8 select = _mm256_loadu_si256(reinterpret_cast<const V8*>(step.shuffle.data()));
    const V8 source = rows[2 * step.source + (step.is_swapped ? 1 : 0)];
    zz[step.output] = _mm256_or_si256(zz[step.output], _mm256_shuffle_epi8(source, select));
  }
  // The mask from the same registers: a saturating pack keeps a value's being zero or not; the
  // pack interleaves halves, so lane order 0 2 1 3 puts the positions in order.
  uint64_t zero = 0;
  for (size_t j = 0; j < 4; j += 2) {
    _mm256_storeu_si256(reinterpret_cast<V8*>(out_zz + 16 * j), zz[j]);
    _mm256_storeu_si256(reinterpret_cast<V8*>(out_zz + 16 * j + 16), zz[j + 1]);
    const V8 bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(zz[j], zz[j + 1]), 0xD8);
    const auto is_zero = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_setzero_si256())));
    zero |= uint64_t{is_zero} << (16 * j);
  }
  return ~zero;
}

}  // namespace kestrum
