// SPDX-License-Identifier: MIT
// Decoding the layouts and codings the library refuses, through libjpeg, into the library's
// PlanarYuv420Image. Built from libjpeg_decode.cpp when libjpeg is found, else from
// libjpeg_absent.cpp (every call then reports that libjpeg is not built in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

struct Planar420 {
  std::vector<uint8_t> planes;  // PlanarYuv420Image: Y, Cb, Cr at the size rounded up to 16
  int32_t width_px = 0, height_px = 0;
};

// True when this build decodes through libjpeg.
bool has_foreign_decoder() noexcept;

// True when libjpeg reads the stream's headers (up to the first scan) without an error.
bool foreign_reads_header(const uint8_t* data, size_t size) noexcept;

// Decodes with libjpeg (accurate integer IDCT) to YCbCr without colour conversion (RGB-coded
// streams are converted by the JFIF equations), then brings chroma to 4:2:0: each 4:2:0 sample is
// the mean of the source chroma samples its 2x2 luma area covers, weighted by coverage (libjpeg
// upsamples by replication, so the mean of the 2x2 replicated samples is that area mean),
// rounded half up. Greyscale gets neutral chroma (128). The last column and row are repeated up
// to the planes' size. False with error set when libjpeg fails or is not built in.
bool foreign_decode_420(const uint8_t* data, size_t size, Planar420* out, std::string* error);

}  // namespace kestrum
