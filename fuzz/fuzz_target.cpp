// SPDX-License-Identifier: MIT
// The libFuzzer target of each fuzzer: the entry of fuzz_entries.h that its build names
// (fuzz_decode runs decode_one, fuzz_code_paths code_paths_one; fuzz/CMakeLists.txt).
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrum::fuzz::KESTRUM_FUZZ_ENTRY(data, size);
  return 0;
}
