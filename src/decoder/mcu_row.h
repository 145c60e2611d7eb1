// SPDX-License-Identifier: MIT
// Decoding of one MCU row of a 4:2:0 scan into the full-resolution planes.
#pragma once

namespace kestrum {

// Decodes MCU row mcu_row_index into plane_y/cb/cr (stride image_w) and sets decoder_status 4.
// Reads: geometry, row_components, tables. Writes: coef_blocks, mcu_samples, row buffers, planes.
void decode_mcu_row() noexcept;

}  // namespace kestrum
