// SPDX-License-Identifier: MIT
// The PlanarYuv420Image layout: with P = width and H = height rounded up to 16, Y (H rows of P
// bytes), then Cb and Cr (H/2 rows of P/2 bytes each), no header, no gaps. Example: 100 x 75
// gives P = 112, H = 80; Cb starts at 8960, Cr at 11200, 13440 bytes in all.
#pragma once

#include <cstddef>

namespace kestrum {

struct Planar420Layout {
  size_t luma_stride;    // P
  size_t luma_rows;      // H
  size_t chroma_stride;  // P / 2
  size_t chroma_rows;    // H / 2
  size_t cb_offset;      // P * H
  size_t cr_offset;      // P * H + (P / 2) * (H / 2)
  size_t total_bytes;    // 3 * P * H / 2
};

// The layout of a width x height frame (any sizes; the caller has checked that the image fits).
constexpr Planar420Layout planar420_layout(size_t width, size_t height) {
  const size_t p = (width + 15) & ~size_t{15};
  const size_t h = (height + 15) & ~size_t{15};
  const size_t chroma = (p / 2) * (h / 2);
  return Planar420Layout{p, h, p / 2, h / 2, p * h, p * h + chroma, p * h + 2 * chroma};
}

static_assert(planar420_layout(100, 75).cb_offset == 8960 &&
              planar420_layout(100, 75).cr_offset == 11200 &&
              planar420_layout(100, 75).total_bytes == 13440);

}  // namespace kestrum
