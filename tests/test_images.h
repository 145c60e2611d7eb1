// SPDX-License-Identifier: MIT
// The kinds of source file the tests recode, made with libjpeg: photo-like images at awkward sizes
// and qualities, with and without restart intervals and optimised tables, the layouts and codings
// the decoder refuses, and broken files. They seed the fuzzers and feed the comparison of the
// Linux and Windows tools.
#pragma once

#include <string>
#include <vector>

#include "test_util.h"

namespace kestrum::test {

struct NamedImage {
  std::string name;
  Bytes jpeg;
};
std::vector<NamedImage> test_image_set();

}  // namespace kestrum::test
