// SPDX-License-Identifier: MIT
// Saturation and wrap boundaries, and every transform constant recomputed from its formula with
// its rounding rule (inverse: nearest; forward: toward zero).
#include "common/fixed_point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>

#include "encoder/fdct_quant.h"

namespace kestrum {
namespace {

TEST(FixedPoint, SaturationWrapAndProductBoundaries) {
  // what, result, expected
  const std::tuple<const char*, int64_t, int64_t> cases[] = {
      {"saturate22(2^21 - 1)", saturate22(2097151), 2097151},
      {"saturate22(2^21)", saturate22(2097152), 2097151},
      {"saturate22(-2^21)", saturate22(-2097152), -2097152},
      {"saturate22(-2^21 - 1)", saturate22(-2097153), -2097152},
      {"saturate22(2^40)", saturate22(int64_t{1} << 40), 2097151},
      {"wrap16(66000)", wrap16(66000), 464},
      {"wrap16(65800)", wrap16(65800), 264},
      // The wrap comes before the clamp.
      {"clamp(wrap16(66000))", clamp(wrap16(66000), -2048, 2047), 464},
      {"clamp(wrap16(40000))", clamp(wrap16(40000), -2048, 2047), -2048},
      // Products round toward minus infinity.
      {"mul_q12_sat22(-1, 4096)", mul_q12_sat22(-1, 4096), -1},
      {"mul_q12_sat22(-4097, 1)", mul_q12_sat22(-4097, 1), -2},
      {"mul_q12_sat22(2000000, 5793)", mul_q12_sat22(2000000, 5793), 2097151},
      {"mul_q12_wrap32(-4096, 3405)", mul_q12_wrap32(-4096, 3405), -3405},
      {"quant_reciprocal(1)", quant_reciprocal(1), 65535},
      {"quant_reciprocal(2)", quant_reciprocal(2), 32769},
      {"quant_reciprocal(5)", quant_reciprocal(5), 13108},
      {"quant_reciprocal(255)", quant_reciprocal(255), 258},
      // 1.5: the reciprocal falls short of 2^16, so it rounds down.
      {"quantize(12, q 1)", quantize(12, quant_reciprocal(1)), 1},
      {"quantize(4, q 1)", quantize(4, quant_reciprocal(1)), 0},    // 0.5 toward zero at q = 1
      {"quantize(20, q 5)", quantize(20, quant_reciprocal(5)), 1},  // 0.5 away from zero above
      {"quantize(8128, q 5)", quantize(8128, quant_reciprocal(5)), 203},
      {"quantize(-8192, q 5)", quantize(-8192, quant_reciprocal(5)), -205}};
  for (const auto& [what, result, expected] : cases) EXPECT_EQ(result, expected) << what;
}

TEST(FixedPoint, ConstantsMatchTheirFormula) {
  const double pi = std::acos(-1.0), r2 = std::sqrt(2.0);
  const double c1 = std::cos(pi / 16), s1 = std::sin(pi / 16), c3 = std::cos(3 * pi / 16),
               s3 = std::sin(3 * pi / 16), c2 = std::cos(2 * pi / 16), s2 = std::sin(2 * pi / 16),
               c6 = std::cos(6 * pi / 16);
  // value, constant: the inverse transform's rounded to nearest, the forward's truncated
  // clang-format off
  const std::pair<double, int32_t> inverse[] = {
      {r2, 5793}, {r2 * c6, 2217}, {r2 * (c2 - c6), 3135}, {-r2 * (c2 + c6), -7568}, {c3, 3406},
      {c1, 4017}, {s3 - c3, -1130}, {-(s3 + c3), -5681}, {-(s1 + c1), -4816}, {s1 - c1, -3218}};
  const std::pair<double, int32_t> forward[] = {
      {c3, 3405}, {s3 - c3, -1130}, {-(s3 + c3), -5681}, {c1, 4017}, {s1 - c1, -3218},
      {-(s1 + c1), -4816}, {c2 * r2, 5351}, {(s2 - c2) * r2, -3134}, {-(s2 + c2) * r2, -7568},
      {r2, 5792}};
  // clang-format on
  for (const auto& [value, constant] : inverse)
    EXPECT_EQ(static_cast<int32_t>(std::lround(value * 4096.0)), constant) << value;
  for (const auto& [value, constant] : forward)
    EXPECT_EQ(static_cast<int32_t>(value * 4096.0), constant) << value;
}

TEST(Quantizer, SymmetricAndNearestOfDivisionByEightQ) {
  for (int32_t q = 1; q <= 255; ++q) {
    for (int32_t c = 0; c <= 8192; c += 37) {
      ASSERT_EQ(quantize(-c, quant_reciprocal(q)), -quantize(c, quant_reciprocal(q)))
          << q << " " << c;
    }
  }
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
