// SPDX-License-Identifier: MIT
// The run-time choice between the straightforward reference path of the codec and its fast
// paths. Both give the same bytes; tests run each and compare.
#pragma once

#include <cstdint>

namespace kestrum {

// True when the codec runs its reference path (full-resolution decoder planes, one thread,
// scalar transforms, the module-wide bit writer). Off by default.
bool use_reference_path() noexcept;

// Selects the reference path (true) or the fast paths (false) for the following recodes.
void set_reference_path(bool reference) noexcept;

// Threads one recode may use on the fast paths (1 or 2; the call stays synchronous). The default
// is 2 where the machine has two cores or more.
int32_t worker_threads() noexcept;
void set_worker_threads(int32_t threads) noexcept;

}  // namespace kestrum
