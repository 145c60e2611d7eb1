// SPDX-License-Identifier: MIT
// Hostile files against a host with little memory: each bomb (frames claimed far beyond their
// data, progressive streams of thousands of scans, megabytes of zeros, of FF fill and of marker
// pairs) is recoded in a child process under an address-space limit and a CPU-time limit, once
// through jpg_recode_api of the shared library and once through kestrum-recode -j 1 followed by
// a good file in the same batch. The child must return normally, within the time, memory and
// output bounds of its case, and the good file after a bomb must still be recoded. The figures
// are printed.
//
// AddressSanitizer reserves terabytes of address space at start, so no address-space limit can
// be set under it: the dev preset skips these cases and the release preset's ctest runs them.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bombs.h"
#include "param_name.h"
#include "test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUM_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_TEST_UNDER_ASAN 1
#endif
#endif

namespace kestrum::test {
namespace {

#if defined(KESTRUM_TEST_UNDER_ASAN)
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif

// Address space of each child: the largest frame the decoders hold needs about 300 MB (library)
// and 1.1 GB (libjpeg way at its memory limit, with our planes).
constexpr rlim_t kAddressSpaceBytes = rlim_t{1536} << 20;
constexpr int kCpuSeconds = 60;      // the child is killed past this much CPU time
constexpr double kWallSeconds = 90;  // and past this much wall time

struct ChildRun {
  bool is_exited = false;  // returned or called exit (not killed by a signal)
  int exit_code = -1;
  int signal = 0;
  double seconds = 0;
  long max_rss_kb = 0;
  size_t output_bytes = 0;  // written to standard output
};

// Runs body in a child process under the limits; standard output is counted and dropped.
template <typename Body>
ChildRun run_limited(Body body, rlim_t address_space_bytes = kAddressSpaceBytes) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return {};
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit space{address_space_bytes, address_space_bytes};
    const rlimit cpu{kCpuSeconds, kCpuSeconds};
    setrlimit(RLIMIT_AS, &space);
    setrlimit(RLIMIT_CPU, &cpu);
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    _exit(body());
  }
  close(out_pipe[1]);
  ChildRun run;
  char buffer[65536];
  for (;;) {
    pollfd p{out_pipe[0], POLLIN, 0};
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > kWallSeconds) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(&p, 1, 500) <= 0) continue;
    const ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.output_bytes += static_cast<size_t>(n);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.max_rss_kb = usage.ru_maxrss;
  run.is_exited = WIFEXITED(status);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  close(out_pipe[0]);
  return run;
}

// Resident memory of this process now, in kB.
long resident_kb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// kestrum-recode -j 1 with the bomb and then a good file (written here) into the folder out.
ChildRun run_tool_batch(const std::string& bomb, const std::string& good, const std::string& out,
                        rlim_t address_space_bytes = kAddressSpaceBytes) {
  if (!write_file(good, libjpeg_encode(photo_rgb(64, 48, 2), 64, 48, baseline_options(90))))
    return {};
  return run_limited(
      [&] {
        execl(KESTRUM_TOOL, KESTRUM_TOOL, "-j", "1", "-o", out.c_str(), bomb.c_str(), good.c_str(),
              static_cast<char*>(nullptr));
        return 127;
      },
      address_space_bytes);
}

struct HostileCase {
  const char* name;
  Bytes (*make)();
  double max_seconds;  // wall time of the child
  long max_rss_mb;     // its peak resident memory
  long max_kept_mb;    // library: resident memory after the call returned
};

// The library prints at most 1,000 messages of a file and a line of its own after them.
constexpr size_t kMaxLogBytes = 256 << 10;

// The bombs. A claimed frame of 14000 x 14000 is within what the decoders hold: it is decoded,
// in time and memory that grow with the claim, not with the file, and its image block (above
// 96 MiB) is not kept.
const HostileCase kCases[] = {
    {"claims_65500x65500_420", [] { return claimed_frame(baseline_options(90), 65500, 65500); }, 10,
     64, 64},
    {"claims_14000x14000_420", [] { return claimed_frame(baseline_options(90), 14000, 14000); }, 30,
     600, 128},
    {"claims_65500x65500_444", [] { return claimed_frame(layout_options(1, 1), 65500, 65500); }, 10,
     64, 64},
    {"progressive_claims_30000x30000",
     [] { return claimed_frame(layout_options(2, 2, 3, true), 30000, 30000); }, 10, 64, 64},
    {"progressive_444_claims_14000x14000",
     [] { return claimed_frame(layout_options(1, 1, 3, true), 14000, 14000); }, 10, 64, 64},
    // Ends with EOI, so the library keeps its 96 MiB image block for the next recode.
    {"progressive_3000_scans_8192x8192", [] { return many_scans(3000, 8192, 8192); }, 10, 400, 104},
    {"ff01_pairs_8MB", [] { return soi_and_pairs(0xFF, 0x01, 4 << 20); }, 10, 128, 64},
    {"ff4f_pairs_8MB", [] { return soi_and_pairs(0xFF, 0x4F, 4 << 20); }, 10, 128, 64},
    {"zeros_32MB", [] { return Bytes(32 << 20, 0x00); }, 10, 128, 64},
    {"soi_and_zeros_32MB", [] { return soi_and_pairs(0x00, 0x00, 16 << 20); }, 10, 128, 64},
    {"ff_fill_32MB", [] { return Bytes(32 << 20, 0xFF); }, 10, 128, 64},
    {"soi_and_ff_fill_32MB", [] { return soi_and_pairs(0xFF, 0xFF, 16 << 20); }, 10, 128, 64},
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class Hostile : public ::testing::TestWithParam<HostileCase> {};

// The library's child judges its own status and resident memory after the call: its exit code
// says which failed (122: the status, 123: the memory).
TEST_P(Hostile, LibraryAndToolBatchStayWithinBounds) {
  if (kUnderAsan) {
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so the memory limit of "
                    "these cases cannot be set; the release preset runs them";
  }
  const HostileCase& c = GetParam();
  TempDir dir;
  const std::string bomb = dir.path(std::string(c.name) + ".jpg");
  ASSERT_TRUE(write_file(bomb, c.make()));
  const auto expect_within_bounds = [&c](const ChildRun& run, const char* way) {
    std::printf("%s via %s: %.2f s, peak %ld MB, %zu bytes of output, exit %d, signal %d\n", c.name,
                way, run.seconds, run.max_rss_kb / 1024, run.output_bytes, run.exit_code,
                run.signal);
    EXPECT_TRUE(run.is_exited) << way << ": killed by signal " << run.signal;
    EXPECT_LE(run.seconds, c.max_seconds) << way;
    EXPECT_LE(run.max_rss_kb / 1024, c.max_rss_mb) << way;
    EXPECT_LE(run.output_bytes, kMaxLogBytes) << way;
  };

  const std::string out = dir.path("out");
  const ChildRun batch = run_tool_batch(bomb, dir.path("good.jpg"), out);
  expect_within_bounds(batch, "kestrum-recode");
  EXPECT_TRUE(batch.exit_code == 0 || batch.exit_code == 1) << batch.exit_code;
  EXPECT_TRUE(file_exists(out + "/good.jpg")) << "the file after the bomb was not recoded";

  const std::string destination = dir.path("out.jpg");
  const ChildRun run = run_limited([&] {
    void* lib = dlopen(KESTRUM_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return 120;
    auto recode = reinterpret_cast<int32_t (*)(const char*, const char*, int32_t)>(
        dlsym(lib, "jpg_recode_api"));
    if (recode == nullptr) return 121;
    const int32_t status = recode(bomb.c_str(), destination.c_str(), 85);
    std::fflush(stdout);
    const long kept_mb = resident_kb() / 1024;
    std::fprintf(stderr, "%s: status %d, %ld MB resident after the call\n", c.name, status,
                 kept_mb);
    if (status != 0 && status != -1 && status != -2 && status != -5 && status != -6) return 122;
    return kept_mb <= c.max_kept_mb ? 0 : 123;
  });
  expect_within_bounds(run, "jpg_recode_api");
  EXPECT_EQ(run.exit_code, 0);
}

// A frame the decoders hold (14000 x 14000 at 4:4:4 goes the libjpeg way, whose planes take
// 294 MB) in a process with less memory than that: the file fails for want of memory, the batch
// goes on with the next file.
TEST(HostileMemory, ToolBatchGoesOnWhenTheMemoryRunsOut) {
  if (kUnderAsan) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  TempDir dir;
  const std::string bomb = dir.path("large.jpg"), out = dir.path("out");
  ASSERT_TRUE(write_file(bomb, claimed_frame(layout_options(1, 1), 14000, 14000)));
  const ChildRun run = run_tool_batch(bomb, dir.path("good.jpg"), out, rlim_t{200} << 20);
  EXPECT_TRUE(run.is_exited) << "killed by signal " << run.signal;
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(file_exists(out + "/large.jpg"));
  EXPECT_TRUE(file_exists(out + "/good.jpg")) << "the file after the bomb was not recoded";
}

INSTANTIATE_TEST_SUITE_P(Bombs, Hostile, ::testing::ValuesIn(kCases), ParamName());

}  // namespace
}  // namespace kestrum::test

#endif  // !_WIN32
