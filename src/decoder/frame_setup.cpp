// SPDX-License-Identifier: MIT
// Frame checks of the modelled hardware (sizes 48..8192, three components, factors 1..2), MCU
// geometry of the first scan (T.81 A.2.2, A.2.3) and binding of its tables.
#include "decoder/frame_setup.h"

#include "common/messages.h"
#include "decoder/decoder_state.h"
#include "decoder/huffman_decode.h"
#include "decoder/markers.h"
#include "platform/console_log.h"

namespace kestrum {
namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

uint32_t stored_components() {
  const int32_t n = g_decoder.num_components;
  return static_cast<uint32_t>(n < kMaxFrameComponents ? (n < 0 ? 0 : n) : kMaxFrameComponents);
}

}  // namespace

void read_headers() noexcept {
  DecoderState& d = g_decoder;
  if (d.image_done) {
    d.decoder_status = kProgressEndOfImage;
    return;
  }
  parse_markers();
  if (d.decoder_status != kProgressScanHeader) {
    if (d.decoder_status == kProgressEndOfImage) d.image_done = true;
    return;
  }
  if (!d.setup_pending) {
    console_line(msg::kLaterScan);
    return;
  }
  if (d.image_h > 8192 || d.image_w > 8192) console_line(msg::kSizeRange);
  if (d.image_h < 48 || d.image_w < 48) console_line(msg::kSizeRange);
  if (d.num_components > 3) console_line(msg::kComponentRange);
  d.max_h_samples = 1;
  d.max_v_samples = 1;
  const uint32_t n = stored_components();
  for (uint32_t i = 0; i < n; ++i) {
    const FrameComponent& c = d.components[i];
    if (c.h_samples < 1 || c.h_samples > 2 || c.v_samples < 1 || c.v_samples > 2) {
      console_line(msg::kSamplingRange);
    }
    if (static_cast<int32_t>(c.h_samples) > d.max_h_samples)
      d.max_h_samples = static_cast<int32_t>(c.h_samples);
    if (static_cast<int32_t>(c.v_samples) > d.max_v_samples)
      d.max_v_samples = static_cast<int32_t>(c.v_samples);
  }
  for (uint32_t i = 0; i < n; ++i) d.components[i].bound_quant = nullptr;
  const uint32_t max_h = static_cast<uint32_t>(d.max_h_samples);
  const uint32_t max_v = static_cast<uint32_t>(d.max_v_samples);
  const uint32_t w = static_cast<uint32_t>(d.image_w);
  const uint32_t h = static_cast<uint32_t>(d.image_h);
  for (uint32_t i = 0; i < n; ++i) {
    FrameComponent& c = d.components[i];
    c.blocks_across = ceil_div(c.h_samples * w, 8 * max_h);
    c.blocks_down = ceil_div(c.v_samples * h, 8 * max_v);
  }
  d.setup_pending = false;
  d.mcu_rows = ceil_div(h, 8 * max_v);
}

void setup_scan_geometry() noexcept {
  DecoderState& d = g_decoder;
  const int32_t count = d.scan_component_count;
  if (count < 1 || count > kMaxScanComponents) {
    fail(kErrCorruptStream, msg::kScanCountRange);
    return;
  }
  const uint32_t scan_count = static_cast<uint32_t>(count);
  for (uint32_t j = 0; j < scan_count; ++j) {
    const FrameComponent* f = d.scan_components[j];
    if (f == nullptr) {
      fail(kErrCorruptStream, msg::kScanCountRange);
      return;
    }
    if (f->h_samples == 0 || f->v_samples == 0) {
      fail(kErrCorruptStream, msg::kSamplingZero);
      return;
    }
  }
  if (scan_count == 1) {
    FrameComponent& f = *d.scan_components[0];
    f.mcu_blocks_across = 1;
    f.mcu_blocks_down = 1;
    f.mcu_block_count = 1;
    f.mcu_pixel_width = 8;
    f.edge_blocks_across = 1;
    d.mcu_columns = f.blocks_across;
    const uint32_t rem = f.blocks_down % f.v_samples;
    f.edge_blocks_down = rem == 0 ? f.v_samples : rem;
    d.mcu_block_total = 1;
    d.block_component[0] = 0;
  } else {
    d.mcu_columns =
        ceil_div(static_cast<uint32_t>(d.image_w), 8 * static_cast<uint32_t>(d.max_h_samples));
    d.mcu_block_total = 0;
    for (uint32_t j = 0; j < scan_count; ++j) {
      FrameComponent& f = *d.scan_components[j];
      f.mcu_blocks_across = f.h_samples;
      f.mcu_blocks_down = f.v_samples;
      f.mcu_block_count = f.h_samples * f.v_samples;
      f.mcu_pixel_width = 8 * f.h_samples;
      const uint32_t rem_a = f.blocks_across % f.mcu_blocks_across;
      f.edge_blocks_across = rem_a == 0 ? f.mcu_blocks_across : rem_a;
      const uint32_t rem_d = f.blocks_down % f.mcu_blocks_down;
      f.edge_blocks_down = rem_d == 0 ? f.mcu_blocks_down : rem_d;
      if (static_cast<uint32_t>(d.mcu_block_total) + f.mcu_block_count > kMaxMcuBlocks) {
        fail(kErrCorruptStream, msg::kTooManyBlocks);
        return;
      }
      for (uint32_t b = 0; b < f.mcu_block_count; ++b) {
        d.block_component[static_cast<size_t>(d.mcu_block_total) + b] = j;
      }
      d.mcu_block_total += static_cast<int32_t>(f.mcu_block_count);
    }
  }
  if (d.mcu_columns == 0) {
    fail(kErrCorruptStream, msg::kNoMcuColumns);
    return;
  }
  // A height of 0 would need a DNL segment to give it; that is not supported, and an image of no
  // rows is no image.
  if (d.mcu_rows == 0) {
    fail(kErrCorruptStream, msg::kNoMcuRows);
    return;
  }
  for (uint32_t j = 0; j < scan_count; ++j) {
    FrameComponent& f = *d.scan_components[j];
    if (f.bound_quant != nullptr) continue;
    if (f.quant_sel > 3) {
      fail(kErrCorruptStream, msg::kQuantSelector);
      return;
    }
    f.bound_quant = d.quant_tables[f.quant_sel].data();
  }
  bind_scan_tables();
  if (d.error != 0) return;
  const uint32_t n = stored_components();
  for (uint32_t i = 0; i < n; ++i) {
    FrameComponent& f = d.components[i];
    if (f.bound_quant == nullptr) continue;
    for (size_t k = 0; k < 64; ++k) f.dequant[k] = f.bound_quant[k];
  }
}

void bind_scan_tables() noexcept {
  DecoderState& d = g_decoder;
  const uint32_t scan_count = static_cast<uint32_t>(d.scan_component_count);
  // Components that share a table (the two chroma ones, as a rule) build it once.
  uint32_t dc_built = 0, ac_built = 0;
  for (uint32_t j = 0; j < scan_count; ++j) {
    const FrameComponent& f = *d.scan_components[j];
    if (f.dc_table_sel >= kTableSlots || f.ac_table_sel >= kTableSlots) {
      fail(kErrCorruptStream, msg::kHuffmanSelector);
      return;
    }
    const uint32_t dc_bit = 1u << f.dc_table_sel, ac_bit = 1u << f.ac_table_sel;
    const char* problem = nullptr;
    if ((dc_built & dc_bit) == 0) {
      problem =
          build_decode_table(d.dc_bits[f.dc_table_sel].data(), d.dc_values[f.dc_table_sel].data(),
                             true, d.plan.is_fast_entropy, d.dc_decode_tables[f.dc_table_sel]);
      dc_built |= dc_bit;
    }
    if (problem == nullptr && (ac_built & ac_bit) == 0) {
      problem =
          build_decode_table(d.ac_bits[f.ac_table_sel].data(), d.ac_values[f.ac_table_sel].data(),
                             false, d.plan.is_fast_entropy, d.ac_decode_tables[f.ac_table_sel]);
      ac_built |= ac_bit;
    }
    if (problem != nullptr) {
      fail(kErrCorruptStream, problem);
      return;
    }
    d.last_dc[j] = 0;
  }
  for (size_t b = 0; b < static_cast<size_t>(d.mcu_block_total); ++b) {
    const FrameComponent& f = *d.scan_components[d.block_component[b]];
    d.block_dc_table[b] = &d.dc_decode_tables[f.dc_table_sel];
    d.block_ac_table[b] = &d.ac_decode_tables[f.ac_table_sel];
  }
  d.bit_buffer = 0;
  d.bit_count = 0;
  d.clean_end = 0;
  d.entropy_exhausted = false;
  d.mcus_to_restart = static_cast<int32_t>(d.restart_interval);
}

}  // namespace kestrum
