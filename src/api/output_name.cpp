// SPDX-License-Identifier: MIT
// Output naming: photo.jpg at 85 gives photo_85.jpg; a.b.jpg gives a.b_85.jpg.
#include "api/output_name.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrum {

char* make_output_name(const char* path, int32_t quality) noexcept {
  if (path == nullptr) return nullptr;
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) return nullptr;
  char suffix[16];  // "_-2147483648" is 12 characters and the terminator
  const int suffix_len = std::snprintf(suffix, sizeof suffix, "_%d", static_cast<int>(quality));
  const size_t stem = static_cast<size_t>(dot - path);
  const size_t total = std::strlen(path) + static_cast<size_t>(suffix_len) + 1;
  char* out = static_cast<char*>(std::malloc(total));
  if (out == nullptr) return nullptr;
  std::memcpy(out, path, stem);
  std::memcpy(out + stem, suffix, static_cast<size_t>(suffix_len));
  std::strcpy(out + stem + static_cast<size_t>(suffix_len), dot);
  return out;
}

}  // namespace kestrum
