// SPDX-License-Identifier: MIT
// Huffman coding of whole MCU rows into a caller's buffer (T.81 F.1.2 with the Annex K codes,
// byte stuffing F.1.2.3, 1-bit padding before each restart marker), the same bytes as
// encode_mcu and flush_bits produce through the module-wide writer.
#include "encoder/row_coder.h"

#include <array>

#include "common/heap.h"
#include "encoder/encode_driver.h"
#include "encoder/encoder_state.h"
#include "encoder/fdct_quant.h"
#include "encoder/huffman_encode.h"

namespace kestrum {
namespace {

// Code tables indexed by symbol: code in the low bits, length beside it.
struct CodeTable {
  std::array<uint32_t, 256> code;
  std::array<uint32_t, 256> length;
};

CodeTable make_table(bool is_ac, int32_t table_id) {
  CodeTable t{};
  for (uint32_t s = 0; s < 256; ++s) {
    const HuffCode c = is_ac ? ac_code(table_id, s) : dc_code(table_id, s);
    t.code[s] = c.code;
    t.length[s] = c.length;
  }
  return t;
}

// Pending bits at the low end of a 64-bit accumulator; whole bytes go out once 32 or more wait.
struct Writer {
  uint8_t* out;
  uint64_t acc;
  uint32_t count;  // 0..31 between puts

  // Appends the low n bits of v (n <= 32, and the bits above n zero).
  void put(uint32_t v, uint32_t n) {
    acc = (acc << n) | v;
    count += n;
    if (count >= 32) drain();
  }
  // Emits the whole bytes, stuffing 0x00 after each 0xFF.
  void drain() {
    while (count >= 8) {
      count -= 8;
      const uint8_t byte = static_cast<uint8_t>(acc >> count);
      *out++ = byte;
      if (byte == 0xFF) *out++ = 0x00;
    }
  }
  // Pads the last partial byte with 1-bits and writes it.
  void flush() {
    drain();
    if (count > 0) put((1u << (8 - count)) - 1u, 8 - count);
    drain();
    acc = 0;
  }
};

void code_block(const int16_t* block, int32_t& dc_pred, const CodeTable& dc, const CodeTable& ac, Writer& w) {
  struct Sink {
    const CodeTable& dc_table;
    const CodeTable& ac_table;
    Writer& writer;
    void dc(uint32_t category) { writer.put(dc_table.code[category], dc_table.length[category]); }
    void ac(uint32_t symbol) { writer.put(ac_table.code[symbol], ac_table.length[symbol]); }
    void bits(uint32_t v, uint32_t n) { writer.put(v & ((1u << n) - 1u), n); }
  } sink{dc, ac, w};
  code_block_symbols(block, dc_pred, sink);
  dc_pred = block[0];
}

// Makes room for one more MCU in run; false when it cannot grow.
bool ensure_room(RowRun& run, uint8_t*& out) {
  const size_t used = static_cast<size_t>(out - run.data);
  if (run.data != nullptr && run.capacity_bytes - used >= kMaxMcuStreamBytes) return true;
  const size_t grown = run.capacity_bytes + run.capacity_bytes / 2 + kMaxMcuStreamBytes;
  if (grown < run.capacity_bytes) return false;
  auto* moved = static_cast<uint8_t*>(heap_realloc(run.data, grown));
  if (moved == nullptr) return false;
  run.data = moved;
  run.capacity_bytes = grown;
  out = moved + used;
  return true;
}

}  // namespace

bool code_rows(int32_t first_row, int32_t end_row, RowRun& run) noexcept {
  static const std::array<CodeTable, 2> kDc = {make_table(false, 0), make_table(false, 1)};
  static const std::array<CodeTable, 2> kAc = {make_table(true, 0), make_table(true, 1)};
  const EncoderState& e = g_encoder;
  const size_t w = static_cast<size_t>(e.aligned_width);
  const size_t h = static_cast<size_t>(e.aligned_height);
  const uint8_t* image = e.attribute->image_buffer;
  const uint8_t* cb_plane = image + w * h;
  const uint8_t* cr_plane = image + (5 * w * h) / 4;
  alignas(16) std::array<int16_t, 6 * 64> blocks;
  Writer writer{run.data + run.length, 0, 0};
  for (int32_t r = first_row; r < end_row; ++r) {
    const size_t row = static_cast<size_t>(r);
    std::array<int32_t, 3> dc_pred = {0, 0, 0};
    for (int32_t c = 0; c < e.mcus_per_row; ++c) {
      if (!ensure_room(run, writer.out)) {
        run.failed_row = r;
        run.failed_column = c;
        run.length = static_cast<size_t>(writer.out - run.data);
        return false;
      }
      const size_t col = static_cast<size_t>(c);
      fetch_mcu(image + 16 * row * w + 16 * col, cb_plane + 8 * row * (w / 2) + 8 * col,
                cr_plane + 8 * row * (w / 2) + 8 * col, e.aligned_width, blocks.data());
      transform_mcu(blocks.data());
      for (size_t b = 0; b < 6; ++b) {
        const size_t comp = static_cast<size_t>(e.mcu_block_comp[b]);
        code_block(&blocks[64 * b], dc_pred[comp], kDc[static_cast<size_t>(e.dc_table_sel[comp])],
                   kAc[static_cast<size_t>(e.ac_table_sel[comp])], writer);
      }
    }
    writer.flush();
    if (r < e.mcu_rows - 1) {
      *writer.out++ = 0xFF;
      *writer.out++ = static_cast<uint8_t>(0xD0 + r % 8);
    }
  }
  run.length = static_cast<size_t>(writer.out - run.data);
  return true;
}

}  // namespace kestrum
