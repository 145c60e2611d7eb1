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
static_assert(kDcCodes[0][0].length == 2 && kDcCodes[0][0].code == 0);             // K.3: category 0 = 00
static_assert(kAcCodes[0][0x00].length == 4 && kAcCodes[0][0x00].code == 0xA);     // K.5: EOB = 1010
static_assert(kAcCodes[0][0xF0].length == 11 && kAcCodes[0][0xF0].code == 0x7F9);  // K.5: ZRL

uint32_t magnitude_bits(int32_t v) {
  return static_cast<uint32_t>(std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v)));
}

void emit_code(BitWriter& w, HuffCode c) { emit_bits(w, c.code, c.length); }

}  // namespace

HuffCode dc_code(int32_t table_id, uint32_t category) noexcept {
  return kDcCodes[table_id == 0 ? 0 : 1][category & 0xFF];
}
HuffCode ac_code(int32_t table_id, uint32_t symbol) noexcept { return kAcCodes[table_id == 0 ? 0 : 1][symbol & 0xFF]; }

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
    const auto& dc = kDcCodes[static_cast<size_t>(e.dc_table_sel[comp])];
    const auto& ac = kAcCodes[static_cast<size_t>(e.ac_table_sel[comp])];
    const int32_t diff = block[0] - e.dc_pred[comp];
    const uint32_t category = magnitude_bits(diff);
    emit_code(w, dc[category]);
    if (category > 0) emit_bits(w, static_cast<uint32_t>(diff < 0 ? diff - 1 : diff), category);
    uint32_t run = 0;
    for (size_t k = 1; k < 64; ++k) {
      const int32_t v = block[k];
      if (v == 0) {
        ++run;
        continue;
      }
      while (run > 15) {
        emit_code(w, ac[0xF0]);
        run -= 16;
      }
      const uint32_t size = magnitude_bits(v);
      emit_code(w, ac[(16 * run + size) & 0xFF]);
      emit_bits(w, static_cast<uint32_t>(v < 0 ? v - 1 : v), size);
      run = 0;
    }
    if (run > 0) emit_code(w, ac[0x00]);
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
