// SPDX-License-Identifier: MIT
// The recode plan: how one recode runs, chosen once per recode by the pipeline and copied into the
// decoder's and the encoder's state, where the stages read it. Every fast part is a switch of its
// own, so that the tests can run each alone against the reference path (every switch off, one
// thread); every combination gives the same bytes and messages.
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
  // a ring of two rows instead of the whole image (where the frame's rows can be written straight
  // into a 4:2:0 image; else the whole image as the other switches say). With two threads the
  // decoder's second thread, which transforms the rows, codes them too; the bytes are the row
  // coder's either way.
  bool is_streaming = true;
  // 1 or 2. With 2, the decoder transforms row R - 1 on a second thread while it entropy-decodes
  // row R (direct output only), and the row coder codes the lower half of the rows on a second
  // thread. No memory or no thread falls back to one thread with the same bytes.
  int32_t threads = 2;
};

// The reference path: every switch off, one thread.
RecodePlan reference_plan() noexcept;

// The plan the next recodes take: every fast part on, two threads where the machine has two cores
// or more, unless a test or the benchmark asked for another (set_recode_plan). The pipeline reads
// it once per recode, under the recode lock.
// Reads: the requested plan (under its own lock, so a test may set it from any thread).
RecodePlan requested_recode_plan() noexcept;
// Writes: the requested plan.
void set_recode_plan(const RecodePlan& plan) noexcept;

// Shorthands over the requested plan: every switch off (true) or on (false), the threads left as
// they are; and the threads alone (1 or 2).
// Reads/Writes: the requested plan.
void set_reference_path(bool reference) noexcept;
void set_worker_threads(int32_t threads) noexcept;

}  // namespace kestrum
