// SPDX-License-Identifier: MIT
// The encoder's entry points: configure and write the header, then code the image.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// The MCU (row, column) on reaching which the encoder prints "ok!!!" (images of more than 111
// rows and 19 columns of MCUs).
inline constexpr int32_t kProgressMcuRow = 111;
inline constexpr int32_t kProgressMcuColumn = 19;

// First capacity of the stream buffer for an aligned image; it grows when an MCU might not fit.
size_t initial_stream_capacity(int32_t aligned_width, int32_t aligned_height) noexcept;

// Configures 4:2:0, settles the quantization tables and writes the 629-byte header. Returns 0, or
// 1 for a null stream buffer or a sampling_format other than 2.
// Reads/Writes: g_encoder, *attribute.
int32_t JImageInit() noexcept;

// Codes every MCU, a restart marker after each MCU row but the last, then EOI; stores
// stream_length. Returns 0, or 1 when the stream buffer cannot grow.
// Reads/Writes: g_encoder, *attribute (stream_buffer may move), the workspace's block buffer.
int32_t JImageEncoder() noexcept;

}  // namespace kestrum
