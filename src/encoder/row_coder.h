// SPDX-License-Identifier: MIT
// The encoder's fast path: MCU rows coded into a growable buffer of their own with a 64-bit bit
// accumulator, so that two threads can each code a run of rows (every row starts a restart
// interval, T.81 F.1.2.1: predictors from 0) and the runs are joined in order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Bytes of rows [first_row, end_row) coded with the restart marker that follows each row but
// the image's last (EOI is the caller's). data is obtained through the recode heap.
struct RowRun {
  uint8_t* data = nullptr;
  size_t length = 0;
  size_t capacity_bytes = 0;
  int32_t failed_row = -1, failed_column = -1;  // MCU where the buffer could not grow, -1 = none
};

// Codes the rows into run, which may hold a buffer already (it grows as needed). Returns
// false when it cannot grow (failed_row, failed_column then say where).
// Reads: g_encoder geometry, tables and attribute->image_buffer (read-only, so runs may be coded
// concurrently).
bool code_rows(int32_t first_row, int32_t end_row, RowRun& run) noexcept;

}  // namespace kestrum
