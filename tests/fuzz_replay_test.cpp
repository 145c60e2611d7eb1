// SPDX-License-Identifier: MIT
// The fuzzers' seeds and every input that once crashed the library, replayed through the very
// functions the fuzzers call: each decodes or recodes, or fails with a documented status, and the
// entries' own checks hold (a successful recode decodes again, the tool's way gives a stream or a
// reason, the header walk reads its own output back, the fast paths give the reference path's
// bytes, nothing depends on the file before; the entry aborts otherwise).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "../fuzz/fuzz_entries.h"
#include "test_images.h"

namespace kestrum::test {
namespace {

const std::set<int32_t> kDecodeStatuses = {0, -1, -2, -5, -6};
const std::set<int32_t> kRecodeStatuses = {0, -1, -2, -3, -4, -5, -6, -11, -12, -16};

void replay(const std::string& name, const Bytes& data) {
  EXPECT_TRUE(kDecodeStatuses.count(fuzz::decode_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::recode_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::recode_any_one(data.data(), data.size()))) << name;
  EXPECT_TRUE(kRecodeStatuses.count(fuzz::code_paths_one(data.data(), data.size()))) << name;
  fuzz::segments_one(data.data(), data.size());
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
