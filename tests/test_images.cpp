// SPDX-License-Identifier: MIT
#include "test_images.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace kestrum::test {
namespace {

struct Source {
  const char* name;
  int width, height;
  JpegOptions options;
};

Bytes photo(int width, int height, const JpegOptions& options, uint32_t seed = 7) {
  return libjpeg_encode(photo_rgb(width, height, seed), width, height, options);
}

// CMYK samples derived from the test photo (K the darkness shared by C, M and Y), inverted as
// Photoshop stores them when asked.
std::vector<uint8_t> photo_cmyk(int w, int h, uint32_t seed, bool is_inverted) {
  const std::vector<uint8_t> rgb = photo_rgb(w, h, seed);
  std::vector<uint8_t> cmyk(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
  for (size_t i = 0; i < cmyk.size() / 4; ++i) {
    const int c = 255 - rgb[3 * i], m = 255 - rgb[3 * i + 1], y = 255 - rgb[3 * i + 2];
    const int k = std::min({c, m, y}) / 2;
    const int px[4] = {c - k, m - k, y - k, k};
    for (size_t ch = 0; ch < 4; ++ch)
      cmyk[4 * i + ch] = static_cast<uint8_t>(is_inverted ? 255 - px[ch] : px[ch]);
  }
  return cmyk;
}

// A thumbnail as cameras embed one in EXIF: a whole small JPEG of its own, with its own tables.
Bytes thumbnail(int quality, int restart_rows = 0) {
  return photo(160, 120, baseline_options(quality, restart_rows), 3);
}

// The frame header's marker and precision byte set, as an extended or 12-bit encoder writes them.
Bytes with_frame(Bytes jpeg, uint8_t marker, uint8_t precision) {
  const size_t sof = segment_offset(jpeg, 0xC0);
  jpeg[sof + 1] = marker;
  jpeg[sof + 4] = precision;
  return jpeg;
}

// The segment inserted before the frame header, after the file's own tables.
Bytes before_frame(Bytes jpeg, const Bytes& inserted) {
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(segment_offset(jpeg, 0xC0)),
              inserted.begin(), inserted.end());
  return jpeg;
}

}  // namespace

Bytes with_wide_tables(const Bytes& jpeg, int entry) {
  Bytes out;
  size_t from = 0;
  for (const Segment& s : split_segments(jpeg)) {
    if (s.marker != 0xDB) continue;
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from),
               jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset));
    Bytes body;
    for (size_t t = s.offset + 4; t + 65 <= s.offset + s.length; t += 65) {
      body.push_back(static_cast<uint8_t>(0x10 | (jpeg[t] & 0x0F)));
      for (size_t k = 0; k < 64; ++k) {
        const int value = entry < 0 ? jpeg[t + 1 + k] : entry;
        body.push_back(static_cast<uint8_t>(value >> 8));
        body.push_back(static_cast<uint8_t>(value));
      }
    }
    const Bytes wide = segment(0xDB, body);
    out.insert(out.end(), wide.begin(), wide.end());
    from = s.offset + s.length;
  }
  out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from), jpeg.end());
  return out;
}

std::vector<NamedImage> structure_image_set() {
  const Bytes main = photo(200, 150, baseline_options(90));
  // A luma table of all ones, as a comment might hold it: taken for the image's, it would
  // dequantize the photo into noise.
  Bytes table_in_comment = {0xFF, 0xDB, 0x00, 0x43, 0x00};
  table_in_comment.insert(table_in_comment.end(), 64, 1);
  // Marker-like bytes in an XMP packet: a frame header, an end and a start of image, a restart
  // interval.
  static constexpr char kXmpId[] = "http://ns.adobe.com/xap/1.0/";
  Bytes xmp(kXmpId, kXmpId + sizeof kXmpId);
  const Bytes marker_like = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x10, 0x03,
                             0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF,
                             0xD9, 0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01};
  xmp.insert(xmp.end(), marker_like.begin(), marker_like.end());
  const Bytes fpxr = concat({{'F', 'P', 'X', 'R', 0}, thumbnail(60)});
  return {
      {"thumbnail_other_tables", with_segments(main, exif_segment(1, thumbnail(40)))},
      {"thumbnail_with_restarts", with_segments(main, exif_segment(1, thumbnail(75, 1)))},
      {"two_thumbnails",
       with_segments(main, concat({exif_segment(1, thumbnail(30)), segment(0xE2, fpxr)}))},
      {"table_in_comment", before_frame(main, segment(0xFE, table_in_comment))},
      {"markers_in_xmp", with_segments(main, segment(0xE1, xmp))},
      {"jpeg_in_app11", with_segments(main, segment(0xEB, concat({{'J', 'P'}, thumbnail(50)})))},
      {"image_appended", concat({main, photo(320, 240, baseline_options(70), 5)})},
      {"extended_8bit_tables", with_frame(main, 0xC1, 8)},
      {"extended_16bit_tables", with_frame(with_wide_tables(main), 0xC1, 8)},
      {"precision_12", with_frame(main, 0xC1, 12)},
  };
}

std::vector<NamedImage> test_image_set() {
  const std::vector<Source> sources = {
      {"one_pixel", 1, 1, baseline_options(92)},
      {"block", 8, 8, baseline_options(92)},
      {"mcu", 16, 16, baseline_options(75)},
      {"odd_17x13", 17, 13, baseline_options(92)},
      {"odd_47x33", 47, 33, baseline_options(50)},
      {"photo_100x75", 100, 75, baseline_options(90)},
      {"photo_q100", 320, 240, baseline_options(100)},
      {"photo_q10", 320, 240, baseline_options(10)},
      {"photo_640x480", 640, 480, baseline_options(92)},
      {"restart_rows", 640, 480, baseline_options(92, 1)},
      {"restart_mcus", 333, 251, baseline_options(85, 0, 7)},
      {"optimized", 500, 375, baseline_options(80, 0, 0, true)},
      {"wide_1023x767", 1023, 767, baseline_options(95)},
      {"layout_422", 200, 150, layout_options(2, 1)},
      {"layout_444", 200, 150, layout_options(1, 1)},
      {"grey", 200, 150, layout_options(1, 1, 1)},
      {"progressive", 200, 150, layout_options(2, 2, 3, true)},
      {"arithmetic", 200, 150, layout_options(2, 2, 3, false, true)},
  };
  std::vector<NamedImage> images;
  images.reserve(sources.size());
  for (const Source& s : sources) images.push_back({s.name, photo(s.width, s.height, s.options)});
  const Bytes& full = std::ranges::find(images, "photo_640x480", &NamedImage::name)->jpeg;
  Bytes truncated(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(full.size() / 2));
  images.push_back({"truncated", std::move(truncated)});
  images.push_back({"empty", {}});
  images.push_back({"only_soi", {0xFF, 0xD8}});
  for (NamedImage& image : structure_image_set()) images.push_back(std::move(image));
  return images;
}

Bytes cmyk_jpeg(int width, int height, const CmykOptions& o) {
  return libjpeg_encode_cmyk(photo_cmyk(width, height, 3, o.is_inverted), width, height, o);
}

CmykOptions ycck_options() { return {.is_ycck = true}; }

std::vector<NamedImage> four_component_image_set() {
  CmykOptions ycck420 = ycck_options();
  ycck420.h[0] = ycck420.v[0] = ycck420.h[3] = ycck420.v[3] = 2;
  const Bytes ycck = cmyk_jpeg(47, 33, ycck420);
  return {{"cmyk_inverted_33x17", cmyk_jpeg(33, 17, {.is_inverted = true})},
          {"ycck_2x2_1x1_1x1_2x2", ycck},
          {"ycck_cut_short",
           Bytes(ycck.begin(), ycck.begin() + static_cast<std::ptrdiff_t>(ycck.size() * 2 / 3))}};
}

}  // namespace kestrum::test
