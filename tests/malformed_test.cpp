// SPDX-License-Identifier: MIT
// Hostile files through the file interface, built in code from a valid file: truncations, bad
// lengths, counts and indexes, impossible frame sizes, damaged restart sequences, flipped bits and
// plain noise. Each must give 0 or a documented status, leave no destination (and no temporary
// file) when it fails, and leave the process as it was: a valid recode afterwards gives exactly
// the bytes it gave before any of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "kestrum.h"
#include "test_images.h"

namespace kestrum::test {
namespace {

// 64 x 48 with a restart marker after each MCU row: three rows, RST0 and RST1.
Bytes base_jpeg() { return libjpeg_encode(photo_rgb(64, 48, 8), 64, 48, baseline_options(80, 1)); }

Bytes cut(const Bytes& j, size_t at) {
  return Bytes(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<NamedImage> malformed_cases() {
  const Bytes j = base_jpeg();
  const std::vector<Segment> segs = split_segments(j);
  const Segment& sof = *std::ranges::find(segs, 0xC0, &Segment::marker);
  const Segment& dht = *std::ranges::find(segs, 0xC4, &Segment::marker);
  const Segment& dqt = *std::ranges::find(segs, 0xDB, &Segment::marker);
  const size_t entropy = scan_data_offset(j);
  std::vector<NamedImage> cases;
  auto add = [&](std::string name, Bytes data) {
    cases.push_back({std::move(name), std::move(data)});
  };

  // Truncation at every segment boundary, inside every segment, and through the entropy data.
  for (const Segment& s : segs) {
    add("cut_before_" + std::to_string(s.marker), cut(j, s.offset));
    add("cut_inside_" + std::to_string(s.marker), cut(j, s.offset + s.length / 2 + 1));
  }
  for (size_t at = entropy; at < j.size(); at += (j.size() - entropy) / 9 + 1)
    add("cut_entropy", cut(j, at));
  add("no_eoi", cut(j, j.size() - 2));
  Bytes garbage = j;
  for (int i = 0; i < 300; ++i) garbage.push_back(static_cast<uint8_t>(i * 37));
  add("garbage_after_eoi", garbage);

  // Every length field too short, too long and zero.
  for (const Segment& s : segs) {
    if (s.length <= 2) continue;
    const uint32_t length = (uint32_t{j[s.offset + 2]} << 8) | j[s.offset + 3];
    const std::string m = std::to_string(s.marker);
    for (const uint32_t value : {length - 1, 2u, length + 40, 0xFFFFu, 0u})
      add("length_" + std::to_string(value) + "_" + m, with_u16(j, s.offset + 2, value));
  }

  // The stream with one byte set to each of the values, a case each.
  const auto add_bytes = [&](const std::string& name, size_t at, const Bytes& values) {
    for (const uint8_t v : values) {
      Bytes t = j;
      t[at] = v;
      add(name + std::to_string(v), t);
    }
  };
  // Huffman counts summing over 256, and table and selector indexes 4 and above.
  Bytes counts = j;
  for (size_t k = 0; k < 16; ++k) counts[dht.offset + 5 + k] = 17;
  add("dht_counts_272", counts);
  add_bytes("dht_class_id_", dht.offset + 4, {0x04, 0x14, 0x20, 0xFF});
  add_bytes("dqt_precision_id_", dqt.offset + 4, {0x04, 0x0F, 0x10, 0x20});
  // SOF0: 4 precision, 5-6 height, 7-8 width, 9 components, then id, HV, Tq from 10.
  const Bytes factors = {0x30, 0x03, 0x33, 0x40, 0x04, 0x44, 0x00, 0x21, 0x11};
  add_bytes("luma_sampling_", sof.offset + 11, factors);
  add_bytes("chroma_sampling_", sof.offset + 14, factors);
  add_bytes("frame_components_", sof.offset + 9, {0, 2, 4, 5, 255});
  add_bytes("precision_", sof.offset + 4, {12});

  // Frame sizes from nothing to the largest, over almost no entropy data. (Large frames within
  // the planes' capacity decode, as padding, at the cost of their size: the hostile-size
  // benchmark measures those.)
  const Bytes little = cut(j, entropy + 20);
  for (uint32_t w : {0u, 1u, 47u, 8193u, 65535u}) {
    for (uint32_t h : {0u, 1u, 47u, 8193u, 65535u}) {
      if (w == 8193 && h == 8193) continue;
      add("frame_" + std::to_string(w) + "x" + std::to_string(h), with_frame_size(little, w, h));
    }
  }

  // Restart markers missing, repeated, out of order and skipped.
  const std::vector<size_t> rst = restart_offsets(j);
  if (rst.size() >= 2) {
    Bytes missing = j, repeated = j, swapped = j;
    missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(rst[0]),
                  missing.begin() + static_cast<std::ptrdiff_t>(rst[0] + 2));
    add("rst_missing", missing);
    repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(rst[0]), {0xFF, 0xD0});
    add("rst_repeated", repeated);
    swapped[rst[0] + 1] = 0xD1;
    swapped[rst[1] + 1] = 0xD0;
    add("rst_out_of_order", swapped);
    add_bytes("rst_skipped_", rst[0] + 1, {0xD5});
  }

  // Bit flips in the entropy data, with fixed seeds.
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    Bytes b = j;
    for (int f = 0; f < 1 + static_cast<int>(seed % 6); ++f) {
      const size_t at = entropy + rng() % (j.size() - entropy - 2);
      b[at] = static_cast<uint8_t>(b[at] ^ (1u << (rng() % 8)));
    }
    add("flip_" + std::to_string(seed), b);
  }

  // Not JPEG at all.
  add("empty", {});
  add("one_byte", {0xFF});
  add("only_soi", {0xFF, 0xD8});
  add("soi_eoi", {0xFF, 0xD8, 0xFF, 0xD9});
  add("all_ff", Bytes(4096, 0xFF));
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(seed);
    Bytes noise(1 + rng() % 5000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    if (seed % 2 == 0 && noise.size() >= 2) noise[0] = 0xFF, noise[1] = 0xD8;
    add("noise_" + std::to_string(seed), noise);
  }
  return cases;
}

const std::set<int32_t> kDocumented = {0, -1, -2, -3, -4, -5, -6, -11, -12, -14, -15, -16};

TEST(Malformed, EveryCaseFailsCleanlyOrRecodes) {
  TempDir dir;
  const std::string reference_src = dir.path("reference.jpg");
  const std::string reference_dst = dir.path("reference_out.jpg");
  ASSERT_TRUE(write_file(reference_src, base_jpeg()));
  // The valid file's result, as it is now.
  const auto reference = [&] {
    ConsoleCapture quiet;
    Bytes out;
    EXPECT_EQ(jpg_recode_api(reference_src.c_str(), reference_dst.c_str(), 85), 0);
    EXPECT_TRUE(read_file(reference_dst, &out));
    return out;
  };
  const Bytes expected = reference();
  ASSERT_FALSE(expected.empty());
  const std::vector<NamedImage> cases = malformed_cases();
  ASSERT_GE(cases.size(), 150u);
  RecordProperty("cases", static_cast<int>(cases.size()));
  std::set<int32_t> seen;
  for (const NamedImage& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = dir.path("case.jpg");
    const std::string dst = dir.path("case_out.jpg");
    ASSERT_TRUE(write_file(src, c.jpeg));
    ConsoleCapture capture;
    const int32_t status = jpg_recode_api(src.c_str(), dst.c_str(), 85);
    seen.insert(status);
    EXPECT_TRUE(kDocumented.count(status)) << status;
    if (status == 0) {
      Bytes out;
      ASSERT_TRUE(read_file(dst, &out));
      EXPECT_EQ(decode_ours(out).status, 0);
      std::remove(dst.c_str());
    } else {
      // A failure says so, and writes nothing.
      EXPECT_NE(capture.text().find("failed"), std::string::npos) << capture.text();
      EXPECT_EQ(dir.list(),
                (std::vector<std::string>{"case.jpg", "reference.jpg", "reference_out.jpg"}));
    }
    ASSERT_EQ(reference(), expected);
  }
  // The suite reaches the decoder's refusals as well as its successes.
  EXPECT_TRUE(seen.count(0) && seen.count(-1) && seen.count(-2) && seen.count(-6)) << seen.size();
}

}  // namespace
}  // namespace kestrum::test
