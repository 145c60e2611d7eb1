// SPDX-License-Identifier: MIT
// The encoder's module-wide state (one instance, g_encoder) and its quantization tables.
#pragma once

#include <array>
#include <cstdint>

#include "common/code_path.h"
#include "common/records.h"

namespace kestrum {

struct EncoderState {
  // --- Set by the pipeline for each recode ---
  RecodePlan plan;              // how this encode runs
  ImageAttribute* attribute;    // the current record (meaningful during a call only)
  EncoderWorkspace* workspace;  // the current workspace
  int32_t image_width;          // frame width written into SOF0, 0..65535
  int32_t image_height;         // frame height written into SOF0
  int32_t aligned_width;        // image_width rounded up to 16; the Y plane stride
  int32_t aligned_height;       // image_height rounded up to 16
  bool is_exact_quality;        // the tables at the attribute's quality itself, not lowered

  // --- Set by JImageInit ---
  int32_t mcus_per_row;                               // aligned_width / 16
  int32_t mcu_rows;                                   // aligned_height / 16
  std::array<int32_t, 3> h_samp, v_samp;              // Y 2x2, Cb and Cr 1x1
  std::array<int32_t, 3> dc_table_sel, ac_table_sel;  // 0, 1, 1
  std::array<int32_t, 3> dc_pred;                     // last DC coded per component
  std::array<int32_t, 6> mcu_block_comp;              // 0, 0, 0, 0, 1, 2
  std::array<bool, 2> dqt_written;
  std::array<bool, 2> dht_dc_written, dht_ac_written;
  uint8_t* out_ptr;  // next byte of the stream buffer

  // --- Working tables (per encode: Tables K.1 and K.2 until setup_quant_tables scales them);
  // natural order, entries 1..255 ---
  std::array<int16_t, 64> luma_quant_table;
  std::array<int16_t, 64> chroma_quant_table;
  // Quantizer reciprocals of the working tables in zig-zag order (derived by setup_quant_tables).
  std::array<int32_t, 64> luma_reciprocal_zz;
  std::array<int32_t, 64> chroma_reciprocal_zz;
};

extern EncoderState g_encoder;

// Restores the encoder state of process start (working tables = Tables K.1, K.2).
// Writes: everything.
void reset_encoder_state() noexcept;

}  // namespace kestrum
