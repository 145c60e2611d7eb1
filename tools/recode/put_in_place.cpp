// SPDX-License-Identifier: MIT
// POSIX and Windows implementations of the one-descriptor source read and the final rename:
// renameat2(RENAME_NOREPLACE), else link + unlink, else an exclusive placeholder, on POSIX;
// MoveFileExW without MOVEFILE_REPLACE_EXISTING on Windows.
#include "recode/put_in_place.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#endif

#include "platform/file_io.h"
#include "recode/worker_process.h"

namespace kestrum::tool {
namespace {

constexpr uint64_t kMaxSourceBytes = 0x7FFFFFFF;
constexpr size_t kMaxNameBytes = 255;
std::atomic<uint32_t> g_temp_counter{0};

// "<path>.kestrum-<pid>-<n>.tmp", the file name shortened where the whole would pass the file
// systems' 255-byte limit on a name (a later run recognises and removes what a killed one left).
std::string temp_path_for(const std::string& path) {
  const std::string suffix = ".kestrum-" + std::to_string(current_process_id()) + "-" +
                             std::to_string(g_temp_counter.fetch_add(1)) + ".tmp";
  const std::string name = std::filesystem::path(path).filename().string();
  const size_t cut =
      name.size() + suffix.size() > kMaxNameBytes ? name.size() + suffix.size() - kMaxNameBytes : 0;
  return path.substr(0, path.size() - cut) + suffix;
}

// Keeps errno (and the last error) of the call that failed across the clean-up after it.
struct KeptError {
  KeptError() : error(errno) {
#if defined(_WIN32)
    code = GetLastError();
#endif
  }
  ~KeptError() {
    errno = error;
#if defined(_WIN32)
    SetLastError(code);
#endif
  }
  KeptError(const KeptError&) = delete;
  KeptError& operator=(const KeptError&) = delete;
  int error;
#if defined(_WIN32)
  DWORD code = 0;
#endif
};

}  // namespace

#if defined(_WIN32)

namespace {

bool identity_of(HANDLE file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

// The identity of the file path names now.
bool identity_of_path(const std::string& path, FileIdentity* identity) {
  HANDLE file = CreateFileW(std::filesystem::path(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = identity_of(file, identity);
  CloseHandle(file);
  return ok;
}

}  // namespace

SourceFile::~SourceFile() {
  if (handle != nullptr) CloseHandle(static_cast<HANDLE>(handle));
}

SourceRead SourceFile::open_and_read(const std::string& name, bool refuses_link) {
  path = name;
  HANDLE file = CreateFileW(
      std::filesystem::path(name).c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_SEQUENTIAL_SCAN | (refuses_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (file == INVALID_HANDLE_VALUE) return SourceRead::kCannotOpen;
  handle = file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) || GetFileType(file) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return SourceRead::kCannotOpen;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return SourceRead::kIsLink;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;  // as fs::status
  const uint64_t bytes = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  if (bytes > kMaxSourceBytes) return SourceRead::kNoMemory;
  try {
    data.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return SourceRead::kNoMemory;
  }
  size_t done = 0;
  while (done < data.size()) {
    DWORD got = 0;
    if (!ReadFile(file, data.data() + done, static_cast<DWORD>(data.size() - done), &got,
                  nullptr) ||
        got == 0)
      return SourceRead::kCannotOpen;
    done += got;
  }
  return SourceRead::kOk;
}

PutResult put_in_place(const std::string& path, const uint8_t* data, size_t size,
                       const PutOptions& options) {
  const std::filesystem::path target(path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && options.mode == PutMode::kNew) {
    SetLastError(ERROR_FILE_EXISTS);
    return PutResult::kExists;
  }
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
    return PutResult::kCannotCreate;
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = temp_path_for(path);
    file = CreateFileW(std::filesystem::path(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) return PutResult::kCannotCreate;
  const bool ok = write_all_and_close(file, data, size);
  const std::filesystem::path temp_path(temp);
  PutResult result = ok ? PutResult::kOk : PutResult::kWriteFailed;
  if (ok && options.mode == PutMode::kSameSource) {
    FileIdentity now;
    if (options.source == nullptr || !identity_of_path(path, &now) ||
        !(now == options.source->identity))
      result = PutResult::kChanged;
  }
  if (ok && options.source != nullptr) {
    // The copies go to the temporary file while the source is still in its place.
    std::error_code ec;
    if (options.copies_time) {
      const auto time = std::filesystem::last_write_time(options.source->path, ec);
      if (!ec) std::filesystem::last_write_time(temp_path, time, ec);
    }
    if (options.copies_mode) {
      std::filesystem::permissions(temp_path,
                                   static_cast<std::filesystem::perms>(options.source->mode), ec);
    }
  }
  if (result == PutResult::kOk && options.source != nullptr && options.source->handle != nullptr &&
      options.mode != PutMode::kNew) {
    // A file still open cannot be replaced on every system (wine, some Windows file systems).
    CloseHandle(static_cast<HANDLE>(options.source->handle));
    options.source->handle = nullptr;
  }
  if (result == PutResult::kOk) {
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (options.mode == PutMode::kNew ? 0 : MOVEFILE_REPLACE_EXISTING);
    if (MoveFileExW(temp_path.c_str(), target.c_str(), flags) == 0) {
      const DWORD code = GetLastError();
      result = options.mode == PutMode::kNew &&
                       (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
                   ? PutResult::kExists
                   : PutResult::kWriteFailed;
    }
  }
  if (result != PutResult::kOk) {
    const KeptError kept;
    DeleteFileW(temp_path.c_str());
    return result;
  }
  return PutResult::kOk;
}

#else

SourceFile::~SourceFile() {
  if (fd >= 0) close(fd);
}

SourceRead SourceFile::open_and_read(const std::string& name, bool refuses_link) {
  path = name;
  // O_NONBLOCK: opening a FIFO that no one writes must not wait; only regular files are read.
  fd = open(name.c_str(),
            O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (refuses_link ? O_NOFOLLOW : 0));
  if (fd < 0) return refuses_link && errno == ELOOP ? SourceRead::kIsLink : SourceRead::kCannotOpen;
  struct stat info;
  if (fstat(fd, &info) != 0) return SourceRead::kCannotOpen;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return SourceRead::kCannotOpen;
  }
  identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  mode = static_cast<uint32_t>(info.st_mode & 07777);
  mtime_s = info.st_mtim.tv_sec;
  mtime_ns = info.st_mtim.tv_nsec;
  if (static_cast<uint64_t>(info.st_size) > kMaxSourceBytes) return SourceRead::kNoMemory;
  try {
    data.resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    return SourceRead::kNoMemory;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t got = read(fd, data.data() + done, data.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // shorter than it was a moment ago: not the file planned
      return SourceRead::kCannotOpen;
    }
    done += static_cast<size_t>(got);
  }
  return SourceRead::kOk;
}

namespace {

// Renames temp to path unless path exists (kExists then): atomically where the system and the
// file system can, else by a hard link, else over an exclusive placeholder of our own.
PutResult rename_no_replace(const std::string& temp, const std::string& path) {
#if defined(__linux__)
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
    return PutResult::kOk;
  if (errno == EEXIST) return PutResult::kExists;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return PutResult::kWriteFailed;
#endif
  if (link(temp.c_str(), path.c_str()) == 0) {
    unlink(temp.c_str());
    return PutResult::kOk;
  }
  if (errno == EEXIST) return PutResult::kExists;
  // No hard links here (a FAT volume): a placeholder made exclusively holds the name for us.
  const int placeholder = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (placeholder < 0) return errno == EEXIST ? PutResult::kExists : PutResult::kWriteFailed;
  close(placeholder);
  if (std::rename(temp.c_str(), path.c_str()) == 0) return PutResult::kOk;
  const KeptError kept;
  unlink(path.c_str());
  return PutResult::kWriteFailed;
}

// The names of the source's extended attributes, each NUL-ended; empty when it has none or the
// file system keeps none.
std::vector<char> xattr_names(int fd) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t bytes = flistxattr(fd, nullptr, 0);
    if (bytes <= 0) return {};
    std::vector<char> names(static_cast<size_t>(bytes));
    const ssize_t got = flistxattr(fd, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<size_t>(got));
      return names;
    }
    if (errno != ERANGE) return {};  // ERANGE: one was added meanwhile, ask again
  }
  return {};
}

// Copies the source's user.* attributes (with copies_acl, its access ACL too) onto fd. A
// destination whose file system keeps no such attributes (an -o folder on a FAT volume) is not a
// failure; any other error is.
bool copy_xattrs(int from, int to, bool copies_user, bool copies_acl) {
  const std::vector<char> names = xattr_names(from);
  std::vector<char> value;
  for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const std::string name(names.data() + at);
    const bool is_acl = name == "system.posix_acl_access";
    if (!(copies_user && name.rfind("user.", 0) == 0) && !(copies_acl && is_acl)) continue;
    const ssize_t bytes = fgetxattr(from, name.c_str(), nullptr, 0);
    if (bytes < 0) continue;  // removed meanwhile
    value.resize(static_cast<size_t>(bytes));
    const ssize_t got = fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0) continue;
    if (fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(got), 0) != 0 &&
        errno != ENOTSUP)
      return false;
  }
  return true;
}

// Gives the temporary file what the options copy from the source.
bool copy_attributes(int fd, const PutOptions& options) {
  const SourceFile* source = options.source;
  if (source == nullptr) return true;
  if (options.copies_mode && fchmod(fd, static_cast<mode_t>(source->mode)) != 0) return false;
  if ((options.copies_xattrs || options.copies_mode) &&
      !copy_xattrs(source->fd, fd, options.copies_xattrs, options.copies_mode))
    return false;
  if (options.copies_time) {
    const struct timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(source->mtime_s), static_cast<long>(source->mtime_ns)}};
    if (futimens(fd, times) != 0) return false;
  }
  return true;
}

}  // namespace

PutResult put_in_place(const std::string& path, const uint8_t* data, size_t size,
                       const PutOptions& options) {
  // --overwrite replaces what a link at the destination names, as before; a link is in the way of
  // a new result, and is never the source read with --replace.
  struct stat info;
  const bool exists = (options.mode == PutMode::kOverwrite ? stat(path.c_str(), &info)
                                                           : lstat(path.c_str(), &info)) == 0;
  if (exists && options.mode == PutMode::kNew) {
    errno = EEXIST;
    return PutResult::kExists;
  }
  if (options.mode == PutMode::kSameSource &&
      (!exists || options.source == nullptr ||
       !(FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)} ==
         options.source->identity))) {
    return PutResult::kChanged;
  }
  // Only a regular file is replaced: renaming over a device, a FIFO or a socket (/dev/null for a
  // caller running as root) would put a regular file in its place.
  if (exists && (!S_ISREG(info.st_mode) || access(path.c_str(), W_OK) != 0))
    return PutResult::kCannotCreate;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = temp_path_for(path);
    // Owner-only until the replaced file's mode is given to it below, so that no one can open a
    // private file's result in between.
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
              exists ? 0600 : static_cast<mode_t>(0600 | (0066 & options.others_mask)));
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return PutResult::kCannotCreate;
  // The result takes the replaced file's permissions and owner.
  bool ok = !exists || take_replaced_mode(fd, info, options.others_mask);
  ok = ok && write_all(fd, data, size);
  ok = ok && copy_attributes(fd, options);
  ok = (close(fd) == 0) && ok;
  PutResult result = ok ? PutResult::kOk : PutResult::kWriteFailed;
  if (ok && options.mode == PutMode::kSameSource) {
    // The last look before the rename: the path still names the file that was read.
    struct stat now;
    if (lstat(path.c_str(), &now) != 0 ||
        !(FileIdentity{static_cast<uint64_t>(now.st_dev), static_cast<uint64_t>(now.st_ino)} ==
          options.source->identity))
      result = PutResult::kChanged;
  }
  if (result == PutResult::kOk) {
    if (options.mode == PutMode::kNew) {
      result = rename_no_replace(temp, path);
    } else if (std::rename(temp.c_str(), path.c_str()) != 0) {
      result = PutResult::kWriteFailed;
    }
  }
  if (result != PutResult::kOk) {
    const KeptError kept;
    unlink(temp.c_str());
  }
  return result;
}

#endif

}  // namespace kestrum::tool
