// SPDX-License-Identifier: MIT
// The output name of kestrum_100: "_<quality>" inserted before the last '.' of the path.
#pragma once

#include <cstdint>

namespace kestrum {

// Returns a new malloc'd string (release with std::free), or null when the path holds no '.' or
// memory is short. Directory separators are not looked at: the '.' may lie in a folder name.
char* make_output_name(const char* path, int32_t quality) noexcept;

}  // namespace kestrum
