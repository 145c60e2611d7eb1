// SPDX-License-Identifier: MIT
// malloc-backed heap with an injectable failure for tests.
#include "platform/heap.h"

#include <atomic>
#include <cstdlib>

namespace kestrum {
namespace {
// The test hooks, for the life of the process (tests arm and disarm them between recodes).
// Atomic: a recode's second thread allocates too.
struct HeapHooks {
  std::atomic<int> countdown{0};  // the allocation that is to fail, counted down; 0 = none
  std::atomic<int> count{0};      // allocations since heap_fail_nth last read it
  std::atomic<size_t> limit{0};   // larger allocations fail; 0 = no limit
};
HeapHooks g_hooks;

bool should_fail(size_t bytes) {
  g_hooks.count.fetch_add(1, std::memory_order_relaxed);
  const size_t limit = g_hooks.limit.load(std::memory_order_relaxed);
  if (limit != 0 && bytes > limit) return true;
  int left = g_hooks.countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_hooks.countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
      return left == 1;
  }
  return false;
}
}  // namespace

void* heap_malloc(size_t bytes) noexcept {
  return should_fail(bytes) ? nullptr : std::malloc(bytes > 0 ? bytes : 1);
}
void* heap_calloc(size_t bytes) noexcept {
  return should_fail(bytes) ? nullptr : std::calloc(bytes > 0 ? bytes : 1, 1);
}
void* heap_realloc(void* block, size_t bytes) noexcept {
  return should_fail(bytes) ? nullptr : std::realloc(block, bytes > 0 ? bytes : 1);
}
bool heap_allocation_allowed(size_t bytes) noexcept { return !should_fail(bytes); }

void heap_free(void* block) noexcept { std::free(block); }

int heap_fail_nth(int nth) noexcept {
  g_hooks.countdown.store(nth < 0 ? 0 : nth);
  return g_hooks.count.exchange(0);
}

void heap_limit_bytes(size_t bytes) noexcept { g_hooks.limit.store(bytes); }

}  // namespace kestrum
