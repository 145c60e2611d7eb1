// SPDX-License-Identifier: MIT
// Decoding of one MCU row of a 4:2:0 scan into the full-resolution planes.
#pragma once

#include <cstdint>

namespace kestrum {

// Decodes MCU row mcu_row_index into plane_y/cb/cr (stride image_w), or straight into
// direct_output, and sets decoder_status to kProgressRowDecoded.
// With a row_stream each row completes the one before it, which is handed over as final (the
// last row as well).
// Reads: geometry, row_components, tables, plan, row_stream, ring_rows. Writes: coef_blocks,
// mcu_samples, row buffers, planes or direct_output, row_pipeline (started at row 0),
// decoder_status.
void decode_mcu_row() noexcept;

// Waits until the second thread has finished every row written (its padding columns, its
// hand-over) and ends that thread; nothing to do when one thread decoded the rows. Called after
// the last row and on every exit.
// Reads/Writes: row_pipeline (and through it direct_output's rows).
void finish_mcu_rows() noexcept;

// How the two threads of the last decode that ran two spent it: the seconds each waited for the
// other (the caller's thread, which entropy-decodes, for a free coefficient row; the worker, which
// transforms, finishes and hands over the rows, for a decoded row), and the seconds from the first
// row to the end of the last. All zero until a decode runs two threads. For the benchmark.
struct RowPipelineWaits {
  double decoder_waiting_s = 0;
  double worker_waiting_s = 0;
  double total_s = 0;
  uint32_t rows = 0;
  uint32_t rows_transformed_by_caller = 0;  // where the worker was behind
};
// Reads: the last two-thread decode's record (written by finish_mcu_rows).
RowPipelineWaits last_row_pipeline_waits() noexcept;

// True when rows can be written straight into the output image with the bytes the planes would
// give: MCU rows (one or more) covering the padded image, scan components in frame order, 2x2 luma,
// and at least 16 columns (see decode_mcu_row). Reads: row_components, image_w, mcu_columns,
// mcu_rows, padded_width, padded_height.
bool direct_rows_possible() noexcept;

}  // namespace kestrum
