// SPDX-License-Identifier: MIT
// Baseline Huffman entropy coding of quantized blocks (T.81 F.1.2) with the Annex K tables.
#pragma once

#include <cstdint>

namespace kestrum {

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

// Code and length of a symbol in the Annex K tables (for tests): table 0 = luma, 1 = chroma.
struct HuffCode {
  uint16_t code;
  uint8_t length;  // 0 = symbol not in the table
};
HuffCode dc_code(int32_t table_id, uint32_t category) noexcept;
HuffCode ac_code(int32_t table_id, uint32_t symbol) noexcept;

}  // namespace kestrum
