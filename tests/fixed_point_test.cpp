// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include "common/fixed_point.h"
TEST(FixedPoint, Placeholder) { EXPECT_EQ(kestrum::saturate22(3000000), 2097151); }
