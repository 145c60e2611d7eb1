// SPDX-License-Identifier: MIT
// Collecting and planning a batch with std::filesystem (both separators on Windows).
#include "recode/collect.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace kestrum::tool {
namespace fs = std::filesystem;
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

bool is_separator(char c) {
#if defined(_WIN32)
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

// One spelling per file: absolute, symbolic links of the existing part resolved, and on Windows
// in one case, so that two names of one file compare equal.
std::string path_key(const fs::path& path) {
  std::error_code ec;
  fs::path full = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) full = fs::absolute(path, ec).lexically_normal();
  std::string key = full.generic_string();
#if defined(_WIN32)
  key = lower(key);
#endif
  return key;
}

// For NAME_<digits>.EXT with NAME.EXT (or NAME, for a result of a name without a dot) beside
// it, a result of an earlier run at any quality: that original's name. Otherwise empty.
std::string original_of_result(const fs::path& file) {
  const std::string name = file.filename().string();
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = stem.size() == name.size() ? "" : name.substr(dot);
  const size_t underscore = stem.rfind('_');
  if (underscore == std::string::npos || underscore == 0 || underscore + 1 == stem.size())
    return "";
  for (size_t i = underscore + 1; i < stem.size(); ++i) {
    if (stem[i] < '0' || stem[i] > '9') return "";
  }
  const std::string base = stem.substr(0, underscore);
  std::error_code ec;
  if (fs::is_regular_file(file.parent_path() / (base + ext), ec)) return base + ext;
  if (lower(ext) == ".jpg" && fs::is_regular_file(file.parent_path() / base, ec)) return base;
  return "";
}

struct Found {
  fs::path file, relative;
};

// Lists root (and with recursive its subfolders, except the one whose key is skip_key) for JPEG
// names. Folders that cannot be listed and symbolic links to folders are recorded.
void walk(Batch* batch, const fs::path& root, const fs::path& folder, bool recursive,
          const std::string& skip_key, std::vector<Found>* found) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    batch->problems.push_back({folder.string(), "cannot list the folder: " + ec.message()});
    return;
  }
  std::vector<fs::path> subfolders;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) {
      batch->problems.push_back({folder.string(), "cannot list the folder: " + ec.message()});
      break;
    }
    std::error_code type_ec;
    const fs::path& path = it->path();
    if (it->is_directory(type_ec)) {
      if (it->is_symlink(type_ec)) {
        if (recursive)
          batch->notes.push_back({path.string(), "a symbolic link to a folder, not followed"});
      } else if (recursive) {
        if (path_key(path) != skip_key) subfolders.push_back(path);
      } else {
        subfolders.push_back(path);
      }
    } else if (it->is_regular_file(type_ec) && has_jpeg_extension(path.filename().string())) {
      const std::string original = original_of_result(path);
      if (!original.empty()) {
        batch->left_out.push_back({path.string(), "named like a result of " + original});
      } else {
        found->push_back({path, path.lexically_relative(root)});
      }
    }
  }
  if (!recursive) {
    // Only counted, for the hint that -r would find them, when the folder itself holds none.
    if (!found->empty()) return;
    for (const fs::path& sub : subfolders) {
      std::vector<Found> below;
      Batch scratch;
      walk(&scratch, sub, sub, true, skip_key, &below);
      batch->jpegs_in_subfolders += below.size() + scratch.left_out.size();
    }
    return;
  }
  for (const fs::path& sub : subfolders) walk(batch, root, sub, true, skip_key, found);
}

void add(Batch* batch, const Options& options, const fs::path& file, const fs::path& relative) {
  BatchItem item;
  item.job.source = file.string();
  item.relative = relative.generic_string();
  item.source_key = path_key(file);
  if (options.replace) {
    // A link is kept and the photo it names is recoded, as an editor saving through it would.
    std::error_code link_ec;
    item.job.destination = fs::is_symlink(file, link_ec)
                               ? fs::weakly_canonical(file, link_ec).string()
                               : item.job.source;
    if (link_ec) item.job.destination = item.job.source;
    item.job.replaces_source = true;
  } else if (options.output_dir.empty()) {
    item.job.destination = beside_name(
        item.job.source, options.target_quality > 0 ? options.target_quality : options.quality);
  } else {
    item.job.destination = (fs::path(options.output_dir) / relative).string();
  }
  item.job.copies_kept = options.skip_larger && !options.output_dir.empty();
  item.job.preserves = options.preserve;
  item.job.preserves_mode = options.preserve && options.replace;
  item.job.overwrites = options.overwrite;
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  item.size_bytes = ec ? 0 : static_cast<uint64_t>(size);
  batch->items.push_back(std::move(item));
}

// A file named twice (again by another spelling, a link, or inside a folder also named) is
// recoded once: with --replace a second recode would lower its quality once more.
void drop_repeated_sources(Batch* batch) {
  std::map<std::string, std::string> first_names;
  std::vector<BatchItem> kept;
  for (BatchItem& item : batch->items) {
    const auto [first, is_new] = first_names.emplace(item.source_key, item.job.source);
    if (is_new) {
      kept.push_back(std::move(item));
    } else {
      batch->notes.push_back({item.job.source, "the same file as " + first->second});
    }
  }
  batch->items = std::move(kept);
}

// A file named on the command line is recoded even when a folder's walk left it out as named
// like a result: it is then no longer counted or listed as left out.
void forget_left_out_sources(Batch* batch) {
  std::set<std::string> sources;
  for (const BatchItem& item : batch->items) sources.insert(item.source_key);
  const auto is_source = [&](const Batch::Problem& f) {
    return sources.count(path_key(f.path)) > 0;
  };
  batch->left_out.erase(std::remove_if(batch->left_out.begin(), batch->left_out.end(), is_source),
                        batch->left_out.end());
}

void refuse(BatchItem* item, Outcome outcome, std::string why) {
  item->planned = outcome;
  item->refusal = std::move(why);
}

// Fails the files whose destination is a source of the batch or the destination of an earlier
// file, and skips those whose destination exists (unless overwrite).
void plan_destinations(Batch* batch, const Options& options) {
  std::map<std::string, size_t> sources, destinations;
  for (size_t i = 0; i < batch->items.size(); ++i) sources.emplace(batch->items[i].source_key, i);
  for (size_t i = 0; i < batch->items.size(); ++i) {
    BatchItem& item = batch->items[i];
    if (options.replace) continue;
    const std::string key = path_key(item.job.destination);
    const auto source = sources.find(key);
    if (source != sources.end()) {
      refuse(&item, Outcome::kFailed,
             source->second == i
                 ? "the result would overwrite this file (--replace recodes in place)"
                 : "the result " + item.job.destination + " would overwrite the source " +
                       batch->items[source->second].job.source);
      continue;
    }
    const auto [taken, is_new] = destinations.emplace(key, i);
    if (!is_new) {
      refuse(&item, Outcome::kFailed,
             "the result " + item.job.destination + " is already that of " +
                 batch->items[taken->second].job.source);
      continue;
    }
    std::error_code ec;
    if (!options.overwrite && fs::exists(fs::symlink_status(item.job.destination, ec))) {
      refuse(&item, Outcome::kSkipped, "exists; --overwrite replaces it");
    }
  }
}

}  // namespace

std::string beside_name(const std::string& source, int32_t quality) {
  size_t name_start = source.size();
  while (name_start > 0 && !is_separator(source[name_start - 1])) --name_start;
  const size_t dot = source.rfind('.');
  std::string suffix = std::to_string(quality);
  suffix.insert(suffix.begin(),
                '_');  // not "_" + ...: GCC 12 at -O2 sees a false overlap (-Wrestrict)
  if (dot == std::string::npos || dot <= name_start) return source + suffix + ".jpg";
  std::string name = source;
  name.insert(dot, suffix);
  return name;
}

Batch collect_batch(const Options& options) {
  Batch batch;
  const std::string output_key =
      options.output_dir.empty() ? std::string() : path_key(options.output_dir);
  for (const std::string& arg : options.paths) {
    const fs::path path(arg);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
      std::vector<Found> found;
      walk(&batch, path, path, options.recursive, output_key, &found);
      std::sort(found.begin(), found.end(),
                [](const Found& a, const Found& b) { return a.file < b.file; });
      for (const Found& f : found) add(&batch, options, f.file, f.relative);
    } else if (fs::exists(status)) {
      add(&batch, options, path, path.filename());
    } else {
      batch.problems.push_back({arg, ec && ec != std::errc::no_such_file_or_directory
                                         ? ec.message()
                                         : std::string("no such file or folder")});
    }
  }
  drop_repeated_sources(&batch);
  forget_left_out_sources(&batch);
  plan_destinations(&batch, options);
  return batch;
}

}  // namespace kestrum::tool
