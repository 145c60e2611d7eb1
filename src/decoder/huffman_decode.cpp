// SPDX-License-Identifier: MIT
// Huffman decoding (T.81 F.2.2.3 DECODE, F.2.2.1 RECEIVE/EXTEND, F.2.2.5 byte stuffing) with an
// 8-bit lookahead, and the restart resynchronisation of the modelled hardware decoder.
#include "decoder/huffman_decode.h"

#include "common/fixed_point.h"
#include "common/jpeg_tables.h"

namespace kestrum {

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
