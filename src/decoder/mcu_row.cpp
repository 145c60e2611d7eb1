// SPDX-License-Identifier: MIT
// One MCU row: entropy decode, inverse transform, staging in row buffers and the copy into the
// planes, chroma replicated 2x2. The planes have stride image_w while padded_width samples are
// written per line, so the columns past the image width spill into the next line; the write
// order fixes what remains there and so what the padding columns of the output hold.
#include "decoder/mcu_row.h"

#include <cstring>

#include "decoder/decoder_state.h"
#include "decoder/huffman_decode.h"
#include "decoder/idct.h"

namespace kestrum {

void decode_mcu_row() noexcept {
  DecoderState& d = g_decoder;
  const size_t P = static_cast<size_t>(d.padded_width);
  const size_t W = static_cast<size_t>(d.image_w);
  const size_t R = d.mcu_row_index;
  const size_t components = static_cast<size_t>(d.num_components);
  const RowComponent& luma = d.row_components[0];
  const size_t chroma_stride = static_cast<size_t>(d.mcu_columns) * 8;
  for (size_t m = 0; m < d.mcu_columns; ++m) {
    std::memset(d.coef_blocks.data(), 0, static_cast<size_t>(d.mcu_block_total) * sizeof(d.coef_blocks[0]));
    decode_one_mcu();
    size_t n = 0;
    for (size_t c = 0; c < components; ++c) {
      const RowComponent& rc = d.row_components[c];
      for (size_t r = 0; r < rc.mcu_blocks_down; ++r) {
        for (size_t k = 0; k < rc.mcu_blocks_across; ++k) {
          idct_block(d.coef_blocks[n].data(), rc.dequant, &d.mcu_samples[64 * (4 * rc.index + 2 * r + k)]);
          ++n;
        }
      }
    }
    const size_t h = luma.mcu_blocks_across;
    for (size_t r = 0; r < luma.mcu_blocks_down; ++r) {
      for (size_t k = 0; k < h; ++k) {
        const uint8_t* block = &d.mcu_samples[64 * (2 * r + k)];
        for (size_t j = 0; j < 8; ++j) {
          std::memcpy(&d.luma_row_buffer[(8 * r + j) * P + m * 8 * h + 8 * k], block + 8 * j, 8);
        }
      }
    }
    if (components == 3) {
      for (size_t j = 0; j < 8; ++j) {
        std::memcpy(&d.chroma_row_buffer[j * chroma_stride + 8 * m], &d.mcu_samples[64 * 4 + 8 * j], 8);
        std::memcpy(&d.chroma_row_buffer[8 * P + j * chroma_stride + 8 * m], &d.mcu_samples[64 * 8 + 8 * j], 8);
      }
    }
  }
  const size_t lines = luma.mcu_blocks_down == 1 ? 8 : 16;
  for (size_t j = 0; j < lines; ++j) {
    std::memcpy(&d.plane_y[(lines * R + j) * W], &d.luma_row_buffer[j * P], P);
  }
  if (components == 3 && d.sampling_layout == SamplingLayout::kYcbcr411) {
    const size_t half = P / 2;
    for (size_t i = 0; i < 8 * half; ++i) {
      const size_t y = 8 * R + i / half;
      const size_t x = i % half;
      const uint8_t a = d.chroma_row_buffer[i];
      const uint8_t b = d.chroma_row_buffer[8 * P + i];
      const size_t top = 2 * y * W + 2 * x;
      const size_t bottom = (2 * y + 1) * W + 2 * x;
      d.plane_cb[top] = a;
      d.plane_cb[top + 1] = a;
      d.plane_cb[bottom] = a;
      d.plane_cb[bottom + 1] = a;
      d.plane_cr[top] = b;
      d.plane_cr[top + 1] = b;
      d.plane_cr[bottom] = b;
      d.plane_cr[bottom + 1] = b;
    }
  }
  d.decoder_status = 4;
}

}  // namespace kestrum
