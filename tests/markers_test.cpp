// SPDX-License-Identifier: MIT
// Header transcripts and malformed streams built in code from valid files: each gets a defined
// status and its exact messages, and never a read outside the data.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "decoder/decoder_state.h"
#include "param_name.h"
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
        HeaderCase{"dqt_16bit_and_index",
                   [] {
                     Bytes b = {0xFF, 0xDB, 0x00, 0x43, 0x14};
                     b.insert(b.end(), 64, 1);
                     return b;
                   }(),
                   "This jpeg picture use 16bit quant table. Not support by hardware!\nThe DQT "
                   "table index is larger "
                   "than 4!\n"},
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
        Refusal{"scan_count_zero", [](const Bytes& j) { return patch_sos(j, 4, 0); },
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

TEST_F(Markers, EmbeddedThumbnailIsPassedOver) {
  // An APP1 that embeds a complete small JPEG, as EXIF thumbnails do.
  JpegOptions o;
  const Bytes thumb = libjpeg_encode(photo_rgb(16, 16, 1), 16, 16, o);
  Bytes app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), thumb.begin(), thumb.end());
  const size_t len = app1.size() - 2;
  app1[2] = static_cast<uint8_t>(len >> 8);
  app1[3] = static_cast<uint8_t>(len);
  const OurDecode r = decode_ours(insert_after_soi(valid_jpeg(), app1));
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_NE(r.log.find("More than one soi 0xffd8!\nfile width: 16\nfile height: 16\n"),
            std::string::npos)
      << r.log;
  EXPECT_NE(r.log.find("There is already one SOF0 mark!\n"), std::string::npos) << r.log;
  EXPECT_EQ(r.width, 64);
}

// Every FF D8 pair in the file counts as a start of image, wherever it is (overlapping FF runs
// and the file's last two bytes included), and with more than one the scan header is taken for
// an embedded stream's and passed over; FF 00 D8 and a lone D8 are not pairs.
struct SoiCase {
  const char* name;
  Bytes comment;   // COM payload inserted after SOI
  Bytes appended;  // bytes after EOI
  bool decodes;
};
class SoiPairs : public ::testing::TestWithParam<SoiCase> {};

TEST_P(SoiPairs, CountedAcrossTheWholeFile) {
  const SoiCase& c = GetParam();
  reset_decoder_state();
  Bytes com = {0xFF, 0xFE, 0, static_cast<uint8_t>(c.comment.size() + 2)};
  com.insert(com.end(), c.comment.begin(), c.comment.end());
  Bytes j = insert_after_soi(valid_jpeg(), com);
  j.insert(j.end(), c.appended.begin(), c.appended.end());
  const OurDecode r = decode_ours(j);
  EXPECT_EQ(r.status == 0, c.decodes) << c.name << ": " << r.log;
}

INSTANTIATE_TEST_SUITE_P(Placements, SoiPairs,
                         ::testing::Values(SoiCase{"none", {'a', 'b'}, {}, true},
                                           SoiCase{"stuffed", {0xFF, 0x00, 0xD8}, {}, true},
                                           SoiCase{"lone_d8", {0xD8, 0xD8}, {}, true},
                                           SoiCase{"pair", {'x', 0xFF, 0xD8}, {}, false},
                                           SoiCase{
                                               "after_ff_run", {0xFF, 0xFF, 0xFF, 0xD8}, {}, false},
                                           SoiCase{"last_two_bytes", {'a'}, {0xFF, 0xD8}, false},
                                           SoiCase{"ff_at_end", {'a'}, {0x00, 0xFF}, true}),
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
