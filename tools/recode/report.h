// SPDX-License-Identifier: MIT
// What kestrum-recode prints: one line per file, a progress bar on a terminal, a closing summary.
#pragma once

#include <cstdint>
#include <string>

#include "recode/file_job.h"

namespace kestrum::tool {

// "812 B", "34.5 KB", "2.31 MB" (powers of 1024).
std::string format_bytes(uint64_t bytes);

// The file's line: name, estimated source quality, size before → after, saving and the way's
// note; or "kept" with why; or "FAILED" with the status and the reason.
std::string file_line(const std::string& name, const FileOutcome& outcome);

struct Totals {
  size_t files = 0, done = 0;
  size_t by_way[5] = {};  // written files per RecodeWay 1..4
  size_t kept = 0, failed = 0;
  uint64_t total_in = 0;                 // bytes of every source of the batch
  uint64_t bytes_in = 0, bytes_out = 0;  // of the finished files (kept: both the source's size)
  void add(const FileOutcome& outcome);
};

// "[=======>     ] 12/30 files  45.2 MB → 30.1 MB  3.2 files/s  0:07 left", width at most 79.
std::string progress_bar(const Totals& totals, double elapsed_s);

// The closing line(s).
std::string summary(const Totals& totals, double elapsed_s, size_t skipped_outputs);

}  // namespace kestrum::tool
