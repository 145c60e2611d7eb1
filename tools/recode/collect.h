// SPDX-License-Identifier: MIT
// The files of a batch: the JPEGs named or found in the named folders, and where each result goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recode/file_job.h"
#include "recode/options.h"

namespace kestrum::tool {

struct BatchItem {
  FileJob job;
  std::string relative;  // the source's path below its folder argument (its name when named itself)
  uint64_t size_bytes = 0;
};

struct Batch {
  std::vector<BatchItem> items;
  struct Problem {
    std::string path, reason;
  };
  std::vector<Problem> problems;  // paths that do not exist or folders that cannot be listed
  size_t skipped_outputs = 0;     // NAME_Q.EXT files of an earlier run that were left out
};

// True for names ending in .jpg or .jpeg, in any case.
bool has_jpeg_extension(const std::string& name);

// Builds the batch of options.paths: files as named, folders listed (with -r, recursively) for
// JPEG names in sorted order. Without -o, found files named like a result of this quality
// (NAME_Q.EXT) are left out so that a second run does not recode its own results.
Batch collect_batch(const Options& options);

}  // namespace kestrum::tool
