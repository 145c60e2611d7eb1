// SPDX-License-Identifier: MIT
// Header transcripts and malformed streams built in code from valid files: each gets a defined
// status and its exact messages, and never a read outside the data.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "decoder/decoder_state.h"
#include "param_name.h"
#include "test_images.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

const std::string kSize64 = "file width: 64\nfile height: 48\n";
const std::string kOk411 = "input jpeg file is ycbcr411 format\n";

Bytes valid_jpeg(int quality = 80) {
  JpegOptions o;
  o.quality = quality;
  return libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, o);
}

const Segment& find(const std::vector<Segment>& segs, uint8_t marker, int nth = 0) {
  for (const Segment& s : segs) {
    if (s.marker == marker && nth-- == 0) return s;
  }
  static Segment none;
  ADD_FAILURE() << "no marker " << int(marker);
  return none;
}

// Inserts bytes right after SOI.
Bytes insert_after_soi(const Bytes& j, const Bytes& segment) {
  Bytes out = j;
  out.insert(out.begin() + 2, segment.begin(), segment.end());
  return out;
}

// Replaces the segment with marker (nth occurrence) by bytes.
Bytes replace_segment(const Bytes& j, uint8_t marker, const Bytes& bytes, int nth = 0) {
  const Segment s = find(split_segments(j), marker, nth);
  Bytes out(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(s.offset));
  out.insert(out.end(), bytes.begin(), bytes.end());
  out.insert(out.end(),
             j.begin() + static_cast<std::ptrdiff_t>(
                             s.offset + (marker == 0xDA
                                             ? 2 + (size_t{j[s.offset + 2]} << 8 | j[s.offset + 3])
                                             : s.length)),
             j.end());
  return out;
}

class Markers : public ::testing::Test {
 protected:
  void SetUp() override { reset_decoder_state(); }
};

Bytes patch_sof(const Bytes& j, size_t field, uint8_t value) {
  Bytes out = j;
  out[find(split_segments(j), 0xC0).offset + field] = value;
  return out;
}
Bytes patch_sos(const Bytes& j, size_t field, uint8_t value) {
  Bytes out = j;
  out[find(split_segments(j), 0xDA).offset + field] = value;
  return out;
}
// First DHT table's class/id byte and counts (libjpeg writes one table per segment).
Bytes patch_dht(const Bytes& j, size_t field, uint8_t value) {
  Bytes out = j;
  out[find(split_segments(j), 0xC4).offset + field] = value;
  return out;
}
Bytes with_marker_byte(const Bytes& j, uint8_t marker) { return patch_sof(j, 1, marker); }

struct TranscriptCase {
  const char* name;
  Bytes stream;
  int32_t status;
  std::string log;       // the whole transcript
  bool is_tail = false;  // only its end
};

// Streams built from a valid file and what the decoder makes of them: the status and the
// transcript, every message the hardware's own. Segments it reads past are named and the image
// decodes; a frame or scan that is not baseline is refused where it is met; refusals that would
// otherwise end the host process give -2 with their message last.
TEST_F(Markers, TranscriptsAndStatuses) {
  const Bytes j = valid_jpeg();
  const Segment sof = find(split_segments(j), 0xC0);
  const Bytes sof_bytes(j.begin() + static_cast<std::ptrdiff_t>(sof.offset),
                        j.begin() + static_cast<std::ptrdiff_t>(sof.offset + sof.length));
  const Bytes no_scan(
      j.begin(), j.begin() + static_cast<std::ptrdiff_t>(find(split_segments(j), 0xDA).offset));
  Bytes dqt_index = {0xFF, 0xDB, 0x00, 0x43, 0x04}, dqt_length = {0xFF, 0xDB, 0x00, 0x44, 0x03};
  dqt_index.insert(dqt_index.end(), 64, 1);
  dqt_length.insert(dqt_length.end(), 64 + 66, 1);
  Bytes dc_symbol_16 = j;
  dc_symbol_16[find(split_segments(j), 0xC4).offset + 5 + 16] = 16;  // the luma DC's first symbol
  const std::string no_scan_text = "NOT get a start of scan mark!\n";
  const std::string no_jpeg_text = "This is no JPEG file. Please check file!\n";
  const std::string not_supported_text = "Found a not support makr.\n";
  const std::string no_version_text = "This version is not support!\n";
  const std::string decodes_text = kSize64 + kOk411;
  // SOF0 fields: 2-3 Lf, 4 P, 5-6 Y, 7-8 X, 9 Nf, then from 10 id, HV, Tq per component.
  // SOS fields: 4 Ns, 5.. Cs, TdTa per component, then Ss, Se, AhAl.
  const TranscriptCase cases[] = {
      {"valid", j, 0, decodes_text},
      {"app2", insert_after_soi(j, {0xFF, 0xE2, 0x00, 0x04, 0x11, 0x22}), 0,
       "Found a app in jpeg header,unread_marker=0xe2\n" + decodes_text},
      {"app14", insert_after_soi(j, {0xFF, 0xEE, 0x00, 0x04, 0x11, 0x22}), 0,
       not_supported_text + decodes_text},
      {"app1_silent", insert_after_soi(j, {0xFF, 0xE1, 0x00, 0x04, 0x11, 0x22}), 0, decodes_text},
      {"dri_length", insert_after_soi(j, {0xFF, 0xDD, 0x00, 0x05, 0x00, 0x00}), 0,
       "The DRI mark data num is not right.\n" + decodes_text},
      {"jfif_version",
       insert_after_soi(j,
                        {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 2, 1, 0, 0, 1, 0, 1, 0, 0}),
       0, "The JFIF version is no support!\n" + decodes_text},
      {"app0_thumb",
       insert_after_soi(j,
                        {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 1, 1}),
       0, "The app0 data num is no right!\n" + decodes_text},
      {"dqt_index", insert_after_soi(j, dqt_index), 0,
       "The DQT table index is larger than 4!\n" + decodes_text},
      {"dqt_length", insert_after_soi(j, dqt_length), 0,
       "The DQT table data num is not right!\n" + decodes_text},
      {"second_frame_header_replaces_the_first", insert_after_soi(j, sof_bytes), 0,
       kSize64 + kSize64 + "There is already one SOF0 mark!\n" + kOk411},
      {"empty", {}, -2, no_scan_text},
      {"one_byte", {0xFF}, -2, no_scan_text},
      {"soi_alone", {0xFF, 0xD8}, -2, no_scan_text},
      {"no_jpeg",
       {0x12, 0x34, 0xFF, 0xD9},
       -2,
       no_jpeg_text + not_supported_text + no_jpeg_text + no_scan_text},
      {"no_scan", no_scan, -2, kSize64 + no_scan_text},
      {"sof2", with_marker_byte(j, 0xC2), -2, no_version_text, true},
      {"sof3", with_marker_byte(j, 0xC3), -2, not_supported_text, true},
      {"sof5", with_marker_byte(j, 0xC5), -2, not_supported_text, true},
      {"sof9", with_marker_byte(j, 0xC9), -2, not_supported_text, true},
      {"sof10", with_marker_byte(j, 0xCA), -2, not_supported_text, true},
      {"sof15", with_marker_byte(j, 0xCF), -2, not_supported_text, true},
      // A DAC segment (arithmetic conditioning) before the frame.
      {"dac", insert_after_soi(j, {0xFF, 0xCC, 0x00, 0x04, 0x00, 0x11}), -2, not_supported_text},
      // Ss, Se, Ah and Al of a progressive refinement scan over a baseline frame.
      {"scan_start_1", patch_sos(j, 11, 1), -2, kSize64 + no_version_text},
      {"scan_end_5", patch_sos(j, 12, 5), -2, kSize64 + no_version_text},
      {"scan_refinement", patch_sos(j, 13, 0x10), -2, kSize64 + no_version_text},
      {"scan_id_absent", patch_sos(j, 5, 9), -2, "The scan component id is not in the frame!\n",
       true},
      {"dc_selector_4", patch_sos(j, 6, 0x40), -2, "The huffman table selector is larger than 3!\n",
       true},
      {"ac_selector_4", patch_sos(j, 6, 0x04), -2, "The huffman table selector is larger than 3!\n",
       true},
      {"quant_selector_4", patch_sof(j, 12, 4), -2, "The quant table selector is larger than 3!\n",
       true},
      {"twelve_blocks", patch_sof(patch_sof(j, 14, 0x22), 17, 0x22), -2,
       "The MCU has more than 10 blocks!\n", true},
      {"sampling_zero", patch_sof(j, 14, 0x01), -2, "The h or v samples is zero!\n", true},
      {"width_zero", patch_sof(patch_sof(j, 7, 0), 8, 0), -2, "The image has no MCU column!\n",
       true},
      {"oversubscribed", patch_dht(patch_dht(patch_dht(j, 5, 2), 6, 0), 7, 4),  // two 1-bit codes
       -2, "The huffman code lengths are over-subscribed!\n", true},
      {"dc_symbol_16", dc_symbol_16, -2, "The DC huffman table has a symbol above 15!\n", true},
      {"scan_count_zero",
       replace_segment(j, 0xDA, {0xFF, 0xDA, 0x00, 0x06, 0x00, 0x00, 0x3F, 0x00}), -2,
       "The scan component count is out of range!\n", true},
      // Sampling factors of another layout: classified, then refused.
      {"layout_422", patch_sof(patch_sof(j, 14, 0x12), 17, 0x12), -1,
       kSize64 + "input jpeg file is ycbcr422 format\nnot support. only support yuv420\n"},
      {"layout_unclassified", patch_sof(patch_sof(j, 14, 0x21), 17, 0x21), -1,
       kSize64 + "not support. only support yuv420\n"},
      {"layout_41", patch_sof(patch_sof(patch_sof(j, 11, 0x41), 14, 0x11), 17, 0x11), -1,
       kSize64 + "The h or v samples is not right!\nformat cant recongnized!\n"},
  };
  for (const TranscriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset_decoder_state();
    const OurDecode r = decode_ours(c.stream);
    EXPECT_EQ(r.status, c.status) << r.log;
    if (c.is_tail) {
      ASSERT_GE(r.log.size(), c.log.size()) << r.log;
      EXPECT_EQ(r.log.substr(r.log.size() - c.log.size()), c.log);
    } else {
      EXPECT_EQ(r.log, c.log);
    }
  }
}

TEST_F(Markers, StoredTablesDoNotLeakBetweenDecodes) {
  // A file that uses table numbers it never defines decodes the same after another file as in a
  // fresh process.
  Bytes j = valid_jpeg();
  Bytes stripped = replace_segment(j, 0xDB, {});
  const OurDecode fresh = decode_ours(stripped);
  decode_ours(valid_jpeg(30));
  const OurDecode after = decode_ours(stripped);
  EXPECT_EQ(fresh.status, after.status);
  EXPECT_EQ(fresh.image, after.image);
  for (uint16_t v : g_decoder.quant_tables[0]) ASSERT_EQ(v, 0);  // the removed luma table
}

TEST_F(Markers, TruncatedAndFlippedStreamsStayDefined) {
  const Bytes j = valid_jpeg();
  for (size_t cut = 0; cut < j.size(); cut += 3) {
    const OurDecode r = decode_ours(Bytes(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_TRUE(r.status == 0 || r.status == -2 || r.status == -1) << cut << " " << r.status;
  }
  std::mt19937 rng(1234);
  const size_t data_start = find(split_segments(j), 0xDA).offset + 14;
  for (int trial = 0; trial < 200; ++trial) {
    Bytes b = j;
    for (int f = 0; f < 4; ++f) {
      const size_t at = data_start + rng() % (b.size() - data_start - 2);
      b[at] = static_cast<uint8_t>(b[at] ^ (1u << (rng() % 8)));
    }
    const OurDecode r = decode_ours(b);
    ASSERT_TRUE(r.status == 0 || r.status < 0);
  }
}

// What real files carry around the image is passed over by its length: the image decodes as
// libjpeg decodes it, with the log of the same photo without it. What the decoder cannot decode
// as baseline is refused with the hardware's message, never decoded into another picture.
struct StructureCase {
  const char* name;
  std::string log_head;  // printed before the frame's lines; for a refusal, the last line
  bool decodes;
};
class Structures : public ::testing::TestWithParam<StructureCase> {};

TEST_P(Structures, DecodeToTheirOwnPictureOrAreRefused) {
  const StructureCase& c = GetParam();
  reset_decoder_state();
  Bytes jpeg;
  for (const NamedImage& image : test_image_set()) {
    if (image.name == c.name) jpeg = image.jpeg;
  }
  ASSERT_FALSE(jpeg.empty()) << c.name;
  const OurDecode r = decode_ours(jpeg);
  if (!c.decodes) {
    EXPECT_EQ(r.status, -2) << r.log;
    const std::string line = c.log_head + "\n";
    ASSERT_GE(r.log.size(), line.size()) << r.log;
    EXPECT_EQ(r.log.substr(r.log.size() - line.size()), line) << r.log;
    return;
  }
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, c.log_head + "file width: 200\nfile height: 150\n" + kOk411);
  const PlaneAgreement a = compare_planes_with_libjpeg(jpeg, r);
  EXPECT_LE(a.max_diff, 2);
  EXPECT_GE(a.psnr_min(), 50.0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Structures,
    ::testing::Values(
        StructureCase{"thumbnail_other_tables", "", true},
        StructureCase{"thumbnail_with_restarts", "", true},
        StructureCase{"two_thumbnails", "Found a app in jpeg header,unread_marker=0xe2\n", true},
        StructureCase{"table_in_comment", "Found a not support makr.\n", true},
        StructureCase{"markers_in_xmp", "", true},
        StructureCase{"jpeg_in_app11", "Found a app in jpeg header,unread_marker=0xeb\n", true},
        StructureCase{"image_appended", "", true}, StructureCase{"extended_8bit_tables", "", true},
        StructureCase{"extended_16bit_tables",
                      "This jpeg picture use 16bit quant table. Not support by hardware!", false},
        StructureCase{"precision_12",
                      "The jpeg data precision is no 8bit!\nThe hardware only support 8bit!",
                      false},
        StructureCase{"progressive", "This version is not support!", false},
        StructureCase{"arithmetic", "Found a not support makr.", false}),
    ParamName());

// Only the starts of image met at the file's top level, before its first scan header, count:
// FF D8 inside a segment or after the image does not.
struct SoiCase {
  const char* name;
  Bytes comment;   // COM payload inserted after SOI
  Bytes before;    // bytes before the file
  Bytes appended;  // bytes after EOI
  bool decodes;
};
class SoiPairs : public ::testing::TestWithParam<SoiCase> {};

TEST_P(SoiPairs, CountedAtTheTopLevelOnly) {
  const SoiCase& c = GetParam();
  reset_decoder_state();
  Bytes com = {0xFF, 0xFE, 0, static_cast<uint8_t>(c.comment.size() + 2)};
  com.insert(com.end(), c.comment.begin(), c.comment.end());
  Bytes j = c.before;
  const Bytes file = insert_after_soi(valid_jpeg(), com);
  j.insert(j.end(), file.begin(), file.end());
  j.insert(j.end(), c.appended.begin(), c.appended.end());
  const OurDecode r = decode_ours(j);
  EXPECT_EQ(r.status == 0, c.decodes) << c.name << ": " << r.log;
}

INSTANTIATE_TEST_SUITE_P(
    Placements, SoiPairs,
    ::testing::Values(SoiCase{"none", {'a', 'b'}, {}, {}, true},
                      SoiCase{"in_a_comment", {'x', 0xFF, 0xD8}, {}, {}, true},
                      SoiCase{"after_ff_run", {0xFF, 0xFF, 0xFF, 0xD8}, {}, {}, true},
                      SoiCase{"after_the_image", {'a'}, {}, {0xFF, 0xD8}, true},
                      SoiCase{"a_second_top_level_soi", {'a'}, {0xFF, 0xD8}, {}, false}),
    ParamName());

TEST(HostileSizes, FramesBeyondCapacityAreRefusedBeforeAllocating) {
  reset_decoder_state();
  Bytes j = valid_jpeg(90);
  for (const Segment& s : split_segments(j)) {
    if (s.marker != 0xC0) continue;
    for (size_t i = 5; i < 9; ++i) j[s.offset + i] = 0xFF;  // 65535 x 65535
  }
  const OurDecode r = decode_ours(j);
  EXPECT_EQ(r.status, -6);
  EXPECT_TRUE(r.image.empty());  // the caller's buffer was never asked for
  EXPECT_EQ(
      r.log,
      "file width: 65535\nfile height: 65535\nThe width or height is out of range!!!\n\n"
      "input jpeg file is ycbcr411 format\nThe image is too large for the decoder buffers!\n");
}

// A frame header between the entropy data and EOI replaces the frame fields; the image and the
// reported size stay those of the decoded frame.
TEST(LaterFrameHeader, DoesNotResizeTheDecodedImage) {
  reset_decoder_state();
  const Bytes j = valid_jpeg(90);
  Bytes sof;
  for (const Segment& s : split_segments(j)) {
    if (s.marker == 0xC0)
      sof.assign(j.begin() + static_cast<std::ptrdiff_t>(s.offset),
                 j.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
  }
  sof[5] = 0x01;  // 480 lines
  sof[6] = 0xE0;
  sof[7] = 0x02;  // 640 samples per line
  sof[8] = 0x80;
  Bytes b(j.begin(), j.end() - 2);
  b.insert(b.end(), sof.begin(), sof.end());
  b.push_back(0xFF);
  b.push_back(0xD9);
  const OurDecode r = decode_ours(b);
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.width, 64);
  EXPECT_EQ(r.height, 48);
  EXPECT_EQ(r.image.size(), 64u * 48u * 3u / 2u);
  EXPECT_NE(r.log.find("file width: 640\nfile height: 480\nThere is already one SOF0 mark!\n"),
            std::string::npos);
}

}  // namespace
}  // namespace kestrum::test
