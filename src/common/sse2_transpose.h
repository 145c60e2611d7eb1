// SPDX-License-Identifier: MIT
// The 4x4 transpose of 32-bit lanes that the SSE2 transform kernels share. Include only where
// __SSE2__ is defined.
#pragma once

#include <emmintrin.h>

namespace kestrum::sse2 {

// Transposes the 4x4 block of 32-bit lanes a..d in place: lane j of the k-th vector becomes lane
// k of the j-th.
inline void transpose_4x4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpacklo_epi32(c, d);
  const __m128i t2 = _mm_unpackhi_epi32(a, b), t3 = _mm_unpackhi_epi32(c, d);
  a = _mm_unpacklo_epi64(t0, t1);
  b = _mm_unpackhi_epi64(t0, t1);
  c = _mm_unpacklo_epi64(t2, t3);
  d = _mm_unpackhi_epi64(t2, t3);
}

}  // namespace kestrum::sse2
