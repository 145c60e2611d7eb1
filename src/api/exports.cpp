// SPDX-License-Identifier: MIT
// The five exported functions: handles, the name check, output naming and the work step.
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/output_name.h"
#include "api/pipeline.h"
#include "api/process_state.h"
#include "kestrum.h"

namespace {
constexpr char kHandleName[] = "KE_100";
}  // namespace

extern "C" {

KestrumHandle KESTRUM_CALL kestrum_Init(const char* name) noexcept {
  if (name == nullptr || std::strcmp(name, kHandleName) != 0) return nullptr;
  // A handle carries nothing: a one-byte object whose address only opens kestrum_100.
  return new (std::nothrow) unsigned char(0);
}

int32_t KESTRUM_CALL kestrum_Release(KestrumHandle handle) noexcept {
  if (handle == nullptr) return 0;
  delete static_cast<unsigned char*>(handle);
  kestrum::release_retained_block();  // the image block large recodes keep
  return 1;
}

int32_t KESTRUM_CALL kestrum_Test(void) noexcept { return 0; }

int32_t KESTRUM_CALL jpg_recode_api(const char* source, const char* destination,
                                    int32_t quality) noexcept {
  return kestrum::recode_file(source, destination, quality);
}

int32_t KESTRUM_CALL kestrum_100(KestrumHandle handle, const char* path, int32_t quality) noexcept {
  if (handle == nullptr) return 0;
  char* destination = kestrum::make_output_name(path, quality);
  if (destination == nullptr) return 0;
  const int32_t status = jpg_recode_api(path, destination, quality);
  std::free(destination);
  return status == kestrum::kRecodeOk ? 1 : 0;
}

}  // extern "C"
