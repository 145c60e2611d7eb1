// SPDX-License-Identifier: MIT
#include "bombs.h"

namespace kestrum::test {
Bytes claimed_frame(const JpegOptions& options, int width, int height) {
  return with_frame_size(libjpeg_encode(photo_rgb(16, 16, 7), 16, 16, options),
                         static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}

Bytes many_scans(int scans, int width, int height) {
  const Bytes source = libjpeg_encode(photo_rgb(64, 64, 3), 64, 64, layout_options(2, 2, 3, true));
  Bytes jpeg = with_frame_size(source, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  const std::vector<Segment> segments = split_segments(source);
  int written = 0;
  const Segment* last_scan = nullptr;
  for (const Segment& s : segments) {
    if (s.marker == 0xDA) ++written, last_scan = &s;
  }
  if (last_scan == nullptr) return {};
  const auto begin = source.begin() + static_cast<std::ptrdiff_t>(last_scan->offset);
  const Bytes scan(begin, begin + static_cast<std::ptrdiff_t>(last_scan->length));
  Bytes repeated;
  for (; written < scans; ++written) repeated.insert(repeated.end(), scan.begin(), scan.end());
  jpeg.insert(jpeg.end() - 2, repeated.begin(), repeated.end());  // before EOI
  return jpeg;
}

Bytes soi_and_pairs(uint8_t a, uint8_t b, size_t count) {
  Bytes bytes = {0xFF, 0xD8};
  bytes.reserve(2 * count + 4);
  for (size_t i = 0; i < count; ++i) {
    bytes.push_back(a);
    bytes.push_back(b);
  }
  bytes.push_back(0xFF);
  bytes.push_back(0xD9);
  return bytes;
}

}  // namespace kestrum::test
