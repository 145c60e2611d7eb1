// SPDX-License-Identifier: MIT
// The foreign decoder of a build without libjpeg: nothing is decoded.
#include "api/pipeline.h"
#include "recode_any/foreign_decode.h"

namespace kestrum {

bool has_foreign_decoder() noexcept { return false; }

bool foreign_reads_header(const uint8_t*, size_t) noexcept { return false; }

int32_t foreign_decode_420(const uint8_t*, size_t, Planar420*, std::string* error,
                           std::string*) noexcept {
  try {
    *error = "this build has no libjpeg to decode other layouts";
  } catch (...) {
    error->clear();
  }
  return kErrCorruptStream;
}

int32_t foreign_optimize_huffman(const uint8_t*, size_t, std::vector<uint8_t>*,
                                 std::string* error) noexcept {
  try {
    *error = "this build has no libjpeg to fit Huffman tables";
  } catch (...) {
    error->clear();
  }
  return kErrCorruptStream;
}

int32_t foreign_recode_cmyk(const uint8_t*, size_t, int32_t, std::vector<uint8_t>*, bool*,
                            std::string* error, std::string*) noexcept {
  try {
    *error = "this build has no libjpeg to recode CMYK or YCCK colour";
  } catch (...) {
    error->clear();
  }
  return kErrCorruptStream;
}

void set_foreign_frame_limit_px(uint64_t) noexcept {}

}  // namespace kestrum
