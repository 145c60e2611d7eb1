// SPDX-License-Identifier: MIT
// Hosts may leave the floating-point unit as they like it: SSE rounding toward zero with
// flush-to-zero and denormals-are-zero (and, on 32-bit x86, x87 precision at 24 bits). A recode
// gives the same bytes under any of these as under the default state, and leaves the host's state
// as it found it.
#include <gtest/gtest.h>

#include "api/pipeline.h"
#include "param_name.h"
#include "test_images.h"
#include "test_util.h"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace kestrum::test {
namespace {

#if defined(__SSE2__)
struct FpState {
  const char* name;
  uint32_t mxcsr_bits;  // rounding control, FTZ and DAZ bits set over the default
};
class HostFpState : public ::testing::TestWithParam<FpState> {};

TEST_P(HostFpState, SameBytesAndStateLeftAlone) {
  constexpr uint32_t kRoundingMask = 0x6000;  // MXCSR RC field
  ConsoleCapture quiet;
  std::vector<NamedImage> images = test_image_set();
  std::vector<Bytes> expected(images.size()), got(images.size());
  for (size_t i = 0; i < images.size(); ++i) recode_in_memory(images[i].jpeg, 85, &expected[i]);
  const uint32_t saved = _mm_getcsr();
  const uint32_t host = (saved & ~kRoundingMask) | GetParam().mxcsr_bits;
  _mm_setcsr(host);
  std::vector<uint32_t> after;
  for (size_t i = 0; i < images.size(); ++i) {
    recode_in_memory(images[i].jpeg, 85, &got[i]);
    after.push_back(_mm_getcsr());
  }
  _mm_setcsr(saved);
  size_t recoded = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    EXPECT_EQ(got[i], expected[i]) << images[i].name;
    EXPECT_EQ(after[i], host) << images[i].name;
    recoded += expected[i].empty() ? 0u : 1u;
  }
  // Two failed recodes compare equal: most of the set must have been recoded for this to say
  // anything (all but the layouts, codings and broken files the library refuses).
  EXPECT_GE(recoded, images.size() - 10);
}

INSTANTIATE_TEST_SUITE_P(Modes, HostFpState,
                         ::testing::Values(FpState{"toward_zero_ftz_daz", 0x6000 | 0x8000 | 0x0040},
                                           FpState{"down", 0x2000}, FpState{"up", 0x4000}),
                         ParamName());
#endif

}  // namespace
}  // namespace kestrum::test
