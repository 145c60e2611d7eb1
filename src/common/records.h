// SPDX-License-Identifier: MIT
// The records through which the recode pipeline hands an image to the encoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// The encoder's parameter and result record, filled by the pipeline for one recode.
struct ImageAttribute {
  uint8_t input_format;        // 1
  uint8_t sampling_format;     // 2 = 4:2:0, the only one the encoder takes
  uint16_t quality;            // low 16 bits of the caller's quality; 0 becomes 85 in JImageInit
  int32_t aligned_width;       // width rounded up to 16
  int32_t aligned_height;      // height rounded up to 16
  int32_t region_x, region_y;  // 0, set by JImageInit
  int32_t region_width, region_height;  // the aligned size, set by JImageInit
  uint8_t plane_count;                  // 3
  const uint8_t* image_buffer;          // the PlanarYuv420Image
  uint8_t* stream_buffer;               // the JPEG stream from its first byte; null = not obtained
  size_t stream_capacity_bytes;         // bytes obtained for stream_buffer; the encoder may grow it
  uint32_t stream_length;               // bytes of the finished stream
  uint16_t option_flags;                // 0
};

// Holds the encoder's per-MCU working buffer.
struct EncoderWorkspace {
  int16_t* block_buffer;  // kBlockBufferBytes; the encoder uses six blocks of 64 values
};

inline constexpr size_t kBlockBufferBytes = 1536;

}  // namespace kestrum
