// SPDX-License-Identifier: MIT
// The requested recode plan (read once per recode, under the recode lock; tests and the benchmark
// set it between recodes).
#include "services/code_path.h"

#include <mutex>
#include <thread>

namespace kestrum {
namespace {

RecodePlan default_plan() {
  RecodePlan plan;
  plan.threads = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
  return plan;
}

// The plan the next recodes take, for the life of the process.
struct RequestedPlan {
  std::mutex lock;  // set by tests from any thread, read by each recode
  RecodePlan plan = default_plan();
};
RequestedPlan g_requested;

}  // namespace

RecodePlan reference_plan() noexcept {
  RecodePlan plan;
  plan.is_fast_entropy = false;
  plan.is_direct_output = false;
  plan.is_simd = false;
  plan.is_row_coder = false;
  plan.is_streaming = false;
  plan.threads = 1;
  return plan;
}

RecodePlan requested_recode_plan() noexcept {
  const std::lock_guard<std::mutex> hold(g_requested.lock);
  return g_requested.plan;
}

void set_recode_plan(const RecodePlan& plan) noexcept {
  const std::lock_guard<std::mutex> hold(g_requested.lock);
  g_requested.plan = plan;
  g_requested.plan.threads = plan.threads >= 2 ? 2 : 1;
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

}  // namespace kestrum
