// SPDX-License-Identifier: MIT
// A C++ program built against the installed static recode_any library.
#include <kestrum/recode_any.h>

#include <cstdint>
#include <cstdio>

int main() {
  const uint8_t not_a_jpeg[] = {'G', 'I', 'F', '8', '9', 'a'};
  const kestrum::RecodeAnyResult r =
      kestrum::recode_any(not_a_jpeg, sizeof(not_a_jpeg), kestrum::RecodeAnyOptions{});
  const bool ok = r.way == kestrum::RecodeWay::kRefused && !r.error.empty() && r.stream.empty();
  std::printf("consumer_recode_any: %s (%s; libjpeg way %s)\n", ok ? "ok" : "FAILED",
              r.error.c_str(), kestrum::recode_any_has_libjpeg() ? "built in" : "absent");
  return ok ? 0 : 1;
}
