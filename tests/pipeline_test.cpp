// SPDX-License-Identifier: MIT
// The exported functions: handles, the name check, output naming, console transcripts, status
// codes, file rules (temporary file, atomic replace, nothing left on failure), allocation
// failures on every path, and the shared library's exports loaded by name.
#include "api/pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <numeric>
#include <optional>
#include <set>

#include "api/output_name.h"
#include "api/process_state.h"
#include "common/code_path.h"
#include "encoder/encode_driver.h"
#include "kestrum.h"
#include "param_name.h"
#include "platform/heap.h"
#include "test_util.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace kestrum::test {
namespace {

constexpr const char* kCannotOpen =
    "Can not open input source jpeg file. Please check!jpg dec failed. ret=-1\n";

const Bytes kOld = {'o', 'l', 'd'};

// What the decode of sample_jpeg() prints.
const std::string kDecodedLines =
    "file width: 100\nfile height: 75\ninput jpeg file is ycbcr411 format\n";

Bytes sample_jpeg(int w = 100, int h = 75, int quality = 90) {
  return libjpeg_encode(photo_rgb(w, h, 3), w, h, baseline_options(quality));
}

TEST(Handles, NameCheck) {
  KestrumHandle a = kestrum_Init("KE_100");
  KestrumHandle b = kestrum_Init("KE_100");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  for (const char* refused : {"KE_1000", "KE_10", "ke_100", "", "UI_10"})
    EXPECT_EQ(kestrum_Init(refused), nullptr) << refused;
  EXPECT_EQ(kestrum_Init(nullptr), nullptr);
  EXPECT_EQ(kestrum_Release(a), 1);
  EXPECT_EQ(kestrum_Release(b), 1);
  EXPECT_EQ(kestrum_Release(nullptr), 0);
  EXPECT_EQ(kestrum_Test(), 0);
}

// The quality goes in before the last dot of the name (a dot in a folder name counts).
TEST(OutputNames, InsertBeforeLastDot) {
  const struct {
    const char* path;
    int32_t quality;
    const char* expected;  // null: no name
  } cases[] = {{"photo.jpg", 85, "photo_85.jpg"},
               {"a.b.jpg", 85, "a.b_85.jpg"},
               {".jpg", 85, "_85.jpg"},
               {"photo.", 85, "photo_85."},
               {"my.dir\\photo", 85, "my_85.dir\\photo"},
               {"img\\photo.jpg", 85, "img\\photo_85.jpg"},
               {"photo.jpg", -5, "photo_-5.jpg"},
               {"photo.jpg", 0, "photo_0.jpg"},
               {"photo.jpg", 65536, "photo_65536.jpg"},
               {"p.jpg", INT32_MIN, "p_-2147483648.jpg"},
               {"photo", 85, nullptr}};
  for (const auto& c : cases) {
    char* name = make_output_name(c.path, c.quality);
    EXPECT_STREQ(name, c.expected) << c.path << " " << c.quality;
    std::free(name);
  }
}

class Pipeline : public ::testing::Test {
 protected:
  TempDir dir_;
};

// kestrum_100 does nothing without a handle, a path or a dot in the file's name; otherwise it
// writes beside the source, leaves the source as it was and overwrites its own result.
TEST_F(Pipeline, Kestrum100WritesBesideTheSourceAndOverwrites) {
  const std::string src = dir_.path("photo.jpg");
  const Bytes jpeg = sample_jpeg();
  ASSERT_TRUE(write_file(src, jpeg));
  const std::string nodot = dir_.path("photo");
  ASSERT_TRUE(write_file(nodot, jpeg));
  KestrumHandle h = kestrum_Init("KE_100");
  ConsoleCapture capture;
  EXPECT_EQ(kestrum_100(nullptr, src.c_str(), 85), 0);
  EXPECT_EQ(kestrum_100(h, nullptr, 85), 0);
  // A folder name without a dot keeps the file's own: use a dot-free temp path.
  if (std::string(dir_.root()).find('.') == std::string::npos) {
    EXPECT_EQ(kestrum_100(h, nodot.c_str(), 85), 0);
  }
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(dir_.list(), (std::vector<std::string>{"photo", "photo.jpg"}));
  EXPECT_EQ(kestrum_100(h, src.c_str(), 85), 1);
  EXPECT_EQ(capture.text(), kDecodedLines + "encoding jpg successfully!\n\n");
  Bytes first, again, source_after;
  ASSERT_TRUE(read_file(dir_.path("photo_85.jpg"), &first));
  ASSERT_TRUE(read_file(src, &source_after));
  EXPECT_EQ(source_after, jpeg);
  ASSERT_GE(first.size(), 633u);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), (Bytes{0xFF, 0xD8, 0xFF, 0xE0}));
  EXPECT_EQ(Bytes(first.end() - 2, first.end()), (Bytes{0xFF, 0xD9}));
  EXPECT_EQ(kestrum_100(h, src.c_str(), 85), 1);
  ASSERT_TRUE(read_file(dir_.path("photo_85.jpg"), &again));
  EXPECT_EQ(again, first);
  EXPECT_EQ(dir_.list(), (std::vector<std::string>{"photo", "photo.jpg", "photo_85.jpg"}));
  kestrum_Release(h);
}

// The reference path (which also obtains the decoder's planes and row buffers), the fast paths,
// and the one-pass recode (a ring of rows, the encoder set up before the decode ends).
enum class AllocationPath { kReference, kFast, kOnePass };
class AllocationFailures : public Pipeline, public ::testing::WithParamInterface<AllocationPath> {};

TEST_P(AllocationFailures, EveryAllocationFailureIsClean) {
  const bool reference = GetParam() == AllocationPath::kReference;
  RecodePlan plan = reference ? reference_plan() : RecodePlan{};
  plan.is_streaming = GetParam() == AllocationPath::kOnePass;
  set_recode_plan(plan);
  const std::string src = dir_.path("photo.jpg"), dst = dir_.path("out.jpg");
  ASSERT_TRUE(write_file(src, sample_jpeg()));
  // Count the allocations of one recode, then fail each in turn.
  {
    ConsoleCapture quiet;
    heap_fail_nth(0);
    ASSERT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), 0);
  }
  const int allocations = heap_fail_nth(0);
  ASSERT_GE(allocations, reference ? 11 : 6);
  Bytes good;
  ASSERT_TRUE(read_file(dst, &good));
  std::remove(dst.c_str());
  std::set<int> codes;
  for (int n = 1; n <= allocations; ++n) {
    ConsoleCapture capture;
    heap_fail_nth(n);
    const int32_t status = jpg_recode_api(src.c_str(), dst.c_str(), 85);
    heap_fail_nth(0);
    ASSERT_LT(status, 0) << "allocation " << n;
    codes.insert(status);
    EXPECT_FALSE(file_exists(dst)) << n;
    EXPECT_NE(capture.text().find("failed"), std::string::npos) << capture.text();
  }
  EXPECT_TRUE(codes.count(-5) && codes.count(-6) && codes.count(-16) && codes.count(-11))
      << codes.size();
  // And the next recode is exactly as before.
  ConsoleCapture quiet;
  ASSERT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), 0);
  Bytes after;
  ASSERT_TRUE(read_file(dst, &after));
  EXPECT_EQ(after, good);
}
INSTANTIATE_TEST_SUITE_P(Paths, AllocationFailures,
                         ::testing::Values(AllocationPath::kReference, AllocationPath::kFast,
                                           AllocationPath::kOnePass));

#if !defined(_WIN32)
// Images whose planar block is large keep it for the next recode: a reused block (holding the
// last image) gives the bytes a fresh one gives, a failure of the reused allocation is as clean
// as any other and keeps the block, and releasing a handle frees it. (The one-pass recode needs
// no image block; the recodes that go through the whole image keep it.)
TEST_F(Pipeline, LargeImagesReuseTheKeptBlock) {
  RecodePlan whole_image;
  whole_image.is_streaming = false;
  set_recode_plan(whole_image);
  const int side = 1700;  // 1700 x 1700 at 4:2:0: 4.3 MB of planes
  ASSERT_GE(static_cast<size_t>(side) * side * 3 / 2, kRetainMinBytes);
  const Bytes a = libjpeg_encode(photo_rgb(side, side, 3), side, side, baseline_options(90));
  const Bytes b = libjpeg_encode(photo_rgb(side, side, 4), side, side, baseline_options(80));
  const Bytes small = sample_jpeg();
  ConsoleCapture quiet;
  Bytes fresh_b, fresh_small, again;
  release_retained_block();
  ASSERT_EQ(recode_in_memory(small, 85, &fresh_small), 0);
  EXPECT_EQ(retained_block_bytes(), 0u);
  ASSERT_EQ(recode_in_memory(b, 85, &fresh_b), 0);
  release_retained_block();
  ASSERT_EQ(recode_in_memory(a, 85, &again), 0);
  const size_t kept = retained_block_bytes();
  EXPECT_GE(kept, static_cast<size_t>(side) * side * 3 / 2);
  ASSERT_EQ(recode_in_memory(b, 85, &again), 0);
  EXPECT_EQ(again, fresh_b);
  ASSERT_EQ(recode_in_memory(small, 85, &again), 0);
  EXPECT_EQ(again, fresh_small);
  EXPECT_EQ(retained_block_bytes(), kept);

  heap_fail_nth(0);
  ASSERT_EQ(recode_in_memory(b, 85, &again), 0);
  const int allocations = heap_fail_nth(0);
  for (int n = 1; n <= allocations; ++n) {
    heap_fail_nth(n);
    Bytes out;
    const int32_t status = recode_in_memory(b, 85, &out);
    heap_fail_nth(0);
    // A second thread's buffers that cannot be had leave the work to one thread.
    EXPECT_TRUE(status < 0 || out == fresh_b) << "allocation " << n << ": " << status;
    EXPECT_EQ(retained_block_bytes(), kept) << "allocation " << n;
  }
  ASSERT_EQ(recode_in_memory(b, 85, &again), 0);
  EXPECT_EQ(again, fresh_b);

  KestrumHandle handle = kestrum_Init("KE_100");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(kestrum_Release(handle), 1);
  EXPECT_EQ(retained_block_bytes(), 0u);
}

#endif

// jpg_recode_api with the process's file size limit at limit bytes (0 = as it is) and SIGXFSZ
// ignored, so that a write past the limit fails as it would on a full disk (Windows has no limit:
// there the limit is not set, and the cases that need it are skipped).
int32_t recode_with_size_limit(const char* src, const char* dst, int32_t quality,
                               [[maybe_unused]] uint64_t limit) {
#if defined(_WIN32)
  return jpg_recode_api(src, dst, quality);
#else
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  if (limit != 0) small.rlim_cur = static_cast<rlim_t>(limit);
  setrlimit(RLIMIT_FSIZE, &small);
  const int32_t status = jpg_recode_api(src, dst, quality);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  return status;
#endif
}

// A file recode whose stream passes the spill size writes it to its temporary file while it is
// made. Each way gives the bytes of the same recode in memory on the reference path; a write
// that fails after bytes were handed over fails the recode as a failed write, leaving the old
// destination and nothing beside it.
struct StreamedCase {
  const char* name;
  int32_t threads;
  bool is_streaming;
  bool has_table_after_scan;  // the one-pass recode is done again through the whole image
  uint64_t file_size_limit;   // 0 = none (POSIX only: Windows has no such limit)
};

class StreamedDestination : public Pipeline, public ::testing::WithParamInterface<StreamedCase> {};

TEST_P(StreamedDestination, GivesTheBytesOfTheRecodeInMemory) {
  const StreamedCase& c = GetParam();
#if defined(_WIN32)
  if (c.file_size_limit != 0) GTEST_SKIP() << "no file size limit on Windows";
#endif
  constexpr int kWidth = 2048, kHeight = 1536;
  Bytes source =
      libjpeg_encode(photo_rgb(kWidth, kHeight, 5, 40), kWidth, kHeight, baseline_options(98));
  if (c.has_table_after_scan) {
    Bytes body(65, 0);
    std::iota(body.begin() + 1, body.end(), uint8_t{1});
    const Bytes dqt = segment(0xDB, body);
    source.insert(source.end() - 2, dqt.begin(), dqt.end());
  }
  set_recode_plan(reference_plan());
  Bytes expected;
  ConsoleCapture quiet;  // until capture below takes the console over
  ASSERT_EQ(recode_in_memory(source, 100, &expected), 0);
  // At least two spills and a tail, or the case tests nothing (where the recode is done again,
  // its first pass spilled the stream coded with the tables before the change).
  ASSERT_GT(expected.size(), (c.has_table_after_scan ? 1 : 2) * kSpillBytes + 1000);
  RecodePlan plan;
  plan.threads = c.threads;
  plan.is_streaming = c.is_streaming;
  set_recode_plan(plan);
  const std::string src = dir_.path("photo.jpg"), dst = dir_.path("out.jpg");
  ASSERT_TRUE(write_file(src, source));
  ASSERT_TRUE(write_file(dst, kOld));
  ConsoleCapture capture;
  const int32_t status = recode_with_size_limit(src.c_str(), dst.c_str(), 100, c.file_size_limit);
  Bytes written;
  ASSERT_TRUE(read_file(dst, &written));
  EXPECT_EQ(dir_.list(), (std::vector<std::string>{"out.jpg", "photo.jpg"}));
  if (c.file_size_limit != 0) {
    EXPECT_EQ(status, -15);
    EXPECT_NE(capture.text().find("fwrite(), can not write jpeg fileencoding jpg failed!\n\n"),
              std::string::npos);
    EXPECT_EQ(written, kOld);
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(written == expected) << written.size() << " bytes, not " << expected.size();
  }
}

const StreamedCase kStreamedCases[] = {
    {"one_pass_one_thread", 1, true, false, 0},
    {"one_pass_two_threads", 2, true, false, 0},
    {"whole_image", 2, false, false, 0},
    {"table_after_the_scan", 2, true, true, 0},
    {"write_fails_after_a_spill", 2, true, false, 3 * kSpillBytes / 2},
    {"write_fails_at_once", 1, true, false, 1000}};
INSTANTIATE_TEST_SUITE_P(Ways, StreamedDestination, ::testing::ValuesIn(kStreamedCases),
                         ParamName());

// Another handle holding a file (on Windows opened without any sharing, as an editor or a running
// copy would hold it; POSIX has no mandatory locks, so there it reads and is replaced as usual),
// a read-only file, and an unreadable one (Windows has no unreadable mode bits; a file held
// without sharing is its counterpart).
#if defined(_WIN32)
constexpr bool kHeldFilesAreLocked = true;
bool make_read_only(const std::string& path, bool read_only) {
  return SetFileAttributesA(path.c_str(),
                            read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0;
}
bool privileged_writer() { return false; }
bool make_unreadable(const std::string&) { return false; }
#else
constexpr bool kHeldFilesAreLocked = false;
bool make_read_only(const std::string& path, bool read_only) {
  return chmod(path.c_str(), read_only ? 0444 : 0644) == 0;
}
bool privileged_writer() { return geteuid() == 0; }
bool make_unreadable(const std::string& path) { return chmod(path.c_str(), 0) == 0; }
#endif
struct HeldOpen {
#if defined(_WIN32)
  explicit HeldOpen(const std::string& path)
      : handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr)) {}
  ~HeldOpen() {
    if (ok()) CloseHandle(handle);
  }
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }
  HANDLE handle;
#else
  explicit HeldOpen(const std::string& path) : fd(open(path.c_str(), O_RDWR)) {}
  ~HeldOpen() {
    if (ok()) close(fd);
  }
  bool ok() const { return fd >= 0; }
  int fd;
#endif
  HeldOpen(const HeldOpen&) = delete;
};

// What a call may do to a path it could not use: nothing. The path's kind, inode, mode and bytes,
// and the folder's listing (no temporary file), are the same after the call as before it.
std::string snapshot(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(path, error);
  std::string state = std::to_string(static_cast<int>(status.type()));
#if !defined(_WIN32)
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    state += " inode " + std::to_string(info.st_ino) + " mode " + std::to_string(info.st_mode);
  }
#endif
  Bytes bytes;
  if (std::filesystem::is_regular_file(status) && read_file(path, &bytes)) {
    state += " bytes " + std::string(bytes.begin(), bytes.end());
  }
  return state;
}

// Paths a call cannot use, and what it does to them: nothing. An existing destination stays as it
// was (kind, inode, mode, bytes), a new one is not made, no temporary file is left. A source that
// cannot be read gives -1 with its message before anything is allocated, and no call waits on a
// FIFO nobody writes (holding the recode lock, it would make every other thread wait too). A
// destination gives -14 when the file cannot be made (after the decode, or at once for a null
// path, before the source is read), -15 when its bytes cannot all be written or it cannot be
// replaced; one that is no regular file (a FIFO, a link to it, a device node made where the
// system lets us) is not replaced by one. A file held open elsewhere is locked on Windows only
// (POSIX has no mandatory locks): there it is read, or replaced, as usual.
TEST_F(Pipeline, PathsThatCannotBeUsed) {
  for (const char* name : {"photo.jpg", "vanished.jpg", "locked.jpg", "held.jpg"}) {
    ASSERT_TRUE(write_file(dir_.path(name), sample_jpeg()));
  }
  for (const char* name : {"out.jpg", "read_only.jpg", "held_out.jpg", "limited.jpg"}) {
    ASSERT_TRUE(write_file(dir_.path(name), kOld));
  }
  std::filesystem::create_directory(dir_.path("folder.jpg"));
  std::remove(dir_.path("vanished.jpg").c_str());
  // Skipped as root, who reads and writes any file.
  const bool can_lock = !privileged_writer() && make_unreadable(dir_.path("locked.jpg"));
  const bool can_protect = !privileged_writer() && make_read_only(dir_.path("read_only.jpg"), true);
  const HeldOpen held(dir_.path("held.jpg")), held_out(dir_.path("held_out.jpg"));
  ASSERT_TRUE(held.ok() && held_out.ok());
  const std::string src = dir_.path("photo.jpg"), fifo = dir_.path("pipe.jpg");
  const std::string out = dir_.path("out.jpg"), fresh = dir_.path("new.jpg");
  struct Case {
    std::optional<std::string> source, dst;  // nullopt: a null path
    int32_t status;
    bool is_size_limited = false;
  };
  std::vector<Case> cases = {
      {std::nullopt, fresh, -1}, {std::nullopt, std::nullopt, -1},
      {src, std::nullopt, -14},  {src, dir_.path("nowhere/out.jpg"), -14},
      {src, dir_.root(), -14},   {src, dir_.path("held_out.jpg"), kHeldFilesAreLocked ? -15 : 0}};
  if (can_protect) cases.push_back({src, dir_.path("read_only.jpg"), -14});
  std::vector<std::pair<std::string, int32_t>> sources = {
      {dir_.path("absent.jpg"), -1},
      {dir_.root(), -1},
      {dir_.path("folder.jpg"), -1},
      {dir_.path("vanished.jpg"), -1},
      {dir_.path("held.jpg"), kHeldFilesAreLocked ? -1 : 0}};
  if (can_lock) sources.push_back({dir_.path("locked.jpg"), -1});
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  sources.insert(sources.end(), {{fifo, -1}, {"/dev/zero", -1}, {"/dev/null", -1}});
  ASSERT_EQ(mkfifo(dir_.path("fifo.jpg").c_str(), 0644), 0);
  ASSERT_EQ(symlink(dir_.path("fifo.jpg").c_str(), dir_.path("link.jpg").c_str()), 0);
  cases.insert(cases.end(), {{src, dir_.path("limited.jpg"), -15, true},
                             {src, dir_.path("fifo.jpg"), -14},
                             {src, dir_.path("link.jpg"), -14}});
  if (mknod(dir_.path("null.jpg").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    cases.push_back({src, dir_.path("null.jpg"), -14});
  }
#endif
  for (const auto& [source, status] : sources) {
    for (const std::string& dst : {out, fresh}) cases.push_back({source, dst, status});
  }
  for (const Case& c : cases) {
    const char* source = c.source ? c.source->c_str() : nullptr;
    const char* dst = c.dst ? c.dst->c_str() : nullptr;
    SCOPED_TRACE(std::string(source ? source : "null") + " to " + (dst ? dst : "null"));
    const std::string before = dst ? snapshot(dst) : "";
    const std::vector<std::string> listing = dir_.list();
    std::string log;
    heap_fail_nth(0);
    auto call = std::async(std::launch::async, [&] {
      ConsoleCapture capture;
      const int32_t status = recode_with_size_limit(source, dst, 85, c.is_size_limited ? 1000 : 0);
      log = capture.text();
      return status;
    });
    if (call.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the call waited on its source";
#if !defined(_WIN32)
      const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // so that the test ends
      if (unblock >= 0) close(unblock);
#endif
    }
    const int32_t status = call.get();
    const int allocations = heap_fail_nth(0);
    EXPECT_EQ(status, c.status) << log;
    if (status == 0) {  // put back as it was, so that the listing is checked as well
      EXPECT_NE(snapshot(dst), before);
      if (*c.dst == fresh) {
        std::remove(dst);
      } else {
        ASSERT_TRUE(write_file(dst, kOld));
      }
    } else {
      const std::string reason =
          status == -14 ? "can not create JPEG file!" : "fwrite(), can not write jpeg file";
      EXPECT_EQ(log, status == -1
                         ? kCannotOpen
                         : (dst ? kDecodedLines : "") + reason + "encoding jpg failed!\n\n");
      EXPECT_EQ(dst ? snapshot(dst) : "", before);
    }
    EXPECT_TRUE(allocations == 0 || (status != -1 && dst)) << allocations << " allocations";
    EXPECT_EQ(dir_.list(), listing);
  }
  make_read_only(dir_.path("read_only.jpg"), false);
}

#if defined(_WIN32)
// Paths are char strings in the process code page; Windows takes either separator.
TEST_F(Pipeline, EitherSeparatorOnWindows) {
  std::string forward = dir_.root();
  for (char& c : forward)
    if (c == '\\') c = '/';
  ASSERT_TRUE(write_file(dir_.path("photo.jpg"), sample_jpeg()));
  KestrumHandle h = kestrum_Init("KE_100");
  ConsoleCapture quiet;
  EXPECT_EQ(kestrum_100(h, (forward + "/photo.jpg").c_str(), 60), 1);
  EXPECT_EQ(kestrum_100(h, (dir_.root() + "\\photo.jpg").c_str(), 70), 1);
  EXPECT_EQ(jpg_recode_api((forward + "\\photo.jpg").c_str(), (forward + "/out.jpg").c_str(), 80),
            0);
  kestrum_Release(h);
  EXPECT_EQ(dir_.list(),
            (std::vector<std::string>{"out.jpg", "photo.jpg", "photo_60.jpg", "photo_70.jpg"}));
}

#endif

// The shared library loaded by name (on Windows beside the test program, where a host would find
// it): its five exports by name (and on Windows by their ordinals 1 to 5, and no sixth), the
// internals hidden, and a recode through the loaded functions. Calls go through void (*)(), the
// one function type a cast may pass through unwarned.
TEST(SharedLibrary, ExportsLoadByName) {
  const char* const names[] = {"kestrum_100", "kestrum_Init", "kestrum_Release", "kestrum_Test",
                               "jpg_recode_api"};
#if defined(_WIN32)
  HMODULE lib = LoadLibraryA("kestrumEx.dll");
  ASSERT_NE(lib, nullptr) << GetLastError();
  const auto symbol = [lib](const char* name) {
    return reinterpret_cast<void (*)()>(GetProcAddress(lib, name));
  };
  for (int ordinal = 1; ordinal <= 5; ++ordinal) {
    EXPECT_EQ(reinterpret_cast<void (*)()>(GetProcAddress(lib, MAKEINTRESOURCEA(ordinal))),
              symbol(names[ordinal - 1]))
        << ordinal;
  }
  EXPECT_EQ(GetProcAddress(lib, MAKEINTRESOURCEA(6)), nullptr);
#else
  void* lib = dlopen(KESTRUM_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const auto symbol = [lib](const char* name) {
    return reinterpret_cast<void (*)()>(dlsym(lib, name));
  };
#endif
  for (const char* name : names) EXPECT_NE(symbol(name), nullptr) << name;
  EXPECT_EQ(symbol("_ZN7kestrum9g_decoderE"), nullptr);  // internals stay hidden
  auto init = reinterpret_cast<KestrumHandle (*)(const char*)>(symbol("kestrum_Init"));
  auto release = reinterpret_cast<int32_t (*)(KestrumHandle)>(symbol("kestrum_Release"));
  auto test = reinterpret_cast<int32_t (*)()>(symbol("kestrum_Test"));
  auto recode =
      reinterpret_cast<int32_t (*)(KestrumHandle, const char*, int32_t)>(symbol("kestrum_100"));
  KestrumHandle h = init("KE_100");
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(test(), 0);
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("p.jpg"), sample_jpeg()));
  EXPECT_EQ(recode(h, dir.path("p.jpg").c_str(), 70), 1);
  EXPECT_TRUE(file_exists(dir.path("p_70.jpg")));
  EXPECT_EQ(release(h), 1);
#if defined(_WIN32)
  FreeLibrary(lib);
#else
  dlclose(lib);
#endif
}

}  // namespace
}  // namespace kestrum::test
