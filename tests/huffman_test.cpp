// SPDX-License-Identifier: MIT
// Decoding tables (Annex K build, invalid tables), the bit reader's stuffing and markers, the
// restart resynchronisation table, and encoder codes and bit output (the bit writer's stuffing and
// fill: Encoder.StreamGrowsAlikeOnEveryPath, against the fast coders). Huffman tables refitted
// symbol by symbol, against libjpeg's transcode as the reference (read the coefficients, write
// them with optimize_coding) on the same stream, which must give the same tables and scan bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../fuzz/libjpeg_errors.h"
#include "common/jpeg_tables.h"
#include "decoder/decoder_state.h"
#include "decoder/huffman_decode.h"
#include "encoder/encoder_state.h"
#include "encoder/huffman_encode.h"
#include "kestrum/recode_any.h"
#include "recode_any/huffman_refit.h"
#include "test_images.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

class Huffman : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoder_state();
    reset_encoder_state();
  }
  // Points the bit reader at data.
  void feed(const std::vector<uint8_t>& data) {
    bytes_ = data;
    g_decoder.source_data = bytes_.data();
    g_decoder.source_size = static_cast<uint32_t>(bytes_.size());
    g_decoder.read_pos = 0;
    g_decoder.bit_buffer = 0;
    g_decoder.bit_count = 0;
    g_decoder.unread_marker = 0;
    g_decoder.entropy_exhausted = false;
  }
  // Builds DC and AC table 0 (which keep the symbols' address) and decodes every block of an MCU
  // of these components with them; false where a table is refused.
  static bool use_tables(const uint8_t* dc_bits, const uint8_t* dc_values, const uint8_t* ac_bits,
                         const uint8_t* ac_values, std::span<const uint32_t> components) {
    DecoderState& d = g_decoder;
    d.mcu_block_total = static_cast<int32_t>(components.size());
    for (size_t b = 0; b < components.size(); ++b) {
      d.block_component[b] = components[b];
      d.block_dc_table[b] = &d.dc_decode_tables[0];
      d.block_ac_table[b] = &d.ac_decode_tables[0];
    }
    return build_decode_table(dc_bits, dc_values, true, true, d.dc_decode_tables[0]) == nullptr &&
           build_decode_table(ac_bits, ac_values, false, true, d.ac_decode_tables[0]) == nullptr;
  }
  std::vector<uint8_t> bytes_;
};

// Code counts that are refused with their message, and edge tables that are taken: one code of
// each length, and none at all (which decodes nothing: 17 bits are read, then symbol 0).
TEST_F(Huffman, TablesAreRefusedOrTaken) {
  const struct {
    std::array<uint8_t, 17> bits;
    bool is_dc;
    uint8_t symbol;
    const char* message_start;  // null: taken
  } cases[] = {{{0, 2}, false, 1, "The huffman code lengths"},
               {{0, 0, 0, 0, 0, 0, 0, 0, 200, 100}, false, 1, "The huffman table has more"},
               {{0, 1, 1}, true, 16, "The DC huffman"},
               {{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, true, 0, nullptr},
               {{}, false, 0, nullptr}};
  HuffDecodeTable t{};
  for (const auto& c : cases) {
    std::array<uint8_t, 256> values{};
    values.fill(c.symbol);
    const char* problem = build_decode_table(c.bits.data(), values.data(), c.is_dc, true, t);
    if (c.message_start == nullptr) {
      EXPECT_EQ(problem, nullptr) << problem;
      continue;
    }
    ASSERT_NE(problem, nullptr) << c.message_start;
    EXPECT_EQ(std::string(problem).rfind(c.message_start, 0), 0u) << problem;
  }
  for (size_t len = 1; len <= 16; ++len) EXPECT_EQ(t.maxcode[len], -1);
  feed({0x12, 0x34, 0x56, 0x78, 0xFF, 0xD9});
  EXPECT_EQ(decode_symbol(t), 0);
  EXPECT_EQ(g_decoder.bit_count, 24 - 17);  // 17 bits consumed
}

TEST_F(Huffman, StuffingAndMarkers) {
  feed({0xFF, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xD9});
  g_decoder.bits_wanted = 0;
  refill_bits();
  EXPECT_EQ(g_decoder.bit_count, 16);
  EXPECT_EQ(g_decoder.bit_buffer & 0xFFFF, 0xFFFFu);
  EXPECT_EQ(g_decoder.unread_marker, 0xD9u);
  EXPECT_FALSE(g_decoder.entropy_exhausted);
  g_decoder.bits_wanted = 17;
  refill_bits();
  EXPECT_TRUE(g_decoder.entropy_exhausted);
  EXPECT_EQ(g_decoder.bit_count, 17);
  // The end of the data acts as a marker.
  feed({0x12});
  g_decoder.bits_wanted = 12;
  refill_bits();
  EXPECT_TRUE(g_decoder.entropy_exhausted);
  EXPECT_NE(g_decoder.unread_marker, 0u);
  EXPECT_EQ(g_decoder.read_pos, 1u);
}

// Expecting RST3 with each marker pending (consumed: taken as the restart).
TEST_F(Huffman, RestartResynchronises) {
  constexpr uint32_t kExpected = 3;
  const std::pair<uint8_t, bool> cases[] = {
      {0xD3, true}, {0xD2, false}, {0xD1, false}, {0xD7, true},  {0xD6, true},
      {0xD0, true}, {0xD4, false}, {0xD5, false}, {0xD9, false}, {0xC0, false}};
  for (const auto& [pending, consumed] : cases) {
    SCOPED_TRACE(pending);
    feed({0x00, 0xFF, static_cast<uint8_t>(0xD0 + (kExpected + 1) % 8), 0xFF, 0xD9});
    g_decoder.unread_marker = pending;
    g_decoder.expected_rst = kExpected;
    g_decoder.restart_interval = 5;
    g_decoder.scan_component_count = 3;
    g_decoder.last_dc = {7, 7, 7, 7};
    process_restart();
    EXPECT_EQ(g_decoder.expected_rst, (kExpected + 1) % 8);
    EXPECT_EQ(g_decoder.mcus_to_restart, 5);
    EXPECT_EQ(g_decoder.last_dc[0], 0);
    EXPECT_EQ(g_decoder.last_dc[2], 0);
    EXPECT_EQ(g_decoder.last_dc[3], 7);  // beyond the scan's components
    const uint32_t ahead = (pending - 0xD0 + 8 - kExpected) % 8;
    if (consumed) {
      EXPECT_EQ(g_decoder.unread_marker, 0u);
    } else if (pending >= 0xD0 && pending <= 0xD7 && (ahead == 6 || ahead == 7)) {
      // scanned on to the next marker in the data, which is RST(e + 1): left pending
      EXPECT_EQ(g_decoder.unread_marker, 0xD0u + (kExpected + 1) % 8);
    } else {
      EXPECT_EQ(g_decoder.unread_marker, pending);
    }
  }
}

// The pair search, its vector steps included, against the definition of the fast decoder's next
// marker (an FF not followed by 00, an FF at the last byte included). Data with stuffed pairs,
// fill bytes and pairs at every offset of a 16-byte step.
TEST(PairSearch, FindsTheFirstPairAsDefined) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<uint8_t> data(1 + random() % 80);
    for (uint8_t& b : data) {
      const uint32_t pick = random() % 8;
      b = pick == 0 ? 0xFF : pick == 1 ? 0x00 : pick == 2 ? 0xD8 : static_cast<uint8_t>(random());
    }
    for (size_t i = 0; i + 1 < data.size(); ++i) {  // mostly stuffed pairs
      if (data[i] == 0xFF && random() % 4 != 0) data[i + 1] = 0x00;
    }
    const auto size = static_cast<uint32_t>(data.size());
    const auto is_marker = [&](uint32_t i) {
      return data[i] == 0xFF && (i + 1 == size || data[i + 1] != 0x00);
    };
    for (uint32_t pos = 0; pos <= size; ++pos) {
      uint32_t marker = pos;
      while (marker < size && !is_marker(marker)) ++marker;
      ASSERT_EQ(next_marker_at(data.data(), size, pos), marker) << "trial " << trial;
    }
  }
}

// A random prefix code over the symbols: counts per length that leave room for the all-ones
// code, sometimes with a 1-bit code, and the symbols in random order, with the small sizes first
// (where the fast decoder's lookup holds two symbols at once) or with the end of block and sizes
// around 8 first.
struct RandomTable {
  std::array<uint8_t, 17> bits{};
  std::array<uint8_t, 256> values{};
  std::vector<uint16_t> codes;
  std::vector<uint8_t> lengths;
};
RandomTable random_table(std::vector<uint8_t> symbols, std::mt19937& rng) {
  std::shuffle(symbols.begin(), symbols.end(), rng);
  const auto by = [&](auto key) {
    std::stable_sort(symbols.begin(), symbols.end(),
                     [&](uint8_t a, uint8_t b) { return key(a) < key(b); });
  };
  switch (rng() % 3) {
    case 0:
      by([](uint8_t rs) { return (rs & 15) + (rs >> 4); });
      break;
    case 1:  // the end of block, then sizes around 8: values near the most a pair can hold
      by([](uint8_t rs) { return rs == 0 ? 0 : 1 + std::abs((rs & 15) - 8) + (rs >> 4); });
      break;
    default:
      break;
  }
  RandomTable t;
  size_t left = symbols.size();
  uint32_t room = 2;  // codes free at this length
  for (size_t len = 1; len <= 16 && left > 0; ++len) {
    const uint32_t most = std::min<uint32_t>(room - 1, static_cast<uint32_t>(left));
    uint32_t n = len == 16 ? most : static_cast<uint32_t>(rng() % (most + 1));
    if (len < 4 && n > 1) n = 1;
    t.bits[len] = static_cast<uint8_t>(n);
    left -= n;
    room = 2 * (room - n);
  }
  const size_t used = symbols.size() - left;
  std::copy(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(used), t.values.begin());
  t.codes.resize(256);
  t.lengths.resize(256);
  assign_canonical_codes(t.bits.data() + 1, t.codes.data(), t.lengths.data());
  t.codes.resize(used);
  t.lengths.resize(used);
  return t;
}

// The fast MCU decoder against the exact reader on streams of valid codes from random tables: 1-bit
// codes, blocks that end at position 63 without an end of block, runs past the block's end, ZRLs,
// and every value size. Each MCU's coefficients, predictors and position must agree.
TEST_F(Huffman, FastDecoderMatchesExactOnRandomTables) {
  std::vector<uint8_t> ac_symbols = {0x00, 0xF0};
  for (uint8_t run = 0; run < 16; ++run) {
    for (uint8_t size = 1; size <= 10; ++size)
      ac_symbols.push_back(static_cast<uint8_t>(run << 4 | size));
  }
  std::vector<uint8_t> dc_symbols;
  for (uint8_t size = 0; size <= 11; ++size) dc_symbols.push_back(size);
  constexpr size_t kMcus = 400;
  constexpr std::array<uint32_t, 6> kComponents = {0, 0, 0, 0, 1, 2};
  for (uint32_t trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::mt19937 rng(trial);
    const RandomTable dc = random_table(dc_symbols, rng);
    const RandomTable ac = random_table(ac_symbols, rng);
    const size_t eob = static_cast<size_t>(
        std::find(ac.values.begin(), ac.values.begin() + ac.codes.size(), 0) - ac.values.begin());
    // The stream, stuffed, by the encoder's bit writer.
    Bytes stream(kMcus * kMaxMcuStreamBytes);
    g_encoder.out_ptr = stream.data();
    BitWriter out{0, 0};
    for (size_t i = 0; i < kMcus * kComponents.size(); ++i) {
      const size_t d = rng() % dc.codes.size();
      emit_bits(out, dc.codes[d], dc.lengths[d]);
      emit_bits(out, static_cast<uint32_t>(rng()), dc.values[d]);
      // The decoder stops a block at position 64 or at an end of block, wherever it falls.
      for (uint32_t k = 1; k < 64; ++k) {
        // Mostly the shortest codes, some ends of block, now and then any code.
        const uint32_t pick = static_cast<uint32_t>(rng() % 8);
        size_t a =
            pick == 0 ? rng() % ac.codes.size() : rng() % std::min<size_t>(ac.codes.size(), 12);
        if (pick < 3 && eob < ac.codes.size()) a = eob;
        const uint8_t rs = ac.values[a];
        emit_bits(out, ac.codes[a], ac.lengths[a]);
        emit_bits(out, static_cast<uint32_t>(rng()), rs & 15u);
        if (rs == 0) break;
        k += rs >> 4;
      }
    }
    flush_bits(out);  // pads with 1-bits
    stream.resize(static_cast<size_t>(g_encoder.out_ptr - stream.data()));
    stream.insert(stream.end(), {0xFF, 0xD9});
    ASSERT_TRUE(use_tables(dc.bits.data(), dc.values.data(), ac.bits.data(), ac.values.data(),
                           kComponents));
    // Equal coefficients in every MCU after the first also mean the reader stood at the same bit.
    std::vector<std::array<int16_t, 64 * 6>> results[2];
    for (const bool fast : {false, true}) {
      feed(stream);
      g_decoder.clean_end = 0;
      g_decoder.last_dc = {};
      for (size_t m = 0; m < kMcus; ++m) {
        for (auto& block : g_decoder.coef_blocks) block.fill(0);
        if (fast) {
          decode_one_mcu_fast();
        } else {
          decode_one_mcu();
        }
        std::array<int16_t, 64 * 6> coefficients;
        std::memcpy(coefficients.data(), g_decoder.coef_blocks.data(), sizeof(coefficients));
        results[fast].push_back(coefficients);
      }
    }
    for (size_t m = 0; m < kMcus; ++m) {
      ASSERT_EQ(results[1][m], results[0][m]) << "MCU " << m;
    }
    EXPECT_EQ(g_decoder.damage.bad_codes, 0u);
  }
}

// Every symbol the encoder codes decodes back through the decoder's Annex K tables: through their
// 8-bit lookup, or past it for the longer codes, up to the sentinel above every 17-bit code.
TEST_F(Huffman, EncoderCodesMatchDecoderTables) {
  const HuffTableDef<162>* acs[2] = {&kLumaAcTable, &kChromaAcTable};
  for (int id = 0; id < 2; ++id) {
    std::array<uint8_t, 17> bits{};  // bits[L]: the codes of length L
    std::array<uint8_t, 256> values{};
    std::copy(acs[id]->bits.begin(), acs[id]->bits.end(), bits.begin() + 1);
    std::copy(acs[id]->values.begin(), acs[id]->values.end(), values.begin());
    HuffDecodeTable t{};
    ASSERT_EQ(build_decode_table(bits.data(), values.data(), false, true, t), nullptr);
    EXPECT_EQ(t.maxcode[17], 0xFFFFF);
    for (uint8_t symbol : acs[id]->values) {
      const HuffCode c = ac_code(id, symbol);
      ASSERT_GT(c.length, 0);
      // code followed by 1-bits, stuffed, then EOI
      const uint32_t word =
          (static_cast<uint32_t>(c.code) << (24 - c.length)) | ((1u << (24 - c.length)) - 1);
      std::vector<uint8_t> stuffed;
      for (int shift = 16; shift >= 0; shift -= 8) {
        stuffed.push_back(static_cast<uint8_t>(word >> shift));
        if (stuffed.back() == 0xFF) stuffed.push_back(0);
      }
      stuffed.insert(stuffed.end(), {0xFF, 0xD9});
      feed(stuffed);
      ASSERT_EQ(decode_symbol(t), symbol);
    }
  }
}

// One 4:2:0 MCU (four luma blocks, then Cb and Cr, zig-zag order) coded with the Annex K tables
// from DC predictions of 0: its length in bits, and its bytes where given. The lengths are
// counted by hand from Tables K.3 to K.6: an empty luma block is DC 00 + EOB 1010 (6 bits), an
// empty chroma block DC 00 + EOB 00 (4 bits); 0xF0 (ZRL) is 11 bits, 0xF1 16, 0x01 2.
TEST_F(Huffman, BlockToBytes) {
  const struct {
    const char* name;
    size_t index;  // of a single coefficient 1 in the first luma block, 0: none
    size_t bits;
    Bytes bytes;  // after the flush, empty: not checked
  } cases[] = {
      {"empty MCU", 0, 4 * 6 + 2 * 4, {0x28, 0xA2, 0x8A, 0x00}},  // 001010 x 4, 0000 x 2
      {"15 zeros: one code F1", 16, 2 + 16 + 1 + 4 + 3 * 6 + 2 * 4, {}},
      {"16 zeros: ZRL then 01", 17, 2 + 11 + 2 + 1 + 4 + 3 * 6 + 2 * 4, {}},
      {"32 zeros: two ZRLs then 01", 33, 2 + 2 * 11 + 2 + 1 + 4 + 3 * 6 + 2 * 4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<int16_t, 384> blocks{};
    if (c.index != 0) blocks[c.index] = 1;
    std::vector<uint8_t> out(4096);
    g_encoder.out_ptr = out.data();
    g_encoder.mcu_block_comp = {0, 0, 0, 0, 1, 2};
    g_encoder.dc_table_sel = {0, 1, 1};
    g_encoder.ac_table_sel = {0, 1, 1};
    g_encoder.dc_pred = {0, 0, 0};
    BitWriter w = encode_mcu(blocks.data(), BitWriter{0, 0});
    EXPECT_EQ(static_cast<size_t>(g_encoder.out_ptr - out.data()) * 8 + w.count, c.bits);
    EXPECT_EQ(w.count, c.bits % 8);  // whole bytes are written as they fill
    flush_bits(w);
    EXPECT_EQ(w.count, 0u);
    EXPECT_EQ(static_cast<size_t>(g_encoder.out_ptr - out.data()), (c.bits + 7) / 8);
    if (!c.bytes.empty()) {
      EXPECT_EQ(Bytes(out.data(), g_encoder.out_ptr), c.bytes);
    }
  }
}

// libjpeg's lossless transcode with fitted tables, the restart interval kept; empty on error.
Bytes libjpeg_transcode(const Bytes& jpeg) {
  jpeg_decompress_struct d{};
  jpeg_compress_struct c{};
  LibjpegErrors err{};
  d.err = c.err = err.manager();
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&c);
    jpeg_destroy_decompress(&d);
    std::free(out);
    return {};
  }
  jpeg_create_decompress(&d);
  jpeg_create_compress(&c);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&d);
  jpeg_mem_dest(&c, &out, &out_size);
  jpeg_copy_critical_parameters(&d, &c);
  c.optimize_coding = TRUE;
  c.restart_interval = d.restart_interval;
  jpeg_write_coefficients(&c, coefficients);
  jpeg_finish_compress(&c);
  jpeg_finish_decompress(&d);
  jpeg_destroy_compress(&c);
  jpeg_destroy_decompress(&d);
  Bytes result(out, out + out_size);
  std::free(out);
  return result;
}

// The Huffman tables a stream defines before its scan, by class and slot (0x00..0x13), each as
// its 16 counts and its symbols.
std::map<int, Bytes> huffman_tables(const Bytes& jpeg) {
  std::map<int, Bytes> tables;
  for (const Segment& s : split_segments(jpeg)) {
    if (s.marker == 0xDA) break;
    if (s.marker != 0xC4) continue;
    for (size_t i = s.offset + 4; i + 17 <= s.offset + s.length;) {
      size_t count = 0;
      for (size_t len = 1; len <= 16; ++len) count += jpeg[i + len];
      tables[jpeg[i]] = Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(i + 1),
                              jpeg.begin() + static_cast<std::ptrdiff_t>(i + 17 + count));
      i += 17 + count;
    }
  }
  return tables;
}

// The entropy-coded data and the markers after it: everything after the SOS segment.
Bytes scan_bytes(const Bytes& jpeg) {
  return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(scan_data_offset(jpeg)), jpeg.end());
}

// A stream with the library's standard tables, as the tool recodes it before fitting them.
Bytes our_recode(const Bytes& source, int quality) {
  RecodeAnyOptions options;
  options.exact = true;
  options.target_quality = quality;
  options.keep_metadata = false;
  return recode_any(source.data(), source.size(), options).stream;
}

struct RefitCase {
  const char* name;
  Bytes jpeg;
};

// Streams of every layout the refit takes: our encoder's (whose edge blocks beyond the image
// carry the edge's samples, which the refit writes as libjpeg does), and libjpeg's own with the
// standard tables (restart intervals by rows and by MCUs, 4:4:4, 4:2:2, greyscale, CMYK).
std::vector<RefitCase> refit_cases() {
  auto libjpeg = [](int w, int h, JpegOptions o) {
    return libjpeg_encode(photo_rgb(w, h, 9), w, h, o);
  };
  CmykOptions ycck;
  ycck.is_ycck = true;
  ycck.h[0] = ycck.v[0] = ycck.h[3] = ycck.v[3] = 2;
  return {
      {"ours 333x251 q95 to 70", our_recode(libjpeg(333, 251, baseline_options(95)), 70)},
      {"ours 450x600 q93 to 80", our_recode(libjpeg(450, 600, baseline_options(93)), 80)},
      {"ours 17x9 to 100", our_recode(libjpeg(17, 9, baseline_options(98)), 100)},
      {"ours 1x1", our_recode(libjpeg(1, 1, baseline_options(90)), 50)},
      {"ours 640x480 q100 to 95", our_recode(libjpeg(640, 480, baseline_options(100)), 95)},
      {"libjpeg restart every row", libjpeg(301, 199, baseline_options(85, 1))},
      {"libjpeg restart every 7 MCUs", libjpeg(301, 199, baseline_options(85, 0, 7))},
      {"libjpeg 444", libjpeg(129, 67, layout_options(1, 1))},
      {"libjpeg 422", libjpeg(129, 67, layout_options(2, 1))},
      {"libjpeg greyscale", libjpeg(129, 67, layout_options(1, 1, 1))},
      {"libjpeg ycck 2x2,1x1,1x1,2x2", cmyk_jpeg(101, 67, ycck)},
  };
}

TEST(HuffmanRefit, GivesLibjpegsTablesAndScan) {
  for (const RefitCase& c : refit_cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.jpeg.empty());
    Bytes ours;
    ASSERT_TRUE(refit_huffman_tables(c.jpeg.data(), c.jpeg.size(), &ours));
    const Bytes theirs = libjpeg_transcode(c.jpeg);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(huffman_tables(ours), huffman_tables(theirs));
    EXPECT_TRUE(scan_bytes(ours) == scan_bytes(theirs)) << "the scans differ";
    EXPECT_LT(ours.size(), c.jpeg.size());
    // Nothing but the tables changed: the same pixels as the stream with its own tables.
    std::vector<uint8_t> before, after;
    int w0 = 0, h0 = 0, w1 = 0, h1 = 0, warnings = 0;
    if (libjpeg_decode_rgb(c.jpeg, &before, &w0, &h0, &warnings)) {
      ASSERT_TRUE(libjpeg_decode_rgb(ours, &after, &w1, &h1, &warnings));
      EXPECT_EQ(warnings, 0);
      EXPECT_TRUE(before == after) << "decoded pixels differ";
    } else {
      EXPECT_EQ(libjpeg_decode_cmyk(ours).cmyk, libjpeg_decode_cmyk(c.jpeg).cmyk);
    }
  }
}

// What the refit does not rewrite it leaves alone: out as it was, false.
TEST(HuffmanRefit, LeavesOtherStreamsAlone) {
  const Bytes sound = libjpeg_encode(photo_rgb(96, 64, 3), 96, 64, baseline_options(85));
  Bytes twelve_bit = sound, no_tables, trailing = sound, cut(sound.begin(), sound.end() - 300);
  for (const Segment& s : split_segments(sound)) {
    if (s.marker == 0xC0) twelve_bit[s.offset + 4] = 12;
    if (s.marker != 0xC4) {
      no_tables.insert(no_tables.end(), sound.begin() + static_cast<std::ptrdiff_t>(s.offset),
                       sound.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
    }
  }
  trailing.insert(trailing.end(), {0xFF, 0xD8, 0xFF, 0xD9});
  cut.insert(cut.end(), {0xFF, 0xD9});
  // The first table of class tc with its symbol from named to: a scan that holds symbols no
  // baseline scan may.
  const auto symbol_renamed = [&sound](uint8_t tc, uint8_t from, uint8_t to) {
    Bytes b = sound;
    for (const Segment& s : split_segments(sound)) {
      if (s.marker != 0xC4 || sound[s.offset + 4] >> 4 != tc) continue;
      const size_t values = s.offset + 4 + 17;
      for (size_t i = values; i < s.offset + s.length; ++i) {
        if (b[i] == from) b[i] = to;
      }
      break;
    }
    return b;
  };
  const RefitCase cases[] = {
      {"progressive", libjpeg_encode(photo_rgb(96, 64, 3), 96, 64, layout_options(2, 2, 3, true))},
      {"arithmetic",
       libjpeg_encode(photo_rgb(96, 64, 3), 96, 64, layout_options(2, 2, 3, false, true))},
      {"12-bit frame", twelve_bit},
      {"no Huffman tables", no_tables},
      {"data after the EOI", trailing},
      {"scan cut short", cut},
      {"not a JPEG", Bytes{'G', 'I', 'F', '8', '9', 'a'}},
      {"AC size 11", symbol_renamed(1, 0x00, 0x0B)},
      {"AC run with size 0 but ZRL", symbol_renamed(1, 0x00, 0x30)},
      {"DC category 12", symbol_renamed(0, 0x00, 0x0C)},
  };
  for (const RefitCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.jpeg.empty());
    Bytes out{1, 2, 3};
    EXPECT_FALSE(refit_huffman_tables(c.jpeg.data(), c.jpeg.size(), &out));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
  }
}

}  // namespace
}  // namespace kestrum::test
