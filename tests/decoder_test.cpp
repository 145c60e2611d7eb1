// SPDX-License-Identifier: MIT
// The decoder against libjpeg (raw 4:2:0 output, accurate integer IDCT) on files libjpeg
// writes, the exact geometry and copy-out layout, and padding columns. The refused layouts are
// rows of the marker transcripts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/code_path.h"
#include "common/planar_layout.h"
#include "decoder/decode_driver.h"
#include "decoder/decoder_state.h"
#include "decoder/mcu_row.h"
#include "param_name.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

TEST(Decoder, Geometry100x75) {
  const OurDecode ours = decode_ours(libjpeg_encode(photo_rgb(100, 75), 100, 75, JpegOptions{}));
  ASSERT_EQ(ours.status, 0);
  EXPECT_EQ(ours.image.size(), 13440u);  // 112 x 80 x 3 / 2
  EXPECT_EQ(ours.log, "file width: 100\nfile height: 75\ninput jpeg file is ycbcr411 format\n");
  const DecoderState& d = g_decoder;
  // padded size, MCU rows and columns, luma and chroma blocks, luma edge blocks, blocks an MCU
  EXPECT_EQ(
      (std::vector<int64_t>{
          d.padded_width, d.padded_height, d.mcu_rows, d.mcu_columns, d.components[0].blocks_across,
          d.components[0].blocks_down, d.components[1].blocks_across, d.components[1].blocks_down,
          d.components[0].edge_blocks_across, d.components[0].edge_blocks_down, d.mcu_block_total}),
      (std::vector<int64_t>{112, 80, 5, 7, 13, 10, 7, 5, 1, 2, 6}));
  for (size_t b = 0; b < 6; ++b) EXPECT_EQ(g_decoder.block_component[b], b < 4 ? 0u : b - 3);
}

// The padding columns of a Y row hold the first samples of the next line (the last row keeps
// its own). The chroma of the output covers whole blocks (the image size rounded up to 16,
// halved), and past the image's chroma width and height it holds the blocks' own decoded samples.
// libjpeg's raw output keeps those whole blocks too, so every chroma byte, padding included, is
// compared with it. Both ways of making the output are checked: the full-resolution planes with
// their copy-out, and rows written straight into the image.
struct PaddingCase {
  const char* name;
  bool is_reference_path;
};
class DecoderPaths : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(DecoderPaths, PlanesAndPaddingAgreeWithLibjpeg) {
  const RecodePlan plan = GetParam().is_reference_path ? reference_plan() : RecodePlan{};
  // width, height, quality, restart interval in MCUs, optimized tables; the photo sizes (a
  // 12-megapixel camera's, and 8192 x 8192) on the direct output only, as before: the reference
  // path's full-resolution planes of them take long under an emulator
  const std::tuple<int, int, int, int, bool> cases[] = {
      {48, 48, 75, 0, false},    {50, 49, 10, 0, false},     {100, 75, 50, 0, false},
      {227, 149, 90, 3, false},  {333, 251, 95, 0, true},    {640, 480, 100, 40, false},
      {641, 479, 25, 7, true},   {1023, 769, 85, 0, true},   {1920, 1080, 92, 120, false},
      {1921, 1081, 60, 1, true}, {4000, 3000, 80, 0, false}, {8192, 8192, 80, 0, false},
      {50, 40, 95, 0, false},    {100, 40, 95, 0, false},    {129, 40, 95, 0, false},
      {50, 40, 50, 0, false},    {129, 33, 50, 0, false},    {48, 48, 50, 0, false}};
  for (const auto& [width, height, quality, restart_mcus, optimize] : cases) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    if (GetParam().is_reference_path && width >= 4000) continue;
    const Bytes jpeg = libjpeg_encode(photo_rgb(width, height, static_cast<uint32_t>(width)), width,
                                      height, baseline_options(quality, 0, restart_mcus, optimize));
    const OurDecode ours = decode_ours(jpeg, plan);
    ASSERT_EQ(ours.status, 0) << ours.log;
    EXPECT_EQ(ours.width, width);
    EXPECT_EQ(ours.height, height);
    const PlaneAgreement a = compare_planes_with_libjpeg(jpeg, ours);
    // As measured: at most 1 (the modelled hardware's 12-bit constants against libjpeg's 13-bit
    // ones), and no plane below 64 dB.
    EXPECT_LE(a.max_diff, 1);
    EXPECT_GE(a.psnr_min(), 60.0);
    const size_t P = static_cast<size_t>((width + 15) / 16 * 16),
                 H = static_cast<size_t>((height + 15) / 16 * 16), W = static_cast<size_t>(width);
    for (size_t r = 0; r + 1 < H; ++r) {
      for (size_t x = W; x < P; ++x)
        ASSERT_EQ(ours.image[r * P + x], ours.image[(r + 1) * P + (x - W)]) << r << ", " << x;
    }
    RawPlanes ref;
    ASSERT_TRUE(libjpeg_decode_raw(jpeg, &ref));
    ASSERT_EQ(static_cast<size_t>(ref.padded_cw), P / 2);
    ASSERT_EQ(static_cast<size_t>(ref.padded_ch), H / 2);
    const uint8_t* cb = ours.image.data() + P * H;
    const uint8_t* cr = cb + (P / 2) * (H / 2);
    int worst_padding = 0;
    for (size_t k = 0; k < H / 2; ++k) {
      for (size_t i = 0; i < P / 2; ++i) {
        const size_t at = k * (P / 2) + i;
        const int diff =
            std::max(std::abs(cb[at] - ref.padded_cb[at]), std::abs(cr[at] - ref.padded_cr[at]));
        ASSERT_LE(diff, 2) << "chroma row " << k << " col " << i;
        if (i >= static_cast<size_t>(ref.cw) || k >= static_cast<size_t>(ref.ch))
          worst_padding = std::max(worst_padding, diff);
      }
    }
    std::printf(
        "%s %dx%d q%d rst%d opt%d: max diff %d, PSNR Y %.1f Cb %.1f Cr %.1f dB, worst "
        "chroma padding difference %d\n",
        GetParam().name, width, height, quality, restart_mcus, optimize, a.max_diff, a.psnr_y,
        a.psnr_cb, a.psnr_cr, worst_padding);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, DecoderPaths,
                         ::testing::Values(PaddingCase{"planes_and_copy_out", true},
                                           PaddingCase{"direct_output", false}),
                         ParamName());

// A consumer of rows slower than the decoder, on two threads: the worker falls behind, so the
// caller's thread transforms rows itself into the ring, and every row handed over must still be
// the reference decode's, padding columns included, in row order.
struct SlowRows {
  static constexpr uint32_t kRingRows = 4;
  Planar420Layout ring_layout{}, layout{};
  std::vector<uint8_t> ring, image;  // image: the rows handed over, at their place
  std::vector<uint32_t> order;

  static uint8_t* open(void* self, int32_t width, int32_t height, int32_t padded_width,
                       uint32_t /*mcu_rows*/, uint32_t* ring_rows) {
    auto& s = *static_cast<SlowRows*>(self);
    *ring_rows = kRingRows;
    s.ring_layout = planar420_layout(static_cast<size_t>(padded_width), 16 * kRingRows);
    s.ring.assign(s.ring_layout.total_bytes, 0);
    s.layout = planar420_layout(static_cast<size_t>(width), static_cast<size_t>(height));
    s.image.assign(s.layout.total_bytes, 0);
    return s.ring.data();
  }
  static void row_final(void* self, uint32_t row) {
    auto& s = *static_cast<SlowRows*>(self);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // then reads the row
    s.order.push_back(row);
    const size_t slot = row % kRingRows, p = s.layout.luma_stride, c = s.layout.chroma_stride;
    for (size_t j = 0; j < 16; ++j) {
      std::memcpy(&s.image[(16 * row + j) * p], &s.ring[(16 * slot + j) * p], p);
    }
    for (size_t j = 0; j < 8; ++j) {
      std::memcpy(&s.image[s.layout.cb_offset + (8 * row + j) * c],
                  &s.ring[s.ring_layout.cb_offset + (8 * slot + j) * c], c);
      std::memcpy(&s.image[s.layout.cr_offset + (8 * row + j) * c],
                  &s.ring[s.ring_layout.cr_offset + (8 * slot + j) * c], c);
    }
  }
};

TEST(Decoder, RowsTransformedByEitherThreadAreTheReferenceRows) {
  constexpr int kWidth = 333, kHeight = 250;  // 16 MCU rows, padding columns
  const Bytes jpeg =
      libjpeg_encode(photo_rgb(kWidth, kHeight, 7), kWidth, kHeight, baseline_options(92));
  const OurDecode reference = decode_ours(jpeg, reference_plan());
  ASSERT_EQ(reference.status, 0) << reference.log;
  SlowRows rows;
  const RowStream stream{SlowRows::open, SlowRows::row_final, &rows};
  RecodePlan two_threads;
  two_threads.threads = 2;
  ImageBuffer buffer{};
  int32_t width = 0, height = 0;
  ConsoleCapture capture;
  ASSERT_EQ(decode_jpeg_memory(jpeg.data(), static_cast<uint32_t>(jpeg.size()), &width, &height,
                               buffer, two_threads, nullptr, &stream),
            0)
      << capture.text();
  const RowPipelineWaits waits = last_row_pipeline_waits();
  EXPECT_EQ(waits.rows, 16u);
  // The caller's thread took some rows and left others: both ways were taken.
  EXPECT_GT(waits.rows_transformed_by_caller, 0u);
  EXPECT_LT(waits.rows_transformed_by_caller, 16u);
  std::vector<uint32_t> in_order(16);
  for (uint32_t r = 0; r < 16; ++r) in_order[r] = r;
  EXPECT_EQ(rows.order, in_order);
  EXPECT_TRUE(rows.image == reference.image) << "rows differ from the reference decode";
}

}  // namespace
}  // namespace kestrum::test
