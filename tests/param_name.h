// SPDX-License-Identifier: MIT
// Names parameterised test cases after their parameter's name field.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kestrum::test {

struct ParamName {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& param_info) const {
    return std::string(param_info.param.name);
  }
};

}  // namespace kestrum::test
