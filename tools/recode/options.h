// SPDX-License-Identifier: MIT
// kestrum-recode's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::tool {

// -S/--size: what a result must fit in, in bytes or as a share of its source.
struct SizeTarget {
  uint64_t bytes = 0;   // 0: no target, or a percentage
  int32_t percent = 0;  // 1..99: of the source's size
  std::string text;     // as given, for the worker's command line and the lines
  bool is_set() const { return bytes > 0 || percent > 0; }
  uint64_t for_source(uint64_t source_bytes) const {
    return bytes > 0 ? bytes : source_bytes * static_cast<uint64_t>(percent) / 100;
  }
};

struct Options {
  int32_t quality = 85;       // -q, -m, --max, --target-quality: 1..100
  bool relative = false;      // --relative: quality lowered by the source's distance from 100
  SizeTarget size;            // -S, --size
  int32_t jobs = 0;           // -j, worker processes; 0 = the number of cores
  bool recursive = false;     // -r
  bool verbose = false;       // -v: show the library's console log of each file
  std::string output_dir;     // -o: write into this folder, keeping the relative layout
  std::string log_dir;        // --log: one log file per source with the library's console log
  bool strip = false;         // --strip: leave the source's metadata segments out
  bool overwrite = false;     // --overwrite: replace a destination that already exists
  bool replace = false;       // --replace: write each result over its source
  bool allow_larger = false;  // --allow-larger: write results that are not smaller
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
  bool worker_copies_kept = false;  // --copy-kept: copy the source to the destination when kept
  uint32_t worker_parent = 0;       // --parent PID: the tool that started this worker
  // --worker-loop: the worker takes one job a line on standard input (its source and destination,
  // escaped as the record is, a tab between) and prints one record for each, until the input ends
  bool is_worker_loop = false;
};

enum class ParseResult { kRun, kHelp, kVersion, kUsageError };

// Parses argv into options; on kUsageError, error says what was wrong.
// -S's SIZE: kilobytes as jpegoptim takes them ("200", "200K", "200KB"), "2M" megabytes, "150000B"
// bytes, or "30%" of the source; false for anything else.
bool parse_size(const std::string& text, SizeTarget* size);

ParseResult parse_args(int argc, const char* const* argv, Options* options, std::string* error);

// The --help text: every option and the exit statuses.
std::string usage_text(bool has_libjpeg);

// The arguments that make a worker process recode source into destination with options.
std::vector<std::string> worker_args(const Options& options, const std::string& source,
                                     const std::string& destination, uint32_t parent_pid);
// The arguments of a worker process that takes its jobs on standard input (--worker-loop).
std::vector<std::string> worker_loop_args(const Options& options, uint32_t parent_pid);

}  // namespace kestrum::tool
