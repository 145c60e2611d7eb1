// SPDX-License-Identifier: MIT
// Huffman encoder: code tables derived at compile time from Tables K.3 to K.6 by the canonical
// assignment of T.81 C.1/C.2 (the same routine the decoder uses), DC differences and AC runs
// coded as in T.81 F.1.2.1 and F.1.2.2, byte stuffing (F.1.2.3) and 1-bit padding.
#include "encoder/huffman_encode.h"

#include <array>
#include <bit>

#include "common/jpeg_tables.h"
#include "encoder/encoder_state.h"

namespace kestrum {
namespace {

template <size_t N>
constexpr std::array<HuffCode, 256> derive_codes(const HuffTableDef<N>& def) {
  std::array<uint16_t, 256> codes{};
  std::array<uint8_t, 256> lengths{};
  const int n = assign_canonical_codes(def.bits.data(), codes.data(), lengths.data());
  std::array<HuffCode, 256> table{};
  for (int p = 0; p < n; ++p)
    table[def.values[static_cast<size_t>(p)]] =
        HuffCode{codes[static_cast<size_t>(p)], lengths[static_cast<size_t>(p)]};
  return table;
}

inline constexpr std::array<std::array<HuffCode, 256>, 2> kDcCodes = {derive_codes(kLumaDcTable),
                                                                      derive_codes(kChromaDcTable)};
inline constexpr std::array<std::array<HuffCode, 256>, 2> kAcCodes = {derive_codes(kLumaAcTable),
                                                                      derive_codes(kChromaAcTable)};
static_assert(kDcCodes[0][0].length == 2 && kDcCodes[0][0].code == 0);  // K.3: category 0 = 00
static_assert(kAcCodes[0][0x00].length == 4 && kAcCodes[0][0x00].code == 0xA);  // K.5: EOB = 1010
static_assert(kAcCodes[0][0xF0].length == 11 && kAcCodes[0][0xF0].code == 0x7F9);  // K.5: ZRL

void emit_code(BitWriter& w, HuffCode c) { emit_bits(w, c.code, c.length); }

}  // namespace

HuffCode dc_code(int32_t table_id, uint32_t category) noexcept {
  return kDcCodes[table_id == 0 ? 0 : 1][category & 0xFF];
}
HuffCode ac_code(int32_t table_id, uint32_t symbol) noexcept {
  return kAcCodes[table_id == 0 ? 0 : 1][symbol & 0xFF];
}

void emit_bits(BitWriter& w, uint32_t v, uint32_t n) noexcept {
  if (n == 0) return;  // undefined symbols have no code and write nothing
  w.count += n;
  w.acc |= (v & ((1u << n) - 1u)) << (32 - w.count);
  uint8_t*& out = g_encoder.out_ptr;
  while (w.count >= 8) {
    const uint8_t byte = static_cast<uint8_t>(w.acc >> 24);
    *out++ = byte;
    if (byte == 0xFF) *out++ = 0x00;
    w.acc <<= 8;
    w.count -= 8;
  }
}

BitWriter encode_mcu(const int16_t* blocks, BitWriter w) noexcept {
  EncoderState& e = g_encoder;
  for (size_t i = 0; i < 6; ++i) {
    const int16_t* block = blocks + 64 * i;
    const size_t comp = static_cast<size_t>(e.mcu_block_comp[i]);
    struct Sink {
      const std::array<HuffCode, 256>& dc_codes;
      const std::array<HuffCode, 256>& ac_codes;
      BitWriter& writer;
      void dc(uint32_t category) { emit_code(writer, dc_codes[category]); }
      void ac(uint32_t symbol) { emit_code(writer, ac_codes[symbol]); }
      void bits(uint32_t v, uint32_t n) { emit_bits(writer, v, n); }
    } sink{kDcCodes[static_cast<size_t>(e.dc_table_sel[comp])],
           kAcCodes[static_cast<size_t>(e.ac_table_sel[comp])], w};
    code_block_symbols(block, e.dc_pred[comp], sink);
    e.dc_pred[comp] = block[0];
  }
  return w;
}

void flush_bits(BitWriter& w) noexcept {
  if (w.count > 0) {
    const uint8_t byte = static_cast<uint8_t>((w.acc >> 24) | (0xFFu >> w.count));
    uint8_t*& out = g_encoder.out_ptr;
    *out++ = byte;
    if (byte == 0xFF) *out++ = 0x00;
  }
  w.acc = 0;
  w.count = 0;
}

}  // namespace kestrum
