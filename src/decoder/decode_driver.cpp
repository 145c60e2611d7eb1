// SPDX-License-Identifier: MIT
// Decode driver: header pass, frame setup, the 4:2:0-only layout check, MCU rows
// into full-resolution planes, the trailing header passes, and the copy-out at 4:2:0.
#include "decoder/decode_driver.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "common/jpeg_tables.h"
#include "common/messages.h"
#include "common/planar_layout.h"
#include "decoder/decoder_state.h"
#include "decoder/frame_setup.h"
#include "decoder/huffman_decode.h"
#include "decoder/mcu_row.h"
#include "platform/console_log.h"
#include "platform/file_io.h"
#include "platform/heap.h"

namespace kestrum {
namespace {

void release_buffers() {
  DecoderState& d = g_decoder;
  finish_mcu_rows();
  heap_free(d.plane_y);
  heap_free(d.plane_cb);
  heap_free(d.plane_cr);
  heap_free(d.luma_row_buffer);
  heap_free(d.chroma_row_buffer);
  d.plane_y = d.plane_cb = d.plane_cr = nullptr;
  d.luma_row_buffer = d.chroma_row_buffer = nullptr;
  d.source_data = nullptr;
  d.direct_output = nullptr;
}

int32_t finish(int32_t code) {
  release_buffers();
  return code;
}

struct Factors {
  uint32_t h, v;
};
bool is(Factors f, uint32_t h, uint32_t v) { return f.h == h && f.v == v; }

// Layout classification from the factor copies; prints its messages. True for 4:2:0.
bool classify_layout() {
  DecoderState& d = g_decoder;
  const Factors c0{d.samp_h0, d.samp_v0}, c1{d.samp_h1, d.samp_v1}, c2{d.samp_h2, d.samp_v2};
  const bool chroma11 = is(c1, 1, 1) && is(c2, 1, 1);
  const bool chroma00 = is(c1, 0, 0) && is(c2, 0, 0);
  const char* first = nullptr;
  if (is(c0, 2, 2) && chroma11) {
    d.sampling_layout = SamplingLayout::kYcbcr411;
    console_log("%s", msg::kLayout411);
    return true;
  }
  if (is(c0, 2, 2) && is(c1, 1, 2) && is(c2, 1, 2)) {
    first = msg::kLayout422;
  } else if ((is(c0, 2, 2) || is(c0, 1, 1)) && chroma00) {
    first = msg::kLayout100;
  } else if (is(c0, 2, 1) && chroma11) {
    first = msg::kLayout211h;
  } else if (is(c0, 1, 1) && chroma11) {
    first = msg::kLayout111;
  } else if (is(c0, 1, 2) && chroma11) {
    first = msg::kLayout211v;
  } else if (!(is(c0, 2, 2) || is(c0, 2, 1) || is(c0, 1, 1) || is(c0, 1, 2))) {
    console_log("%s", msg::kUnrecognised);
    return false;
  }
  if (first != nullptr) console_log("%s", first);
  console_log("%s", msg::kOnly420);
  return false;
}

// The row decoder needs one interleaved scan holding each of the three frame components once.
bool scan_holds_every_component() {
  const DecoderState& d = g_decoder;
  if (d.num_components != 3 || d.scan_component_count != 3) return false;
  bool seen[3] = {false, false, false};
  uint32_t blocks = 0;
  for (size_t c = 0; c < 3; ++c) {
    const FrameComponent* f = d.scan_components[c];
    if (f == nullptr || f->index >= 3 || seen[f->index]) return false;
    seen[f->index] = true;
    blocks += f->mcu_blocks_across * f->mcu_blocks_down;
  }
  return blocks == static_cast<uint32_t>(d.mcu_block_total);
}

// Sizes and obtains the planes, row buffers and the caller's image for a 4:2:0 frame.
int32_t allocate_frame(ImageBuffer& image) {
  DecoderState& d = g_decoder;
  const uint64_t w = static_cast<uint32_t>(d.image_w);
  const uint64_t p = (w + 15) & ~uint64_t{15};
  const uint64_t rows = d.mcu_rows > 0 ? d.mcu_rows : 1;
  // The last MCU row writes up to plane index (16 * rows - 1) * w + p - 1.
  const uint64_t plane_bytes = (16 * rows - 1) * w + p;
  const uint64_t padded_h =
      (static_cast<uint64_t>(static_cast<uint32_t>(d.image_h)) + 15) & ~uint64_t{15};
  const uint64_t image_bytes = p * padded_h * 3 / 2;
  if (plane_bytes > kPlaneCapacityBytes || image_bytes > SIZE_MAX) {
    fail(kErrFrameTooLarge, msg::kFrameTooLarge);
    return d.error;
  }
  d.padded_width = static_cast<int32_t>(p);
  d.padded_height = static_cast<int32_t>(padded_h);
  d.decoded_w = d.image_w;
  d.decoded_h = d.image_h;
  // The fast entropy decoder's reach covers MCUs of at most kFastMcuBlocks blocks, as every
  // 4:2:0 frame has (the only layout decoded).
  assert(!d.plan.is_fast_entropy || d.mcu_block_total <= kFastMcuBlocks);
  // Where no SOI opened the stream, the marker walk after the scan reads byte pairs from the byte
  // where the entropy decoder stopped, so that byte must be the exact reader's. The fast decoder
  // loads whole words ahead, and where it hands over its reads stop elsewhere; with an SOI every
  // byte from there to the next marker is data, skipped alike.
  if (!d.soi_seen) d.plan.is_fast_entropy = false;
  d.ring_rows = d.mcu_rows;
  if (d.row_stream != nullptr && direct_rows_possible()) {
    d.direct_output = d.row_stream->open(d.row_stream->self, d.decoded_w, d.decoded_h,
                                         d.padded_width, d.mcu_rows, &d.ring_rows);
    if (d.direct_output == nullptr) fail(kErrFrameTooLarge, msg::kNoFrameMemory);
    assert(d.direct_output == nullptr || d.ring_rows >= 2);
    return d.error;
  }
  if (image.capacity_bytes < image_bytes &&
      (image.reserve == nullptr || !image.reserve(image, static_cast<size_t>(image_bytes)))) {
    fail(kErrFrameTooLarge, image.reserve == nullptr ? msg::kFrameTooLarge : msg::kNoFrameMemory);
    return d.error;
  }
  if (d.plan.is_direct_output && image.data != nullptr && direct_rows_possible()) {
    d.direct_output = image.data;
    return 0;
  }
  d.plane_bytes = static_cast<size_t>(plane_bytes);
  d.plane_y = static_cast<uint8_t*>(heap_calloc(d.plane_bytes));
  d.plane_cb = static_cast<uint8_t*>(heap_calloc(d.plane_bytes));
  d.plane_cr = static_cast<uint8_t*>(heap_calloc(d.plane_bytes));
  d.luma_row_buffer = static_cast<uint8_t*>(heap_calloc(static_cast<size_t>(p) * 32));
  d.chroma_row_buffer = static_cast<uint8_t*>(heap_malloc(static_cast<size_t>(p) * 64));
  if (d.plane_y == nullptr || d.plane_cb == nullptr || d.plane_cr == nullptr ||
      d.luma_row_buffer == nullptr || d.chroma_row_buffer == nullptr) {
    fail(kErrFrameTooLarge, msg::kNoFrameMemory);
    return d.error;
  }
  std::memset(d.chroma_row_buffer, 128, static_cast<size_t>(p) * 64);
  return 0;
}

// After a row: whether it ran out of entropy-coded data, or found data again after that.
void note_row_damage() {
  DecoderState& d = g_decoder;
  if (d.entropy_exhausted) {
    if (d.damage.first_starved_row == DecodeDamage::kNoRow)
      d.damage.first_starved_row = d.mcu_row_index;
  } else if (d.damage.first_starved_row != DecodeDamage::kNoRow) {
    d.damage.has_data_resumed = true;
  }
}

void copy_out(uint8_t* out) {
  const DecoderState& d = g_decoder;
  const Planar420Layout layout =
      planar420_layout(static_cast<size_t>(d.padded_width), static_cast<size_t>(d.padded_height));
  const size_t P = layout.luma_stride;
  const size_t W = static_cast<size_t>(d.decoded_w);
  for (size_t r = 0; r < layout.luma_rows; ++r) std::memcpy(out + r * P, d.plane_y + r * W, P);
  uint8_t* cb = out + layout.cb_offset;
  uint8_t* cr = out + layout.cr_offset;
  for (size_t k = 0; k < layout.chroma_rows; ++k) {
    const uint8_t* src_cb = d.plane_cb + 2 * k * W;
    const uint8_t* src_cr = d.plane_cr + 2 * k * W;
    for (size_t i = 0; i < layout.chroma_stride; ++i) {
      cb[k * layout.chroma_stride + i] = src_cb[2 * i];
      cr[k * layout.chroma_stride + i] = src_cr[2 * i];
    }
  }
}

}  // namespace

size_t planar_image_bytes(int32_t width, int32_t height) noexcept {
  const uint64_t p = (static_cast<uint64_t>(static_cast<uint32_t>(width)) + 15) & ~uint64_t{15};
  const uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(height)) + 15) & ~uint64_t{15};
  const uint64_t bytes = p * h * 3 / 2;
  return bytes > SIZE_MAX ? 0 : static_cast<size_t>(bytes);
}

namespace {

int32_t decode_stream(const uint8_t* data, uint32_t size, int32_t* out_width, int32_t* out_height,
                      ImageBuffer& image, const RecodePlan& plan, const RowStream* stream) {
  DecoderState& d = g_decoder;
  // Every decode starts from the state of process start: no result depends on an earlier decode.
  release_buffers();
  reset_decoder_state();
  d.plan = plan;
  d.row_stream = stream;
  d.source_data = data;
  d.source_size = size;
  d.setup_pending = true;
  d.damage = DecodeDamage{};

  read_headers();
  if (d.error != 0) return finish(d.error);
  if (d.decoder_status != kProgressScanHeader) {
    console_line(msg::kNoScan);
    return finish(kErrCorruptStream);  // nothing is decoded without a scan header of this file
  }
  setup_scan_geometry();
  if (d.error != 0) return finish(d.error);
  const size_t rows =
      static_cast<size_t>(d.num_components < 3 ? (d.num_components < 0 ? 0 : d.num_components) : 3);
  for (size_t c = 0; c < rows; ++c) {
    const FrameComponent* f =
        c < static_cast<size_t>(d.scan_component_count) ? d.scan_components[c] : nullptr;
    if (f == nullptr) continue;
    d.row_components[c] = RowComponent{f->dequant.data(),     f->index,
                                       f->mcu_blocks_across,  f->mcu_blocks_down,
                                       f->edge_blocks_across, f->edge_blocks_down};
  }
  if (!classify_layout()) return finish(kErrSource);
  if (!scan_holds_every_component()) {
    fail(kErrCorruptStream, msg::kScanIncomplete);
    return finish(d.error);
  }
  if (allocate_frame(image) != 0) return finish(d.error);

  const uint32_t rows_total = d.mcu_rows > 0 ? d.mcu_rows : 1;
  d.damage.mcu_rows = rows_total;
  for (d.mcu_row_index = 0; d.mcu_row_index + 1 < rows_total;) {
    decode_mcu_row();
    note_row_damage();
    ++d.mcu_row_index;
    if (d.decoder_status != kProgressRowDecoded) {
      console_log("%s", msg::kDecodeError);
      return finish(kErrRowStatus);
    }
  }
  decode_mcu_row();
  note_row_damage();
  finish_mcu_rows();

  while (!d.image_done) {
    read_headers();
    if (d.error != 0) return finish(d.error);
    if (d.decoder_status == kProgressNone) {
      console_log("%s", msg::kDecodeError);
      return finish(kErrTrailer);
    }
  }
  d.damage.has_no_eoi = d.input_exhausted;  // the end of the data stood in for the EOI
  // A frame header met after the scan replaces image_w and image_h; the image is the decoded one.
  *out_width = d.decoded_w;
  *out_height = d.decoded_h;
  if (d.direct_output == nullptr) copy_out(image.data);
  return finish(kRecodeOk);
}

}  // namespace

int32_t decode_jpeg_memory(const uint8_t* data, uint32_t size, int32_t* out_width,
                           int32_t* out_height, ImageBuffer& image, const RecodePlan& plan,
                           DecodeDamage* damage, const RowStream* rows) noexcept {
  const int32_t status = decode_stream(data, size, out_width, out_height, image, plan, rows);
  if (damage != nullptr) *damage = g_decoder.damage;
  return status;
}

int32_t report_source_read(ReadResult read) noexcept {
  switch (read) {
    case ReadResult::kCannotOpen:
      console_log("%s", msg::kCannotOpen);
      return kErrSource;
    case ReadResult::kNoMemory:
      console_log("%s", msg::kNoSourceMemory);
      return kErrSourceMemory;
    case ReadResult::kOk:
      break;
  }
  return kRecodeOk;
}

}  // namespace kestrum
