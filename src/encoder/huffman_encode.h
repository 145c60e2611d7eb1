// SPDX-License-Identifier: MIT
// Baseline Huffman entropy coding of quantized blocks (T.81 F.1.2) with the Annex K tables.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kestrum {

// Worst case of one MCU in the stream. Per block: DC code <= 11 bits + 11 magnitude bits, and 63
// AC coefficients of at most 16 code bits + 10 magnitude bits: 22 + 63 * 26 = 1660 bits; six
// blocks 9960 bits = 1245 bytes, doubled if every byte were 0xFF and stuffed: 2490. The flush
// byte (stuffed: 2), a restart marker or EOI (2) and its stuffing margin bring it to 2498.
inline constexpr size_t kMaxMcuStreamBytes = 2498;

// Pending bits, left-aligned: the next bit to go out is bit 31 of acc; count is 0..7 between
// emissions.
struct BitWriter {
  uint32_t acc;
  uint32_t count;
};

// Emits the low n (0..16) bits of v; whole bytes go to out_ptr, 0xFF followed by a stuffed 0x00.
// Reads/Writes: out_ptr.
void emit_bits(BitWriter& writer, uint32_t v, uint32_t n) noexcept;

// Codes the six zig-zag blocks of an MCU (Y0..Y3, Cb, Cr) and updates the DC predictors.
// Reads: mcu_block_comp, dc/ac_table_sel. Writes: out_ptr, dc_pred.
BitWriter encode_mcu(const int16_t* blocks, BitWriter writer) noexcept;

// Pads the last partial byte with 1-bits and writes it (stuffed if 0xFF). Writes: out_ptr.
void flush_bits(BitWriter& writer) noexcept;

// Magnitude category of v (T.81 Table F.1, F.2): the bit width of |v|.
inline uint32_t magnitude_category(int32_t v) {
  return static_cast<uint32_t>(std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v)));
}

// Walks one zig-zag block in coding order (T.81 F.1.2.1, F.1.2.2): sink.dc(category) and the
// difference bits, then sink.ac(symbol) for every run/size symbol, ZRL (0xF0) and EOB (0x00),
// each value followed by sink.bits(v, size) with v the value, or v - 1 when negative (the low
// size bits are what go out).
template <typename Sink>
void code_block_symbols(const int16_t* block, int32_t dc_pred, Sink& sink) {
  const int32_t diff = block[0] - dc_pred;
  const uint32_t category = magnitude_category(diff);
  sink.dc(category);
  if (category > 0) sink.bits(static_cast<uint32_t>(diff < 0 ? diff - 1 : diff), category);
  uint32_t run = 0;
  for (size_t k = 1; k < 64; ++k) {
    const int32_t v = block[k];
    if (v == 0) {
      ++run;
      continue;
    }
    while (run > 15) {
      sink.ac(0xF0);
      run -= 16;
    }
    const uint32_t size = magnitude_category(v);
    sink.ac((16 * run + size) & 0xFF);
    sink.bits(static_cast<uint32_t>(v < 0 ? v - 1 : v), size);
    run = 0;
  }
  if (run > 0) sink.ac(0x00);
}

// Code and length of a symbol in the Annex K tables (for tests): table 0 = luma, 1 = chroma.
struct HuffCode {
  uint16_t code;
  uint8_t length;  // 0 = symbol not in the table
};
HuffCode dc_code(int32_t table_id, uint32_t category) noexcept;
HuffCode ac_code(int32_t table_id, uint32_t symbol) noexcept;

}  // namespace kestrum
