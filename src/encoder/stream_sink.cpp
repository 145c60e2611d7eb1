// SPDX-License-Identifier: MIT
// The encoder's output stream and its one growth policy.
#include "encoder/stream_sink.h"

#include <cstring>

#include "common/jpeg_tables.h"
#include "platform/heap.h"

namespace kestrum {

StreamSink sink_of(const ImageAttribute& a, size_t length) noexcept {
  return StreamSink{a.stream_buffer, length,
                    a.stream_buffer != nullptr ? a.stream_capacity_bytes : 0};
}

bool reserve(StreamSink& sink, size_t bytes) noexcept {
  if (sink.data != nullptr && sink.capacity_bytes - sink.length >= bytes) return true;
  const size_t grown = sink.capacity_bytes + sink.capacity_bytes / 2 + bytes;
  if (grown < sink.capacity_bytes || grown < bytes) return false;
  auto* moved = static_cast<uint8_t*>(heap_realloc(sink.data, grown));
  if (moved == nullptr) return false;
  sink.data = moved;
  sink.capacity_bytes = grown;
  return true;
}

bool append(StreamSink& sink, const uint8_t* bytes, size_t count) noexcept {
  if (count == 0) return true;
  if (!reserve(sink, count)) return false;
  std::memcpy(sink.data + sink.length, bytes, count);
  sink.length += count;
  return true;
}

void hand_over(const StreamSink& sink, ImageAttribute& a) noexcept {
  a.stream_buffer = sink.data;
  a.stream_capacity_bytes = sink.capacity_bytes;
}

bool finish(StreamSink& sink, ImageAttribute& a) noexcept {
  const uint8_t eoi[2] = {0xFF, kMarkerEoi};
  const bool is_ok = append(sink, eoi, sizeof eoi);
  hand_over(sink, a);
  if (is_ok) a.stream_length = static_cast<uint32_t>(sink.length);
  return is_ok;
}

}  // namespace kestrum
