// SPDX-License-Identifier: MIT
// The files of a batch: the JPEGs named or found in the named folders, and where each result goes.
// Every destination is planned before any work, so that no source is written over and no two
// results land on one file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "recode/file_job.h"
#include "recode/options.h"

namespace kestrum::tool {

struct BatchItem {
  FileJob job;
  std::string relative;  // the source's path below its folder argument (its name when named itself)
  std::string source_key;  // one spelling per file: two names of one file have the same key
  uint64_t size_bytes = 0;
  Outcome planned = Outcome::kWritten;  // kFailed or kSkipped when the plan refuses the destination
  std::string refusal;                  // why, when planned is not kWritten
};

struct Batch {
  std::vector<BatchItem> items;
  struct Problem {
    std::string path, reason;
    std::string key = {};  // of a file left out: its identity, as BatchItem::source_key
  };
  std::vector<Problem> problems;  // paths that do not exist or folders that cannot be listed
  std::vector<Problem> notes;  // what was passed over on purpose (links to folders, repeated files)
  std::vector<Problem> left_out;  // NAME_<n>.EXT files beside a NAME.EXT, with that original's name
  size_t jpegs_in_subfolders = 0;  // without -r: JPEGs the subfolders of the named folders hold
  bool is_interrupted = false;     // the walk was stopped: the batch is not whole
};

// The result's path beside its source: "_<quality>" before the last '.' of the file name (never
// of a folder), or "_<quality>.jpg" appended to a name without one.
std::string beside_name(const std::string& source, int32_t quality);

// Builds the batch of options.paths: files as named, folders listed (with -r, recursively, never
// into the -o folder) for JPEG names in sorted order. Found files named like a result of any
// quality beside their original (NAME_<n>.EXT beside NAME.EXT) are left out and counted, and a
// file named more than once is taken once (a note names the others). Then plans the destinations:
// one that is a source of the batch or that an earlier file already takes fails its file; one that
// exists is skipped unless options.overwrite. Without -r the subfolders are looked into one level
// down, for the hint that -r would find JPEGs there. The work is linear in the entries of the
// tree, of any depth; it ends early, with is_interrupted, once *stop is set.
Batch collect_batch(const Options& options, const std::atomic<bool>* stop = nullptr);

}  // namespace kestrum::tool
