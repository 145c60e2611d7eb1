// SPDX-License-Identifier: MIT
// The block transform kernels against the reference steps of transform_mcu (level shift, fdct_2d,
// quantize into zig-zag order), with the mask of non-zero coefficients each returns: every kernel
// the machine runs, on blocks that drive the transform's sums to their extremes, with the finest,
// the coarsest and mixed quantizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <utility>

#include "common/jpeg_tables.h"
#include "decoder/idct.h"
#include "encoder/fdct_quant.h"
#include "param_name.h"

namespace kestrum::test {
namespace {

enum class Table { kOnes, kCoarsest, kRandom };

struct KernelCase {
  const char* name;
  uint8_t (*sample)(std::mt19937& rng, size_t row, size_t column);
  Table table;
  int trials;
};

class FdctKernels : public ::testing::TestWithParam<KernelCase> {};

// The reference steps for the block at samples (rows stride bytes apart): its zig-zag
// coefficients and their mask.
std::pair<std::array<int16_t, 64>, uint64_t> reference_block(
    const uint8_t* samples, size_t stride, const std::array<int32_t, 64>& reciprocal_zz) {
  std::array<int16_t, 64> block{}, expected{};
  for (size_t i = 0; i < 64; ++i)
    block[i] = static_cast<int16_t>(samples[stride * (i / 8) + i % 8] - 128);
  fdct_2d(block.data());
  for (size_t k = 0; k < 64; ++k)
    expected[k] = quantize(block[kZigZagToNatural[k]], reciprocal_zz[k]);
  uint64_t mask = 0;  // bit k: zig-zag coefficient k is not zero
  for (size_t k = 0; k < 64; ++k) mask |= uint64_t{expected[k] != 0} << k;
  return {expected, mask};
}

TEST_P(FdctKernels, MatchTheReferenceSteps) {
  const KernelCase& c = GetParam();
  std::array<NamedFdctQuantKernel, 5> kernels{};
  const int32_t count = fdct_quant_kernels(kernels.data(), 5);
  ASSERT_GE(count, 1);
  std::mt19937 rng(static_cast<uint32_t>(c.trials) * 131u + static_cast<uint32_t>(c.table));
  std::array<int, 5> differing{};
  constexpr size_t kStride = 20;
  for (int trial = 0; trial < c.trials; ++trial) {
    // Two blocks side by side in a 20-byte stride with guard bytes, as an MCU's luma blocks sit
    // in a wider plane, and a third in a plane of its own, as Cb beside Cr; a kernel takes the
    // pair side by side on even trials, the first and the third on odd ones.
    std::array<uint8_t, kStride * 8> plane, other;
    plane.fill(0x5A);
    other.fill(0xA5);
    for (uint8_t* block : {plane.data(), plane.data() + 8, other.data()}) {
      for (size_t r = 0; r < 8; ++r) {
        for (size_t col = 0; col < 8; ++col) block[kStride * r + col] = c.sample(rng, r, col);
      }
    }
    const uint8_t* second = trial % 2 == 0 ? plane.data() + 8 : other.data();
    std::array<int32_t, 64> reciprocal_zz{}, reciprocal_natural{};
    for (size_t k = 0; k < 64; ++k) {
      const int32_t q = c.table == Table::kOnes       ? 1
                        : c.table == Table::kCoarsest ? 255
                                                      : 1 + static_cast<int32_t>(rng() % 255);
      reciprocal_zz[k] = quant_reciprocal(q);
      reciprocal_natural[kZigZagToNatural[k]] = reciprocal_zz[k];
    }
    const auto [expected_first, mask_first] = reference_block(plane.data(), kStride, reciprocal_zz);
    const auto [expected_second, mask_second] = reference_block(second, kStride, reciprocal_zz);
    for (size_t n = 0; n < static_cast<size_t>(count); ++n) {
      std::array<int16_t, 128> actual{};
      std::array<uint64_t, 2> mask{};
      kernels[n].kernel(plane.data(), second, kStride, reciprocal_natural.data(), actual.data(),
                        mask.data());
      if (!std::equal(expected_first.begin(), expected_first.end(), actual.begin()) ||
          !std::equal(expected_second.begin(), expected_second.end(), actual.begin() + 64) ||
          mask[0] != mask_first || mask[1] != mask_second)
        ++differing[n];
    }
  }
  for (size_t n = 0; n < static_cast<size_t>(count); ++n) {
    EXPECT_EQ(differing[n], 0) << c.name << ", kernel " << kernels[n].name;
  }
}

using Rng = std::mt19937;

uint8_t random_sample(Rng& g, size_t /*row*/, size_t /*column*/) { return uint8_t(g()); }

// 255 where the cosine basis function of a frequency drawn at each block's first sample is
// positive at (row, column), else 0.
uint8_t basis_sign(Rng& g, size_t row, size_t column) {
  static size_t u = 0, v = 0;
  if (row == 0 && column == 0) {
    u = g() % 8;
    v = g() % 8;
  }
  const double pi = 3.14159265358979323846;
  const double value = std::cos(static_cast<double>((2 * column + 1) * u) * pi / 16) *
                       std::cos(static_cast<double>((2 * row + 1) * v) * pi / 16);
  return value >= 0 ? 255 : 0;
}
// name, sample at row and column, table, blocks
INSTANTIATE_TEST_SUITE_P(
    Blocks, FdctKernels,
    ::testing::Values(
        KernelCase{"random_fine", random_sample, Table::kOnes, 3000},
        KernelCase{"random_mixed", random_sample, Table::kRandom, 3000},
        KernelCase{"random_coarse", random_sample, Table::kCoarsest, 3000},
        KernelCase{"black", [](Rng&, size_t, size_t) { return uint8_t{0}; }, Table::kOnes, 40},
        KernelCase{"white", [](Rng&, size_t, size_t) { return uint8_t{255}; }, Table::kOnes, 40},
        KernelCase{"checker", [](Rng&, size_t r, size_t c) { return uint8_t((r + c) % 2 * 255); },
                   Table::kOnes, 40},
        KernelCase{"rows", [](Rng&, size_t r, size_t) { return uint8_t((r + 1) % 2 * 255); },
                   Table::kRandom, 40},
        KernelCase{"columns", [](Rng&, size_t, size_t c) { return uint8_t(c % 2 * 255); },
                   Table::kOnes, 40},
        KernelCase{"ramp", [](Rng&, size_t r, size_t c) { return uint8_t(36 * r + c); },
                   Table::kRandom, 40},
        // The sign of a basis function at full contrast, the frequency drawn each block: the
        // largest sums and products the column pass can meet (past 2^31 before the 12-bit shift).
        KernelCase{"basis_signs", basis_sign, Table::kRandom, 3000},
        KernelCase{
            "spikes",
            [](Rng& g, size_t, size_t) { return uint8_t(g() % 9 == 0 ? g() % 2 * 255 : 128); },
            Table::kOnes, 3000}),
    ParamName());

#if defined(__i386__) || defined(__x86_64__)
// The kernel a list names name, or null.
template <typename Named, size_t kSize>
const Named* named(const std::array<Named, kSize>& list, int32_t count, const char* name) {
  for (int32_t i = 0; i < count; ++i)
    if (std::string(list[static_cast<size_t>(i)].name) == name)
      return &list[static_cast<size_t>(i)];
  return nullptr;
}

// Every x86 build, the 32-bit DLL's included, has the AVX2 and AVX-512 kernels and takes the
// widest the processor (and the operating system's saved state) runs; elsewhere it lists them not.
TEST(KernelChoice, FastestOnEveryX86BuildWhereTheProcessorHasIt) {
  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
  const bool has_avx512 =
      __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
  std::array<NamedFdctQuantKernel, 5> fdct{};
  const int32_t fdct_count = fdct_quant_kernels(fdct.data(), 5);
  const NamedFdctQuantKernel* fdct_avx2 = named(fdct, fdct_count, "avx2");
  const NamedFdctQuantKernel* fdct_avx512 = named(fdct, fdct_count, "avx512");
  std::array<NamedIdctKernel, 4> idct{};
  const NamedIdctKernel* idct_avx2 = named(idct, idct_kernels(idct.data(), 4), "avx2");
  std::array<NamedIdctPairKernel, 3> pairs{};
  const NamedIdctPairKernel* pair_avx512 =
      named(pairs, idct_pair_kernels(pairs.data(), 3), "avx512");
  ASSERT_EQ(fdct_avx2 != nullptr, has_avx2);
  ASSERT_EQ(fdct_avx512 != nullptr, has_avx512);
  ASSERT_EQ(idct_avx2 != nullptr, has_avx2);
  ASSERT_EQ(pair_avx512 != nullptr, has_avx512);
  if (has_avx512) {
    EXPECT_EQ(fdct_quant_kernel(true), fdct_avx512->kernel);
    EXPECT_EQ(idct_pair_kernel(true), pair_avx512->kernel);
  } else if (has_avx2) {
    EXPECT_EQ(fdct_quant_kernel(true), fdct_avx2->kernel);
  }
  if (has_avx2) {
    EXPECT_EQ(idct_kernel(true), idct_avx2->kernel);
  }
  EXPECT_EQ(fdct_quant_kernel(false), fdct[0].kernel);
}
#endif

}  // namespace
}  // namespace kestrum::test
