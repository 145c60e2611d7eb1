// SPDX-License-Identifier: MIT
#include "fuzz_entries.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/console_log.h"
#include "api/pipeline.h"
#include "common/heap.h"
#include "decoder/decode_driver.h"

namespace kestrum::fuzz {
namespace {

void discard(const char*, void*) {}

bool reserve_vector(ImageBuffer& image, size_t bytes) {
  auto* storage = static_cast<std::vector<uint8_t>*>(image.owner);
  if (bytes > kFuzzAllocationLimit) return false;
  storage->assign(bytes, 0);
  image.data = storage->data();
  image.capacity_bytes = bytes;
  return true;
}

struct Decoded {
  int32_t status = 0;
  int32_t width = 0;
  int32_t height = 0;
};

Decoded decode(const uint8_t* data, size_t size) {
  std::vector<uint8_t> storage;
  ImageBuffer image{nullptr, 0, reserve_vector, &storage};
  Decoded d;
  d.status = decode_jpeg_memory(data, static_cast<uint32_t>(size), &d.width, &d.height, image);
  return d;
}

// Quiet console and a bounded heap for the length of one input.
struct FuzzScope {
  FuzzScope() {
    set_console_sink(discard, nullptr);
    heap_limit_bytes(kFuzzAllocationLimit);
  }
  ~FuzzScope() {
    heap_limit_bytes(0);
    set_console_sink(nullptr, nullptr);
  }
  FuzzScope(const FuzzScope&) = delete;
  FuzzScope& operator=(const FuzzScope&) = delete;
};

[[noreturn]] void fail(const char* what, int32_t a, int32_t b) {
  std::fprintf(stderr, "fuzz check failed: %s (%d, %d)\n", what, a, b);
  std::abort();
}

}  // namespace

int32_t decode_one(const uint8_t* data, size_t size) noexcept {
  if (size > UINT32_MAX) return 0;
  FuzzScope scope;
  return decode(data, size).status;
}

int32_t recode_one(const uint8_t* data, size_t size) noexcept {
  if (size > UINT32_MAX) return 0;
  FuzzScope scope;
  // Qualities from -28 to 227: zero, negative and above 100 included.
  const int32_t quality = size > 0 ? int32_t{data[size - 1]} - 28 : 85;
  EncodedStream out;
  const int32_t status = recode_memory(data, static_cast<uint32_t>(size), quality, &out);
  if (status != 0) return status;
  const std::vector<uint8_t> stream(out.data, out.data + out.length);
  release_stream(out);
  const Decoded source = decode(data, size);
  const Decoded again = decode(stream.data(), stream.size());
  if (source.status != 0) fail("a recoded source does not decode alone", source.status, 0);
  if (again.status != 0) fail("the recoded stream does not decode", again.status, 0);
  if (again.width != source.width || again.height != source.height) {
    fail("the recoded stream changed size", again.width, again.height);
  }
  return status;
}

}  // namespace kestrum::fuzz
