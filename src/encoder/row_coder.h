// SPDX-License-Identifier: MIT
// The encoder's fast path: MCU rows coded into a growable buffer of their own with a 64-bit bit
// accumulator, so that two threads can each code a run of rows (every row starts a restart
// interval, T.81 F.1.2.1: predictors from 0) and the runs are joined in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/planar_layout.h"
#include "encoder/stream_sink.h"

namespace kestrum {

// Bytes of rows [first_row, end_row) coded with the restart marker that follows each row but
// the image's last (EOI is the sink's finish).
struct RowRun : StreamSink {
  int32_t failed_row = -1, failed_column = -1;  // MCU where the buffer could not grow, -1 = none
};

// What the row coder needs of one encode, copied from g_encoder before any thread starts: the
// runs of rows are coded from this snapshot and never read the module state.
struct RowCodingJob {
  const uint8_t* image;    // the PlanarYuv420Image, or the one-pass recode's ring of MCU rows
  Planar420Layout layout;  // of image: the aligned size, or the ring's 16 * ring_rows lines
  int32_t ring_rows;       // MCU rows image holds, row R at slot R % ring_rows (or mcu_rows)
  int32_t mcus_per_row, mcu_rows;
  std::array<int32_t, 6> mcu_block_comp;              // component of each block of an MCU
  std::array<int32_t, 3> dc_table_sel, ac_table_sel;  // per component
  std::array<int32_t, 64> luma_reciprocal,
      chroma_reciprocal;  // quantizer reciprocals, natural order
  bool is_simd;           // the plan's kernel set
};

// The snapshot of the encode JImageInit configured, over the whole image.
// Reads: g_encoder (geometry, selectors, reciprocals, plan.is_simd, attribute->image_buffer).
RowCodingJob row_coding_job() noexcept;

// Codes the rows of job into run, which may hold a buffer already (it grows as needed). Returns
// false when it cannot grow (failed_row, failed_column then say where). Reads only job, so runs
// may be coded concurrently.
bool code_rows(const RowCodingJob& job, int32_t first_row, int32_t end_row, RowRun& run) noexcept;

}  // namespace kestrum
