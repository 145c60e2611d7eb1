// SPDX-License-Identifier: MIT
// The decoder against libjpeg (raw 4:2:0 output, accurate integer IDCT) on files libjpeg
// writes, the exact geometry and copy-out layout, padding columns, and refused layouts.
#include <gtest/gtest.h>

#include <cstring>

#include "common/code_path.h"
#include "common/planar_layout.h"
#include "decoder/decoder_state.h"
#include "param_name.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

struct LibjpegCase {
  int width, height, quality, restart_mcus;
  bool optimize;
};
class AgainstLibjpeg : public ::testing::TestWithParam<LibjpegCase> {};

TEST_P(AgainstLibjpeg, PlanesAgree) {
  const LibjpegCase c = GetParam();
  JpegOptions o;
  o.quality = c.quality;
  o.restart_mcus = c.restart_mcus;
  o.optimize = c.optimize;
  const Bytes jpeg = libjpeg_encode(photo_rgb(c.width, c.height, static_cast<uint32_t>(c.width)),
                                    c.width, c.height, o);
  ASSERT_FALSE(jpeg.empty());
  const OurDecode ours = decode_ours(jpeg);
  ASSERT_EQ(ours.status, 0) << ours.log;
  EXPECT_EQ(ours.width, c.width);
  EXPECT_EQ(ours.height, c.height);
  const PlaneAgreement a = compare_planes_with_libjpeg(jpeg, ours);
  // As measured: at most 1 (the modelled hardware's 12-bit constants against libjpeg's 13-bit
  // ones), and no plane below 64 dB.
  EXPECT_LE(a.max_diff, 1);
  EXPECT_GE(a.psnr_min(), 60.0);
  RecordProperty("max_diff", a.max_diff);
  std::printf("%dx%d q%d rst%d opt%d: max diff %d, PSNR Y %.1f Cb %.1f Cr %.1f dB\n", c.width,
              c.height, c.quality, c.restart_mcus, c.optimize, a.max_diff, a.psnr_y, a.psnr_cb,
              a.psnr_cr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AgainstLibjpeg,
    ::testing::Values(LibjpegCase{48, 48, 75, 0, false}, LibjpegCase{50, 49, 10, 0, false},
                      LibjpegCase{100, 75, 50, 0, false}, LibjpegCase{227, 149, 90, 3, false},
                      LibjpegCase{333, 251, 95, 0, true}, LibjpegCase{640, 480, 100, 40, false},
                      LibjpegCase{641, 479, 25, 7, true}, LibjpegCase{1023, 769, 85, 0, true},
                      LibjpegCase{1920, 1080, 92, 120, false},
                      LibjpegCase{1921, 1081, 60, 1, true}));

TEST(Decoder, Geometry100x75) {
  JpegOptions o;
  const Bytes jpeg = libjpeg_encode(photo_rgb(100, 75), 100, 75, o);
  const OurDecode ours = decode_ours(jpeg);
  ASSERT_EQ(ours.status, 0);
  EXPECT_EQ(ours.image.size(), 13440u);  // 112 x 80 x 3 / 2
  EXPECT_EQ(ours.log, "file width: 100\nfile height: 75\ninput jpeg file is ycbcr411 format\n");
  EXPECT_EQ(g_decoder.padded_width, 112);
  EXPECT_EQ(g_decoder.padded_height, 80);
  EXPECT_EQ(g_decoder.mcu_rows, 5u);
  EXPECT_EQ(g_decoder.mcu_columns, 7u);
  EXPECT_EQ(g_decoder.components[0].blocks_across, 13u);
  EXPECT_EQ(g_decoder.components[0].blocks_down, 10u);
  EXPECT_EQ(g_decoder.components[1].blocks_across, 7u);
  EXPECT_EQ(g_decoder.components[1].blocks_down, 5u);
  EXPECT_EQ(g_decoder.components[0].edge_blocks_across, 1u);
  EXPECT_EQ(g_decoder.components[0].edge_blocks_down, 2u);
  EXPECT_EQ(g_decoder.mcu_block_total, 6);
  const std::array<uint32_t, 6> blocks = {0, 0, 0, 0, 1, 2};
  for (size_t b = 0; b < 6; ++b) EXPECT_EQ(g_decoder.block_component[b], blocks[b]);
}

// The padding columns of a Y row hold the first samples of the next line (the last row keeps
// its own); chroma rows keep their own decoded samples beyond the width.
TEST(Decoder, PaddingColumnsFollowThePlaneStride) {
  for (int width : {50, 100, 129}) {
    const int height = 40;
    JpegOptions o;
    o.quality = 95;
    const Bytes jpeg = libjpeg_encode(photo_rgb(width, height, 9), width, height, o);
    const OurDecode ours = decode_ours(jpeg);
    ASSERT_EQ(ours.status, 0);
    const size_t P = static_cast<size_t>((width + 15) / 16 * 16), H = 48,
                 W = static_cast<size_t>(width);
    for (size_t r = 0; r + 1 < H; ++r) {
      for (size_t x = W; x < P; ++x) {
        ASSERT_EQ(ours.image[r * P + x], ours.image[(r + 1) * P + (x - W)])
            << width << " row " << r << " col " << x;
      }
    }
  }
}

// The chroma of the output covers whole blocks (the image size rounded up to 16, halved), and
// past the image's chroma width and height it holds the blocks' own decoded samples. libjpeg's
// raw output keeps those whole blocks too, so every chroma byte, padding included, is compared
// with it, within the tolerance of the plane comparison above. Both ways of making the output
// are checked: the full-resolution planes with their copy-out, and rows written straight into
// the image.
struct ChromaPaddingCase {
  const char* name;
  bool is_reference_path;
};
void PrintTo(const ChromaPaddingCase& c, std::ostream* os) { *os << c.name; }
class ChromaPadding : public ::testing::TestWithParam<ChromaPaddingCase> {};

TEST_P(ChromaPadding, IsTheDecodedBlocksAsLibjpegDecodesThem) {
  const RecodePlan plan = GetParam().is_reference_path ? reference_plan() : RecodePlan{};
  for (auto [width, height] :
       {std::pair{50, 40}, std::pair{100, 75}, std::pair{129, 33}, std::pair{48, 48}}) {
    JpegOptions o;
    o.quality = 50;
    const Bytes jpeg = libjpeg_encode(photo_rgb(width, height, 9), width, height, o);
    const OurDecode ours = decode_ours(jpeg, plan);
    ASSERT_EQ(ours.status, 0) << ours.log;
    RawPlanes ref;
    ASSERT_TRUE(libjpeg_decode_raw(jpeg, &ref));
    const size_t P = static_cast<size_t>((width + 15) / 16 * 16),
                 H = static_cast<size_t>((height + 15) / 16 * 16);
    ASSERT_EQ(static_cast<size_t>(ref.padded_cw), P / 2);
    ASSERT_EQ(static_cast<size_t>(ref.padded_ch), H / 2);
    const uint8_t* cb = ours.image.data() + P * H;
    const uint8_t* cr = cb + (P / 2) * (H / 2);
    int worst_padding = 0;
    size_t padding_bytes = 0;
    for (size_t k = 0; k < H / 2; ++k) {
      for (size_t i = 0; i < P / 2; ++i) {
        const size_t at = k * (P / 2) + i;
        const int diff =
            std::max(std::abs(cb[at] - ref.padded_cb[at]), std::abs(cr[at] - ref.padded_cr[at]));
        ASSERT_LE(diff, 2) << width << "x" << height << " chroma row " << k << " col " << i;
        if (i >= static_cast<size_t>(ref.cw) || k >= static_cast<size_t>(ref.ch)) {
          worst_padding = std::max(worst_padding, diff);
          padding_bytes += 2;
        }
      }
    }
    std::printf("%s %dx%d: %zu chroma padding bytes, worst difference %d\n", GetParam().name, width,
                height, padding_bytes, worst_padding);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ChromaPadding,
                         ::testing::Values(ChromaPaddingCase{"planes_and_copy_out", true},
                                           ChromaPaddingCase{"direct_output", false}),
                         ParamName());

struct LayoutCase {
  int h0, v0, components;
  const char* log_tail;
};
class RefusedLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RefusedLayouts, PrintAndReturnMinusOne) {
  const LayoutCase c = GetParam();
  JpegOptions o;
  o.h0 = c.h0;
  o.v0 = c.v0;
  o.components = c.components;
  const Bytes jpeg = libjpeg_encode(photo_rgb(64, 64), 64, 64, o);
  const OurDecode ours = decode_ours(jpeg);
  EXPECT_EQ(ours.status, -1);
  EXPECT_EQ(ours.log, std::string("file width: 64\nfile height: 64\n") + c.log_tail);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RefusedLayouts,
    ::testing::Values(
        LayoutCase{1, 1, 3,
                   "input jpeg file is ycbcr111 format\nnot support. only support yuv420\n"},
        LayoutCase{2, 1, 3,
                   "input jpeg file is ycbcr211h format\nnot support. only support yuv420\n"},
        LayoutCase{1, 2, 3,
                   "input jpeg file is ycbcr211v format\nnot support. only support yuv420\n"},
        LayoutCase{1, 1, 1,
                   "input jpeg file is ycbcr100 format\nnot support. only support yuv420\n"},
        LayoutCase{2, 2, 1,
                   "input jpeg file is ycbcr100 format\nnot support. only support yuv420\n"}));

TEST(Decoder, LargePhotoSizes) {
  for (auto [w, h] : {std::pair{4000, 3000}, std::pair{8192, 8192}}) {
    JpegOptions o;
    o.quality = 80;
    const Bytes jpeg = libjpeg_encode(photo_rgb(w, h, 5, 4), w, h, o);
    const OurDecode ours = decode_ours(jpeg);
    ASSERT_EQ(ours.status, 0) << w;
    EXPECT_EQ(ours.width, w);
    EXPECT_EQ(ours.height, h);
    // Check agreement on a sample of rows to keep the test short.
    RawPlanes ref;
    ASSERT_TRUE(libjpeg_decode_raw(jpeg, &ref));
    const size_t pw = static_cast<size_t>((w + 15) / 16 * 16);
    int worst = 0;
    for (size_t r = 0; r < static_cast<size_t>(h); r += 97) {
      for (size_t x = 0; x < static_cast<size_t>(w); ++x) {
        worst = std::max(worst,
                         std::abs(ours.image[r * pw + x] - ref.y[r * static_cast<size_t>(w) + x]));
      }
    }
    EXPECT_LE(worst, 2);
  }
}

}  // namespace
}  // namespace kestrum::test
