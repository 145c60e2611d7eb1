// SPDX-License-Identifier: MIT
// POSIX and Windows implementations of the whole-file read and the atomic replacing write.
#include "platform/file_io.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/heap.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Built with 64-bit file offsets (the build sets _FILE_OFFSET_BITS=64): with 32-bit ones fstat
// fails with EOVERFLOW on file systems whose inode numbers are wider.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");
#endif

namespace kestrum {
namespace {

constexpr uint64_t kMaxSourceBytes = 0x7FFFFFFF;
std::atomic<uint32_t> g_temp_counter{0};

#if defined(_WIN32)
uint32_t process_id() { return static_cast<uint32_t>(GetCurrentProcessId()); }
#else
uint32_t process_id() { return static_cast<uint32_t>(getpid()); }
#endif

// "<destination>.kestrum-<pid>-<n>.tmp": in the destination's folder, unique within this process
// and among processes, and named so that a tool cleaning up after a killed run can tell it from
// a user's own file. Where the destination's file name is so long that the temporary name would
// pass the file systems' 255-byte limit on a name, the file name is shortened for it.
// Writes the name into temp, which holds strlen(path) + kTempSuffixBytes bytes.
constexpr size_t kTempSuffixBytes = 48;
constexpr size_t kMaxNameBytes = 255;
#if defined(_WIN32)
bool is_separator(char c) { return c == '/' || c == '\\' || c == ':'; }
#else
bool is_separator(char c) { return c == '/'; }
#endif
void make_temp_name(const char* path, char* temp, size_t temp_bytes) {
  char suffix[kTempSuffixBytes];
  std::snprintf(suffix, sizeof suffix, ".kestrum-%lu-%lu.tmp",
                static_cast<unsigned long>(process_id()),
                static_cast<unsigned long>(g_temp_counter.fetch_add(1)));
  const size_t path_bytes = std::strlen(path);
  size_t name_start = path_bytes;
  while (name_start > 0 && !is_separator(path[name_start - 1])) --name_start;
  const size_t name_bytes = path_bytes - name_start;
  const size_t suffix_bytes = std::strlen(suffix);
  const size_t kept =
      name_bytes + suffix_bytes > kMaxNameBytes ? kMaxNameBytes - suffix_bytes : name_bytes;
  std::snprintf(temp, temp_bytes, "%.*s%s", static_cast<int>(name_start + kept), path, suffix);
}

// The temporary name's storage, released on every path.
struct TempName {
  explicit TempName(const char* path)
      : bytes(std::strlen(path) + kTempSuffixBytes), text(static_cast<char*>(std::malloc(bytes))) {}
  ~TempName() { std::free(text); }
  // Hands the name's storage over (to be released with std::free).
  char* release() {
    char* taken = text;
    text = nullptr;
    return taken;
  }
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  size_t bytes;
  char* text;
};

}  // namespace

#if defined(_WIN32)

ReadResult read_whole_file(const char* path, uint8_t** data, uint32_t* size) noexcept {
  if (path == nullptr) return ReadResult::kCannotOpen;
  HANDLE file = CreateFileA(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ReadResult::kCannotOpen;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length) || GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return ReadResult::kCannotOpen;
  }
  if (static_cast<uint64_t>(length.QuadPart) > kMaxSourceBytes) {
    CloseHandle(file);
    return ReadResult::kNoMemory;
  }
  const uint32_t bytes = static_cast<uint32_t>(length.QuadPart);
  uint8_t* buffer = static_cast<uint8_t*>(heap_malloc(bytes));
  if (buffer == nullptr) {
    CloseHandle(file);
    return ReadResult::kNoMemory;
  }
  uint32_t done = 0;
  while (done < bytes) {
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, bytes - done, &got, nullptr) || got == 0) break;
    done += got;
  }
  CloseHandle(file);
  if (done != bytes) {
    heap_free(buffer);
    return ReadResult::kCannotOpen;
  }
  *data = buffer;
  *size = bytes;
  return ReadResult::kOk;
}

bool write_all(void* handle, const uint8_t* data, size_t size) noexcept {
  bool ok = true;
  size_t done = 0;
  while (ok && done < size) {
    const DWORD chunk = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
    DWORD wrote = 0;
    ok = WriteFile(handle, data + done, chunk, &wrote, nullptr) && wrote == chunk;
    done += wrote;
  }
  return ok;
}

bool write_all_and_close(void* handle, const uint8_t* data, size_t size) noexcept {
  const bool ok = write_all(handle, data, size);
  return (CloseHandle(handle) != 0) && ok;
}

WriteResult ReplacingWrite::begin(const char* path, uint32_t others_mask) noexcept {
  (void)others_mask;  // Windows files take their folder's access rules
  abandon();
  if (path == nullptr || path[0] == '\0') return WriteResult::kCannotCreate;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return WriteResult::kCannotCreate;
  }
  TempName temp(path);
  if (temp.text == nullptr) return WriteResult::kCannotCreate;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    make_temp_name(path, temp.text, temp.bytes);
    file = CreateFileA(temp.text, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) return WriteResult::kCannotCreate;
  path_ = path;
  temp_ = temp.release();
  handle_ = file;
  return WriteResult::kOk;
}

bool ReplacingWrite::append(const uint8_t* data, size_t size) noexcept {
  if (temp_ == nullptr) return false;
  if (write_all(handle_, data, size)) return true;
  abandon();
  return false;
}

WriteResult ReplacingWrite::commit() noexcept {
  if (temp_ == nullptr) return WriteResult::kWriteFailed;
  const bool closed = CloseHandle(handle_) != 0;
  handle_ = nullptr;
  if (!closed ||
      MoveFileExA(temp_, path_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    abandon();
    return WriteResult::kWriteFailed;
  }
  std::free(temp_);
  temp_ = nullptr;
  return WriteResult::kOk;
}

void ReplacingWrite::abandon() noexcept {
  if (temp_ == nullptr) return;
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
  DeleteFileA(temp_);
  std::free(temp_);
  temp_ = nullptr;
}

#else

ReadResult read_whole_file(const char* path, uint8_t** data, uint32_t* size) noexcept {
  if (path == nullptr) return ReadResult::kCannotOpen;
  // O_NONBLOCK: opening a FIFO that no one writes must not wait; only regular files are read.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return ReadResult::kCannotOpen;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return ReadResult::kCannotOpen;
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxSourceBytes) {
    close(fd);
    return ReadResult::kNoMemory;
  }
  const uint32_t bytes = static_cast<uint32_t>(info.st_size);
  uint8_t* buffer = static_cast<uint8_t*>(heap_malloc(bytes));
  if (buffer == nullptr) {
    close(fd);
    return ReadResult::kNoMemory;
  }
  uint32_t done = 0;
  while (done < bytes) {
    const ssize_t got = read(fd, buffer + done, bytes - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
  }
  close(fd);
  if (done != bytes) {
    heap_free(buffer);
    return ReadResult::kCannotOpen;
  }
  *data = buffer;
  *size = bytes;
  return ReadResult::kOk;
}

bool write_all(int fd, const uint8_t* data, size_t size) noexcept {
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool take_replaced_mode(int fd, const struct stat& replaced, uint32_t others_mask) noexcept {
  // No more open to others than the mask allows; the owner only where we may give it.
  if (geteuid() == 0 && fchown(fd, replaced.st_uid, replaced.st_gid) != 0) return false;
  return fchmod(fd, replaced.st_mode & (07700 | (others_mask & 0077))) == 0;
}

WriteResult ReplacingWrite::begin(const char* path, uint32_t others_mask) noexcept {
  abandon();
  if (path == nullptr || path[0] == '\0') return WriteResult::kCannotCreate;
  struct stat info;
  const bool is_replacing = stat(path, &info) == 0;
  // Only a regular file is replaced: renaming over a device, a FIFO or a socket (/dev/null for a
  // caller running as root) would put a regular file in its place.
  if (is_replacing && (!S_ISREG(info.st_mode) || access(path, W_OK) != 0)) {
    return WriteResult::kCannotCreate;
  }
  TempName temp(path);
  if (temp.text == nullptr) return WriteResult::kCannotCreate;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    make_temp_name(path, temp.text, temp.bytes);
    // Owner-only until the replaced file's mode is given to it below, so that no one can open a
    // private file's result in between.
    fd = open(temp.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
              is_replacing ? 0600 : static_cast<mode_t>(0600 | (0066 & others_mask)));
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return WriteResult::kCannotCreate;
  path_ = path;
  temp_ = temp.release();
  fd_ = fd;
  if (is_replacing && !take_replaced_mode(fd, info, others_mask)) {
    abandon();
    return WriteResult::kWriteFailed;
  }
  return WriteResult::kOk;
}

bool ReplacingWrite::append(const uint8_t* data, size_t size) noexcept {
  if (temp_ == nullptr) return false;
  if (write_all(fd_, data, size)) return true;
  abandon();
  return false;
}

WriteResult ReplacingWrite::commit() noexcept {
  if (temp_ == nullptr) return WriteResult::kWriteFailed;
  const bool closed = close(fd_) == 0;
  fd_ = -1;
  if (!closed || std::rename(temp_, path_) != 0) {
    abandon();
    return WriteResult::kWriteFailed;
  }
  std::free(temp_);
  temp_ = nullptr;
  return WriteResult::kOk;
}

void ReplacingWrite::abandon() noexcept {
  if (temp_ == nullptr) return;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  unlink(temp_);
  std::free(temp_);
  temp_ = nullptr;
}

#endif

WriteResult write_file_replacing(const char* path, const uint8_t* data, size_t size,
                                 uint32_t others_mask) noexcept {
  ReplacingWrite write;
  const WriteResult begun = write.begin(path, others_mask);
  if (begun != WriteResult::kOk) return begun;
  if (!write.append(data, size)) return WriteResult::kWriteFailed;
  return write.commit();
}

}  // namespace kestrum
