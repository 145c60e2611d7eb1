// SPDX-License-Identifier: MIT
// "-": one JPEG from standard input to standard output, read whole and written whole, every
// failure of either stream seen.
#include "recode/stream_mode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recode/file_job.h"
#include "recode/report.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrum::tool {
namespace {

constexpr size_t kMaxStreamBytes = size_t{1} << 31;  // as for files: under 2 GiB

// The system's reason for the last failed call on a standard stream.
std::string stream_reason(int error) {
  return error != 0 ? std::string(": ") + std::strerror(error) : std::string();
}

// True when standard output is the very file standard input reads (kestrum-recode - < a.jpg
// >> a.jpg): writing it would change the photo while it is read, as cat refuses to.
bool output_is_input() {
#if defined(_WIN32)
  BY_HANDLE_FILE_INFORMATION in{}, out{};
  const HANDLE in_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin)));
  const HANDLE out_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  return GetFileType(in_handle) == FILE_TYPE_DISK && GetFileInformationByHandle(in_handle, &in) &&
         GetFileInformationByHandle(out_handle, &out) &&
         in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
         in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow;
#else
  struct stat in {
  }, out{};
  return fstat(STDIN_FILENO, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(in.st_mode) &&
         in.st_dev == out.st_dev && in.st_ino == out.st_ino;
#endif
}

// Writes the whole stream to standard output and closes it, so that a full disk, a closed
// descriptor or a failing device is seen: false with the system's reason in error.
bool write_standard_output(const std::vector<uint8_t>& out, std::string* error) {
  errno = 0;
  const bool is_written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
                          std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  const int write_error = errno;
  errno = 0;
  const bool is_closed = std::fclose(stdout) == 0;
  if (is_written && is_closed) return true;
  *error = "cannot write standard output" + stream_reason(is_written ? errno : write_error);
  return false;
}

}  // namespace

// "-": one JPEG from standard input to standard output; the file's line goes to standard error
// when it failed or was damaged (and with -v always). Like gzip, it reads no JPEG from a terminal
// and writes none to one; like cat, it refuses an output that is its input.
int run_stream(const Options& o, const std::atomic<bool>& interrupted) {
  if (is_terminal(stdin) || is_terminal(stdout)) {
    std::fprintf(stderr,
                 "kestrum-recode: - recodes a JPEG from standard input to standard output, "
                 "and %s is a terminal: redirect it (kestrum-recode - <in.jpg >out.jpg)\n",
                 is_terminal(stdin) ? "standard input" : "standard output");
    return 2;
  }
  if (output_is_input()) {
    std::fprintf(stderr,
                 "kestrum-recode: standard output is the file standard input reads: "
                 "nothing written (write the result to another file)\n");
    return 2;
  }
#if defined(_WIN32)
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::vector<uint8_t> data;
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0) {
    if (data.size() + got > kMaxStreamBytes) {
      std::fprintf(stderr, "-  FAILED: standard input holds 2 GiB or more\n");
      return 1;
    }
    data.insert(data.end(), buffer, buffer + got);
  }
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "-  FAILED: cannot read standard input%s\n", stream_reason(errno).c_str());
    return 1;
  }
  const PolicyResult result = recode_by_policy(data.data(), data.size(), policy_of(o));
  std::string left_out;
  FileOutcome outcome = outcome_of(result, data.data(), data.size(), !o.strip, &left_out);
  const std::vector<uint8_t>& out = outcome.outcome == Outcome::kKept ? data : result.result.stream;
  if (outcome.outcome != Outcome::kFailed && !write_standard_output(out, &outcome.error))
    outcome.outcome = Outcome::kFailed;
  if (interrupted) return 130;  // the reader went away, or the terminal closed
  // Segments left out are said, even of a stream that went well.
  if (o.verbose || is_problem(outcome) || !left_out.empty())
    std::fprintf(stderr, "%s\n", file_line("-", "", outcome, o.verbose).c_str());
  return is_problem(outcome) ? 1 : 0;
}

}  // namespace kestrum::tool
