// SPDX-License-Identifier: MIT
// The file access of a recode, written for both POSIX and Windows: whole-file reads with 64-bit
// sizes, and atomic replacement of a destination through an exclusive temporary file beside it.
#pragma once

#include <cstddef>
#include <cstdint>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace kestrum {

enum class ReadResult { kOk, kCannotOpen, kNoMemory };

// Reads a regular file into a new malloc'd buffer (released with std::free). Files of 2 GiB or
// more count as kNoMemory. A directory, a missing or unreadable file is kCannotOpen.
ReadResult read_whole_file(const char* path, uint8_t** data, uint32_t* size) noexcept;

enum class WriteResult { kOk, kCannotCreate, kWriteFailed };

// Writes data to a unique temporary file in the destination's folder
// ("<name>.kestrum-<pid>-<n>.tmp") and renames it over the destination. kCannotCreate when the
// destination exists but is not a regular file (a folder, a device, a FIFO), is not writable, or no
// temporary file can be made; kWriteFailed when a write, close or rename fails. On failure an
// existing destination is untouched and no temporary file remains.
// On POSIX others_mask holds the group and other permission bits the result may have at most: a
// new destination is made 0600 plus those of 0066 (less the umask), a replaced one keeps its
// mode without the others. A caller writing the recode of a private file passes that file's
// bits, so the result is never more open than it; the default changes nothing.
WriteResult write_file_replacing(const char* path, const uint8_t* data, size_t size,
                                 uint32_t others_mask = 0077) noexcept;

// The same write in steps, for a stream written while it is made: begin makes the temporary file
// (after the same checks, with the same results), append adds bytes to it, and commit renames it
// over the destination. A write not committed (abandoned, or destroyed) removes its temporary
// file, and the destination is untouched.
class ReplacingWrite {
 public:
  ReplacingWrite() = default;
  ~ReplacingWrite() { abandon(); }
  ReplacingWrite(const ReplacingWrite&) = delete;
  ReplacingWrite& operator=(const ReplacingWrite&) = delete;

  WriteResult begin(const char* path, uint32_t others_mask = 0077) noexcept;
  // False when a write fails (the write is then abandoned) or none was begun.
  bool append(const uint8_t* data, size_t size) noexcept;
  // kWriteFailed when the close or the rename fails, or nothing was begun.
  WriteResult commit() noexcept;
  void abandon() noexcept;
  bool is_begun() const noexcept { return temp_ != nullptr; }

 private:
  const char* path_ = nullptr;  // the destination, the caller's
  char* temp_ = nullptr;        // the temporary file's name (malloc'd) while it exists
#if defined(_WIN32)
  void* handle_ = nullptr;  // a HANDLE
#else
  int fd_ = -1;
#endif
};

// The pieces of that write that other writers of whole files share.
#if defined(_WIN32)
// Writes all size bytes to an open file handle (a HANDLE) in pieces of at most 1 GiB. False when
// a write fails.
bool write_all(void* handle, const uint8_t* data, size_t size) noexcept;
// The same, then closes the handle. False when a write or the close fails; the handle is closed
// either way.
bool write_all_and_close(void* handle, const uint8_t* data, size_t size) noexcept;
#else
// Writes all size bytes to an open descriptor, going on after interrupted and partial writes.
// False when a write fails.
bool write_all(int fd, const uint8_t* data, size_t size) noexcept;
// Gives a new file the permissions of the file it replaces (described by replaced), without the
// group and other bits others_mask leaves out, and its owner where we may give it (as root).
bool take_replaced_mode(int fd, const struct stat& replaced, uint32_t others_mask) noexcept;
#endif

}  // namespace kestrum
