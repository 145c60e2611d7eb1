// SPDX-License-Identifier: MIT
// Collecting a batch with std::filesystem (both separators on Windows).
#include "recode/collect.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "api/output_name.h"

namespace kestrum::tool {
namespace fs = std::filesystem;
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

std::string beside_name(const std::string& source, int32_t quality) {
  char* name = make_output_name(source.c_str(), quality);
  std::string result = name != nullptr ? std::string(name) : source;
  std::free(name);
  return result;
}

bool is_earlier_result(const fs::path& file, int32_t quality) {
  const std::string stem = file.stem().string();
  std::string suffix = std::to_string(quality);
  suffix.insert(suffix.begin(), '_');
  return stem.size() > suffix.size() && stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void add(Batch* batch, const Options& options, const fs::path& file, const fs::path& relative) {
  BatchItem item;
  item.job.source = file.string();
  item.relative = relative.generic_string();
  item.job.destination = options.output_dir.empty() ? beside_name(item.job.source, options.quality)
                                                    : (fs::path(options.output_dir) / relative).string();
  item.job.copies_kept = options.skip_larger && !options.output_dir.empty();
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  item.size_bytes = ec ? 0 : static_cast<uint64_t>(size);
  batch->items.push_back(std::move(item));
}

template <typename Iterator>
void add_folder(Batch* batch, const Options& options, const fs::path& root, Iterator it) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (; it != Iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code type_ec;
    if (it->is_regular_file(type_ec) && has_jpeg_extension(it->path().filename().string())) found.push_back(it->path());
  }
  if (ec) batch->problems.push_back({root.string(), "cannot list the folder: " + ec.message()});
  std::sort(found.begin(), found.end());
  for (const fs::path& file : found) {
    if (options.output_dir.empty() && is_earlier_result(file, options.quality)) {
      ++batch->skipped_outputs;
      continue;
    }
    add(batch, options, file, file.lexically_relative(root));
  }
}

}  // namespace

bool has_jpeg_extension(const std::string& name) {
  const std::string ext = lower(fs::path(name).extension().string());
  return ext == ".jpg" || ext == ".jpeg";
}

Batch collect_batch(const Options& options) {
  Batch batch;
  for (const std::string& arg : options.paths) {
    const fs::path path(arg);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
      if (options.recursive) {
        add_folder(&batch, options, path, fs::recursive_directory_iterator(path, ec));
      } else {
        add_folder(&batch, options, path, fs::directory_iterator(path, ec));
      }
    } else if (fs::exists(status)) {
      add(&batch, options, path, path.filename());
    } else {
      batch.problems.push_back({arg, "no such file or folder"});
    }
  }
  return batch;
}

}  // namespace kestrum::tool
