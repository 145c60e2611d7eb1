// SPDX-License-Identifier: MIT
// A source read through one descriptor (so that the file read is the file a result may replace),
// and a result put at its destination through a temporary file beside it: never over a file that
// appeared since the plan, and with --replace only over the very file that was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::tool {

// Which file a path names: device and inode (on Windows the volume and the file index).
struct FileIdentity {
  uint64_t device = 0, inode = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

enum class SourceRead { kOk, kCannotOpen, kNoMemory, kIsLink };

// A regular file opened once and read whole; the descriptor stays open for its attributes.
class SourceFile {
 public:
  SourceFile() = default;
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Opens path (with refuses_link, not through a symbolic link as its last component: kIsLink)
  // and reads it into data. Files of 2 GiB or more are kNoMemory. errno (on Windows the last
  // error) holds the system's reason of kCannotOpen.
  SourceRead open_and_read(const std::string& path, bool refuses_link);

  std::vector<uint8_t> data;
  FileIdentity identity;
  uint32_t mode = 0;    // permission bits (07777)
  int64_t mtime_s = 0;  // modification time: seconds and nanoseconds since 1970 (POSIX)
  int64_t mtime_ns = 0;
  std::string path;  // as opened
#if defined(_WIN32)
  mutable void* handle = nullptr;  // closed before the file is replaced (Windows keeps it in use)
#else
  int fd = -1;
#endif
};

// How the result meets what is at its destination when it is put in place.
enum class PutMode {
  kNew,         // only where nothing is: a file that appeared since the plan is kept (kExists)
  kOverwrite,   // over the regular file there (--overwrite)
  kSameSource,  // over the source read, and only while the path still names it (kChanged)
};

struct PutOptions {
  PutMode mode = PutMode::kNew;
  uint32_t others_mask = 0077;         // group and other bits the result may have at most (POSIX)
  const SourceFile* source = nullptr;  // the file read: kSameSource's check, and the copies below
  bool copies_time = false;            // the source's modification time
  bool copies_mode = false;            // its permissions (and its access ACL)
  bool copies_xattrs = false;          // its extended attributes in user.* (POSIX)
};

enum class PutResult { kOk, kExists, kChanged, kCannotCreate, kWriteFailed };

// Writes data to "<path>.kestrum-<pid>-<n>.tmp" beside path, gives it what options copy, and
// renames it to path as options.mode allows. On any result but kOk path is as it was and no
// temporary file remains; errno (on Windows the last error) holds the system's reason.
PutResult put_in_place(const std::string& path, const uint8_t* data, size_t size,
                       const PutOptions& options);

}  // namespace kestrum::tool
