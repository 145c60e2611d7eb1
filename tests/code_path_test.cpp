// SPDX-License-Identifier: MIT
// The fast paths against the reference path: the same sources, decoded and recoded by the
// reference plan, by plans with one fast part switched on alone, and by the full fast plan on one
// and two threads, give the same planes (padding columns included), the same streams and the same
// transcripts.
#include "common/code_path.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/fuzz_entries.h"
#include "api/pipeline.h"
#include "api/process_state.h"
#include "decoder/decoder_state.h"
#include "encoder/encoder_state.h"
#include "param_name.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

struct PathCase {
  int width, height;
  JpegOptions options;
  size_t truncate_to;  // 0 = whole file, else the file is cut to this many bytes
};

struct Outcome {
  OurDecode decode;
  int32_t recode_status = 0;
  Bytes stream;
  std::string recode_log;
  DecodeDamage damage;
};

Outcome run(const Bytes& source, const RecodePlan& plan) {
  set_recode_plan(plan);
  reset_decoder_state();
  reset_encoder_state();
  Outcome o;
  o.decode = decode_ours(source);
  ConsoleCapture capture;
  EncodedStream out;
  o.recode_status = recode_memory(source.data(), static_cast<uint32_t>(source.size()), 85, &out,
                                  ConsoleTarget{}, &o.damage);
  o.stream.assign(out.data, out.data + out.length);
  release_stream(out);
  o.recode_log = capture.text();
  set_recode_plan(RecodePlan{});
  return o;
}

// Runs the source by every compared plan and expects the reference path's recode: its status,
// transcript, bytes and what the decode met; with has_decode its decode too (the planes only
// where it succeeded: after a failed decode the buffer holds no result, as direct output has
// rows in it that the full-resolution planes never brought there).
Outcome expect_reference_result(const Bytes& source, bool has_decode, const std::string& what) {
  Outcome ref = run(source, reference_plan());
  for (const fuzz::NamedPlan& p : fuzz::compared_plans()) {
    SCOPED_TRACE(p.name + what);
    const Outcome fast = run(source, p.plan);
    if (has_decode) {
      EXPECT_EQ(fast.decode.status, ref.decode.status);
      EXPECT_EQ(fast.decode.width, ref.decode.width);
      EXPECT_EQ(fast.decode.height, ref.decode.height);
      EXPECT_EQ(fast.decode.log, ref.decode.log);
      EXPECT_TRUE(ref.decode.status != 0 || fast.decode.image == ref.decode.image) << "planes";
    }
    EXPECT_EQ(fast.recode_status, ref.recode_status);
    EXPECT_EQ(fast.recode_log, ref.recode_log);
    EXPECT_TRUE(fast.stream == ref.stream) << "streams differ";
    EXPECT_EQ(fast.damage.first_starved_row, ref.damage.first_starved_row);
    EXPECT_EQ(fast.damage.has_data_resumed, ref.damage.has_data_resumed);
    EXPECT_EQ(fast.damage.bad_codes, ref.damage.bad_codes);
    EXPECT_EQ(fast.damage.restart_errors, ref.damage.restart_errors);
    EXPECT_EQ(fast.damage.has_no_eoi, ref.damage.has_no_eoi);
  }
  return ref;
}

class CodePaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(CodePaths, FastPathsGiveTheReferenceBytes) {
  const PathCase& c = GetParam();
  Bytes source = libjpeg_encode(photo_rgb(c.width, c.height, static_cast<uint32_t>(c.width)),
                                c.width, c.height, c.options);
  ASSERT_FALSE(source.empty());
  if (c.truncate_to != 0 && c.truncate_to < source.size()) source.resize(c.truncate_to);
  const Outcome reference = expect_reference_result(source, true, "");
  // Every source decodes (a cut one with what it lacks padded), so its planes are compared.
  EXPECT_EQ(reference.decode.status, 0);
  if (c.truncate_to == 0) {
    EXPECT_EQ(reference.recode_status, 0);
    EXPECT_GT(reference.stream.size(), 600u);
  }
}

// Widths around the 16-column padding (below 16 the reference path is always taken), heights
// that leave partial MCU rows, restart intervals of rows and of single MCUs, a source at quality
// 100 (dense coefficients), optimized tables, sources cut inside the scan, and one past the MCU
// (row 111, column 19) where the encoder reports progress.
// width, height, options, bytes the file is cut to (0: the whole file)
INSTANTIATE_TEST_SUITE_P(
    Sizes, CodePaths,
    ::testing::Values(
        // clang-format off
        PathCase{16, 16, baseline_options(92), 0}, PathCase{17, 9, baseline_options(92), 0},
        PathCase{9, 40, baseline_options(92), 0}, PathCase{31, 33, baseline_options(75, 0, 3), 0},
        PathCase{100, 75, baseline_options(92, 1), 0},
        PathCase{129, 130, baseline_options(100), 0},
        PathCase{257, 31, baseline_options(92, 0, 0, true), 0},
        PathCase{333, 250, baseline_options(92, 2), 0}, PathCase{640, 480, baseline_options(92), 0},
        PathCase{1023, 767, baseline_options(92, 0, 7), 0},
        PathCase{301, 203, baseline_options(92), 4000},
        PathCase{301, 203, baseline_options(92, 1), 9000},
        PathCase{321, 1793, baseline_options(80), 0}));
// clang-format on

// Damaged entropy data, where the fast MCU decoder must hand over to the exact reader at the
// right place, and must decode every code the exact reader does: random entropy data (long and
// unassigned codes, runs past the block end), flipped bits, restart markers inserted where none
// belong, fill bytes (FF FF 00), a marker other than RST inside the scan, and truncation; and a
// stream without its SOI whose scan ends in noise, after which the marker walk reads byte pairs
// from the very byte where the entropy decoder stopped.
// clang-format off
enum class Damage { kFlipBits, kInsertRst, kInsertFill, kInsertMarker, kTruncate, kNoise,
                    kNoSoiNoisyEnd };
// clang-format on
struct DamageCase {
  const char* name;
  Damage damage;
  int restart_rows;
};

class DamagedScans : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedScans, FastPathsGiveTheReferenceBytes) {
  const DamageCase& c = GetParam();
  const Bytes clean =
      libjpeg_encode(photo_rgb(333, 250, 5), 333, 250, baseline_options(92, c.restart_rows, 0));
  // The first entropy-coded byte and the final FF D9.
  const size_t begin = scan_data_offset(clean), end = clean.size() - 2;
  ASSERT_GT(begin, 0u);
  ASSERT_GT(end, begin + 1000);
  std::mt19937 rng(static_cast<uint32_t>(c.damage) * 31u + static_cast<uint32_t>(c.restart_rows));
  std::uniform_int_distribution<size_t> where(begin, end - 1);
  for (int variant = 0; variant < 12; ++variant) {
    Bytes source = clean;
    const size_t at = where(rng);
    switch (c.damage) {
      case Damage::kFlipBits:
        for (int k = 0; k < 1 + variant; ++k)
          source[where(rng)] ^= static_cast<uint8_t>(1u << (k % 8));
        break;
      case Damage::kInsertRst:
        source.insert(source.begin() + static_cast<std::ptrdiff_t>(at),
                      {0xFF, static_cast<uint8_t>(0xD0 + variant % 8)});
        break;
      case Damage::kInsertFill:
        source.insert(source.begin() + static_cast<std::ptrdiff_t>(at), {0xFF, 0xFF, 0x00});
        break;
      case Damage::kInsertMarker:
        source.insert(source.begin() + static_cast<std::ptrdiff_t>(at),
                      {0xFF, static_cast<uint8_t>(0xE1 + variant)});
        break;
      case Damage::kTruncate:
        source.resize(at);
        break;
      case Damage::kNoSoiNoisyEnd:
        source[0] = 0x00;
        source[1] = 0x00;
        for (size_t i = at; i < end; ++i) source[i] = static_cast<uint8_t>(rng() % 0xFF);
        break;
      case Damage::kNoise:
        for (size_t i = begin; i < end; ++i) {
          source[i] = static_cast<uint8_t>(rng());
          if (source[i] == 0xFF && i + 1 < end) source[++i] = 0x00;
        }
        break;
    }
    const Outcome reference =
        expect_reference_result(source, true, ", variant " + std::to_string(variant));
    // Damage that takes data away is always told.
    if (reference.recode_status == 0 &&
        (c.damage == Damage::kTruncate || c.damage == Damage::kNoise)) {
      EXPECT_TRUE(reference.damage.is_damaged()) << c.name << " variant " << variant;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedScans,
    ::testing::Values(
        DamageCase{"flip", Damage::kFlipBits, 0}, DamageCase{"flip_rst", Damage::kFlipBits, 1},
        DamageCase{"rst", Damage::kInsertRst, 0}, DamageCase{"rst_rst", Damage::kInsertRst, 2},
        DamageCase{"fill", Damage::kInsertFill, 0}, DamageCase{"fill_rst", Damage::kInsertFill, 1},
        DamageCase{"marker", Damage::kInsertMarker, 0}, DamageCase{"cut", Damage::kTruncate, 0},
        DamageCase{"noise", Damage::kNoise, 0}, DamageCase{"noise_rst", Damage::kNoise, 3},
        DamageCase{"cut_rst", Damage::kTruncate, 1},
        DamageCase{"no_soi_noisy_end", Damage::kNoSoiNoisyEnd, 0}),
    ParamName());

// Segments after the scan, which the decoder's last header pass reads once every row is decoded:
// the one-pass recode has coded its rows by then, so where such a segment changes a table the
// quality estimate read it must do the recode again through the whole image; the others change
// nothing it used. Every plan gives the reference path's status, transcript and bytes.
struct AfterScanCase {
  const char* name;
  bool changes_the_estimate;  // the reference's bytes differ from those without the segments
};

class AfterTheScan : public ::testing::TestWithParam<AfterScanCase> {};

Bytes with_trailer(const Bytes& jpeg, const std::string& name) {
  Bytes sof = segment_bytes(jpeg, 0xC0), sos = segment_bytes(jpeg, 0xDA);
  sos.resize(2 + (size_t{sos[2]} << 8 | sos[3]));  // the scan header without the scan
  Bytes body(65);                                  // a table of 1..64
  for (size_t i = 1; i < 65; ++i) body[i] = static_cast<uint8_t>(i);
  const auto dqt = [&body](uint8_t slot) {
    body[0] = slot;
    return segment(0xDB, body);
  };
  const auto dht = [](uint8_t slot) {  // one code of one bit
    return segment(0xC4, Bytes{slot, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
  };
  Bytes other_sof = sof;
  other_sof[5] = 0x00, other_sof[6] = 0x40, other_sof[7] = 0x00, other_sof[8] = 0x40;  // 64 x 64
  const std::map<std::string, Bytes> trailers = {
      {"dqt_luma", dqt(0)},
      {"dqt_chroma", dqt(1)},
      {"dqt_unused_slot", dqt(2)},
      {"dht", dht(0x00)},
      {"sof", other_sof},
      {"sos", sos},
      {"app_and_com", concat({segment(0xE1, Bytes(40, 0x41)), segment(0xE5, Bytes(10, 0x00)),
                              segment(0xFE, Bytes{'h', 'i'})})},
      {"everything", concat({segment(0xE2, Bytes(8, 0x11)), dht(0x10), dqt(0), sos})}};
  return concat({Bytes(jpeg.begin(), jpeg.end() - 2), trailers.at(name), {0xFF, 0xD9}});
}

TEST_P(AfterTheScan, OnePassGivesTheReferenceResult) {
  const AfterScanCase& c = GetParam();
  for (const int restart_rows : {0, 1}) {
    const Bytes base =
        libjpeg_encode(photo_rgb(333, 250, 8), 333, 250, baseline_options(92, restart_rows));
    const Bytes source = with_trailer(base, c.name);
    ASSERT_NE(source, base);
    const Outcome reference =
        expect_reference_result(source, false, ", restart rows " + std::to_string(restart_rows));
    EXPECT_EQ(reference.stream != run(base, reference_plan()).stream, c.changes_the_estimate);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Trailers, AfterTheScan,
    ::testing::Values(AfterScanCase{"dqt_luma", true}, AfterScanCase{"dqt_chroma", true},
                      AfterScanCase{"dqt_unused_slot", false}, AfterScanCase{"dht", false},
                      AfterScanCase{"sof", false}, AfterScanCase{"sos", false},
                      AfterScanCase{"app_and_com", false}, AfterScanCase{"everything", true}),
    ParamName());

}  // namespace
}  // namespace kestrum::test
