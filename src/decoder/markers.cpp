// SPDX-License-Identifier: MIT
// The marker loop and the header segments it stores (T.81 B.2.2 SOF, B.2.3 SOS, B.2.4.1 DQT,
// B.2.4.2 DHT, B.2.4.4 DRI). Most problems are reported and parsing goes on, as the modelled
// hardware decoder does. What it cannot decode at all (samples or tables of more than 8 bits,
// progressive, lossless, hierarchical and arithmetic-coded frames, scans that are not
// sequential) is refused after the hardware's message: decoded as baseline it would be another
// picture. APPn and COM segments are skipped by their length, so the tables, frame and restart
// interval of an EXIF thumbnail, or marker-like bytes in a comment, are never taken for the
// image's own.
#include "decoder/markers.h"

#include "common/jpeg_tables.h"
#include "common/messages.h"
#include "decoder/decoder_state.h"
#include "platform/console_log.h"

namespace kestrum {
namespace {

void check_app0() {
  DecoderState& d = g_decoder;
  const uint32_t length =
      (static_cast<uint32_t>(peek_byte(d.read_pos)) << 8) | peek_byte(d.read_pos + 1);
  const uint32_t payload = d.read_pos + 2;
  d.read_pos += length;
  // A length below 2 leaves no payload to copy: the allocation of a negative size fails.
  if (length < 2) {
    console_line(msg::kNoApp0Memory);
    return;
  }
  static constexpr uint8_t kJfif[5] = {0x4A, 0x46, 0x49, 0x46, 0x00};
  if (length < 16) return;
  for (uint32_t i = 0; i < 5; ++i) {
    if (peek_byte(payload + i) != kJfif[i]) return;
  }
  if (peek_byte(payload + 5) != 1) console_line(msg::kJfifVersion);
  const uint32_t thumb_w = peek_byte(payload + 12);
  const uint32_t thumb_h = peek_byte(payload + 13);
  if (length != 16 + 3 * thumb_w * thumb_h) console_line(msg::kApp0Length);
}

void parse_dqt() {
  DecoderState& d = g_decoder;
  uint16_t remaining = static_cast<uint16_t>(read_u16() - 2);
  if (remaining == 0) return;
  const uint32_t tables = (remaining - 1u) / 65u + 1u;
  for (uint32_t n = 0; n < tables && !d.input_exhausted; ++n) {
    const uint8_t pq_tq = read_byte();
    if ((pq_tq >> 4) != 0) return fail(kErrCorruptStream, msg::kQuant16Bit);
    const uint32_t slot = pq_tq & 0x0Fu;
    if (slot >= kTableSlots) console_line(msg::kDqtIndex);
    for (uint32_t k = 0; k < 64; ++k) {
      const uint8_t value = read_byte();
      // Kept deliberately: tables numbered 4 and above are read and dropped.
      if (slot < kTableSlots) d.quant_tables[slot][kZigZagToNatural[k]] = value;
    }
    remaining = static_cast<uint16_t>(remaining - 65u);
  }
  if (remaining != 0) console_line(msg::kDqtLength);
}

void parse_dht() {
  DecoderState& d = g_decoder;
  uint16_t remaining = static_cast<uint16_t>(read_u16() - 2);
  while (remaining > 16 && !d.input_exhausted) {
    const uint8_t tc_th = read_byte();
    std::array<uint8_t, 17> counts{};
    uint8_t total = 0;  // summed modulo 256, as the 8-bit hardware counter does
    for (uint32_t len = 1; len <= 16; ++len) {
      counts[len] = read_byte();
      total = static_cast<uint8_t>(total + counts[len]);
    }
    remaining = static_cast<uint16_t>(remaining - 17u);
    if (total > 162 || total > remaining) console_line(msg::kHuffmanTable);
    const bool is_ac = (tc_th & 0x10) != 0;
    const uint32_t slot = is_ac ? static_cast<uint8_t>(tc_th - 16) : tc_th;
    if (slot >= kTableSlots) console_line(msg::kHuffmanIndex);
    for (uint32_t i = 0; i < total; ++i) {
      const uint8_t value = read_byte();
      if (slot < kTableSlots) (is_ac ? d.ac_values : d.dc_values)[slot][i] = value;
    }
    if (slot < kTableSlots) (is_ac ? d.ac_bits : d.dc_bits)[slot] = counts;
    // Kept deliberately: a count beyond the segment wraps the remainder, and the following
    // bytes are read as further tables until the data runs out.
    remaining = static_cast<uint16_t>(remaining - total);
  }
  if (remaining != 0) console_line(msg::kHuffmanLength);
}

void parse_dri() {
  DecoderState& d = g_decoder;
  if (read_u16() != 4) console_line(msg::kDriLength);
  d.restart_interval = read_u16();
}

}  // namespace

void parse_frame_header() noexcept {
  DecoderState& d = g_decoder;
  const uint32_t length = read_u16();
  if (read_byte() != 8) return fail(kErrCorruptStream, msg::kPrecision);
  d.image_h = static_cast<int32_t>(read_u16());
  d.image_w = static_cast<int32_t>(read_u16());
  console_log("file width: %d\n", d.image_w);
  console_log("file height: %d\n", d.image_h);
  d.num_components = read_byte();
  if (d.sof_seen) console_line(msg::kSecondSof);
  if (d.image_h < 1 || d.image_w < 1 || d.num_components < 1) console_line(msg::kFrameZero);
  if (((length - 8u) & 0xFFFFu) != 3u * static_cast<uint32_t>(d.num_components)) {
    console_line(msg::kSofLength);
  }
  for (int32_t i = 0; i < d.num_components; ++i) {
    const uint8_t id = read_byte();
    const uint8_t factors = read_byte();
    const uint8_t quant_sel = read_byte();
    if (i >= kMaxFrameComponents) continue;  // consumed, not stored: the frame is refused later
    FrameComponent& c = d.components[static_cast<size_t>(i)];
    c.index = static_cast<uint32_t>(i);
    c.id = id;
    c.h_samples = factors >> 4u;
    c.v_samples = factors & 0x0Fu;
    c.quant_sel = quant_sel;
    if (i == 0) d.samp_h0 = c.h_samples, d.samp_v0 = c.v_samples;
    if (i == 1) d.samp_h1 = c.h_samples, d.samp_v1 = c.v_samples;
    if (i == 2) d.samp_h2 = c.h_samples, d.samp_v2 = c.v_samples;
  }
  d.sof_seen = true;
}

void parse_scan_header() noexcept {
  DecoderState& d = g_decoder;
  const uint32_t length = read_u16();
  const uint32_t count = read_byte();
  if (length != 2 * count + 6 || count == 0 || count > 4) console_line(msg::kSosLength);
  d.scan_component_count = static_cast<int32_t>(count);
  const int32_t stored =
      d.num_components < kMaxFrameComponents ? d.num_components : kMaxFrameComponents;
  for (uint32_t j = 0; j < count; ++j) {
    const uint8_t id = read_byte();
    const uint8_t td_ta = read_byte();
    FrameComponent* match = nullptr;
    for (int32_t i = 0; i < stored && match == nullptr; ++i) {
      if (d.components[static_cast<size_t>(i)].id == id)
        match = &d.components[static_cast<size_t>(i)];
    }
    if (match == nullptr) {
      if (!d.input_exhausted) fail(kErrCorruptStream, msg::kScanIdMissing);
      continue;
    }
    match->dc_table_sel = td_ta >> 4u;
    match->ac_table_sel = td_ta & 0x0Fu;
    if (j < kMaxScanComponents) d.scan_components[j] = match;
  }
  const uint8_t ss = read_byte();
  const uint8_t se = read_byte();
  const uint8_t ah_al = read_byte();
  if (ss != 0 || se != 63 || ah_al != 0) return fail(kErrCorruptStream, msg::kNotBaseline);
  d.expected_rst = 0;
}

void parse_markers() noexcept {
  DecoderState& d = g_decoder;
  for (;;) {
    if (d.unread_marker == 0) {
      if (!d.soi_seen) {
        const uint8_t first = read_byte();
        const uint8_t second = read_byte();
        if (d.input_exhausted) {
          d.unread_marker = kMarkerEoi;
        } else {
          if (first != 0xFF || second != kMarkerSoi) console_line(msg::kNoJpeg);
          d.unread_marker = second;
        }
      } else {
        find_next_marker();
      }
    }
    // The end of the data counts as the final EOI.
    if (d.input_exhausted || d.error != 0) {
      d.decoder_status = kProgressEndOfImage;
      d.unread_marker = 0;
      return;
    }
    const uint32_t marker = d.unread_marker;
    const FrameCoding coding = frame_coding(static_cast<uint8_t>(marker));
    if (marker == kMarkerSoi) {
      if (d.soi_seen) console_line(msg::kSecondSoi);
      // Only the starts of image of the file's own top level count: an SOI inside a segment is
      // never met, and one after the first scan belongs to an image appended to this one.
      if (!d.sos_seen) ++d.soi_remaining;
      d.restart_interval = 0;
      d.soi_seen = true;
    } else if (marker == kMarkerApp0) {
      check_app0();
    } else if (marker == kMarkerDqt) {
      parse_dqt();
    } else if (coding == FrameCoding::kBaseline || coding == FrameCoding::kExtended) {
      parse_frame_header();
    } else if (coding == FrameCoding::kProgressive) {
      parse_frame_header();
      fail(kErrCorruptStream, msg::kNotBaseline);
    } else if (coding != FrameCoding::kNone || marker == kMarkerDac) {
      fail(kErrCorruptStream, msg::kUnsupportedMarker);
    } else if (marker == kMarkerDht) {
      parse_dht();
    } else if (marker == kMarkerDri) {
      parse_dri();
    } else if (marker == kMarkerSos) {
      d.sos_seen = true;
      if (d.soi_remaining > 1) {
        skip_segment();  // the scan of an embedded stream
      } else {
        parse_scan_header();
        d.unread_marker = 0;
        if (d.input_exhausted || d.error != 0) {
          d.decoder_status = kProgressEndOfImage;
          return;
        }
        d.decoder_status = kProgressScanHeader;
        return;
      }
    } else if (marker == kMarkerEoi) {
      --d.soi_remaining;
      if (d.soi_remaining <= 0) {
        d.decoder_status = kProgressEndOfImage;
        d.unread_marker = 0;
        return;
      }
      skip_segment();  // Kept deliberately: the two bytes after an embedded EOI read as a length
    } else if (marker == kMarkerApp1) {
      skip_by_length();
    } else if (marker >= kMarkerApp2 && marker <= kMarkerApp15 && marker != kMarkerApp14) {
      console_log(msg::kAppMarker, marker);
      skip_by_length();
    } else if (marker == kMarkerApp14 || marker == kMarkerCom) {
      console_line(msg::kUnsupportedMarker);
      skip_by_length();
    } else {
      console_line(msg::kUnsupportedMarker);
    }
    d.unread_marker = 0;
  }
}

}  // namespace kestrum
