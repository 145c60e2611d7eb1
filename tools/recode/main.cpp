// SPDX-License-Identifier: MIT
// kestrum-recode: recodes folders of JPEGs in parallel worker processes (the library serialises
// recodes within one process), one line per file, a progress bar on a terminal and a summary.
// Exit status: 0 every file recoded or kept, 1 any failed, 2 usage error.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kestrum/recode_any.h"
#include "recode/collect.h"
#include "recode/options.h"
#include "recode/report.h"
#include "recode/worker_process.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrum::tool {
namespace {

constexpr const char* kVersion = "kestrum-recode 1.0.0";
constexpr size_t kMaxStreamBytes = size_t{1} << 31;  // as for files: under 2 GiB

bool is_terminal(FILE* stream) {
#if defined(_WIN32)
  // _isatty is true for NUL and serial ports too: only a console counts.
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

// The terminal's width now (it follows resizes), 80 when it cannot be asked.
size_t terminal_columns() {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
#else
  winsize size{};
  if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

// Prints file lines (results on standard output, failures and damage on standard error) and
// keeps the progress bar (on a terminal) below them. Thread-safe.
class Reporter {
 public:
  Reporter(const Options& options, size_t files, uint64_t total_in, bool is_terminal)
      : options_(options), is_terminal_(is_terminal), start_(std::chrono::steady_clock::now()) {
    totals_.files = files;
    totals_.total_in = total_in;
  }

  // One file's outcome: its line (shown: the destination the line names, or empty), or with
  // --json its object (which always names the destination).
  void report(const std::string& name, const std::string& destination, const std::string& shown,
              const std::string& relative, const FileOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!options_.log_dir.empty() && !relative.empty()) write_log(relative, outcome.log);
    clear_bar();
    const std::string line = file_line(name, shown, outcome, options_.verbose);
    if (options_.json) {
      std::printf("%s\n", file_json(name, destination, outcome).c_str());
    } else if (is_problem(outcome)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
    } else if (!options_.quiet) {
      std::printf("%s\n", line.c_str());
    }
    if (options_.verbose && !options_.json && !outcome.log.empty()) {
      std::fputs(outcome.log.c_str(), stdout);
      if (outcome.log.back() != '\n') std::fputs("\n", stdout);
    }
    totals_.add(outcome);
    draw_bar();
    std::fflush(stdout);
    changed_.notify_all();
  }

  // A line about a path that is not a file of the batch (on standard error).
  void note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clear_bar();
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", one_line(text).c_str());
    std::fflush(stderr);
  }

  // Redraws the bar every second until is_done() (checked under the reporter's lock).
  template <typename Predicate>
  void wait_until(Predicate is_done) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!is_done()) {
      changed_.wait_for(lock, std::chrono::seconds(1));
      draw_bar();
      std::fflush(stdout);
    }
  }

  void wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }

  // After an interrupt: how far the batch came, the summary, and 130 (128 + SIGINT).
  int finish_interrupted(size_t skipped_outputs) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      clear_bar();
      std::fflush(stdout);
      std::fprintf(stderr, "kestrum-recode: interrupted after %zu of %zu files\n", totals_.done,
                   totals_.files);
      std::fflush(stderr);
    }
    finish(skipped_outputs, true);
    return 130;
  }

  int finish(size_t skipped_outputs, bool is_interrupted = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    clear_bar();
    const size_t columns = is_terminal_ ? terminal_columns() : 0;
    if (options_.json) {
      std::printf("%s\n",
                  summary_json(totals_, elapsed_s(), skipped_outputs, is_interrupted).c_str());
    } else {
      std::printf("%s\n", summary(totals_, elapsed_s(), skipped_outputs, columns).c_str());
    }
    std::fflush(stdout);
    return totals_.failed > 0 || totals_.damaged > 0 ? 1 : 0;
  }

 private:
  double elapsed_s() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  void clear_bar() {
    if (bar_width_ == 0) return;
#if defined(_WIN32)
    std::printf("\r%*s\r", static_cast<int>(bar_width_), "");
#else
    std::fputs("\r\033[K", stdout);  // erases to the line's end whatever the width is now
#endif
    bar_width_ = 0;
  }
  void draw_bar() {
    if (!is_terminal_ || totals_.files < 2 || options_.json) return;
    const std::string bar = progress_bar(totals_, elapsed_s(), terminal_columns());
    clear_bar();
    std::fputs(bar.c_str(), stdout);
    bar_width_ = display_width(bar);
  }
  // DIR/<relative path>.log; two sources of one relative path (x/a.jpg and y/a.jpg, both named)
  // get a.jpg.log and a.jpg.2.log rather than one log over the other.
  void write_log(const std::string& relative, const std::string& log) {
    std::filesystem::path path = std::filesystem::path(options_.log_dir) / (relative + ".log");
    for (int n = 2; !written_logs_.insert(path.string()).second; ++n) {
      path =
          std::filesystem::path(options_.log_dir) / (relative + "." + std::to_string(n) + ".log");
    }
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary) << log;
  }

  const Options& options_;
  std::set<std::string> written_logs_;
  const bool is_terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Totals totals_;
  size_t bar_width_ = 0;
};

// Set by SIGINT, SIGTERM, SIGHUP and SIGPIPE (Ctrl-C, Ctrl-Break and closing the console on
// Windows): no file is started after it, and the workers are stopped.
std::atomic<bool> g_interrupted{false};

#if defined(_WIN32)
BOOL WINAPI on_console_control(DWORD) {
  g_interrupted = true;
  stop_workers();
  return TRUE;
}
#else
void on_signal(int) {
  g_interrupted = true;
  stop_workers();
}
#endif

void catch_interrupts() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(on_console_control, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // A closed terminal (SIGHUP) and a reader that went away (SIGPIPE: "| head") stop the run the
  // same way, rather than ending it with files half written. A signal the tool was started with
  // ignored (SIGHUP under nohup, SIGINT for a background job of a script) stays ignored.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old {};
    if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
#endif
}

// What a worker may print at most: its record with a bounded log, escaped.
constexpr size_t kMaxWorkerOutputBytes = 4 * kMaxKeptLogBytes;

// Runs one file in a worker process and reads its record back. *is_unfinished says that the
// worker was stopped by an interrupt before it gave a record.
FileOutcome run_in_worker(const std::string& self, const Options& options, const BatchItem& item,
                          bool* is_unfinished) {
  std::string output, error;
  uint32_t pid = 0;
  const int code = run_captured(
      self, worker_args(options, item.job.source, item.job.destination, current_process_id()),
      kMaxWorkerOutputBytes, &output, &error, &pid);
  *is_unfinished = false;
  FileOutcome outcome;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (decode_outcome(line, &outcome)) return outcome;
    start = end + 1;
  }
  // No record: whatever it was writing is not finished.
  if (pid != 0) remove_worker_temps(item.job.destination, pid);
  *is_unfinished = g_interrupted;
  outcome.bytes_in = item.size_bytes;
  outcome.error = error.empty() ? "the worker process ended with status " + std::to_string(code) +
                                      " and no result"
                                : error;
  return outcome;
}

int run_worker(const Options& o) {
  if (!end_with_parent(o.worker_parent)) return 1;
  FileJob job{o.worker_source, o.worker_destination,    o.worker_copies_kept,
              o.preserve,      o.preserve && o.replace, o.replace,
              o.overwrite};
  const FileOutcome outcome = run_file_job(job, policy_of(o));
  std::printf("%s\n", encode_outcome(outcome).c_str());
  std::fflush(stdout);
  return outcome.outcome == Outcome::kFailed ? 1 : 0;
}

// Removes what killed runs left in the folders this run writes into.
void remove_stale_temps_of(const Batch& batch, Reporter& reporter) {
  std::set<std::string> folders;
  for (const BatchItem& item : batch.items) {
    if (item.planned == Outcome::kWritten)
      folders.insert(std::filesystem::path(item.job.destination).parent_path().string());
  }
  for (const std::string& folder : folders) {
    const size_t removed = remove_stale_temps(folder);
    if (removed > 0) {
      reporter.note("removed " + std::to_string(removed) + " temporary " +
                    (removed == 1 ? "file" : "files") + " that a stopped run left in " +
                    (folder.empty() ? std::string(".") : folder));
    }
  }
}

// The destination as the file's line shows it: with -o, where the result went; a skipped
// file's line names the destination that exists.
std::string shown_destination(const Options& o, const BatchItem& item, Outcome outcome) {
  return o.output_dir.empty() && outcome != Outcome::kSkipped ? std::string()
                                                              : item.job.destination;
}

// The line of a file left out as named like a result.
std::string left_out_line(const Batch::Problem& f) {
  return f.path + "  left out: " + f.reason + " (name it to recode it)";
}

// What the walk passed over on purpose, a line each: the files named like a result (which a
// user may want to name to recode them), links to folders and files named more than once.
void print_passed_over(const Batch& batch) {
  for (const Batch::Problem& f : batch.left_out) {
    std::printf("%s\n", one_line(left_out_line(f)).c_str());
  }
  for (const Batch::Problem& note : batch.notes)
    std::printf("%s\n", one_line(note.path + "  skipped: " + note.reason).c_str());
}

// A signal before any file was started: nothing was written.
int interrupted_while_planning() {
  std::fflush(stdout);
  std::fprintf(stderr, "kestrum-recode: interrupted while planning; nothing written\n");
  return 130;
}

// --dry-run: each source, its destination and what would be done (with --json as JSON lines);
// nothing is written.
int print_plan(const Batch& batch, const Options& o) {
  size_t would_recode = 0, would_keep = 0, skipped = 0, failed = batch.problems.size();
  const RecodePolicy policy = policy_of(o);
  auto print = [&](const std::string& source, const std::string& destination, const char* plan,
                   const std::string& what) {
    if (o.json) {
      std::printf("%s\n", plan_json(source, destination, plan, what).c_str());
    } else {
      std::printf("%s\n", one_line(source + (destination.empty() ? "" : " \u2192 " + destination) +
                                   "  " + what)
                              .c_str());
    }
  };
  if (!o.json) print_passed_over(batch);
  for (const Batch::Problem& problem : batch.problems)
    print(problem.path, "", "fail", "would fail: " + problem.reason);
  for (const BatchItem& item : batch.items) {
    if (g_interrupted) return interrupted_while_planning();
    const std::string& destination = item.job.destination;
    if (item.planned == Outcome::kWritten) {
      const std::string way = planned_way(item.job.source, policy);
      const char* plan = way.rfind("would fail", 0) == 0      ? "fail"
                         : way.rfind("would be kept", 0) == 0 ? "keep"
                                                              : "recode";
      ++(plan[0] == 'f' ? failed : plan[0] == 'k' ? would_keep : would_recode);
      print(item.job.source, destination, plan, way);
    } else if (item.planned == Outcome::kSkipped) {
      print(item.job.source, destination, "skip", "skipped: " + item.refusal);
      ++skipped;
    } else {
      print(item.job.source, destination, "fail", "would fail: " + item.refusal);
      ++failed;
    }
  }
  const size_t files = batch.items.size() + batch.problems.size();
  if (o.json) {
    std::printf(
        "{\"summary\":{\"files\":%zu,\"would_recode\":%zu,\"would_keep\":%zu,"
        "\"skipped\":%zu,\"would_fail\":%zu,\"results_left_out\":%zu,\"dry_run\":true}}\n",
        files, would_recode, would_keep, skipped, failed, batch.left_out.size());
  } else {
    std::printf(
        "%zu %s: %zu would be recoded, %zu kept, %zu skipped, %zu would fail (nothing "
        "written)%s\n",
        files, files == 1 ? "file" : "files", would_recode, would_keep, skipped, failed,
        batch.left_out.empty()
            ? ""
            : ("; " + std::to_string(batch.left_out.size()) + " left out").c_str());
  }
  return failed > 0 || batch.items.empty() ? 1 : 0;
}

// The names of --files-from: one a line (a CR before the line break dropped), or NUL-ended.
bool read_file_list(const Options& o, std::vector<std::string>* paths, std::string* error) {
  std::string text;
  if (o.files_from == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0) text.append(buffer, got);
  } else {
    std::ifstream in(o.files_from, std::ios::binary);
    if (!in) {
      *error = "cannot read " + o.files_from;
      return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const char end = o.null_separated ? '\0' : '\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find(end, start);
    if (stop == std::string::npos) stop = text.size();
    std::string name = text.substr(start, stop - start);
    if (!o.null_separated && !name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) paths->push_back(std::move(name));
    start = stop + 1;
  }
  return true;
}

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

// "-": one JPEG from standard input to standard output; the file's line goes to standard error
// when it failed or was damaged (and with -v always). Like gzip, it reads no JPEG from a terminal
// and writes none to one; like cat, it refuses an output that is its input.
int run_stream(const Options& o) {
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
  FileOutcome outcome = outcome_of(result, data.data(), data.size(), !o.strip);
  const std::vector<uint8_t>& out = outcome.outcome == Outcome::kKept ? data : result.result.stream;
  if (outcome.outcome != Outcome::kFailed && !write_standard_output(out, &outcome.error))
    outcome.outcome = Outcome::kFailed;
  if (g_interrupted) return 130;  // the reader went away, or the terminal closed
  // Segments left out are said, even of a stream that went well.
  if (o.verbose || is_problem(outcome) || outcome.note.find(" left out") != std::string::npos)
    std::fprintf(stderr, "%s\n", file_line("-", "", outcome, o.verbose).c_str());
  return is_problem(outcome) ? 1 : 0;
}

int run_batch(Options o, const char* argv0) {
  if (!o.files_from.empty()) {
    std::string error;
    if (!read_file_list(o, &o.paths, &error)) {
      std::fprintf(stderr, "kestrum-recode: %s\n", error.c_str());
      return 1;
    }
    if (o.paths.empty()) {
      std::fprintf(stderr, "kestrum-recode: %s lists no file\n", o.files_from.c_str());
      return 1;
    }
  }
  if (o.paths.size() == 1 && o.paths[0] == "-") return run_stream(o);
  const Batch batch = collect_batch(o, &g_interrupted);
  if (batch.is_interrupted) return interrupted_while_planning();
  if (o.dry_run) return print_plan(batch, o);
  uint64_t total_in = 0;
  for (const BatchItem& item : batch.items) total_in += item.size_bytes;
  const bool is_terminal_output = is_terminal(stdout);
#if defined(_WIN32)
  if (is_terminal_output) SetConsoleOutputCP(CP_UTF8);
#endif
  Reporter reporter(o, batch.items.size() + batch.problems.size(), total_in, is_terminal_output);
  for (const Batch::Problem& note : batch.notes)
    reporter.note(note.path + "  skipped: " + note.reason);
  if (o.verbose) {
    for (const Batch::Problem& f : batch.left_out) reporter.note(left_out_line(f));
  }
  for (const Batch::Problem& problem : batch.problems) {
    FileOutcome missing;
    missing.error = problem.reason;
    reporter.report(problem.path, "", "", "", missing);
  }
  if (batch.items.empty() && batch.problems.empty()) {
    std::string text = "kestrum-recode: no JPEG found (*.jpg, *.jpeg, *.jpe, *.jfif)";
    if (batch.jpegs_in_subfolders > 0) {
      text += "; the subfolders hold " + std::to_string(batch.jpegs_in_subfolders) +
              ": add -r to recode them";
    }
    reporter.note(text);
    reporter.finish(batch.left_out.size());
    return 1;
  }
  std::vector<const BatchItem*> work;
  for (const BatchItem& item : batch.items) {
    if (item.planned == Outcome::kWritten) {
      work.push_back(&item);
      continue;
    }
    FileOutcome refused;
    refused.outcome = item.planned;
    refused.error = item.refusal;
    refused.bytes_in = item.size_bytes;
    reporter.report(item.job.source, item.job.destination, shown_destination(o, item, item.planned),
                    item.relative, refused);
  }
  remove_stale_temps_of(batch, reporter);
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs = std::min(work.size(), o.jobs > 0 ? static_cast<size_t>(o.jobs) : cores);
  std::atomic<size_t> finished{0};
  const RecodePolicy policy = policy_of(o);
  if (jobs <= 1) {
    for (const BatchItem* item : work) {
      if (g_interrupted) break;
      const FileOutcome outcome = run_file_job(item->job, policy);
      reporter.report(item->job.source, item->job.destination,
                      shown_destination(o, *item, outcome.outcome), item->relative, outcome);
    }
  } else {
    const std::string self = self_path(argv0);
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < jobs; ++t) {
      threads.emplace_back([&] {
        for (size_t i = next++; i < work.size() && !g_interrupted; i = next++) {
          const BatchItem& item = *work[i];
          bool is_unfinished = false;
          const FileOutcome outcome = run_in_worker(self, o, item, &is_unfinished);
          if (!is_unfinished) {
            reporter.report(item.job.source, item.job.destination,
                            shown_destination(o, item, outcome.outcome), item.relative, outcome);
          }
        }
        ++finished;
        reporter.wake();
      });
    }
    reporter.wait_until([&] { return finished == threads.size(); });
    for (std::thread& t : threads) t.join();
  }
  if (g_interrupted) return reporter.finish_interrupted(batch.left_out.size());
  return reporter.finish(batch.left_out.size());
}

}  // namespace
}  // namespace kestrum::tool

int main(int argc, char** argv) {
  using namespace kestrum::tool;
  Options options;
  std::string error;
  switch (parse_args(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(usage_text(kestrum::recode_any_has_libjpeg()).c_str(), stdout);
      return 0;
    case ParseResult::kVersion:
      std::printf("%s%s\n", kVersion,
                  kestrum::recode_any_has_libjpeg() ? "" : " (without libjpeg)");
      return 0;
    case ParseResult::kUsageError:
      std::fprintf(stderr, "kestrum-recode: %s (try --help)\n", error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }
  if (options.is_worker) return run_worker(options);
  catch_interrupts();
  return run_batch(options, argv[0]);
}
