// SPDX-License-Identifier: MIT
// Huffman decoding (T.81 F.2.2.3 DECODE, F.2.2.1 RECEIVE/EXTEND, F.2.2.5 byte stuffing) with an
// 8-bit lookahead, and the restart resynchronisation of the modelled hardware decoder.
#include "decoder/huffman_decode.h"

#include <array>

#include "common/fixed_point.h"
#include "common/jpeg_tables.h"
#include "services/messages.h"

namespace kestrum {
namespace {

// clang-format off
// Entry n: 2^(n-1), the smallest positive n-bit magnitude (entry 0 unused).
inline constexpr std::array<int32_t, 16> kExtendThreshold = {
  0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384};
// Entry n: 1 - 2^n, added to n-bit patterns below the threshold to make them negative.
inline constexpr std::array<int32_t, 16> kExtendBias = {
  0, -1, -3, -7, -15, -31, -63, -127, -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};
// clang-format on

// Fills fast_ac from the lookahead table and maxcode as decode_symbol decodes: the 8-bit
// lookahead first, else the code grown from 9 bits; with the magnitude bits where they fit.
void build_fast_ac(HuffDecodeTable& t) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  for (uint32_t b = 0; b < (1u << kBits); ++b) {
    uint32_t length = static_cast<uint32_t>(t.lookup_length[b >> (kBits - 8)]);
    uint32_t rs = t.lookup_symbol[b >> (kBits - 8)];
    if (length == 0) {
      length = 9;
      int32_t code = static_cast<int32_t>(b >> (kBits - 9));
      while (code > t.maxcode[length] && length < kBits) {
        ++length;
        code = static_cast<int32_t>(b >> (kBits - length));
      }
      if (code > t.maxcode[length]) {  // longer than the lookahead
        t.fast_ac[b] = 0;
        continue;
      }
      rs = t.values[static_cast<size_t>(t.value_offset[length] + code)];
    }
    uint32_t entry = length | rs << 8;
    const uint32_t size = rs & 15;
    if (size != 0 && length + size <= kBits) {
      int32_t v = static_cast<int32_t>((b >> (kBits - length - size)) & ((1u << size) - 1u));
      if (v < kExtendThreshold[size]) v += kExtendBias[size];
      entry = (length + size) | FastAcEntry::kHasValue | rs << 8 |
              static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16;
    }
    t.fast_ac[b] = entry;
  }
}

}  // namespace

const char* build_decode_table(const uint8_t* bits, const uint8_t* values, bool is_dc,
                               bool has_fast_lookup, HuffDecodeTable& table) noexcept {
  std::array<uint16_t, 256> codes{};
  std::array<uint8_t, 256> lengths{};
  uint32_t total = 0;
  for (uint32_t len = 1; len <= 16; ++len) total += bits[len];
  if (total > 256) return msg::kHuffmanTooMany;
  if (assign_canonical_codes(bits + 1, codes.data(), lengths.data()) < 0)
    return msg::kHuffmanOversubscribed;
  const int32_t n = static_cast<int32_t>(total);
  int32_t p = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    if (bits[len] != 0) {
      table.value_offset[len] = p - codes[static_cast<size_t>(p)];
      p += bits[len];
      table.maxcode[len] = codes[static_cast<size_t>(p - 1)];
    } else {
      table.maxcode[len] = -1;
    }
  }
  table.maxcode[17] = 0xFFFFF;
  table.lookup_length.fill(0);
  for (int32_t i = 0; i < n && lengths[static_cast<size_t>(i)] <= 8; ++i) {
    const uint32_t len = lengths[static_cast<size_t>(i)];
    const uint32_t first = static_cast<uint32_t>(codes[static_cast<size_t>(i)]) << (8 - len);
    for (uint32_t k = 0; k < (1u << (8 - len)); ++k) {
      table.lookup_length[first + k] = static_cast<int32_t>(len);
      table.lookup_symbol[first + k] = values[i];
    }
  }
  table.values = values;
  if (has_fast_lookup) build_fast_ac(table);
  if (is_dc) {
    for (int32_t i = 0; i < n; ++i) {
      if (values[i] > 15) return msg::kHuffmanDcSymbol;
    }
  }
  return nullptr;
}

void refill_bits() noexcept {
  DecoderState& d = g_decoder;
  if (d.unread_marker == 0) {
    while (d.bit_count < 17) {
      uint8_t byte = read_byte();
      if (byte == 0xFF) {
        uint8_t next = read_byte();
        while (next == 0xFF && !d.input_exhausted) next = read_byte();
        if (next != 0x00) {
          d.unread_marker = next;
          break;
        }
      }
      if (d.input_exhausted) {
        d.unread_marker = kMarkerEoi;  // the end of the data stands for a pending marker
        break;
      }
      d.bit_buffer = (d.bit_buffer << 8) | byte;
      d.bit_count += 8;
    }
    if (d.unread_marker == 0) return;
  }
  if (d.bits_wanted <= d.bit_count) return;
  d.entropy_exhausted = true;
  d.bit_buffer <<= static_cast<uint32_t>(17 - d.bit_count);
  d.bit_count = 17;
}

uint8_t decode_symbol_slow(const HuffDecodeTable& table, int32_t start_length) noexcept {
  DecoderState& d = g_decoder;
  int32_t len = start_length;
  if (d.bit_count < len) {
    d.bits_wanted = len;
    refill_bits();
  }
  d.bit_count -= len;
  int32_t code = static_cast<int32_t>((d.bit_buffer >> static_cast<uint32_t>(d.bit_count)) &
                                      ((1u << len) - 1u));
  while (code > table.maxcode[static_cast<size_t>(len)]) {
    if (d.bit_count < 1) {
      d.bits_wanted = 1;
      refill_bits();
    }
    d.bit_count -= 1;
    code =
        2 * code + static_cast<int32_t>((d.bit_buffer >> static_cast<uint32_t>(d.bit_count)) & 1u);
    ++len;
  }
  if (len > 16) {
    ++d.damage.bad_codes;
    return 0;
  }
  return table.values[static_cast<size_t>(table.value_offset[static_cast<size_t>(len)] + code)];
}

uint8_t decode_symbol(const HuffDecodeTable& table) noexcept {
  DecoderState& d = g_decoder;
  if (d.bit_count < 8) {
    d.bits_wanted = 0;
    refill_bits();
    if (d.bit_count < 8) return decode_symbol_slow(table, 1);
  }
  const uint32_t look = (d.bit_buffer >> static_cast<uint32_t>(d.bit_count - 8)) & 0xFFu;
  const int32_t len = table.lookup_length[look];
  if (len != 0) {
    d.bit_count -= len;
    return table.lookup_symbol[look];
  }
  return decode_symbol_slow(table, 9);
}

int32_t receive_extend(int32_t n) noexcept {
  DecoderState& d = g_decoder;
  if (d.bit_count < n) {
    d.bits_wanted = n;
    refill_bits();
  }
  d.bit_count -= n;
  int32_t v =
      static_cast<int32_t>((d.bit_buffer >> static_cast<uint32_t>(d.bit_count)) & ((1u << n) - 1u));
  if (v < kExtendThreshold[static_cast<size_t>(n)]) v += kExtendBias[static_cast<size_t>(n)];
  return v;
}

void process_restart() noexcept {
  DecoderState& d = g_decoder;
  d.bit_count = 0;
  if (d.unread_marker == 0) find_next_marker();
  const uint32_t e = d.expected_rst;
  if (d.unread_marker != kMarkerRst0 + e && !d.input_exhausted) ++d.damage.restart_errors;
  for (;;) {
    const uint32_t m = d.unread_marker;
    if (m == kMarkerRst0 + e) {
      d.unread_marker = 0;
      break;
    }
    if (m < kMarkerSof0) {  // TEM or a reserved code: scanned past
      find_next_marker();
      continue;
    }
    if (m < kMarkerRst0 || m > kMarkerRst7) break;         // not an RST: left pending
    const uint32_t ahead = (m - kMarkerRst0 + 8 - e) % 8;  // 1..7: how far past the expected one
    if (ahead == 1 || ahead == 2) break;                   // a marker was lost: keep this one
    if (ahead == 6 || ahead == 7) {                        // a stale marker: scan on
      find_next_marker();
      continue;
    }
    d.unread_marker = 0;  // 3..5 ahead: consumed as if it were the expected one
    break;
  }
  d.expected_rst = (e + 1) % 8;
  for (size_t j = 0; j < static_cast<size_t>(d.scan_component_count) && j < kMaxScanComponents;
       ++j) {
    d.last_dc[j] = 0;
  }
  d.mcus_to_restart = static_cast<int32_t>(d.restart_interval);
  if (d.unread_marker == 0) d.entropy_exhausted = false;
}

void decode_one_mcu() noexcept {
  DecoderState& d = g_decoder;
  if (d.restart_interval != 0 && d.mcus_to_restart == 0) process_restart();
  if (!d.entropy_exhausted) {
    for (size_t b = 0; b < static_cast<size_t>(d.mcu_block_total); ++b) {
      int16_t* block = d.coef_blocks[b].data();
      const uint8_t dc_symbol = decode_symbol(*d.block_dc_table[b]);
      const int32_t diff = dc_symbol == 0 ? 0 : receive_extend(dc_symbol);
      const size_t c = d.block_component[b];
      d.last_dc[c] = add_wrap32(d.last_dc[c], diff);
      block[0] = wrap16(d.last_dc[c]);
      const HuffDecodeTable& ac = *d.block_ac_table[b];
      for (uint32_t k = 1; k < 64; ++k) {
        const uint8_t rs = decode_symbol(ac);
        const uint32_t run = rs >> 4u;
        const int32_t size = rs & 15;
        if (size != 0) {
          k += run;
          block[kZigZagToNatural[k]] = wrap16(receive_extend(size));
        } else if (run == 15) {
          k += 15;
        } else {
          break;
        }
      }
    }
  }
  d.mcus_to_restart -= 1;
}

}  // namespace kestrum
