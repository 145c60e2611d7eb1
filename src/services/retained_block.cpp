// SPDX-License-Identifier: MIT
// The one kept block: its pages stay faulted in between recodes.
#include "services/retained_block.h"

#include "services/heap.h"

namespace kestrum {
namespace {

// The kept block: from the recode that keeps it to the next recode large enough to take it, or to
// kestrum_Release. Guarded by the recode lock.
struct KeptBlock {
  void* block = nullptr;
  size_t capacity_bytes = 0;  // 0 = none
};
KeptBlock g_kept;

}  // namespace

void* take_retained_block(size_t bytes, size_t* capacity) noexcept {
  if (g_kept.block != nullptr && g_kept.capacity_bytes >= bytes &&
      g_kept.capacity_bytes / 2 <= bytes) {
    void* block = g_kept.block;
    if (!heap_allocation_allowed(bytes)) return nullptr;  // the kept block stays kept
    *capacity = g_kept.capacity_bytes;
    g_kept.block = nullptr;
    g_kept.capacity_bytes = 0;
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
  heap_free(g_kept.block);
  g_kept.block = block;
  g_kept.capacity_bytes = capacity;
}

void release_retained_block() noexcept {
  heap_free(g_kept.block);
  g_kept.block = nullptr;
  g_kept.capacity_bytes = 0;
}

size_t retained_block_bytes() noexcept { return g_kept.capacity_bytes; }

}  // namespace kestrum
