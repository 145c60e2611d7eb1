// SPDX-License-Identifier: MIT
// The picture oracle: our decoder's planes against libjpeg's of the same input, wherever libjpeg
// reads the input without a warning as an 8-bit sequential Huffman-coded 4:2:0 YCbCr frame.
#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "common/planar_layout.h"
#include "decoder/decode_driver.h"
#include "fuzz_entries.h"
#include "libjpeg_errors.h"
#include "platform/console_log.h"

namespace kestrum::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// What libjpeg reads of the input: the frame, each block's bound on its samples, and the planes.
struct LibjpegPicture {
  int width = 0, height = 0;
  // Per component, per block in raster order: true where the block's dequantized coefficients
  // keep every sample of its inverse transform within [-512, 511] before the level shift (the
  // sum of their magnitudes at most 4 x 511), so that libjpeg's range limit clamps rather than
  // wraps and no coefficient reaches the 12-bit limit of the modelled hardware.
  std::vector<bool> in_range[3];
  Bytes planes[3];        // the component's samples, width rounded up to its blocks
  size_t stride[3] = {};  // 8 samples per block across
};

// A source that hands libjpeg the input a kilobyte at a time. libjpeg-turbo's fast Huffman path,
// which it takes where a whole buffer of data is in reach, reads FF FF 00 in entropy-coded data as
// a marker where its own byte-wise path (and T.81's fill bytes) read one data byte FF; with no
// more than a kilobyte in reach it always takes the byte-wise path, as djpeg does on a file.
struct ChunkSource {
  jpeg_source_mgr manager;
  const uint8_t* data;
  size_t size, offset;
};

constexpr size_t kChunkBytes = 1024;
constexpr JOCTET kEndOfImage[2] = {0xFF, 0xD9};

boolean chunk_fill(j_decompress_ptr info) {
  auto* src = reinterpret_cast<ChunkSource*>(info->src);
  if (src->offset >= src->size) {
    // The data ended: warn, as jpeg_mem_src does.
    ++reinterpret_cast<LibjpegErrors*>(info->err)->warnings;
    src->manager.next_input_byte = kEndOfImage;
    src->manager.bytes_in_buffer = 2;
    return TRUE;
  }
  const size_t n = std::min(kChunkBytes, src->size - src->offset);
  src->manager.next_input_byte = src->data + src->offset;
  src->manager.bytes_in_buffer = n;
  src->offset += n;
  return TRUE;
}

void chunk_skip(j_decompress_ptr info, long bytes) {
  auto* src = reinterpret_cast<ChunkSource*>(info->src);
  while (bytes > 0) {
    if (src->manager.bytes_in_buffer == 0) chunk_fill(info);
    const size_t n = std::min(static_cast<size_t>(bytes), src->manager.bytes_in_buffer);
    src->manager.next_input_byte += n;
    src->manager.bytes_in_buffer -= n;
    bytes -= static_cast<long>(n);
  }
}

// The header libjpeg read, up to the first scan, is one the library decodes alike: an 8-bit
// sequential Huffman-coded 4:2:0 YCbCr frame whose first scan's Huffman tables were all defined
// (libjpeg-turbo puts the Annex K tables in for those a file leaves out, as Motion-JPEG frames do;
// the modelled hardware decodes nothing with a table it was never given).
bool is_library_frame(const jpeg_decompress_struct& c) {
  for (int i = 0; i < c.comps_in_scan; ++i) {
    const jpeg_component_info* comp = c.cur_comp_info[i];
    if (comp == nullptr || comp->dc_tbl_no < 0 || comp->dc_tbl_no >= NUM_HUFF_TBLS ||
        comp->ac_tbl_no < 0 || comp->ac_tbl_no >= NUM_HUFF_TBLS ||
        c.dc_huff_tbl_ptrs[comp->dc_tbl_no] == nullptr ||
        c.ac_huff_tbl_ptrs[comp->ac_tbl_no] == nullptr)
      return false;
  }
  if (c.progressive_mode || c.arith_code || c.data_precision != 8 || c.num_components != 3 ||
      c.jpeg_color_space != JCS_YCbCr)
    return false;
  const jpeg_component_info* comp = c.comp_info;
  return comp[0].h_samp_factor == 2 && comp[0].v_samp_factor == 2 && comp[1].h_samp_factor == 1 &&
         comp[1].v_samp_factor == 1 && comp[2].h_samp_factor == 1 && comp[2].v_samp_factor == 1;
}

// One libjpeg decompression of the input, handed over a kilobyte at a time: read runs after
// jpeg_read_header. False when libjpeg fails or warns, or read says no.
template <typename Read>
bool decompress(const uint8_t* data, size_t size, Read read) {
  jpeg_decompress_struct c{};
  LibjpegErrors failure{};
  c.err = failure.manager();
  const auto nothing = [](j_decompress_ptr) {};
  const jpeg_source_mgr manager{nullptr, 0, nothing, chunk_fill, chunk_skip, jpeg_resync_to_restart,
                                nothing};
  ChunkSource source{manager, data, size, 0};
  if (setjmp(failure.jump) != 0) {
    jpeg_destroy_decompress(&c);
    return false;
  }
  jpeg_create_decompress(&c);
  c.src = &source.manager;
  const bool is_read = jpeg_read_header(&c, TRUE) == JPEG_HEADER_OK && read(c);
  jpeg_destroy_decompress(&c);
  return is_read && failure.warnings == 0;
}

// The coefficients: which blocks are in range. False where the frame is not the library's.
bool read_block_ranges(jpeg_decompress_struct& c, uint64_t max_frame_px, LibjpegPicture* out) {
  if (!is_library_frame(c) || uint64_t{c.image_width} * c.image_height > max_frame_px) return false;
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&c);
  for (int ci = 0; ci < 3; ++ci) {
    const jpeg_component_info& comp = c.comp_info[ci];
    const JQUANT_TBL* table = comp.quant_table;
    const size_t across = comp.width_in_blocks, down = comp.height_in_blocks;
    out->in_range[ci].assign(across * down, false);
    for (size_t row = 0; row < down && table != nullptr; ++row) {
      JBLOCKARRAY rows =
          c.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&c), coefficients[ci],
                                    static_cast<JDIMENSION>(row), 1, FALSE);
      for (size_t col = 0; col < across; ++col) {
        int64_t magnitude = 0;
        for (int k = 0; k < DCTSIZE2; ++k)
          magnitude += std::abs(int64_t{rows[0][col][k]} * table->quantval[k]);
        out->in_range[ci][row * across + col] = magnitude <= 4 * 511;
      }
    }
  }
  jpeg_finish_decompress(&c);
  return true;
}

// The planes in raw-data mode (accurate integer transform), as blocks of whole MCUs.
bool read_planes(jpeg_decompress_struct& c, LibjpegPicture* out) {
  c.raw_data_out = TRUE;
  c.dct_method = JDCT_ISLOW;
  c.out_color_space = JCS_YCbCr;
  jpeg_start_decompress(&c);
  out->width = static_cast<int>(c.output_width);
  out->height = static_cast<int>(c.output_height);
  const JDIMENSION mcu_rows = (c.output_height + 15) / 16;
  for (int ci = 0; ci < 3; ++ci) {
    out->stride[ci] = size_t{c.comp_info[ci].width_in_blocks} * DCTSIZE;
    out->planes[ci].assign(out->stride[ci] * (ci == 0 ? 16 : 8) * mcu_rows, 0);
  }
  while (c.output_scanline < c.output_height) {
    const JDIMENSION mcu_row = c.output_scanline / 16;
    JSAMPROW rows[3][16];
    for (int ci = 0; ci < 3; ++ci) {
      const size_t lines = ci == 0 ? 16 : 8;
      for (size_t r = 0; r < lines; ++r) {
        rows[ci][r] = out->planes[ci].data() + (size_t{mcu_row} * lines + r) * out->stride[ci];
      }
    }
    JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
    if (jpeg_read_raw_data(&c, planes, 16) == 0) break;
  }
  jpeg_finish_decompress(&c);
  return true;
}

bool reserve_image(ImageBuffer& image, size_t bytes) {
  auto* storage = static_cast<Bytes*>(image.owner);
  storage->assign(bytes, 0);
  image.data = storage->data();
  image.capacity_bytes = bytes;
  return true;
}

void discard(const char*, void*) {}

}  // namespace

PictureComparison compare_picture(const uint8_t* data, size_t size,
                                  uint64_t max_frame_px) noexcept {
  PictureComparison result;
  LibjpegPicture ref;
  // Only frames libjpeg has read are decoded, so our image is no larger than its frame.
  if (size > UINT32_MAX ||
      !decompress(
          data, size,
          [&](jpeg_decompress_struct& c) { return read_block_ranges(c, max_frame_px, &ref); }) ||
      !decompress(data, size, [&](jpeg_decompress_struct& c) { return read_planes(c, &ref); }))
    return result;
  result.is_comparable = true;
  Bytes image;
  ImageBuffer buffer{nullptr, 0, reserve_image, &image};
  int32_t width = 0, height = 0;
  open_recode_console(ConsoleTarget{discard, nullptr});
  result.our_status = decode_jpeg_memory(data, static_cast<uint32_t>(size), &width, &height, buffer,
                                         requested_recode_plan());
  close_recode_console();
  if (result.our_status != 0) return result;
  result.is_same_size = width == ref.width && height == ref.height;
  if (!result.is_same_size) return result;
  const auto layout_w = static_cast<size_t>(width), layout_h = static_cast<size_t>(height);
  const Planar420Layout layout = planar420_layout(layout_w, layout_h);
  const size_t offsets[3] = {0, layout.cb_offset, layout.cr_offset};
  const size_t strides[3] = {layout.luma_stride, layout.chroma_stride, layout.chroma_stride};
  for (size_t ci = 0; ci < 3; ++ci) {
    // The component's own samples: chroma covers half the image, rounded up.
    const size_t cw = ci == 0 ? layout_w : (layout_w + 1) / 2;
    const size_t ch = ci == 0 ? layout_h : (layout_h + 1) / 2;
    for (size_t block = 0; block < ref.in_range[ci].size(); ++block) {
      if (!ref.in_range[ci][block]) {
        ++result.blocks_skipped;
        continue;
      }
      ++result.blocks_compared;
      const size_t across = ref.stride[ci] / 8, bx = block % across, by = block / across;
      for (size_t y = by * 8; y < std::min(ch, by * 8 + 8); ++y) {
        for (size_t x = bx * 8; x < std::min(cw, bx * 8 + 8); ++x) {
          const int diff = std::abs(image[offsets[ci] + y * strides[ci] + x] -
                                    ref.planes[ci][y * ref.stride[ci] + x]);
          if (diff > result.max_diff) {
            result.max_diff = diff;
            result.worst_component = static_cast<int>(ci);
            result.worst_x = static_cast<int>(x);
            result.worst_y = static_cast<int>(y);
          }
        }
      }
    }
  }
  return result;
}

}  // namespace kestrum::fuzz
