// SPDX-License-Identifier: MIT
// The tool's recode strategy: every layout and coding libjpeg writes recodes at the source's size
// with a PSNR within 1.5 dB of a libjpeg recode at the same effective quality; files with
// marker-like bytes in APP1 recode as the library recodes them without those segments; library
// files give jpg_recode_api's bytes; metadata survives; refusals are named.
#include "kestrum/recode_any.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "api/pipeline.h"
#include "bombs.h"
#include "common/jpeg_tables.h"
#include "decoder/decoder_state.h"
#include "encoder/encoder_state.h"
#include "kestrum.h"
#include "param_name.h"
#include "recode_any/foreign_decode.h"
#include "recode_any/jpeg_segments.h"
#include "test_images.h"
#include "test_util.h"

extern "C" {
#include <jpeglib.h>
}

namespace kestrum::test {
namespace {

class RecodeAny : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoder_state();
    reset_encoder_state();
  }
};

// With the library's own Huffman tables (exact) unless told otherwise: way 1 then gives the bytes
// of jpg_recode_api.
RecodeAnyResult recode(const Bytes& jpeg, int32_t quality = 85, bool keep_metadata = false,
                       bool strict = false, bool exact = true) {
  RecodeAnyOptions options;
  options.quality = quality;
  options.keep_metadata = keep_metadata;
  options.strict = strict;
  options.exact = exact;
  return recode_any(jpeg.data(), jpeg.size(), options);
}

Bytes library_recode(const Bytes& jpeg, int32_t quality) {
  ConsoleCapture quiet;
  Bytes bytes;
  recode_in_memory(jpeg, quality, &bytes);
  return bytes;
}

// The stream without its APP1..APP15 and COM segments.
Bytes without_metadata(const Bytes& jpeg) {
  Bytes out;
  for (const Segment& s : split_segments(jpeg)) {
    if ((s.marker >= 0xE1 && s.marker <= 0xEF) || s.marker == 0xFE) continue;
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset),
               jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
  }
  return out;
}

// Bytes that the library's segment skipping and SOI count take for markers.
const Bytes kMarkerLikeBytes = {0x00, 0xFF, 0xD8, 0x11, 0xFF, 0xDB, 0x00, 0x43,
                                0x01, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0xFF, 0xD9,
                                0x22, 0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x33, 0x44};

struct LayoutCase {
  const char* name;
  JpegOptions options;
  bool as_sof1;      // the baseline frame marker relabelled SOF1 (extended sequential, same coding)
  const char* note;  // what the tool says it did
};

JpegOptions layout(int h0, int v0, int components = 3, bool progressive = false,
                   bool arithmetic = false) {
  JpegOptions o = layout_options(h0, v0, components, progressive, arithmetic);
  o.quality = 90;
  return o;
}

JpegOptions rgb_layout(int h0, int v0) {
  JpegOptions o = layout(h0, v0);
  o.rgb = true;
  return o;
}

class ForeignLayouts
    : public ::testing::TestWithParam<std::tuple<LayoutCase, std::pair<int, int>>> {};

TEST_P(ForeignLayouts, RecodeDecodesAtSourceSizeWithinPsnrOfLibjpeg) {
  const auto& [c, size] = GetParam();
  const auto [w, h] = size;
  reset_decoder_state();
  reset_encoder_state();
  Bytes src = libjpeg_encode(photo_rgb(w, h, 7), w, h, c.options);
  ASSERT_FALSE(src.empty());
  if (c.as_sof1) {
    for (const Segment& s : split_segments(src)) {
      if (s.marker == 0xC0) src[s.offset + 1] = 0xC1;
    }
  }
  const RecodeAnyResult r = recode(src, 85);
  ASSERT_EQ(r.way, RecodeWay::kConverted) << r.error;
  EXPECT_NE(r.library_status, 0);
  EXPECT_EQ(r.note, c.note);
  EXPECT_EQ(r.source_quality, 90);  // libjpeg's tables at quality 90, by the library's estimate

  std::vector<uint8_t> source_rgb, ours_rgb, reference_rgb;
  int sw = 0, sh = 0, ow = 0, oh = 0, rw = 0, rh = 0, warnings = 0;
  ASSERT_TRUE(libjpeg_decode_rgb(src, &source_rgb, &sw, &sh, &warnings));
  ASSERT_TRUE(libjpeg_decode_rgb(r.stream, &ours_rgb, &ow, &oh, &warnings));
  EXPECT_EQ(warnings, 0);
  ASSERT_EQ(ow, w);
  ASSERT_EQ(oh, h);
  JpegOptions reference;
  reference.quality = 85 - (100 - 90);  // the effective quality
  const Bytes libjpeg_recode = libjpeg_encode(source_rgb, w, h, reference);
  ASSERT_TRUE(libjpeg_decode_rgb(libjpeg_recode, &reference_rgb, &rw, &rh, &warnings));
  const double ours = psnr(ours_rgb.data(), source_rgb.data(), source_rgb.size());
  const double theirs = psnr(reference_rgb.data(), source_rgb.data(), source_rgb.size());
  EXPECT_GT(ours, theirs - 1.5) << c.name << " " << w << "x" << h << ": ours " << ours
                                << " dB, libjpeg " << theirs;
}

INSTANTIATE_TEST_SUITE_P(
    EveryLayout, ForeignLayouts,
    ::testing::Combine(
        ::testing::Values(LayoutCase{"s422", layout(2, 1), false, "4:2:2 \u2192 4:2:0"},
                          LayoutCase{"s444", layout(1, 1), false, "4:4:4 \u2192 4:2:0"},
                          LayoutCase{"s440", layout(1, 2), false, "4:4:0 \u2192 4:2:0"},
                          LayoutCase{"s411", layout(4, 1), false, "4:1:1 \u2192 4:2:0"},
                          LayoutCase{"grey", layout(1, 1, 1), false, "greyscale \u2192 4:2:0"},
                          LayoutCase{"progressive", layout(2, 2, 3, true), false, "progressive"},
                          LayoutCase{"progressive444", layout(1, 1, 3, true), false,
                                     "progressive, 4:4:4 \u2192 4:2:0"},
                          LayoutCase{"arithmetic", layout(2, 2, 3, false, true), false,
                                     "arithmetic"},
                          LayoutCase{"arithmetic422", layout(2, 1, 3, false, true), false,
                                     "arithmetic, 4:2:2 \u2192 4:2:0"},
                          LayoutCase{"sof1", layout(2, 2), true, "extended sequential"},
                          // RGB in a 4:2:0 frame: the library would read it as YCbCr
                          LayoutCase{"rgb420", rgb_layout(2, 2), false, "RGB"},
                          LayoutCase{"rgb444", rgb_layout(1, 1), false, "RGB, 4:4:4 \u2192 4:2:0"}),
        ::testing::Values(std::pair{101, 75}, std::pair{77, 53}, std::pair{250, 131})),
    [](const auto& param_info) {
      return std::string(std::get<0>(param_info.param).name) + "_" +
             std::to_string(std::get<1>(param_info.param).first) + "x" +
             std::to_string(std::get<1>(param_info.param).second);
    });

// Whether three components are RGB, decided as libjpeg decides it (jpeg_read_header's
// jpeg_color_space), for each mix of JFIF segment, Adobe transform and component ids.
TEST_F(RecodeAny, RgbCodingAsLibjpegReadsIt) {
  const Bytes rgb = libjpeg_encode(photo_rgb(32, 32, 2), 32, 32, rgb_layout(2, 2));
  const Bytes jfif_app0 = {0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00,
                           0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  struct Variant {
    const char* name;
    bool jfif;
    int adobe;  // the transform written, -1: no Adobe segment
    std::array<uint8_t, 3> ids;
  };
  const Variant variants[] = {
      {"adobe0_rgb_ids", false, 0, {'R', 'G', 'B'}}, {"rgb_ids_alone", false, -1, {'R', 'G', 'B'}},
      {"numbered_ids_alone", false, -1, {1, 2, 3}},  {"adobe0_numbered_ids", false, 0, {1, 2, 3}},
      {"adobe1_rgb_ids", false, 1, {'R', 'G', 'B'}}, {"jfif_and_adobe0", true, 0, {'R', 'G', 'B'}},
      {"jfif_rgb_ids", true, -1, {'R', 'G', 'B'}},   {"other_ids", false, -1, {7, 8, 9}}};
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    Bytes jpeg(rgb.begin(), rgb.begin() + 2);
    if (v.jfif) jpeg.insert(jpeg.end(), jfif_app0.begin(), jfif_app0.end());
    for (const Segment& s : split_segments(rgb)) {
      if (s.marker == 0xD8) continue;
      Bytes segment(rgb.begin() + static_cast<std::ptrdiff_t>(s.offset),
                    rgb.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
      if (s.marker == 0xEE) {
        if (v.adobe < 0) continue;
        segment[4 + 11] = static_cast<uint8_t>(v.adobe);
      }
      if (s.marker == 0xC0) {
        for (size_t c = 0; c < 3; ++c) segment[10 + 3 * c] = v.ids[c];
      }
      if (s.marker == 0xDA) {
        for (size_t c = 0; c < 3; ++c) segment[5 + 2 * c] = v.ids[c];
      }
      jpeg.insert(jpeg.end(), segment.begin(), segment.end());
    }
    jpeg.insert(jpeg.end(),
                rgb.begin() + static_cast<std::ptrdiff_t>(split_segments(rgb).back().offset +
                                                          split_segments(rgb).back().length),
                rgb.end());
    jpeg_decompress_struct d;
    jpeg_error_mgr errors;
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    ASSERT_EQ(jpeg_read_header(&d, TRUE), JPEG_HEADER_OK);
    const bool libjpeg_says_rgb = d.jpeg_color_space == JCS_RGB;
    jpeg_destroy_decompress(&d);
    JpegHeader header;
    ASSERT_TRUE(parse_header(jpeg.data(), jpeg.size(), &header));
    EXPECT_EQ(is_rgb_coded(header.frame), libjpeg_says_rgb);
    const RecodeAnyResult r = recode(jpeg);
    EXPECT_EQ(r.way, libjpeg_says_rgb ? RecodeWay::kConverted : RecodeWay::kLibrary) << r.error;
  }
}

// A segment length our header walk cannot follow but the library's rules pass over (APP1 of
// length 1): the library recodes the file, and the quality reported is the one it used, the same
// as for the file without that segment.
TEST_F(RecodeAny, QualityUsedIsKnownWhenOnlyTheLibraryReadsTheHeader) {
  const Bytes clean = libjpeg_encode(photo_rgb(64, 48, 4), 64, 48, baseline_options(90));
  Bytes odd = clean;
  const Bytes app1_of_length_1 = {0xFF, 0xE1, 0x00, 0x01};
  odd.insert(odd.begin() + 2, app1_of_length_1.begin(), app1_of_length_1.end());
  JpegHeader header;
  ASSERT_FALSE(parse_header(odd.data(), odd.size(), &header));
  const RecodeAnyResult expected = recode(clean);
  const RecodeAnyResult r = recode(odd);
  ASSERT_EQ(r.way, RecodeWay::kLibrary) << r.error;
  EXPECT_EQ(r.stream, expected.stream);
  EXPECT_EQ(r.source_quality, 0);  // not read from a header we could not walk
  EXPECT_EQ(expected.quality_used, 75);
  EXPECT_EQ(r.quality_used, expected.quality_used);
}

// Marker-like bytes in EXIF and ICC data are passed over with their segments: the library
// recodes the photo itself, the same picture as without them, and the metadata is carried over.
TEST_F(RecodeAny, MarkerLikeBytesInMetadataAreTheLibrarysToSkip) {
  JpegOptions o;
  o.quality = 88;
  const Bytes plain = libjpeg_encode(photo_rgb(120, 90, 5), 120, 90, o);
  Bytes metadata = exif_segment(6, kMarkerLikeBytes);
  const Bytes icc = icc_segment();
  metadata.insert(metadata.end(), icc.begin(), icc.end());
  const Bytes src = with_segments(plain, metadata);
  const Bytes expected = library_recode(plain, 85);
  ASSERT_FALSE(expected.empty());
  {
    ConsoleCapture quiet;
    EXPECT_EQ(library_recode(src, 85), expected);
  }
  const RecodeAnyResult r = recode(src, 85);
  ASSERT_EQ(r.way, RecodeWay::kLibrary) << r.error;
  EXPECT_EQ(r.stream, expected);
  EXPECT_EQ(exif_orientation(r.stream), 0);

  const RecodeAnyResult kept = recode(src, 85, true);
  ASSERT_EQ(kept.way, RecodeWay::kLibrary);
  EXPECT_EQ(exif_orientation(kept.stream), 6);
  EXPECT_EQ(segment_bytes(kept.stream, 0xE2), icc);
  const std::vector<Segment> parts = split_segments(kept.stream);
  ASSERT_GE(parts.size(), 4u);
  EXPECT_EQ(parts[1].marker, 0xE0);  // EXIF and ICC follow our APP0
  EXPECT_EQ(parts[2].marker, 0xE1);
  EXPECT_EQ(parts[3].marker, 0xE2);
  std::vector<uint8_t> a, b;
  int w = 0, h = 0, warnings = 0;
  ASSERT_TRUE(libjpeg_decode_rgb(kept.stream, &a, &w, &h, &warnings));
  ASSERT_TRUE(libjpeg_decode_rgb(r.stream, &b, &w, &h, &warnings));
  EXPECT_EQ(a, b);  // the same image with or without the segments
}

TEST_F(RecodeAny, LibraryFilesGiveTheBytesOfJpgRecodeApi) {
  TempDir dir;
  for (int quality : {50, 75, 95}) {
    JpegOptions o;
    o.quality = quality;
    o.restart_rows = quality == 75 ? 1 : 0;
    const Bytes src =
        with_segments(libjpeg_encode(photo_rgb(133, 71, 2), 133, 71, o), exif_segment(3, {}));
    ASSERT_TRUE(write_file(dir.path("in.jpg"), src));
    Bytes expected;
    {
      ConsoleCapture quiet;
      ASSERT_EQ(jpg_recode_api(dir.path("in.jpg").c_str(), dir.path("out.jpg").c_str(), 80), 0);
      ASSERT_TRUE(read_file(dir.path("out.jpg"), &expected));
    }
    const RecodeAnyResult r = recode(src, 80);
    EXPECT_EQ(r.way, RecodeWay::kLibrary);
    EXPECT_EQ(r.stream, expected) << quality;
    EXPECT_EQ(r.source_quality, quality);
    EXPECT_NE(r.log.find("encoding jpg successfully!"), std::string::npos);
    const RecodeAnyResult kept = recode(src, 80, true);
    EXPECT_EQ(exif_orientation(kept.stream), 3);
    EXPECT_EQ(kept.stream.size(), expected.size() + segment_bytes(src, 0xE1).size());
  }
}

// The quality used is what the result's tables say: the request lowered by the source's distance
// from 100 (so never above the source's), or a target unless the source's estimate is lower.
// Tables of 16-bit entries, as libjpeg writes them at low qualities without the baseline limit,
// are estimated from their own values.
TEST_F(RecodeAny, QualityUsedIsTheResultsQuality) {
  struct Case {
    int source, h0;
    bool is_wide;  // 16-bit tables, which only the conversion reads
    int quality, target, used;
  };
  const Case cases[] = {
      {60, 2, false, 100, 0, 60}, {60, 2, false, 85, 0, 45},  {90, 2, false, 50, 0, 40},
      {60, 1, false, 100, 0, 60}, {75, 1, false, 90, 0, 65},  {30, 1, false, 20, 0, 1},
      {80, 2, false, 85, 20, 20}, {80, 2, false, 85, 50, 50}, {80, 2, false, 85, 77, 77},
      {80, 2, false, 85, 95, 80}, {80, 1, false, 85, 20, 20}, {80, 1, false, 85, 50, 50},
      {80, 1, false, 85, 77, 77}, {80, 1, false, 85, 95, 80}, {1, 2, true, 95, 0, 1},
      {2, 2, true, 95, 0, 1},     {3, 2, true, 95, 0, 1},     {5, 2, true, 95, 0, 1},
      {8, 2, true, 95, 0, 3},     {13, 2, true, 95, 0, 8},    {20, 2, true, 95, 0, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "q" << c.source << " h" << c.h0 << " wide " << c.is_wide
                                    << " request " << c.quality << " target " << c.target);
    JpegOptions o;
    o.quality = c.source;
    o.h0 = c.h0;
    o.wide_tables = c.is_wide;
    const Bytes src = libjpeg_encode(photo_rgb(64, 64, 4), 64, 64, o);
    JpegHeader header;
    ASSERT_TRUE(parse_header(src.data(), src.size(), &header));
    EXPECT_EQ(header.has_wide_quant, c.is_wide);
    EXPECT_EQ(estimate_header_quality(header), c.source);
    RecodeAnyOptions options;
    options.quality = c.quality;
    options.target_quality = c.target;
    const RecodeAnyResult r = recode_any(src.data(), src.size(), options);
    ASSERT_NE(r.way, RecodeWay::kRefused) << r.error;
    EXPECT_TRUE(!c.is_wide || r.way == RecodeWay::kConverted);
    ASSERT_TRUE(parse_header(r.stream.data(), r.stream.size(), &header));
    EXPECT_EQ(estimate_header_quality(header), c.used);
    EXPECT_EQ(r.quality_used, c.used);
  }
}

// Tables coarser than any quality's leave the request as it is rather than lowering it to 1.
TEST_F(RecodeAny, TablesCoarserThanAnyQualityLeaveTheRequest) {
  // Every entry 4096, coarser than quality 1's tables (at most 255 x 50 / 2.55 per entry).
  const Bytes plain = libjpeg_encode(photo_rgb(64, 64, 4), 64, 64, baseline_options(50));
  const Bytes coarse = with_wide_tables(plain, 4096);
  JpegHeader header;
  ASSERT_TRUE(parse_header(coarse.data(), coarse.size(), &header));
  EXPECT_EQ(estimate_header_quality(header), 0);
  const RecodeAnyResult r = recode(coarse, 80);
  ASSERT_EQ(r.way, RecodeWay::kConverted) << r.error;
  EXPECT_EQ(r.quality_used, 80);
  JpegHeader result;
  ASSERT_TRUE(parse_header(r.stream.data(), r.stream.size(), &result));
  EXPECT_EQ(estimate_header_quality(result), 80);
}

// Every metadata segment a photo carries is kept, in the source's order, after the result's own
// APP0; the segments that describe the old coding (JFIF/JFXX APP0, Adobe APP14) are not.
TEST_F(RecodeAny, MetadataSegmentsKeptInOrder) {
  const auto tagged = [](const char* tag, uint8_t fill, size_t n) {
    Bytes body(tag, tag + std::strlen(tag) + 1);
    body.insert(body.end(), n, fill);
    return body;
  };
  Bytes icc1 = tagged("ICC_PROFILE", 0x11, 40), icc2 = tagged("ICC_PROFILE", 0x22, 40);
  icc1[12] = 1, icc1[13] = 2, icc2[12] = 2, icc2[13] = 2;  // chunk 1 of 2, chunk 2 of 2
  const std::vector<Bytes> kept = {exif_segment(6, {}),
                                   segment(0xE1, tagged("http://ns.adobe.com/xap/1.0/", 'x', 30)),
                                   segment(0xE2, icc1),
                                   segment(0xE2, icc2),
                                   segment(0xED, tagged("Photoshop 3.0", 0x1C, 30)),
                                   segment(0xFE, Bytes{'h', 'e', 'l', 'l', 'o'})};
  Bytes metadata;
  for (const Bytes& k : kept) metadata.insert(metadata.end(), k.begin(), k.end());
  const Bytes jfxx = segment(0xE0, tagged("JFXX", 0x10, 4));
  const Bytes adobe = segment(0xEE, Bytes{'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1});
  metadata.insert(metadata.end(), jfxx.begin(), jfxx.end());
  metadata.insert(metadata.end(), adobe.begin(), adobe.end());
  const Bytes src =
      with_segments(libjpeg_encode(photo_rgb(64, 48, 3), 64, 48, baseline_options(90)), metadata);
  const RecodeAnyResult r = recode(src, 85, true);
  ASSERT_NE(r.way, RecodeWay::kRefused) << r.error;
  const std::vector<Segment> parts = split_segments(r.stream);
  ASSERT_GE(parts.size(), 2 + kept.size());
  EXPECT_EQ(parts[1].marker, 0xE0);
  for (size_t i = 0; i < kept.size(); ++i) {
    const Segment& p = parts[2 + i];
    EXPECT_EQ(Bytes(r.stream.begin() + static_cast<std::ptrdiff_t>(p.offset),
                    r.stream.begin() + static_cast<std::ptrdiff_t>(p.offset + p.length)),
              kept[i])
        << i;
  }
  size_t app0 = 0, app14 = 0;
  for (const Segment& p : parts) {
    app0 += p.marker == 0xE0 ? 1 : 0;
    app14 += p.marker == 0xEE ? 1 : 0;
  }
  EXPECT_EQ(app0, 1u);
  EXPECT_EQ(app14, 0u);
  EXPECT_EQ(recode(src, 85, false).stream, library_recode(without_metadata(src), 85));  // stripped
}

// Damaged sources: what the decode met, checked against libjpeg, which warns about the same
// damage and about nothing in the sound variants.
struct DamageCase {
  const char* name;
  Bytes (*make)(const Bytes& sound);
  bool is_damaged;
  const char* description;  // the start of describe_damage's text
};

Bytes entropy_start_and_end(const Bytes& jpeg, size_t* start, size_t* end) {
  for (const Segment& s : split_segments(jpeg)) {
    if (s.marker == 0xDA) {
      *start = s.offset + 4 + (static_cast<size_t>(jpeg[s.offset + 2]) << 8 | jpeg[s.offset + 3]);
      *end = s.offset + s.length;
    }
  }
  return jpeg;
}

Bytes cut_at_half(const Bytes& j) {
  return Bytes(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(j.size() / 2));
}
Bytes without_eoi(const Bytes& j) { return Bytes(j.begin(), j.end() - 2); }
Bytes with_trailer(const Bytes& j) {
  Bytes out = j;
  for (int i = 0; i < 1000; ++i) out.push_back(static_cast<uint8_t>(i % 200));
  return out;
}
Bytes with_bad_codes(const Bytes& j) {
  size_t start = 0, end = 0;
  Bytes out = entropy_start_and_end(j, &start, &end);
  // Sixteen 1 bits (stuffed FF bytes) are no code of the Annex K tables.
  for (size_t i = start + (end - start) / 3, n = 0; n < 8; i += 2, ++n) {
    out[i] = 0xFF;
    out[i + 1] = 0x00;
  }
  return out;
}
// The second restart marker removed, or the second and third swapped.
Bytes restart_changed(const Bytes& j, bool swap) {
  Bytes out = j;
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    if (out[i] == 0xFF && out[i + 1] >= 0xD0 && out[i + 1] <= 0xD7) at.push_back(i);
  }
  if (at.size() < 3) return {};
  if (swap) {
    std::swap(out[at[1] + 1], out[at[2] + 1]);
  } else {
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(at[1]),
              out.begin() + static_cast<std::ptrdiff_t>(at[1] + 2));
  }
  return out;
}
Bytes restart_missing(const Bytes& j) { return restart_changed(j, false); }
Bytes restart_swapped(const Bytes& j) { return restart_changed(j, true); }
Bytes unchanged(const Bytes& j) { return j; }

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class RecodeAnyDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(RecodeAnyDamage, ToldAndResultStillMade) {
  const DamageCase& c = GetParam();
  for (const bool has_restarts : {false, true}) {
    const Bytes sound = libjpeg_encode(photo_rgb(160, 128, 7), 160, 128,
                                       baseline_options(90, has_restarts ? 1 : 0));
    const Bytes src = c.make(sound);
    if (src.empty()) continue;  // the restart cases need restart markers
    std::vector<uint8_t> rgb;
    int w = 0, h = 0, warnings = 0;
    libjpeg_decode_rgb(src, &rgb, &w, &h, &warnings);
    EXPECT_EQ(warnings > 0, c.is_damaged)
        << c.name << " restarts " << has_restarts << ": libjpeg disagrees";
    const RecodeAnyResult r = recode(src, 85);
    ASSERT_EQ(r.way, RecodeWay::kLibrary) << c.name << ": " << r.error;
    EXPECT_EQ(r.damage.is_damaged(), c.is_damaged) << c.name << " restarts " << has_restarts;
    const std::string text = describe_damage(r.damage);
    EXPECT_EQ(text.rfind(c.description, 0), 0u) << c.name << ": " << text;
    ASSERT_TRUE(libjpeg_decode_rgb(r.stream, &rgb, &w, &h, &warnings)) << c.name;
    EXPECT_EQ(std::pair(w, h), std::pair(160, 128));
    EXPECT_EQ(warnings, 0);
  }
}

// The same damage in files libjpeg decodes (4:2:2, and progressive): told when libjpeg warns of
// corrupt data, as the library's way tells it.
TEST_P(RecodeAnyDamage, ToldForConvertedFilesAsLibjpegWarns) {
  const DamageCase& c = GetParam();
  for (const bool is_progressive : {false, true}) {
    JpegOptions o = layout_options(2, 1, 3, is_progressive);
    o.quality = 90;
    o.restart_rows = is_progressive ? 0 : 1;
    const Bytes src = c.make(libjpeg_encode(photo_rgb(160, 128, 7), 160, 128, o));
    if (src.empty()) continue;
    std::vector<uint8_t> rgb;
    int w = 0, h = 0, warnings = 0;
    libjpeg_decode_rgb(src, &rgb, &w, &h, &warnings);
    const RecodeAnyResult r = recode(src, 85);
    ASSERT_EQ(r.way, RecodeWay::kConverted) << c.name << ": " << r.error;
    EXPECT_EQ(r.damage.is_damaged(), warnings > 0)
        << c.name << (is_progressive ? " progressive: " : ": ") << describe_damage(r.damage);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecodeAnyDamage,
    ::testing::Values(DamageCase{"sound", unchanged, false, ""},
                      DamageCase{"data_after_the_end", with_trailer, false, ""},
                      DamageCase{"cut_at_half", cut_at_half, true, "data ends at "},
                      DamageCase{"no_end_marker", without_eoi, true, "no end-of-image marker"},
                      DamageCase{"codes_that_match_nothing", with_bad_codes, true, ""},
                      DamageCase{"restart_marker_missing", restart_missing, true, ""},
                      DamageCase{"restart_markers_swapped", restart_swapped, true, ""}),
    ParamName());

// Bytes cut out of the middle of a progressive file, its end-of-image marker kept: libjpeg goes
// past the gap with a warning, and the recode says what it said.
TEST_F(RecodeAny, CorruptDataThatLibjpegGoesPastIsDamage) {
  const Bytes sound = libjpeg_encode(photo_rgb(200, 150, 3), 200, 150, layout(2, 2, 3, true));
  Bytes gap = sound;
  gap.erase(gap.begin() + static_cast<std::ptrdiff_t>(sound.size() / 3),
            gap.begin() + static_cast<std::ptrdiff_t>(sound.size() / 2));
  const RecodeAnyResult r = recode(gap);
  ASSERT_EQ(r.way, RecodeWay::kConverted) << r.error;
  EXPECT_FALSE(r.damage.has_no_eoi);
  EXPECT_EQ(describe_damage(r.damage).rfind("libjpeg: Corrupt JPEG data", 0), 0u)
      << describe_damage(r.damage);
  EXPECT_FALSE(recode(sound).damage.is_damaged());
}

TEST_F(RecodeAny, DamageFieldsNameWhatWasMet) {
  const Bytes sound = libjpeg_encode(photo_rgb(160, 128, 7), 160, 128, baseline_options(90, 1));
  const RecodeAnyResult cut = recode(cut_at_half(sound));
  EXPECT_GE(cut.damage.data_end_percent, 30);
  EXPECT_LE(cut.damage.data_end_percent, 60);
  EXPECT_FALSE(cut.damage.has_data_resumed);
  EXPECT_GT(recode(restart_missing(sound)).damage.restart_errors, 0u);
  EXPECT_GT(recode(restart_swapped(sound)).damage.restart_errors, 0u);
  const RecodeAnyResult trailer = recode(with_trailer(sound));
  EXPECT_EQ(trailer.damage.bytes_after_eoi, 1000u);
  EXPECT_TRUE(recode(without_eoi(sound)).damage.has_no_eoi);
  EXPECT_EQ(recode(without_eoi(sound)).damage.data_end_percent, -1);
  const Bytes plain = libjpeg_encode(photo_rgb(160, 128, 7), 160, 128, baseline_options(90));
  EXPECT_GT(recode(with_bad_codes(plain)).damage.bad_codes, 0u);
}

TEST_F(RecodeAny, RefusalsAreNamed) {
  JpegOptions s422;
  s422.h0 = 2;
  s422.v0 = 1;
  const Bytes layout422 = libjpeg_encode(photo_rgb(50, 50, 1), 50, 50, s422);
  Bytes twelve_bit = libjpeg_encode(photo_rgb(50, 50, 1), 50, 50, JpegOptions{});
  for (const Segment& s : split_segments(twelve_bit)) {
    if (s.marker == 0xC0) twelve_bit[s.offset + 4] = 12;
  }
  Bytes truncated_header(twelve_bit.begin(), twelve_bit.begin() + 120);
  struct Case {
    const char* name;
    Bytes jpeg;
    bool strict;
    const char* error;
  };
  const Case cases[] = {
      {"strict cmyk", cmyk_jpeg(40, 30), true, "the library refuses it: malformed stream"},
      {"strict ycck", cmyk_jpeg(40, 30, ycck_options()), true,
       "the library refuses it: malformed stream"},
      {"12-bit", twelve_bit, false, "12-bit samples are not recoded"},
      {"strict 4:2:2", layout422, true, "the library refuses it: unreadable, or not 4:2:0"},
      {"not a JPEG", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, false,
       "not a well-formed JPEG (malformed stream)"},
      {"header cut short", truncated_header, false, "not a well-formed JPEG (malformed stream)"},
  };
  for (const Case& c : cases) {
    const RecodeAnyResult r = recode(c.jpeg, 85, false, c.strict);
    EXPECT_EQ(r.way, RecodeWay::kRefused) << c.name;
    EXPECT_NE(r.status, 0) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
    EXPECT_TRUE(r.stream.empty()) << c.name;
  }
}

TEST_F(RecodeAny, StrictStillRecodesLibraryFiles) {
  const Bytes src = libjpeg_encode(photo_rgb(48, 48, 1), 48, 48, JpegOptions{});
  const RecodeAnyResult r = recode(src, 85, false, true);
  EXPECT_EQ(r.way, RecodeWay::kLibrary);
  EXPECT_EQ(r.stream, library_recode(src, 85));
}

// The RSTn markers of a stream's entropy-coded data, in order.
std::vector<uint8_t> restart_markers(const Bytes& jpeg) {
  std::vector<uint8_t> found;
  for (const Segment& s : split_segments(jpeg)) {
    if (s.marker != 0xDA) continue;
    for (size_t i = s.offset + 2; i + 1 < s.offset + s.length; ++i) {
      if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7)
        found.push_back(jpeg[i + 1]);
    }
  }
  return found;
}

// The segments that are neither tables nor the frame or scan: APPn and COM, in order.
std::vector<Bytes> marker_segments(const Bytes& jpeg) {
  std::vector<Bytes> found;
  for (const Segment& s : split_segments(jpeg)) {
    if ((s.marker >= 0xE0 && s.marker <= 0xEF) || s.marker == 0xFE) {
      found.emplace_back(jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset),
                         jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
    }
  }
  return found;
}

struct FittedCase {
  const char* name;
  int width, height;
  JpegOptions source;
  int32_t quality;
  RecodeWay way;
};

// Fitted Huffman tables change the bytes, not the image: libjpeg decodes the same pixels from the
// result with and without them, the result is smaller, and its restart markers, DRI, DQT and
// metadata are those of the standard-table result.
TEST_F(RecodeAny, FittedTablesAreLosslessAndSmaller) {
  const FittedCase cases[] = {
      {"420 q90 to 85", 320, 240, baseline_options(90), 85, RecodeWay::kLibrary},
      {"420 odd size q95 to 70", 333, 251, baseline_options(95), 70, RecodeWay::kLibrary},
      {"420 q75 to 100", 640, 480, baseline_options(75), 100, RecodeWay::kLibrary},
      {"420 q98 to 30", 1023, 769, baseline_options(98), 30, RecodeWay::kLibrary},
      {"422 converted", 300, 200, layout(2, 1), 85, RecodeWay::kConverted},
      {"444 progressive converted", 257, 129, layout(1, 1, 3, true), 60, RecodeWay::kConverted},
      {"greyscale converted", 200, 160, layout(1, 1, 1), 85, RecodeWay::kConverted},
  };
  for (const FittedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes metadata = exif_segment(6, Bytes(100, 0x42));
    const Bytes src = with_segments(
        libjpeg_encode(photo_rgb(c.width, c.height, 5), c.width, c.height, c.source), metadata);
    ASSERT_FALSE(src.empty());
    const RecodeAnyResult standard = recode(src, c.quality, true, false, true);
    const RecodeAnyResult fitted = recode(src, c.quality, true, false, false);
    ASSERT_EQ(standard.way, c.way) << standard.error;
    ASSERT_EQ(fitted.way, c.way) << fitted.error;
    EXPECT_FALSE(standard.has_fitted_tables);
    EXPECT_TRUE(fitted.has_fitted_tables);
    EXPECT_LT(fitted.stream.size(), standard.stream.size());
    EXPECT_EQ(fitted.quality_used, standard.quality_used);
    std::vector<uint8_t> standard_rgb, fitted_rgb;
    int sw = 0, sh = 0, fw = 0, fh = 0, warnings = 0;
    ASSERT_TRUE(libjpeg_decode_rgb(standard.stream, &standard_rgb, &sw, &sh, &warnings));
    ASSERT_TRUE(libjpeg_decode_rgb(fitted.stream, &fitted_rgb, &fw, &fh, &warnings));
    EXPECT_EQ(warnings, 0);
    EXPECT_EQ(fw, sw);
    EXPECT_EQ(fh, sh);
    EXPECT_TRUE(fitted_rgb == standard_rgb) << "decoded pixels differ";
    // The library's decoder reads the fitted result as well as it reads its own (against
    // libjpeg over the image's area).
    const OurDecode ours_standard = decode_ours(standard.stream);
    const OurDecode ours_fitted = decode_ours(fitted.stream);
    EXPECT_EQ(ours_fitted.status, 0);
    const PlaneAgreement with_standard =
        compare_planes_with_libjpeg(standard.stream, ours_standard);
    const PlaneAgreement with_fitted = compare_planes_with_libjpeg(fitted.stream, ours_fitted);
    EXPECT_EQ(with_fitted.max_diff, with_standard.max_diff);
    EXPECT_NEAR(with_fitted.psnr_min(), with_standard.psnr_min(), 0.01);
    const std::vector<uint8_t> restarts = restart_markers(standard.stream);
    EXPECT_FALSE(restarts.empty());
    EXPECT_EQ(restart_markers(fitted.stream), restarts);
    EXPECT_EQ(segment_bytes(fitted.stream, 0xDD), segment_bytes(standard.stream, 0xDD));
    QuantTables standard_q, fitted_q;
    ASSERT_TRUE(libjpeg_read_quant_tables(standard.stream, &standard_q));
    ASSERT_TRUE(libjpeg_read_quant_tables(fitted.stream, &fitted_q));
    EXPECT_TRUE(fitted_q == standard_q);
    const std::vector<Bytes> kept = marker_segments(standard.stream);
    ASSERT_EQ(kept.size(), 2u);  // our APP0 and the source's EXIF
    EXPECT_EQ(kept[1], metadata);
    EXPECT_EQ(marker_segments(fitted.stream), kept);
    EXPECT_EQ(fitted.stream[fitted.stream.size() - 1], 0xD9);
  }
}

// Files that claim more than the libjpeg way may spend on them: refused at once with their
// reason, before libjpeg or our planes take the memory the claim asks for.
struct ClaimCase {
  const char* name;
  Bytes (*make)();
  int32_t status;
  const char* error;
};

JpegOptions coding(int h0, int v0, bool progressive) {
  JpegOptions o = layout_options(h0, v0, 3, progressive);
  o.quality = 90;
  return o;
}

class HostileClaims : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(HostileClaims, AreRefusedWithTheirReason) {
  const ClaimCase& c = GetParam();
  const Bytes jpeg = c.make();
  ASSERT_FALSE(jpeg.empty());
  const RecodeAnyResult r = recode(jpeg);
  EXPECT_EQ(r.way, RecodeWay::kRefused);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.error, c.error);
  EXPECT_TRUE(r.stream.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Claims, HostileClaims,
    ::testing::Values(
        // 645 bytes claiming 65500 x 65500: 6.3 GB of planes.
        ClaimCase{"baseline_444_65500",
                  [] { return claimed_frame(coding(1, 1, false), 65500, 65500); },
                  kErrFrameTooLarge, "the frame (65500 x 65500) is beyond the decoder's capacity"},
        // One 16-pixel step above the frames the library's decoder holds.
        ClaimCase{"baseline_422_14192",
                  [] { return claimed_frame(coding(2, 1, false), 14192, 14192); },
                  kErrFrameTooLarge, "the frame (14192 x 14192) is beyond the decoder's capacity"},
        ClaimCase{"progressive_420_30000",
                  [] { return claimed_frame(coding(2, 2, true), 30000, 30000); }, kErrFrameTooLarge,
                  "the frame (30000 x 30000) is beyond the decoder's capacity"},
        // Within the frame limit, but its coefficients would take 1.2 GB.
        ClaimCase{"progressive_444_14000",
                  [] { return claimed_frame(coding(1, 1, true), 14000, 14000); }, kErrFrameTooLarge,
                  "libjpeg: the frame needs more than 768 MiB"},
        ClaimCase{"progressive_150_scans", [] { return many_scans(150, 64, 64); },
                  kErrCorruptStream, "libjpeg: more than 100 scans"}),
    ParamName());

TEST_F(RecodeAny, FrameLimitCountsThePlanesRoundedUpTo16) {
  set_foreign_frame_limit_px(64 * 64);
  struct Case {
    int width, height;
    bool is_taken;
  };
  const Case cases[] = {
      {64, 64, true}, {49, 64, true}, {64, 65, false}, {128, 32, true}, {128, 33, false}};
  for (const Case& c : cases) {
    const RecodeAnyResult r = recode(claimed_frame(coding(1, 1, false), c.width, c.height));
    EXPECT_EQ(r.way, c.is_taken ? RecodeWay::kConverted : RecodeWay::kRefused)
        << c.width << "x" << c.height;
    EXPECT_EQ(r.status, c.is_taken ? kRecodeOk : kErrFrameTooLarge) << c.width << "x" << c.height;
  }
  set_foreign_frame_limit_px(0);
}

TEST_F(RecodeAny, ProgressiveStreamsUpToTheScanLimitAreConverted) {
  const RecodeAnyResult r = recode(many_scans(kForeignMaxScans, 64, 64));
  EXPECT_EQ(r.way, RecodeWay::kConverted) << r.error;
}

// The codings of T.81 Table B.1: SOF0..SOF15 are 0xC0..0xCF except DHT (C4), JPG (C8) and DAC
// (CC); the neighbours of that range are no frame header.
struct CodingCase {
  uint8_t marker;
  FrameCoding coding;
};
class FrameCodingOfMarker : public ::testing::TestWithParam<CodingCase> {};

TEST_P(FrameCodingOfMarker, FollowsTableB1) {
  EXPECT_EQ(frame_coding(GetParam().marker), GetParam().coding)
      << std::hex << int{GetParam().marker};
}

INSTANTIATE_TEST_SUITE_P(Markers, FrameCodingOfMarker,
                         ::testing::Values(CodingCase{0xBF, FrameCoding::kNone},
                                           CodingCase{0xC0, FrameCoding::kBaseline},
                                           CodingCase{0xC1, FrameCoding::kExtended},
                                           CodingCase{0xC2, FrameCoding::kProgressive},
                                           CodingCase{0xC3, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xC4, FrameCoding::kNone},
                                           CodingCase{0xC5, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xC7, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xC8, FrameCoding::kNone},
                                           CodingCase{0xC9, FrameCoding::kArithmetic},
                                           CodingCase{0xCA, FrameCoding::kProgressiveArithmetic},
                                           CodingCase{0xCB, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xCC, FrameCoding::kNone},
                                           CodingCase{0xCD, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xCF, FrameCoding::kLosslessOrHierarchical},
                                           CodingCase{0xD0, FrameCoding::kNone},
                                           CodingCase{0xDA, FrameCoding::kNone},
                                           CodingCase{0x00, FrameCoding::kNone}));

struct CmykCase {
  const char* name;
  int width, height;
  CmykOptions source;
  int32_t quality, target_quality;
  int32_t expected_quality;  // the source's 90 (or as given) lowered by the quality rule
  const char* note;
  double min_db;  // least PSNR of a channel: the one measured, 2 dB lower
};

// CMYK and YCCK sources are recoded by libjpeg in their own colour space: the same frame, colour
// space, sampling and Adobe transform, CMYK values within JPEG loss of the source's (inverted ones
// not turned round), tables scaled at quality_used, fitted tables lossless, the ICC profile kept.
TEST_F(RecodeAny, CmykAndYcckAreRecodedInTheirColourSpace) {
  CmykOptions cmyk, no_adobe, inverted, ycck, ycck420, progressive, ycck75;
  no_adobe.has_adobe = false;
  inverted.is_inverted = true;
  ycck.is_ycck = ycck420.is_ycck = ycck75.is_ycck = true;
  ycck420.h[0] = ycck420.v[0] = ycck420.h[3] = ycck420.v[3] = 2;
  progressive.progressive = true;
  progressive.h[0] = 2;
  ycck75.quality = 75;
  const CmykCase cases[] = {
      {"cmyk q90 to 85", 64, 48, cmyk, 85, 0, 75, "CMYK", 28},
      {"cmyk without Adobe 33x17", 33, 17, no_adobe, 85, 0, 75, "CMYK", 28},
      {"inverted cmyk to 100", 120, 80, inverted, 100, 0, 90, "CMYK", 76},
      {"ycck 33x17", 33, 17, ycck, 70, 0, 60, "YCCK", 22},
      {"ycck 2x2,1x1,1x1,2x2", 101, 67, ycck420, 85, 0, 75, "YCCK", 28},
      {"progressive cmyk 2x1", 80, 64, progressive, 95, 0, 85, "progressive, CMYK", 37},
      {"ycck q75 target 60", 64, 64, ycck75, 85, 60, 60, "YCCK", 28},
      {"ycck q75 target 95", 64, 64, ycck75, 85, 95, 75, "YCCK", 60},
  };
  for (const CmykCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes icc = icc_segment();
    const Bytes src = with_segments(cmyk_jpeg(c.width, c.height, c.source), icc);
    const CmykDecode source = libjpeg_decode_cmyk(src);
    ASSERT_TRUE(source.is_ok);
    const int space = c.source.is_ycck ? JCS_YCCK : JCS_CMYK;
    ASSERT_EQ(source.space, space);
    RecodeAnyOptions options;
    options.quality = c.quality;
    options.target_quality = c.target_quality;
    options.keep_metadata = true;
    options.exact = true;
    const RecodeAnyResult exact = recode_any(src.data(), src.size(), options);
    options.exact = false;
    const RecodeAnyResult fitted = recode_any(src.data(), src.size(), options);
    ASSERT_EQ(exact.way, RecodeWay::kConverted) << exact.error;
    ASSERT_EQ(fitted.way, RecodeWay::kConverted) << fitted.error;
    EXPECT_EQ(exact.note, c.note);
    EXPECT_EQ(exact.source_quality, c.source.quality);
    EXPECT_EQ(exact.quality_used, c.expected_quality);
    EXPECT_EQ(fitted.quality_used, c.expected_quality);
    EXPECT_FALSE(exact.damage.is_damaged()) << describe_damage(exact.damage);
    JpegHeader result_header;
    ASSERT_TRUE(parse_header(exact.stream.data(), exact.stream.size(), &result_header));
    EXPECT_EQ(estimate_header_quality(result_header), c.expected_quality);
    EXPECT_FALSE(exact.has_fitted_tables);
    EXPECT_TRUE(fitted.has_fitted_tables);
    EXPECT_LE(fitted.stream.size(), exact.stream.size());

    const CmykDecode ours = libjpeg_decode_cmyk(exact.stream);
    const CmykDecode ours_fitted = libjpeg_decode_cmyk(fitted.stream);
    ASSERT_TRUE(ours.is_ok);
    ASSERT_TRUE(ours_fitted.is_ok);
    EXPECT_EQ(ours.warnings, 0);
    EXPECT_EQ(ours.width, c.width);
    EXPECT_EQ(ours.height, c.height);
    EXPECT_EQ(ours.space, space);
    EXPECT_TRUE(ours.has_adobe);
    EXPECT_EQ(ours.adobe_transform, c.source.is_ycck ? 2 : 0);
    EXPECT_FALSE(ours.has_jfif);
    for (int ci = 0; ci < 4; ++ci) {
      EXPECT_EQ(ours.h[ci], c.source.h[ci]) << ci;
      EXPECT_EQ(ours.v[ci], c.source.v[ci]) << ci;
    }
    EXPECT_EQ(ours.cmyk, ours_fitted.cmyk);
    for (size_t ch = 0; ch < 4; ++ch) {
      const double db = channel_psnr(ours.cmyk, source.cmyk, ch);
      std::printf("%-28s channel %zu: %.1f dB, %zu bytes exact, %zu fitted\n", c.name, ch, db,
                  exact.stream.size(), fitted.stream.size());
      EXPECT_GE(db, c.min_db) << "channel " << ch;
    }
    for (const RecodeAnyResult* r : {&exact, &fitted}) {
      const std::vector<Bytes> segments = marker_segments(r->stream);
      EXPECT_EQ(std::count(segments.begin(), segments.end(), icc), 1);
    }
  }
}

// A damaged CMYK source is recoded with its damage named as for the other libjpeg decodes; a
// frame beyond the decoders' capacity is refused before any decoding.
TEST_F(RecodeAny, DamagedCmykIsReported) {
  const Bytes sound = cmyk_jpeg(96, 64, ycck_options());
  EXPECT_FALSE(recode(sound).damage.is_damaged());
  const RecodeAnyResult cut = recode(cut_at_half(sound));
  ASSERT_EQ(cut.way, RecodeWay::kConverted) << cut.error;
  EXPECT_TRUE(cut.damage.has_no_eoi);
  EXPECT_EQ(describe_damage(cut.damage).rfind("libjpeg: Premature end of JPEG file", 0), 0u)
      << describe_damage(cut.damage);
  EXPECT_TRUE(libjpeg_decode_cmyk(cut.stream).is_ok);

  Bytes gap = sound;
  gap.erase(gap.begin() + static_cast<std::ptrdiff_t>(sound.size() / 3),
            gap.begin() + static_cast<std::ptrdiff_t>(sound.size() / 2));
  const RecodeAnyResult gapped = recode(gap);
  ASSERT_EQ(gapped.way, RecodeWay::kConverted) << gapped.error;
  EXPECT_EQ(describe_damage(gapped.damage).rfind("libjpeg: Corrupt JPEG data", 0), 0u)
      << describe_damage(gapped.damage);

  Bytes huge = sound;
  for (const Segment& s : split_segments(huge)) {
    if (s.marker != 0xC0) continue;
    for (size_t i = 5; i < 9; i += 2) {  // 30000 x 30000
      huge[s.offset + i] = 0x75;
      huge[s.offset + i + 1] = 0x30;
    }
  }
  const RecodeAnyResult too_large = recode(huge);
  EXPECT_EQ(too_large.way, RecodeWay::kRefused);
  EXPECT_EQ(too_large.status, kErrFrameTooLarge);
  EXPECT_NE(too_large.error.find("beyond the decoder's capacity"), std::string::npos)
      << too_large.error;
}

}  // namespace
}  // namespace kestrum::test
