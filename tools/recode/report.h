// SPDX-License-Identifier: MIT
// What kestrum-recode prints: one line per file, a progress bar on a terminal, a closing summary.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "recode/file_job.h"
#include "recode/options.h"

namespace kestrum::tool {

// "812 B", "34.5 KB", "2.31 MB" (powers of 1024).
std::string format_bytes(uint64_t bytes);

// True for the lines that belong on standard error (FAILED and DAMAGED).
bool is_problem(const FileOutcome& outcome);

// text with each control character (a line break or an escape sequence in a file name, the C1
// controls written in UTF-8 too) shown as '?', as ls shows such names: a name can neither break
// a line in two nor drive the terminal.
std::string one_line(const std::string& text);

// The file's line: name (with " → destination" when shown is not empty), the source's estimated
// quality and the quality used, size before → after, saving and the way's note; DAMAGED with what
// the decode met; or "kept" / "skipped" with why; or "FAILED" with the reason (and the status
// number when with_status).
std::string file_line(const std::string& name, const std::string& shown, const FileOutcome& outcome,
                      bool with_status);

// Results encoded below this quality are marked on their line.
inline constexpr int32_t kLowQuality = 30;

struct Totals {
  size_t files = 0, done = 0;
  size_t by_way[5] = {};  // written files per RecodeWay 1..4
  size_t kept = 0, skipped = 0, failed = 0, damaged = 0;
  uint64_t total_in = 0;    // bytes of every source of the batch
  uint64_t bytes_done = 0;  // of the finished sources, whatever their outcome
  uint64_t bytes_in = 0,
           bytes_out = 0;  // of the recoded and kept files (kept: both the source's size)
  void add(const FileOutcome& outcome);
};

// "[=======>     ] 12/30  45.2 MB → 30.1 MB  3.2 files/s  0:07 left", fields dropped and the bar
// shortened to stay below columns characters.
std::string progress_bar(const Totals& totals, double elapsed_s, size_t columns);

// The closing line(s), each broken between fields to stay within columns (0: one line each).
std::string summary(const Totals& totals, double elapsed_s, size_t skipped_outputs, size_t columns);

// The file's outcome as one JSON object on one line (source, destination, status, way, qualities,
// sizes, note, reason, damage).
std::string file_json(const std::string& source, const std::string& destination,
                      const FileOutcome& outcome);

// A --dry-run line as one JSON object: source, destination, plan ("recode", "keep", "skip" or
// "fail") and what the line would say.
std::string plan_json(const std::string& source, const std::string& destination, const char* plan,
                      const std::string& what);

// The summary as one JSON object on one line.
std::string summary_json(const Totals& totals, double elapsed_s, size_t skipped_outputs,
                         bool is_interrupted);

// Characters a terminal shows for text (UTF-8 continuation bytes take no column).
size_t display_width(const std::string& text);

// True when stream is a terminal (on Windows a console, not NUL or a serial port).
bool is_terminal(FILE* stream);

// The terminal's width now (it follows resizes), 80 when it cannot be asked.
size_t terminal_columns();

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
              const std::string& relative, const FileOutcome& outcome);

  // A line about a path that is not a file of the batch (on standard error).
  void note(const std::string& text);

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

  void wake();

  // After an interrupt: how far the batch came, the summary, and 130 (128 + SIGINT).
  int finish_interrupted(size_t skipped_outputs);

  int finish(size_t skipped_outputs, bool is_interrupted = false);

 private:
  double elapsed_s() const;
  void clear_bar();
  void draw_bar();
  // DIR/<relative path>.log; two sources of one relative path (x/a.jpg and y/a.jpg, both named)
  // get a.jpg.log and a.jpg.2.log rather than one log over the other.
  void write_log(const std::string& relative, const std::string& log);

  const Options& options_;
  std::set<std::string> written_logs_;
  const bool is_terminal_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Totals totals_;
  size_t bar_width_ = 0;
};

}  // namespace kestrum::tool
