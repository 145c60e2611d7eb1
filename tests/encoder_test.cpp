// SPDX-License-Identifier: MIT
// Exact header bytes, restart markers and stream framing, the quality estimate against libjpeg's
// own quality scaling, and recodes that libjpeg decodes cleanly above a PSNR floor.
#include <gtest/gtest.h>

#include "api/pipeline.h"
#include "api/process_state.h"
#include "common/code_path.h"
#include "common/jpeg_tables.h"
#include "common/planar_layout.h"
#include "decoder/decoder_state.h"
#include "encoder/encode_driver.h"
#include "encoder/encoder_state.h"
#include "encoder/header_writer.h"
#include "encoder/quality.h"
#include "param_name.h"
#include "platform/heap.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

// Encodes a grey planar image of width x height with our encoder at quality, with the decoder's
// stored tables as they are.
Bytes encode_plain(int32_t width, int32_t height, uint16_t quality, std::string* log = nullptr) {
  EncoderState& e = g_encoder;
  e.image_width = width;
  e.image_height = height;
  e.aligned_width = (width + 15) & ~15;
  e.aligned_height = (height + 15) & ~15;
  std::vector<uint8_t> image(
      static_cast<size_t>(e.aligned_width) * static_cast<size_t>(e.aligned_height) * 3 / 2, 128);
  for (size_t i = 0; i < image.size() / 3 * 2; ++i) image[i] = static_cast<uint8_t>((i * 7) % 251);
  ImageAttribute a{};
  EncoderWorkspace ws{};
  std::vector<int16_t> blocks(768);
  ws.block_buffer = blocks.data();
  a.sampling_format = 2;
  a.quality = quality;
  a.image_buffer = image.data();
  a.stream_capacity_bytes = 4000;  // small on purpose: the encoder must grow it
  a.stream_buffer = static_cast<uint8_t*>(std::malloc(a.stream_capacity_bytes));
  e.attribute = &a;
  e.workspace = &ws;
  ConsoleCapture capture;
  EXPECT_EQ(JImageInit(), 0);
  EXPECT_EQ(JImageEncoder(), 0);
  Bytes out(a.stream_buffer, a.stream_buffer + a.stream_length);
  std::free(a.stream_buffer);
  if (log != nullptr) *log = capture.text();
  return out;
}

class Encoder : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoder_state();
    reset_encoder_state();
  }
};

TEST_F(Encoder, HeaderBytes640x480) {
  // Source tables all 1 (quality 100): no adjustment.
  for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  const Bytes s = encode_plain(640, 480, 100);
  ASSERT_GT(s.size(), 629u);
  const std::vector<uint8_t> start = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                                      0,    1,    1,    0,    0,    1,    0,   1,   0,   0};
  EXPECT_EQ(Bytes(s.begin(), s.begin() + 20), start);
  // DQT luma at 20, chroma at 89, all 01 at quality 100
  EXPECT_EQ(Bytes(s.begin() + 20, s.begin() + 25), (Bytes{0xFF, 0xDB, 0x00, 0x43, 0x00}));
  EXPECT_EQ(Bytes(s.begin() + 89, s.begin() + 94), (Bytes{0xFF, 0xDB, 0x00, 0x43, 0x01}));
  for (size_t i = 0; i < 64; ++i) ASSERT_EQ(s[25 + i], 1) << i;
  EXPECT_EQ(Bytes(s.begin() + 158, s.begin() + 164), (Bytes{0xFF, 0xDD, 0x00, 0x04, 0x00, 0x28}));
  const Bytes sof = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03,
                     0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
  EXPECT_EQ(Bytes(s.begin() + 164, s.begin() + 183), sof);
  EXPECT_EQ(Bytes(s.begin() + 183, s.begin() + 188), (Bytes{0xFF, 0xC4, 0x00, 0x1F, 0x00}));
  EXPECT_EQ(Bytes(s.begin() + 216, s.begin() + 221), (Bytes{0xFF, 0xC4, 0x00, 0xB5, 0x10}));
  EXPECT_EQ(Bytes(s.begin() + 399, s.begin() + 404), (Bytes{0xFF, 0xC4, 0x00, 0x1F, 0x01}));
  EXPECT_EQ(Bytes(s.begin() + 432, s.begin() + 437), (Bytes{0xFF, 0xC4, 0x00, 0xB5, 0x11}));
  const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                     0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
  EXPECT_EQ(Bytes(s.begin() + 615, s.begin() + 629), sos);
  EXPECT_EQ(s[s.size() - 2], 0xFF);
  EXPECT_EQ(s[s.size() - 1], 0xD9);
}

TEST_F(Encoder, Header100x75AndQuality85Dqt) {
  for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  const Bytes s = encode_plain(100, 75, 85);
  EXPECT_EQ(Bytes(s.begin() + 162, s.begin() + 164), (Bytes{0x00, 0x07}));
  EXPECT_EQ(Bytes(s.begin() + 169, s.begin() + 173), (Bytes{0x00, 0x4B, 0x00, 0x64}));
  EXPECT_EQ(Bytes(s.begin() + 25, s.begin() + 33), (Bytes{5, 3, 4, 4, 4, 3, 5, 4}));
}

TEST_F(Encoder, RestartMarkersCycleAfterEveryRowButTheLast) {
  for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  const Bytes s = encode_plain(64, 160, 90);  // 10 MCU rows
  std::vector<uint8_t> markers;
  for (size_t i = 629; i + 1 < s.size(); ++i) {
    if (s[i] == 0xFF && s[i + 1] != 0x00) markers.push_back(s[i + 1]);
    if (s[i] == 0xFF && s[i + 1] >= 0xD0 && s[i + 1] <= 0xD7) {
      // byte before a marker ends with the 1-bit fill, and is not an unstuffed 0xFF
      EXPECT_FALSE(s[i - 1] == 0xFF);
    }
  }
  EXPECT_EQ(markers,
            (std::vector<uint8_t>{0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD0, 0xD9}));
  const Bytes one_row = encode_plain(64, 16, 90);
  int rst = 0;
  for (size_t i = 629; i + 1 < one_row.size(); ++i)
    rst += one_row[i] == 0xFF && one_row[i + 1] >= 0xD0 && one_row[i + 1] <= 0xD7;
  EXPECT_EQ(rst, 0);
}

TEST_F(Encoder, OkMessageAtMcu111Column19) {
  for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  std::string log;
  encode_plain(320, 1792, 50, &log);
  EXPECT_EQ(log, "ok!!!");
  encode_plain(320, 1791 - 15, 50, &log);
  EXPECT_EQ(log, "");
  encode_plain(304, 1792, 50, &log);
  EXPECT_EQ(log, "");
}

TEST_F(Encoder, QualityRule) {
  std::array<int16_t, 64> t{};
  scale_quant_table(kBaseLumaQuant.data(), t.data(), 85);
  EXPECT_EQ((std::array<int16_t, 8>{t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]}),
            (std::array<int16_t, 8>{5, 3, 3, 5, 7, 12, 15, 18}));
  scale_quant_table(kBaseLumaQuant.data(), t.data(), 1);
  for (int16_t v : t) ASSERT_EQ(v, 255);
  scale_quant_table(kBaseLumaQuant.data(), t.data(), 100);
  for (int16_t v : t) ASSERT_EQ(v, 1);
  EXPECT_EQ(estimate_source_quality(128), 100);
  EXPECT_EQ(estimate_source_quality(4638), 75);
  EXPECT_EQ(estimate_source_quality(9193), 50);
}

// The rule and its inverse: a target at or below the estimate is reached exactly, one above it
// gives the estimate (the finest a request of at most 100 reaches), and an estimate of 100 or
// none (0) leaves the request as it is.
TEST_F(Encoder, QualityUsedAndItsInverse) {
  for (int32_t estimate = 0; estimate <= 100; ++estimate) {
    for (int32_t target = 1; target <= 100; ++target) {
      const int32_t request = request_for(target, estimate);
      ASSERT_LE(request, 100);
      const bool is_reachable = estimate == 0 || estimate == 100 || target <= estimate;
      ASSERT_EQ(quality_used(request, estimate), is_reachable ? target : estimate)
          << "target " << target << ", estimate " << estimate;
    }
  }
  EXPECT_EQ(quality_used(85, 75), 60);
  EXPECT_EQ(quality_used(20, 50), 1);
  EXPECT_EQ(quality_used(85, 0), 85);
  EXPECT_EQ(quality_used(85, 100), 85);
  EXPECT_EQ(quality_used(150, 100), 100);
}

// The estimate on both sides of each boundary: the sum of libjpeg's two tables at quality q is
// estimated as q, and one more than that as the quality below (whose tables are coarser).
TEST_F(Encoder, QualityEstimateBoundariesAreLibjpegsTables) {
  const auto libjpeg_sum = [](int q) {
    QuantTables tables;
    EXPECT_TRUE(libjpeg_quality_tables(q, &tables));
    int sum = 0;
    for (const auto& table : tables) {
      for (int v : table) sum += v;
    }
    return sum;
  };
  for (int q : {99, 98, 90, 85, 75, 51, 50, 49, 30, 10, 5, 2}) {
    const int sum = libjpeg_sum(q);
    ASSERT_LT(libjpeg_sum(q + 1), sum) << q;  // a boundary: the quality above is finer
    ASSERT_LT(sum, libjpeg_sum(q - 1)) << q;
    EXPECT_EQ(estimate_source_quality(sum), q);
    EXPECT_EQ(estimate_source_quality(sum + 1), q - 1);
    EXPECT_EQ(estimate_source_quality(libjpeg_sum(q + 1) + 1), q);
  }
  EXPECT_EQ(estimate_source_quality(libjpeg_sum(100)), 100);
  EXPECT_EQ(estimate_source_quality(libjpeg_sum(100) + 1), 99);
  EXPECT_EQ(estimate_source_quality(libjpeg_sum(1)), 1);
}

// How a caller's quality reaches the encoder. A recode's request keeps the low 16 bits (0 is
// turned into 85 later, by the encoder); an image from another decoder is coded at exactly its
// quality, folded into 1..100, so its tables are libjpeg's at that quality whatever it was.
TEST_F(Encoder, RequestsReachTheEncoderAsTheirRuleSays) {
  for (const auto& [caller, expected] : {std::pair{85, 85}, std::pair{0, 0}, std::pair{-1, 65535},
                                         std::pair{70000, 4464}, std::pair{65536, 0}}) {
    const QualityRequest request = lowered_request(caller);
    EXPECT_EQ(request.quality, expected) << caller;
    EXPECT_FALSE(request.is_exact);
  }
  constexpr int32_t kWidth = 48, kHeight = 32;
  Bytes image(planar420_layout(kWidth, kHeight).total_bytes);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 ^ (i >> 4));
  for (int32_t caller : {-5, 0, 1, 37, 50, 85, 100, 101, 70000}) {
    SCOPED_TRACE(caller);
    const QualityRequest request = exact_request(caller);
    EXPECT_TRUE(request.is_exact);
    EncodedStream out;
    ConsoleCapture quiet;
    ASSERT_EQ(encode_image_memory(image.data(), kWidth, kHeight, caller, &out), kRecodeOk);
    const Bytes stream(out.data, out.data + out.length);
    release_stream(out);
    QuantTables ours, libjpegs;
    ASSERT_TRUE(libjpeg_read_quant_tables(stream, &ours));
    ASSERT_TRUE(libjpeg_quality_tables(caller, &libjpegs));  // libjpeg folds the quality itself
    EXPECT_EQ(ours, libjpegs);
  }
}

// A recode of a libjpeg file saved at quality q, requested at r, carries the tables libjpeg itself
// writes at r - (100 - q): the estimate finds q from the source's tables, and the request is
// lowered by its distance from 100. libjpeg folds the lowered quality into 1..100 as the encoder
// must (at or below 0 it takes 1, above 100 it takes 100); a request of 0 stands for 85. Both
// sides of the comparison are libjpeg's: the tables it scales, and our stream's tables as it
// reads them.
struct QualityCase {
  const char* name;
  int source_quality;
  int request;
};
void PrintTo(const QualityCase& c, std::ostream* os) { *os << c.name; }
class QualityEstimate : public ::testing::TestWithParam<QualityCase> {};

TEST_P(QualityEstimate, TablesAreLibjpegsAtTheLoweredQuality) {
  const QualityCase c = GetParam();
  JpegOptions o;
  o.quality = c.source_quality;
  const Bytes src = libjpeg_encode(photo_rgb(96, 64, 2), 96, 64, o);
  EncodedStream out;
  ConsoleCapture quiet;
  ASSERT_EQ(recode_memory(src.data(), static_cast<uint32_t>(src.size()), c.request, &out), 0);
  const Bytes s(out.data, out.data + out.length);
  release_stream(out);
  QuantTables got{}, expected{};
  ASSERT_TRUE(libjpeg_read_quant_tables(s, &got));
  const int request = c.request == 0 ? 85 : c.request;
  ASSERT_TRUE(libjpeg_quality_tables(request - (100 - c.source_quality), &expected));
  EXPECT_EQ(got[0], expected[0]) << "luma";
  EXPECT_EQ(got[1], expected[1]) << "chroma";
}

INSTANTIATE_TEST_SUITE_P(Sources, QualityEstimate,
                         ::testing::Values(QualityCase{"q10_request100_at_10", 10, 100},
                                           QualityCase{"q10_request30_folds_to_1", 10, 30},
                                           QualityCase{"q25_request85_at_10", 25, 85},
                                           QualityCase{"q50_request85_at_35", 50, 85},
                                           QualityCase{"q50_request51_at_1", 50, 51},
                                           QualityCase{"q50_request50_at_0_folds_to_1", 50, 50},
                                           QualityCase{"q50_request10_folds_to_1", 50, 10},
                                           QualityCase{"q75_request85_at_60", 75, 85},
                                           QualityCase{"q75_request100_at_75", 75, 100},
                                           QualityCase{"q75_request0_as_85_at_60", 75, 0},
                                           QualityCase{"q90_request95_at_85", 90, 95},
                                           QualityCase{"q95_request60_at_55", 95, 60},
                                           QualityCase{"q99_request2_at_1", 99, 2},
                                           QualityCase{"q100_request30_at_30", 100, 30},
                                           QualityCase{"q100_request100_at_100", 100, 100},
                                           QualityCase{"q90_request150_folds_to_100", 90, 150},
                                           QualityCase{"q100_request101_folds_to_100", 100, 101}),
                         ParamName());

struct RecodeCase {
  int width, height, source_quality, request;
  double min_psnr;
};
class RecodeQuality : public ::testing::TestWithParam<RecodeCase> {};

TEST_P(RecodeQuality, LibjpegDecodesCleanlyAbovePsnrFloor) {
  const RecodeCase c = GetParam();
  JpegOptions o;
  o.quality = c.source_quality;
  const Bytes src = libjpeg_encode(photo_rgb(c.width, c.height, 4), c.width, c.height, o);
  EncodedStream out;
  ConsoleCapture quiet;
  ASSERT_EQ(recode_memory(src.data(), static_cast<uint32_t>(src.size()), c.request, &out), 0);
  const Bytes s(out.data, out.data + out.length);
  release_stream(out);
  std::vector<uint8_t> a, b;
  int aw = 0, ah = 0, bw = 0, bh = 0, aw_warn = 0, bw_warn = 0;
  ASSERT_TRUE(libjpeg_decode_rgb(src, &a, &aw, &ah, &aw_warn));
  ASSERT_TRUE(libjpeg_decode_rgb(s, &b, &bw, &bh, &bw_warn));
  EXPECT_EQ(bw_warn, 0);
  EXPECT_EQ(bw, c.width);
  EXPECT_EQ(bh, c.height);
  const double p = psnr(a.data(), b.data(), a.size());
  std::printf("source q%d request %d: %zu -> %zu bytes, PSNR %.2f dB\n", c.source_quality,
              c.request, src.size(), s.size(), p);
  EXPECT_GE(p, c.min_psnr);
}

INSTANTIATE_TEST_SUITE_P(Grid, RecodeQuality,
                         ::testing::Values(RecodeCase{640, 480, 90, 100, 40.0},
                                           RecodeCase{641, 479, 90, 85, 30.0},
                                           RecodeCase{320, 240, 75, 100, 35.0},
                                           RecodeCase{320, 240, 50, 85, 25.0},
                                           RecodeCase{200, 150, 95, 70, 28.0}));

TEST_F(Encoder, NoisyLargeImageAtQuality100Grows) {
  // White noise at the finest quantizer is the worst case for the stream buffer.
  const int w = 4000, h = 3000;
  JpegOptions o;
  o.quality = 100;
  const Bytes src = libjpeg_encode(photo_rgb(w, h, 11, 120), w, h, o);
  EncodedStream out;
  ConsoleCapture quiet;
  ASSERT_EQ(recode_memory(src.data(), static_cast<uint32_t>(src.size()), 100, &out), 0);
  EXPECT_GT(out.length, static_cast<size_t>(w) * h * 3 / 8);  // beyond the first capacity
  std::vector<uint8_t> rgb;
  int bw = 0, bh = 0, warn = 0;
  const Bytes s(out.data, out.data + out.length);
  release_stream(out);
  ASSERT_TRUE(libjpeg_decode_rgb(s, &rgb, &bw, &bh, &warn));
  EXPECT_EQ(warn, 0);
}

// A stream that outgrows its first buffer grows through the one sink on every path: each
// producer (the MCU walk, the row coder on one and two threads, the streamed rows) gives the
// reference path's bytes, and every allocation failing in turn fails the recode cleanly (no
// leak or double free under the sanitizers) with the next recode as before.
TEST_F(Encoder, StreamGrowsAlikeOnEveryPath) {
  const int w = 320, h = 240;
  JpegOptions o;
  o.quality = 100;
  const Bytes src = libjpeg_encode(photo_rgb(w, h, 11, 120), w, h, o);
  ConsoleCapture quiet;
  const auto recode = [&](Bytes* out) { return recode_in_memory(src, 100, out); };
  struct RestorePlan {
    ~RestorePlan() { set_recode_plan(RecodePlan{}); }
  } restore;
  set_recode_plan(reference_plan());
  Bytes reference;
  ASSERT_EQ(recode(&reference), 0);
  ASSERT_GT(reference.size(), initial_stream_capacity(w, h)) << "the case must outgrow the buffer";
  struct Path {
    const char* name;
    bool is_row_coder, is_streaming;
    int32_t threads;
  };
  for (const Path& p : {Path{"row coder, one thread", true, false, 1},
                        Path{"row coder, two threads", true, false, 2},
                        Path{"streamed rows, one thread", true, true, 1},
                        Path{"streamed rows, two threads", true, true, 2}}) {
    RecodePlan plan;
    plan.is_row_coder = p.is_row_coder;
    plan.is_streaming = p.is_streaming;
    plan.threads = p.threads;
    set_recode_plan(plan);
    heap_fail_nth(0);
    Bytes out;
    ASSERT_EQ(recode(&out), 0) << p.name;
    EXPECT_TRUE(out == reference) << p.name;
    const int allocations = heap_fail_nth(0);
    for (int n = 1; n <= allocations; ++n) {
      heap_fail_nth(n);
      Bytes failed;
      const int32_t status = recode(&failed);
      heap_fail_nth(0);
      // A second thread's buffers that cannot be had leave the work to one thread.
      EXPECT_TRUE(status < 0 || failed == reference) << p.name << ", allocation " << n;
    }
    Bytes again;
    ASSERT_EQ(recode(&again), 0);
    EXPECT_TRUE(again == reference) << p.name;
  }
}

TEST_F(Encoder, RefusesOtherSamplingAndNullBuffer) {
  ImageAttribute a{};
  EncoderWorkspace ws{};
  g_encoder.attribute = &a;
  g_encoder.workspace = &ws;
  g_encoder.aligned_width = 112;
  g_encoder.aligned_height = 80;
  a.sampling_format = 2;
  EXPECT_EQ(JImageInit(), 1);  // null stream buffer
  EXPECT_EQ(a.region_width, 112);
  EXPECT_EQ(a.region_height, 80);
  std::vector<uint8_t> buffer(8192);
  a.stream_buffer = buffer.data();
  a.stream_capacity_bytes = buffer.size();
  a.sampling_format = 1;
  EXPECT_EQ(JImageInit(), 1);
  a.sampling_format = 2;
  a.quality = 0;
  EXPECT_EQ(JImageInit(), 0);
  EXPECT_EQ(a.quality, 85);
}

}  // namespace
}  // namespace kestrum::test

namespace kestrum::test {
namespace {

// After each restart marker the DC predictors start from 0: the first DC of the next row is
// coded as its own value. Two rows of the same flat content therefore code identically.
TEST(EncoderRestart, PredictorsResetAfterEachMarker) {
  reset_decoder_state();
  reset_encoder_state();
  for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  EncoderState& e = g_encoder;
  e.image_width = e.aligned_width = 32;
  e.image_height = e.aligned_height = 32;
  std::vector<uint8_t> image(32 * 32 * 3 / 2, 200);
  ImageAttribute a{};
  EncoderWorkspace ws{};
  std::vector<int16_t> blocks(768);
  ws.block_buffer = blocks.data();
  a.sampling_format = 2;
  a.quality = 50;
  a.image_buffer = image.data();
  a.stream_capacity_bytes = 8192;
  a.stream_buffer = static_cast<uint8_t*>(std::malloc(a.stream_capacity_bytes));
  e.attribute = &a;
  e.workspace = &ws;
  ASSERT_EQ(JImageInit(), 0);
  ASSERT_EQ(JImageEncoder(), 0);
  const Bytes s(a.stream_buffer + kHeaderBytes, a.stream_buffer + a.stream_length);
  std::free(a.stream_buffer);
  size_t rst = 0;
  while (rst + 1 < s.size() && !(s[rst] == 0xFF && s[rst + 1] == 0xD0)) ++rst;
  ASSERT_LT(rst + 1, s.size());
  const Bytes row0(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(rst));
  const Bytes row1(s.begin() + static_cast<std::ptrdiff_t>(rst + 2), s.end() - 2);
  EXPECT_EQ(row0, row1);
}

}  // namespace
}  // namespace kestrum::test
