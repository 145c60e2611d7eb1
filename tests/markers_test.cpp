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

TEST_F(Markers, ValidFileTranscript) {
  const OurDecode r = decode_ours(valid_jpeg());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, kSize64 + kOk411);
}

struct HeaderCase {
  const char* name;
  Bytes segment;  // inserted after SOI
  std::string log_head;
};
class HeaderMessages : public Markers, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderMessages, PrintAndGoOn) {
  const OurDecode r = decode_ours(insert_after_soi(valid_jpeg(), GetParam().segment));
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, GetParam().log_head + kSize64 + kOk411);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderMessages,
    ::testing::Values(
        HeaderCase{"app2",
                   {0xFF, 0xE2, 0x00, 0x04, 0x11, 0x22},
                   "Found a app in jpeg header,unread_marker=0xe2\n"},
        HeaderCase{"app14", {0xFF, 0xEE, 0x00, 0x04, 0x11, 0x22}, "Found a not support makr.\n"},
        HeaderCase{"app1_silent", {0xFF, 0xE1, 0x00, 0x04, 0x11, 0x22}, ""},
        HeaderCase{"dri_length",
                   {0xFF, 0xDD, 0x00, 0x05, 0x00, 0x00},
                   "The DRI mark data num is not right.\n"},
        HeaderCase{"jfif_version",
                   {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 2, 1, 0, 0, 1, 0, 1, 0, 0},
                   "The JFIF version is no support!\n"},
        HeaderCase{"app0_thumb",
                   {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 1, 1},
                   "The app0 data num is no right!\n"},
        HeaderCase{"dqt_index",
                   [] {
                     Bytes b = {0xFF, 0xDB, 0x00, 0x43, 0x04};
                     b.insert(b.end(), 64, 1);
                     return b;
                   }(),
                   "The DQT table index is larger than 4!\n"},
        HeaderCase{"dqt_length",
                   [] {
                     Bytes b = {0xFF, 0xDB, 0x00, 0x44, 0x03};
                     b.insert(b.end(), 64 + 66, 1);
                     return b;
                   }(),
                   "The DQT table data num is not right!\n"}));

TEST_F(Markers, NoJpegAndNoScan) {
  struct Case {
    Bytes data;
    std::string log;
  };
  const std::vector<Case> cases = {
      {{}, "NOT get a start of scan mark!\n"},
      {{0xFF}, "NOT get a start of scan mark!\n"},
      {{0xFF, 0xD8}, "NOT get a start of scan mark!\n"},
      {{0x12, 0x34, 0xFF, 0xD9},
       "This is no JPEG file. Please check file!\nFound a not support makr.\n"
       "This is no JPEG file. Please check file!\nNOT get a start of scan mark!\n"},
  };
  for (const Case& c : cases) {
    const OurDecode r = decode_ours(c.data);
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.log, c.log);
  }
  const Bytes j = valid_jpeg();
  const Segment sos = find(split_segments(j), 0xDA);
  const Bytes no_scan(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(sos.offset));
  const OurDecode r = decode_ours(no_scan);
  EXPECT_EQ(r.status, -2);
  EXPECT_EQ(r.log, kSize64 + "NOT get a start of scan mark!\n");
}

TEST_F(Markers, SecondFrameHeaderReplacesTheFirst) {
  const Bytes j = valid_jpeg();
  const Segment sof = find(split_segments(j), 0xC0);
  Bytes twice =
      insert_after_soi(j, Bytes(j.begin() + static_cast<std::ptrdiff_t>(sof.offset),
                                j.begin() + static_cast<std::ptrdiff_t>(sof.offset + sof.length)));
  const OurDecode r = decode_ours(twice);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, kSize64 + kSize64.substr(0, 0) +
                       "file width: 64\nfile height: 48\nThere is already one SOF0 mark!\n" +
                       kOk411);
}

// Refusals that would otherwise end the host process.
struct Refusal {
  const char* name;
  std::function<Bytes(const Bytes&)> mutate;
  std::string message;
};
class Refusals : public Markers, public ::testing::WithParamInterface<Refusal> {};

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

TEST_P(Refusals, ReturnMinusTwoWithMessage) {
  const OurDecode r = decode_ours(GetParam().mutate(valid_jpeg()));
  EXPECT_EQ(r.status, -2) << r.log;
  const std::string line = GetParam().message + "\n";
  EXPECT_NE(r.log.find(line), std::string::npos) << r.log;
  EXPECT_EQ(r.log.substr(r.log.size() - line.size()), line);
}

// SOF0 fields: 2-3 Lf, 4 P, 5-6 Y, 7-8 X, 9 Nf, then from 10 id, HV, Tq per component.
// SOS fields: 4 Ns, 5.. Cs, TdTa per component.
INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(
        Refusal{"scan_id_absent", [](const Bytes& j) { return patch_sos(j, 5, 9); },
                "The scan component id is not in the frame!"},
        Refusal{"dc_selector_4", [](const Bytes& j) { return patch_sos(j, 6, 0x40); },
                "The huffman table selector is larger than 3!"},
        Refusal{"ac_selector_4", [](const Bytes& j) { return patch_sos(j, 6, 0x04); },
                "The huffman table selector is larger than 3!"},
        Refusal{"quant_selector_4", [](const Bytes& j) { return patch_sof(j, 12, 4); },
                "The quant table selector is larger than 3!"},
        Refusal{"twelve_blocks",
                [](const Bytes& j) { return patch_sof(patch_sof(j, 14, 0x22), 17, 0x22); },
                "The MCU has more than 10 blocks!"},
        Refusal{"sampling_zero", [](const Bytes& j) { return patch_sof(j, 14, 0x01); },
                "The h or v samples is zero!"},
        Refusal{"width_zero", [](const Bytes& j) { return patch_sof(patch_sof(j, 7, 0), 8, 0); },
                "The image has no MCU column!"},
        Refusal{"oversubscribed",
                [](const Bytes& j) {
                  return patch_dht(patch_dht(patch_dht(j, 5, 2), 6, 0), 7, 4); /* two 1-bit codes */
                },
                "The huffman code lengths are over-subscribed!"},
        Refusal{"dc_symbol_16",
                [](const Bytes& j) {
                  Bytes out = j;
                  const Segment s = find(split_segments(j), 0xC4);
                  out[s.offset + 5 + 16] = 16;  // the first symbol of the luma DC table
                  return out;
                },
                "The DC huffman table has a symbol above 15!"},
        Refusal{"scan_count_zero",
                [](const Bytes& j) {
                  return replace_segment(j, 0xDA, {0xFF, 0xDA, 0x00, 0x06, 0x00, 0x00, 0x3F, 0x00});
                },
                "The scan component count is out of range!"}));

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

// Frame types the hardware has no decoder for, and scans that are not sequential, are refused
// where they are met, with the hardware's message.
TEST_F(Markers, FramesAndScansThatAreNotBaselineAreRefused) {
  const Bytes j = valid_jpeg();
  struct Case {
    uint8_t marker;  // written over the SOF0 marker
    const char* last_line;
  };
  for (const Case& c :
       {Case{0xC2, "This version is not support!"}, Case{0xC3, "Found a not support makr."},
        Case{0xC5, "Found a not support makr."}, Case{0xC9, "Found a not support makr."},
        Case{0xCA, "Found a not support makr."}, Case{0xCF, "Found a not support makr."}}) {
    Bytes b = j;
    b[find(split_segments(j), 0xC0).offset + 1] = c.marker;
    const OurDecode r = decode_ours(b);
    EXPECT_EQ(r.status, -2) << int(c.marker) << r.log;
    EXPECT_EQ(r.log.substr(r.log.size() - std::strlen(c.last_line) - 1),
              std::string(c.last_line) + "\n")
        << int(c.marker);
  }
  // A DAC segment (arithmetic conditioning) before the frame.
  const OurDecode dac = decode_ours(insert_after_soi(j, {0xFF, 0xCC, 0x00, 0x04, 0x00, 0x11}));
  EXPECT_EQ(dac.status, -2);
  EXPECT_EQ(dac.log, "Found a not support makr.\n");
  // Ss, Se, Ah and Al of a progressive refinement scan over a baseline frame.
  for (const auto& [field, value] : {std::pair<size_t, uint8_t>{11, 1}, {12, 5}, {13, 0x10}}) {
    const OurDecode r = decode_ours(patch_sos(j, field, value));
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.log, kSize64 + "This version is not support!\n") << field;
  }
}

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

}  // namespace
}  // namespace kestrum::test

namespace kestrum::test {
namespace {

struct FactorCase {
  uint8_t y, cb, cr;
  std::string log_tail;
};
class ClassifiedFactors : public ::testing::TestWithParam<FactorCase> {};

TEST_P(ClassifiedFactors, RefusedWithTheirMessages) {
  reset_decoder_state();
  JpegOptions o;
  Bytes j = libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, o);
  size_t at = 0;
  for (const Segment& s : split_segments(j)) {
    if (s.marker == 0xC0) at = s.offset;
  }
  j[at + 11] = GetParam().y;
  j[at + 14] = GetParam().cb;
  j[at + 17] = GetParam().cr;
  const OurDecode r = decode_ours(j);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.log.substr(r.log.find("file height: 48\n") + 16), GetParam().log_tail);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ClassifiedFactors,
    ::testing::Values(
        FactorCase{0x22, 0x12, 0x12,
                   "input jpeg file is ycbcr422 format\nnot support. only support yuv420\n"},
        FactorCase{0x22, 0x21, 0x21, "not support. only support yuv420\n"},
        FactorCase{0x41, 0x11, 0x11,
                   "The h or v samples is not right!\nformat cant recongnized!\n"}));

TEST(HostileSizes, FramesBeyondCapacityAreRefusedBeforeAllocating) {
  reset_decoder_state();
  JpegOptions o;
  Bytes j = libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, o);
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

}  // namespace
}  // namespace kestrum::test

namespace kestrum::test {
namespace {

// A frame header between the entropy data and EOI replaces the frame fields; the image and the
// reported size stay those of the decoded frame.
TEST(LaterFrameHeader, DoesNotResizeTheDecodedImage) {
  reset_decoder_state();
  JpegOptions o;
  const Bytes j = libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, o);
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
