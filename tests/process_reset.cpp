// SPDX-License-Identifier: MIT
// Every test ends by putting the process state back as a fresh process has it (the plan, the
// default console, the kept block), so that no test depends on those before it: ctest runs each
// test in a process of its own, the test binary run alone runs them all in one.
#include <gtest/gtest.h>

#include "api/process_state.h"

namespace kestrum::test {
namespace {

class ResetAfterEachTest : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& /*test*/) override { reset_process_state(); }
};

// gtest owns the listener once appended; UnitTest's instance is made on first use.
const bool kResetIsRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetAfterEachTest);
  return true;
}();

}  // namespace
}  // namespace kestrum::test
