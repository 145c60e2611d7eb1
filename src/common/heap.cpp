// SPDX-License-Identifier: MIT
// malloc-backed heap with an injectable failure for tests.
#include "common/heap.h"

#include <atomic>
#include <cstdlib>

namespace kestrum {
namespace {
std::atomic<int> g_countdown{0};
std::atomic<int> g_count{0};

bool should_fail() {
  g_count.fetch_add(1, std::memory_order_relaxed);
  int left = g_countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return left == 1;
  }
  return false;
}
}  // namespace

void* heap_malloc(size_t bytes) noexcept { return should_fail() ? nullptr : std::malloc(bytes > 0 ? bytes : 1); }
void* heap_calloc(size_t bytes) noexcept { return should_fail() ? nullptr : std::calloc(bytes > 0 ? bytes : 1, 1); }
void* heap_realloc(void* block, size_t bytes) noexcept {
  return should_fail() ? nullptr : std::realloc(block, bytes > 0 ? bytes : 1);
}
bool heap_allocation_allowed(size_t bytes) noexcept {
  (void)bytes;
  return !should_fail();
}

void heap_free(void* block) noexcept { std::free(block); }

int heap_fail_nth(int nth) noexcept {
  g_countdown.store(nth < 0 ? 0 : nth);
  return g_count.exchange(0);
}

}  // namespace kestrum
