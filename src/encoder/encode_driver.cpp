// SPDX-License-Identifier: MIT
// Encode driver: 4:2:0 configuration, the header, and the MCU walk in raster order with a
// restart interval of one MCU row (T.81 B.2.4.4, E.1.3).
#include "encoder/encode_driver.h"

#include <cstring>
#include <thread>

#include "common/jpeg_tables.h"
#include "common/messages.h"
#include "common/planar_layout.h"
#include "encoder/encoder_state.h"
#include "encoder/fdct_quant.h"
#include "encoder/header_writer.h"
#include "encoder/huffman_encode.h"
#include "encoder/quality.h"
#include "encoder/row_coder.h"
#include "encoder/stream_sink.h"
#include "platform/console_log.h"
#include "platform/heap.h"

namespace kestrum {
namespace {

constexpr uint8_t kSampling420 = 2;

// Makes room for one more MCU at out_ptr, in the attribute's buffer the whole-image walk writes
// into; false when the buffer cannot grow.
bool ensure_room(ImageAttribute& a) {
  EncoderState& e = g_encoder;
  StreamSink sink = sink_of(a, static_cast<size_t>(e.out_ptr - a.stream_buffer));
  const bool is_ok = reserve(sink, kMaxMcuStreamBytes);
  hand_over(sink, a);
  e.out_ptr = sink.data + sink.length;
  return is_ok;
}

void put_marker(uint8_t code) {
  EncoderState& e = g_encoder;
  *e.out_ptr++ = 0xFF;
  *e.out_ptr++ = code;
}

// Rows below which a second thread costs more to start than it saves.
constexpr int32_t kMinRowsForTwoThreads = 4;

// "OK" once coding passes the progress MCU, as the reference walk prints it on reaching that MCU;
// failed_row < 0 means every MCU was coded.
void report_progress(int32_t failed_row, int32_t failed_column) {
  const EncoderState& e = g_encoder;
  if (e.mcu_rows <= kProgressMcuRow || e.mcus_per_row <= kProgressMcuColumn) return;
  if (failed_row >= 0 && (failed_row < kProgressMcuRow ||
                          (failed_row == kProgressMcuRow && failed_column <= kProgressMcuColumn))) {
    return;
  }
  console_log("%s", msg::kOk);
}

// The fast walk: rows coded by code_rows, the lower half of the image on a second thread when
// there is one, its bytes then appended to the stream.
int32_t encode_rows_fast() {
  EncoderState& e = g_encoder;
  ImageAttribute& a = *e.attribute;
  int32_t split = e.mcu_rows;
  RowRun head{sink_of(a, static_cast<size_t>(e.out_ptr - a.stream_buffer))};
  RowRun tail;
  bool tail_ok = true;
  std::thread worker;
  const RowCodingJob job = row_coding_job();
  if (e.plan.threads >= 2 && e.mcu_rows >= kMinRowsForTwoThreads) {
    split = e.mcu_rows / 2;
    try {
      worker = std::thread(
          [&job, &tail, &tail_ok, split] { tail_ok = code_rows(job, split, job.mcu_rows, tail); });
    } catch (...) {
      split = e.mcu_rows;  // no thread: the caller's thread codes every row
    }
  }
  const bool head_ok = code_rows(job, 0, split, head);
  if (worker.joinable()) worker.join();
  report_progress(!head_ok ? head.failed_row : tail.failed_row,
                  !head_ok ? head.failed_column : tail.failed_column);
  const bool is_joined = head_ok && tail_ok && append(head, tail.data, tail.length);
  heap_free(tail.data);
  if (!is_joined) {
    hand_over(head, a);
    return 1;
  }
  return finish(head, a) ? 0 : 1;
}

}  // namespace

size_t initial_stream_capacity(int32_t aligned_width, int32_t aligned_height) noexcept {
  // A quarter of the planar image covers photographs at high quality; noisier content grows it.
  const uint64_t pixels = static_cast<uint64_t>(static_cast<uint32_t>(aligned_width)) *
                          static_cast<uint32_t>(aligned_height);
  const uint64_t bytes = kHeaderBytes + pixels * 3 / 8 + 2 * kMaxMcuStreamBytes;
  return bytes > SIZE_MAX / 2 ? SIZE_MAX / 2 : static_cast<size_t>(bytes);
}

int32_t JImageInit() noexcept {
  EncoderState& e = g_encoder;
  ImageAttribute& a = *e.attribute;
  e.h_samp = {2, 1, 1};
  e.v_samp = {2, 1, 1};
  e.dqt_written = {false, false};
  e.dht_dc_written = {false, false};
  e.dht_ac_written = {false, false};
  a.region_width = e.aligned_width;
  a.region_height = e.aligned_height;
  a.region_x = 0;
  a.region_y = 0;
  e.mcus_per_row = e.aligned_width / 16;
  e.mcu_rows = e.aligned_height / 16;
  e.dc_table_sel = {0, 1, 1};
  e.ac_table_sel = {0, 1, 1};
  if (a.stream_buffer == nullptr || a.sampling_format != kSampling420) return 1;
  if (a.stream_capacity_bytes < kHeaderBytes + kMaxMcuStreamBytes) return 1;
  setup_quant_tables();
  e.out_ptr = a.stream_buffer;
  write_soi_app0();
  e.mcu_block_comp = {0, 0, 0, 0, 1, 2};
  e.dc_pred = {0, 0, 0};
  write_frame_headers();
  return 0;
}

void begin_streamed_rows(int32_t ring_rows, StreamedRows& rows) noexcept {
  EncoderState& e = g_encoder;
  ImageAttribute& a = *e.attribute;
  rows.job = row_coding_job();
  rows.job.ring_rows = ring_rows;
  rows.job.layout =
      planar420_layout(static_cast<size_t>(e.aligned_width), 16 * static_cast<size_t>(ring_rows));
  rows.head = RowRun{sink_of(a, static_cast<size_t>(e.out_ptr - a.stream_buffer))};
  rows.is_ok = true;
}

void code_streamed_row(StreamedRows& rows, int32_t row) noexcept {
  if (!rows.is_ok) return;
  rows.is_ok = code_rows(rows.job, row, row + 1, rows.head);
  if (rows.is_ok && rows.take != nullptr && rows.head.length >= kSpillBytes) {
    if (rows.take(rows.take_context, rows.head.data, rows.head.length)) {
      rows.head.length = 0;
    } else {
      rows.take = nullptr;
    }
  }
  hand_over(rows.head, *g_encoder.attribute);  // the run may have moved it
}

int32_t finish_streamed_rows(StreamedRows& rows) noexcept {
  report_progress(rows.head.failed_row, rows.head.failed_column);
  if (!rows.is_ok) return 1;
  return finish(rows.head, *g_encoder.attribute) ? 0 : 1;
}

int32_t JImageEncoder() noexcept {
  if (g_encoder.plan.is_row_coder) return encode_rows_fast();
  EncoderState& e = g_encoder;
  ImageAttribute& a = *e.attribute;
  int16_t* blocks = e.workspace->block_buffer;
  const Planar420Layout layout =
      planar420_layout(static_cast<size_t>(e.aligned_width), static_cast<size_t>(e.aligned_height));
  const size_t w = layout.luma_stride;
  const size_t cw = layout.chroma_stride;
  const uint8_t* image = a.image_buffer;
  const uint8_t* cb_plane = image + layout.cb_offset;
  const uint8_t* cr_plane = image + layout.cr_offset;
  BitWriter writer{0, 0};
  uint32_t restart = 0;
  for (int32_t r = 0; r < e.mcu_rows; ++r) {
    const size_t row = static_cast<size_t>(r);
    for (int32_t c = 0; c < e.mcus_per_row; ++c) {
      const size_t col = static_cast<size_t>(c);
      if (r == kProgressMcuRow && c == kProgressMcuColumn) console_log("%s", msg::kOk);
      if (!ensure_room(a)) return 1;
      fetch_mcu(image + 16 * row * w + 16 * col, cb_plane + 8 * row * cw + 8 * col,
                cr_plane + 8 * row * cw + 8 * col, e.aligned_width, blocks);
      if (transform_mcu(blocks) != 0) return 1;
      writer = encode_mcu(blocks, writer);
    }
    if (r < e.mcu_rows - 1) {
      e.dc_pred = {0, 0, 0};
      flush_bits(writer);
      put_marker(static_cast<uint8_t>(kMarkerRst0 + restart));
    }
    restart = (restart + 1) % 8;
  }
  if (!ensure_room(a)) return 1;
  flush_bits(writer);
  StreamSink sink = sink_of(a, static_cast<size_t>(e.out_ptr - a.stream_buffer));
  return finish(sink, a) ? 0 : 1;
}

}  // namespace kestrum
