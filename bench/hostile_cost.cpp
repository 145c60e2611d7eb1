// SPDX-License-Identifier: MIT
// What a hostile header costs: files that claim large frames over almost no entropy data, recoded
// from memory, each in a child process of its own so that its peak memory is its own. Prints the
// wall time and the peak resident set of each, and the rate in claimed megapixels per second.
//   kestrum_hostile_bench
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/pipeline.h"
#include "api/process_state.h"
#include "platform/console_log.h"

namespace {

void discard(const char*, void*) {}

// SOI, the Annex K luma and chroma tables at quality 50 would do as well as any: the decoder
// needs tables, a 4:2:0 frame header, a scan header, and then four bytes of entropy data.
std::vector<uint8_t> hostile_file(uint16_t width, uint16_t height) {
  std::vector<uint8_t> f = {0xFF, 0xD8};
  for (uint8_t id = 0; id < 2; ++id) {
    f.insert(f.end(), {0xFF, 0xDB, 0x00, 0x43, id});
    for (int k = 0; k < 64; ++k) f.push_back(static_cast<uint8_t>(16 + k / 4));
  }
  // One DC and one AC table per class, each with a single 1-bit code for symbol 0.
  for (uint8_t tc_th : {0x00, 0x10, 0x01, 0x11}) {
    f.insert(f.end(), {0xFF, 0xC4, 0x00, 0x14, tc_th, 1});
    for (int k = 1; k < 16; ++k) f.push_back(0);
    f.push_back(0);
  }
  f.insert(f.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08, static_cast<uint8_t>(height >> 8),
                     static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                     static_cast<uint8_t>(width), 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03,
                     0x11, 0x01});
  f.insert(f.end(),
           {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
  f.insert(f.end(), {0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9});
  return f;
}

struct Run {
  int status = 0;
  double seconds = 0;
  long peak_kib = 0;
};

Run run_in_child(uint16_t width, uint16_t height) {
  const std::vector<uint8_t> file = hostile_file(width, height);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    kestrum::set_console_sink(discard, nullptr);
    kestrum::EncodedStream out;
    const int32_t status =
        kestrum::recode_memory(file.data(), static_cast<uint32_t>(file.size()), 85, &out);
    if (status == 0) kestrum::release_stream(out);
    _exit(status == 0 ? 0 : 100 - status);
  }
  int wstatus = 0;
  rusage usage{};
  wait4(child, &wstatus, 0, &usage);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.status =
      WIFEXITED(wstatus) ? (WEXITSTATUS(wstatus) == 0 ? 0 : 100 - WEXITSTATUS(wstatus)) : -1000;
  r.peak_kib = usage.ru_maxrss;
  return r;
}

}  // namespace

int main() {
  const struct {
    uint16_t width, height;
  } frames[] = {{1024, 1024},  {4096, 3072}, {8192, 8192}, {11585, 11585},
                {16384, 8192}, {65535, 16},  {16, 65535},  {65535, 65535}};
  std::printf("%-13s %7s %9s %10s %9s\n", "frame", "status", "seconds", "peak MiB", "MP/s");
  for (const auto& f : frames) {
    const Run r = run_in_child(f.width, f.height);
    const double mp = double(f.width) * f.height / 1e6;
    std::printf("%5ux%-7u %7d %9.3f %10.1f %9.1f\n", f.width, f.height, r.status, r.seconds,
                r.peak_kib / 1024.0, r.status == 0 ? mp / r.seconds : 0.0);
  }
  return 0;
}
