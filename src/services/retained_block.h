// SPDX-License-Identifier: MIT
// One large block kept from a recode for the next: fresh pages cost about as much to fault in as
// the codec spends on them, and the C library gives blocks this large back to the system on
// every free. Callers hold the recode lock.
#pragma once

#include <cstddef>

namespace kestrum {

// Blocks below this size are freed as usual (the C library reuses those itself).
inline constexpr size_t kRetainMinBytes = size_t{4} << 20;
// Nor is a block above this size kept: it holds a 48-megapixel photo's image (72 MiB); a larger
// frame is rare enough that its fresh pages are worth their cost rather than holding the memory
// in the host between calls.
inline constexpr size_t kRetainMaxBytes = size_t{96} << 20;

// A block of at least bytes: the kept one where it is large enough (counted by the heap's test
// hooks as an allocation), else a new one from the heap; null when that fails. capacity gets the
// block's size.
// Reads/Writes: the kept block.
void* take_retained_block(size_t bytes, size_t* capacity) noexcept;

// Keeps block (capacity bytes) for the next take, freeing the block kept before; frees it
// instead when it is below kRetainMinBytes or above kRetainMaxBytes. Null is ignored.
// Writes: the kept block.
void keep_block(void* block, size_t capacity) noexcept;

// Frees the kept block (kestrum_Release does, and tests).
// Writes: the kept block.
void release_retained_block() noexcept;

// Size of the kept block, 0 = none.
// Reads: the kept block.
size_t retained_block_bytes() noexcept;

}  // namespace kestrum
