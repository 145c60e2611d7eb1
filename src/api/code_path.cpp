// SPDX-License-Identifier: MIT
// The process-wide code path switch (read once per recode, under the recode lock).
#include "api/code_path.h"

#include <atomic>

namespace kestrum {
namespace {
std::atomic<bool> g_reference_path{false};
}  // namespace

bool use_reference_path() noexcept { return g_reference_path.load(std::memory_order_relaxed); }

void set_reference_path(bool reference) noexcept { g_reference_path.store(reference, std::memory_order_relaxed); }

}  // namespace kestrum
