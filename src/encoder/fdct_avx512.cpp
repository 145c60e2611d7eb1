// SPDX-License-Identifier: MIT
// Forward DCT and quantization of two blocks at once on AVX-512 (F and BW), with the results of
// the scalar code: lanes 0-7 of every vector hold the first block, lanes 8-15 the second, so that
// each pass runs sixteen transforms in 32-bit lanes with the AVX2 kernel's exact products; then the
// descale, the reciprocal quantizer in 16-bit lanes and the zig-zag order as two-table word
// permutes. Compiled with -mavx512f -mavx512bw on x86-64 and i686 and chosen at run time
// (fdct_quant.cpp).
#include <array>

#include "common/avx512_transpose.h"  // with immintrin.h and the warnings it needs
#include "common/jpeg_tables.h"
#include "encoder/fdct_flowgraph.h"
#include "encoder/fdct_quant.h"

namespace kestrum {
namespace {

using V16 = __m512i;

struct Avx512Ops {
  using V = V16;
  // floor(v k / 4096) for |v| < 2^27, as the scalar code's 64-bit product gives it (a column's
  // v k can pass 2^31): v = 4096 h + l, 0 <= l < 4096, so the product is h k + floor(l k /
  // 4096); h and l each fit the low 16-bit half that _mm512_madd_epi16 multiplies by k (the
  // constant's high half is 0).
  static V M(V v, V k) {
    const V h = _mm512_srai_epi32(v, 12);
    const V l = _mm512_and_si512(v, _mm512_set1_epi32(0xFFF));
    return _mm512_add_epi32(_mm512_madd_epi16(h, k),
                            _mm512_srai_epi32(_mm512_madd_epi16(l, k), 12));
  }
  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V neg(V v) { return _mm512_sub_epi32(_mm512_setzero_si512(), v); }
  static V constant(int32_t k) {
    return _mm512_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k)));
  }
};

// The row pass over level-shifted samples not yet times 128: a sum u of its inputs stays within
// +-2048 and fits the low 16-bit half, so the exact floor(u k / 32) is one _mm512_madd_epi16 and
// a shift (|u k| < 2^24).
struct Avx512RowOps : Avx512Ops {
  static V M_of_inputs(V u, V k) { return _mm512_srai_epi32(_mm512_madd_epi16(u, k), 5); }
  static V times_128(V u) { return _mm512_slli_epi32(u, 7); }
};

// Where the quantized coefficients of one block sit before the zig-zag permute: 64 16-bit
// lanes of two vectors, the first holding rows 0-3 and the second rows 4-7. Each 128-bit lane
// of the pack of rows 2j and 2j + 1 holds four values of row 2j, then the same four columns of
// row 2j + 1; the lanes go columns 0-3, then 4-7.
constexpr size_t natural_of_lane(size_t lane) {
  const size_t pair = lane / 16;  // rows 2 pair and 2 pair + 1
  const size_t columns = lane / 8 % 2;
  const size_t i = lane % 8;
  return 8 * (2 * pair + i / 4) + 4 * columns + i % 4;
}

// The word-permute indices: lane j of index h takes zig-zag coefficient 32 h + j.
constexpr std::array<std::array<int16_t, 32>, 2> make_zigzag_index() {
  std::array<std::array<int16_t, 32>, 2> index{};
  for (size_t k = 0; k < 64; ++k) {
    for (size_t lane = 0; lane < 64; ++lane) {
      if (natural_of_lane(lane) == kZigZagToNatural[k]) {
        index[k / 32][k % 32] = static_cast<int16_t>(lane);
      }
    }
  }
  return index;
}

constexpr auto kZigZagIndex = make_zigzag_index();

}  // namespace

void fdct_quant_pair_avx512(const uint8_t* first, const uint8_t* second, size_t stride,
                            const int32_t* reciprocal_natural, int16_t* out_zz,
                            uint64_t* nonzero) noexcept {
  // x[r] lane c: sample - 128 of row r, column c of the first block (lanes 0-7) and the second
  // (lanes 8-15); the row pass wants x[c] lane r.
  V16 x[8];
  const V16 shift = _mm512_set1_epi32(128);
  for (size_t r = 0; r < 8; ++r) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + r * stride));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(second + r * stride));
    x[r] = _mm512_sub_epi32(_mm512_cvtepu8_epi32(_mm_unpacklo_epi64(a, b)), shift);
  }
  avx512::transpose_halves_8x8_32(x);
  fdct_flowgraph<Avx512RowOps>(x);  // x[u] lane r: horizontal frequency u of row r
  avx512::transpose_halves_8x8_32(x);
  fdct_flowgraph<Avx512Ops>(x);  // x[v] lane u: coefficient (v, u)
  // Descale by 128 rounding halves up: (x + 64) >> 7, which never needs the 16-bit wrap.
  const V16 half = _mm512_set1_epi32(64);
  for (size_t v = 0; v < 8; ++v) x[v] = _mm512_srai_epi32(_mm512_add_epi32(x[v], half), 7);
  // Quantize in 16-bit lanes, (floor(|c| R / 2^16) + 4) >> 3 with the sign of c. The reciprocals
  // (below 2^16) go through the same pack as the coefficients, each row in both halves.
  V16 rows[4];  // rows[j]: rows 2j and 2j + 1 of both blocks
  const V16 four = _mm512_set1_epi16(4);
  for (size_t j = 0; j < 4; ++j) {
    const V16 c = _mm512_packs_epi32(x[2 * j], x[2 * j + 1]);
    const V16 r = _mm512_packus_epi32(
        _mm512_broadcast_i64x4(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reciprocal_natural + 16 * j))),
        _mm512_broadcast_i64x4(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reciprocal_natural + 16 * j + 8))));
    const V16 q =
        _mm512_srli_epi16(_mm512_add_epi16(_mm512_mulhi_epu16(_mm512_abs_epi16(c), r), four), 3);
    rows[j] = _mm512_mask_sub_epi16(q, _mm512_movepi16_mask(c), _mm512_setzero_si512(), q);
  }
  const V16 index_low = _mm512_loadu_si512(reinterpret_cast<const void*>(kZigZagIndex[0].data()));
  const V16 index_high = _mm512_loadu_si512(reinterpret_cast<const void*>(kZigZagIndex[1].data()));
  for (size_t block = 0; block < 2; ++block) {
    // The block's rows 0-3 and 4-7: the low (first block) or high 256-bit halves of its packs.
    const V16 top = block == 0 ? _mm512_shuffle_i64x2(rows[0], rows[1], 0x44)
                               : _mm512_shuffle_i64x2(rows[0], rows[1], 0xEE);
    const V16 bottom = block == 0 ? _mm512_shuffle_i64x2(rows[2], rows[3], 0x44)
                                  : _mm512_shuffle_i64x2(rows[2], rows[3], 0xEE);
    const V16 zz_low = _mm512_permutex2var_epi16(top, index_low, bottom);
    const V16 zz_high = _mm512_permutex2var_epi16(top, index_high, bottom);
    _mm512_storeu_si512(reinterpret_cast<void*>(out_zz + 64 * block), zz_low);
    _mm512_storeu_si512(reinterpret_cast<void*>(out_zz + 64 * block + 32), zz_high);
    nonzero[block] = uint64_t{_mm512_test_epi16_mask(zz_low, zz_low)} |
                     uint64_t{_mm512_test_epi16_mask(zz_high, zz_high)} << 32;
  }
}

}  // namespace kestrum
