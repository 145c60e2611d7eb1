// SPDX-License-Identifier: MIT
// The process-wide code path switch (read once per recode, under the recode lock).
#include "api/code_path.h"

#include <atomic>
#include <thread>

namespace kestrum {
namespace {
std::atomic<bool> g_reference_path{false};
std::atomic<int32_t> g_worker_threads{std::thread::hardware_concurrency() >= 2 ? 2 : 1};
}  // namespace

bool use_reference_path() noexcept { return g_reference_path.load(std::memory_order_relaxed); }

void set_reference_path(bool reference) noexcept { g_reference_path.store(reference, std::memory_order_relaxed); }

int32_t worker_threads() noexcept { return g_worker_threads.load(std::memory_order_relaxed); }

void set_worker_threads(int32_t threads) noexcept {
  g_worker_threads.store(threads >= 2 ? 2 : 1, std::memory_order_relaxed);
}

}  // namespace kestrum
