// SPDX-License-Identifier: MIT
// Kernel benchmark: the time per 8x8 block of every forward (transform + quantization) and
// inverse (dequantization + transform) kernel the machine runs, on photo-like blocks, best of R
// passes over 16384 blocks. Each kernel's output is compared with the portable kernel's first, so
// a figure is never of a wrong result. Runs as a Windows program under wine too.
//   kestrum_kernel_bench [--runs R]   (default 15)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/jpeg_tables.h"
#include "decoder/idct.h"
#include "encoder/fdct_quant.h"

namespace {

constexpr size_t kBlocks = 16384;

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Smooth ramps with a little noise from a fixed LCG, as a photograph's blocks mostly are.
std::vector<uint8_t> photo_samples() {
  std::vector<uint8_t> samples(kBlocks * 64);
  uint32_t rng = 12345;
  for (size_t b = 0; b < kBlocks; ++b) {
    const int base = static_cast<int>(b * 37 % 200) + 20;
    for (int i = 0; i < 64; ++i) {
      rng = rng * 1664525u + 1013904223u;
      const int v = base + (i % 8) * 3 - (i / 8) * 2 + static_cast<int>((rng >> 24) % 9) - 4;
      samples[b * 64 + static_cast<size_t>(i)] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
  }
  return samples;
}

template <typename Pass>
double best_ns_per_block(int runs, Pass pass) {
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    const double t = now_seconds();
    pass();
    best = std::min(best, now_seconds() - t);
  }
  return best * 1e9 / kBlocks;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[++i]));
  }
  const std::vector<uint8_t> samples = photo_samples();
  int32_t reciprocal[64];
  int16_t dequant16[64];
  for (int i = 0; i < 64; ++i) {
    const int32_t q = 2 + i / 4;  // a table near quality 85's
    reciprocal[i] = kestrum::quant_reciprocal(q);
    dequant16[i] = static_cast<int16_t>(q);
  }
  // The coefficients the inverse kernels take (natural order), from the portable forward kernel.
  std::vector<int16_t> reference_zz(kBlocks * 64), coef(kBlocks * 64);
  for (size_t b = 0; b < kBlocks; ++b) {
    kestrum::fdct_quant_block(&samples[b * 64], 8, reciprocal, &reference_zz[b * 64]);
    for (size_t k = 0; k < 64; ++k) {
      coef[b * 64 + kestrum::kZigZagToNatural[k]] = reference_zz[b * 64 + k];
    }
  }
  std::printf("%-8s %-9s %10s\n", "kernel", "name", "ns/block");
  kestrum::NamedFdctQuantKernel forward[5];
  const int32_t forward_count = kestrum::fdct_quant_kernels(forward, 5);
  std::vector<int16_t> zz(kBlocks * 64);
  for (int32_t k = 0; k < forward_count; ++k) {
    uint64_t sink = 0;
    const double ns = best_ns_per_block(runs, [&] {
      for (size_t b = 0; b < kBlocks; b += 2) {
        uint64_t nonzero[2];
        forward[k].kernel(&samples[b * 64], &samples[b * 64 + 64], 8, reciprocal, &zz[b * 64],
                          nonzero);
        sink += nonzero[0] + nonzero[1];
      }
    });
    if (zz != reference_zz || sink == 0) {
      std::fprintf(stderr, "forward %s: other coefficients than the portable kernel's\n",
                   forward[k].name);
      return 1;
    }
    std::printf("%-8s %-9s %10.2f\n", "forward", forward[k].name, ns);
  }
  kestrum::NamedIdctKernel inverse[4];
  const int32_t inverse_count = kestrum::idct_kernels(inverse, 4);
  std::vector<uint8_t> out(kBlocks * 64), reference_out(kBlocks * 64);
  for (size_t b = 0; b < kBlocks; ++b) {
    inverse[0].kernel(&coef[b * 64], dequant16, &reference_out[b * 64], 8);
  }
  for (int32_t k = 0; k < inverse_count; ++k) {
    const double ns = best_ns_per_block(runs, [&] {
      for (size_t b = 0; b < kBlocks; ++b) {
        inverse[k].kernel(&coef[b * 64], dequant16, &out[b * 64], 8);
      }
    });
    if (out != reference_out) {
      std::fprintf(stderr, "inverse %s: other samples than the portable kernel's\n",
                   inverse[k].name);
      return 1;
    }
    std::printf("%-8s %-9s %10.2f\n", "inverse", inverse[k].name, ns);
  }
  kestrum::NamedIdctPairKernel pairs[3];
  const int32_t pair_count = kestrum::idct_pair_kernels(pairs, 3);
  for (int32_t k = 0; k < pair_count; ++k) {
    const double ns = best_ns_per_block(runs, [&] {
      for (size_t b = 0; b < kBlocks; b += 2) {
        pairs[k].kernel(&coef[b * 64], dequant16, dequant16, &out[b * 64], &out[b * 64 + 64], 8);
      }
    });
    if (out != reference_out) {
      std::fprintf(stderr, "inverse pair %s: other samples than the portable kernel's\n",
                   pairs[k].name);
      return 1;
    }
    std::printf("%-8s %-9s %10.2f\n", "pair", pairs[k].name, ns);
  }
  return 0;
}
