// SPDX-License-Identifier: MIT
// The run-time choice between the straightforward reference path of the codec and its fast
// paths. Both give the same bytes; tests run each and compare.
#pragma once

#include <cstdint>

namespace kestrum {

// True when the codec runs its reference path (full-resolution decoder planes, one thread,
// every transform computed in full). Off by default.
bool use_reference_path() noexcept;

// Selects the reference path (true) or the fast paths (false) for the following recodes.
void set_reference_path(bool reference) noexcept;

}  // namespace kestrum
