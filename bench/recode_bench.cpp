// SPDX-License-Identifier: MIT
// Recode benchmark: on generated photo-like 4:2:0 baseline files (libjpeg, quality 92, with and
// without restart intervals) it times, interleaved and best of N, our whole recode (file in,
// file out), our decode and encode alone, and libjpeg-turbo's equivalent (tjDecompressToYUV2,
// tjCompressFromYUV at the same effective quality, then the file write). It prints MP/s, the
// ratio ours/theirs and the peak RSS of a child process doing one whole recode each way. A second
// table times whole processes: each side's one cold recode per process (start, library load,
// file read, recode, file write, exit): R runs of N alternated pairs each, the median of the runs'
// ratios with the lowest and highest beside it, flagged when they spread over 10 %. Every result
// timed is decoded by libjpeg and checked against libjpeg's decode of the source (a PSNR floor),
// and ours must be the same bytes every time: a figure of a wrong result is no figure. The
// Windows builds (run under wine) time in process only.
//
//   recode_bench [--large] [--reps N] [--runs R] [--dir FOLDER] [--reference] [--threads 1|2]
//                [--pin] [--whole-image] [--image NAME]
//   --large adds the 48 MP image; --image times that image alone (0.3MP, 2MP, 12MP or 48MP);
//   --reps sets N (default 5); --runs R (default 3, at least 3); --reference times our reference
//   path instead of the fast paths; --threads limits our fast paths (default 2); --pin keeps
//   every whole-process run on core 0 (one core for both sides); --whole-image times our
//   recode through the whole decoded image instead of the default one-pass recode.
#include <turbojpeg.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "api/pipeline.h"
#include "api/process_state.h"
#include "common/code_path.h"
#include "decoder/decode_driver.h"
#include "decoder/decoder_state.h"
#include "decoder/mcu_row.h"
#include "encoder/quality.h"
#include "kestrum.h"
#include "platform/console_log.h"

extern "C" {
#include <jpeglib.h>
}

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kRequestedQuality = 85;
constexpr int kSourceQuality = 92;

struct ImageCase {
  const char* name;
  int width, height;
  bool large;  // only with --large
};
constexpr ImageCase kCases[] = {
    {"0.3MP", 640, 480, false},
    {"2MP", 1920, 1080, false},
    {"12MP", 4000, 3000, false},
    {"48MP", 8000, 6000, true},
};

void quiet_sink(const char*, void*) {}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool read_file(const std::string& path, Bytes* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  out->resize(static_cast<size_t>(size));
  const bool ok = std::fread(out->data(), 1, out->size(), f) == out->size();
  std::fclose(f);
  return ok;
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// One scanline of a deterministic photo-like RGB image: smooth gradients, a disc, bars and a
// little noise from a fixed LCG, so the coefficients look like a photograph's.
void photo_row(int width, int height, int y, uint32_t& rng, uint8_t* rgb) {
  const double fy = 6.2831853 / height;
  for (int x = 0; x < width; ++x) {
    const double fx = 6.2831853 / width;
    const double sky = 0.5 + 0.5 * std::sin(fx * x * 1.5 + 1.0) * std::cos(fy * y * 0.7);
    const long dx = x - width / 3, dy = y - height / 2;
    const bool disc = dx * dx + dy * dy < static_cast<long>(width) * height / 16;
    const bool bar = ((x / 23) + (y / 31)) % 7 == 0;
    int r = static_cast<int>(60 + 150 * sky);
    int g = static_cast<int>(90 + 100 * std::cos(fy * y + 0.3));
    int b = static_cast<int>(170 - 80 * sky);
    if (disc) r = 220, g = 180 - (y % 40), b = 40;
    if (bar) r /= 2, g /= 2, b /= 2;
    rng = rng * 1664525u + 1013904223u;
    const int n = static_cast<int>((rng >> 24) % 25) - 12;
    rgb[3 * x] = static_cast<uint8_t>(std::clamp(r + n, 0, 255));
    rgb[3 * x + 1] = static_cast<uint8_t>(std::clamp(g + n, 0, 255));
    rgb[3 * x + 2] = static_cast<uint8_t>(std::clamp(b - n, 0, 255));
  }
}

// Writes the source file with libjpeg: baseline 4:2:0, quality 92, optionally a restart
// marker after every MCU row.
bool make_source(const std::string& path, int width, int height, bool restarts) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, kSourceQuality, TRUE);
  if (restarts) c.restart_in_rows = 1;
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  uint32_t rng = 12345;
  for (int y = 0; y < height; ++y) {
    photo_row(width, height, y, rng, row.data());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

// The quality our encoder will use for this source: the request lowered by the source
// estimate's distance from 100 (the same rule as the encoder; tables from our last decode).
int effective_quality() {
  const auto& tables = kestrum::stored_quant_tables();
  int32_t sum = 0;
  for (size_t i = 0; i < 64; ++i)
    sum += static_cast<int16_t>(tables[0][i]) + static_cast<int16_t>(tables[1][i]);
  const int32_t estimate = kestrum::estimate_source_quality(sum);
  return estimate == 100 ? kRequestedQuality : kRequestedQuality - (100 - estimate);
}

bool grow_image(kestrum::ImageBuffer& image, size_t bytes) {
  std::free(image.data);
  image.data = static_cast<uint8_t*>(std::malloc(bytes));
  image.capacity_bytes = image.data != nullptr ? bytes : 0;
  return image.data != nullptr;
}

// Our decode alone, into a freshly obtained image as the pipeline does.
bool ours_decode(const Bytes& source, std::vector<uint8_t>* keep, int32_t* width, int32_t* height) {
  kestrum::ImageBuffer image{nullptr, 0, grow_image, nullptr};
  const int32_t status =
      kestrum::decode_jpeg_memory(source.data(), static_cast<uint32_t>(source.size()), width,
                                  height, image, kestrum::requested_recode_plan());
  if (status == 0 && keep != nullptr) keep->assign(image.data, image.data + image.capacity_bytes);
  std::free(image.data);
  return status == 0;
}

bool ours_encode(const std::vector<uint8_t>& image, int32_t width, int32_t height) {
  kestrum::EncodedStream stream;
  const int32_t status =
      kestrum::encode_image(image.data(), width, height, kRequestedQuality, &stream);
  kestrum::release_stream(stream);
  return status == 0;
}

bool ours_recode(const std::string& source, const std::string& destination) {
  return jpg_recode_api(source.c_str(), destination.c_str(), kRequestedQuality) == 0;
}

struct TurboTimes {
  double decode = 0, encode = 0;
};

// libjpeg-turbo's recode: read the file, decode to planar 4:2:0, encode at quality, write.
bool turbo_recode(const std::string& source, const std::string& destination, int quality,
                  TurboTimes* times) {
  const double t0 = now_seconds();
  Bytes data;
  if (!read_file(source, &data)) return false;
  tjhandle dec = tjInitDecompress();
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  bool ok = tjDecompressHeader3(dec, data.data(), static_cast<unsigned long>(data.size()), &width,
                                &height, &subsamp, &colorspace) == 0;
  const unsigned long yuv_bytes = tjBufSizeYUV2(width, 4, height, TJSAMP_420);
  auto* yuv = static_cast<unsigned char*>(std::malloc(yuv_bytes));
  ok = ok && yuv != nullptr &&
       tjDecompressToYUV2(dec, data.data(), static_cast<unsigned long>(data.size()), yuv, width, 4,
                          height, 0) == 0;
  tjDestroy(dec);
  const double t1 = now_seconds();
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  if (ok) {
    tjhandle enc = tjInitCompress();
    ok = tjCompressFromYUV(enc, yuv, width, 4, height, TJSAMP_420, &jpeg, &jpeg_size, quality, 0) ==
         0;
    tjDestroy(enc);
  }
  std::free(yuv);
  ok = ok && write_file(destination, jpeg, jpeg_size);
  tjFree(jpeg);
  if (times != nullptr) {
    times->decode = t1 - t0;
    times->encode = now_seconds() - t1;
  }
  return ok;
}

#if !defined(_WIN32)
// Our plan as the child's last argument: "reference", "1" or "2" threads.
std::string plan_argument() {
  const kestrum::RecodePlan plan = kestrum::requested_recode_plan();
  const std::string threads = !plan.is_row_coder ? "reference" : (plan.threads == 1 ? "1" : "2");
  return threads + (plan.is_streaming ? "" : ",whole-image");
}

// Peak RSS in MiB of a child process (this program re-run with --child) doing one recode. The
// child reports its own VmHWM: getrusage's ru_maxrss of a child also counts the memory of this
// process, which the child held between fork (or vfork) and exec.
double child_peak_rss_mib(const char* self, const char* which, const std::string& source,
                          const std::string& destination, int quality) {
  std::string command =
      std::string("'") + self + "' --child " + which + " '" + source + "' '" + destination + "' ";
  command += std::to_string(quality) + " " + plan_argument();
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  long kib = -1;
  if (std::fscanf(child, "%ld", &kib) != 1) kib = -1;
  return pclose(child) == 0 && kib > 0 ? static_cast<double>(kib) / 1024.0 : -1;
}

// Wall time in seconds of one child process (this program re-run with --child) doing one cold
// recode, from its spawn to its exit; -1 when it fails. With pin the child runs on core 0 only.
double child_wall_seconds(const char* self, const char* which, const std::string& source,
                          const std::string& destination, int quality, bool pin) {
  const std::string q = std::to_string(quality);
  std::string plan = plan_argument();
  if (pin) plan += ",pin";
  std::vector<std::string> args = {self, "--child", which, source, destination, q, plan};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const double t0 = now_seconds();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return now_seconds() - t0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()
             ? -1
             : (v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

// The high-water mark of this process's resident memory, in KiB (-1 if unknown).
long peak_rss_kib() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// --child ours|turbo SOURCE DESTINATION QUALITY PLAN[,pin]: one recode, then the peak RSS.
int run_child(char** argv) {
  const std::string plan = argv[6] != nullptr ? argv[6] : "2";
  if (plan.find(",pin") != std::string::npos) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) return 1;
  }
  kestrum::set_console_sink(quiet_sink, nullptr);
  kestrum::set_reference_path(plan.rfind("reference", 0) == 0);
  kestrum::set_worker_threads(plan.rfind("1", 0) == 0 ? 1 : 2);
  if (plan.find(",whole-image") != std::string::npos) {
    kestrum::RecodePlan whole_image = kestrum::requested_recode_plan();
    whole_image.is_streaming = false;
    kestrum::set_recode_plan(whole_image);
  }
  const std::string which = argv[2];
  const bool ok = which == "ours" ? ours_recode(argv[3], argv[4])
                                  : turbo_recode(argv[3], argv[4], std::atoi(argv[5]), nullptr);
  if (!ok) return 1;
  std::printf("%ld\n", peak_rss_kib());
  return 0;
}

#endif

// FNV-1a of our last output: the same source recodes to the same bytes on every build.
uint32_t output_hash(const std::string& path) {
  Bytes data;
  if (!read_file(path, &data)) return 0;
  uint32_t h = 2166136261u;
  for (const uint8_t b : data) h = (h ^ b) * 16777619u;
  return h;
}

// An RGB decode by libjpeg; empty when it cannot read the file.
std::vector<uint8_t> libjpeg_rgb(const std::string& path, int* width, int* height) {
  Bytes data;
  std::vector<uint8_t> rgb;
  if (!read_file(path, &data)) return rgb;
  tjhandle dec = tjInitDecompress();
  int subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(dec, data.data(), static_cast<unsigned long>(data.size()), width, height,
                          &subsamp, &colorspace) == 0) {
    rgb.resize(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 3);
    if (tjDecompress2(dec, data.data(), static_cast<unsigned long>(data.size()), rgb.data(), *width,
                      0, *height, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0)
      rgb.clear();
  }
  tjDestroy(dec);
  return rgb;
}

// Results below this PSNR against the source's decode are wrong pictures (a q85 recode of these
// sources is at about 38 dB).
constexpr double kPsnrFloorDb = 30.0;

// Checks a timed result: libjpeg decodes it to the source's size and it is within the floor.
// Prints why and returns false otherwise.
bool result_depicts_source(const std::string& result, const std::vector<uint8_t>& source_rgb,
                           int width, int height) {
  int w = 0, h = 0;
  const std::vector<uint8_t> rgb = libjpeg_rgb(result, &w, &h);
  double error = 0;
  if (w == width && h == height && rgb.size() == source_rgb.size()) {
    for (size_t i = 0; i < rgb.size(); ++i) {
      const double d = static_cast<double>(rgb[i]) - source_rgb[i];
      error += d * d;
    }
  }
  const double mse = error / static_cast<double>(std::max<size_t>(1, rgb.size()));
  const double db = rgb.empty() || w != width || h != height ? 0
                    : mse == 0                               ? 99
                                                             : 10 * std::log10(255.0 * 255.0 / mse);
  if (db >= kPsnrFloorDb) return true;
  std::fprintf(stderr, "%s: %.2f dB against the source, below the %.0f dB floor\n", result.c_str(),
               db, kPsnrFloorDb);
  return false;
}

struct Best {
  double recode = 1e30, decode = 1e30, encode = 1e30;
  double turbo = 1e30, turbo_decode = 1e30, turbo_encode = 1e30;
};

void keep_min(double& best, double t) { best = std::min(best, t); }

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  if (argc >= 6 && std::strcmp(argv[1], "--child") == 0) return run_child(argv);
  const bool has_processes = true;
  std::string dir = "/tmp/kestrum_bench";
#else
  const bool has_processes = false;
  std::string dir = (std::filesystem::temp_directory_path() / "kestrum_bench").string();
#endif
  bool large = false;
  int reps = 5;
  int runs = 3;
  bool pin = false;
  const char* only_image = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--large") == 0) large = true;
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
      reps = std::max(1, std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
      runs = std::max(3, std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) dir = argv[++i];
    if (std::strcmp(argv[i], "--reference") == 0) kestrum::set_reference_path(true);
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
      kestrum::set_worker_threads(std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--pin") == 0) pin = true;
    if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) only_image = argv[++i];
    if (std::strcmp(argv[i], "--whole-image") == 0) {
      kestrum::RecodePlan plan = kestrum::requested_recode_plan();
      plan.is_streaming = false;
      kestrum::set_recode_plan(plan);
    }
  }
  if (only_image != nullptr &&
      std::none_of(std::begin(kCases), std::end(kCases),
                   [&](const ImageCase& c) { return std::strcmp(c.name, only_image) == 0; })) {
    std::fprintf(stderr, "--image %s: no such image (0.3MP, 2MP, 12MP or 48MP)\n", only_image);
    return 2;
  }
  struct ProcessRow {
    std::string label;
    double mp, ours, turbo;  // median wall times of the run with the median ratio
    double ratio, lowest_ratio, highest_ratio;  // over the runs
  };
  std::vector<ProcessRow> process_rows;
  // The two threads' waits in the fastest in-process recode of each image that ran two.
  std::vector<std::pair<std::string, kestrum::RowPipelineWaits>> waits;
  std::error_code made;
  std::filesystem::create_directories(dir, made);
  if (made) return 1;
  kestrum::set_console_sink(quiet_sink, nullptr);
  std::printf("%-10s %8s | %8s %8s %8s | %8s %8s %8s | %6s | %8s %8s %6s | %8s\n", "image", "MP",
              "recode", "decode", "encode", "tj-recode", "tj-dec", "tj-enc", "ratio", "RSS ours",
              "RSS tj", "ratio", "our file");
  std::printf("%-10s %8s | %26s | %26s | %6s | %17s %6s\n", "", "", "ours, MP/s",
              "libjpeg-turbo, MP/s", "", "MiB", "");
  for (const ImageCase& image : kCases) {
    if (only_image != nullptr ? std::strcmp(only_image, image.name) != 0 : image.large && !large)
      continue;
    for (const bool restarts : {false, true}) {
      const std::string stem = dir + "/" + image.name + (restarts ? "_rst" : "");
      const std::string source = stem + ".jpg";
      const std::string ours_out = stem + "_ours.jpg", turbo_out = stem + "_tj.jpg";
      if (!make_source(source, image.width, image.height, restarts)) return 1;
      Bytes bytes;
      std::vector<uint8_t> planes;
      int32_t width = 0, height = 0;
      if (!read_file(source, &bytes) || !ours_decode(bytes, &planes, &width, &height)) return 1;
      const int quality = effective_quality();
      int source_width = 0, source_height = 0;
      const std::vector<uint8_t> source_rgb = libjpeg_rgb(source, &source_width, &source_height);
      // Each timed result is checked after its timing: our bytes the same as the first run's,
      // both sides' pictures the source's.
      uint32_t first_hash = 0;
      const auto check = [&](bool is_ours) {
        const std::string& out = is_ours ? ours_out : turbo_out;
        if (is_ours) {
          const uint32_t hash = output_hash(out);
          if (first_hash == 0) first_hash = hash;
          if (hash != first_hash) {
            std::fprintf(stderr, "%s: other bytes than the first run's\n", out.c_str());
            return false;
          }
        }
        return result_depicts_source(out, source_rgb, source_width, source_height);
      };
      Best best;
      kestrum::RowPipelineWaits best_waits;
      for (int rep = 0; rep < reps; ++rep) {
        const kestrum::RowPipelineWaits waits_before = kestrum::last_row_pipeline_waits();
        double t = now_seconds();
        if (!ours_recode(source, ours_out)) return 1;
        const double took = now_seconds() - t;
        const kestrum::RowPipelineWaits waits_now = kestrum::last_row_pipeline_waits();
        const bool ran_two = waits_now.total_s != waits_before.total_s;
        if (took < best.recode && ran_two) best_waits = waits_now;
        keep_min(best.recode, took);
        if (!check(true)) return 1;
        t = now_seconds();
        if (!ours_decode(bytes, nullptr, &width, &height)) return 1;
        keep_min(best.decode, now_seconds() - t);
        t = now_seconds();
        if (!ours_encode(planes, width, height)) return 1;
        keep_min(best.encode, now_seconds() - t);
        TurboTimes tj;
        t = now_seconds();
        if (!turbo_recode(source, turbo_out, quality, &tj)) return 1;
        keep_min(best.turbo, now_seconds() - t);
        if (!check(false)) return 1;
        keep_min(best.turbo_decode, tj.decode);
        keep_min(best.turbo_encode, tj.encode);
      }
      const double mp = static_cast<double>(width) * height / 1e6;
      const std::string label = std::string(image.name) + (restarts ? "+rst" : "");
      if (best_waits.rows != 0) waits.emplace_back(label, best_waits);
      double rss_ours = -1, rss_turbo = -1;
#if !defined(_WIN32)
      rss_ours = child_peak_rss_mib(argv[0], "ours", source, ours_out, quality);
      rss_turbo = child_peak_rss_mib(argv[0], "turbo", source, turbo_out, quality);
      struct Run {
        double ours, turbo;
      };
      std::vector<Run> run_medians;
      for (int run = 0; run < runs; ++run) {
        std::vector<double> ours_runs, turbo_runs;
        for (int rep = 0; rep < reps; ++rep) {
          ours_runs.push_back(
              child_wall_seconds("/proc/self/exe", "ours", source, ours_out, quality, pin));
          if (ours_runs.back() < 0 || !check(true)) return 1;
          turbo_runs.push_back(
              child_wall_seconds("/proc/self/exe", "turbo", source, turbo_out, quality, pin));
          if (turbo_runs.back() < 0 || !check(false)) return 1;
        }
        run_medians.push_back({median(ours_runs), median(turbo_runs)});
      }
      std::sort(run_medians.begin(), run_medians.end(),
                [](const Run& a, const Run& b) { return a.turbo / a.ours < b.turbo / b.ours; });
      const Run& middle = run_medians[run_medians.size() / 2];
      process_rows.push_back({label, mp, middle.ours, middle.turbo, middle.turbo / middle.ours,
                              run_medians.front().turbo / run_medians.front().ours,
                              run_medians.back().turbo / run_medians.back().ours});
#endif
      std::printf(
          "%-10s %8.2f | %8.1f %8.1f %8.1f | %8.1f %8.1f %8.1f | %5.2fx | %8.1f %8.1f %5.2fx | "
          "%08x\n",
          label.c_str(), mp, mp / best.recode, mp / best.decode, mp / best.encode, mp / best.turbo,
          mp / best.turbo_decode, mp / best.turbo_encode, best.turbo / best.recode, rss_ours,
          rss_turbo, rss_ours / rss_turbo, output_hash(ours_out));
      std::fflush(stdout);
    }
  }
  if (has_processes) {
    std::printf(
        "\nwhole process: one cold recode per process; %d runs of %d alternated pairs, each run's "
        "medians; the run with the median ratio, and the lowest and highest ratio%s\n",
        runs, reps, pin ? "; every process on core 0" : "");
    std::printf("%-10s %8s | %8s %8s | %8s %8s | %6s %15s\n", "image", "MP", "ours ms", "MP/s",
                "tj ms", "MP/s", "ratio", "lowest-highest");
  }
  for (const ProcessRow& r : process_rows) {
    const bool is_spread = (r.highest_ratio - r.lowest_ratio) / r.ratio > 0.10;
    std::printf("%-10s %8.2f | %8.1f %8.1f | %8.1f %8.1f | %5.2fx %6.2fx-%5.2fx%s\n",
                r.label.c_str(), r.mp, 1e3 * r.ours, r.mp / r.ours, 1e3 * r.turbo, r.mp / r.turbo,
                r.ratio, r.lowest_ratio, r.highest_ratio,
                is_spread ? "  SPREAD OVER 10 %: a busy machine, the figure is not reliable" : "");
  }
  if (!waits.empty()) {
    std::printf(
        "\ntwo threads in process (the fastest recode): the caller's thread entropy-decodes; the "
        "other inverse-transforms (where it is behind, the caller's thread does), "
        "forward-transforms and entropy-codes; the share of the rows' time each waited\n");
    std::printf("%-10s %6s | %9s | %14s %14s | %s\n", "image", "rows", "rows ms", "decoder waits",
                "other waits", "rows the decoder's thread transformed, the other behind");
    for (const auto& [label, w] : waits) {
      std::printf("%-10s %6u | %9.1f | %13.1f%% %13.1f%% | %u\n", label.c_str(), w.rows,
                  1e3 * w.total_s, 100 * w.decoder_waiting_s / w.total_s,
                  100 * w.worker_waiting_s / w.total_s, w.rows_transformed_by_caller);
    }
  }
  std::printf(
      "quality %d requested; sources at %d; best of %d, interleaved; our %s path, %d thread(s); "
      "every result checked: our bytes the same each time, both sides' pictures at least %.0f dB "
      "against the source\n",
      kRequestedQuality, kSourceQuality, reps,
      !kestrum::requested_recode_plan().is_row_coder
          ? "reference"
          : (kestrum::requested_recode_plan().is_streaming ? "one-pass" : "whole-image"),
      !kestrum::requested_recode_plan().is_row_coder ? 1 : kestrum::requested_recode_plan().threads,
      kPsnrFloorDb);
  return 0;
}
