// SPDX-License-Identifier: MIT
// libFuzzer target: see code_paths_one in fuzz_entries.h.
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrum::fuzz::code_paths_one(data, size);
  return 0;
}
