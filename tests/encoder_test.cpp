// SPDX-License-Identifier: MIT
// Exact header bytes and stream framing, the quality estimate against libjpeg's own quality
// scaling, and recodes that libjpeg decodes cleanly above a PSNR floor.
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

// Encodes a planar image of width x height (a luma ramp) with our encoder at quality, with the
// decoder's stored tables as they are.
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

// Whether a stream's tables, as libjpeg reads them, are the ones libjpeg writes at quality (which
// it folds into 1..100 itself).
testing::AssertionResult has_libjpeg_tables(const Bytes& stream, int quality) {
  QuantTables ours, libjpegs;
  if (!libjpeg_read_quant_tables(stream, &ours)) return testing::AssertionFailure() << "unread";
  if (!libjpeg_quality_tables(quality, &libjpegs)) return testing::AssertionFailure() << quality;
  if (ours != libjpegs) return testing::AssertionFailure() << "not libjpeg's at " << quality;
  return testing::AssertionSuccess();
}

class Encoder : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoder_state();
    reset_encoder_state();
    // Source tables all 1 (quality 100): the request is used as it is.
    for (auto& slot : g_decoder.quant_tables) slot.fill(1);
  }
};

// Header bytes at fixed offsets by image size and quality, as T.81 B.2 and the JFIF APP0 lay them
// out: APP0 at 2, DQT luma at 20 and chroma at 89, DRI (one MCU row) at 158, SOF0 at 164, the
// four DHT at 183, 216, 399 and 432, SOS at 615; the tables are libjpeg's at the quality.
TEST_F(Encoder, HeaderBytesBySizeAndQuality) {
  const Bytes soi_app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                          0,    1,    1,    0,    0,    1,    0,   1,   0,   0};
  const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                     0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
  const Bytes sof_640x480 = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03,
                             0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
  const struct {
    int32_t width, height;
    uint16_t quality;
    size_t at;
    Bytes bytes;
  } cases[] = {
      {640, 480, 100, 0, soi_app0},
      {640, 480, 100, 20, {0xFF, 0xDB, 0x00, 0x43, 0x00}},
      {640, 480, 100, 25, Bytes(64, 1)},  // all 01 at quality 100
      {640, 480, 100, 89, {0xFF, 0xDB, 0x00, 0x43, 0x01}},
      {640, 480, 100, 158, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x28}},
      {640, 480, 100, 164, sof_640x480},
      {640, 480, 100, 183, {0xFF, 0xC4, 0x00, 0x1F, 0x00}},
      {640, 480, 100, 216, {0xFF, 0xC4, 0x00, 0xB5, 0x10}},
      {640, 480, 100, 399, {0xFF, 0xC4, 0x00, 0x1F, 0x01}},
      {640, 480, 100, 432, {0xFF, 0xC4, 0x00, 0xB5, 0x11}},
      {640, 480, 100, 615, sos},
      {100, 75, 85, 0, soi_app0},
      {100, 75, 85, 158, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x07}},
      {100, 75, 85, 164, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x4B, 0x00, 0x64}},
      {100, 75, 85, 25, {5, 3, 4, 4, 4, 3, 5, 4}},
      {100, 75, 85, 615, sos},
      {64, 160, 90, 158, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x04}},
      {64, 160, 90, 164, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0xA0, 0x00, 0x40}},
      {1, 1, 1, 164, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x01, 0x00, 0x01}},
      {1, 1, 1, 25, Bytes(64, 255)},  // quality 1: every entry at the baseline limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.width << "x" << c.height << " q" << c.quality << " at " << c.at);
    const Bytes s = encode_plain(c.width, c.height, c.quality);
    ASSERT_GT(s.size(), kHeaderBytes);
    EXPECT_EQ(Bytes(s.begin() + static_cast<std::ptrdiff_t>(c.at),
                    s.begin() + static_cast<std::ptrdiff_t>(c.at + c.bytes.size())),
              c.bytes);
    EXPECT_EQ(Bytes(s.end() - 2, s.end()), (Bytes{0xFF, 0xD9}));
    EXPECT_TRUE(has_libjpeg_tables(s, c.quality));
  }
}

// The "ok!!!" message comes at MCU row 111, column 19, and only there.
TEST_F(Encoder, OkMessageAtMcu111Column19) {
  for (const auto& [w, h, expected] :
       {std::tuple{320, 1792, "ok!!!"}, std::tuple{320, 1776, ""}, std::tuple{304, 1792, ""}}) {
    std::string log;
    encode_plain(w, h, 50, &log);
    EXPECT_EQ(log, expected) << w << "x" << h;
  }
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

// A recode of a libjpeg file saved at quality q, requested at r, carries the tables libjpeg itself
// writes at r - (100 - q): the estimate finds q from the source's tables, and the request is
// lowered by its distance from 100. The request is the caller's low 16 bits, 0 standing for 85;
// libjpeg folds the lowered quality into 1..100 as the encoder must (at or below 0 it takes 1,
// above 100 it takes 100). An image from another decoder is coded at exactly the caller's quality,
// folded into 1..100 alike. Both sides of the comparison are libjpeg's: the tables it scales, and
// our stream's tables as it reads them.
TEST_F(Encoder, TablesAreLibjpegsAtTheRequestedQuality) {
  constexpr int32_t kWidth = 48, kHeight = 32;
  Bytes image(planar420_layout(kWidth, kHeight).total_bytes);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 ^ (i >> 4));
  // source quality (0: a planar image from another decoder), caller's request, its low 16 bits
  const std::tuple<int, int32_t, int32_t> cases[] = {
      {0, -5, 0},       {0, 0, 0},       {0, 1, 0},          {0, 37, 0},
      {0, 50, 0},       {0, 85, 0},      {0, 100, 0},        {0, 101, 0},
      {0, 70000, 0},    {10, 100, 100},  {10, 30, 30},       {25, 85, 85},
      {50, 85, 85},     {50, 51, 51},    {50, 50, 50},       {50, 10, 10},
      {75, 85, 85},     {75, 100, 100},  {75, 0, 0},         {90, 95, 95},
      {95, 60, 60},     {99, 2, 2},      {100, 30, 30},      {100, 100, 100},
      {90, 150, 150},   {100, 101, 101}, {100, 85, 85},      {100, 0, 0},
      {100, -1, 65535}, {100, 65536, 0}, {100, 70000, 4464}, {100, -65536 + 40, 40}};
  for (const auto& [source_quality, request, low16] : cases) {
    SCOPED_TRACE(testing::Message() << "q" << source_quality << " request " << request);
    const bool is_exact = source_quality == 0;
    const QualityRequest r = is_exact ? exact_request(request) : lowered_request(request);
    EXPECT_EQ(r.is_exact, is_exact);
    Bytes s;
    ConsoleCapture quiet;
    if (is_exact) {
      EncodedStream out;
      ASSERT_EQ(encode_image_memory(image.data(), kWidth, kHeight, request, &out), kRecodeOk);
      s.assign(out.data, out.data + out.length);
      release_stream(out);
      EXPECT_TRUE(has_libjpeg_tables(s, request));
      continue;
    }
    EXPECT_EQ(r.quality, low16);
    const Bytes src =
        libjpeg_encode(photo_rgb(96, 64, 2), 96, 64, baseline_options(source_quality));
    ASSERT_EQ(recode_in_memory(src, request, &s), 0);
    EXPECT_TRUE(has_libjpeg_tables(s, (low16 == 0 ? 85 : low16) - (100 - source_quality)));
  }
}

// Recodes that libjpeg decodes at their size without a warning, above a PSNR floor against the
// source as libjpeg decodes it. White noise at the finest quantizer is the worst case for the
// stream buffer: it must grow beyond its first capacity.
struct RecodeCase {
  int width, height, source_quality, request;
  double min_psnr;
  int noise;
};
class RecodeQuality : public ::testing::TestWithParam<RecodeCase> {};

TEST_P(RecodeQuality, LibjpegDecodesCleanlyAbovePsnrFloor) {
  const RecodeCase c = GetParam();
  const Bytes src =
      libjpeg_encode(photo_rgb(c.width, c.height, c.noise > 0 ? 11 : 4, c.noise > 0 ? c.noise : 12),
                     c.width, c.height, baseline_options(c.source_quality));
  Bytes s;
  ConsoleCapture quiet;
  ASSERT_EQ(recode_in_memory(src, c.request, &s), 0);
  if (c.noise > 0) {
    EXPECT_GT(s.size(), static_cast<size_t>(c.width * c.height) * 3 / 8);
  }
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
                         ::testing::Values(RecodeCase{640, 480, 90, 100, 40.0, 0},
                                           RecodeCase{641, 479, 90, 85, 30.0, 0},
                                           RecodeCase{320, 240, 75, 100, 35.0, 0},
                                           RecodeCase{320, 240, 50, 85, 25.0, 0},
                                           RecodeCase{200, 150, 95, 70, 28.0, 0},
                                           RecodeCase{4000, 3000, 100, 100, 50.0, 120}));

// A stream that outgrows its first buffer grows through the one sink on every path: each
// producer (the MCU walk, the row coder on one and two threads, the streamed rows) gives the
// reference path's bytes, and every allocation failing in turn fails the recode cleanly (no
// leak or double free under the sanitizers) with the next recode as before.
TEST_F(Encoder, StreamGrowsAlikeOnEveryPath) {
  const int w = 320, h = 240;
  const Bytes src = libjpeg_encode(photo_rgb(w, h, 11, 120), w, h, baseline_options(100));
  ConsoleCapture quiet;
  const auto recode = [&](Bytes* out) { return recode_in_memory(src, 100, out); };
  set_recode_plan(reference_plan());
  Bytes reference;
  ASSERT_EQ(recode(&reference), 0);
  ASSERT_GT(reference.size(), initial_stream_capacity(w, h)) << "the case must outgrow the buffer";
  // The row coder on one and two threads, then the streamed rows on one and two.
  for (const auto& [is_streaming, threads] :
       {std::pair{false, 1}, std::pair{false, 2}, std::pair{true, 1}, std::pair{true, 2}}) {
    const std::string name =
        std::string(is_streaming ? "streamed rows, " : "row coder, ") + std::to_string(threads);
    RecodePlan plan;
    plan.is_row_coder = true;
    plan.is_streaming = is_streaming;
    plan.threads = threads;
    set_recode_plan(plan);
    heap_fail_nth(0);
    Bytes out;
    ASSERT_EQ(recode(&out), 0) << name;
    EXPECT_TRUE(out == reference) << name;
    const int allocations = heap_fail_nth(0);
    for (int n = 1; n <= allocations; ++n) {
      heap_fail_nth(n);
      Bytes failed;
      const int32_t status = recode(&failed);
      heap_fail_nth(0);
      // A second thread's buffers that cannot be had leave the work to one thread.
      EXPECT_TRUE(status < 0 || failed == reference) << name << ", allocation " << n;
    }
    Bytes again;
    ASSERT_EQ(recode(&again), 0);
    EXPECT_TRUE(again == reference) << name;
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
