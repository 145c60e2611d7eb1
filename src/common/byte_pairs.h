// SPDX-License-Identifier: MIT
// Searches for byte pairs that start with FF (markers) sixteen positions at a time.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrum {

// The first i in [pos, size - 1) where data[i] is FF and data[i + 1] is not second; size when
// there is none.
inline uint32_t find_ff_not_followed_by(const uint8_t* data, uint32_t size, uint32_t pos,
                                        uint8_t second) {
#if defined(__SSE2__)
  const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(second));
  for (; size >= 17 && pos <= size - 17; pos += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 1));
    const __m128i is_ff = _mm_cmpeq_epi8(here, ff);
    const __m128i is_second = _mm_cmpeq_epi8(next, wanted);
    const __m128i pair = _mm_andnot_si128(is_second, is_ff);
    const auto found = static_cast<uint32_t>(_mm_movemask_epi8(pair));
    if (found != 0) return pos + static_cast<uint32_t>(std::countr_zero(found));
  }
#endif
  for (; pos + 1 < size; ++pos) {
    if (data[pos] == 0xFF && data[pos + 1] != second) return pos;
  }
  return size;
}

}  // namespace kestrum
