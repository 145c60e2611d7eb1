// SPDX-License-Identifier: MIT
// Writes the test suite's kinds of source files into a folder, for comparing the recodes of two
// builds of the tool (Linux and Windows) file by file:
//   kestrum_make_test_images DIR
// Photo-like images at awkward sizes and qualities, with and without restart intervals and
// optimised tables, the layouts and codings the decoder refuses, and broken files.
#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using kestrum::test::Bytes;
using kestrum::test::JpegOptions;

struct Source {
  const char* name;
  int width, height;
  JpegOptions options;
};

JpegOptions with(int quality, int restart_rows = 0, int restart_mcus = 0, bool optimize = false) {
  return kestrum::test::baseline_options(quality, restart_rows, restart_mcus, optimize);
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

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kestrum_make_test_images DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
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
  int written = 0;
  auto save = [&](const std::string& name, const Bytes& bytes) {
    if (kestrum::test::write_file(dir + "/" + name + ".jpg", bytes)) ++written;
  };
  Bytes truncated;
  for (const Source& s : sources) {
    const Bytes jpeg =
        kestrum::test::libjpeg_encode(kestrum::test::photo_rgb(s.width, s.height, 7), s.width, s.height, s.options);
    save(s.name, jpeg);
    if (std::string(s.name) == "photo_640x480") truncated.assign(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  }
  save("truncated", truncated);
  save("empty", {});
  save("only_soi", {0xFF, 0xD8});
  std::printf("%d files in %s\n", written, dir.c_str());
  return written == static_cast<int>(sources.size()) + 3 ? 0 : 1;
}
