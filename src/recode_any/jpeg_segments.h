// SPDX-License-Identifier: MIT
// The header of a JPEG stream walked segment by segment by its length fields (T.81 B.1.1.4,
// B.2.4): what the frame is, the sums of its quantization tables, removing the APPn and COM
// segments, and carrying the metadata segments over into a recoded stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

struct HeaderSegment {
  uint8_t marker = 0;       // second marker byte (0xE1 for APP1)
  size_t offset = 0;        // of the 0xFF
  size_t length_bytes = 0;  // marker (2) + the segment's length field
};

// The coding a frame header names by its marker (T.81 Table B.1); kNone for every other marker.
struct FrameInfo {
  uint8_t sof_marker =
      0;  // a marker whose frame_coding is not kNone; 0 when no frame header precedes the scan
  int32_t precision_bits = 0;
  int32_t width_px = 0, height_px = 0;
  int32_t components = 0;                 // 1..4 as the frame header says
  std::array<uint8_t, 4> component_id{};  // of the first four components
  std::array<uint8_t, 4> h_samp{}, v_samp{};
  int32_t adobe_transform = -1;  // APP14 "Adobe" transform flag 0..2, -1 without that segment
  bool has_jfif = false;         // an APP0 "JFIF" segment (which implies YCbCr)
};

struct JpegHeader {
  std::vector<HeaderSegment>
      segments;            // every segment after SOI, up to and including the first SOS
  size_t scan_offset = 0;  // offset of the first SOS marker
  FrameInfo frame;
  std::array<int32_t, 4> quant_sum{};  // sum of each table slot's 64 entries
  std::array<bool, 4> has_quant{};     // a DQT segment defined the slot
  bool has_wide_quant = false;         // some table has 16-bit entries (T.81 B.2.4.1 Pq = 1)
};

// Walks from SOI to the first SOS by segment lengths, skipping fill bytes (0xFF runs). False
// when the stream does not open with SOI, a segment runs past the end, or no SOS comes.
bool parse_header(const uint8_t* data, size_t size, JpegHeader* out);

// The stream without the APP1..APP15 and COM segments before its first scan (SOI, APP0, tables,
// frame header and everything from the scan on are kept byte for byte).
std::vector<uint8_t> without_app_segments(const uint8_t* data, size_t size,
                                          const JpegHeader& header);

// The source's APP1..APP15 and COM segments before its first scan (EXIF, XMP, ICC chunks, IPTC,
// maker data, comments...), whole and in source order, ready to be inserted into another stream.
// Adobe's APP14 describes the old coding and MPF's APP2 points at images after the EOI, which a
// recode does not carry: both left out, as are the APP0 segments (JFIF and JFXX describe the old
// coding).
std::vector<uint8_t> metadata_segments(const uint8_t* data, const JpegHeader& header);

// What metadata_segments cannot carry over, by name ("MPF (APP2)", "APP0 \"AVI1\"", "COM after
// the first scan"), each once in source order: segments a recode would drop that are not there
// to describe the old coding.
std::vector<std::string> segments_left_out(const uint8_t* data, size_t size,
                                           const JpegHeader& header);

// The offset just past the EOI that ends the image (the scans, tables between them and their
// entropy-coded data passed over), or 0 when the data ends without one.
size_t find_image_end(const uint8_t* data, size_t size, const JpegHeader& header);

// The stream with segments inserted after the APP0 segment that follows its SOI (right after SOI
// when it has none).
std::vector<uint8_t> insert_after_app0(const uint8_t* stream, size_t size,
                                       const std::vector<uint8_t>& segments);

// The source quality by the library's estimate rule: the sum of slots 0 and 1 against the sums of
// Tables K.1 + K.2 scaled from quality 100 down. A source with slot 0 only (greyscale) is compared
// with Table K.1 alone. Tables of 16-bit entries are compared with the scaled tables' 16-bit
// entries (libjpeg's scaling without its 8-bit limit), and give 0 where they are coarser than
// quality 1's: the request then stands. 0 when slot 0 is missing.
int32_t estimate_header_quality(const JpegHeader& header);

// "4:2:0", "4:2:2", "4:4:4", "4:4:0", "4:1:1", "greyscale", or the factors ("3x1,1x1,1x1").
std::string layout_name(const FrameInfo& frame);

// True for the frames the library decodes: SOF0, 8-bit, three components sampled 2x2, 1x1, 1x1.
bool is_library_layout(const FrameInfo& frame);

// True when three components hold R, G and B rather than Y, Cb and Cr, by libjpeg's rule: a JFIF
// segment means YCbCr; otherwise an Adobe segment's transform 0 means RGB (any other, YCbCr);
// without either, the component ids 'R', 'G', 'B' mean RGB.
bool is_rgb_coded(const FrameInfo& frame);

}  // namespace kestrum
