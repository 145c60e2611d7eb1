// SPDX-License-Identifier: MIT
// The block transform kernels against the reference steps of transform_mcu (level shift, fdct_2d,
// quantize into zig-zag order), with the mask of non-zero coefficients each returns: every kernel
// the machine runs, on blocks that drive the transform's sums to their extremes, with the finest,
// the coarsest and mixed quantizers.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

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

TEST_P(FdctKernels, MatchTheReferenceSteps) {
  const KernelCase& c = GetParam();
  std::array<NamedFdctQuantKernel, 4> kernels{};
  const int32_t count = fdct_quant_kernels(kernels.data(), 4);
  ASSERT_GE(count, 1);
  std::mt19937 rng(static_cast<uint32_t>(c.trials) * 131u + static_cast<uint32_t>(c.table));
  std::array<int, 4> differing{};
  for (int trial = 0; trial < c.trials; ++trial) {
    // Samples in a 12-byte stride with guard bytes, as blocks sit in a wider plane.
    std::array<uint8_t, 12 * 8> plane{};
    for (size_t r = 0; r < 8; ++r) {
      for (size_t col = 0; col < 12; ++col)
        plane[12 * r + col] = col < 8 ? c.sample(rng, r, col) : 0x5A;
    }
    std::array<int32_t, 64> reciprocal_zz{}, reciprocal_natural{};
    for (size_t k = 0; k < 64; ++k) {
      const int32_t q = c.table == Table::kOnes       ? 1
                        : c.table == Table::kCoarsest ? 255
                                                      : 1 + static_cast<int32_t>(rng() % 255);
      reciprocal_zz[k] = quant_reciprocal(q);
      reciprocal_natural[kZigZagToNatural[k]] = reciprocal_zz[k];
    }
    std::array<int16_t, 64> block{}, expected{};
    for (size_t i = 0; i < 64; ++i)
      block[i] = static_cast<int16_t>(plane[12 * (i / 8) + i % 8] - 128);
    fdct_2d(block.data());
    for (size_t k = 0; k < 64; ++k)
      expected[k] = quantize(block[kZigZagToNatural[k]], reciprocal_zz[k]);
    uint64_t expected_mask = 0;  // bit k: zig-zag coefficient k is not zero
    for (size_t k = 0; k < 64; ++k) expected_mask |= uint64_t{expected[k] != 0} << k;
    for (size_t n = 0; n < static_cast<size_t>(count); ++n) {
      std::array<int16_t, 64> actual{};
      const uint64_t mask =
          kernels[n].kernel(plane.data(), 12, reciprocal_natural.data(), actual.data());
      if (actual != expected || mask != expected_mask) ++differing[n];
    }
  }
  for (size_t n = 0; n < static_cast<size_t>(count); ++n) {
    EXPECT_EQ(differing[n], 0) << c.name << ", kernel " << kernels[n].name;
  }
}

using Rng = std::mt19937;
// name, sample at row and column, table, blocks
INSTANTIATE_TEST_SUITE_P(
    Blocks, FdctKernels,
    ::testing::Values(
        KernelCase{"random_fine", [](Rng& g, size_t, size_t) { return uint8_t(g()); }, Table::kOnes,
                   3000},
        KernelCase{"random_mixed", [](Rng& g, size_t, size_t) { return uint8_t(g()); },
                   Table::kRandom, 3000},
        KernelCase{"random_coarse", [](Rng& g, size_t, size_t) { return uint8_t(g()); },
                   Table::kCoarsest, 3000},
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
        KernelCase{
            "spikes",
            [](Rng& g, size_t, size_t) { return uint8_t(g() % 9 == 0 ? g() % 2 * 255 : 128); },
            Table::kOnes, 3000}),
    ParamName());

#if defined(__i386__) || defined(__x86_64__)
// The kernel a list names "avx2", or null.
template <typename Named>
const Named* avx2_of(const std::array<Named, 4>& list, int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (std::string(list[static_cast<size_t>(i)].name) == "avx2")
      return &list[static_cast<size_t>(i)];
  return nullptr;
}

// Every x86 build, the 32-bit DLL's included, has the AVX2 kernels and takes them where the
// processor (and the operating system's saved state) runs them; elsewhere it lists them not.
TEST(KernelChoice, Avx2OnEveryX86BuildWhereTheProcessorHasIt) {
  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
  std::array<NamedFdctQuantKernel, 4> fdct{};
  const NamedFdctQuantKernel* fdct_avx2 = avx2_of(fdct, fdct_quant_kernels(fdct.data(), 4));
  std::array<NamedIdctKernel, 4> idct{};
  const NamedIdctKernel* idct_avx2 = avx2_of(idct, idct_kernels(idct.data(), 4));
  ASSERT_EQ(fdct_avx2 != nullptr, has_avx2);
  ASSERT_EQ(idct_avx2 != nullptr, has_avx2);
  if (has_avx2) {
    EXPECT_EQ(fdct_quant_kernel(), fdct_avx2->kernel);
    EXPECT_EQ(idct_kernel(true), idct_avx2->kernel);
  }
}
#endif

}  // namespace
}  // namespace kestrum::test
