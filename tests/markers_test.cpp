// SPDX-License-Identifier: MIT
// Header transcripts and malformed streams built in code from valid files: each gets a defined
// status and its exact messages, and never a read outside the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "decoder/decoder_state.h"
#include "test_images.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

const std::string kSize64 = "file width: 64\nfile height: 48\n";
const std::string kOk411 = "input jpeg file is ycbcr411 format\n";

Bytes valid_jpeg(int quality = 80) {
  return libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, baseline_options(quality));
}

Segment find(const Bytes& j, uint8_t marker) {
  for (const Segment& s : split_segments(j)) {
    if (s.marker == marker) return s;
  }
  ADD_FAILURE() << "no marker " << int(marker);
  return {};
}

Bytes before(const Bytes& j, size_t at) {
  return Bytes(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(at));
}

// Inserts bytes right after SOI.
Bytes insert_after_soi(Bytes j, const Bytes& segment) {
  j.insert(j.begin() + 2, segment.begin(), segment.end());
  return j;
}

// Bytes of the first segment with marker set at their offsets from its FF. SOF0 fields: 2-3 Lf,
// 4 P, 5-6 Y, 7-8 X, 9 Nf, then from 10 id, HV, Tq per component. SOS fields: 4 Ns, 5.. Cs, TdTa
// per component, then Ss, Se, AhAl. DHT (one table a segment): 4 class and id, 5-20 counts.
Bytes patched(Bytes j, uint8_t marker, std::initializer_list<std::pair<size_t, uint8_t>> edits) {
  const size_t at = find(j, marker).offset;
  for (const auto& [field, value] : edits) j[at + field] = value;
  return j;
}

// What the decoder's transcript must show: all of it, its end, or one part of it.
enum class Match { kWhole, kTail, kPart };

struct TranscriptCase {
  const char* name;
  Bytes stream;
  int32_t status;
  std::string log;
  Match match = Match::kWhole;
  bool is_test_image = false;  // the stream is the test image of this name, libjpeg's picture
};

// Streams built from valid files and what the decoder makes of them: the status and the
// transcript, every message the hardware's own. Segments it reads past are named and the image
// decodes at its own size; a frame or scan that is not baseline is refused where it is met;
// refusals that would otherwise end the host process give -2 with their message last. What real
// files carry around the image (the test images) is passed over by its length: the image decodes
// as libjpeg decodes it, with the log of the same photo without it; what the decoder cannot decode
// as baseline is refused with the hardware's message, never decoded into another picture.
TEST(Markers, TranscriptsAndStatuses) {
  const Bytes j = valid_jpeg();
  const Bytes sof_bytes = segment_bytes(j, 0xC0);
  const Segment sos = find(j, 0xDA);
  // A frame header after the entropy data, claiming 640 x 480.
  Bytes later_sof = concat({before(j, j.size() - 2), sof_bytes, {0xFF, 0xD9}});
  const size_t later_at = j.size() - 2;
  later_sof[later_at + 5] = 0x01, later_sof[later_at + 6] = 0xE0;
  later_sof[later_at + 7] = 0x02, later_sof[later_at + 8] = 0x80;
  // A scan header of no components over the scan's own data.
  const Bytes scan_count_zero =
      concat({before(j, sos.offset),
              {0xFF, 0xDA, 0x00, 0x06, 0x00, 0x00, 0x3F, 0x00},
              Bytes(j.begin() + static_cast<std::ptrdiff_t>(scan_data_offset(j)), j.end())});
  Bytes dqt_index = {0xFF, 0xDB, 0x00, 0x43, 0x04}, dqt_length = {0xFF, 0xDB, 0x00, 0x44, 0x03};
  dqt_index.insert(dqt_index.end(), 64, 1);
  dqt_length.insert(dqt_length.end(), 64 + 66, 1);
  const auto layout = [](int h0, int v0, int components) {
    return libjpeg_encode(photo_rgb(64, 64), 64, 64, layout_options(h0, v0, components));
  };
  const std::string no_scan = "NOT get a start of scan mark!\n";
  const std::string no_jpeg = "This is no JPEG file. Please check file!\n";
  const std::string not_supported = "Found a not support makr.\n";
  const std::string no_version = "This version is not support!\n";
  const std::string only_420 = "not support. only support yuv420\n";
  const std::string selector = "The huffman table selector is larger than 3!\n";
  const std::string size_64x64 = "file width: 64\nfile height: 64\ninput jpeg file is ycbcr";
  const std::string decodes = kSize64 + kOk411;
  const auto after_soi = [&j](const Bytes& segment) { return insert_after_soi(j, segment); };
  const auto sof_marker = [&j](uint8_t m) { return patched(j, 0xC0, {{1, m}}); };
  constexpr Match kTail = Match::kTail, kWhole = Match::kWhole;
  const std::string photo = "file width: 200\nfile height: 150\n" + kOk411;
  const std::string app2 = "Found a app in jpeg header,unread_marker=0xe2\n";
  const std::string wide_tables =
      "This jpeg picture use 16bit quant table. Not support by hardware!\n";
  const std::string twelve_bit =
      "The jpeg data precision is no 8bit!\nThe hardware only support 8bit!\n";
  const Bytes named;  // the test image of the row's name
  const std::vector<NamedImage> images = test_image_set();
  // name, stream, status, transcript, how much of it
  const TranscriptCase cases[] = {
      {"valid", j, 0, decodes},
      {"app2", after_soi({0xFF, 0xE2, 0, 4, 0x11, 0x22}), 0, app2 + decodes},
      {"app14", after_soi({0xFF, 0xEE, 0, 4, 0x11, 0x22}), 0, not_supported + decodes},
      {"app1_silent", after_soi({0xFF, 0xE1, 0, 4, 0x11, 0x22}), 0, decodes},
      // No payload to copy: the checks are skipped, and the marker walk goes on from the length.
      {"app0_length_1", after_soi({0xFF, 0xE0, 0, 1}), 0,
       "Can not alloc memory for app0_data\n" + decodes},
      {"dri_length", after_soi({0xFF, 0xDD, 0, 5, 0, 0}), 0,
       "The DRI mark data num is not right.\n" + decodes},
      {"jfif_version",
       after_soi({0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 2, 1, 0, 0, 1, 0, 1, 0, 0}), 0,
       "The JFIF version is no support!\n" + decodes},
      {"app0_thumb",
       after_soi({0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 1, 1}), 0,
       "The app0 data num is no right!\n" + decodes},
      {"dqt_index", after_soi(dqt_index), 0, "The DQT table index is larger than 4!\n" + decodes},
      {"dqt_length", after_soi(dqt_length), 0, "The DQT table data num is not right!\n" + decodes},
      {"second_frame_header_replaces_the_first", after_soi(sof_bytes), 0,
       kSize64 + kSize64 + "There is already one SOF0 mark!\n" + kOk411},
      // A later frame header replaces the frame fields, not the decoded image or its size.
      {"frame_header_after_the_scan", later_sof, 0,
       "file width: 640\nfile height: 480\nThere is already one SOF0 mark!\n", Match::kPart},
      {"empty", {}, -2, no_scan},
      {"one_byte", {0xFF}, -2, no_scan},
      {"soi_alone", {0xFF, 0xD8}, -2, no_scan},
      {"no_jpeg", {0x12, 0x34, 0xFF, 0xD9}, -2, no_jpeg + not_supported + no_jpeg + no_scan},
      {"no_scan", before(j, sos.offset), -2, kSize64 + no_scan},
      {"sof2", sof_marker(0xC2), -2, kSize64 + no_version},
      {"sof3", sof_marker(0xC3), -2, not_supported, kTail},
      {"sof5", sof_marker(0xC5), -2, not_supported, kTail},
      {"sof9", sof_marker(0xC9), -2, not_supported, kTail},
      {"sof10", sof_marker(0xCA), -2, not_supported, kTail},
      {"sof15", sof_marker(0xCF), -2, not_supported, kTail},
      // A DAC segment (arithmetic conditioning) before the frame.
      {"dac", after_soi({0xFF, 0xCC, 0x00, 0x04, 0x00, 0x11}), -2, not_supported},
      // Ss, Se, Ah and Al of a progressive refinement scan over a baseline frame.
      {"scan_start_1", patched(j, 0xDA, {{11, 1}}), -2, kSize64 + no_version},
      {"scan_end_5", patched(j, 0xDA, {{12, 5}}), -2, kSize64 + no_version},
      {"scan_refinement", patched(j, 0xDA, {{13, 0x10}}), -2, kSize64 + no_version},
      {"scan_id_absent", patched(j, 0xDA, {{5, 9}}), -2,
       "The scan component id is not in the frame!\n", kTail},
      {"dc_selector_4", patched(j, 0xDA, {{6, 0x40}}), -2, selector, kTail},
      {"ac_selector_4", patched(j, 0xDA, {{6, 0x04}}), -2, selector, kTail},
      {"quant_selector_4", patched(j, 0xC0, {{12, 4}}), -2,
       "The quant table selector is larger than 3!\n", kTail},
      {"twelve_blocks", patched(j, 0xC0, {{14, 0x22}, {17, 0x22}}), -2,
       "The MCU has more than 10 blocks!\n", kTail},
      {"sampling_zero", patched(j, 0xC0, {{14, 0x01}}), -2, "The h or v samples is zero!\n", kTail},
      {"width_zero", patched(j, 0xC0, {{7, 0}, {8, 0}}), -2, "The image has no MCU column!\n",
       kTail},
      {"oversubscribed", patched(j, 0xC4, {{5, 2}, {6, 0}, {7, 4}}), -2,  // two 1-bit codes
       "The huffman code lengths are over-subscribed!\n", kTail},
      {"dc_symbol_16", patched(j, 0xC4, {{21, 16}}), -2,  // the luma DC table's first symbol
       "The DC huffman table has a symbol above 15!\n", kTail},
      {"scan_count_zero", scan_count_zero, -2, "The scan component count is out of range!\n",
       kTail},
      // The caller's buffer is never asked for a frame beyond the decoder's capacity.
      {"frame_beyond_capacity", patched(j, 0xC0, {{5, 0xFF}, {6, 0xFF}, {7, 0xFF}, {8, 0xFF}}), -6,
       "file width: 65535\nfile height: 65535\nThe width or height is out of range!!!\n\n" +
           kOk411 + "The image is too large for the decoder buffers!\n"},
      // Sampling factors of another layout: classified, then refused.
      {"layout_422", patched(j, 0xC0, {{14, 0x12}, {17, 0x12}}), -1,
       kSize64 + "input jpeg file is ycbcr422 format\n" + only_420},
      {"layout_unclassified", patched(j, 0xC0, {{14, 0x21}, {17, 0x21}}), -1, kSize64 + only_420},
      {"layout_41", patched(j, 0xC0, {{11, 0x41}, {14, 0x11}, {17, 0x11}}), -1,
       kSize64 + "The h or v samples is not right!\nformat cant recongnized!\n"},
      {"libjpeg_444", layout(1, 1, 3), -1, size_64x64 + "111 format\n" + only_420},
      {"libjpeg_422", layout(2, 1, 3), -1, size_64x64 + "211h format\n" + only_420},
      {"libjpeg_440", layout(1, 2, 3), -1, size_64x64 + "211v format\n" + only_420},
      {"libjpeg_grey", layout(1, 1, 1), -1, size_64x64 + "100 format\n" + only_420},
      {"libjpeg_grey_2x2", layout(2, 2, 1), -1, size_64x64 + "100 format\n" + only_420},
      {"thumbnail_other_tables", named, 0, photo, kWhole, true},
      {"thumbnail_with_restarts", named, 0, photo, kWhole, true},
      {"two_thumbnails", named, 0, app2 + photo, kWhole, true},
      {"table_in_comment", named, 0, not_supported + photo, kWhole, true},
      {"markers_in_xmp", named, 0, photo, kWhole, true},
      {"jpeg_in_app11", named, 0, "Found a app in jpeg header,unread_marker=0xeb\n" + photo, kWhole,
       true},
      {"image_appended", named, 0, photo, kWhole, true},
      {"extended_8bit_tables", named, 0, photo, kWhole, true},
      {"extended_16bit_tables", named, -2, wide_tables, kTail, true},
      {"precision_12", named, -2, twelve_bit, kTail, true},
      {"progressive", named, -2, no_version, kTail, true},
      {"arithmetic", named, -2, not_supported, kTail, true},
  };
  for (const TranscriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    reset_decoder_state();
    Bytes stream = c.stream;
    for (const NamedImage& image : images)
      stream = c.is_test_image && image.name == c.name ? image.jpeg : stream;
    ASSERT_FALSE(stream.empty() && c.is_test_image);
    const OurDecode r = decode_ours(stream);
    EXPECT_EQ(r.status, c.status) << r.log;
    const size_t tail_at = r.log.size() - std::min(r.log.size(), c.log.size());
    const bool has_part = r.log.find(c.log) != std::string::npos;
    EXPECT_EQ(c.match == Match::kWhole  ? r.log
              : c.match == Match::kTail ? r.log.substr(tail_at)
                                        : (has_part ? c.log : r.log),
              c.log);
    if (r.status == 0 && c.is_test_image) {
      const PlaneAgreement a = compare_planes_with_libjpeg(stream, r);
      EXPECT_LE(a.max_diff, 2);
      EXPECT_GE(a.psnr_min(), 50.0);
    } else if (r.status == 0) {
      EXPECT_EQ(r.width, 64);
      EXPECT_EQ(r.height, 48);
      EXPECT_EQ(r.image.size(), 64u * 48u * 3u / 2u);
    }
    EXPECT_TRUE(c.status != -6 || r.image.empty());
  }
}

// A file that uses table numbers it never defines decodes the same after another file as in a
// fresh process.
TEST(Markers, StoredTablesDoNotLeakBetweenDecodes) {
  reset_decoder_state();
  const Bytes j = valid_jpeg();
  const Segment dqt = find(j, 0xDB);
  Bytes stripped = j;
  stripped.erase(stripped.begin() + static_cast<std::ptrdiff_t>(dqt.offset),
                 stripped.begin() + static_cast<std::ptrdiff_t>(dqt.offset + dqt.length));
  const OurDecode fresh = decode_ours(stripped);
  decode_ours(valid_jpeg(30));
  const OurDecode after = decode_ours(stripped);
  EXPECT_EQ(fresh.status, after.status);
  EXPECT_EQ(fresh.image, after.image);
  for (uint16_t v : g_decoder.quant_tables[0]) ASSERT_EQ(v, 0);  // the removed luma table
}

TEST(Markers, TruncatedAndFlippedStreamsStayDefined) {
  reset_decoder_state();
  const Bytes j = valid_jpeg();
  for (size_t cut = 0; cut < j.size(); cut += 3) {
    const OurDecode r = decode_ours(before(j, cut));
    ASSERT_TRUE(r.status == 0 || r.status == -2 || r.status == -1) << cut << " " << r.status;
  }
  std::mt19937 rng(1234);
  const size_t data_start = find(j, 0xDA).offset + 14;
  for (int trial = 0; trial < 200; ++trial) {
    Bytes b = j;
    for (int f = 0; f < 4; ++f) {
      const size_t at = data_start + rng() % (b.size() - data_start - 2);
      b[at] = static_cast<uint8_t>(b[at] ^ (1u << (rng() % 8)));
    }
    ASSERT_LE(decode_ours(b).status, 0);
  }
}

// Only the starts of image met at the file's top level, before its first scan header, count:
// FF D8 inside a segment or after the image does not.
TEST(Markers, StartsOfImageCountAtTheTopLevelOnly) {
  // name, COM payload inserted after SOI, bytes before the file, bytes after EOI, decodes
  const std::tuple<const char*, Bytes, Bytes, Bytes, bool> cases[] = {
      {"none", {'a', 'b'}, {}, {}, true},
      {"in_a_comment", {'x', 0xFF, 0xD8}, {}, {}, true},
      {"after_ff_run", {0xFF, 0xFF, 0xFF, 0xD8}, {}, {}, true},
      {"after_the_image", {'a'}, {}, {0xFF, 0xD8}, true},
      {"a_second_top_level_soi", {'a'}, {0xFF, 0xD8}, {}, false}};
  for (const auto& [name, comment, lead, appended, decodes] : cases) {
    reset_decoder_state();
    const OurDecode r = decode_ours(
        concat({lead, insert_after_soi(valid_jpeg(), segment(0xFE, comment)), appended}));
    EXPECT_EQ(r.status == 0, decodes) << name << ": " << r.log;
  }
}

}  // namespace
}  // namespace kestrum::test
