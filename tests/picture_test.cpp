// SPDX-License-Identifier: MIT
// Every result depicts its source. The library's recode (jpg_recode_api, file to file) and the
// tool's (recode_any) of every test image, of the real photos in the test data, and of every JPEG
// in the folder that KESTRUM_REAL_JPEG_DIR names (CI points it at a larger collection), and
// kestrum-recode's results of them (its binary over a folder of them), are judged
// by their picture: PSNR on RGB against libjpeg's decode of the source at least 40 dB, or within
// 1.5 dB of what libjpeg's own recode at the result's quality reaches. A refusal writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "kestrum.h"
#include "kestrum/recode_any.h"
#include "test_images.h"
#include "test_util.h"

extern "C" {
#include <jpeglib.h>
}

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

constexpr double kGoodEnoughDb = 40.0;
constexpr double kBelowLibjpegDb = 1.5;

// The quality whose libjpeg tables the stream carries, 0 when its tables are no quality's.
int quality_of_tables(const Bytes& jpeg) {
  QuantTables tables, scaled;
  if (!libjpeg_read_quant_tables(jpeg, &tables)) return 0;
  for (int q = 1; q <= 100; ++q) {
    if (libjpeg_quality_tables(q, &scaled) && scaled == tables) return q;
  }
  return 0;
}

struct Source {
  std::vector<uint8_t> rgb;
  int width = 0, height = 0;
};

double psnr_against(const Source& source, const Bytes& jpeg) {
  std::vector<uint8_t> rgb;
  int w = 0, h = 0, warnings = 0;
  if (!libjpeg_decode_rgb(jpeg, &rgb, &w, &h, &warnings) || w != source.width ||
      h != source.height || rgb.size() != source.rgb.size())
    return 0;
  return psnr(rgb.data(), source.rgb.data(), rgb.size());
}

// The quality of a result, which must be one of libjpeg's.
int result_quality(const std::string& what, const Bytes& result) {
  const int quality = quality_of_tables(result);
  EXPECT_NE(quality, 0) << what << ": the result's tables are no quality's";
  return quality;
}

// Checks a result's PSNR against the bounds; returns its line for the table the test prints.
std::string verdict(const std::string& what, int quality, double ours, double libjpeg,
                    const char* note = "") {
  EXPECT_TRUE(ours >= kGoodEnoughDb || ours >= libjpeg - kBelowLibjpegDb)
      << what << ": " << ours << " dB" << note << " at q" << quality << ", libjpeg's recode "
      << libjpeg << " dB";
  char line[96];
  std::snprintf(line, sizeof line, "q%-3d %6.2f dB (libjpeg %6.2f)%s", quality, ours, libjpeg,
                note);
  return line;
}

std::string judge(const std::string& what, const Source& source, const Bytes& result) {
  const int quality = result_quality(what, result);
  const Bytes libjpeg_recode =
      libjpeg_encode(source.rgb, source.width, source.height, baseline_options(quality));
  return verdict(what, quality, psnr_against(source, result), psnr_against(source, libjpeg_recode));
}

// A 4-component source is judged in its own colour space, channel by channel, against libjpeg's
// recode of its samples with the same colour space and sampling at the result's quality.
std::string judge_cmyk(const std::string& what, const CmykDecode& source, const Bytes& result) {
  const CmykDecode ours = libjpeg_decode_cmyk(result);
  EXPECT_TRUE(ours.is_ok) << what << ": libjpeg cannot read the result as 4 components";
  EXPECT_EQ(ours.space, source.space) << what;
  EXPECT_EQ(ours.width, source.width) << what;
  EXPECT_EQ(ours.height, source.height) << what;
  CmykOptions options;
  options.is_ycck = source.space == JCS_YCCK;
  options.quality = result_quality(what, result);
  std::copy(source.h, source.h + 4, options.h);
  std::copy(source.v, source.v + 4, options.v);
  const CmykDecode reference =
      libjpeg_decode_cmyk(libjpeg_encode_cmyk(source.cmyk, source.width, source.height, options));
  double worst = 99, worst_reference = 99;
  for (size_t ch = 0; ch < 4; ++ch) {
    worst = std::min(worst, ours.cmyk.size() == source.cmyk.size()
                                ? channel_psnr(ours.cmyk, source.cmyk, ch)
                                : 0.0);
    worst_reference = std::min(worst_reference, channel_psnr(reference.cmyk, source.cmyk, ch));
  }
  return verdict(what, options.quality, worst, worst_reference, " worst of 4 channels");
}

// A result judged on RGB where libjpeg reads its source so, else (not for the library, which
// takes what libjpeg decodes to RGB only) as 4 components.
std::string judge_any(const std::string& what, const Bytes& jpeg, const Bytes& result,
                      bool is_library = false) {
  Source source;
  int warnings = 0;
  if (libjpeg_decode_rgb(jpeg, &source.rgb, &source.width, &source.height, &warnings))
    return judge(what, source, result);
  EXPECT_FALSE(is_library) << what << ": recoded, but libjpeg cannot read the source";
  const CmykDecode cmyk = libjpeg_decode_cmyk(jpeg);
  EXPECT_TRUE(cmyk.is_ok) << what << ": recoded, but libjpeg cannot read the source";
  return cmyk.is_ok ? judge_cmyk(what, cmyk, result) : "";
}

void check_file(const std::string& name, const Bytes& jpeg, const TempDir& dir) {
  const std::string src = dir.path(name + ".src.jpg"), dst = dir.path(name + ".out.jpg");
  ASSERT_TRUE(write_file(src, jpeg));
  ConsoleCapture quiet;
  const int32_t status = jpg_recode_api(src.c_str(), dst.c_str(), 85);
  std::string library = "status " + std::to_string(status);
  Bytes result;
  if (status != 0) {
    EXPECT_FALSE(file_exists(dst)) << name << ": a refusal wrote a file";
  } else {
    ASSERT_TRUE(read_file(dst, &result));
    library = judge_any(name + " (library)", jpeg, result, true);
  }
  const RecodeAnyResult any = recode_any(jpeg.data(), jpeg.size(), RecodeAnyOptions{});
  const std::string tool =
      any.way == RecodeWay::kRefused ? any.error : judge_any(name + " (tool)", jpeg, any.stream);
  std::printf("%-40s %-36s %s\n", name.c_str(), library.c_str(), tool.c_str());
}

std::vector<fs::path> jpegs_in(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() == ".jpg") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// kestrum-recode over a folder of the sources: every result it writes depicts its source.
void check_tool_results(const std::vector<NamedImage>& sources, const TempDir& dir) {
  const std::string in = dir.path("tool_sources"), out = dir.path("tool_results");
  fs::create_directories(in);
  for (const NamedImage& s : sources) ASSERT_TRUE(write_file(in + "/" + s.name + ".jpg", s.jpeg));
  const char* tool = std::getenv("KESTRUM_TOOL");
  const std::string q = "\"";
  std::string command = q + (tool != nullptr && *tool != 0 ? tool : KESTRUM_TOOL) + q + " -o " + q +
                        out + q + " " + q + in + q + " > " + q + dir.path("tool.log") + q + " 2>&1";
#if defined(_WIN32)
  command = "\"" + command + "\"";  // cmd /c takes the outer pair of quotes away
#endif
  std::system(command.c_str());
  int judged = 0;
  for (const NamedImage& s : sources) {
    Bytes result;
    if (!read_file(out + "/" + s.name + ".jpg", &result)) continue;
    if (result == s.jpeg) {  // kept as it is (its quality, 12-bit samples, or no smaller)
      std::printf("%-40s kestrum-recode kept as it is\n", s.name.c_str());
      continue;
    }
    const std::string line = judge_any(s.name + " (kestrum-recode)", s.jpeg, result);
    std::printf("%-40s kestrum-recode %s\n", s.name.c_str(), line.c_str());
    ++judged;
  }
  EXPECT_GE(judged, 1);
}

std::vector<NamedImage> real_photos() {
  std::vector<fs::path> files = jpegs_in(KESTRUM_TEST_DATA_DIR "/real");
  EXPECT_GE(files.size(), 4u);
  if (const char* more = std::getenv("KESTRUM_REAL_JPEG_DIR"); more != nullptr && *more != 0) {
    const std::vector<fs::path> extra = jpegs_in(more);
    EXPECT_FALSE(extra.empty()) << "no JPEG in KESTRUM_REAL_JPEG_DIR " << more;
    files.insert(files.end(), extra.begin(), extra.end());
  }
  std::vector<NamedImage> photos;
  for (const fs::path& file : files) {
    NamedImage photo{file.stem().string(), {}};
    EXPECT_TRUE(read_file(file.string(), &photo.jpeg)) << file;
    // A photo of the test data and the same one in the larger collection are judged once.
    bool is_new = true;
    for (const NamedImage& p : photos) is_new = is_new && p.name != photo.name;
    if (is_new) photos.push_back(std::move(photo));
  }
  return photos;
}

TEST(Pictures, TestImagesAndRealPhotosAreRecodedIntoTheirOwnPicture) {
  for (const std::vector<NamedImage>& images : {test_image_set(), real_photos()}) {
    TempDir dir;
    for (const NamedImage& image : images) check_file(image.name, image.jpeg, dir);
  }
}

// A test of its own, so that a build whose tool cannot be started (a 32-bit build run under an
// emulator) leaves it out by its name.
TEST(Pictures, ToolResultsOfTestImagesAndRealPhotosDepictTheirSources) {
  for (const std::vector<NamedImage>& images : {test_image_set(), real_photos()})
    check_tool_results(images, TempDir{});
}

}  // namespace
}  // namespace kestrum::test
