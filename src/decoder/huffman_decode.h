// SPDX-License-Identifier: MIT
// Huffman entropy decoding of baseline scans (T.81 F.2.2): table derivation (C.1, C.2, F.15),
// the bit reader with stuffing and markers, symbol decode, RECEIVE/EXTEND, restarts.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/decoder_state.h"

namespace kestrum {

// clang-format off
// Entry n: 2^(n-1), the smallest positive n-bit magnitude (entry 0 unused).
inline constexpr std::array<int32_t, 16> kExtendThreshold = {
  0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384};
// Entry n: 1 - 2^n, added to n-bit patterns below the threshold to make them negative.
inline constexpr std::array<int32_t, 16> kExtendBias = {
  0, -1, -3, -7, -15, -31, -63, -127, -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};
// clang-format on

// Derives a decoding table from a 17-byte count record ([1..16]) and 256 symbols. Returns null,
// or the message of a malformed table (more than 256 codes, over-subscribed, DC symbol above 15).
// The fast lookup (fast_ac) is filled only when has_fast_lookup: the fast entropy decoder's 2^11
// entries cost more to build than a small frame costs to decode the exact way. Writes: table.
const char* build_decode_table(const uint8_t* bits, const uint8_t* values, bool is_dc,
                               bool has_fast_lookup, HuffDecodeTable& table) noexcept;

// Packing of HuffDecodeTable::fast_ac entries: bits 0..4 the bits consumed (0 = not decodable
// from kFastAcBits bits), bits 8..15 the run/size symbol, bit 7 set when the coefficient value
// (for a DC table, the difference) is in the entry too (the magnitude bits fitted). Bit 5 stays
// clear, so that the low six bits are the count a 64-bit shift takes (bit 6 is above the count a
// shift of either word size takes). Where bit 7 is set:
// - a DC entry holds the difference in bits 16..31 (int16);
// - an AC entry holds two coefficients: bits 12..15 the first one's run, 16..23 its value (int8),
//   bits 8..11 the second one's run, 24..31 its value (int8; 0 for the end of the block, which no
//   coefficient is), and bit 6 set. Where bit 6 is clear the entry has one symbol, as a pair whose
//   second is the first again at the same place (bits 8..11 zero). A value beyond int8 leaves
//   bit 7 clear, and is read after the code.
struct FastAcEntry {
  static constexpr uint32_t kLengthMask = 31;
  static constexpr uint32_t kPair = 64;
  static constexpr uint32_t kHasValue = 128;
  static uint32_t symbol(uint32_t e) { return (e >> 8) & 0xFF; }
  static int32_t value(uint32_t e) { return static_cast<int16_t>(e >> 16); }
  static uint32_t first_run(uint32_t e) { return (e >> 12) & 15; }
  static int32_t first_value(uint32_t e) { return static_cast<int8_t>(e >> 16); }
  // How far past the first coefficient the second is (0 for an entry of one symbol).
  static uint32_t second_offset(uint32_t e) { return ((e >> 8) & 15) + ((e & kPair) >> 6); }
  static int32_t second_value(uint32_t e) { return static_cast<int8_t>(e >> 24); }
};

// Loads bytes until 17 bits are buffered or a marker stops the reader; pads zero bits at a marker
// when bits_wanted exceeds what is left. Reads/Writes: bit_buffer, bit_count, unread_marker,
// read_pos, entropy_exhausted.
void refill_bits() noexcept;

// Decodes one symbol with the 8-bit lookahead. Reads/Writes: bit reader state.
uint8_t decode_symbol(const HuffDecodeTable& table) noexcept;
// Decodes one symbol bit by bit from start_length (1 or 9). Reads/Writes: bit reader state.
uint8_t decode_symbol_slow(const HuffDecodeTable& table, int32_t start_length) noexcept;
// Reads n (1..15) magnitude bits and sign-extends them (T.81 F.2.2.1). Reads/Writes: bit reader.
int32_t receive_extend(int32_t n) noexcept;

// Consumes or resynchronises at a restart marker; resets predictors and the interval count.
// Reads/Writes: bit_count, unread_marker, read_pos, expected_rst, last_dc, mcus_to_restart,
// entropy_exhausted.
void process_restart() noexcept;

// Decodes the blocks of one MCU into the zeroed coef_blocks (natural order).
// Reads/Writes: bit reader state, last_dc, mcus_to_restart, coef_blocks.
void decode_one_mcu() noexcept;

// The most blocks an MCU may have for decode_one_mcu_fast (its reach ahead of a marker is
// derived from it): the six of a 4:2:0 MCU.
inline constexpr int32_t kFastMcuBlocks = 6;

// The first byte at or after pos that starts a marker or fill bytes (an FF not followed by 00),
// or size; an FF at the last byte counts as a marker.
uint32_t next_marker_at(const uint8_t* data, uint32_t size, uint32_t pos) noexcept;

// decode_one_mcu with the same results, faster where the next marker is out of the MCU's reach.
// Only for MCUs of at most kFastMcuBlocks blocks. Reads/Writes: as decode_one_mcu, and clean_end.
void decode_one_mcu_fast() noexcept;

}  // namespace kestrum
