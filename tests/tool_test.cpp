// SPDX-License-Identifier: MIT
// kestrum-recode: its argument rules and worker records, and the built program run on folders
// made in the test (layout under -o, results beside the sources, exit statuses, --skip-larger,
// --keep-metadata, -v and --log).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "kestrum.h"
#include "param_name.h"
#include "recode/file_job.h"
#include "recode/options.h"
#include "recode/report.h"
#include "recode/worker_process.h"
#include "recode_any/jpeg_segments.h"
#include "test_images.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kestrum::test {
namespace {
namespace fs = std::filesystem;
using tool::FileOutcome;

// Whether text holds each of texts, where "!what" is a text it is free of; the text is shown,
// after the texts it gets wrong, when it does not.
::testing::AssertionResult says(const std::string& text, const std::vector<std::string>& texts) {
  std::string wrong;
  for (const std::string& t : texts) {
    const bool is_banned = !t.empty() && t[0] == '!';
    if ((text.find(is_banned ? t.substr(1) : t) != std::string::npos) == is_banned)
      wrong += "\"" + t + "\" ";
  }
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << wrong << "wrong in:\n" << text;
}
::testing::AssertionResult has(const std::string& text, const std::string& what) {
  return says(text, {what});
}

TEST(ToolRecord, RoundTripsEveryField) {
  // clang-format off
  const FileOutcome a{.outcome = tool::Outcome::kKept, .status = -14, .way = 3,
                      .source_quality = 92, .quality_used = 80, .bytes_in = 5000000000ull,
                      .bytes_out = 7, .note = "4:2:2 \u2192 4:2:0",
                      .error = "cannot create C:\\photos\\a b\\x.jpg",
                      .damage = "data ends at 61 %\tof the image",
                      .log = "line\twith tab\nsecond \\n literal\r\nend\\"};
  // clang-format on
  FileOutcome b;
  ASSERT_TRUE(tool::decode_outcome(tool::encode_outcome(a), &b));
  const auto fields = [](const FileOutcome& o) {
    return std::tie(o.outcome, o.status, o.way, o.source_quality, o.quality_used, o.bytes_in,
                    o.bytes_out, o.note, o.error, o.damage, o.log);
  };
  EXPECT_EQ(fields(b), fields(a));
  EXPECT_EQ(tool::encode_outcome(a).find('\n'), std::string::npos);
  for (const char* broken : {"", "encoding jpg successfully!", "kestrum-recode-result\t0\t0",
                             "other\t0\t0\t0\t0\t0\t0\t\t\t"})
    EXPECT_FALSE(tool::decode_outcome(broken, &b)) << broken;
}

// File names are bytes: what is no well-formed UTF-8 in them is written as U+DC00 + byte (the
// way Python's surrogateescape reads such a name back), so that every line stays valid JSON.
TEST(ToolJson, NamesThatAreNoUtf8StayValidJson) {
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xc3\xa9.jpg", "caf\xc3\xa9.jpg"},               // UTF-8 passes unchanged
      {"caf\xe9.jpg", "caf\\udce9.jpg"},                    // Latin-1
      {"\xe0\xa4\x85.jpg", "\xe0\xa4\x85.jpg"},             // three bytes, the lowest lead
      {"\xf0\x9f\x93\xb7.jpg", "\xf0\x9f\x93\xb7.jpg"},     // four bytes
      {"a\xc0\xaf.jpg", "a\\udcc0\\udcaf.jpg"},             // overlong '/'
      {"a\xed\xa0\x80.jpg", "a\\udced\\udca0\\udc80.jpg"},  // a surrogate
      {"a\xe2\x82.jpg", "a\\udce2\\udc82.jpg"},             // cut short before '.'
      {"end\xe2\x82", "end\\udce2\\udc82"},                 // cut short at the end
      {"q\"\\\t\x7f", "q\\\"\\\\\\u0009\x7f"}};
  for (const auto& [name, escaped] : cases) {
    const std::string json = tool::file_json(name, "", FileOutcome{});
    EXPECT_EQ(json.substr(0, json.find(",\"destination\"")), "{\"source\":\"" + escaped + "\"")
        << escaped;
  }
}

TEST(ToolQuoting, WindowsCommandLineRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"C:\\dir\\f.jpg", "C:\\dir\\f.jpg"},  // backslashes not before a quote stay single
      {"C:\\my dir\\",
       "\"C:\\my dir\\\\\""},  // trailing backslashes doubled before the closing quote
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},  // a backslash before a quote: doubled, then the escaped quote
  };
  for (const auto& [arg, quoted] : cases) EXPECT_EQ(tool::quote_windows_arg(arg), quoted) << arg;
}

// One command line each: what the parser makes of it, what the options then hold and what a
// refusal says. jpegoptim's spellings mean what they mean there.
using Holds = std::function<bool(const tool::Options&)>;
struct ArgsCase {
  const char* name;
  std::vector<const char*> args;
  tool::ParseResult result;
  Holds holds = nullptr;   // the options hold it
  const char* error = "";  // the refusal holds it
};

void PrintTo(const ArgsCase& c, std::ostream* os) { *os << c.name; }

class ToolArgs : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(ToolArgs, Parse) {
  const ArgsCase& c = GetParam();
  std::vector<const char*> argv = {"kestrum-recode"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  tool::Options options;
  std::string error;
  EXPECT_EQ(tool::parse_args(static_cast<int>(argv.size()), argv.data(), &options, &error),
            c.result);
  EXPECT_EQ(error.empty(), c.result != tool::ParseResult::kUsageError) << error;
  EXPECT_TRUE(has(error, c.error));
  EXPECT_TRUE(!c.holds || c.holds(options));
}

using O = const tool::Options&;
constexpr tool::ParseResult kRun = tool::ParseResult::kRun;
constexpr tool::ParseResult kRefused = tool::ParseResult::kUsageError;

// clang-format off
const ArgsCase kArgsCases[] = {
    {"one_file", {"a.jpg"}, kRun},
    {"every_option", {"-q", "1", "-j", "256", "-r", "-o", "out", "dir"}, kRun},
    {"after_double_dash", {"--", "-q"}, kRun},
    {"nothing", {}, kRefused},
    {"quality_0", {"-q", "0", "a"}, kRefused},
    {"quality_101", {"-q", "101", "a"}, kRefused},
    {"quality_not_a_number", {"-q", "8x", "a"}, kRefused},
    {"quality_without_value", {"a", "-q"}, kRefused},
    {"jobs_0", {"-j", "0", "a"}, kRefused},
    {"output_without_value", {"-o"}, kRefused},
    // "-o $OUT" with OUT unset: not "beside the sources" (nor, with --replace, over them)
    {"empty_output_folder", {"--replace", "-o", "", "a"}, kRefused},
    {"empty_log_folder", {"--log", "", "a"}, kRefused},
    {"empty_list_name", {"--files-from", "", "a"}, kRefused},
    // options that a stream has no use for are refused rather than ignored
    {"stream_with_json", {"--json", "-"}, kRefused},
    {"stream_with_dry_run", {"--dry-run", "-"}, kRefused},
    {"stream_with_skip_larger", {"--skip-larger", "-"}, kRun},
    {"worker_without_destination", {"--worker", "a"}, kRefused},
    {"help_anywhere", {"a", "--help"}, tool::ParseResult::kHelp},
    {"values_reach_the_options", {"-q", "70", "-j", "3", "-r", "--strict", "--strip", "x", "y"},
     kRun, [](O o) {
       return o.quality == 70 && o.jobs == 3 && o.recursive && o.strict && o.strip &&
              !o.allow_larger && !o.relative && o.paths == std::vector<std::string>{"x", "y"};
     }},
    {"q_joined", {"-q85", "x"}, kRun, [](O o) { return o.quality == 85; }},
    {"quality", {"--quality", "40", "x"}, kRun, [](O o) { return o.quality == 40; }},
    {"quality_equals", {"--quality=33", "x"}, kRun, [](O o) { return o.quality == 33; }},
    {"m_joined", {"-m80", "x"}, kRun, [](O o) { return o.quality == 80 && !o.relative; }},
    {"m", {"-m", "70", "x"}, kRun, [](O o) { return o.quality == 70; }},
    {"max_equals", {"--max=75", "x"}, kRun, [](O o) { return o.quality == 75 && !o.relative; }},
    {"target_quality", {"--target-quality", "60", "x"}, kRun,
     [](O o) { return o.quality == 60 && !o.relative; }},
    {"s", {"-s", "x"}, kRun, [](O o) { return o.strip; }},
    {"strip_all", {"--strip-all", "x"}, kRun, [](O o) { return o.strip; }},
    {"n", {"-n", "x"}, kRun, [](O o) { return o.dry_run; }},
    {"noaction", {"--noaction", "x"}, kRun, [](O o) { return o.dry_run; }},
    {"d", {"-d", "out", "x"}, kRun, [](O o) { return o.output_dir == "out"; }},
    {"d_joined", {"-dout", "x"}, kRun, [](O o) { return o.output_dir == "out"; }},
    {"dest_equals", {"--dest=out", "x"}, kRun, [](O o) { return o.output_dir == "out"; }},
    {"jobs_equals", {"--jobs=2", "x"}, kRun, [](O o) { return o.jobs == 2; }},
    {"size_in_kib", {"-S", "200", "x"}, kRun,
     [](O o) { return o.size.bytes == 200 * 1024 && o.size.text == "200"; }},
    {"size_equals_k", {"--size=300k", "x"}, kRun, [](O o) { return o.size.bytes == 300 * 1024; }},
    {"size_joined_m", {"-S2M", "x"}, kRun, [](O o) { return o.size.bytes == 2 * 1024 * 1024; }},
    {"size_in_bytes", {"-S", "150000B", "x"}, kRun, [](O o) { return o.size.bytes == 150000; }},
    {"size_percent", {"-S", "30%", "x"}, kRun,
     [](O o) { return o.size.percent == 30 && o.size.bytes == 0; }},
    {"allow_larger", {"--allow-larger", "x"}, kRun, [](O o) { return o.allow_larger; }},
    {"skip_larger_after_allow_larger", {"--allow-larger", "--skip-larger", "x"}, kRun,
     [](O o) { return !o.allow_larger; }},
    {"unknown_with_value", {"--foo=1", "x"}, kRefused, nullptr, "unknown option --foo"},
    {"unknown_named", {"--foo", "x"}, kRefused, nullptr, "unknown option --foo"},
    {"value_to_a_flag", {"--strip=1", "x"}, kRefused, nullptr, "option --strip takes no value"},
    {"size_0", {"-S", "0", "x"}, kRefused, nullptr, "-S takes a size"},
    {"size_100_percent", {"-S", "100%", "x"}, kRefused, nullptr, "-S takes a size"},
    {"size_unknown_unit", {"-S", "12Q", "x"}, kRefused, nullptr, "-S takes a size"},
    {"m_101", {"-m", "101", "x"}, kRefused, nullptr, "-m takes a quality from 1 to 100, not '101'"},
    {"relative_with_size", {"--relative", "-S", "50%", "x"}, kRefused, nullptr,
     "--relative and -S cannot be used together"},
    {"replace_with_d", {"--replace", "-d", "out", "x"}, kRefused, nullptr,
     "it cannot be used with -o"}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ToolArgs, ::testing::ValuesIn(kArgsCases), ParamName());

// The built program, run through the shell.
struct ToolRun {
  int status = -1;
  std::string out, err;   // standard output and standard error
  bool was_held = false;  // a held run's job reached its point (a tool without the hook never does)
};

// The tool's path: on Windows the one beside this program (every program lands in one folder,
// and the build's own path may be a foreign one under wine).
std::string tool_path() {
  // KESTRUM_TOOL in the environment runs these tests against another build (an older one, say).
  if (const char* other = std::getenv("KESTRUM_TOOL"); other != nullptr && other[0] != '\0')
    return other;
#if defined(_WIN32)
  return (std::filesystem::path(kestrum::tool::self_path("")).parent_path() / "kestrum-recode.exe")
      .string();
#else
  return KESTRUM_TOOL;
#endif
}

Bytes file_bytes(const std::string& path) {
  Bytes b;
  read_file(path, &b);
  return b;
}

std::string text_of(const std::string& path) {
  const Bytes b = file_bytes(path);
  return {b.begin(), b.end()};
}

// A new name in the system's temporary folder.
std::string scratch_path() {
  static std::random_device random;
  return (fs::temp_directory_path() / ("kestrum-tool-" + std::to_string(random()))).string();
}

// Runs the tool with args (in folder, when given, after the shell's own commands in prefix),
// standard error into a file of its own.
ToolRun run_tool(const std::string& args, const std::string& folder = "",
                 const std::string& prefix = "") {
  ToolRun r;
  const std::string err_path = scratch_path() + ".err";
  std::string command = prefix + "\"" + tool_path() + "\" " + args + " 2>\"" + err_path + "\"";
#if defined(_WIN32)
  if (!folder.empty()) command = "cd /d \"" + folder + "\" && " + command;
  // cmd /c takes the first and the last quote of the line away: give it a pair to take.
  std::FILE* pipe = _popen(("\"" + command + "\"").c_str(), "rb");
#else
  if (!folder.empty()) command = "cd \"" + folder + "\" && " + command;
  std::FILE* pipe = popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) r.out.append(buffer, got);
#if defined(_WIN32)
  r.status = _pclose(pipe);
#else
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  r.err = text_of(err_path);
  std::remove(err_path.c_str());
  return r;
}

#if !defined(_WIN32)
// A path as one word of a POSIX shell command.
std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// Sets the process's umask (which the tool started from it inherits) for a scope.
struct ScopedUmask {
  explicit ScopedUmask(mode_t mask) : old(umask(mask)) {}
  ~ScopedUmask() { umask(old); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;
  mode_t old;
};

// The tool started in the background in folder (after prefix), its standard output and standard
// error written to log.out and log.err.
pid_t start_tool(const std::string& args, const std::string& folder, const std::string& log,
                 const std::string& prefix = "") {
  const std::string command = prefix + "cd " + quoted(folder) + " && exec " + quoted(tool_path()) +
                              " " + args + " >" + quoted(log + ".out") + " 2>" +
                              quoted(log + ".err");
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return 0;
  return pid;
}

// The end of a tool started with log: its exit status (-1 when a signal ended it), what it said.
ToolRun wait_tool(pid_t pid, const std::string& log) {
  ToolRun r;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  r.out = text_of(log + ".out");
  r.err = text_of(log + ".err");
  std::remove((log + ".out").c_str());
  std::remove((log + ".err").c_str());
  return r;
}

// A run whose job of one file is held at a point (prefix exports KESTRUM_TEST_PAUSE, naming the
// FIFO) while meanwhile changes the world: the race with a user or another program, driven the
// same way every time.
ToolRun held(const std::string& args, const std::string& folder, const std::string& prefix,
             const std::string& fifo, const std::function<void(pid_t)>& meanwhile) {
  const std::string log = scratch_path();
  const pid_t pid = start_tool(args, folder, log, prefix);
  if (pid == 0) return {};
  // Opening the FIFO for writing succeeds once the held job has opened it for reading.
  int fd = -1;
  siginfo_t ended{};  // its si_pid is set once the tool has ended, left to be waited for
  while (ended.si_pid == 0) {
    fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) break;
    waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  meanwhile(pid);
  if (fd >= 0) close(fd);  // lets the job go on
  ToolRun run = wait_tool(pid, log);
  run.was_held = fd >= 0;
  return run;
}
#endif

// A photo of w x h at quality, luma sampled h0 x v0; one of another seed looks different.
Bytes seeded_photo(uint32_t seed, int w, int h, int quality, int h0 = 2, int v0 = 2) {
  JpegOptions o = baseline_options(quality);
  o.h0 = h0;
  o.v0 = v0;
  return libjpeg_encode(photo_rgb(w, h, seed), w, h, o);
}
Bytes photo(int w, int h, int quality, int h0 = 2, int v0 = 2) {
  return seeded_photo(static_cast<uint32_t>(w), w, h, quality, h0, v0);
}

Bytes api_recode(const std::string& source, const std::string& scratch, int32_t quality) {
  ConsoleCapture quiet;
  Bytes out;
  if (jpg_recode_api(source.c_str(), scratch.c_str(), quality) != 0 || !read_file(scratch, &out))
    return {};
  return out;
}

size_t count_lines_with(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The quality a photo's own tables give, 0 when they are no quality's.
int32_t quality_of(const Bytes& jpeg) {
  JpegHeader header;
  return parse_header(jpeg.data(), jpeg.size(), &header) ? estimate_header_quality(header) : 0;
}

// The size libjpeg decodes a stream to, {-1, -1} when it fails or, with is_clean, warns.
std::pair<int, int> libjpeg_size(const Bytes& jpeg, bool is_clean = false) {
  std::vector<uint8_t> rgb;
  int w = 0, h = 0, warnings = 0;
  if (!libjpeg_decode_rgb(jpeg, &rgb, &w, &h, &warnings) || (is_clean && warnings > 0))
    return {-1, -1};
  return {w, h};
}

// The temporary files below root, one a line.
std::string temporary_files(const std::string& root) {
  std::string found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.path().extension() == ".tmp") found += entry.path().string() + "\n";
  return found;
}

// Every path below root, with the bytes of each file.
std::map<std::string, Bytes> listing(const std::string& root) {
  std::map<std::string, Bytes> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    files[e.path().string()] = e.is_regular_file() ? file_bytes(e.path().string()) : Bytes{};
  return files;
}

// Writes a file below dir, with the folders it needs.
bool put(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(fs::path(dir.path(name)).parent_path());
  return write_file(dir.path(name), bytes);
}

// A folder of photos: a.jpg, a 4:2:2 b.JPG one level down and c.jpeg two levels down, beside a
// file that is no JPEG; below `folder` in dir.
void make_photo_folder(const TempDir& dir, const std::string& folder) {
  ASSERT_TRUE(put(dir, folder + "/a.jpg", photo(120, 80, 90)));
  ASSERT_TRUE(put(dir, folder + "/sub/b.JPG", photo(91, 77, 95, 2, 1)));  // 4:2:2
  ASSERT_TRUE(put(dir, folder + "/sub/deep/c.jpeg", photo(64, 50, 92)));
  ASSERT_TRUE(put(dir, folder + "/notes.txt", Bytes{'h', 'i'}));
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override { make_photo_folder(dir_, "in"); }
  // The tool run in the test's folder, so that args name what is below it by relative paths.
  ToolRun run(const std::string& args) const { return run_tool(args, dir_.root()); }
  // The same, which is to succeed.
  ToolRun ok(const std::string& args) const {
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out << r.err;
    return r;
  }
  Bytes bytes(const std::string& name) const { return file_bytes(dir_.path(name)); }
  bool put(const std::string& name, const Bytes& b) const { return test::put(dir_, name, b); }
  TempDir dir_;
};

// One run of the tool (or a few in order, the last one checked) in a folder of photos, named by
// relative paths: its status, what it says and what it writes. Whatever the arguments, no source
// changes unless the row lets it, and no temporary file remains.
struct Made {  // a result that exists and decodes at w x h
  Made(const char* name, int width = 64, int height = 48) : path(name), w(width), h(height) {}
  const char* path;
  int w, h;
};
struct RunCase {
  const char* name;
  std::vector<const char*> photos = {};  // 64x48 sources made for the row, each a different image
  std::vector<std::pair<const char*, std::string>> files = {};  // other files: name, bytes
  std::vector<std::pair<const char*, const char*>> links = {};  // symbolic links: name, target
  const char* prefix = "";        // the shell's commands before each run
  std::vector<std::string> runs;  // the tool's arguments, run in order
  const char* folder = "";        // where the tool runs, below the test's folder
  int status = 0;                 // of the last run
  // Texts on standard output, on standard error and on either; "!text" is a text not there.
  std::vector<std::string> out = {}, err = {}, said = {};
  std::vector<std::pair<std::string, size_t>> out_counts = {}, err_counts = {};  // how often
  bool is_err_empty = false;
  std::vector<Made> created = {};
  std::vector<std::string> exists = {}, absent = {};  // paths after the run
  std::vector<std::string> changed = {};              // sources the row lets the tool replace
  bool writes_nothing = false;  // after the first run (or by the only one) no file appears or goes
  std::vector<std::pair<std::string, int>> qualities = {};            // results and their quality
  std::vector<std::pair<std::string, std::string>> copies = {};       // files and the one they copy
  std::vector<std::pair<const char*, const char*>> not_smaller = {};  // files and one they outgrow
  std::vector<std::pair<const char*, std::string>> files_say = {};    // files and a text in them
  // Texts on standard output, each followed by the sizes of a source and of its result and the
  // change between them.
  std::vector<std::tuple<std::string, const char*, const char*>> sizes = {};
  // Results and whether they carry the carried segments exactly after their own APP0 (with
  // neither Adobe's APP14 nor an MPF index) or none of them.
  std::vector<std::pair<const char*, bool>> segments = {};
  const char* library = nullptr;  // a result that is the library's recode of in/a.jpg at 85
  // "point:file": the last run's job of file waits at point (POSIX) while meanwhile acts on the
  // test's folder and the tool's process; hold.fifo in the folder lets it go on.
  const char* hold = nullptr;
  std::function<void(const TempDir&, int)> meanwhile = nullptr;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

// A segment body: the tag, then n bytes that hold FF D8 too.
Bytes tagged(const char* tag, size_t n) {
  Bytes body(tag, tag + std::strlen(tag) + 1);
  for (size_t i = 0; i < n; ++i) body.push_back(static_cast<uint8_t>(i * 37 % 256));
  return body;
}

// The APP1..APP15 and COM segments of the seg/ photos, which each of their results carries in
// order: a thermal camera's FLIR data, FlashPix APP2, Kodak's APP3, JUMBF APP11, Ducky APP12.
Bytes carried_segments() {
  return concat({exif_segment(8, {0xFF, 0xD9, 0xFF, 0xC0, 0x00, 0x11}),
                 segment(0xE1, tagged("FLIR", 600)), segment(0xE2, tagged("FPXR", 90)),
                 segment(0xE3, tagged("Meta", 120)), segment(0xE6, tagged("NITF", 40)),
                 segment(0xEB, tagged("JP", 300)), segment(0xEC, tagged("Ducky", 20)),
                 segment(0xFE, Bytes{'h', 'i'})});
}

// The folders every row runs in: in/ (above); nojpeg/, the same without a.jpg; empty/; low.jpg
// at q40; q/, photos at five qualities; trip/ with beach.jpg and beach_2.jpg (named like its
// result); dmg/, in/a.jpg damaged; lists/, lists of names; t12/, a 12-bit photo; cmyk/, CMYK and
// YCCK photos; and where names may hold control characters and links, hard.jpg (another name of
// in/a.jpg), linked/ (sub/ and a link to it) and odd/ (a photo whose name holds a line break and a
// terminal escape).
class ToolRuns : public ::testing::TestWithParam<RunCase> {
 protected:
  void SetUp() override {
    make_photo_folder(dir_, "in");
    make_photo_folder(dir_, "nojpeg");
    fs::remove(dir_.path("nojpeg/a.jpg"));
    ASSERT_TRUE(put(dir_, "nojpeg/sub/notes.txt", Bytes{'h', 'i'}));  // no JPEG to count
    fs::create_directories(dir_.path("empty"));
    ASSERT_TRUE(put(dir_, "low.jpg", photo(64, 48, 40)));
    // Smooth, small and optimised at q95: at q94 with the standard tables our header and restart
    // markers outweigh the gain.
    ASSERT_TRUE(
        put(dir_, "small.jpg",
            libjpeg_encode(photo_rgb(48, 48, 1, 0), 48, 48, baseline_options(95, 0, 0, true))));
    for (const int quality : {95, 81, 80, 50, 13})
      ASSERT_TRUE(put(dir_, "q/p" + std::to_string(quality) + ".jpg", photo(160, 120, quality)));
    static const Bytes twelve = [] {
      for (const NamedImage& image : structure_image_set())
        if (image.name == "precision_12") return image.jpeg;
      return Bytes{};
    }();
    ASSERT_FALSE(twelve.empty());
    ASSERT_TRUE(put(dir_, "t12/deep.jpg", twelve));
    static const std::vector<NamedImage> four_components = four_component_image_set();
    for (const NamedImage& image : four_components)
      ASSERT_TRUE(put(dir_, "cmyk/" + image.name + ".jpg", image.jpeg));
    ASSERT_TRUE(put(dir_, "trip/beach.jpg", photo(40, 30, 92)));
    ASSERT_TRUE(put(dir_, "trip/beach_2.jpg", photo(41, 30, 92)));
    // Cut short in its scan and after 1500 bytes, with a video after its end, and with the same
    // behind a header only the library's rules get through (an APP1 of length 1).
    const Bytes sound = file_bytes(dir_.path("in/a.jpg"));
    Bytes video = sound;
    video.insert(video.end(), 5000, 0x42);
    Bytes unwalkable = video;
    const Bytes app1_of_length_1 = {0xFF, 0xE1, 0x00, 0x01};
    unwalkable.insert(unwalkable.begin() + 2, app1_of_length_1.begin(), app1_of_length_1.end());
    const auto cut_at = [&](size_t n) {
      return Bytes(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(n));
    };
    ASSERT_TRUE(put(dir_, "dmg/cut.jpg", cut_at(sound.size() * 2 / 3)));
    ASSERT_TRUE(put(dir_, "dmg/short.jpg", cut_at(1500)));
    ASSERT_TRUE(put(dir_, "dmg/video.jpg", video));
    ASSERT_TRUE(put(dir_, "dmg/odd.jpg", unwalkable));
    // The carried segments and Adobe's APP14 (which describes the old coding and is not copied)
    // in in/a.jpg as seg/plain.jpg (the library's way) and in in/sub/b.JPG as seg/c422.jpg
    // (converted); plain.jpg also with what cannot be carried: an MPF index (the images after its
    // EOI are not carried), an APP0 of another kind, a comment after the scan.
    const Bytes metadata = concat(
        {carried_segments(), segment(0xEE, Bytes{'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1})});
    const Bytes plain = with_segments(sound, metadata);
    ASSERT_TRUE(put(dir_, "seg/plain.jpg", plain));
    ASSERT_TRUE(
        put(dir_, "seg/c422.jpg", with_segments(file_bytes(dir_.path("in/sub/b.JPG")), metadata)));
    ASSERT_TRUE(put(dir_, "seg/mpf.jpg", with_segments(plain, segment(0xE2, tagged("MPF", 60)))));
    ASSERT_TRUE(put(dir_, "seg/avi.jpg", with_segments(plain, segment(0xE0, tagged("AVI1", 10)))));
    Bytes late = plain;
    const Bytes comment = segment(0xFE, Bytes{'x'});
    late.insert(late.end() - 2, comment.begin(), comment.end());
    ASSERT_TRUE(put(dir_, "seg/late.jpg", late));
    // in/a.jpg and a name with a space, one a line (the first line ends in CR LF) and after -0.
    ASSERT_TRUE(put(dir_, "lists/with space.jpg", photo(40, 30, 85)));
    const std::string a = dir_.path("in/a.jpg"), b = dir_.path("lists/with space.jpg");
    const std::string lines = a + "\r\n" + b + "\n", nul = a + '\0' + b + '\0';
    ASSERT_TRUE(put(dir_, "lists/list.txt", Bytes(lines.begin(), lines.end())));
    ASSERT_TRUE(put(dir_, "lists/list0", Bytes(nul.begin(), nul.end())));
#if !defined(_WIN32)
    ASSERT_EQ(link(dir_.path("in/a.jpg").c_str(), dir_.path("hard.jpg").c_str()), 0);
    ASSERT_TRUE(put(dir_, "linked/sub/b.jpg", photo(40, 30, 85)));
    fs::create_directory_symlink("sub", dir_.path("linked/link"));
    ASSERT_TRUE(put(dir_, "odd/a\x1b[2Jb\nc\xc2\x9b.jpg", photo(40, 30, 85)));
#endif
  }
  // Run i of the row: the last one held when the row says so.
  ToolRun run_at(const RunCase& c, size_t i) const {
#if !defined(_WIN32)
    const std::string fifo = dir_.path("hold.fifo");
    if (c.hold && i + 1 == c.runs.size())
      return held(c.runs[i], dir_.path(c.folder),
                  "export KESTRUM_TEST_PAUSE=" + quoted(c.hold + (":" + fifo)) + "; " + c.prefix,
                  fifo, [&](pid_t pid) { c.meanwhile(dir_, pid); });
#endif
    return run_tool(c.runs[i], dir_.path(c.folder), c.prefix);
  }
  void check() {
    const RunCase& c = GetParam();
    uint32_t seed = 1;
    for (const char* name : c.photos)
      ASSERT_TRUE(put(dir_, name, seeded_photo(seed++, 64, 48, 90)));
    for (const auto& [name, text] : c.files)
      ASSERT_TRUE(put(dir_, name, Bytes(text.begin(), text.end())));
#if !defined(_WIN32)
    for (const auto& [name, target] : c.links)
      ASSERT_EQ(symlink(target, dir_.path(name).c_str()), 0);
    ASSERT_TRUE(!c.hold || mkfifo(dir_.path("hold.fifo").c_str(), 0600) == 0);
#endif
    const auto before = listing(dir_.root());
    const std::string stale = temporary_files(dir_.root());
    ToolRun run;
    for (size_t i = 0; i < c.runs.size(); ++i) {  // the runs before the last are to succeed
      const auto was = listing(dir_.root());
      run = run_at(c, i);
      EXPECT_TRUE(i + 1 == c.runs.size() || run.status == 0) << c.runs[i] << run.out << run.err;
      EXPECT_TRUE(!c.writes_nothing || (i == 0 && c.runs.size() > 1) || listing(dir_.root()) == was)
          << c.runs[i] << " wrote or removed a file";
    }
    std::string out = run.out, err = run.err;
#if defined(_WIN32)
    std::replace(out.begin(), out.end(), '\\', '/');  // the paths the tool joined
    std::replace(err.begin(), err.end(), '\\', '/');
#endif
    EXPECT_EQ(run.status, c.status) << out << err;
    EXPECT_TRUE(!c.hold || run.was_held) << c.hold;
    EXPECT_TRUE(says(out, c.out));
    EXPECT_TRUE(says(err, c.err));
    EXPECT_TRUE(says(out + err, c.said));
    for (const auto& [text, n] : c.out_counts)
      EXPECT_EQ(count_lines_with(out, text), n) << text << ":\n" << out;
    for (const auto& [text, n] : c.err_counts)
      EXPECT_EQ(count_lines_with(err, text), n) << text << ":\n" << err;
    EXPECT_TRUE(!c.is_err_empty || err.empty()) << err;
    for (const Made& m : c.created)
      EXPECT_EQ(libjpeg_size(file_bytes(dir_.path(m.path))), std::pair(m.w, m.h)) << m.path << "\n"
                                                                                  << out << err;
    for (const std::string& path : c.exists) EXPECT_TRUE(fs::exists(dir_.path(path))) << path;
    for (const std::string& path : c.absent) EXPECT_FALSE(fs::exists(dir_.path(path))) << path;
    for (const auto& link : c.links)
      EXPECT_TRUE(fs::is_symlink(dir_.path(link.first))) << link.first;
    for (const auto& [path, quality] : c.qualities)
      EXPECT_EQ(quality_of(file_bytes(dir_.path(path))), quality) << path;
    for (const auto& [path, source] : c.copies) {
      const Bytes copy = file_bytes(dir_.path(path));
      EXPECT_TRUE(!copy.empty() && copy == file_bytes(dir_.path(source))) << path << " is no copy";
    }
    for (const auto& [path, other] : c.not_smaller)
      EXPECT_GE(file_bytes(dir_.path(path)).size(), file_bytes(dir_.path(other)).size()) << path;
    for (const auto& [path, text] : c.files_say) EXPECT_TRUE(has(text_of(dir_.path(path)), text));
    for (const auto& [text, source, result] : c.sizes) {
      const size_t in = file_bytes(dir_.path(source)).size();
      const size_t made = file_bytes(dir_.path(result)).size();
      char change[16];
      std::snprintf(
          change, sizeof(change), " %+.1f%%",
          (static_cast<double>(made) - static_cast<double>(in)) * 100.0 / static_cast<double>(in));
      EXPECT_TRUE(
          has(out, text + tool::format_bytes(in) + " \u2192 " + tool::format_bytes(made) + change));
    }
    for (const auto& [path, is_carried] : c.segments) {
      SCOPED_TRACE(path);
      const Bytes made = file_bytes(dir_.path(path)), carried = carried_segments();
      const std::vector<Segment> parts = split_segments(made);
      ASSERT_GE(parts.size(), 3u);
      ASSERT_EQ(parts[1].marker, 0xE0);
      const size_t at = parts[1].offset + parts[1].length;
      EXPECT_EQ(made.size() >= at + carried.size() &&
                    std::equal(carried.begin(), carried.end(),
                               made.begin() + static_cast<std::ptrdiff_t>(at)),
                is_carried);
      for (const Segment& p : parts) {
        EXPECT_TRUE(is_carried || p.marker < 0xE1 || (p.marker > 0xEF && p.marker != 0xFE));
        EXPECT_NE(p.marker, 0xEE);
        EXPECT_FALSE(p.marker == 0xE2 && made[p.offset + 4] == 'M') << "the MPF index was copied";
      }
    }
    const auto after = listing(dir_.root());
    for (const auto& [path, bytes] : before) {
      const auto now = after.find(path);
      ASSERT_TRUE(now != after.end()) << path << " is gone";
      const fs::path source = path;
      const bool may_change =
          std::any_of(c.changed.begin(), c.changed.end(),
                      [&](const std::string& name) { return fs::path(dir_.path(name)) == source; });
      EXPECT_EQ(now->second != bytes, may_change)
          << path << (may_change ? " was not replaced" : " changed\n") << out << err;
    }
    EXPECT_EQ(temporary_files(dir_.root()), stale);
    if (c.library) {  // not passed by two empty files when both recodes fail
      const Bytes made = file_bytes(dir_.path(c.library));
      EXPECT_TRUE(!made.empty() &&
                  made == api_recode(dir_.path("in/a.jpg"), dir_.path("scratch.jpg"), 85))
          << c.library << " is not the library's recode";
    }
  }
  TempDir dir_;
};

// What the tool says and writes for one command line.
class ToolSays : public ToolRuns {};
TEST_P(ToolSays, Run) { check(); }

const std::string kLeftOut = "beach_2.jpg  left out: named like a result of beach.jpg";
const std::string kCannotWrite = "-  FAILED: cannot write standard output: ";
const std::string kLibraryLine = "encoding jpg successfully!";
// 20 KB, so that its size would show in the totals if it were counted there.
const std::string kBroken = std::string("\xFF\xD8\xFF\xE0\x00", 5) + std::string(19995, '\0');
// clang-format off

// The same command again, over the first run's result too (as the shell's *.jpg names it), writes
// and lowers nothing, says why on every line, and exits 0 (it made *_80_80.jpg at q10, printed
// "would overwrite the source" and exited 1).
RunCase again(const char* name, const std::string& options) {
  const std::string sources = " q/p95.jpg q/p50.jpg";
  return {.name = name, .runs = {"-q 80" + sources, options + sources + " q/p95_80.jpg"},
          .out = {"p95_80.jpg  skipped: exists", "p95_80.jpg  kept: already q80",
                  "p50.jpg  kept: already q50"},
          .is_err_empty = true, .absent = {"q/p50_80.jpg", "q/p95_80_80.jpg"},
          .writes_nothing = true, .qualities = {{"q/p95_80.jpg", 80}}};
}

#if !defined(_WIN32)
// Refused before anything is read or written, as cat refuses it; the photo stays as it was.
RunCase onto_own_input(const char* name, const std::string& args) {
  return {.name = name, .runs = {args}, .status = 2,
          .err = {"standard output is the file standard input reads"}, .writes_nothing = true};
}
#endif

const RunCase kSaysCases[] = {
    {.name = "folder_into_output_folder_keeps_the_layout", .runs = {"--relative -r -j 2 -o out in"},
     .out = {"(4:2:2 \u2192 4:2:0)", "3 files: 3 recoded (2 by the library, 0 read past their "
             "metadata, 1 converted), 0 kept, 0 failed"},
     .out_counts = {{"\n", 4}},  // three files and the summary
     .created = {{"out/sub/b.JPG", 91, 77}, {"out/sub/deep/c.jpeg", 64, 50}},
     .absent = {"out/notes.txt"}, .library = "out/a.jpg"},
    {.name = "beside_the_source_then_not_again", .runs = {"--relative in/a.jpg", "-q 50 in"},
     .out = {"1 file named like a result (NAME_Q.jpg beside NAME.jpg) was left out"},
     .created = {{"in/a_50.jpg", 120, 80}}, .absent = {"in/a_85_50.jpg"}, .library = "in/a_85.jpg"},
    {.name = "dry_run_writes_nothing", .runs = {"--dry-run -r -o out in"},
     .out = {"a.jpg  the library's recode", "b.JPG  converted (4:2:2 \u2192 4:2:0)",
             "3 files: 3 would be recoded, 0 kept, 0 skipped, 0 would fail"},
     .writes_nothing = true},
    {.name = "plan_in_json", .runs = {"-n --json -q 80 -r -o out in"},
     .out = {"{\"summary\":{\"files\":3,\"would_recode\":3,"},
     .out_counts = {{"{\"source\":", 3}, {"\"plan\":\"recode\"", 3}}, .absent = {"out"},
     .writes_nothing = true},
    {.name = "plan_of_one_file", .runs = {"-n in/a.jpg"},
     .out = {"1 file: 1 would be recoded"}, .writes_nothing = true},
    {.name = "plan_names_the_colour_space", .runs = {"-n cmyk"},
     .out = {"33x17_85.jpg  converted (CMYK)", "2x2_85.jpg  converted (YCCK)"},
     .writes_nothing = true},
    {.name = "results_in_json", .runs = {"--json -r -j 2 -o out in"},
     .out = {"{\"summary\":{\"files\":3,", "\"way\":\"converted\""},
     .out_counts = {{"\n", 4}, {"{\"source\":", 3}, {"\"status\":\"recoded\"", 3}}},
    {.name = "quiet_says_only_the_summary",
     .runs = {"-r -o out in", "--quiet --overwrite -r -o out in"},
     .out_counts = {{"\n", 1}}},  // the summary alone
    {.name = "library_log_in_log_files", .runs = {"-r -j 2 --log logs -o out in"},
     .files_say = {{"logs/sub/deep/c.jpeg.log", kLibraryLine}}},
    // Two sources of one name named from two folders: a log each, neither written over.
    {.name = "logs_of_one_name_from_two_folders", .photos = {"x/a.jpg"},
     .runs = {"-j 1 --log logs in/a.jpg x/a.jpg"},
     .files_say = {{"logs/a.jpg.log", "file width: 120"}, {"logs/a.jpg.2.log", "file width: 64"}}},
    {.name = "library_log_with_v", .runs = {"-o out in/a.jpg", "-v --overwrite -o out in/a.jpg"},
     .out = {kLibraryLine}},
    // The hint walks one level down (nojpeg/sub holds one; nojpeg/sub/deep's is not looked for),
    // not the whole tree (which may be huge) below a folder named without -r.
    {.name = "no_jpeg_found_suggests_recursion", .runs = {"nojpeg"}, .status = 1,
     .err = {"no JPEG found", "the subfolders hold 1: add -r to recode them"},
     .writes_nothing = true},
    {.name = "no_jpeg_in_an_empty_folder", .runs = {"empty"}, .status = 1, .err = {"no JPEG found"},
     .said = {"!add -r"}, .writes_nothing = true},
    // The library's rule on request: 50 lowered by the q40 photo's distance from 100, to 1.
    {.name = "low_quality_marked", .runs = {"--relative -q 50 low.jpg"},
     .out = {"low.jpg  q40 \u2192 q1 (low quality)"}, .qualities = {{"low_50.jpg", 1}}},
    {.name = "quality_used_is_shown", .runs = {"--target-quality 35 low.jpg"},
     .out = {"low.jpg  q40 \u2192 q35  "}, .qualities = {{"low_35.jpg", 35}}},
    // -q Q (its other spellings are ToolArgs rows) recodes a photo above Q at exactly Q and keeps
    // one at or below it as it is, copied with -o so that the export folder is complete (it
    // lowered a q50 photo to q30, a q13 one to q1). The destination's name ends the part before
    // the outcome (with either separator).
    {.name = "quality_q",
     .runs = {"-q 80 -j 2 -o out q/p95.jpg q/p81.jpg q/p80.jpg q/p50.jpg q/p13.jpg"},
     .out = {"p95.jpg  q95 \u2192 q80  ", "p81.jpg  q81 \u2192 q80  ",
             "p80.jpg  kept: already q80", "p50.jpg  kept: already q50",
             "p13.jpg  kept: already q13"},
     .qualities = {{"out/p95.jpg", 80}, {"out/p81.jpg", 80}, {"out/p80.jpg", 80},
                   {"out/p50.jpg", 50}, {"out/p13.jpg", 13}},
     .copies = {{"out/p80.jpg", "q/p80.jpg"}, {"out/p50.jpg", "q/p50.jpg"},
                {"out/p13.jpg", "q/p13.jpg"}}},
    {.name = "twelve_bit_photos_kept", .runs = {"-o out t12/deep.jpg"},
     .out = {"kept: 12-bit samples are not recoded"}, .copies = {{"out/deep.jpg", "t12/deep.jpg"}}},
    again("second_run_changes_nothing", "-q 80"),
    again("second_run_in_workers_changes_nothing", "-q 80 -j 2"),
    {.name = "into_a_folder_after_a_run_beside",
     .runs = {"-q 80 q/p95.jpg q/p50.jpg", "-q 80 -o out q/p95.jpg q/p95_80.jpg q/p50.jpg"},
     .out_counts = {{"skipped: exists", 0}}},
    {.name = "into_a_folder_again",
     .runs = {"-q 80 q/p95.jpg q/p50.jpg", "-q 80 -o out q/p95.jpg q/p95_80.jpg q/p50.jpg",
              "-q 80 -o out q/p95.jpg q/p95_80.jpg q/p50.jpg"},
     .out_counts = {{"skipped: exists", 3}}},
    // --replace again keeps what the first one lowered (it compounded).
    {.name = "replace_again_lowers_nothing",
     .runs = {"-q 80 --replace q/p95.jpg", "-q 80 --replace q/p95.jpg", "-q 80 --replace q/p95.jpg"},
     .out = {"p95.jpg  kept: already q80"}, .changed = {"q/p95.jpg"}, .writes_nothing = true,
     .qualities = {{"q/p95.jpg", 80}}},
    // Photos named like a result of another are left out of a folder's run; -v and --dry-run
    // name each, so that an export that misses them can be told.
    {.name = "left_out_counted", .runs = {"-o small trip"},
     .out = {"was left out (-v names it)"}, .said = {"!" + kLeftOut}},
    {.name = "left_out_named_in_the_plan", .runs = {"--dry-run -o small trip"},
     .out = {kLeftOut, "; 1 left out"}, .writes_nothing = true},
    {.name = "left_out_named_with_v", .runs = {"-v -o small trip"}, .err = {kLeftOut}},
    {.name = "left_out_but_named_is_recoded", .runs = {"-v -o small trip trip/beach_2.jpg"},
     .out = {"2 files: 2 recoded"}, .said = {"!left out"}},
    // Every option the parser takes is in --help, and so are the exit statuses.
    {.name = "help_names_options_and_exit_statuses", .runs = {"--help"},
     .out = {"-q Q", "--quality", "-m Q", "--max", "--target-quality", "--relative", "-S SIZE",
             "--size", "-j JOBS", "--jobs", "-r ", "-o DIR", "-d DIR", "--dest", "--replace",
             "--overwrite", "-s,", "--strip", "--strip-all", "--keep-metadata", "--allow-larger",
             "--skip-larger", "--exact", "--strict", "-p,", "--preserve", "--files-from", "-0",
             "-n,", "--noaction", "--dry-run", "--json", "--quiet", "-v ", "--log DIR", "--help",
             "--version", "Exit status: 0", "1 when any failed", "2 for a usage error"},
     .writes_nothing = true},
    // Any failure gives status 1 and is named on standard error, its status number only with -v;
    // the failed files are not in the size totals: the one recode's sizes are.
    {.name = "any_failure_gives_status_one", .photos = {"bad/a.jpg"},
     .files = {{"bad/broken.jpg", kBroken}}, .runs = {"-j 2 bad missing.jpg"}, .status = 1,
     .out = {"!FAILED", "3 files: 1 recoded", "2 failed"},
     .err = {"broken.jpg  FAILED: not a well-formed JPEG (malformed stream)",
             "missing.jpg  FAILED: no such file or folder", "!status"},
     .sizes = {{"failed; ", "bad/a.jpg", "bad/a_85.jpg"}}},
    {.name = "failure_status_with_v", .files = {{"bad/broken.jpg", kBroken}},
     .runs = {"-v bad/broken.jpg"}, .status = 1,
     .err = {"broken.jpg  FAILED -2: not a well-formed JPEG"}},
    // A result that is not smaller than its source is not written, over an original least of
    // all, unless --allow-larger asks for it (10 of 43 photos got larger results): into a folder,
    // over the source and through standard input, the original comes out.
    {.name = "larger_written_when_allowed",
     .runs = {"-q 94 --exact --allow-larger -o big small.jpg"}, .not_smaller = {{"big/small.jpg", "small.jpg"}}},
    {.name = "larger_not_written_beside", .runs = {"-q 94 --exact small.jpg"},
     .out = {"kept the original: the recode is not smaller"}, .absent = {"small_94.jpg"}},
    {.name = "larger_not_written_into_a_folder", .runs = {"-q 94 --exact -j 2 -o out small.jpg"},
     .copies = {{"out/small.jpg", "small.jpg"}}},
    {.name = "larger_not_written_over_the_source", .runs = {"-q 94 --exact --replace small.jpg"},
     .out = {"kept the original: the recode is not smaller"}},
    {.name = "larger_not_written_to_a_stream", .runs = {"-q 94 --exact - < small.jpg > piped.jpg"},
     .copies = {{"piped.jpg", "small.jpg"}}},
    // A damaged source's result is written, but the run fails and says how much is missing.
    {.name = "damaged_source_is_never_a_plain_success", .runs = {"-j 1 dmg/cut.jpg dmg/video.jpg"},
     .status = 1, .out = {"video.jpg  q90 \u2192 q85",
                          "(5000 bytes after the image's end not carried over)", "1 damaged"},
     .err = {"cut.jpg  DAMAGED (data ends at ",
             "% of the image; the rest is grey)  q90 \u2192 q85"},
     .created = {{"dmg/cut_85.jpg", 120, 80}}},
    // --replace never writes a recode that lost part of the source over it: the rest of a file
    // still being copied, a motion photo's video, or what a header we cannot walk hides.
    {.name = "replace_keeps_what_a_recode_would_lose",
     .runs = {"-j 2 --replace dmg/cut.jpg dmg/video.jpg dmg/odd.jpg"}, .status = 1,
     .err = {"odd.jpg  FAILED: its header could not be walked",
             "cut.jpg  FAILED: the source is damaged (data ends at ",
             "video.jpg  FAILED: 5000 bytes after the image's end"},
     .err_counts = {{"not replaced, the original is kept", 3}}},
    {.name = "standard_input_to_standard_output", .runs = {"--relative - < in/a.jpg > piped.jpg"},
     .is_err_empty = true, .library = "piped.jpg"},
    {.name = "damaged_standard_input", .runs = {"- < dmg/short.jpg > cut_out.jpg"}, .status = 1,
     .err = {"-  DAMAGED (data ends at "}},
    {.name = "standard_input_is_the_only_path", .runs = {"- in/a.jpg"}, .status = 2,
     .writes_nothing = true},
    {.name = "files_from_a_list", .runs = {"-o out --files-from lists/list.txt"},
     .created = {{"out/a.jpg", 120, 80}, {"out/with space.jpg", 40, 30}}},
    {.name = "nul_separated_names_from_standard_input",
     .runs = {"-0 -o out --files-from - < lists/list0"},
     .created = {{"out/with space.jpg", 40, 30}}},
    // Every APP1..APP15 and COM segment a photo carries reaches its recode in order, whatever
    // way the file takes, unless --strip drops them all. What cannot be carried is named on the
    // file's line, and --replace keeps such a photo as it is.
    {.name = "segments_carried_on_the_librarys_way", .runs = {"-o out seg/plain.jpg"},
     .said = {"!left out"}, .segments = {{"out/plain.jpg", true}}},
    {.name = "segments_carried_when_converted", .runs = {"-o out seg/c422.jpg"},
     .said = {"!left out"}, .segments = {{"out/c422.jpg", true}}},
    {.name = "segments_carried_by_replace", .runs = {"--replace seg/plain.jpg"},
     .said = {"!left out"}, .changed = {"seg/plain.jpg"}, .segments = {{"seg/plain.jpg", true}}},
    {.name = "segments_carried_in_a_stream", .runs = {"- < seg/plain.jpg > piped.jpg"},
     .said = {"!left out"}, .segments = {{"piped.jpg", true}}},
    {.name = "segments_carried_beside", .runs = {"seg/plain.jpg"}, .said = {"!left out"},
     .segments = {{"seg/plain_85.jpg", true}}},
    {.name = "segments_carried_with_keep_metadata", .runs = {"--keep-metadata seg/plain.jpg"},
     .said = {"!left out"}, .segments = {{"seg/plain_85.jpg", true}}},
    {.name = "segments_stripped", .runs = {"--strip seg/plain.jpg"}, .said = {"!left out"},
     .created = {{"seg/plain_85.jpg", 120, 80}}, .segments = {{"seg/plain_85.jpg", false}}},
    {.name = "mpf_left_out", .runs = {"-o out seg/mpf.jpg"}, .said = {"(MPF (APP2) left out)"},
     .segments = {{"out/mpf.jpg", true}}},
    {.name = "other_app0_left_out", .runs = {"-o out seg/avi.jpg"},
     .said = {"(APP0 \"AVI1\" left out)"}, .segments = {{"out/avi.jpg", true}}},
    {.name = "comment_after_the_scan_left_out", .runs = {"-o out seg/late.jpg"},
     .said = {"(COM after the first scan left out)"}, .segments = {{"out/late.jpg", true}}},
    {.name = "mpf_left_out_of_a_stream", .runs = {"- < seg/mpf.jpg > piped.jpg"},
     .said = {"(MPF (APP2) left out)"}, .segments = {{"piped.jpg", true}}},
    {.name = "replace_keeps_a_photo_with_mpf", .runs = {"--replace seg/mpf.jpg"}, .status = 1,
     .said = {"FAILED: segments it carries would be lost (MPF (APP2) left out); not replaced"}},
#if defined(_WIN32)
    // NUL is a character device but no console: the stream is written to it.
    {.name = "standard_output_to_nul", .runs = {"- < in/a.jpg > NUL"}},
#else
    // A stream that cannot be written to its end is a failure with the system's reason, never a
    // success with a cut-short file (which "&& mv b.jpg a.jpg" would then put over the photo).
    {.name = "standard_output_on_a_full_device", .runs = {"- < in/a.jpg > /dev/full"}, .status = 1,
     .err = {kCannotWrite + "No space left on device"}},
    {.name = "standard_output_closed", .runs = {"- < in/a.jpg >&-"}, .status = 1,
     .err = {kCannotWrite + "Bad file descriptor"}},
    onto_own_input("stream_onto_its_input", "- < in/a.jpg 1<> in/a.jpg"),
    onto_own_input("stream_appended_to_its_input", "- < in/a.jpg >> in/a.jpg"),
    onto_own_input("stream_into_another_name_of_its_input", "- < in/a.jpg >> hard.jpg"),
    // A name that is no regular file (a device, a FIFO) is told as such, not by the errno its
    // refusal left ("Invalid argument").
    {.name = "device_is_named_no_regular_file", .links = {{"dev.jpg", "/dev/null"}},
     .runs = {"dev.jpg"}, .status = 1,
     .err = {"dev.jpg  FAILED: cannot read dev.jpg: it is not a regular file"}},
    {.name = "symbolic_link_to_a_folder_is_named", .runs = {"-r -o out linked"},
     .err = {"linked/link  skipped: a symbolic link to a folder, not followed"},
     .exists = {"out/sub/b.jpg"}, .absent = {"out/link"}},
    // A line break and a terminal escape in a name neither break its line in two nor reach the
    // terminal: control characters are shown as '?', as ls shows them (one line for the file,
    // one for the summary).
    {.name = "control_characters_shown_in_the_plan", .runs = {"--dry-run odd"},
     .out = {"a?[2Jb?c?.jpg"}, .said = {"!\x1b"}, .out_counts = {{"\n", 2}},
     .writes_nothing = true},
    {.name = "control_characters_shown_in_the_run", .runs = {"odd"},
     .out = {"a?[2Jb?c?.jpg"}, .said = {"!\x1b"}, .out_counts = {{"\n", 2}}},
#endif
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ToolSays, ::testing::ValuesIn(kSaysCases), ParamName());

// A user's folder and a run of the tool in it, where a result could take a source's place or
// another result's: each result written decodes.
class ToolSafety : public ToolRuns {};
TEST_P(ToolSafety, NoSourceLostNoResultLost) { check(); }

// clang-format off
const RunCase kSafetyCases[] = {
    {.name = "output_folder_is_the_source_folder", .photos = {"same/a.jpg", "same/sub/b.jpg"},
     .runs = {"-r -o same same"}, .status = 1,
     .said = {"same/a.jpg  FAILED: the result would overwrite this file"}, .absent = {"same/same"}},
    {.name = "output_dot_inside_the_source_folder", .photos = {"same/a.jpg", "same/sub/b.jpg"},
     .runs = {"-r -o . ."}, .folder = "same", .status = 1,
     .said = {"FAILED: the result would overwrite this file"}},
    {.name = "name_without_a_dot", .photos = {"noext"}, .runs = {"noext"},
     .said = {"noext  q90"}, .created = {"noext_85.jpg"}},
    {.name = "dot_only_in_the_folder_name", .photos = {"my.photos/IMG_0001"},
     .runs = {"my.photos/IMG_0001"}, .said = {"1 recoded"},
     .created = {"my.photos/IMG_0001_85.jpg"}, .absent = {"my_85.photos"}},
    {.name = "two_folders_one_output", .photos = {"d1/a.jpg", "d2/a.jpg"}, .runs = {"-o out d1 d2"},
     .status = 1, .said = {"FAILED: the result out/a.jpg is already that of d1/a.jpg"},
     .created = {"out/a.jpg"}},
    {.name = "two_files_one_output", .photos = {"d1/a.jpg", "d2/a.jpg"},
     .runs = {"-j 2 -o out d1/a.jpg d2/a.jpg"}, .status = 1,
     .said = {"d2/a.jpg \u2192 out/a.jpg  FAILED: the result out/a.jpg is already"},
     .created = {"out/a.jpg"}},
    {.name = "result_onto_another_source", .photos = {"d1/a.jpg", "d2/a.jpg"},
     .runs = {"--overwrite -o d2 d1/a.jpg d2/a.jpg"}, .status = 1,
     .said = {"FAILED: the result d2/a.jpg would overwrite the source d2/a.jpg"}},
    {.name = "output_folder_inside_the_tree_not_walked", .photos = {"nest/a.jpg", "nest/sub/b.jpg"},
     .runs = {"-r -o nest/small nest", "-r -o nest/small nest"},
     .said = {"exists; --overwrite replaces it"},
     .created = {"nest/small/a.jpg", "nest/small/sub/b.jpg"}, .absent = {"nest/small/small"}},
    {.name = "original_named_like_a_result_kept", .photos = {"g/IMG_1.jpg", "g/IMG_1_85.jpg"},
     .runs = {"g"},
     .said = {"g/IMG_1.jpg \u2192 g/IMG_1_85.jpg  skipped: exists; --overwrite replaces it"}},
    {.name = "named_like_a_result_but_named", .photos = {"g/IMG_1.jpg", "g/IMG_1_85.jpg"},
     .runs = {"g/IMG_1_85.jpg"}, .said = {"1 recoded"}, .created = {"g/IMG_1_85_85.jpg"}},
    {.name = "overwrite_when_asked", .photos = {"g/IMG_1.jpg", "g/IMG_1_85.jpg"},
     .runs = {"--overwrite g"}, .said = {"1 recoded"}, .created = {"g/IMG_1_85.jpg"},
     .changed = {"g/IMG_1_85.jpg"}},
    {.name = "replace_in_place", .photos = {"r/a.jpg", "r/b.jpg"}, .runs = {"-j 2 --replace r"},
     .said = {"2 recoded"}, .created = {"r/a.jpg", "r/b.jpg"}, .absent = {"r/a_85.jpg"},
     .changed = {"r/a.jpg", "r/b.jpg"}},
    // One file named again, by the same or another spelling, inside a named folder, or through a
    // link, is recoded once: with --replace each further recode would lower its quality again.
    {.name = "replace_a_file_named_five_times", .photos = {"r/a.jpg"},
     .runs = {"-j 2 --replace r/a.jpg ./r/a.jpg r r/../r/a.jpg r/a.jpg"},
     .out = {"1 file: 1 recoded"}, .err_counts = {{"skipped: the same file as r/a.jpg", 4}},
     .created = {"r/a.jpg"}, .changed = {"r/a.jpg"}},
    {.name = "jfif_and_jpe_names", .photos = {"x/a.jfif", "x/b.jpe"}, .runs = {"x"},
     .said = {"2 recoded"}, .created = {"x/a_85.jfif", "x/b_85.jpe"}},
#if !defined(_WIN32)
    // --replace through a link recodes the photo the link names, once, and keeps the link.
    {.name = "replace_through_a_link", .photos = {"l/z.jpg"}, .links = {{"l/a.jpg", "z.jpg"}},
     .runs = {"-o once l/z.jpg", "--replace l"}, .out = {"1 file: 1 recoded"},
     .err = {"z.jpg  skipped: the same file as "}, .changed = {"l/z.jpg", "l/a.jpg"},
     .copies = {{"l/z.jpg", "once/z.jpg"}}},
#endif
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ToolSafety, ::testing::ValuesIn(kSafetyCases), ParamName());

// Results carry Huffman tables fitted to them: fewer bytes than the standard tables (which
// --exact keeps), the same pixels (they were 13 % larger than jpegoptim's).
TEST_F(Tool, FittedTablesAreSmallerWithTheSamePixels) {
  ASSERT_TRUE(put("big.jpg", photo(320, 240, 95)));
  ok("-q 80 -o fit big.jpg");
  ok("-q 80 --exact -o std big.jpg");
  const Bytes fitted = bytes("fit/big.jpg"), standard = bytes("std/big.jpg");
  EXPECT_LT(fitted.size(), standard.size() * 97 / 100);
  std::vector<uint8_t> a, b;
  int w = 0, h = 0, warnings = 0;
  ASSERT_TRUE(libjpeg_decode_rgb(fitted, &a, &w, &h, &warnings));
  ASSERT_TRUE(libjpeg_decode_rgb(standard, &b, &w, &h, &warnings));
  EXPECT_TRUE(a == b) << "fitting the tables changed the pixels";
  EXPECT_EQ(quality_of(fitted), 80);
}

// -S: the highest quality at or below Q whose result fits, said on the line.
TEST_F(Tool, SizeTargetTakesTheHighestQualityThatFits) {
  ASSERT_TRUE(put("big.jpg", photo(320, 240, 95)));
  const uint64_t source = bytes("big.jpg").size();
  for (const std::string& size : {std::string("40%"), std::to_string(source / 4) + "B"}) {
    const uint64_t target = size.back() == '%' ? source * 40 / 100 : source / 4;
    const std::string out = "s" + std::to_string(size.size());
    const ToolRun run = ok("-q 90 -S " + size + " -o " + out + " big.jpg");
    const Bytes result = bytes(out + "/big.jpg");
    ASSERT_FALSE(result.empty()) << run.out;
    EXPECT_LE(result.size(), target) << size;
    EXPECT_TRUE(has(run.out, "(fits " + tool::format_bytes(target) + ")"));
    const int32_t quality = quality_of(result);
    ASSERT_GT(quality, 1);
    ASSERT_LT(quality, 90);
    // One step up no longer fits.
    const ToolRun above =
        this->run("-q " + std::to_string(quality + 1) + " -o " + out + "/above big.jpg");
    EXPECT_GT(bytes(out + "/above/big.jpg").size(), target) << above.out;
  }
  const ToolRun within = ok("-q 99 -S 10M big.jpg");
  EXPECT_TRUE(has(within.out, "kept: already " + tool::format_bytes(source) + ", within 10.00 MB"));
}

#if !defined(_WIN32)
// A stream cut short by a file size limit just below the result, in whole 4 KiB blocks (the shell
// counts 512-byte ones): a full disk, with the write ignoring XFSZ as a full tmpfs gives ENOSPC.
TEST_F(Tool, StreamWritesAreCheckedToTheEnd) {
  ASSERT_TRUE(put("big.jpg", photo(400, 300, 95)));
  const Bytes expected = api_recode(dir_.path("big.jpg"), dir_.path("scratch.jpg"), 85);
  ASSERT_GT(expected.size() % 4096, 0u);
  ASSERT_GT(expected.size(), 4096u);
  const std::string limit = std::to_string(expected.size() / 4096 * 8);
  const ToolRun run =
      run_tool("- < big.jpg > cut.jpg", dir_.root(), "trap '' XFSZ; ulimit -f " + limit + "; ");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_TRUE(has(run.err, "-  FAILED: cannot write standard output: File too large"));
}
#endif

// -p carries a photo's time and its extended attributes over: user.* tags (a photo manager's
// ratings) always, its access ACL with the permissions when the result replaces it.
TEST_F(Tool, PreserveKeepsTimeAndAttributes) {
  const std::string src = dir_.path("in/a.jpg");
  const auto old_time = fs::last_write_time(src) - std::chrono::hours(24 * 400);
  fs::last_write_time(src, old_time);
  const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(src, mode);
#if !defined(_WIN32)
  const std::string tag = "user.rating";
  const bool has_tags = setxattr(src.c_str(), tag.c_str(), "5", 1, 0) == 0;
  // u::rw-, u:65534:r--, g::r--, m::r--, o::--- in the kernel's layout (version 2, then entries).
  Bytes acl = {2, 0, 0, 0};
  for (const auto& [kind, perm, id] : std::vector<std::tuple<uint16_t, uint16_t, uint32_t>>{
           {1, 6, ~0u}, {2, 4, 65534}, {4, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}}) {
    for (int i = 0; i < 2; ++i) acl.push_back(static_cast<uint8_t>(kind >> (8 * i)));
    for (int i = 0; i < 2; ++i) acl.push_back(static_cast<uint8_t>(perm >> (8 * i)));
    for (int i = 0; i < 4; ++i) acl.push_back(static_cast<uint8_t>(id >> (8 * i)));
  }
  const bool has_acl =
      has_tags && setxattr(src.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  const auto attribute = [](const std::string& path, const char* name) {
    std::vector<uint8_t> value(256);
    const ssize_t got = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return value;
  };
  const Bytes expected_acl = attribute(src, "system.posix_acl_access");
  ASSERT_TRUE(!has_acl || !expected_acl.empty());  // else two failed reads would agree
#endif
  for (const char* args : {"-p in/a.jpg", "-p -o out in/a.jpg", "-p --replace in/a.jpg"}) ok(args);
  EXPECT_EQ(fs::last_write_time(dir_.path("in/a_85.jpg")), old_time);
  EXPECT_EQ(fs::last_write_time(src), old_time);
#if !defined(_WIN32)
  EXPECT_EQ(fs::status(src).permissions(), mode);
  if (!has_tags) GTEST_SKIP() << "no user.* attributes here";
  EXPECT_EQ(attribute(dir_.path("out/a.jpg"), tag.c_str()), Bytes{'5'});
  EXPECT_EQ(attribute(src, tag.c_str()), Bytes{'5'});
  EXPECT_TRUE(!has_acl || attribute(src, "system.posix_acl_access") == expected_acl);
#endif
}

#if !defined(_WIN32)
// A new result is no more open to others than its source: the recode of a private photo stays
// private, beside it, in an -o folder, and when --skip-larger copies the original there.
TEST_F(Tool, ResultsAreNoMoreOpenThanTheirSources) {
  const ScopedUmask umask_022(022);
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0604}, mode_t{0644}, mode_t{0400}}) {
    SCOPED_TRACE(mode);
    fs::remove_all(dir_.path("m"));
    ASSERT_TRUE(put("m/p.jpg", photo(64, 48, 90)));
    ASSERT_EQ(chmod(dir_.path("m/p.jpg").c_str(), mode), 0);
    const char* results[] = {"m/p_85.jpg", "m/out/p.jpg", "m/kept/p.jpg"};
    // New results, then the same again over results of an earlier run that are open to all.
    for (const std::string overwrite : {"", "--overwrite "}) {
      for (const char* result : results)
        ASSERT_TRUE(overwrite.empty() || chmod(dir_.path(result).c_str(), 0666) == 0);
      for (const char* args : {"", "-j 2 -o m/out ", "-q 100 --skip-larger -o m/kept "})
        ok(overwrite + args + "m/p.jpg");
      for (const char* result : results) {
        struct stat info;
        ASSERT_EQ(stat(dir_.path(result).c_str(), &info), 0) << result;
        EXPECT_EQ(info.st_mode & 0777, (mode & 0044) | 0600) << overwrite << result;
      }
    }
  }
}

// As an unprivileged user (root reads and writes any file): the system's reason is named.
TEST_F(Tool, FileErrorsNameTheSystemsReason) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads and writes any file";
  fs::create_directories(dir_.path("rodir"));
  ASSERT_TRUE(put("in/closed/x.jpg", photo(32, 32, 80)));
  fs::permissions(dir_.path("rodir"), fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(dir_.path("in/closed"), fs::perms::none);
  const ToolRun into = run("-o rodir in/a.jpg"), walk = run("-r -o out in");
  fs::permissions(dir_.path("rodir"), fs::perms::owner_all);
  fs::permissions(dir_.path("in/closed"), fs::perms::owner_all);
  EXPECT_EQ(into.status, 1);
  EXPECT_TRUE(has(into.err, "FAILED: cannot create rodir/a.jpg: Permission denied"));
  EXPECT_EQ(walk.status, 1);
  EXPECT_TRUE(has(walk.err, "in/closed  FAILED: cannot list the folder: Permission denied"));
  EXPECT_TRUE(file_exists(dir_.path("out/sub/b.JPG")));  // the rest of the walk goes on
}
#endif

// Nothing the tool draws on a terminal wraps: the bar and every summary line stay below the
// width, down to 40 columns, for the widest figures a batch can have.
TEST(ToolTerminal, BarAndSummaryFitTheWidth) {
  // clang-format off
  const tool::Totals t{.files = 123456, .done = 65432, .by_way = {0, 40000, 5000, 20000},
                       .kept = 300, .skipped = 120, .failed = 12, .damaged = 7,
                       .total_in = 900ull << 30, .bytes_done = 400ull << 30,
                       .bytes_in = 400ull << 30, .bytes_out = 250ull << 30};
  // clang-format on
  for (size_t columns : {40u, 52u, 60u, 80u, 100u, 120u, 200u}) {
    const std::string bar = tool::progress_bar(t, 3723.4, columns);
    EXPECT_LT(tool::display_width(bar), columns) << columns << ": " << bar;
    EXPECT_TRUE(has(bar, "65432/123456"));  // the count stays at every width
    std::istringstream text(tool::summary(t, 3723.4, 17, columns));
    for (std::string line; std::getline(text, line);)
      EXPECT_LT(tool::display_width(line), columns) << columns << ":\n" << text.str();
  }
  EXPECT_TRUE(has(tool::progress_bar(t, 3723.4, 120), "["));  // the bar itself when there is room
  EXPECT_EQ(tool::summary(t, 1, 0, 0).find('\n'), std::string::npos);  // not a terminal: one line
}

TEST(ToolLog, KeptLogIsBoundedWithACountOfWhatWasLeftOut) {
  std::string log;
  for (int i = 0; i < 40000; ++i) log += "line " + std::to_string(i) + " of a long log\n";
  const std::string kept = tool::bounded_log(log);
  // Whole lines up to the bound: the next line would not have fitted (none is over 25 bytes).
  const size_t body = kept.rfind('[');
  EXPECT_LE(body, tool::kMaxKeptLogBytes);
  EXPECT_GT(body + std::string("line 39999 of a long log\n").size(), tool::kMaxKeptLogBytes);
  EXPECT_EQ(kept[body - 1], '\n');
  const size_t kept_lines = static_cast<size_t>(std::count(kept.begin(), kept.end(), '\n')) - 1;
  EXPECT_EQ(kept.substr(body),
            "[" + std::to_string(40000 - kept_lines) + " more lines left out]\n");
  EXPECT_EQ(log.compare(0, body, kept, 0, body), 0);
  EXPECT_EQ(tool::bounded_log("short\n"), "short\n");
}

TEST_F(Tool, TemporaryFilesOfAStoppedRunAreRemovedByTheNext) {
  // Each file and whether it stays; 2147483646 is above every process id: its owner is gone.
  const std::string own = std::to_string(tool::current_process_id());
  std::vector<std::pair<std::string, bool>> files = {
      {"in/a_85.jpg.kestrum-2147483646-0.tmp", false},
      {"in/b_85.JPEG.kestrum-2147483646-12.tmp", false},
      {"in/notes.txt.kestrum-2147483646-0.tmp", true},
      {"in/a_85.jpg.kestrum-" + own + "-0.tmp", true},
      {"in/a_85.jpg.kestrum-x-0.tmp", true},
      {"in/a_85.jpg.kestrum-2147483646-0-1.tmp", true},
      // A user's own files named much like ours: a date and a number, not a stopped run.
      {"in/backup.jpg.20240115-1.tmp", true},
      {"in/IMG_0001.JPG.99999-3.tmp", true}};
#if !defined(_WIN32)
  // That of a name so long that the temporary name was cut to 255 bytes, its extension lost.
  const std::string suffix = ".kestrum-2147483646-0.tmp";
  files.emplace_back("in/" + std::string(255 - suffix.size(), 'L') + suffix, false);
#endif
  for (const auto& [name, stays] : files) ASSERT_TRUE(write_file(dir_.path(name), Bytes{1, 2, 3}));
#if !defined(_WIN32)
  // Another user's, in a shared folder: not ours to remove, whatever its process id says.
  const std::string others = "in/c_85.jpg.kestrum-2147483646-0.tmp";
  ASSERT_TRUE(write_file(dir_.path(others), Bytes{1, 2, 3}));
  files.emplace_back(others, geteuid() == 0 && chown(dir_.path(others).c_str(), 65534, 65534) == 0);
#endif
  const ToolRun run = ok("in");
  size_t removed = 0;
  for (const auto& [name, stays] : files) {
    EXPECT_EQ(file_exists(dir_.path(name)), stays) << name;
    removed += stays ? 0 : 1;
  }
  EXPECT_TRUE(has(run.err, "removed " + std::to_string(removed) +
                               " temporary files that a stopped run left in"));
}

#if !defined(_WIN32)
// Waits for the tool to make path, which it does once it has taken its signals: a signal to the
// starting shell or loader proves nothing.
void wait_for(const std::string& path) {
  for (int wait = 0; wait < 400 && !fs::exists(path); ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

class ToolInterrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t i = 0; i < 16; ++i)
      ASSERT_TRUE(put(dir_, "src/p" + std::to_string(i) + ".jpg", seeded_photo(i, 640, 480, 92)));
  }
  TempDir dir_;
  const std::string log_ = dir_.path("log");
};

// Stopped at many moments and by each signal that ends a run: every result that exists decodes,
// no temporary file remains, and an interrupted run says how far it came, prints its summary and
// exits with 130.
TEST_F(ToolInterrupt, StoppedAtRandomMomentsLeavesOnlyWholeResults) {
  // How long a whole run takes here, so that the interrupts land inside the runs.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_tool("-j 2 -o whole src", dir_.root()).status, 0);
  const auto whole_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::mt19937 random(7);
  // Ctrl-C, kill, a closed terminal and a reader that went away ("| head") alike.
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  int interrupted = 0;  // rounds that ended with 130: a tool deaf to signals would pass without
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const std::string out = "out" + std::to_string(round);
    const pid_t pid =
        start_tool((round % 4 == 3 ? "-j 1 -o " : "-j 2 -o ") + out + " src", dir_.root(), log_);
    ASSERT_NE(pid, 0);
    wait_for(dir_.path(out));
    std::this_thread::sleep_for(whole_ms * (random() % 90) / 100);
    kill(pid, signals[round % 4]);
    const ToolRun run = wait_tool(pid, log_);
    ASSERT_NE(run.status, -1) << "ended by a signal";
    if (run.status == 130) {
      ++interrupted;
      EXPECT_TRUE(says(run.err, {"interrupted after ", " of 16 files"}));
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(has(run.out, "16 files: "));
    EXPECT_EQ(temporary_files(dir_.root()), "");
    if (!fs::exists(dir_.path(out))) continue;
    for (const auto& entry : fs::directory_iterator(dir_.path(out)))
      EXPECT_EQ(libjpeg_size(file_bytes(entry.path().string()), true), std::pair(640, 480))
          << entry.path();
  }
  EXPECT_GT(interrupted, 0);
}

#if defined(__linux__)
// The worker processes of the tool.
size_t workers_of(pid_t tool) {
  size_t n = 0;
  std::error_code ec;
  const std::string parent = std::string("--parent") + '\0' + std::to_string(tool) + '\0';
  for (fs::directory_iterator it("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string cmdline = text_of((it->path() / "cmdline").string());
    if (cmdline.find(parent + "--worker") != std::string::npos) ++n;
  }
  return n;
}

TEST_F(ToolInterrupt, KilledToolTakesItsWorkersAlong) {
  // Large files, so that a worker that outlived the tool would be seen at work.
  for (uint32_t i = 0; i < 4; ++i)
    ASSERT_TRUE(put(dir_, "large/p" + std::to_string(i) + ".jpg", seeded_photo(i, 3200, 2400, 95)));
  const pid_t pid = start_tool("-j 2 -o out large", dir_.root(), log_);
  ASSERT_NE(pid, 0);
  for (int i = 0; i < 200 && workers_of(pid) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GT(workers_of(pid), 0u) << text_of(log_ + ".out") << text_of(log_ + ".err");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // At once, not after their file: within 400 ms, the time a worker of the sanitizer build may
  // take to be torn down on a loaded machine, and less than half of its file's time there.
  for (int i = 0; i < 200 && workers_of(pid) > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(workers_of(pid), 0u);
  const auto count = [&] {
    std::error_code ec;  // none yet: no file
    return std::distance(fs::directory_iterator(dir_.path("out"), ec), fs::directory_iterator());
  };
  const auto after_kill = count();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(count(), after_kill);
  EXPECT_LT(after_kill, 3);
}
#endif

#if defined(__linux__)
// The process that has path open.
pid_t process_with_open(const std::string& path) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(it->path().filename().c_str()));
    if (pid <= 0 || pid == getpid()) continue;  // not a process, or this test's own
    std::error_code fd_ec;
    for (fs::directory_iterator fd(it->path() / "fd", fd_ec);
         !fd_ec && fd != fs::directory_iterator(); fd.increment(fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd->path(), link_ec) == path) return pid;
    }
  }
  return 0;
}
#endif

// A run whose job of one file is held while a user or another program changes the world.
class ToolRace : public ToolRuns {};
TEST_P(ToolRace, Run) { check(); }

// clang-format off
const std::vector<const char*> kThree = {"p/a1.jpg", "p/a2.jpg", "p/a3.jpg"};

// A file that appears at a destination after the plan found none is kept, and its source
// reported "skipped: exists", in the tool's process and in workers alike; --overwrite still
// replaces it.
RunCase appears(const char* name, const char* args, const char* destination, bool is_replaced) {
  RunCase c{.name = name, .photos = kThree, .files = {{"users.txt", "mine"}}, .runs = {args},
            .hold = "before-put:a3.jpg", .meanwhile = [destination](const TempDir& dir, int) {
              fs::copy_file(dir.path("users.txt"), dir.path(destination));
            }};
  if (is_replaced) {
    c.created = {destination};
  } else {
    c.out = {destination + std::string("  skipped: exists; --overwrite replaces it"),
             "3 files: 2 recoded", "1 skipped"};
    c.copies = {{destination, "users.txt"}};
  }
  return c;
}

// A file put in the source's place after the read, before the rename, is kept ("changed during
// the recode").
RunCase put_in_place(const char* name, const char* jobs) {
  return {.name = name, .photos = {"p/a2.jpg", "y.jpg"},
          .runs = {jobs + std::string(" --replace p/a2.jpg")}, .status = 1,
          .err = {"a2.jpg  FAILED: changed during the recode"}, .changed = {"p/a2.jpg"},
          .copies = {{"p/a2.jpg", "y.jpg"}}, .hold = "before-put:a2.jpg",
          .meanwhile = [](const TempDir& dir, int) {
            fs::copy_file(dir.path("y.jpg"), dir.path("p/new.tmp.jpg"));
            fs::rename(dir.path("p/new.tmp.jpg"), dir.path("p/a2.jpg"));
          }};
}

// Ctrl-C or kill while the tree is walked ends the run there: "interrupted while planning", 130,
// and nothing written (no result, no folder, no clean-up of what others left).
RunCase signal_while_planning(const char* name, int signal_number) {
  const char* stale = "p/a1.jpg.kestrum-999999999-0.tmp";
  return {.name = name, .photos = {"p/a1.jpg", "p/sub/deeper/b.jpg"}, .files = {{stale, "\x01"}},
          .runs = {"-r -o out p"}, .status = 130,
          .err = {"kestrum-recode: interrupted while planning"}, .exists = {stale},
          .absent = {"out"}, .writes_nothing = true, .hold = "planning:sub",
          .meanwhile = [signal_number](const TempDir&, int pid) { kill(pid, signal_number); }};
}

const RunCase kRaceCases[] = {
    appears("destination_appearing_in_the_process_is_kept", "-j 1 -o out p", "out/a3.jpg", false),
    appears("destination_appearing_in_a_worker_is_kept", "-j 2 -o out p", "out/a3.jpg", false),
    appears("destination_appearing_beside_is_kept", "-j 2 p", "p/a3_85.jpg", false),
    appears("destination_appearing_is_overwritten_when_asked", "--overwrite -j 2 -o out p",
            "out/a3.jpg", true),
    // --replace recodes the file the plan found and replaces only that file: a link re-pointed
    // before the read changes nothing.
    {.name = "link_repointed_before_the_read",
     .photos = {"p/a1.jpg", "p/a2.jpg", "p/a3.jpg", "other/x.jpg", "other/y.jpg"},
     .links = {{"p/zz.jpg", "../other/x.jpg"}}, .runs = {"-o once other/x.jpg", "-j 2 --replace p"},
     .changed = {"p/a1.jpg", "p/a2.jpg", "p/a3.jpg", "p/zz.jpg", "other/x.jpg"},
     .copies = {{"other/x.jpg", "once/x.jpg"}}, .hold = "before-read:zz.jpg",
     .meanwhile = [](const TempDir& dir, int) {
       fs::remove(dir.path("p/zz.jpg"));
       fs::create_symlink("../other/y.jpg", dir.path("p/zz.jpg"));
     }},
    put_in_place("file_put_in_place_in_the_process_is_kept", "-j 1"),
    put_in_place("file_put_in_place_in_a_worker_is_kept", "-j 2"),
    signal_while_planning("interrupt_while_planning_writes_nothing", SIGINT),
    signal_while_planning("termination_while_planning_writes_nothing", SIGTERM),
    // Started with SIGHUP ignored (nohup), the tool goes on when the terminal closes.
    {.name = "hangup_ignored_by_nohup_stays_ignored", .photos = kThree,
     .prefix = "trap '' HUP; ", .runs = {"-j 2 -o out p"}, .out = {"3 files: 3 recoded"},
     .created = {"out/a1.jpg", "out/a2.jpg", "out/a3.jpg"}, .hold = "before-put:a2.jpg",
     .meanwhile = [](const TempDir&, int pid) { kill(pid, SIGHUP); }},
#if defined(__linux__)
    // A worker that dies at work (killed, as by the system when memory runs out) fails the file
    // it had, with how it ended, and leaves no temporary file; the batch goes on with the others.
    {.name = "worker_that_dies_fails_its_file_only", .photos = kThree,
     .runs = {"-j 2 -q 80 -o out p"}, .status = 1, .out = {"3 files: 2 recoded"},
     .err = {"a2.jpg  FAILED: worker ended by signal 9"}, .created = {"out/a1.jpg", "out/a3.jpg"},
     .absent = {"out/a2.jpg"}, .hold = "before-put:a2.jpg",
     .meanwhile = [](const TempDir& dir, int tool) {
       // The held job's open of the FIFO returns, and its descriptor shows, only after this
       // side's open has let it through.
       pid_t worker = 0;
       const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       while (worker == 0 && std::chrono::steady_clock::now() < deadline) {
         worker = process_with_open(dir.path("hold.fifo"));
         if (worker == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
       }
       EXPECT_NE(worker, 0);
       if (worker != 0 && worker != tool) kill(worker, SIGKILL);
     }},
#endif
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ToolRace, ::testing::ValuesIn(kRaceCases), ParamName());

// A tree deeper than a path may be long is walked whole, through descriptors, to its JPEG.
TEST_F(Tool, TreeDeeperThanAPathMayBeLongIsWalked) {
  const std::string level(200, 'd');
  int fd = open(dir_.path("in").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int middle = -1;                // where the chain is cut in two at the end, for remove_all
  for (int i = 0; i < 24; ++i) {  // 24 x 201 bytes: past the 4096 of PATH_MAX
    ASSERT_EQ(mkdirat(fd, level.c_str(), 0700), 0);
    if (i == 12) middle = dup(fd);
    const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    ASSERT_GE(fd = next, 0);
  }
  const int file = openat(fd, "deep.jpg", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  close(fd);
  ASSERT_GE(file, 0);
  close(file);
  const ToolRun walk = run("-r --dry-run in");
  EXPECT_EQ((walk.out + walk.err).find("cannot list the folder"), std::string::npos)
      << walk.err.substr(0, 300);
  EXPECT_EQ(count_lines_with(walk.out, "/deep.jpg \u2192 "), 1u) << walk.out.substr(0, 300);
  EXPECT_TRUE(has(walk.out, "4 files: 3 would be recoded"))
      << walk.out.substr(walk.out.size() > 300 ? walk.out.size() - 300 : 0);
  EXPECT_EQ(renameat(middle, level.c_str(), AT_FDCWD, dir_.path("rest").c_str()), 0);
  close(middle);
}
#endif

}  // namespace
}  // namespace kestrum::test
