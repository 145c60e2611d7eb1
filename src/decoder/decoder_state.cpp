// SPDX-License-Identifier: MIT
// The decoder instance and the bounded reads over the source copy (T.81 B.1.1.2 markers).
#include "decoder/decoder_state.h"

#include "common/jpeg_tables.h"
#include "platform/console_log.h"

namespace kestrum {

DecoderState g_decoder{};

namespace {
// The state of process start, copied from static storage (the record is too large for a
// temporary on a host thread's stack).
const DecoderState kInitialDecoderState{};
}  // namespace

void reset_decoder_state() noexcept { g_decoder = kInitialDecoderState; }

const std::array<std::array<uint16_t, 64>, kTableSlots>& stored_quant_tables() noexcept {
  return g_decoder.quant_tables;
}

void fail(int32_t code, const char* message) noexcept {
  if (g_decoder.error != 0) return;
  console_line(message);
  g_decoder.error = code;
}

uint8_t read_byte() noexcept {
  DecoderState& d = g_decoder;
  if (d.read_pos >= d.source_size) {
    d.input_exhausted = true;
    return 0;
  }
  return d.source_data[d.read_pos++];
}

uint32_t read_u16() noexcept {
  const uint32_t hi = read_byte();
  return (hi << 8) | read_byte();
}

uint8_t peek_byte(uint32_t offset) noexcept {
  return offset < g_decoder.source_size ? g_decoder.source_data[offset] : 0;
}

void find_next_marker() noexcept {
  DecoderState& d = g_decoder;
  for (;;) {
    uint8_t b = read_byte();
    while (b != 0xFF && !d.input_exhausted) b = read_byte();
    b = read_byte();
    while (b == 0xFF && !d.input_exhausted) b = read_byte();
    if (d.input_exhausted) {
      d.unread_marker = kMarkerEoi;
      return;
    }
    if (b != 0x00) {
      d.unread_marker = b;
      return;
    }
  }
}

void skip_segment() noexcept {
  DecoderState& d = g_decoder;
  const uint32_t length = read_u16();
  const uint32_t payload = d.read_pos;
  const uint32_t payload_bytes = length > 2 ? length - 2 : 0;
  const uint32_t end = payload + payload_bytes;
  for (uint32_t i = payload; i < end && i < d.source_size; ++i) {
    if (d.source_data[i] != 0xFF) continue;
    const uint8_t next = peek_byte(i + 1);
    if (next == kMarkerDqt) {  // an embedded DQT: rescan the payload from its start
      d.read_pos = payload;
      return;
    }
    if (next == kMarkerEoi) {  // an embedded EOI: resume after it
      d.read_pos = i + 2;
      return;
    }
    if (next == kMarkerSof0) {  // an embedded SOF0: resume at its 0xFF
      d.read_pos = i;
      return;
    }
  }
  d.read_pos = end;
}

void skip_by_length() noexcept {
  DecoderState& d = g_decoder;
  const uint32_t length = read_u16();
  const uint32_t payload_bytes = length > 2 ? length - 2 : 0;
  const uint64_t end = uint64_t{d.read_pos} + payload_bytes;
  d.read_pos = end > d.source_size ? d.source_size : static_cast<uint32_t>(end);
}

}  // namespace kestrum
