// SPDX-License-Identifier: MIT
// The decoder's entry points: a baseline 4:2:0 JPEG (file or bytes) to a PlanarYuv420Image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/code_path.h"
#include "decoder/decode_damage.h"
#include "platform/file_io.h"

namespace kestrum {

// The caller's output buffer, which receives a PlanarYuv420Image (common/planar_layout.h). Once
// the frame is known the driver asks for the bytes it needs through reserve (null: the buffer is
// fixed), which may replace data and capacity_bytes.
struct ImageBuffer {
  uint8_t* data = nullptr;
  size_t capacity_bytes = 0;
  bool (*reserve)(ImageBuffer& self, size_t bytes) = nullptr;
  void* owner = nullptr;
};

// The consumer of a decode's rows as they become final (the one-pass recode). Once the frame is
// known, and where its rows can be written straight into a 4:2:0 image, open is asked for a ring
// of MCU rows: it sets *ring_rows (2 or more) and returns a PlanarYuv420Image of padded_width x
// 16 * ring_rows, row R at slot R % ring_rows; width, height and mcu_rows are the frame's. Then
// row_final(R) says that row R is final there, padding columns included; when it returns, the
// decoder may write row R + 2 into its slot. Where open is not called (another geometry), the
// decode fills the caller's whole image as usual. A null ring fails the decode as a frame
// without memory.
struct RowStream {
  uint8_t* (*open)(void* self, int32_t width, int32_t height, int32_t padded_width,
                   uint32_t mcu_rows, uint32_t* ring_rows);
  void (*row_final)(void* self, uint32_t row);
  void* self;
};

// Size in bytes of the PlanarYuv420Image of a width x height frame (0 when it would not fit
// size_t).
size_t planar_image_bytes(int32_t width, int32_t height) noexcept;

// Prints the message of a failed source read and returns its RecodeStatus (kRecodeOk for a read
// that worked, with nothing printed).
// Writes: the console.
int32_t report_source_read(ReadResult read) noexcept;

// Decodes the JPEG in data (which the decoder only reads) by plan. Returns 0 with the frame size in
// out_width/out_height and the image in image, or a negative RecodeStatus after its messages;
// after a failure the image's bytes are no result (rows decoded straight into it may be there).
// Every decoder buffer is released. damage (when not null) receives what the decode met, on
// success and on failure alike.
// Writes: g_decoder (everything, from a fresh state), the console.
int32_t decode_jpeg_memory(const uint8_t* data, uint32_t size, int32_t* out_width,
                           int32_t* out_height, ImageBuffer& image, const RecodePlan& plan,
                           DecodeDamage* damage = nullptr,
                           const RowStream* rows = nullptr) noexcept;

}  // namespace kestrum
