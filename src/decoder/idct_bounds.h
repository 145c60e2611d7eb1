// SPDX-License-Identifier: MIT
// What a block's coefficients bound: how far the inverse transform's two passes can reach, which
// the vector kernels use to leave out the 22-bit clamps or to multiply in 32 bits.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "common/fixed_point.h"
#include "decoder/idct_flowgraph.h"

namespace kestrum {

// How much of the datapath a block can reach, from the bound that reach_of works out.
enum class Reach {
  kSaturating,     // the 22-bit clamps may act
  kUnsaturated,    // no clamp acts
  kSmallProducts,  // no clamp acts, and every product v k fits 32 bits
};

// Weights that bound every value of both passes: |value| <= 128 / 16 * sum kBound[r][i] |c[r][i]|
// plus the floors' error (a few hundred). kBound[r][i] = ceil(16 w_r w_i), w_i the largest factor
// by which input i reaches any sum, product operand or output of one pass (1, 2, 1.31, 1.96, 1,
// 1.66, 1.85, 1.39 for i = 0..7); the bound of a pass-2 value is the pass-1 bound of each row,
// weighted by that row's factor.
alignas(16) constexpr int16_t kBound[8][8] = {
    {16, 32, 21, 32, 16, 27, 30, 23}, {32, 64, 42, 63, 32, 54, 60, 45},
    {21, 42, 28, 42, 21, 35, 39, 29}, {32, 63, 42, 62, 32, 53, 58, 44},
    {16, 32, 21, 32, 16, 27, 30, 23}, {27, 54, 35, 53, 27, 45, 50, 37},
    {30, 60, 39, 58, 30, 50, 55, 42}, {23, 45, 29, 44, 23, 37, 42, 31}};
// Largest weighted sum whose values stay below 2^21 - 1 with 4096 to spare for the floors.
constexpr int32_t kUnsaturatedSumMax = 16 * ((kSat22Max - 4096) / 128);
// Largest weighted sum whose values times the largest constant fit 32 bits, with the same spare.
constexpr int32_t kLargestConstant = [] {
  int32_t largest = 0;
  for (const int32_t k : {kIdctSqrt2, kIdctC6Sqrt2, kIdctC2mC6Sqrt2, kIdctNegC2pC6Sqrt2, kIdctC3,
                          kIdctC1, kIdctS3mC3, kIdctNegS3pC3, kIdctNegS1pC1, kIdctS1mC1})
    largest = (k < 0 ? -k : k) > largest ? (k < 0 ? -k : k) : largest;
  return largest;
}();
constexpr int32_t kSmallProductSumMax = 16 * ((INT32_MAX / kLargestConstant - 4096) / 128);

}  // namespace kestrum
