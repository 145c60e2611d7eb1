// SPDX-License-Identifier: MIT
// The encoder's output stream: one buffer, obtained through the recode heap, that its producers
// (the whole-image MCU walk, the row coder, the streamed rows) write into. It grows by one policy
// (reserve), and only finish ends it: EOI, then the image attribute takes the buffer and its
// length (libjpeg's write_file_trailer and empty_mem_output_buffer play these parts there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/records.h"

namespace kestrum {

struct StreamSink {
  uint8_t* data = nullptr;
  size_t length = 0;  // bytes written
  size_t capacity_bytes = 0;
};

// The sink over attribute's stream buffer, of which the first length bytes are written.
StreamSink sink_of(const ImageAttribute& attribute, size_t length) noexcept;

// Room for bytes more after length: when it lacks, the buffer grows by half its size and bytes.
// False, the sink unchanged, when it cannot grow.
bool reserve(StreamSink& sink, size_t bytes) noexcept;

// Appends count bytes; false when the buffer cannot grow.
bool append(StreamSink& sink, const uint8_t* bytes, size_t count) noexcept;

// Gives attribute the sink's buffer and capacity (after a growth, or a failure: the buffer it
// holds must be the one to free).
// Writes: attribute's stream buffer and capacity.
void hand_over(const StreamSink& sink, ImageAttribute& attribute) noexcept;

// Ends the stream with EOI and hands it over with its length; false when there is no room for it
// (the buffer is handed over all the same).
// Writes: attribute's stream buffer, capacity and stream_length.
bool finish(StreamSink& sink, ImageAttribute& attribute) noexcept;

}  // namespace kestrum
