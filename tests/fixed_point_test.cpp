// SPDX-License-Identifier: MIT
// Saturation and wrap boundaries, and every transform constant recomputed from its formula with
// its rounding rule (inverse: nearest; forward: toward zero).
#include "common/fixed_point.h"

#include <gtest/gtest.h>

#include <cmath>

#include "encoder/fdct_quant.h"

namespace kestrum {
namespace {

TEST(FixedPoint, Saturate22Boundaries) {
  EXPECT_EQ(saturate22(2097151), 2097151);
  EXPECT_EQ(saturate22(2097152), 2097151);
  EXPECT_EQ(saturate22(-2097152), -2097152);
  EXPECT_EQ(saturate22(-2097153), -2097152);
  EXPECT_EQ(saturate22(int64_t{1} << 40), 2097151);
}

TEST(FixedPoint, WrapBeforeClamp) {
  EXPECT_EQ(wrap16(66000), 464);
  EXPECT_EQ(clamp(wrap16(66000), -2048, 2047), 464);
  EXPECT_EQ(clamp(wrap16(40000), -2048, 2047), -2048);
  EXPECT_EQ(wrap16(65800), 264);
}

TEST(FixedPoint, ProductsFloor) {
  EXPECT_EQ(mul_q12_sat22(-1, 4096), -1);
  EXPECT_EQ(mul_q12_sat22(-4097, 1), -2);
  EXPECT_EQ(mul_q12_sat22(2000000, 5793), 2097151);
  EXPECT_EQ(mul_q12_wrap32(-4096, 3405), -3405);
}

struct ConstantCase {
  double value;
  int32_t expected;
  bool truncated;
};

class Constants : public ::testing::TestWithParam<ConstantCase> {};

TEST_P(Constants, MatchTheirFormula) {
  const ConstantCase c = GetParam();
  const double scaled = c.value * 4096.0;
  const int32_t got =
      c.truncated ? static_cast<int32_t>(scaled) : static_cast<int32_t>(std::lround(scaled));
  EXPECT_EQ(got, c.expected);
}

const double kPi = std::acos(-1.0);
INSTANTIATE_TEST_SUITE_P(
    InverseRounded, Constants,
    ::testing::Values(
        ConstantCase{std::sqrt(2.0), 5793, false},
        ConstantCase{std::sqrt(2.0) * std::cos(6 * kPi / 16), 2217, false},
        ConstantCase{std::sqrt(2.0) * (std::cos(2 * kPi / 16) - std::cos(6 * kPi / 16)), 3135,
                     false},
        ConstantCase{-std::sqrt(2.0) * (std::cos(2 * kPi / 16) + std::cos(6 * kPi / 16)), -7568,
                     false},
        ConstantCase{std::cos(3 * kPi / 16), 3406, false},
        ConstantCase{std::cos(kPi / 16), 4017, false},
        ConstantCase{std::sin(3 * kPi / 16) - std::cos(3 * kPi / 16), -1130, false},
        ConstantCase{-(std::sin(3 * kPi / 16) + std::cos(3 * kPi / 16)), -5681, false},
        ConstantCase{-(std::sin(kPi / 16) + std::cos(kPi / 16)), -4816, false},
        ConstantCase{std::sin(kPi / 16) - std::cos(kPi / 16), -3218, false}));
INSTANTIATE_TEST_SUITE_P(
    ForwardTruncated, Constants,
    ::testing::Values(
        ConstantCase{std::cos(3 * kPi / 16), 3405, true},
        ConstantCase{std::sin(3 * kPi / 16) - std::cos(3 * kPi / 16), -1130, true},
        ConstantCase{-(std::sin(3 * kPi / 16) + std::cos(3 * kPi / 16)), -5681, true},
        ConstantCase{std::cos(kPi / 16), 4017, true},
        ConstantCase{std::sin(kPi / 16) - std::cos(kPi / 16), -3218, true},
        ConstantCase{-(std::sin(kPi / 16) + std::cos(kPi / 16)), -4816, true},
        ConstantCase{std::cos(kPi / 8) * std::sqrt(2.0), 5351, true},
        ConstantCase{(std::sin(kPi / 8) - std::cos(kPi / 8)) * std::sqrt(2.0), -3134, true},
        ConstantCase{-(std::sin(kPi / 8) + std::cos(kPi / 8)) * std::sqrt(2.0), -7568, true},
        ConstantCase{std::sqrt(2.0), 5792, true}));

TEST(Quantizer, Reciprocals) {
  EXPECT_EQ(quant_reciprocal(1), 65535);
  EXPECT_EQ(quant_reciprocal(2), 32769);
  EXPECT_EQ(quant_reciprocal(5), 13108);
  EXPECT_EQ(quant_reciprocal(255), 258);
}

TEST(Quantizer, RoundingAndSymmetry) {
  EXPECT_EQ(quantize(12, quant_reciprocal(1)), 1);  // 1.5: R falls short of 2^16, so it rounds down
  EXPECT_EQ(quantize(4, quant_reciprocal(1)), 0);   // 0.5 goes toward zero at q = 1
  EXPECT_EQ(quantize(20, quant_reciprocal(5)), 1);  // 0.5 away from zero above q = 1
  EXPECT_EQ(quantize(8128, quant_reciprocal(5)), 203);
  EXPECT_EQ(quantize(-8192, quant_reciprocal(5)), -205);
  for (int32_t q = 1; q <= 255; ++q) {
    for (int32_t c = 0; c <= 8192; c += 37) {
      ASSERT_EQ(quantize(-c, quant_reciprocal(q)), -quantize(c, quant_reciprocal(q)))
          << q << " " << c;
    }
  }
}

TEST(Quantizer, NearestOfDivisionByEightQ) {
  // Away from exact halves the result is |c| / (8q) rounded to nearest.
  for (int32_t q = 1; q <= 255; q += 7) {
    for (int32_t c = 0; c <= 8192; c += 13) {
      const double exact = c / (8.0 * q);
      if (std::fabs(exact - std::floor(exact) - 0.5) < 0.02)
        continue;  // R's excess reaches c / 2^19
      ASSERT_EQ(quantize(c, quant_reciprocal(q)), static_cast<int16_t>(std::lround(exact)))
          << q << " " << c;
    }
  }
}

}  // namespace
}  // namespace kestrum
