// SPDX-License-Identifier: MIT
// Frame validation, scan geometry and table binding (T.81 A.2 MCU structure, F.2.2.3 tables).
#pragma once

namespace kestrum {

// Runs the marker loop; on the first scan checks the frame and derives block counts and mcu_rows.
// Reads/Writes: decoder_status, image_done, setup_pending, max_*_samples, components, mcu_rows.
void read_headers() noexcept;

// Derives the MCU layout of the scan, binds quantization and Huffman tables, widens dequant.
// Reads: scan fields, components. Writes: mcu_columns, mcu_block_total, block_component,
// component MCU fields, bound_quant, dequant, decode tables, entropy state; error on refusal.
void setup_scan_geometry() noexcept;

// Builds the scan's Huffman tables, binds them to the MCU's blocks and resets the entropy decoder.
// Reads: scan_components, dc/ac bits and values, plan. Writes: decode tables, block_*_table,
// last_dc, bit_buffer, bit_count, entropy_exhausted, mcus_to_restart.
void bind_scan_tables() noexcept;

}  // namespace kestrum
