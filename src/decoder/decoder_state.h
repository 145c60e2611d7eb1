// SPDX-License-Identifier: MIT
// The decoder's module-wide state (one instance, g_decoder) and the bounded input stream over the
// in-memory source copy: byte reads, find_next_marker and skip_segment (T.81 B.1.1.2, B.1.1.4).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/code_path.h"
#include "common/status.h"
#include "decoder/decode_damage.h"
#include "decoder/stored_tables.h"

namespace kestrum {

inline constexpr int kMaxFrameComponents = 3;
inline constexpr int kMaxScanComponents = 4;
inline constexpr int kMaxMcuBlocks = 10;
// Each plane of the decoder may hold at most this many bytes: enough for 8192 x 8192 frames.
inline constexpr size_t kPlaneCapacityBytes = 0xC000000;

// The values of decoder_status: what the last marker pass or MCU row reached.
enum DecoderProgress : int32_t {
  kProgressNone = 0,        // nothing yet (a header pass that made no progress)
  kProgressScanHeader = 1,  // a scan header was parsed
  kProgressEndOfImage = 2,  // EOI, the end of the data, or a refusal
  kProgressRowDecoded = 4,  // an MCU row was decoded
};

enum class SamplingLayout : uint8_t {
  kNone,
  kYcbcr411,
  kYcbcr422,
  kYcbcr100,
  kYcbcr111,
  kYcbcr211v,
  kYcbcr211h
};

// Lookahead of the fast AC decoder's tables.
inline constexpr int32_t kFastAcBits = 11;

// A derived Huffman decoding table (T.81 F.2.2.3, with an 8-bit lookahead).
struct HuffDecodeTable {
  std::array<int32_t, 18> maxcode;       // [L]: largest code of length L, -1 = none; [17] = 0xFFFFF
  std::array<int32_t, 17> value_offset;  // [L]: index of first code of length L minus that code
  std::array<int32_t, 256> lookup_length;  // next 8 bits -> code length 1..8, 0 = longer code
  std::array<uint8_t, 256> lookup_symbol;  // next 8 bits -> symbol, where lookup_length != 0
  const uint8_t* values;                   // the 256-byte symbol list it was built from
  // Next kFastAcBits bits -> what they decode to (see FastAcEntry; a DC table's symbol is the
  // size with run 0), 0 = a longer code.
  std::array<uint32_t, 1u << kFastAcBits> fast_ac;
};

struct FrameComponent {
  uint32_t index;                       // position in the frame header, 0..2
  uint32_t id;                          // component identifier byte
  uint32_t h_samples, v_samples;        // sampling factors, nominally 1..2 (0..15 as read)
  uint32_t quant_sel;                   // quantization table selector, 0..255 as read
  uint32_t dc_table_sel, ac_table_sel;  // Huffman selectors from the scan header, 0..15
  uint32_t blocks_across, blocks_down;  // component size in 8x8 blocks
  uint32_t mcu_blocks_across, mcu_blocks_down, mcu_block_count;  // blocks per MCU
  uint32_t mcu_pixel_width;                                      // mcu_blocks_across * 8
  uint32_t edge_blocks_across, edge_blocks_down;  // blocks in the last MCU column / row
  const uint16_t* bound_quant;                    // slot of quant_tables, or null
  std::array<uint32_t, 64> dequant;               // bound table widened, natural order
};

// What the MCU row decoder needs of one component, in scan order.
struct RowPipeline;  // the second thread of a decode's rows (decoder/mcu_row.cpp)
struct RowStream;    // the consumer of final rows (decoder/decode_driver.h)

struct RowComponent {
  const uint32_t* dequant;
  uint32_t index;
  uint32_t mcu_blocks_across, mcu_blocks_down;
  uint32_t edge_blocks_across, edge_blocks_down;
};

struct DecoderState {
  // --- How this decode runs (per decode; set by the driver from the caller's plan) ---
  RecodePlan plan;

  // --- Input stream (per decode) ---
  const uint8_t* source_data;  // the complete source file
  uint32_t source_size;        // bytes in source_data
  uint32_t read_pos;           // next byte to read; may pass source_size after a skip
  uint32_t unread_marker;      // code byte of a found, unhandled marker; 0 = none
  int32_t soi_remaining;       // SOI markers met before the first SOS, minus EOIs met
  bool input_exhausted;        // a read went past the end; treated as a final EOI
  int32_t error;               // first refusal of this decode (a negative RecodeStatus), 0 = none

  // --- Progress flags (per decode) ---
  bool soi_seen, sof_seen, image_done, setup_pending;
  bool sos_seen;  // a scan header was met (parsed or passed over): later SOIs are not counted
  int32_t decoder_status;  // a DecoderProgress value

  // --- Frame (per decode; a later frame header overwrites them) ---
  int32_t image_h, image_w;  // 0..65535 from the frame header
  int32_t num_components;    // 0..255 as read; at most 3 are stored
  std::array<FrameComponent, kMaxFrameComponents> components;
  uint32_t samp_h0, samp_v0, samp_h1, samp_v1, samp_h2, samp_v2;  // factor copies, 0 = absent
  int32_t max_h_samples, max_v_samples;
  uint32_t mcu_rows;

  // --- Tables (cleared at the start of every decode) ---
  std::array<std::array<uint16_t, 64>, kTableSlots> quant_tables;     // natural order
  std::array<std::array<uint8_t, 17>, kTableSlots> dc_bits, ac_bits;  // [0] = 0, [L] = count
  std::array<std::array<uint8_t, 256>, kTableSlots> dc_values, ac_values;
  uint32_t restart_interval;  // MCUs per interval, 0 = none

  // --- Scan and MCU geometry (per scan) ---
  int32_t scan_component_count;  // as read, 0..255
  std::array<FrameComponent*, kMaxScanComponents> scan_components;
  uint32_t mcu_columns;
  int32_t mcu_block_total;  // 1..10
  std::array<uint32_t, kMaxMcuBlocks> block_component;
  std::array<int32_t, kMaxScanComponents> last_dc;

  // --- Huffman decoding state (per scan / per MCU) ---
  std::array<HuffDecodeTable, kTableSlots> dc_decode_tables, ac_decode_tables;
  std::array<const HuffDecodeTable*, kMaxMcuBlocks> block_dc_table, block_ac_table;
  uint64_t bit_buffer;  // bits shifted in at the low end; next unread bit is bit (bit_count - 1)
  int32_t bit_count;    // unread bits, 0..24 (up to 64 after the fast MCU decoder)
  int32_t bits_wanted;  // bits the current read needs, 0 = fill if possible
  bool entropy_exhausted;
  int32_t mcus_to_restart;
  uint32_t expected_rst;  // 0..7
  uint32_t
      clean_end;  // where the next marker starts, as last found by the fast decoder; 0 = unknown

  // --- Work buffers and planes (allocated by the driver for one decode) ---
  uint8_t *plane_y, *plane_cb, *plane_cr;  // full resolution, row stride image_w
  size_t plane_bytes;                      // size of each plane
  std::array<std::array<int16_t, 64>, kMaxMcuBlocks> coef_blocks;  // natural order
  std::array<uint8_t, 768> mcu_samples;                            // twelve 8x8 sample blocks
  uint8_t* luma_row_buffer;                                        // padded_width * 32 bytes
  uint8_t* chroma_row_buffer;  // padded_width * 64 bytes, Cb at 0, Cr at 8 * padded_width
  std::array<int32_t, 64> idct_work;
  int32_t padded_width, padded_height;
  int32_t decoded_w,
      decoded_h;  // the frame size the planes were sized for; a later SOF cannot change it
  uint32_t mcu_row_index;
  std::array<RowComponent, kMaxFrameComponents> row_components;
  // The caller's PlanarYuv420Image when MCU rows are written straight into it (the planes and
  // row buffers are then not obtained); null on the reference path through the planes.
  uint8_t* direct_output;
  // The thread transforming the rows the entropy decoder hands over (direct output and the
  // one-pass recode on two threads) and handing them on to row_stream, from the first row to
  // finish_mcu_rows; null with one thread.
  RowPipeline* row_pipeline;
  // The consumer of final rows (the one-pass recode), or null. direct_output holds ring_rows MCU
  // rows, row R at slot R % ring_rows: mcu_rows of them (the whole image) without a consumer.
  const RowStream* row_stream;
  uint32_t ring_rows;
  SamplingLayout sampling_layout;

  // --- Damage met (per decode) ---
  DecodeDamage damage;
};

extern DecoderState g_decoder;

// Clears the whole decoder state, as at process start. Every decode starts from it, so that no
// result depends on what an earlier decode read.
// Writes: everything.
void reset_decoder_state() noexcept;

// Records a refusal with its message line; the first refusal of a decode wins.
// Writes: error.
void fail(int32_t code, const char* message) noexcept;

// Reads one byte at read_pos and advances; past the end returns 0 and sets input_exhausted.
// Reads/Writes: read_pos, input_exhausted.
uint8_t read_byte() noexcept;
// Reads a big-endian 16-bit value. Reads/Writes: as read_byte.
uint32_t read_u16() noexcept;
// The byte at offset without moving (0 past the end). Reads: source_data, source_size.
uint8_t peek_byte(uint32_t offset) noexcept;

// Advances past the next marker and stores its code in unread_marker; at the end of the data
// stores EOI with input_exhausted set. Reads/Writes: read_pos, unread_marker, input_exhausted.
void find_next_marker() noexcept;
// Skips a segment from its length bytes, stopping early at embedded FF DB / FF D9 / FF C0.
// Reads/Writes: read_pos.
void skip_segment() noexcept;
// Skips a segment by its length bytes alone; its payload is never looked at.
// Reads/Writes: read_pos, input_exhausted.
void skip_by_length() noexcept;

}  // namespace kestrum
