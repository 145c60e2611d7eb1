// SPDX-License-Identifier: MIT
// Header walk by segment lengths (T.81 B.1.1.4: every marker segment but SOI, EOI and RSTn
// carries a two-byte length that counts itself), DQT sums (B.2.4.1), frame header (B.2.2).
#include "recode_any/jpeg_segments.h"

#include <algorithm>
#include <cstring>

#include "common/jpeg_tables.h"
#include "encoder/quality.h"

namespace kestrum {
namespace {

uint32_t be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

bool starts_with(const uint8_t* body, size_t body_bytes, const char* tag, size_t tag_bytes) {
  return body_bytes >= tag_bytes && std::memcmp(body, tag, tag_bytes) == 0;
}

// Sums each table of a DQT body into its slot (T.81 B.2.4.1: Pq/Tq, then 64 entries of 8 or 16
// bits). False when a table runs past the body.
bool read_dqt(const uint8_t* body, size_t body_bytes, JpegHeader* out) {
  size_t pos = 0;
  while (pos < body_bytes) {
    const uint32_t precision = body[pos] >> 4;
    const uint32_t slot = body[pos] & 3u;
    const size_t entry_bytes = precision == 0 ? 1 : 2;
    if (precision != 0) out->has_wide_quant = true;
    if (body_bytes - pos - 1 < 64 * entry_bytes) return false;
    int32_t sum = 0;
    for (size_t i = 0; i < 64; ++i) {
      const uint8_t* e = body + pos + 1 + i * entry_bytes;
      const uint32_t v = entry_bytes == 1 ? e[0] : be16(e);
      // Entries above 255 are the 16-bit tables' own: kept for their estimate.
      sum += static_cast<int32_t>(v);
    }
    out->quant_sum[slot] = sum;
    out->has_quant[slot] = true;
    pos += 1 + 64 * entry_bytes;
  }
  return true;
}

void read_frame(uint8_t marker, const uint8_t* body, size_t body_bytes, FrameInfo* frame) {
  if (frame->sof_marker != 0 || body_bytes < 6) return;
  frame->sof_marker = marker;
  frame->precision_bits = body[0];
  frame->height_px = static_cast<int32_t>(be16(body + 1));
  frame->width_px = static_cast<int32_t>(be16(body + 3));
  frame->components = body[5];
  for (size_t c = 0; c < 4 && c < static_cast<size_t>(body[5]) && 6 + 3 * c + 2 < body_bytes; ++c) {
    frame->component_id[c] = body[6 + 3 * c];
    frame->h_samp[c] = static_cast<uint8_t>(body[7 + 3 * c] >> 4);
    frame->v_samp[c] = static_cast<uint8_t>(body[7 + 3 * c] & 15u);
  }
}

// Quality of a single table sum against Table K.1 scaled from 100 down.
int32_t estimate_luma_only(int32_t sum) {
  std::array<int16_t, 64> scaled{};
  for (int32_t q = 100; q >= 1; --q) {
    scale_quant_table(kBaseLumaQuant.data(), scaled.data(), q);
    int32_t reference = 0;
    for (int16_t v : scaled) reference += v;
    if (sum <= reference) return q;
  }
  return 1;
}

// The sum of a base table scaled at quality as libjpeg scales it for tables of 16-bit entries
// (jpeg_set_quality without its baseline limit: entries 1..32767).
int32_t wide_scaled_sum(const std::array<int16_t, 64>& base, int32_t quality) {
  const int32_t scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  int32_t sum = 0;
  for (int16_t b : base) sum += std::clamp((b * scale + 50) / 100, 1, 32767);
  return sum;
}

// Quality of tables with 16-bit entries: the highest whose scaled tables are no finer than the
// source's, or 0 where the source's are coarser than even quality 1's (no quality to go by).
int32_t estimate_wide_quality(const JpegHeader& header) {
  const bool has_chroma = header.has_quant[1];
  const int32_t sum = header.quant_sum[0] + (has_chroma ? header.quant_sum[1] : 0);
  for (int32_t q = 100; q >= 1; --q) {
    const int32_t reference = wide_scaled_sum(kBaseLumaQuant, q) +
                              (has_chroma ? wide_scaled_sum(kBaseChromaQuant, q) : 0);
    if (sum <= reference) return q;
  }
  return 0;
}

bool is_app_or_comment(uint8_t marker) {
  return (marker >= kMarkerApp0 && marker <= kMarkerApp15) || marker == kMarkerCom;
}

// An MPF segment (APP2 "MPF"): its offsets point at images after the EOI.
bool is_mpf(const uint8_t* body, size_t body_bytes) {
  return starts_with(body, body_bytes, "MPF", 4);
}

// The segments a recode carries over: every APP1..APP15 and COM segment but Adobe's APP14 (it
// describes the old coding) and MPF's APP2 (the images it points at are not carried).
bool is_carried(uint8_t marker, const uint8_t* body, size_t body_bytes) {
  if (!is_app_or_comment(marker) || marker == kMarkerApp0) return false;
  if (marker == kMarkerApp14 && starts_with(body, body_bytes, "Adobe", 5)) return false;
  return !(marker == kMarkerApp2 && is_mpf(body, body_bytes));
}

// "APP11", "COM".
std::string marker_name(uint8_t marker) {
  return marker == kMarkerCom ? "COM" : "APP" + std::to_string(marker - kMarkerApp0);
}

// The tag a segment's body opens with, up to its NUL (at most 16 bytes, '?' for others).
std::string printable_tag(const uint8_t* body, size_t body_bytes) {
  std::string tag;
  for (size_t i = 0; i < body_bytes && i < 16 && body[i] != 0; ++i)
    tag += body[i] >= 0x20 && body[i] < 0x7F ? static_cast<char>(body[i]) : '?';
  return tag;
}

// Walks from the first scan to the EOI that ends the image (the scans, tables between them and
// their entropy-coded data passed over), calling met(marker) for each marker segment on the way.
// Returns the offset just past that EOI, or 0 when the data ends without one.
template <typename Met>
size_t walk_image(const uint8_t* data, size_t size, const JpegHeader& header, Met met) {
  size_t pos = header.scan_offset;
  while (pos + 1 < size) {
    // pos is at a marker: step over it and its segment, if it has one.
    const uint8_t marker = data[pos + 1];
    if (marker == kMarkerEoi) return pos + 2;
    if (marker == kMarkerSoi || marker == kMarkerTem ||
        (marker >= kMarkerRst0 && marker <= kMarkerRst7)) {
      pos += 2;
    } else {
      if (pos + 4 > size) return 0;
      if (pos != header.scan_offset) met(marker);
      pos += 2 + be16(data + pos + 2);
    }
    // Entropy-coded data (or none) up to the next marker: FF 00 is a stuffed byte, FF FF fill.
    // memchr finds the FF bytes (most of the data has none), each then judged by its next byte.
    while (pos + 1 < size) {
      const void* ff = std::memchr(data + pos, 0xFF, size - 1 - pos);
      if (ff == nullptr) {
        pos = size - 1;
        break;
      }
      pos = static_cast<size_t>(static_cast<const uint8_t*>(ff) - data);
      const uint8_t next = data[pos + 1];
      if (next != 0x00 && next != 0xFF && !(next >= kMarkerRst0 && next <= kMarkerRst7)) break;
      ++pos;
    }
  }
  return 0;
}

}  // namespace

bool parse_header(const uint8_t* data, size_t size, JpegHeader* out) {
  *out = JpegHeader{};
  if (size < 4 || data[0] != 0xFF || data[1] != kMarkerSoi) return false;
  size_t pos = 2;
  for (;;) {
    if (pos >= size || data[pos] != 0xFF) return false;
    while (pos + 1 < size && data[pos + 1] == 0xFF) ++pos;  // fill bytes (T.81 B.1.1.2)
    if (pos + 4 > size) return false;
    const uint8_t marker = data[pos + 1];
    const size_t length = be16(data + pos + 2);
    if (length < 2 || length > size - pos - 2) return false;
    const uint8_t* body = data + pos + 4;
    const size_t body_bytes = length - 2;
    out->segments.push_back(HeaderSegment{marker, pos, length + 2});
    if (marker == kMarkerDqt && !read_dqt(body, body_bytes, out)) return false;
    if (frame_coding(marker) != FrameCoding::kNone)
      read_frame(marker, body, body_bytes, &out->frame);
    if (marker == kMarkerApp14 && starts_with(body, body_bytes, "Adobe", 5) && body_bytes >= 12) {
      out->frame.adobe_transform = body[11];
    }
    if (marker == kMarkerApp0 && starts_with(body, body_bytes, "JFIF", 5) && body_bytes >= 14)
      out->frame.has_jfif = true;
    if (marker == kMarkerSos) {
      out->scan_offset = pos;
      return out->frame.sof_marker != 0;
    }
    pos += length + 2;
  }
}

std::vector<uint8_t> without_app_segments(const uint8_t* data, size_t size,
                                          const JpegHeader& header) {
  std::vector<uint8_t> clean(data, data + 2);
  for (const HeaderSegment& s : header.segments) {
    const bool is_metadata =
        (s.marker >= kMarkerApp1 && s.marker <= kMarkerApp15) || s.marker == kMarkerCom;
    if (s.marker == kMarkerSos || is_metadata) continue;
    clean.insert(clean.end(), data + s.offset, data + s.offset + s.length_bytes);
  }
  clean.insert(clean.end(), data + header.scan_offset, data + size);
  return clean;
}

std::vector<uint8_t> metadata_segments(const uint8_t* data, const JpegHeader& header) {
  std::vector<uint8_t> kept;
  for (const HeaderSegment& s : header.segments) {
    if (is_carried(s.marker, data + s.offset + 4, s.length_bytes - 4))
      kept.insert(kept.end(), data + s.offset, data + s.offset + s.length_bytes);
  }
  return kept;
}

std::vector<std::string> segments_left_out(const uint8_t* data, size_t size,
                                           const JpegHeader& header) {
  std::vector<std::string> names;
  const auto add = [&names](const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  for (const HeaderSegment& s : header.segments) {
    const uint8_t* body = data + s.offset + 4;
    const size_t body_bytes = s.length_bytes - 4;
    if (s.marker == kMarkerApp2 && is_mpf(body, body_bytes)) add("MPF (APP2)");
    if (s.marker == kMarkerApp0 && !starts_with(body, body_bytes, "JFIF", 5) &&
        !starts_with(body, body_bytes, "JFXX", 5))
      add("APP0 \"" + printable_tag(body, body_bytes) + "\"");
  }
  walk_image(data, size, header, [&](uint8_t marker) {
    if (is_app_or_comment(marker)) add(marker_name(marker) + " after the first scan");
  });
  return names;
}

size_t find_image_end(const uint8_t* data, size_t size, const JpegHeader& header) {
  return walk_image(data, size, header, [](uint8_t) {});
}

std::vector<uint8_t> insert_after_app0(const uint8_t* stream, size_t size,
                                       const std::vector<uint8_t>& segments) {
  size_t at = 2;
  if (size >= 6 && stream[2] == 0xFF && stream[3] == kMarkerApp0 && be16(stream + 4) + 4 <= size)
    at = 4 + be16(stream + 4);
  std::vector<uint8_t> out(stream, stream + at);
  out.insert(out.end(), segments.begin(), segments.end());
  out.insert(out.end(), stream + at, stream + size);
  return out;
}

int32_t estimate_header_quality(const JpegHeader& header) {
  if (!header.has_quant[0]) return 0;
  if (header.has_wide_quant) return estimate_wide_quality(header);
  if (!header.has_quant[1]) return estimate_luma_only(header.quant_sum[0]);
  return estimate_source_quality(header.quant_sum[0] + header.quant_sum[1]);
}

std::string layout_name(const FrameInfo& frame) {
  if (frame.components == 1) return "greyscale";
  if (frame.components == 3 && frame.h_samp[1] == 1 && frame.v_samp[1] == 1 &&
      frame.h_samp[2] == 1 && frame.v_samp[2] == 1) {
    struct Named {
      uint8_t h, v;
      const char* name;
    };
    constexpr Named kNames[] = {
        {2, 2, "4:2:0"}, {2, 1, "4:2:2"}, {1, 1, "4:4:4"}, {1, 2, "4:4:0"}, {4, 1, "4:1:1"}};
    for (const Named& n : kNames) {
      if (frame.h_samp[0] == n.h && frame.v_samp[0] == n.v) return n.name;
    }
  }
  std::string factors;
  for (size_t c = 0; c < 4 && c < static_cast<size_t>(frame.components); ++c) {
    if (c > 0) factors += ',';
    factors += std::to_string(frame.h_samp[c]) + "x" + std::to_string(frame.v_samp[c]);
  }
  return factors;
}

bool is_rgb_coded(const FrameInfo& frame) {
  if (frame.components != 3 || frame.has_jfif) return false;
  if (frame.adobe_transform >= 0) return frame.adobe_transform == 0;
  return frame.component_id[0] == 'R' && frame.component_id[1] == 'G' &&
         frame.component_id[2] == 'B';
}

bool is_library_layout(const FrameInfo& frame) {
  return frame_coding(frame.sof_marker) == FrameCoding::kBaseline && frame.precision_bits == 8 &&
         layout_name(frame) == "4:2:0";
}

}  // namespace kestrum
