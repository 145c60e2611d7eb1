// SPDX-License-Identifier: MIT
// The kinds of source file the tests recode, made with libjpeg: photo-like images at awkward sizes
// and qualities, with and without restart intervals and optimised tables, photos with thumbnails
// and metadata around them, the layouts and codings the decoder refuses, and broken files. They
// seed the fuzzers and feed the comparison of the Linux and Windows tools.
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

// Photos with what real files carry around the image (EXIF thumbnails with their own tables and
// restart interval, marker-like bytes in comments and metadata, a second image after the end)
// and the frames the library's decoder must refuse rather than decode as baseline (extended with
// 16-bit tables, 12-bit). Part of test_image_set.
std::vector<NamedImage> structure_image_set();

// A 4-component source written by libjpeg from CMYK samples of the test photo.
Bytes cmyk_jpeg(int width, int height, const CmykOptions& options = CmykOptions{});
// Options of a YCCK source.
CmykOptions ycck_options();
// CMYK and YCCK sources (inverted, subsampled, cut short) for the tool's libjpeg way. Not part of
// test_image_set: the library and libjpeg's RGB output take at most three components.
std::vector<NamedImage> four_component_image_set();

// Every quantization table stored with 16-bit entries (Pq = 1): the values unchanged, or each
// entry set to entry where it is 0 or more.
Bytes with_wide_tables(const Bytes& jpeg, int entry = -1);

}  // namespace kestrum::test
