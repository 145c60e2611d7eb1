// SPDX-License-Identifier: MIT
// The process state: one record, one lock for the recodes and one for the plan that tests set.
#include "api/process_state.h"

#include <thread>

#include "platform/heap.h"

namespace kestrum {
namespace {

RecodePlan default_plan() {
  RecodePlan plan;
  plan.threads = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
  return plan;
}

// Everything the library keeps from its load to its unload.
struct ProcessState {
  std::mutex recode_lock;  // held by each recode from its plan to its last line
  std::mutex plan_lock;    // guards requested_plan: tests set it from any thread
  RecodePlan requested_plan = default_plan();
  // The kept block, from the recode that keeps it to the next recode large enough to take it, or
  // to kestrum_Release. Guarded by the recode lock.
  void* kept_block = nullptr;
  size_t kept_bytes = 0;  // 0 = none
  // The default console, guarded by the recode lock; a null sink = standard output.
  ConsoleTarget default_console;
};
ProcessState g_process;

// Frees the kept block; the caller holds the recode lock.
void drop_kept_block() {
  heap_free(g_process.kept_block);
  g_process.kept_block = nullptr;
  g_process.kept_bytes = 0;
}

// Runs body with the recode lock held; a lock that cannot be taken (std::system_error) leaves
// the state as it is.
template <typename Body>
void with_recode_lock(Body&& body) noexcept {
  try {
    const std::lock_guard<std::mutex> hold(g_process.recode_lock);
    body();
  } catch (...) {
  }
}

}  // namespace

std::mutex& recode_mutex() noexcept { return g_process.recode_lock; }

RecodePlan requested_recode_plan() noexcept {
  const std::lock_guard<std::mutex> hold(g_process.plan_lock);
  return g_process.requested_plan;
}

void set_recode_plan(const RecodePlan& plan) noexcept {
  const std::lock_guard<std::mutex> hold(g_process.plan_lock);
  g_process.requested_plan = plan;
  g_process.requested_plan.threads = plan.threads >= 2 ? 2 : 1;
}

void set_reference_path(bool reference) noexcept {
  RecodePlan plan = reference ? reference_plan() : RecodePlan{};
  plan.threads = requested_recode_plan().threads;  // no part of the reference path uses a thread
  set_recode_plan(plan);
}

void set_worker_threads(int32_t threads) noexcept {
  RecodePlan plan = requested_recode_plan();
  plan.threads = threads;
  set_recode_plan(plan);
}

void* take_retained_block(size_t bytes, size_t* capacity) noexcept {
  if (g_process.kept_block != nullptr && g_process.kept_bytes >= bytes &&
      g_process.kept_bytes / 2 <= bytes) {
    if (!heap_allocation_allowed(bytes)) return nullptr;  // the kept block stays kept
    void* block = g_process.kept_block;
    *capacity = g_process.kept_bytes;
    g_process.kept_block = nullptr;
    g_process.kept_bytes = 0;
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
  drop_kept_block();
  g_process.kept_block = block;
  g_process.kept_bytes = capacity;
}

void release_retained_block() noexcept {
  with_recode_lock([] { drop_kept_block(); });
}

size_t retained_block_bytes() noexcept { return g_process.kept_bytes; }

void set_console_sink(ConsoleSink sink, void* context) noexcept {
  with_recode_lock([&] {
    g_process.default_console = ConsoleTarget{sink, context};
    end_recode_console(g_process.default_console);
  });
}

void open_recode_console(ConsoleTarget target) noexcept {
  begin_recode_console(target.sink != nullptr ? target : g_process.default_console);
}

void close_recode_console() noexcept { end_recode_console(g_process.default_console); }

void reset_process_state() noexcept {
  with_recode_lock([] {
    drop_kept_block();
    g_process.default_console = ConsoleTarget{};
    end_recode_console(g_process.default_console);
  });
  set_recode_plan(default_plan());
}

}  // namespace kestrum
