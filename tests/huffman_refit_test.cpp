// SPDX-License-Identifier: MIT
// Huffman tables refitted symbol by symbol, against libjpeg as the reference: its optimal-table
// builder on the same counts, and its transcode (read the coefficients, write them with
// optimize_coding) on the same stream, which must give the same tables and the same scan bytes.
#include "recode_any/huffman_refit.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <map>
#include <random>

#include "../fuzz/libjpeg_errors.h"
#include "kestrum/recode_any.h"
#include "test_images.h"
#include "test_util.h"

extern "C" {
// Exported by libjpeg for its transcoders (jchuff.c); not in its public header.
void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);
}

namespace kestrum::test {
namespace {

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

// The optimal-table builder against libjpeg's on the same counts: even, random, a single symbol,
// and Fibonacci counts whose Huffman tree is deeper than 16 levels before the limit.
TEST(HuffmanRefit, OptimalTablesAreLibjpegs) {
  std::vector<std::array<uint64_t, 256>> cases(3);
  cases[0].fill(1);
  cases[1][0x11] = 5;
  for (uint64_t i = 0, a = 1, b = 1; i < 40; ++i, b = a + b, a = b - a)
    cases[2][static_cast<size_t>(i) * 3] = a;
  std::mt19937 rng(7);
  for (int n = 0; n < 20; ++n) {
    std::array<uint64_t, 256>& counts = cases.emplace_back();
    for (uint64_t& count : counts) count = rng() % 4 == 0 ? rng() % 100000 : 0;
    counts[rng() % 256] += 1;
  }
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    long freq[257] = {};
    for (size_t s = 0; s < 256; ++s) freq[s] = static_cast<long>(cases[i][s]);
    JHUFF_TBL theirs{};
    jpeg_gen_optimal_table(&c, &theirs, freq);
    const HuffmanTable ours = optimal_huffman_table(cases[i]);
    size_t total = 0;
    for (size_t len = 1; len <= 16; ++len) {
      EXPECT_EQ(ours.bits[len], theirs.bits[len]) << "length " << len;
      total += theirs.bits[len];
    }
    ASSERT_EQ(ours.values.size(), total);
    EXPECT_TRUE(std::equal(ours.values.begin(), ours.values.end(), theirs.huffval));
  }
  jpeg_destroy_compress(&c);
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
