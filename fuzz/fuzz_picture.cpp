// SPDX-License-Identifier: MIT
// libFuzzer target: see picture_one in fuzz_entries.h.
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrum::fuzz::picture_one(data, size);
  return 0;
}
