// SPDX-License-Identifier: MIT
// FF bytes in entropy-coded data: the search for byte pairs that start with FF (markers) sixteen
// positions at a time, the test of a bit buffer's word for an FF byte, and its stuffed write.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrum {

// The word of the bit buffers: a register's width (64 bits, 32 on 32-bit targets, where a
// 64-bit shift takes two registers and several instructions).
using RegisterWord = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;

// True when a byte of word is FF (then ~word has a zero byte).
template <typename Word>
constexpr bool has_ff_byte(Word word) {
  static_assert(std::is_unsigned_v<Word>);
  constexpr Word kEveryByte = static_cast<Word>(~Word{0} / 0xFF);  // every byte 01
  return ((static_cast<Word>(~word) - kEveryByte) & word & static_cast<Word>(kEveryByte << 7)) != 0;
}
static_assert(has_ff_byte(0x00FF0000u) && has_ff_byte(uint64_t{0xFF} << 56) &&
              !has_ff_byte(0xFEFE00FEu) && !has_ff_byte(uint64_t{0x7FFEFEFEFEFEFE80u}));

// Writes word's four bytes at out, most significant first, with a zero byte stuffed after each FF
// (T.81 B.1.1.5); returns the position after them (at most 8 bytes on).
inline uint8_t* put_stuffed_word(uint8_t* out, uint32_t word) {
  if (!has_ff_byte(word)) {
    out[0] = static_cast<uint8_t>(word >> 24);
    out[1] = static_cast<uint8_t>(word >> 16);
    out[2] = static_cast<uint8_t>(word >> 8);
    out[3] = static_cast<uint8_t>(word);
    return out + 4;
  }
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<uint8_t>(word >> shift);
    *out++ = byte;
    if (byte == 0xFF) *out++ = 0x00;
  }
  return out;
}

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
