// SPDX-License-Identifier: MIT
// The recode plan: how one recode runs, read once per recode by the pipeline from the process
// state and copied into the decoder's and the encoder's state, where the stages read it. Every fast
// part is a switch of its own, so that the tests can run each alone against the reference path
// (every switch off, one thread); every combination gives the same bytes and messages.
#pragma once

#include <cstdint>

namespace kestrum {

struct RecodePlan {
  // Decoder: the 64-bit bit buffer with 11-bit lookups for MCUs that cannot reach a marker (else
  // the bit-exact reader for every MCU).
  bool is_fast_entropy = true;
  // Decoder: MCU rows written straight into the caller's image where the frame's geometry allows
  // (else the full-resolution planes, then the copy-out at 4:2:0).
  bool is_direct_output = true;
  // Both: the fastest transform kernels the processor runs, AVX2 or SSE2 (else the portable ones).
  bool is_simd = true;
  // Encoder: whole MCU rows coded into buffers of their own with combined code tables (else the
  // MCU walk through the module-wide bit writer).
  bool is_row_coder = true;
  // Both: the recode in one pass, each MCU row encoded once the decoder has made it final, through
  // a ring of a few rows instead of the whole image (where the frame's rows can be written straight
  // into a 4:2:0 image; else the whole image as the other switches say). With two threads the
  // decoder's second thread, which finishes the rows, codes them too; the bytes are the row
  // coder's either way.
  bool is_streaming = true;
  // 1 or 2. With 2, the decoder transforms and finishes row R - 1 on a second thread (its
  // padding columns, and the one-pass recode's coding) while it entropy-decodes row R (direct
  // output only), and the row coder codes the lower half of the rows on a second thread. No memory
  // or no thread falls back to one thread with the same bytes.
  int32_t threads = 2;
};

// The reference path: every switch off, one thread.
constexpr RecodePlan reference_plan() noexcept {
  RecodePlan plan;
  plan.is_fast_entropy = false;
  plan.is_direct_output = false;
  plan.is_simd = false;
  plan.is_row_coder = false;
  plan.is_streaming = false;
  plan.threads = 1;
  return plan;
}

}  // namespace kestrum
