// SPDX-License-Identifier: MIT
// The encoder's entry points: configure and write the header, then code the image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encoder/row_coder.h"

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

// The row coder a row at a time, for the one-pass recode: after JImageInit, with
// attribute->image_buffer a ring of ring_rows MCU rows (row R at slot R % ring_rows). The stream
// grows in head, which attribute's stream buffer follows after every row.
struct StreamedRows {
  RowCodingJob job;
  RowRun head;
  bool is_ok = true;  // false once the stream could not grow (head says where)
  // Where the coded bytes may go once head holds kSpillBytes or more, so that the buffer keeps
  // only the newest: take(context, bytes, count) is false when it could not take them (they then
  // stay in head, and nothing more is handed over). Null take = the whole stream stays in head.
  bool (*take)(void* context, const uint8_t* bytes, size_t count) = nullptr;
  void* take_context = nullptr;
};

// Bytes of stream a streamed recode keeps before it hands them over (see StreamedRows::take).
inline constexpr size_t kSpillBytes = size_t{1} << 20;

// Reads: g_encoder (the snapshot for the row coder), out_ptr, attribute's stream buffer.
void begin_streamed_rows(int32_t ring_rows, StreamedRows& rows) noexcept;

// Codes row (rows come in order, each once); nothing after a failure. Hands the bytes over where
// rows.take allows.
// Writes: attribute's stream buffer and capacity.
void code_streamed_row(StreamedRows& rows, int32_t row) noexcept;

// After the last row: the progress message as the whole-image walk prints it, then EOI and
// stream_length (of the bytes not handed over). Returns 0, or 1 when the stream could not grow.
// Writes: attribute's stream buffer, capacity and stream_length.
int32_t finish_streamed_rows(StreamedRows& rows) noexcept;

}  // namespace kestrum
