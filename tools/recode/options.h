// SPDX-License-Identifier: MIT
// kestrum-recode's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::tool {

struct Options {
  int32_t quality = 85;  // -q, 1..100
  int32_t target_quality =
      0;  // --target-quality: encode at exactly this (at most the source's), 0 = -q's rule
  int32_t jobs = 0;        // -j, worker processes; 0 = the number of cores
  bool recursive = false;  // -r
  bool verbose = false;    // -v: show the library's console log of each file
  std::string output_dir;  // -o: write into this folder, keeping the relative layout
  std::string log_dir;     // --log: one log file per source with the library's console log
  bool strip = false;      // --strip: leave the source's metadata segments out
  bool overwrite = false;  // --overwrite: replace a destination that already exists
  bool replace = false;    // --replace: write each result over its source
  bool skip_larger = false;
  bool strict = false;
  bool exact = false;      // --exact: the library's Annex K Huffman tables, not fitted ones
  bool preserve = false;   // -p: the source's modification time (with --replace, its permissions)
  bool quiet = false;      // --quiet: only failures, damage and the summary
  bool dry_run = false;    // --dry-run: print the plan, write nothing
  bool json = false;       // --json: one JSON object per file and one for the summary
  std::string files_from;  // --files-from: read more paths from this file ("-": standard input)
  bool null_separated = false;  // -0: the names of --files-from end with NUL, not a line break
  std::vector<std::string> paths;
  // --worker SOURCE DESTINATION: the internal worker mode (one file, one result line)
  bool is_worker = false;
  std::string worker_source, worker_destination;
  bool worker_copies_kept = false;  // --copy-kept: with --skip-larger, copy the source when kept
  uint32_t worker_parent = 0;       // --parent PID: the tool that started this worker
};

enum class ParseResult { kRun, kHelp, kVersion, kUsageError };

// Parses argv into options; on kUsageError, error says what was wrong.
ParseResult parse_args(int argc, const char* const* argv, Options* options, std::string* error);

// The --help text: every option and the exit statuses.
std::string usage_text(bool has_libjpeg);

// The arguments that make a worker process recode source into destination with options.
std::vector<std::string> worker_args(const Options& options, const std::string& source,
                                     const std::string& destination, uint32_t parent_pid);

}  // namespace kestrum::tool
