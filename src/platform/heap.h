// SPDX-License-Identifier: MIT
// The heap of a recode. Every buffer goes through these calls so that tests can make any one
// allocation fail and check that each failure path is clean.
#pragma once

#include <cstddef>

namespace kestrum {

// malloc, calloc (zeroed), realloc and free, where the test hooks allow the allocation.
// Reads/Writes: the hooks' countdown and count. Reads: the hooks' limit.
void* heap_malloc(size_t bytes) noexcept;
void* heap_calloc(size_t bytes) noexcept;
void* heap_realloc(void* block, size_t bytes) noexcept;
void heap_free(void* block) noexcept;

// Counts an allocation of bytes as the test hooks see one, without making it: false where such
// an allocation would fail. For blocks that are reused instead of allocated anew.
// Reads/Writes: the hooks' countdown and count. Reads: the hooks' limit.
bool heap_allocation_allowed(size_t bytes) noexcept;

// Test hook: the nth allocation from now (1 = the next) returns null; 0 disarms. Returns how
// many allocations were made since the last call.
// Writes: the hooks' countdown and count.
int heap_fail_nth(int nth) noexcept;

// Test hook: every allocation above bytes fails (0 = no limit). The fuzzers use it to keep each
// input's cost small.
// Writes: the hooks' limit.
void heap_limit_bytes(size_t bytes) noexcept;

}  // namespace kestrum
