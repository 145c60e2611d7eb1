// SPDX-License-Identifier: MIT
// Writes the test suite's kinds of source files into a folder, as seeds for the fuzzers and for
// comparing the recodes of two builds of the tool (Linux and Windows) file by file:
//   kestrum_make_test_images DIR
#include <cstdio>
#include <string>

#include "test_images.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kestrum_make_test_images DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const auto images = kestrum::test::test_image_set();
  size_t written = 0;
  for (const auto& image : images) {
    if (kestrum::test::write_file(dir + "/" + image.name + ".jpg", image.jpeg)) ++written;
  }
  std::printf("%zu files in %s\n", written, dir.c_str());
  return written == images.size() ? 0 : 1;
}
