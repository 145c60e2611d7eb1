// SPDX-License-Identifier: MIT
// The double 8x8 transpose of 32-bit lanes that the AVX-512 transform kernels share, and their
// intrinsics. Include only from files compiled with -mavx512f, before anything that includes
// immintrin.h.
#pragma once

// GCC 12's AVX-512 intrinsics start their unmasked forms from an undefined vector made by
// self-initialization, which -Wuninitialized reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace kestrum::avx512 {

// Transposes the two 8x8 arrays of 32-bit values that eight vectors hold, one in each 256-bit
// half: lane c of r[k] becomes lane k of r[c] within each half.
inline void transpose_halves_8x8_32(__m512i* r) {
  const __m512i t0 = _mm512_unpacklo_epi32(r[0], r[1]), t1 = _mm512_unpackhi_epi32(r[0], r[1]);
  const __m512i t2 = _mm512_unpacklo_epi32(r[2], r[3]), t3 = _mm512_unpackhi_epi32(r[2], r[3]);
  const __m512i t4 = _mm512_unpacklo_epi32(r[4], r[5]), t5 = _mm512_unpackhi_epi32(r[4], r[5]);
  const __m512i t6 = _mm512_unpacklo_epi32(r[6], r[7]), t7 = _mm512_unpackhi_epi32(r[6], r[7]);
  const __m512i u0 = _mm512_unpacklo_epi64(t0, t2), u1 = _mm512_unpackhi_epi64(t0, t2);
  const __m512i u2 = _mm512_unpacklo_epi64(t1, t3), u3 = _mm512_unpackhi_epi64(t1, t3);
  const __m512i u4 = _mm512_unpacklo_epi64(t4, t6), u5 = _mm512_unpackhi_epi64(t4, t6);
  const __m512i u6 = _mm512_unpacklo_epi64(t5, t7), u7 = _mm512_unpackhi_epi64(t5, t7);
  // Within each half, the low 128 bits of u_i and u_{i+4} make row i, their high 128 bits row
  // i + 4 (64-bit lanes 0-7 from the first source, 8-15 from the second).
  const __m512i low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  r[0] = _mm512_permutex2var_epi64(u0, low, u4);
  r[1] = _mm512_permutex2var_epi64(u1, low, u5);
  r[2] = _mm512_permutex2var_epi64(u2, low, u6);
  r[3] = _mm512_permutex2var_epi64(u3, low, u7);
  r[4] = _mm512_permutex2var_epi64(u0, high, u4);
  r[5] = _mm512_permutex2var_epi64(u1, high, u5);
  r[6] = _mm512_permutex2var_epi64(u2, high, u6);
  r[7] = _mm512_permutex2var_epi64(u3, high, u7);
}

}  // namespace kestrum::avx512
