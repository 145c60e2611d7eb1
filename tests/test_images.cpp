// SPDX-License-Identifier: MIT
#include "test_images.h"

#include <cstddef>
#include <string>

namespace kestrum::test {
namespace {

struct Source {
  const char* name;
  int width, height;
  JpegOptions options;
};

}  // namespace

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
  Bytes truncated;
  for (const Source& s : sources) {
    Bytes jpeg = libjpeg_encode(photo_rgb(s.width, s.height, 7), s.width, s.height, s.options);
    if (std::string(s.name) == "photo_640x480")
      truncated.assign(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
    images.push_back({s.name, std::move(jpeg)});
  }
  images.push_back({"truncated", truncated});
  images.push_back({"empty", {}});
  images.push_back({"only_soi", {0xFF, 0xD8}});
  return images;
}

}  // namespace kestrum::test
