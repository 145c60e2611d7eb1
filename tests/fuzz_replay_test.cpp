// SPDX-License-Identifier: MIT
// The fuzzers' seeds and every input that once crashed the library, replayed through the very
// functions the fuzzers call: each decodes or recodes, or fails with a documented status, and the
// entries' own checks hold (a successful recode decodes again, the tool's way gives a stream or a
// reason, the header walk reads its own output back, the fast paths give the reference path's
// bytes, nothing depends on the file before; the entry aborts otherwise).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "../fuzz/fuzz_entries.h"
#include "test_images.h"

namespace kestrum::test {
namespace {

// What a file can give: done, a layout or coding refused (-1), a malformed stream (-2), a frame
// beyond the fuzzers' limit or the decoder's capacity (-6), and, where the fuzzers' heap limit
// meets a frame the libjpeg way would take, no memory (-16). The internal guards (-3, -4), an
// unreadable source (-5) and the encoder's own failures (-11, -12) are never a file's doing.
const std::set<int32_t> kDecodeStatuses = {0, -1, -2, -6};
const std::set<int32_t> kRecodeStatuses = {0, -1, -2, -6, -16};

void replay(const std::string& name, const Bytes& data) {
  EXPECT_TRUE(kDecodeStatuses.count(fuzz::decode_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::recode_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::recode_any_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::code_paths_one(data.data(), data.size()))) << name;
  fuzz::segments_one(data.data(), data.size());
  EXPECT_GE(fuzz::picture_one(data.data(), data.size()), -6) << name;
}

TEST(FuzzReplay, Seeds) {
  int recoded = 0, parsed = 0, converted = 0;
  for (const NamedImage& image : test_image_set()) {
    replay(image.name, image.jpeg);
    if (fuzz::recode_one(image.jpeg.data(), image.jpeg.size()) == 0) ++recoded;
    parsed += fuzz::segments_one(image.jpeg.data(), image.jpeg.size());
    if (fuzz::recode_any_one(image.jpeg.data(), image.jpeg.size()) == 0) ++converted;
  }
  // The valid 4:2:0 seeds within the fuzzers' frame limit (up to 100 x 75); the tool's way takes
  // the other layouts and codings as well.
  EXPECT_GE(recoded, 7);
  EXPECT_GE(converted, recoded + 4);
  EXPECT_GE(parsed, converted);
}

// CMYK and YCCK files: the tool's way recodes them through libjpeg, whose reading of the result
// recode_any_one checks; the library refuses them.
TEST(FuzzReplay, FourComponentSeeds) {
  for (const NamedImage& image : four_component_image_set()) {
    replay(image.name, image.jpeg);
    // The last byte picks the options: those of a stream that ends in EOI are the defaults.
    if (image.jpeg.back() == 0xD9) {
      EXPECT_EQ(fuzz::recode_any_one(image.jpeg.data(), image.jpeg.size()), 0) << image.name;
    }
    EXPECT_NE(fuzz::recode_one(image.jpeg.data(), image.jpeg.size()), 0) << image.name;
  }
}

// The picture oracle over the seeds and the real photos of the test data (and those of
// KESTRUM_REAL_JPEG_DIR): the largest sample difference from libjpeg's planes, which its bound
// is calibrated on, and how many of them it compares.
TEST(FuzzReplay, PictureOracleComparesTheLibrarysFiles) {
  std::vector<NamedImage> files = test_image_set();
  std::vector<std::filesystem::path> folders = {KESTRUM_TEST_DATA_DIR "/real"};
  if (const char* more = std::getenv("KESTRUM_REAL_JPEG_DIR"); more != nullptr && *more != 0)
    folders.emplace_back(more);
  for (const auto& folder : folders) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() != ".jpg") continue;
      files.push_back({entry.path().filename().string(), {}});
      ASSERT_TRUE(read_file(entry.path().string(), &files.back().jpeg));
    }
  }
  int compared = 0, largest = 0;
  for (const NamedImage& f : files) {
    const fuzz::PictureComparison c =
        fuzz::compare_picture(f.jpeg.data(), f.jpeg.size(), uint64_t{1} << 26);
    if (!c.is_comparable || c.our_status != 0) continue;
    EXPECT_TRUE(c.is_same_size) << f.name;
    EXPECT_LE(c.max_diff, fuzz::kPictureMaxDiff) << f.name;
    largest = std::max(largest, c.max_diff);
    ++compared;
    std::printf("%-40s largest difference %d, %d blocks compared, %d beyond the range\n",
                f.name.c_str(), c.max_diff, c.blocks_compared, c.blocks_skipped);
  }
  // The 4:2:0 seeds and photos (the thumbnails and the extended frame among them).
  EXPECT_GE(compared, 20);
  std::printf("%d files compared, largest difference %d\n", compared, largest);
}

TEST(FuzzReplay, Crashers) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KESTRUM_TEST_DATA_DIR "/crashers")) {
    Bytes data;
    ASSERT_TRUE(read_file(entry.path().string(), &data));
    replay(entry.path().filename().string(), data);
    ++replayed;
  }
  EXPECT_GE(replayed, 1);
}

}  // namespace
}  // namespace kestrum::test
