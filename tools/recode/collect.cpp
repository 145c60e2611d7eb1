// SPDX-License-Identifier: MIT
// Collecting and planning a batch with std::filesystem (both separators on Windows).
#include "recode/collect.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#if !defined(_WIN32)
// "device:inode": one key per file however it is named (links, hard links, spellings).
std::string identity_key(const struct stat& info) {
  return std::to_string(static_cast<uint64_t>(info.st_dev)) + ":" +
         std::to_string(static_cast<uint64_t>(info.st_ino));
}
#endif

// The key of a file named by the user (through any link): its identity, or its spelling when it
// cannot be asked.
std::string file_key(const fs::path& path) {
#if !defined(_WIN32)
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return identity_key(info);
#endif
  return path_key(path);
}

// For NAME_<digits>.EXT with NAME.EXT (or NAME, for a result of a name without a dot) beside
// it, a result of an earlier run at any quality: that original's name. Otherwise empty.
// is_file(name) says whether the folder holds a regular file of that name.
template <typename IsFile>
std::string original_of_result(const std::string& name, IsFile is_file) {
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = stem.size() == name.size() ? "" : name.substr(dot);
  const size_t underscore = stem.rfind('_');
  if (underscore == std::string::npos || underscore == 0 || underscore + 1 == stem.size())
    return "";
  for (size_t i = underscore + 1; i < stem.size(); ++i) {
    if (stem[i] < '0' || stem[i] > '9') return "";
  }
  std::string base = stem.substr(0, underscore);
  if (is_file(base + ext)) return base + ext;
  if (lower(ext) == ".jpg" && is_file(base)) return base;
  return "";
}

#if defined(_WIN32)
// The order of paths by their names, folder by folder (as fs::path compares them), without
// splitting them into their parts: a separator counts as lower than any other character.
bool is_before(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (is_separator(a[i]) != is_separator(b[i])) return is_separator(a[i]);
    return std::char_traits<char>::lt(a[i], b[i]);
  }
  return a.size() < b.size();
}

#endif

// A JPEG found by the walk. Its paths stay strings: a path object of a file 10 000 folders deep
// holds 10 000 parts, and planning would pay for them at each use.
struct Found {
  std::string file, relative;  // relative: below the folder argument, with '/' between names
  std::string key;             // file_key's answer
  uint64_t size_bytes = 0;
};

// What a walk needs besides its folder: where it records, what it skips, when it stops.
struct Walk {
  Batch* batch = nullptr;
  bool recursive = false;
  std::vector<Found>* found = nullptr;
  const std::atomic<bool>* stop = nullptr;
#if defined(_WIN32)
  std::string skip_key;  // path_key of the -o folder
#else
  bool has_skip = false;  // the -o folder exists: its identity
  dev_t skip_device = 0;
  ino_t skip_inode = 0;
  std::set<std::pair<dev_t, ino_t> > open_folders;  // the folders being walked, to see loops
#endif
  bool is_stopped() const { return stop != nullptr && *stop; }
};

#if defined(_WIN32)

// Lists folder (and with recursive its subfolders, except the -o folder) for JPEG names.
// Folders that cannot be listed and symbolic links to folders are recorded.
void walk_folder(Walk& w, const fs::path& root, const fs::path& folder, bool counts_only) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    if (!counts_only)
      w.batch->problems.push_back({folder.string(), "cannot list the folder: " + ec.message()});
    return;
  }
  std::vector<fs::path> subfolders;
  for (; it != fs::directory_iterator() && !w.is_stopped(); it.increment(ec)) {
    if (ec) {
      if (!counts_only)
        w.batch->problems.push_back({folder.string(), "cannot list the folder: " + ec.message()});
      break;
    }
    std::error_code type_ec;
    const fs::path& path = it->path();
    if (it->is_directory(type_ec)) {
      if (counts_only) continue;
      if (it->is_symlink(type_ec)) {
        if (w.recursive)
          w.batch->notes.push_back({path.string(), "a symbolic link to a folder, not followed"});
      } else if (!w.recursive || path_key(path) != w.skip_key) {
        subfolders.push_back(path);
      }
    } else if (it->is_regular_file(type_ec) && has_jpeg_extension(path.filename().string())) {
      if (counts_only) {
        ++w.batch->jpegs_in_subfolders;
        continue;
      }
      const std::string original =
          original_of_result(path.filename().string(), [&](const std::string& name) {
            std::error_code file_ec;
            return fs::is_regular_file(folder / name, file_ec);
          });
      if (!original.empty()) {
        w.batch->left_out.push_back(
            {path.string(), "named like a result of " + original, path_key(path)});
      } else {
        std::error_code size_ec;
        const uintmax_t size = fs::file_size(path, size_ec);
        w.found->push_back({path.string(), path.lexically_relative(root).generic_string(),
                            path_key(path), size_ec ? 0 : static_cast<uint64_t>(size)});
      }
    }
  }
  if (counts_only) return;
  for (const fs::path& sub : subfolders) {
    if (w.is_stopped()) return;
    // Without -r only counted, one level down, for the hint that -r would find them, when the
    // folder itself holds none.
    if (!w.recursive && !w.found->empty()) return;
    walk_folder(w, root, sub, !w.recursive);
  }
}

#else

// One folder of a walk: its entries read and sorted out, and how far the walk is through them.
struct Folder {
  struct Entry {
    std::string name;
    unsigned char type;
  };
  DIR* dir = nullptr;
  int at = -1;  // its descriptor, for the *at calls
  std::string path, relative;
  std::pair<dev_t, ino_t> identity;
  bool counts_only = false;
  std::vector<Entry> entries;
  std::unordered_set<std::string> regular_files;  // for original_of_result
  std::vector<const Entry*> jpegs;                // by name
  std::vector<std::string> subfolders;            // by name
  size_t next_jpeg = 0, next_subfolder = 0;

  std::string path_of(const std::string& name) const {
    return path.empty() || path.back() == '/' ? path + name : path + "/" + name;
  }
};

// Reads the folder open as fd (which f then owns) and sorts its entries out: one stat at most
// per entry (none for a folder or a file of another name). Links to folders are noted.
void read_folder(Walk& w, int fd, Folder* f) {
  pause_for_test("planning", f->path);
  f->dir = fdopendir(fd);
  if (f->dir == nullptr) {
    close(fd);
    return;
  }
  f->at = dirfd(f->dir);
  errno = 0;
  while (const dirent* e = readdir(f->dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      f->entries.push_back({e->d_name, e->d_type});
    errno = 0;
  }
  if (errno != 0 && !f->counts_only && !w.is_stopped()) {
    w.batch->problems.push_back(
        {f->path, std::string("cannot list the folder: ") + std::strerror(errno)});
  }
  for (const Folder::Entry& e : f->entries) {
    if (w.is_stopped()) return;
    const bool is_jpeg_name = has_jpeg_extension(e.name);
    if (f->counts_only) {
      w.batch->jpegs_in_subfolders += is_jpeg_name && e.type != DT_DIR ? 1 : 0;
      continue;
    }
    if (e.type == DT_DIR) {
      f->subfolders.push_back(e.name);
    } else if (e.type == DT_REG) {
      f->regular_files.insert(e.name);
      if (is_jpeg_name) f->jpegs.push_back(&e);
    } else if (e.type == DT_LNK || e.type == DT_UNKNOWN) {
      // A link is taken for what it names: a file (recoded) or a folder (named, not followed).
      struct stat info;
      if (fstatat(f->at, e.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      const bool is_link = S_ISLNK(info.st_mode);
      if (is_link && fstatat(f->at, e.name.c_str(), &info, 0) != 0) continue;
      if (S_ISDIR(info.st_mode)) {
        if (!is_link) {
          f->subfolders.push_back(e.name);
        } else if (w.recursive) {
          w.batch->notes.push_back(
              {f->path_of(e.name), "a symbolic link to a folder, not followed"});
        }
      } else if (S_ISREG(info.st_mode)) {
        f->regular_files.insert(e.name);
        if (is_jpeg_name) f->jpegs.push_back(&e);
      }
    }
  }
  // Files and subfolders are taken in the order of their names, so that the files come out in
  // the order of their paths without sorting long paths afterwards.
  std::sort(f->jpegs.begin(), f->jpegs.end(),
            [](const Folder::Entry* a, const Folder::Entry* b) { return a->name < b->name; });
  std::sort(f->subfolders.begin(), f->subfolders.end());
}

// Records the JPEG e of folder f: found, or left out as named like a result.
void take_file(Walk& w, const Folder& f, const Folder::Entry& e) {
  struct stat info;
  if (fstatat(f.at, e.name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode)) return;
  const std::string original = original_of_result(
      e.name, [&](const std::string& name) { return f.regular_files.count(name) > 0; });
  if (!original.empty()) {
    w.batch->left_out.push_back(
        {f.path_of(e.name), "named like a result of " + original, identity_key(info)});
  } else {
    w.found->push_back({f.path_of(e.name), f.relative + e.name, identity_key(info),
                        static_cast<uint64_t>(info.st_size)});
  }
}

// Opens the subfolder name of parent as the next folder of the walk, or says why not (false):
// it cannot be opened, it is the -o folder, or it is a folder met again inside itself.
bool open_subfolder(Walk& w, const Folder& parent, const std::string& name, Folder* child) {
  child->path = parent.path_of(name);
  const int fd = openat(parent.at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (w.recursive) {
      w.batch->problems.push_back(
          {child->path, std::string("cannot list the folder: ") + std::strerror(errno)});
    }
    if (fd >= 0) close(fd);
    return false;
  }
  child->identity = {info.st_dev, info.st_ino};
  const bool is_output = w.has_skip && child->identity == std::pair(w.skip_device, w.skip_inode);
  const bool is_loop = !is_output && !w.open_folders.insert(child->identity).second;
  if (is_loop) {
    w.batch->notes.push_back(
        {child->path, "a folder met again inside itself (a loop), not followed"});
  }
  if (is_output || is_loop) {
    close(fd);
    return false;
  }
  child->relative = parent.relative + name + "/";
  child->counts_only = !w.recursive;
  read_folder(w, fd, child);
  return true;
}

// Walks the folder open as fd (which this closes) named path, and with recursive its
// subfolders, except the -o folder, through descriptors: no path is resolved again, and the
// depth takes no stack (a folder 100 000 levels down is one more entry of a list). Folders that
// cannot be listed, symbolic links to folders and loops are recorded.
void walk_tree(Walk& w, int fd, const std::string& path, std::pair<dev_t, ino_t> identity) {
  std::vector<Folder> open;  // from the root down to the folder being walked
  open.emplace_back();
  open.back().path = path;
  open.back().identity = identity;
  w.open_folders = {identity};
  read_folder(w, fd, &open.back());
  while (!open.empty()) {
    Folder& f = open.back();
    const bool has_files = f.next_jpeg < f.jpegs.size();
    const bool has_subfolders = f.next_subfolder < f.subfolders.size();
    // Without -r the subfolders are only counted, one level down, when the folder holds no JPEG.
    const bool descends =
        has_subfolders && !f.counts_only &&
        (w.recursive ? !has_files || f.subfolders[f.next_subfolder] < f.jpegs[f.next_jpeg]->name
                     : !has_files && w.found->empty());
    if (w.is_stopped() || (!has_files && !descends)) {
      if (f.dir != nullptr) closedir(f.dir);
      w.open_folders.erase(f.identity);
      open.pop_back();
    } else if (!descends) {
      take_file(w, f, *f.jpegs[f.next_jpeg++]);
    } else {
      Folder child;
      if (open_subfolder(w, f, f.subfolders[f.next_subfolder++], &child))
        open.push_back(std::move(child));
    }
  }
}

// A walk of any depth holds one descriptor a level: the limit is raised as far as allowed.
void allow_deep_walks() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

#endif

// True when path names a symbolic link.
bool is_link(const std::string& path) {
#if defined(_WIN32)
  std::error_code ec;
  return fs::is_symlink(path, ec);
#else
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
#endif
}

// True when something (a dangling link too) is at path.
bool exists_here(const std::string& path) {
#if defined(_WIN32)
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
#else
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
#endif
}

// The path of relative (with '/' between names) below folder.
std::string joined(const std::string& folder, const std::string& relative) {
#if defined(_WIN32)
  return (fs::path(folder) / relative).string();
#else
  return folder.back() == '/' ? folder + relative : folder + "/" + relative;
#endif
}

void add(Batch* batch, const Options& options, std::string file, std::string relative,
         std::string key, uint64_t size_bytes) {
  BatchItem item;
  item.job.source = std::move(file);
  item.relative = std::move(relative);
  item.source_key = std::move(key);
  if (options.replace) {
    // A link is kept and the photo it names is recoded, as an editor saving through it would.
    std::error_code link_ec;
    item.job.destination = is_link(item.job.source)
                               ? fs::weakly_canonical(item.job.source, link_ec).string()
                               : item.job.source;
    if (link_ec) item.job.destination = item.job.source;
    item.job.replaces_source = true;
  } else if (options.output_dir.empty()) {
    item.job.destination = beside_name(item.job.source, options.quality);
  } else {
    item.job.destination = joined(options.output_dir, item.relative);
  }
  item.job.copies_kept = !options.output_dir.empty();  // an export folder is complete
  item.job.preserves = options.preserve;
  item.job.preserves_mode = options.preserve && options.replace;
  item.job.overwrites = options.overwrite;
  item.size_bytes = size_bytes;
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
  const auto is_source = [&](const Batch::Problem& f) { return sources.count(f.key) > 0; };
  batch->left_out.erase(std::remove_if(batch->left_out.begin(), batch->left_out.end(), is_source),
                        batch->left_out.end());
}

void refuse(BatchItem* item, Outcome outcome, std::string why) {
  item->planned = outcome;
  item->refusal = std::move(why);
}

// One key per place a result may go, as file_key gives it for a file that exists: without a
// resolved path for each (the folder's key is worked out once and kept), so that planning stays
// linear in the files however deep they lie.
class DestinationKeys {
 public:
  std::string of(const std::string& destination) {
#if defined(_WIN32)
    return path_key(destination);
#else
    struct stat info;
    if (stat(destination.c_str(), &info) == 0) return identity_key(info);
    const size_t slash = destination.rfind('/');
    std::string key = slash == std::string::npos ? folder_key("")
                      : slash == 0 ? folder_key("/")
                                   : folder_key(destination.substr(0, slash));
    key += '/';  // not "/" + ...: GCC 12 at -O2 sees a false overlap (-Wrestrict)
    key += slash == std::string::npos ? destination : destination.substr(slash + 1);
    return key;
#endif
  }

 private:
#if !defined(_WIN32)
  static void drop_trailing_slashes(std::string* f) {
    while (f->size() > 1 && f->back() == '/') f->pop_back();
  }

  // The folder's identity, or, for one not made yet, its parent's key and its name ("" is the
  // working folder).
  std::string folder_key(std::string f) {
    drop_trailing_slashes(&f);
    std::vector<std::string> missing;  // from the folder up, the folders without a key yet
    std::string key;
    for (;;) {
      const auto known = folders_.find(f);
      if (known != folders_.end()) {
        key = known->second;
        break;
      }
      struct stat info;
      if (stat(f.empty() ? "." : f.c_str(), &info) == 0) {
        key = identity_key(info);
        folders_.emplace(f, key);
        break;
      }
      if (f.empty() || f == "/") {  // nothing above it to ask
        key = path_key(f);
        folders_.emplace(f, key);
        break;
      }
      missing.push_back(f);
      const size_t slash = f.rfind('/');
      f = slash == std::string::npos ? std::string() : slash == 0 ? "/" : f.substr(0, slash);
      drop_trailing_slashes(&f);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      const size_t slash = it->rfind('/');
      key += '/';
      key += slash == std::string::npos ? *it : it->substr(slash + 1);
      folders_.emplace(*it, key);
    }
    return key;
  }
  std::unordered_map<std::string, std::string> folders_;
#endif
};

// Fails the files whose destination is their own source, skips those whose destination exists
// (unless overwrite: a second run over the first run's results, which the shell names too, is no
// fault), and fails those whose destination is another source of the batch or the destination of
// an earlier file.
void plan_destinations(Batch* batch, const Options& options) {
  if (options.replace) return;
  std::unordered_map<std::string, size_t> sources, destinations;
  for (size_t i = 0; i < batch->items.size(); ++i) sources.emplace(batch->items[i].source_key, i);
  DestinationKeys keys;
  for (size_t i = 0; i < batch->items.size(); ++i) {
    BatchItem& item = batch->items[i];
    const std::string key = keys.of(item.job.destination);
    const auto source = sources.find(key);
    if (source != sources.end() && source->second == i) {
      refuse(&item, Outcome::kFailed,
             "the result would overwrite this file (--replace recodes in place)");
      continue;
    }
    if (!options.overwrite && exists_here(item.job.destination)) {
      refuse(&item, Outcome::kSkipped, "exists; --overwrite replaces it");
      continue;
    }
    if (source != sources.end()) {
      refuse(&item, Outcome::kFailed,
             "the result " + item.job.destination + " would overwrite the source " +
                 batch->items[source->second].job.source);
      continue;
    }
    const auto [taken, is_new] = destinations.emplace(key, i);
    if (!is_new) {
      refuse(&item, Outcome::kFailed,
             "the result " + item.job.destination + " is already that of " +
                 batch->items[taken->second].job.source);
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

Batch collect_batch(const Options& options, const std::atomic<bool>* stop) {
  Batch batch;
  Walk w;
  w.batch = &batch;
  w.recursive = options.recursive;
  w.stop = stop;
#if defined(_WIN32)
  if (!options.output_dir.empty()) w.skip_key = path_key(options.output_dir);
#else
  allow_deep_walks();
  struct stat output_info;
  if (!options.output_dir.empty() && stat(options.output_dir.c_str(), &output_info) == 0) {
    w.has_skip = true;
    w.skip_device = output_info.st_dev;
    w.skip_inode = output_info.st_ino;
  }
#endif
  for (const std::string& arg : options.paths) {
    if (w.is_stopped()) break;
    const fs::path path(arg);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
      std::vector<Found> found;
      w.found = &found;
#if defined(_WIN32)
      walk_folder(w, path, path, false);
#else
      const int fd = open(arg.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      struct stat info;
      if (fd < 0 || fstat(fd, &info) != 0) {
        batch.problems.push_back(
            {arg, std::string("cannot list the folder: ") + std::strerror(errno)});
        if (fd >= 0) close(fd);
        continue;
      }
      walk_tree(w, fd, arg, {info.st_dev, info.st_ino});
#endif
#if defined(_WIN32)
      std::sort(found.begin(), found.end(),
                [](const Found& a, const Found& b) { return is_before(a.file, b.file); });
#endif
      for (Found& f : found) {
        add(&batch, options, std::move(f.file), std::move(f.relative), std::move(f.key),
            f.size_bytes);
      }
    } else if (fs::exists(status)) {
      const uintmax_t size = fs::file_size(path, ec);
      add(&batch, options, arg, path.filename().generic_string(), file_key(path),
          ec ? 0 : static_cast<uint64_t>(size));
    } else {
      batch.problems.push_back({arg, ec && ec != std::errc::no_such_file_or_directory
                                         ? ec.message()
                                         : std::string("no such file or folder")});
    }
  }
  batch.is_interrupted = w.is_stopped();
  if (batch.is_interrupted) return batch;
  drop_repeated_sources(&batch);
  forget_left_out_sources(&batch);
  plan_destinations(&batch, options);
  batch.is_interrupted = w.is_stopped();
  return batch;
}

}  // namespace kestrum::tool
