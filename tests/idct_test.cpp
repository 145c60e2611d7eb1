// SPDX-License-Identifier: MIT
// The inverse transform's exact vectors, a plain 64-bit evaluation of its 8-point flowgraph on
// random vectors, and single-coefficient blocks; the forward transform against a double-precision
// reference; the vector inverse kernels against the scalar one.
#include "decoder/idct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <tuple>

#include "decoder/decoder_state.h"
#include "encoder/fdct_quant.h"
#include "param_name.h"

namespace kestrum {
namespace {

using Vec = std::array<int32_t, 8>;

// The 8-point inverse transform evaluated plainly, apart from the code under test: 64-bit values,
// every sum, difference and product limited to the signed 22-bit range, each product v * k / 4096
// rounded toward minus infinity by a division, and the 12-bit constants written out as published
// (round(value * 4096)).
int64_t limit22(int64_t v) { return std::clamp<int64_t>(v, -2097152, 2097151); }
int64_t times(int64_t v, int64_t k) {
  const int64_t full = v * k;
  int64_t q = full / 4096;
  if (full % 4096 != 0 && full < 0) --q;  // division truncates toward zero: step down to the floor
  return limit22(q);
}
Vec reference_idct_1d(const Vec& in) {
  const auto S = limit22;
  const int64_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3], x4 = in[4], x5 = in[5], x6 = in[6],
                x7 = in[7];
  const int64_t e0 = S(x0 + x4), e1 = S(x0 - x4);
  const int64_t z = times(S(x2 + x6), 2217);
  const int64_t a = S(times(x2, 3135) + z), b = S(times(x6, -7568) + z);
  const int64_t even0 = S(e0 + a), even3 = S(e0 - a), even1 = S(e1 + b), even2 = S(e1 - b);
  const int64_t r3 = times(x3, 5793), r5 = times(x5, 5793);
  const int64_t s17 = S(x1 + x7), d17 = S(x1 - x7);
  const int64_t p = S(d17 - r5), q = S(d17 + r5), r = S(s17 - r3), s = S(s17 + r3);
  const int64_t u = times(S(s + q), 3406), v = times(S(p + r), 4017);
  const int64_t odd_a = S(times(q, -1130) + u), odd_b = S(u + times(s, -5681));
  const int64_t odd_c = S(times(p, -4816) + v), odd_d = S(v + times(r, -3218));
  const std::array<int64_t, 8> out = {S(even0 + odd_a), S(even1 + odd_d), S(even2 + odd_c),
                                      S(even3 + odd_b), S(even3 - odd_b), S(even2 - odd_c),
                                      S(even1 - odd_d), S(even0 - odd_a)};
  Vec result{};
  for (size_t i = 0; i < 8; ++i) result[i] = static_cast<int32_t>(out[i]);
  return result;
}

// A lone input of 4096 (1.0 with 12 fraction bits) makes every product exact, so each output is
// a sum of the published constants: for x1, u = 2 * 3406 and v = 2 * 4017 and the rotations add
// -1130, -5681, -4816 and -3218; for x2, z = 2217 and a = 3135 + 2217; for x7, s17 = 4096 and
// d17 = -4096, so u = v = 0 and the outputs are the rotation constants alone. A lone x0 reaches
// every output unchanged. The two saturating vectors are the known values of the 22-bit rules:
// saturation acts inside the flow, not only at the outputs. The expectations hold for the plain
// evaluation too, so that it can stand as the reference below.
TEST(Idct1d, ExactOutputs) {
  constexpr int32_t kU = 2 * 3406, kV = 2 * 4017, kA = 3135 + 2217;
  // name, input, output
  const std::tuple<const char*, Vec, Vec> cases[] = {
      {"x1",
       {0, 4096, 0, 0, 0, 0, 0, 0},
       {kU - 1130, kV - 3218, kV - 4816, kU - 5681, 5681 - kU, 4816 - kV, 3218 - kV, 1130 - kU}},
      {"x2", {0, 0, 4096, 0, 0, 0, 0, 0}, {kA, 2217, -2217, -kA, -kA, -2217, 2217, kA}},
      {"x7", {0, 0, 0, 0, 0, 0, 0, 4096}, {1130, -3218, 4816, -5681, 5681, -4816, 3218, -1130}},
      {"x0", {777, 0, 0, 0, 0, 0, 0, 0}, {777, 777, 777, 777, 777, 777, 777, 777}},
      {"saturating_x0_x1",
       {2000000, 2000000, 0, 0, 0, 0, 0, 0},
       {2097151, 2097151, 1959551, 1646719, 2097151, 2040449, 1514587, 807887}},
      {"saturating_mixed",
       {-2000000, 1234567, -987654, 2000000, -1500000, 1999999, -2097152, 2097151},
       {-693872, -1594657, -1421600, -559397, 147165, -1502494, 2097151, -2097152}}};
  for (const auto& [name, in, out] : cases) {
    Vec v = in;
    idct_1d(v.data());
    EXPECT_EQ(v, out) << name;
    EXPECT_EQ(reference_idct_1d(in), out) << name;
  }
}

// idct_1d against the plain evaluation on random vectors: inputs of the first pass (coefficients
// of 12 bits times 128), and of the second pass up to the 22-bit limits, where the saturation of
// sums and products acts.
TEST(Idct1d, MatchesPlainEvaluation) {
  for (const int32_t limit : {64, 2048 * 128, 2097151}) {  // |input| <= limit
    std::mt19937 rng(static_cast<uint32_t>(limit));
    std::uniform_int_distribution<int32_t> value(-limit, limit);
    int differing = 0;
    for (int trial = 0; trial < 20000; ++trial) {
      Vec v{};
      for (int32_t& x : v) x = value(rng);
      if (limit == 2097151 && trial % 4 == 0) v[static_cast<size_t>(trial / 4 % 8)] = -2097152;
      Vec got = v;
      idct_1d(got.data());
      if (got != reference_idct_1d(v) && ++differing <= 3)
        ADD_FAILURE() << "input " << ::testing::PrintToString(v);
    }
    EXPECT_EQ(differing, 0) << limit;
  }
}

// Blocks of one coefficient: the DC alone gives a flat block (a wrapped dequantized DC
// included: 700 x 94 = 65800 wraps to 264, so 128 + 264 / 8), the first horizontal and vertical
// frequencies a known profile across or down the block.
TEST(Idct, SingleCoefficientBlocks) {
  const auto flat = [](uint8_t v) { return std::array<uint8_t, 8>{v, v, v, v, v, v, v, v}; };
  const std::array<uint8_t, 8> first = {145, 143, 138, 131, 125, 118, 113, 111};
  // index, value, its table entry, the coefficient after dequantization, the samples along a row
  // (index 8: down a column)
  const std::tuple<size_t, int16_t, uint32_t, int16_t, std::array<uint8_t, 8>> cases[] = {
      {0, 0, 1, 0, flat(128)},       {0, 8, 1, 8, flat(129)},       {0, -1024, 1, -1024, flat(0)},
      {0, 1016, 1, 1016, flat(255)}, {0, 2047, 1, 2047, flat(255)}, {0, 700, 94, 264, flat(161)},
      {1, 100, 1, 100, first},       {8, 100, 1, 100, first}};
  for (const auto& [index, value, quant, dequantized, profile] : cases) {
    SCOPED_TRACE(std::to_string(index) + " " + std::to_string(value));
    reset_decoder_state();
    std::array<int16_t, 64> coef{};
    std::array<uint32_t, 64> q{};
    q.fill(1);
    q[index] = quant;
    coef[index] = value;
    std::array<uint8_t, 64> out{};
    idct_block(coef.data(), q.data(), out.data());
    EXPECT_EQ(coef[index], dequantized);
    for (size_t i = 0; i < 64; ++i) ASSERT_EQ(out[i], profile[index == 8 ? i / 8 : i % 8]) << i;
  }
}

// The double-precision T.81 A.3.3 forward transform of samples s at frequency (u, v), without
// its C(u) C(v) / 4 factor.
double dct_sum(const std::array<int32_t, 64>& s, int u, int v) {
  const double pi = std::acos(-1.0);
  double sum = 0;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      sum += s[static_cast<size_t>(8 * y + x)] * std::cos((2 * x + 1) * u * pi / 16) *
             std::cos((2 * y + 1) * v * pi / 16);
    }
  }
  return sum;
}

TEST(Fdct, WithinFewUnitsOfEightTimesReference) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> sample(-128, 127);
  double worst = 0;
  for (int trial = 0; trial < 100; ++trial) {
    std::array<int16_t, 64> block{};
    std::array<int32_t, 64> input{};
    for (size_t i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(input[i] = sample(rng));
    fdct_2d(block.data());
    for (size_t i = 0; i < 64; ++i) {
      const int u = static_cast<int>(i % 8), v = static_cast<int>(i / 8);
      const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
      worst = std::max(worst, std::fabs(8 * 0.25 * cu * cv * dct_sum(input, u, v) - block[i]));
    }
  }
  // Slightly below the bound, as measured (1.35 on these blocks): a bound gone slack fails too.
  EXPECT_LE(worst, 1.5);
  EXPECT_GE(worst, 1.2);
}

// The vector transform against the scalar one, sample for sample: random blocks with
// coefficients up to the 16-bit range and tables up to 65535 (so the wrap and the 12-bit clamp
// act), dense high-magnitude blocks that drive the sums into the 22-bit saturation, sparse ones,
// blocks about the bounds at which a kernel changes its arithmetic, and every block of one
// coefficient at every position, sign and magnitude the 12-bit clamp lets through (the unit
// table), each with the largest values one coefficient can drive through the passes.
struct SimdCase {
  const char* name;
  int coefficient_limit;   // |coefficient| <= limit
  uint32_t quant_limit;    // table entries 1..limit
  int density_percent;     // chance that a coefficient is non-zero
  bool dc_only = false;    // only coefficient 0 may be non-zero (the flat-block shortcut)
  bool is_single = false;  // every single-coefficient block, not random ones
};
class IdctSimd : public ::testing::TestWithParam<SimdCase> {};

// Whether a block written with a row stride of 11 (so that a kernel writing past its eight columns
// shows) holds the samples, and its other bytes still the guard.
bool holds(const std::array<uint8_t, 88>& strided, const std::array<uint8_t, 64>& samples,
           uint8_t guard) {
  for (size_t i = 0; i < 88; ++i) {
    if (strided[i] != (i % 11 < 8 ? samples[8 * (i / 11) + i % 11] : guard)) return false;
  }
  return true;
}

TEST_P(IdctSimd, MatchesScalarTransform) {
  const SimdCase& c = GetParam();
  reset_decoder_state();
  std::mt19937 rng(static_cast<uint32_t>(c.coefficient_limit) * 7919u + c.quant_limit);
  std::uniform_int_distribution<int> coefficient(-c.coefficient_limit, c.coefficient_limit);
  std::uniform_int_distribution<uint32_t> quant(1, c.quant_limit);
  std::uniform_int_distribution<int> percent(0, 99);
  std::array<NamedIdctKernel, 4> kernels{};
  const size_t kernel_count = static_cast<size_t>(idct_kernels(kernels.data(), 3));
  ASSERT_GE(kernel_count, 1u);
  std::array<int, 4> differing_blocks{};
  std::array<NamedIdctPairKernel, 3> pairs{};
  const size_t pair_count = static_cast<size_t>(idct_pair_kernels(pairs.data(), 3));
  std::array<int, 3> differing_pairs{};
  // The block before, the second of each pair: as it was, or every third trial its DC alone (a
  // flat block beside one that is not).
  std::array<int16_t, 128> pair_coef{};
  std::array<int16_t, 64> previous_q16{};
  std::array<uint8_t, 64> previous_expected{};
  const int trials = c.is_single ? 64 * 2047 * 2 : 2000;
  for (int trial = 0; trial < trials; ++trial) {
    std::array<int16_t, 64> coef{};
    std::array<uint32_t, 64> q{};
    std::array<int16_t, 64> q16{};
    for (size_t i = 0; i < 64; ++i) {
      const bool set = (!c.dc_only || i == 0) && percent(rng) < c.density_percent;
      coef[i] = static_cast<int16_t>(set && !c.is_single ? coefficient(rng) : 0);
      q[i] = c.is_single ? 1 : quant(rng);
      q16[i] = static_cast<int16_t>(static_cast<uint16_t>(q[i]));
    }
    if (c.is_single) {
      coef[static_cast<size_t>(trial % 64)] =
          static_cast<int16_t>((trial / 64 % 2 == 0 ? 1 : -1) * (1 + trial / 128));
    }
    std::array<int16_t, 64> scalar_coef = coef;
    std::array<uint8_t, 64> expected{};
    idct_block(scalar_coef.data(), q.data(), expected.data());
    for (size_t k = 0; k < kernel_count; ++k) {
      std::array<uint8_t, 88> strided{};
      strided.fill(0xA5);
      kernels[k].kernel(coef.data(), q16.data(), strided.data(), 11);
      if (!holds(strided, expected, 0xA5)) ++differing_blocks[k];
    }
    std::array<uint8_t, 64> dispatched{};
    idct_kernel(true)(coef.data(), q16.data(), dispatched.data(), 8);
    if (dispatched != expected) ++differing_blocks[3];
    std::copy(coef.begin(), coef.end(), pair_coef.begin());
    for (size_t k = 0; trial > 0 && k < pair_count; ++k) {
      std::array<uint8_t, 88> first{}, second{};
      first.fill(0xA5);
      second.fill(0x5A);
      pairs[k].kernel(pair_coef.data(), q16.data(), previous_q16.data(), first.data(),
                      second.data(), 11);
      if (!holds(first, expected, 0xA5) || !holds(second, previous_expected, 0x5A))
        ++differing_pairs[k];
    }
    std::copy(coef.begin(), coef.end(), pair_coef.begin() + 64);
    previous_q16 = q16;
    if (trial % 3 == 2) std::fill(pair_coef.begin() + 65, pair_coef.end(), int16_t{0});
    std::array<int16_t, 64> previous{};
    std::copy(pair_coef.begin() + 64, pair_coef.end(), previous.begin());
    idct_block(previous.data(), q.data(), previous_expected.data());  // q: q16 widened
  }
  for (size_t k = 0; k < pair_count; ++k)
    EXPECT_EQ(differing_pairs[k], 0) << "pair kernel " << pairs[k].name;
  for (size_t k = 0; k < kernel_count; ++k)
    EXPECT_EQ(differing_blocks[k], 0) << "kernel " << kernels[k].name;
  EXPECT_EQ(differing_blocks[3], 0) << "dispatched kernel";
}

// name, coefficient limit, table limit, density (percent), DC only, every single coefficient
// clang-format off
INSTANTIATE_TEST_SUITE_P(Blocks, IdctSimd, ::testing::Values(
    SimdCase{"photo_like", 60, 40, 40}, SimdCase{"dense_small", 255, 8, 100},
    SimdCase{"saturating", 2047, 255, 100}, SimdCase{"wrapping", 32767, 65535, 100},
    SimdCase{"sparse", 400, 99, 5}, SimdCase{"near_bound", 900, 1, 25},
    SimdCase{"near_bound_sparse", 2047, 1, 8}, SimdCase{"near_small_product_bound", 120, 1, 25},
    SimdCase{"dc_only", 32767, 65535, 90, true}, SimdCase{"dc_only_small", 2047, 1, 90, true},
    SimdCase{"every_single_coefficient", 2047, 1, 0, false, true}), test::ParamName());
// clang-format on

}  // namespace
}  // namespace kestrum
