// SPDX-License-Identifier: MIT
// libFuzzer target: see recode_any_one in fuzz_entries.h.
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrum::fuzz::recode_any_one(data, size);
  return 0;
}
