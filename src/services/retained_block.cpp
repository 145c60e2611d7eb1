// SPDX-License-Identifier: MIT
// The one kept block: its pages stay faulted in between recodes.
#include "services/retained_block.h"

#include "services/heap.h"

namespace kestrum {
namespace {

void* g_block = nullptr;
size_t g_capacity = 0;

}  // namespace

void* take_retained_block(size_t bytes, size_t* capacity) noexcept {
  if (g_block != nullptr && g_capacity >= bytes && g_capacity / 2 <= bytes) {
    void* block = g_block;
    if (!heap_allocation_allowed(bytes)) return nullptr;  // the kept block stays kept
    *capacity = g_capacity;
    g_block = nullptr;
    g_capacity = 0;
    return block;
  }
  void* block = heap_malloc(bytes);
  *capacity = block != nullptr ? bytes : 0;
  return block;
}

void keep_block(void* block, size_t capacity) noexcept {
  if (block == nullptr) return;
  if (capacity < kRetainMinBytes || capacity > kRetainMaxBytes) {
    heap_free(block);
    return;
  }
  heap_free(g_block);
  g_block = block;
  g_capacity = capacity;
}

void release_retained_block() noexcept {
  heap_free(g_block);
  g_block = nullptr;
  g_capacity = 0;
}

size_t retained_block_bytes() noexcept { return g_capacity; }

}  // namespace kestrum
