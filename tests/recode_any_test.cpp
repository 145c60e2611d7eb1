// SPDX-License-Identifier: MIT
// The tool's recode strategy: every layout and coding libjpeg writes recodes at the source's size
// with a PSNR within 1.5 dB of a libjpeg recode at the same effective quality; files with
// marker-like bytes in APP1 recode as the library recodes them without those segments; library
// files give jpg_recode_api's bytes; metadata survives; refusals are named.
#include "kestrum/recode_any.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "api/pipeline.h"
#include "bombs.h"
#include "common/jpeg_tables.h"
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

// With the library's own Huffman tables (exact) unless told otherwise: way 1 then gives the bytes
// of jpg_recode_api.
RecodeAnyResult recode(const Bytes& jpeg, int32_t quality = 85, bool keep_metadata = false,
                       bool strict = false, bool exact = true, int32_t target_quality = 0) {
  RecodeAnyOptions options;
  options.quality = quality;
  options.keep_metadata = keep_metadata;
  options.strict = strict;
  options.exact = exact;
  options.target_quality = target_quality;
  return recode_any(jpeg.data(), jpeg.size(), options);
}

// A stream as libjpeg decodes it to RGB.
struct Decoded {
  bool is_ok = false;
  std::vector<uint8_t> rgb;
  int width = 0, height = 0, warnings = 0;
};
Decoded decoded(const Bytes& jpeg) {
  Decoded d;
  d.is_ok = libjpeg_decode_rgb(jpeg, &d.rgb, &d.width, &d.height, &d.warnings);
  return d;
}

// The whole segments of a stream whose markers lie in first..last, in order.
std::vector<Bytes> segments_of(const Bytes& jpeg, uint8_t first, uint8_t last) {
  std::vector<Bytes> found;
  for (const Segment& s : split_segments(jpeg)) {
    if (s.marker >= first && s.marker <= last)
      found.emplace_back(jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset),
                         jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
  }
  return found;
}
// The segments that are neither tables nor the frame or scan: APPn and COM (and the markers
// between them, which no writer uses), in order.
std::vector<Bytes> marker_segments(const Bytes& jpeg) { return segments_of(jpeg, 0xE0, 0xFE); }

std::vector<uint8_t> restart_markers(const Bytes& jpeg) {
  std::vector<uint8_t> found;
  for (size_t at : restart_offsets(jpeg)) found.push_back(jpeg[at + 1]);
  return found;
}

// Bytes that the library's segment skipping and SOI count take for markers.
const Bytes kMarkerLikeBytes = {0x00, 0xFF, 0xD8, 0x11, 0xFF, 0xDB, 0x00, 0x43,
                                0x01, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0xFF, 0xD9,
                                0x22, 0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x33, 0x44};

// The source recoded with the standard tables (exact) and with tables fitted to the result, both
// keeping the metadata: the same way and quality (that of the result's tables), the fitted result
// smaller with the restart markers, DRI, DQT and metadata segments (the given one once) of the
// standard-table result, ending in EOI.
void recode_both_tables(const Bytes& src, int32_t quality, int32_t target, RecodeWay way,
                        const Bytes& metadata, RecodeAnyResult* exact, RecodeAnyResult* fitted) {
  *exact = recode(src, quality, true, false, true, target);
  *fitted = recode(src, quality, true, false, false, target);
  ASSERT_EQ(exact->way, way) << exact->error;
  ASSERT_EQ(fitted->way, way) << fitted->error;
  EXPECT_FALSE(exact->has_fitted_tables);
  EXPECT_TRUE(fitted->has_fitted_tables);
  EXPECT_LT(fitted->stream.size(), exact->stream.size());
  EXPECT_EQ(fitted->quality_used, exact->quality_used);
  JpegHeader header;
  ASSERT_TRUE(parse_header(exact->stream.data(), exact->stream.size(), &header));
  EXPECT_EQ(estimate_header_quality(header), exact->quality_used);
  EXPECT_EQ(restart_markers(fitted->stream), restart_markers(exact->stream));
  EXPECT_EQ(segment_bytes(fitted->stream, 0xDD), segment_bytes(exact->stream, 0xDD));
  EXPECT_EQ(segments_of(fitted->stream, 0xDB, 0xDB), segments_of(exact->stream, 0xDB, 0xDB));
  const std::vector<Bytes> kept = marker_segments(exact->stream);
  EXPECT_EQ(std::count(kept.begin(), kept.end(), metadata), 1);
  EXPECT_EQ(marker_segments(fitted->stream), kept);
  EXPECT_EQ(fitted->stream.back(), 0xD9);
}

struct RgbCase {
  std::string name;
  int width, height;
  JpegOptions source;
  bool as_sof1;  // the baseline frame marker relabelled SOF1 (extended sequential, same coding)
  int32_t quality;
  RecodeWay way;
  std::string note;  // what the tool says it did
};

JpegOptions rgb_layout(int h0, int v0) {
  JpegOptions o = layout_options(h0, v0);
  o.rgb = true;
  return o;
}

class RgbSources : public ::testing::TestWithParam<RgbCase> {};

// Every layout and coding libjpeg writes, and the library's own: the result decodes at the
// source's size within 1.5 dB of the PSNR of libjpeg's recode at the effective quality. Fitted
// tables change the bytes, not the image: libjpeg decodes the same pixels from both results, and
// the library's decoder reads the fitted one as well as the standard one.
TEST_P(RgbSources, RecodeWithinPsnrOfLibjpegAndFittedTablesLossless) {
  const RgbCase& c = GetParam();
  const int w = c.width, h = c.height;
  const Bytes encoded = libjpeg_encode(photo_rgb(w, h, 7), w, h, c.source);
  ASSERT_FALSE(encoded.empty());
  const Bytes metadata = exif_segment(6, Bytes(100, 0x42));
  Bytes src = with_segments(encoded, metadata);
  if (c.as_sof1) src[segment_offset(src, 0xC0) + 1] = 0xC1;
  RecodeAnyResult exact, fitted;
  ASSERT_NO_FATAL_FAILURE(recode_both_tables(src, c.quality, 0, c.way, metadata, &exact, &fitted));
  EXPECT_EQ(exact.library_status == 0, c.way == RecodeWay::kLibrary);
  EXPECT_EQ(exact.note, c.note);
  EXPECT_EQ(exact.source_quality, c.source.quality);  // libjpeg's tables, by the library's estimate
  const int32_t effective = c.quality - (100 - c.source.quality);
  EXPECT_EQ(exact.quality_used, effective);
  EXPECT_FALSE(restart_markers(exact.stream).empty());
  const std::vector<Bytes> kept = marker_segments(exact.stream);
  ASSERT_EQ(kept.size(), 2u);  // our APP0 and the source's EXIF
  EXPECT_EQ(kept[1], metadata);

  const Decoded source = decoded(src), ours = decoded(exact.stream);
  const Decoded ours_fitted = decoded(fitted.stream);
  ASSERT_TRUE(source.is_ok && ours.is_ok && ours_fitted.is_ok);
  EXPECT_EQ(ours.warnings, 0);
  EXPECT_EQ(ours_fitted.warnings, 0);
  ASSERT_EQ(std::pair(ours.width, ours.height), std::pair(w, h));
  EXPECT_EQ(std::pair(ours_fitted.width, ours_fitted.height), std::pair(w, h));
  EXPECT_TRUE(ours_fitted.rgb == ours.rgb) << "decoded pixels differ";
  if (c.way == RecodeWay::kConverted) {  // the library's way may give back the source's pixels
    JpegOptions reference;
    reference.quality = effective;
    const Decoded theirs = decoded(libjpeg_encode(source.rgb, w, h, reference));
    ASSERT_TRUE(theirs.is_ok);
    const double ours_db = psnr(ours.rgb.data(), source.rgb.data(), source.rgb.size());
    const double theirs_db = psnr(theirs.rgb.data(), source.rgb.data(), source.rgb.size());
    EXPECT_NEAR(ours_db, theirs_db, 1.5) << "ours " << ours_db << " dB, libjpeg " << theirs_db;
  }
  // Against libjpeg over the image's area.
  const PlaneAgreement with_exact =
      compare_planes_with_libjpeg(exact.stream, decode_ours(exact.stream));
  const OurDecode ours_of_fitted = decode_ours(fitted.stream);
  EXPECT_EQ(ours_of_fitted.status, 0);
  const PlaneAgreement with_fitted = compare_planes_with_libjpeg(fitted.stream, ours_of_fitted);
  EXPECT_EQ(with_fitted.max_diff, with_exact.max_diff);
  EXPECT_NEAR(with_fitted.psnr_min(), with_exact.psnr_min(), 0.01);
}

// Larger library files at other qualities and more converted ones, then each layout at three
// sizes.
std::vector<RgbCase> rgb_cases() {
  const struct {
    const char* name;
    JpegOptions options;
    bool as_sof1;
    const char* note;
  } layouts[] = {
      {"s422", layout_options(2, 1), false, "4:2:2 \u2192 4:2:0"},
      {"s444", layout_options(1, 1), false, "4:4:4 \u2192 4:2:0"},
      {"s440", layout_options(1, 2), false, "4:4:0 \u2192 4:2:0"},
      {"s411", layout_options(4, 1), false, "4:1:1 \u2192 4:2:0"},
      {"grey", layout_options(1, 1, 1), false, "greyscale \u2192 4:2:0"},
      {"progressive", layout_options(2, 2, 3, true), false, "progressive"},
      {"progressive444", layout_options(1, 1, 3, true), false, "progressive, 4:4:4 \u2192 4:2:0"},
      {"arithmetic", layout_options(2, 2, 3, false, true), false, "arithmetic"},
      {"arithmetic422", layout_options(2, 1, 3, false, true), false,
       "arithmetic, 4:2:2 \u2192 4:2:0"},
      {"sof1", layout_options(2, 2), true, "extended sequential"},
      // RGB in a 4:2:0 frame: the library would read it as YCbCr.
      {"rgb420", rgb_layout(2, 2), false, "RGB"},
      {"rgb444", rgb_layout(1, 1), false, "RGB, 4:4:4 \u2192 4:2:0"}};
  const RecodeWay library = RecodeWay::kLibrary, converted = RecodeWay::kConverted;
  std::vector<RgbCase> cases = {
      {"s420_q90_to_85", 320, 240, baseline_options(90), false, 85, library, ""},
      {"s420_odd_size_q95_to_70", 333, 251, baseline_options(95), false, 70, library, ""},
      {"s420_q75_to_100", 640, 480, baseline_options(75), false, 100, library, ""},
      {"s420_q98_to_30", 1023, 769, baseline_options(98), false, 30, library, ""},
      {"s422_300x200", 300, 200, layout_options(2, 1), false, 85, converted, "4:2:2 \u2192 4:2:0"},
      {"progressive444_q60", 257, 129, layout_options(1, 1, 3, true), false, 60, converted,
       "progressive, 4:4:4 \u2192 4:2:0"},
      {"grey_200x160", 200, 160, layout_options(1, 1, 1), false, 85, converted,
       "greyscale \u2192 4:2:0"}};
  for (const auto& l : layouts) {
    for (const auto& [w, h] : {std::pair{101, 75}, std::pair{77, 53}, std::pair{250, 131}}) {
      cases.push_back({std::string(l.name) + "_" + std::to_string(w) + "x" + std::to_string(h), w,
                       h, l.options, l.as_sof1, 85, RecodeWay::kConverted, l.note});
    }
  }
  return cases;
}
INSTANTIATE_TEST_SUITE_P(EveryLayout, RgbSources, ::testing::ValuesIn(rgb_cases()), ParamName());

// Whether three components are RGB, decided as libjpeg decides it (jpeg_read_header's
// jpeg_color_space), for each mix of JFIF segment, Adobe transform and component ids.
TEST(RecodeAny, RgbCodingAsLibjpegReadsIt) {
  const Bytes rgb = libjpeg_encode(photo_rgb(32, 32, 2), 32, 32, rgb_layout(2, 2));
  const Bytes jfif_app0 = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
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
  int rgb_variants = 0;  // both answers must come up, or the variants were not made
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    Bytes jpeg = rgb;  // the ids in the frame and scan headers, the Adobe transform or segment
    for (size_t c = 0; c < 3; ++c) {
      jpeg[segment_offset(rgb, 0xC0) + 10 + 3 * c] = v.ids[c];
      jpeg[segment_offset(rgb, 0xDA) + 5 + 2 * c] = v.ids[c];
    }
    jpeg[segment_offset(rgb, 0xEE) + 4 + 11] = static_cast<uint8_t>(std::max(v.adobe, 0));
    const Segment adobe = split_segments(rgb)[1];  // libjpeg writes Adobe right after SOI
    ASSERT_EQ(adobe.marker, 0xEE);
    if (v.adobe < 0)
      jpeg.erase(jpeg.begin() + 2, jpeg.begin() + 2 + static_cast<std::ptrdiff_t>(adobe.length));
    if (v.jfif) jpeg.insert(jpeg.begin() + 2, jfif_app0.begin(), jfif_app0.end());
    jpeg_decompress_struct d;
    jpeg_error_mgr errors;
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    ASSERT_EQ(jpeg_read_header(&d, TRUE), JPEG_HEADER_OK);
    const bool libjpeg_says_rgb = d.jpeg_color_space == JCS_RGB;
    rgb_variants += libjpeg_says_rgb;
    jpeg_destroy_decompress(&d);
    JpegHeader header;
    ASSERT_TRUE(parse_header(jpeg.data(), jpeg.size(), &header));
    EXPECT_EQ(is_rgb_coded(header.frame), libjpeg_says_rgb);
    const RecodeAnyResult r = recode(jpeg);
    EXPECT_EQ(r.way, libjpeg_says_rgb ? RecodeWay::kConverted : RecodeWay::kLibrary) << r.error;
  }
  EXPECT_EQ(rgb_variants, 3);  // Adobe transform 0 without JFIF, or ids R G B alone
}

// Library files give the bytes of jpg_recode_api, strict or not. A segment length our header walk
// cannot follow but the library's rules pass over (APP1 of length 1) leaves the file to the
// library: its bytes are those of the file without that segment, and the quality reported is the
// one it used (the source's is not read from a header we could not walk).
TEST(RecodeAny, LibraryFilesGiveTheBytesOfJpgRecodeApi) {
  TempDir dir;
  for (const auto& [quality, is_odd] :
       {std::pair{50, false}, std::pair{75, false}, std::pair{95, false}, std::pair{90, true}}) {
    SCOPED_TRACE(testing::Message() << "q" << quality << (is_odd ? " with APP1 of length 1" : ""));
    const JpegOptions o = baseline_options(quality, quality == 75 ? 1 : 0);
    const Bytes clean =
        with_segments(libjpeg_encode(photo_rgb(133, 71, 2), 133, 71, o), exif_segment(3, {}));
    Bytes src = clean;
    if (is_odd) src.insert(src.begin() + 2, {0xFF, 0xE1, 0x00, 0x01});  // APP1 of length 1
    JpegHeader header;
    ASSERT_EQ(parse_header(src.data(), src.size(), &header), !is_odd);
    ASSERT_TRUE(write_file(dir.path("in.jpg"), src));
    Bytes expected;
    {
      ConsoleCapture quiet;
      ASSERT_EQ(jpg_recode_api(dir.path("in.jpg").c_str(), dir.path("out.jpg").c_str(), 80), 0);
      ASSERT_TRUE(read_file(dir.path("out.jpg"), &expected));
    }
    const RecodeAnyResult r = recode(src, 80);
    EXPECT_EQ(r.way, RecodeWay::kLibrary);
    EXPECT_EQ(r.stream, expected);
    EXPECT_EQ(recode(src, 80, false, true).stream, expected);  // strict still takes them
    EXPECT_EQ(r.source_quality, is_odd ? 0 : quality);
    EXPECT_EQ(r.quality_used, 80 - (100 - quality));
    EXPECT_NE(r.log.find("encoding jpg successfully!"), std::string::npos);
    if (is_odd) {
      EXPECT_EQ(r.stream, recode(clean, 80).stream);
      continue;
    }
    const RecodeAnyResult kept = recode(src, 80, true);
    EXPECT_EQ(exif_orientation(kept.stream), 3);
    EXPECT_EQ(kept.stream.size(), expected.size() + segment_bytes(src, 0xE1).size());
  }
}

// The quality used is what the result's tables say: the request lowered by the source's distance
// from 100 (so never above the source's), or a target unless the source's estimate is lower.
// Tables of 16-bit entries, as libjpeg writes them at low qualities without the baseline limit,
// are estimated from their own values; tables coarser than any quality's (source 0: every entry
// 4096, beyond quality 1's 255 x 50 / 2.55) leave the request as it is rather than lowering it.
TEST(RecodeAny, QualityUsedIsTheResultsQuality) {
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
      {8, 2, true, 95, 0, 3},     {13, 2, true, 95, 0, 8},    {20, 2, true, 95, 0, 15},
      {0, 2, true, 80, 0, 80}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "q" << c.source << " h" << c.h0 << " wide " << c.is_wide
                                    << " request " << c.quality << " target " << c.target);
    JpegOptions o = baseline_options(c.source == 0 ? 50 : c.source);
    o.h0 = c.h0;
    o.wide_tables = c.is_wide && c.source != 0;
    Bytes src = libjpeg_encode(photo_rgb(64, 64, 4), 64, 64, o);
    if (c.source == 0) src = with_wide_tables(src, 4096);
    JpegHeader header;
    ASSERT_TRUE(parse_header(src.data(), src.size(), &header));
    EXPECT_EQ(header.has_wide_quant, c.is_wide);
    EXPECT_EQ(estimate_header_quality(header), c.source);
    const RecodeAnyResult r = recode(src, c.quality, false, false, false, c.target);
    ASSERT_NE(r.way, RecodeWay::kRefused) << r.error;
    EXPECT_TRUE(!c.is_wide || r.way == RecodeWay::kConverted);
    ASSERT_TRUE(parse_header(r.stream.data(), r.stream.size(), &header));
    EXPECT_EQ(estimate_header_quality(header), c.used);
    EXPECT_EQ(r.quality_used, c.used);
  }
}

// Every metadata segment a photo carries is kept, in the source's order, after the result's own
// APP0; the segments that describe the old coding (JFIF/JFXX APP0, Adobe APP14) are not.
// Marker-like bytes in EXIF are the library's to pass over with their segment: it recodes the photo
// itself, the same picture with or without the segments.
TEST(RecodeAny, MetadataSegmentsKeptInOrder) {
  const auto tagged = [](const char* tag, uint8_t fill, size_t n) {
    Bytes body(tag, tag + std::strlen(tag) + 1);
    body.insert(body.end(), n, fill);
    return body;
  };
  Bytes icc1 = tagged("ICC_PROFILE", 0x11, 40), icc2 = tagged("ICC_PROFILE", 0x22, 40);
  icc1[12] = 1, icc1[13] = 2, icc2[12] = 2, icc2[13] = 2;  // chunk 1 of 2, chunk 2 of 2
  const std::vector<Bytes> kept = {exif_segment(6, kMarkerLikeBytes),
                                   segment(0xE1, tagged("http://ns.adobe.com/xap/1.0/", 'x', 30)),
                                   segment(0xE2, icc1),
                                   segment(0xE2, icc2),
                                   segment(0xED, tagged("Photoshop 3.0", 0x1C, 30)),
                                   segment(0xFE, Bytes{'h', 'e', 'l', 'l', 'o'})};
  const Bytes metadata = concat(
      {kept[0], kept[1], kept[2], kept[3], kept[4], kept[5], segment(0xE0, tagged("JFXX", 0x10, 4)),
       segment(0xEE, Bytes{'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1})});
  const Bytes plain = libjpeg_encode(photo_rgb(64, 48, 3), 64, 48, baseline_options(90));
  const Bytes src = with_segments(plain, metadata);
  const RecodeAnyResult r = recode(src, 85, true);
  ASSERT_EQ(r.way, RecodeWay::kLibrary) << r.error;
  const std::vector<Bytes> found = marker_segments(r.stream);  // every APPn and COM
  ASSERT_EQ(found.size(), 1 + kept.size());
  EXPECT_EQ(found[0][1], 0xE0);  // the result's own APP0, the only one
  EXPECT_EQ(std::vector<Bytes>(found.begin() + 1, found.end()), kept);
  Bytes stripped, from_src;
  {
    ConsoleCapture quiet;
    ASSERT_EQ(recode_in_memory(plain, 85, &stripped), 0);
    ASSERT_EQ(recode_in_memory(src, 85, &from_src), 0);
  }
  EXPECT_EQ(from_src, stripped);
  const RecodeAnyResult without = recode(src, 85, false);
  EXPECT_EQ(without.way, RecodeWay::kLibrary);
  EXPECT_EQ(without.stream, stripped);
  const Decoded with_rgb = decoded(r.stream), without_rgb = decoded(stripped);
  ASSERT_TRUE(with_rgb.is_ok && without_rgb.is_ok);
  EXPECT_EQ(with_rgb.rgb, without_rgb.rgb);
}

// Damaged sources: what the decode met, checked against libjpeg, which warns about the same
// damage and about nothing in the sound variants, and the field that names it.
struct DamageCase {
  const char* name;
  Bytes (*make)(const Bytes& sound);
  bool is_damaged;
  const char* description;  // the start of describe_damage's text
  bool (*is_named)(const RecodeDamage& d);
};

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
  Bytes out = j;
  size_t start = 0, end = 0;  // of the entropy-coded data
  for (const Segment& s : split_segments(j)) {
    if (s.marker == 0xDA) start = s.offset + 4 + (size_t{j[s.offset + 2]} << 8 | j[s.offset + 3]);
    if (s.marker == 0xDA) end = s.offset + s.length;
  }
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
  const std::vector<size_t> at = restart_offsets(j);
  if (at.size() < 3) return {};
  if (swap) {
    std::swap(out[at[1] + 1], out[at[2] + 1]);
  } else {
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(at[1]),
              out.begin() + static_cast<std::ptrdiff_t>(at[1] + 2));
  }
  return out;
}

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

// The share of a 4:2:0 image's MCU rows before the first where libjpeg's decode of damaged leaves
// its decode of sound (in any plane), as data_end_percent counts it; -1 when none does.
int libjpeg_first_changed_row_percent(const Bytes& sound, const Bytes& damaged) {
  RawPlanes a, b;
  if (!libjpeg_decode_raw(sound, &a) || !libjpeg_decode_raw(damaged, &b)) return -2;
  const auto first = [](const std::vector<uint8_t>& p, const std::vector<uint8_t>& q, int width,
                        int mcu_height) {  // the first MCU row where the planes differ
    const auto at = std::mismatch(p.begin(), p.end(), q.begin()).first - p.begin();
    return at == std::ssize(p) ? INT_MAX : static_cast<int>(at / width / mcu_height);
  };
  const int row = std::min(
      {first(a.y, b.y, a.width, 16), first(a.cb, b.cb, a.cw, 8), first(a.cr, b.cr, a.cw, 8)});
  return row == INT_MAX ? -1 : row * 100 / ((a.height + 15) / 16);
}

class RecodeAnyDamage : public ::testing::TestWithParam<DamageCase> {};

// Each damage on the library's way (with and without restarts) and on the converted way (4:2:2
// with restarts, and progressive): libjpeg warns exactly when the case is damage, and the result
// tells damage exactly then. Each result decodes cleanly. On the library's way the damage is
// named, and data that runs out or goes missing does so at the row where libjpeg's decode first
// goes wrong.
TEST_P(RecodeAnyDamage, ToldAndResultStillMade) {
  const DamageCase& c = GetParam();
  JpegOptions s422 = layout_options(2, 1);
  s422.restart_rows = 1;
  for (const auto& [options, way] :
       {std::pair{baseline_options(90), RecodeWay::kLibrary},
        std::pair{baseline_options(90, 1), RecodeWay::kLibrary},
        std::pair{s422, RecodeWay::kConverted},
        std::pair{layout_options(2, 1, 3, true), RecodeWay::kConverted}}) {
    SCOPED_TRACE(testing::Message() << c.name << ", progressive " << options.progressive
                                    << ", restarts " << options.restart_rows);
    const Bytes sound = libjpeg_encode(photo_rgb(160, 128, 7), 160, 128, options);
    const Bytes src = c.make(sound);
    if (src.empty()) continue;  // the restart cases need restart markers
    const Decoded source = decoded(src);
    ASSERT_TRUE(source.is_ok);
    EXPECT_EQ(source.warnings > 0, c.is_damaged) << "libjpeg disagrees";
    const RecodeAnyResult r = recode(src, 85);
    ASSERT_EQ(r.way, way) << r.error;
    const std::string text = describe_damage(r.damage);
    EXPECT_EQ(r.damage.is_damaged(), c.is_damaged) << text;
    const Decoded result = decoded(r.stream);
    ASSERT_TRUE(result.is_ok);
    EXPECT_EQ(std::pair(result.width, result.height), std::pair(160, 128));
    EXPECT_EQ(result.warnings, 0);
    if (way != RecodeWay::kLibrary) continue;
    EXPECT_EQ(text.rfind(c.description, 0), 0u) << text;
    EXPECT_TRUE(c.is_named(r.damage)) << text;
    if (r.damage.data_end_percent >= 0) {
      EXPECT_EQ(r.damage.data_end_percent, libjpeg_first_changed_row_percent(sound, src));
    }
  }
}

const DamageCase kDamageCases[] = {
    {"sound", [](const Bytes& j) { return j; }, false, "",
     [](const RecodeDamage& d) { return !d.has_no_eoi; }},
    {"data_after_the_end", with_trailer, false, "",
     [](const RecodeDamage& d) { return d.bytes_after_eoi == 1000; }},
    {"cut_at_half", cut_at_half, true, "data ends at ",
     [](const RecodeDamage& d) { return d.data_end_percent >= 0 && !d.has_data_resumed; }},
    {"no_end_marker", without_eoi, true, "no end-of-image marker",
     [](const RecodeDamage& d) { return d.has_no_eoi && d.data_end_percent == -1; }},
    {"codes_that_match_nothing", with_bad_codes, true, "",
     [](const RecodeDamage& d) { return d.bad_codes > 0; }},
    {"restart_marker_missing", [](const Bytes& j) { return restart_changed(j, false); }, true, "",
     [](const RecodeDamage& d) { return d.restart_errors > 0; }},
    {"restart_markers_swapped", [](const Bytes& j) { return restart_changed(j, true); }, true, "",
     [](const RecodeDamage& d) { return d.restart_errors > 0; }}};
INSTANTIATE_TEST_SUITE_P(Table, RecodeAnyDamage, ::testing::ValuesIn(kDamageCases), ParamName());

// Damage in files only libjpeg decodes (progressive, YCCK) is told as libjpeg words it; a YCCK
// result cut short still decodes as CMYK.
TEST(RecodeAny, LibjpegDamageIsToldInItsWords) {
  const Bytes progressive =
      libjpeg_encode(photo_rgb(200, 150, 3), 200, 150, layout_options(2, 2, 3, true));
  const Bytes ycck = cmyk_jpeg(96, 64, ycck_options());
  const auto gap = [](Bytes b) {
    const auto size = static_cast<std::ptrdiff_t>(b.size());
    b.erase(b.begin() + size / 3, b.begin() + size / 2);
    return b;
  };
  const struct {
    const char* name;
    Bytes jpeg;
    bool is_cmyk, has_no_eoi;
    const char* description;  // "": no damage
  } cases[] = {
      {"progressive with a gap", gap(progressive), false, false, "libjpeg: Corrupt JPEG data"},
      {"ycck", ycck, true, false, ""},
      {"ycck cut at half", cut_at_half(ycck), true, true, "libjpeg: Premature end of JPEG file"},
      {"ycck with a gap", gap(ycck), true, false, "libjpeg: Corrupt JPEG data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RecodeAnyResult r = recode(c.jpeg);
    ASSERT_EQ(r.way, RecodeWay::kConverted) << r.error;
    EXPECT_EQ(r.damage.is_damaged(), *c.description != '\0');
    EXPECT_EQ(r.damage.has_no_eoi, c.has_no_eoi);
    EXPECT_EQ(describe_damage(r.damage).rfind(c.description, 0), 0u) << describe_damage(r.damage);
    EXPECT_TRUE(!c.is_cmyk || libjpeg_decode_cmyk(r.stream).is_ok);
  }
}

// Refusals name their reason. Files that claim more than the libjpeg way may spend on them are
// refused at once, before libjpeg or our planes take the memory the claim asks for. The limits are
// exact: the frame limit (here lowered to 64 x 64) counts the planes rounded up to 16, and a
// progressive stream of up to kForeignMaxScans scans is converted.
TEST(RecodeAny, RefusalsAreNamed) {
  const Bytes layout422 = libjpeg_encode(photo_rgb(50, 50, 1), 50, 50, layout_options(2, 1));
  Bytes twelve_bit = libjpeg_encode(photo_rgb(50, 50, 1), 50, 50, JpegOptions{});
  twelve_bit[segment_offset(twelve_bit, 0xC0) + 4] = 12;
  const Bytes huge_ycck = with_frame_size(cmyk_jpeg(96, 64, ycck_options()), 30000, 30000);
  const std::string malformed = "the library refuses it: malformed stream";
  const std::string not_jpeg = "not a well-formed JPEG (malformed stream)";
  const auto beyond = [](const char* size) {
    return "the frame (" + std::string(size) + ") is beyond the decoder's capacity";
  };
  const auto frame = [](int w, int h) { return claimed_frame(layout_options(1, 1), w, h); };
  const std::string more_scans = "libjpeg: more than 100 scans";
  constexpr uint64_t kSmall = 64 * 64;
  const struct {
    const char* name;
    Bytes jpeg;
    bool strict;
    int32_t status;     // 0: any failure
    std::string error;  // "": converted
    uint64_t frame_limit_px = 0;
  } cases[] = {
      {"strict cmyk", cmyk_jpeg(40, 30), true, 0, malformed},
      {"strict ycck", cmyk_jpeg(40, 30, ycck_options()), true, 0, malformed},
      {"12-bit", twelve_bit, false, 0, "12-bit samples are not recoded"},
      {"strict 4:2:2", layout422, true, 0, "the library refuses it: unreadable, or not 4:2:0"},
      {"not a JPEG", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, false, 0, not_jpeg},
      {"header cut short", Bytes(twelve_bit.begin(), twelve_bit.begin() + 120), false, 0, not_jpeg},
      // 645 bytes claiming 65500 x 65500: 6.3 GB of planes.
      {"baseline 4:4:4 65500", claimed_frame(layout_options(1, 1), 65500, 65500), false,
       kErrFrameTooLarge, beyond("65500 x 65500")},
      // One 16-pixel step above the frames the library's decoder holds.
      {"baseline 4:2:2 14192", claimed_frame(layout_options(2, 1), 14192, 14192), false,
       kErrFrameTooLarge, beyond("14192 x 14192")},
      {"progressive 4:2:0 30000", claimed_frame(layout_options(2, 2, 3, true), 30000, 30000), false,
       kErrFrameTooLarge, beyond("30000 x 30000")},
      {"ycck 30000", huge_ycck, false, kErrFrameTooLarge, beyond("30000 x 30000")},
      // Within the frame limit, but its coefficients would take 1.2 GB.
      {"progressive 4:4:4 14000", claimed_frame(layout_options(1, 1, 3, true), 14000, 14000), false,
       kErrFrameTooLarge, "libjpeg: the frame needs more than 768 MiB"},
      {"progressive, 150 scans", many_scans(150, 64, 64), false, kErrCorruptStream, more_scans},
      {"64x64", frame(64, 64), false, kRecodeOk, "", kSmall},
      {"49x64", frame(49, 64), false, kRecodeOk, "", kSmall},
      {"64x65", frame(64, 65), false, kErrFrameTooLarge, beyond("64 x 65"), kSmall},
      {"128x32", frame(128, 32), false, kRecodeOk, "", kSmall},
      {"128x33", frame(128, 33), false, kErrFrameTooLarge, beyond("128 x 33"), kSmall},
      {"scans at the limit", many_scans(kForeignMaxScans, 64, 64), false, kRecodeOk, ""},
      {"one scan more", many_scans(kForeignMaxScans + 1, 64, 64), false, kErrCorruptStream,
       more_scans},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.jpeg.empty());
    set_foreign_frame_limit_px(c.frame_limit_px);
    const RecodeAnyResult r = recode(c.jpeg, 85, false, c.strict);
    const bool is_refused = !c.error.empty();
    EXPECT_EQ(r.way, is_refused ? RecodeWay::kRefused : RecodeWay::kConverted);
    EXPECT_EQ(r.status != 0, is_refused);
    EXPECT_TRUE(c.status == 0 || r.status == c.status) << r.status;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.stream.empty(), is_refused);
  }
  set_foreign_frame_limit_px(0);
}

// The end of the image is found past entropy-coded data of every kind: stuffed bytes, fill,
// restart markers and marker segments after the scan (whose bodies may hold FF D9), at every
// alignment of the scanner's wide loads; a stream that ends first has no end.
TEST(ImageEnd, IsJustPastTheFirstEoiOutsideSegments) {
  const Bytes jpeg = libjpeg_encode(photo_rgb(16, 16, 1), 16, 16, JpegOptions{});
  JpegHeader header;
  ASSERT_TRUE(parse_header(jpeg.data(), jpeg.size(), &header));
  const Bytes head(jpeg.begin(),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(scan_data_offset(jpeg)));
  const Bytes eoi = {0xFF, 0xD9};
  struct Case {
    std::string name;
    Bytes data;  // after the scan's header
    size_t end;  // into data, just past the EOI; 0: none
  };
  std::vector<Case> cases = {
      {"plain", {0x12, 0x34, 0xFF, 0xD9}, 4},
      {"stuffed", {0xFF, 0x00, 0x55, 0xFF, 0x00, 0xFF, 0xD9}, 7},
      {"fill_before_the_end", {0x01, 0xFF, 0xFF, 0xFF, 0xD9}, 5},
      {"one_fill_byte", {0x01, 0xFF, 0xFF, 0xD9}, 4},
      {"restart_markers", {0x01, 0xFF, 0xD0, 0x02, 0xFF, 0xD7, 0xFF, 0xD9}, 8},
      {"comment_holding_ff_d9",
       {0x01, 0xFF, 0xFE, 0x00, 0x06, 0xFF, 0xD9, 0xFF, 0xD9, 0x03, 0xFF, 0xD9},
       12},
      {"trailer_after_the_end", {0x01, 0xFF, 0xD9, 0xFF, 0xD9, 0x00}, 3},
      {"end_at_once", {0xFF, 0xD9}, 2},
      {"no_end", {0x01, 0x02, 0x03}, 0},
      {"ends_in_ff", {0x01, 0xFF}, 0},
      {"ends_in_a_stuffed_byte", {0x01, 0xFF, 0x00}, 0},
      {"segment_past_the_data", {0x01, 0xFF, 0xFE, 0x00, 0x40, 0x00}, 0},
      {"long_data", concat({Bytes(100000, 0x11), eoi}), 100002},
  };
  for (size_t at = 0; at < 70; ++at) {
    const std::string place = "_at_" + std::to_string(at);
    cases.push_back({"stuffed" + place,
                     concat({Bytes(at, 0x22), {0xFF, 0x00}, Bytes(69 - at, 0x33), eoi}), 73});
    cases.push_back({"end" + place, concat({Bytes(at, 0x44), eoi, Bytes(70, 0xFF)}), at + 2});
  }
  for (const Case& c : cases) {
    const Bytes stream = concat({head, c.data});
    const size_t expected = c.end == 0 ? 0 : head.size() + c.end;
    EXPECT_EQ(find_image_end(stream.data(), stream.size(), header), expected) << c.name;
  }
}

// The codings of T.81 Table B.1: SOF0..SOF15 are 0xC0..0xCF except DHT (C4), JPG (C8) and DAC
// (CC); the neighbours of that range are no frame header.
TEST(FrameCodingOfMarker, FollowsTableB1) {
  using enum FrameCoding;
  constexpr FrameCoding kHierarchical = kLosslessOrHierarchical;
  const FrameCoding sof[16] = {kBaseline, kExtended,     kProgressive,           kHierarchical,
                               kNone,     kHierarchical, kHierarchical,          kHierarchical,
                               kNone,     kArithmetic,   kProgressiveArithmetic, kHierarchical,
                               kNone,     kHierarchical, kHierarchical,          kHierarchical};
  for (int n = 0; n < 16; ++n) EXPECT_EQ(frame_coding(static_cast<uint8_t>(0xC0 + n)), sof[n]) << n;
  for (int marker : {0xBF, 0xD0, 0xDA, 0x00}) {
    EXPECT_EQ(frame_coding(static_cast<uint8_t>(marker)), kNone) << marker;
  }
}

struct CmykCase {
  const char* name;
  int width, height;
  CmykOptions source;
  int32_t quality, target_quality;
  int32_t expected_quality;  // the source's 90 (or as given) lowered by the quality rule
  const char* note;
  // How far a channel's PSNR may lie above that of libjpeg's own recode of the decoded source at
  // expected_quality (it may lie at most 0.5 dB below): the progressive case's subsampled channels
  // come out up to 4.2 dB better than libjpeg's recode from pixels.
  double above_db = 0.5;
};

// CMYK and YCCK sources are recoded by libjpeg in their own colour space: the same frame, colour
// space, sampling and Adobe transform, CMYK values as close to the source's as libjpeg's own
// recode at that quality (inverted ones not turned round), tables scaled at quality_used, fitted
// tables lossless, the ICC profile kept.
TEST(RecodeAny, CmykAndYcckAreRecodedInTheirColourSpace) {
  CmykOptions cmyk, no_adobe, inverted, ycck, ycck420, progressive, ycck75;
  no_adobe.has_adobe = false;
  inverted.is_inverted = true;
  ycck.is_ycck = ycck420.is_ycck = ycck75.is_ycck = true;
  ycck420.h[0] = ycck420.v[0] = ycck420.h[3] = ycck420.v[3] = 2;
  progressive.progressive = true;
  progressive.h[0] = 2;
  ycck75.quality = 75;
  const CmykCase cases[] = {
      {"cmyk q90 to 85", 64, 48, cmyk, 85, 0, 75, "CMYK"},
      {"cmyk without Adobe 33x17", 33, 17, no_adobe, 85, 0, 75, "CMYK"},
      {"inverted cmyk to 100", 120, 80, inverted, 100, 0, 90, "CMYK"},
      {"ycck 33x17", 33, 17, ycck, 70, 0, 60, "YCCK"},
      {"ycck 2x2,1x1,1x1,2x2", 101, 67, ycck420, 85, 0, 75, "YCCK"},
      {"progressive cmyk 2x1", 80, 64, progressive, 95, 0, 85, "progressive, CMYK", 4.5},
      {"ycck q75 target 60", 64, 64, ycck75, 85, 60, 60, "YCCK"},
      {"ycck q75 target 95", 64, 64, ycck75, 85, 95, 75, "YCCK"},
  };
  for (const CmykCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes icc = icc_segment();
    const Bytes src = with_segments(cmyk_jpeg(c.width, c.height, c.source), icc);
    const CmykDecode source = libjpeg_decode_cmyk(src);
    ASSERT_TRUE(source.is_ok);
    const int space = c.source.is_ycck ? JCS_YCCK : JCS_CMYK;
    ASSERT_EQ(source.space, space);
    RecodeAnyResult exact, fitted;
    ASSERT_NO_FATAL_FAILURE(recode_both_tables(src, c.quality, c.target_quality,
                                               RecodeWay::kConverted, icc, &exact, &fitted));
    EXPECT_EQ(exact.note, c.note);
    EXPECT_EQ(exact.source_quality, c.source.quality);
    EXPECT_EQ(exact.quality_used, c.expected_quality);
    EXPECT_FALSE(exact.damage.is_damaged()) << describe_damage(exact.damage);

    const CmykDecode ours = libjpeg_decode_cmyk(exact.stream);
    const CmykDecode ours_fitted = libjpeg_decode_cmyk(fitted.stream);
    ASSERT_TRUE(ours.is_ok && ours_fitted.is_ok);
    EXPECT_EQ(ours.warnings, 0);
    EXPECT_EQ(std::pair(ours.width, ours.height), std::pair(c.width, c.height));
    EXPECT_EQ(ours.space, space);
    EXPECT_TRUE(ours.has_adobe);
    EXPECT_EQ(ours.adobe_transform, c.source.is_ycck ? 2 : 0);
    EXPECT_FALSE(ours.has_jfif);
    EXPECT_TRUE(std::equal(ours.h, ours.h + 4, c.source.h) &&
                std::equal(ours.v, ours.v + 4, c.source.v));
    EXPECT_EQ(ours.cmyk, ours_fitted.cmyk);
    CmykOptions again = c.source;
    again.quality = c.expected_quality;
    const CmykDecode theirs =
        libjpeg_decode_cmyk(libjpeg_encode_cmyk(source.cmyk, c.width, c.height, again));
    ASSERT_TRUE(theirs.is_ok);
    for (size_t ch = 0; ch < 4; ++ch) {
      const double db = channel_psnr(ours.cmyk, source.cmyk, ch);
      const double theirs_db = channel_psnr(theirs.cmyk, source.cmyk, ch);
      EXPECT_GE(db, theirs_db - 0.5) << "channel " << ch;
      EXPECT_LE(db, theirs_db + c.above_db) << "channel " << ch;
    }
  }
}

}  // namespace
}  // namespace kestrum::test
