// SPDX-License-Identifier: MIT
// The foreign decoder of a build without libjpeg: nothing is decoded.
#include "recode_any/foreign_decode.h"

namespace kestrum {

bool has_foreign_decoder() noexcept { return false; }

bool foreign_reads_header(const uint8_t*, size_t) noexcept { return false; }

bool foreign_decode_420(const uint8_t*, size_t, Planar420*, std::string* error) {
  *error = "this build has no libjpeg to decode other layouts";
  return false;
}

}  // namespace kestrum
