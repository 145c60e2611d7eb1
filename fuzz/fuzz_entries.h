// SPDX-License-Identifier: MIT
// What each fuzzer does with one input. The fuzzers and the replay test in the normal suite call
// these same functions, so a saved input replays exactly as it ran.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum::fuzz {

// Single allocations above this fail (as out of memory) while fuzzing, which keeps every input
// cheap: the largest frame that still decodes is about five megapixels.
constexpr size_t kFuzzAllocationLimit = size_t{8} << 20;

// Decodes the bytes with our decoder. Returns the decoder's status.
int32_t decode_one(const uint8_t* data, size_t size) noexcept;

// Recodes the bytes at a quality taken from their last byte, then checks that a successful
// recode decodes again, with our decoder, at the source's size. Aborts when it does not.
// Returns the recode's status.
int32_t recode_one(const uint8_t* data, size_t size) noexcept;

}  // namespace kestrum::fuzz
