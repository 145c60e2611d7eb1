// SPDX-License-Identifier: MIT
// What kestrum-recode prints: one line per file, a progress bar on a terminal, a closing summary.
#pragma once

#include <cstdint>
#include <string>

#include "recode/file_job.h"

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

}  // namespace kestrum::tool
