// SPDX-License-Identifier: MIT
// Huffman coding of whole MCU rows into a caller's buffer (T.81 F.1.2 with the Annex K codes,
// byte stuffing F.1.2.3, 1-bit padding before each restart marker), the same bytes as
// encode_mcu and flush_bits produce through the module-wide writer.
#include "encoder/row_coder.h"

#include <array>
#include <bit>

#include "common/byte_pairs.h"
#include "common/jpeg_tables.h"
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

// Pending bits at the low end of the accumulator, a register wide; four bytes go out once 32
// wait. In a 32-bit register the bits above count are what was already written.
template <typename Word>
struct Writer {
  uint8_t* out;
  Word acc;
  uint32_t count;  // 0..31 between puts

  // Appends the low n bits of v (n <= 32, and the bits above n zero).
  void put(uint32_t v, uint32_t n) {
    if constexpr (sizeof(Word) >= 8) {
      acc = (acc << n) | v;
      count += n;
      if (count >= 32) drain_word();
    } else {
      const uint32_t room = 32 - count;
      if (n < room) {
        acc = (acc << n) | v;
        count += n;
        return;
      }
      // A put is under 32 bits (a code of up to 16 bits and up to 11 magnitude bits), so count
      // is at least 1 here and room at most 31.
      const uint32_t rest = n - room;
      acc = (acc << room) | (v >> rest);
      count = 32;
      drain_word();
      acc = v;
      count = rest;
    }
  }
  // Emits the oldest 32 pending bits, stuffing 0x00 after each 0xFF.
  void drain_word() {
    count -= 32;
    out = put_stuffed_word(out, static_cast<uint32_t>(static_cast<uint64_t>(acc) >> count));
  }
  // Emits the whole bytes, stuffing 0x00 after each 0xFF.
  void drain() {
    while (count >= 8) {
      count -= 8;
      const uint8_t byte = static_cast<uint8_t>(static_cast<uint64_t>(acc) >> count);
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

using CodeWord = RegisterWord;

// Codes the non-zero coefficients that bits marks, bit i for zig-zag position first + i, after
// the one at k (the last coded): its ZRLs and its run/size code with the magnitude bits in one
// put. Returns the last coded position. The writer is copied in and out, so that its fields can
// stay in registers across the loop (with eight registers on i686 they did not through the
// reference).
template <typename Mask>
uint32_t code_coefficients(const int16_t* block, Mask bits, uint32_t first, uint32_t k,
                           const CodeTable& ac, Writer<CodeWord>& writer) {
  Writer<CodeWord> w = writer;
  while (bits != 0) {
    const uint32_t at = first + static_cast<uint32_t>(std::countr_zero(bits));
    bits &= bits - 1;
    uint32_t run = at - k - 1;
    k = at;
    while (run > 15) {
      w.put(ac.code[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    // v is not zero, so the top bit of its magnitude gives the size without a case for zero.
    // The value bits are v, or v - 1 when negative, whose bits above size are then all ones:
    // adding them to the code shifted up with one added wraps those ones away, so no mask.
    const int32_t v = block[at];
    const int32_t sign = v >> 31;
    const uint32_t size =
        static_cast<uint32_t>(__builtin_clz(static_cast<uint32_t>((v ^ sign) - sign)) ^ 31) + 1;
    const uint32_t symbol = (16 * run + size) & 0xFF;
    w.put(
        ((ac.code[symbol] - static_cast<uint32_t>(sign)) << size) + static_cast<uint32_t>(v + sign),
        ac.length[symbol] + size);
  }
  writer = w;
  return k;
}

// The block's symbols as the reference walk codes them (code_block_symbols): the DC difference,
// then each non-zero coefficient, found from the mask (a register's width at a time), and EOB
// unless coefficient 63 is non-zero.
void code_block(const int16_t* block, uint64_t nonzero_zz, int32_t& dc_pred, const CodeTable& dc,
                const CodeTable& ac, Writer<CodeWord>& w) {
  const int32_t diff = block[0] - dc_pred;
  dc_pred = block[0];
  const uint32_t size = magnitude_category(diff);
  const uint32_t bits = static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << size) - 1u);
  w.put(dc.code[size] << size | bits, dc.length[size] + size);
  uint32_t k = 0;
  const uint64_t ac_mask = nonzero_zz & ~uint64_t{1};
  if constexpr (sizeof(CodeWord) >= 8) {
    k = code_coefficients(block, ac_mask, 0, k, ac, w);
  } else {
    k = code_coefficients(block, static_cast<uint32_t>(ac_mask), 0, k, ac, w);
    k = code_coefficients(block, static_cast<uint32_t>(ac_mask >> 32), 32, k, ac, w);
  }
  if (k != 63) w.put(ac.code[0x00], ac.length[0x00]);
}

// Makes room for one more MCU in run, out its write position; false when it cannot grow.
bool ensure_room(RowRun& run, uint8_t*& out) {
  run.length = static_cast<size_t>(out - run.data);
  if (!reserve(run, kMaxMcuStreamBytes)) return false;
  out = run.data + run.length;
  return true;
}

}  // namespace

RowCodingJob row_coding_job() noexcept {
  const EncoderState& e = g_encoder;
  RowCodingJob job{};
  job.image = e.attribute->image_buffer;
  job.layout =
      planar420_layout(static_cast<size_t>(e.aligned_width), static_cast<size_t>(e.aligned_height));
  job.mcus_per_row = e.mcus_per_row;
  job.mcu_rows = e.mcu_rows;
  job.ring_rows = e.mcu_rows;
  job.mcu_block_comp = e.mcu_block_comp;
  job.dc_table_sel = e.dc_table_sel;
  job.ac_table_sel = e.ac_table_sel;
  for (size_t k = 0; k < 64; ++k) {
    job.luma_reciprocal[kZigZagToNatural[k]] = e.luma_reciprocal_zz[k];
    job.chroma_reciprocal[kZigZagToNatural[k]] = e.chroma_reciprocal_zz[k];
  }
  job.is_simd = e.plan.is_simd;
  return job;
}

bool code_rows(const RowCodingJob& job, int32_t first_row, int32_t end_row, RowRun& run) noexcept {
  // Constant tables, built on first use (thread-safe) and never changed.
  static const std::array<CodeTable, 2> dc_codes = {make_table(false, 0), make_table(false, 1)};
  static const std::array<CodeTable, 2> ac_codes = {make_table(true, 0), make_table(true, 1)};
  const size_t w = job.layout.luma_stride;
  const size_t cw = job.layout.chroma_stride;
  const uint8_t* image = job.image;
  const uint8_t* cb_plane = image + job.layout.cb_offset;
  const uint8_t* cr_plane = image + job.layout.cr_offset;
  // The MCU's blocks, 32-byte aligned by hand: an alignas on the stack would make a 32-bit
  // Windows build realign this function's stack, which costs its loop a register.
  std::array<int16_t, 6 * 64 + 16> block_storage;
  int16_t* const blocks =
      block_storage.data() + (-(reinterpret_cast<uintptr_t>(block_storage.data()) / 2) & 15);
  const FdctQuantKernel transform = fdct_quant_kernel(job.is_simd);
  const int32_t* luma_reciprocal = job.luma_reciprocal.data();
  const int32_t* chroma_reciprocal = job.chroma_reciprocal.data();
  Writer<CodeWord> writer{run.data + run.length, 0, 0};
  for (int32_t r = first_row; r < end_row; ++r) {
    const size_t row = static_cast<size_t>(r % job.ring_rows);  // the row's slot
    std::array<int32_t, 3> dc_pred = {0, 0, 0};
    for (int32_t c = 0; c < job.mcus_per_row; ++c) {
      if (!ensure_room(run, writer.out)) {
        run.failed_row = r;
        run.failed_column = c;
        run.length = static_cast<size_t>(writer.out - run.data);
        return false;
      }
      const size_t col = static_cast<size_t>(c);
      const uint8_t* y = image + 16 * row * w + 16 * col;
      const uint8_t* cb = cb_plane + 8 * row * cw + 8 * col;
      const uint8_t* cr = cr_plane + 8 * row * cw + 8 * col;
      std::array<uint64_t, 6> nonzero;
      transform(y, y + 8, w, luma_reciprocal, &blocks[0], &nonzero[0]);
      transform(y + 8 * w, y + 8 * w + 8, w, luma_reciprocal, &blocks[128], &nonzero[2]);
      transform(cb, cr, cw, chroma_reciprocal, &blocks[256], &nonzero[4]);
      for (size_t b = 0; b < 6; ++b) {
        const size_t comp = static_cast<size_t>(job.mcu_block_comp[b]);
        code_block(&blocks[64 * b], nonzero[b], dc_pred[comp],
                   dc_codes[static_cast<size_t>(job.dc_table_sel[comp])],
                   ac_codes[static_cast<size_t>(job.ac_table_sel[comp])], writer);
      }
    }
    writer.flush();
    if (r < job.mcu_rows - 1) {
      *writer.out++ = 0xFF;
      *writer.out++ = static_cast<uint8_t>(kMarkerRst0 + r % 8);
    }
  }
  run.length = static_cast<size_t>(writer.out - run.data);
  return true;
}

}  // namespace kestrum
