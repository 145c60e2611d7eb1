// SPDX-License-Identifier: MIT
#include "test_images.h"

#include <string>

namespace kestrum::test {
namespace {

struct Source {
  const char* name;
  int width, height;
  JpegOptions options;
};

JpegOptions with(int quality, int restart_rows = 0, int restart_mcus = 0, bool optimize = false) {
  JpegOptions o;
  o.quality = quality;
  o.restart_rows = restart_rows;
  o.restart_mcus = restart_mcus;
  o.optimize = optimize;
  return o;
}

JpegOptions layout(int h0, int v0, int components = 3, bool progressive = false, bool arithmetic = false) {
  JpegOptions o;
  o.h0 = h0;
  o.v0 = v0;
  o.components = components;
  o.progressive = progressive;
  o.arithmetic = arithmetic;
  return o;
}

}  // namespace

std::vector<NamedImage> test_image_set() {
  const std::vector<Source> sources = {
      {"one_pixel", 1, 1, with(92)},
      {"block", 8, 8, with(92)},
      {"mcu", 16, 16, with(75)},
      {"odd_17x13", 17, 13, with(92)},
      {"odd_47x33", 47, 33, with(50)},
      {"photo_100x75", 100, 75, with(90)},
      {"photo_q100", 320, 240, with(100)},
      {"photo_q10", 320, 240, with(10)},
      {"photo_640x480", 640, 480, with(92)},
      {"restart_rows", 640, 480, with(92, 1)},
      {"restart_mcus", 333, 251, with(85, 0, 7)},
      {"optimized", 500, 375, with(80, 0, 0, true)},
      {"wide_1023x767", 1023, 767, with(95)},
      {"layout_422", 200, 150, layout(2, 1)},
      {"layout_444", 200, 150, layout(1, 1)},
      {"grey", 200, 150, layout(1, 1, 1)},
      {"progressive", 200, 150, layout(2, 2, 3, true)},
      {"arithmetic", 200, 150, layout(2, 2, 3, false, true)},
  };
  std::vector<NamedImage> images;
  Bytes truncated;
  for (const Source& s : sources) {
    Bytes jpeg = libjpeg_encode(photo_rgb(s.width, s.height, 7), s.width, s.height, s.options);
    if (std::string(s.name) == "photo_640x480") truncated.assign(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
    images.push_back({s.name, std::move(jpeg)});
  }
  images.push_back({"truncated", truncated});
  images.push_back({"empty", {}});
  images.push_back({"only_soi", {0xFF, 0xD8}});
  return images;
}

}  // namespace kestrum::test
