// SPDX-License-Identifier: MIT
// The fast MCU decoder: the same bits, symbols and coefficients as decode_one_mcu, read through
// a bit buffer held in registers (a register wide), for MCUs that cannot reach a marker. Everything
// that depends on a marker (restart handling, the zero padding at the end of the data, fill bytes)
// stays with the bit-exact reader in huffman_decode.cpp: an MCU is decoded here unchecked while
// the next marker is further away than any MCU can reach, and checked closer to it, where the
// exact reader decodes it again if it needed a byte of the marker or beyond.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "common/byte_pairs.h"
#include "common/fixed_point.h"
#include "common/jpeg_tables.h"
#include "decoder/huffman_decode.h"

namespace kestrum {
namespace {

// An MCU codes at most kFastMcuBlocks (6) blocks of 64 positions with at most 31 bits each (a
// 16-bit code, or 17 for an invalid one, and 15 magnitude bits): 1488 bytes of data, twice that
// with every byte stuffed, plus what the reader loads ahead (8 bytes buffered, stuffed, and an
// 8-byte load).
constexpr uint32_t kMcuReach = 2 * (kFastMcuBlocks * 64 * 31 + 7) / 8 + 16 + 8;

template <typename Word>
Word big_endian(Word v) {
  if constexpr (std::endian::native == std::endian::big) {
    return v;
  } else if constexpr (sizeof(Word) == 8) {
    return __builtin_bswap64(v);
  } else {
    return __builtin_bswap32(v);
  }
}

using BitWord = RegisterWord;
constexpr int32_t kWordBits = static_cast<int32_t>(8 * sizeof(BitWord));

// kChecked: the marker may be within reach, so bytes at limit and beyond read as zeros and
// set overran (the MCU is then decoded again by the exact reader). The unread bits are kept at
// the top of acc, so that a lookup is a shift by a constant and not by the count.
template <bool kChecked>
struct Reader {
  const uint8_t* at;  // the next byte to read
  BitWord acc;        // unread bits at the high end; below them zeros, or the bytes that follow
  int32_t n;          // how many
  const uint8_t* limit;
  bool overran = false;

  // Tops the buffer up to kWordBits - 7 .. kWordBits bits; stuffed bytes are the only FF bytes
  // before the marker.
  void fill() {
    if (!kChecked && n <= kWordBits - 8) {
      // A word of bytes at once where none of them is FF: as many whole bytes as fit go in.
      BitWord word;
      std::memcpy(&word, at, sizeof(word));
      word = big_endian(word);
      if (!has_ff_byte(word)) {
        const int32_t take = (kWordBits - n) >> 3;  // 1..8 bytes (1..4), the buffer then full
        acc |= word >> n;
        at += take;
        // The bytes not taken stay below the n bits: the next fill reads them again and ORs
        // the same bits in (they are no FF, so no stuffing can move them).
        n += 8 * take;
        return;
      }
    }
    while (n <= kWordBits - 8) {
      uint8_t byte = 0;
      if (!kChecked || at < limit) {
        byte = *at;
        at += byte == 0xFF ? 2 : 1;
      } else {
        overran = true;
      }
      acc |= BitWord{byte} << (kWordBits - 8 - n);
      n += 8;
    }
  }
  uint32_t peek(int32_t bits) const {
    return static_cast<uint32_t>(acc >> static_cast<uint32_t>(kWordBits - bits));
  }
  void skip(int32_t bits) {
    acc <<= static_cast<uint32_t>(bits);
    n -= bits;
  }
  // skip by a fast lookup's count: its low five or six bits, as the shift takes them anyway.
  void skip_entry(uint32_t e) {
    acc <<= e & (kWordBits - 1);
    n -= static_cast<int32_t>(e & FastAcEntry::kLengthMask);
  }
  // decode_symbol: the 8-bit lookahead, else the code grown bit by bit from 9 bits; a code
  // longer than 16 bits takes 17 and gives symbol 0. Needs n >= 17.
  uint8_t symbol(const HuffDecodeTable& t) {
    const uint32_t look = peek(8);
    const int32_t len = t.lookup_length[look];
    if (len != 0) {
      skip(len);
      return t.lookup_symbol[look];
    }
    int32_t length = 9;
    int32_t code = static_cast<int32_t>(peek(9));
    while (code > t.maxcode[static_cast<size_t>(length)]) {
      ++length;
      code = static_cast<int32_t>(peek(length));
    }
    skip(length);
    if (length > 16) {
      ++g_decoder.damage.bad_codes;
      return 0;
    }
    return t.values[static_cast<size_t>(t.value_offset[static_cast<size_t>(length)] + code)];
  }
  // receive_extend for 1..15 bits.
  int32_t extend(int32_t bits) {
    int32_t v = static_cast<int32_t>(peek(bits));
    skip(bits);
    if (v < (1 << (bits - 1))) v += 1 - (1 << bits);
    return v;
  }
  // A symbol and, where it has magnitude bits, its value, through the table's fast lookup.
  // Returns the symbol; value gets the coefficient (0 for a symbol of size 0).
  uint32_t symbol_and_value(const HuffDecodeTable& t, int32_t* value) {
    return symbol_and_value(t, t.fast_ac[peek(kFastAcBits)], value);
  }
  // symbol_and_value with the lookup's entry e for the next bits already read.
  uint32_t symbol_and_value(const HuffDecodeTable& t, uint32_t e, int32_t* value) {
    uint32_t rs;
    if ((e & FastAcEntry::kLengthMask) != 0) {
      skip_entry(e);
      rs = FastAcEntry::symbol(e);
      if ((e & FastAcEntry::kHasValue) != 0) {
        *value = FastAcEntry::value(e);
        return rs;
      }
    } else {
      rs = symbol(t);
    }
    const int32_t size = static_cast<int32_t>(rs & 15);
    // A 32-bit buffer holds a code of up to 17 bits, but not always its magnitude bits too.
    if (kWordBits < 64 && n < size) fill();
    *value = size != 0 ? extend(size) : 0;
    return rs;
  }
};

// Where the AC loop stores: entry 128 b + k is the slot, counted from coef_blocks[0], of block
// b's zig-zag position k; positions 64..127 repeat 63's, so that a run overshooting the block
// lands on its last coefficient, and bit 6 of the position says the block is done. One position
// thus stands for the block and the index at once: on i686 the loop has a register fewer to find.
constexpr size_t kPositionsPerBlock = 128;
constexpr std::array<uint16_t, kFastMcuBlocks * kPositionsPerBlock> make_coefficient_slots() {
  std::array<uint16_t, kFastMcuBlocks * kPositionsPerBlock> slots{};
  for (size_t b = 0; b < kFastMcuBlocks; ++b) {
    for (size_t k = 0; k < kPositionsPerBlock; ++k) {
      slots[kPositionsPerBlock * b + k] =
          static_cast<uint16_t>(64 * b + kZigZagToNatural[std::min<size_t>(k, 63)]);
    }
  }
  return slots;
}
constexpr auto kCoefficientSlots = make_coefficient_slots();

// Decodes the MCU's blocks (at most kFastMcuBlocks) into coef_blocks and the DC predictors.
template <bool kChecked>
void decode_blocks(Reader<kChecked>& r) {
  DecoderState& d = g_decoder;
  static_assert(sizeof(d.coef_blocks) == sizeof(int16_t) * 64 * kMaxMcuBlocks);
  int16_t* const coefficients = d.coef_blocks[0].data();
  for (size_t b = 0; b < static_cast<size_t>(d.mcu_block_total); ++b) {
    r.fill();
    int32_t diff = 0;
    r.symbol_and_value(*d.block_dc_table[b], &diff);
    const size_t c = d.block_component[b];
    d.last_dc[c] = add_wrap32(d.last_dc[c], diff);
    d.coef_blocks[b][0] = wrap16(d.last_dc[c]);
    const HuffDecodeTable& ac = *d.block_ac_table[b];
    for (size_t pos = kPositionsPerBlock * b + 1; (pos & 64) == 0; ++pos) {
      // The lookup needs kFastAcBits bits; a symbol the lookup decodes with its value takes no
      // more, so the buffer is filled only when fewer are left (a fill leaves the bits above
      // alone, so the entry stays what it was).
      if (r.n < kFastAcBits) r.fill();
      // Most symbols: code and magnitude bits both in the lookup, the size not zero; often the
      // next symbol too. One symbol or two take the same path, without a branch between them:
      // an entry of one symbol stores its value twice at the same place.
      uint32_t e = ac.fast_ac[r.peek(kFastAcBits)];
      if ((e & FastAcEntry::kHasValue) != 0) [[likely]] {
        // Bit 6 of the position after the first symbol is set when that symbol ends the block.
        if ((((pos & (kPositionsPerBlock - 1)) + FastAcEntry::first_run(e) + 1) & e &
             FastAcEntry::kPair) != 0) [[unlikely]] {
          e = 0;  // a pair whose first symbol ends the block: that one is decoded alone
        } else {
          r.skip_entry(e);
          pos += FastAcEntry::first_run(e);
          coefficients[kCoefficientSlots[pos]] = static_cast<int16_t>(FastAcEntry::first_value(e));
          pos += FastAcEntry::second_offset(e);
          // An end of block as the second symbol stores a zero at a position not yet written.
          const int32_t second = FastAcEntry::second_value(e);
          coefficients[kCoefficientSlots[pos]] = static_cast<int16_t>(second);
          if (second == 0) break;
          continue;
        }
      }
      // A code of up to 17 bits and, where the buffer holds them, 15 magnitude bits.
      if (r.n < (kWordBits < 64 ? 17 : 32)) r.fill();
      int32_t value = 0;
      const uint32_t rs = r.symbol_and_value(ac, e, &value);
      const uint32_t run = rs >> 4u;
      if ((rs & 15) != 0) {
        pos += run;
        coefficients[kCoefficientSlots[pos]] = wrap16(value);
      } else if (run == 15) {
        pos += 15;
      } else {
        break;
      }
    }
  }
}

// The reader's position and bits back into the decoder state, the MCU done.
template <bool kChecked>
void finish_mcu(const Reader<kChecked>& r) {
  DecoderState& d = g_decoder;
  d.bit_buffer = r.n == 0 ? 0 : r.acc >> (kWordBits - r.n);
  d.bit_count = r.n;
  d.read_pos = static_cast<uint32_t>(r.at - d.source_data);
  d.mcus_to_restart -= 1;
}

// The MCU decoded with the checked reader, the marker within reach; where it needed a byte of
// the marker or beyond, undone and decoded again by the exact reader. Kept out of line: its
// saved predictors live in a vector register, whose spill slot would make a 32-bit Windows build
// realign the stack of the hot path and so take a register from its loop.
[[gnu::noinline]] void decode_near_marker(BitWord bits) {
  DecoderState& d = g_decoder;
  const std::array<int32_t, kMaxScanComponents> dc_before = d.last_dc;
  Reader<true> r{d.source_data + d.read_pos, bits, d.bit_count, d.source_data + d.clean_end};
  decode_blocks(r);
  if (!r.overran) {
    finish_mcu(r);
    return;
  }
  d.last_dc = dc_before;
  std::memset(d.coef_blocks.data(), 0,
              static_cast<size_t>(d.mcu_block_total) * sizeof(d.coef_blocks[0]));
  decode_one_mcu();
}

}  // namespace

uint32_t next_marker_at(const uint8_t* data, uint32_t size, uint32_t pos) noexcept {
  const uint32_t at = find_ff_not_followed_by(data, size, pos, 0x00);
  if (at == size && size > pos && data[size - 1] == 0xFF) return size - 1;
  return at;
}

void decode_one_mcu_fast() noexcept {
  DecoderState& d = g_decoder;
  if (d.restart_interval != 0 && d.mcus_to_restart == 0) process_restart();
  if (d.read_pos > d.clean_end || d.clean_end == 0) {
    d.clean_end = next_marker_at(d.source_data, d.source_size, d.read_pos);
  }
  if (d.entropy_exhausted || d.unread_marker != 0 || d.read_pos > d.clean_end) {
    decode_one_mcu();
    return;
  }
  // The exact reader keeps at most 24 bits, this one at most a word; those are at the low end.
  const uint32_t kept = static_cast<uint32_t>(d.bit_count);
  if (kept > static_cast<uint32_t>(kWordBits)) {
    decode_one_mcu();
    return;
  }
  const BitWord bits =
      kept == 0 ? 0 : static_cast<BitWord>((d.bit_buffer << (64 - kept)) >> (64 - kWordBits));
  if (d.clean_end - d.read_pos >= kMcuReach) {
    Reader<false> r{d.source_data + d.read_pos, bits, d.bit_count, d.source_data + d.clean_end};
    decode_blocks(r);
    finish_mcu(r);
  } else {
    decode_near_marker(bits);
  }
}

}  // namespace kestrum
