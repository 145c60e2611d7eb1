// SPDX-License-Identifier: MIT
// One file of a batch, and its outcome record.
#include "recode/file_job.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "kestrum.h"
#include "platform/file_io.h"
#include "recode/put_in_place.h"
#include "recode/report.h"
#include "recode/worker_process.h"
#include "recode_any/jpeg_segments.h"

namespace kestrum::tool {
namespace {

FileOutcome failed(FileOutcome o, int32_t status, std::string error) {
  o.outcome = Outcome::kFailed;
  o.status = status;
  o.error = std::move(error);
  return o;
}

void clear_system_error() {
  errno = 0;
#if defined(_WIN32)
  SetLastError(0);
#endif
}

// ": <the system's reason>" for the last failed call, or for a folder in the way.
std::string system_reason(const std::string& path) {
  const int error = errno;  // before the checks below set their own
#if defined(_WIN32)
  const DWORD code = GetLastError();
#endif
  std::error_code ec;
  const std::filesystem::file_type type = std::filesystem::status(path, ec).type();
  if (type == std::filesystem::file_type::directory) return ": it is a folder";
  // A device or a FIFO, as a source or as a destination to replace, is refused by the tool's own
  // check, which leaves no reason of the system's.
  if (type != std::filesystem::file_type::regular &&
      type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none)
    return ": it is not a regular file";
#if defined(_WIN32)
  if (code != 0) return ": " + std::system_category().message(static_cast<int>(code));
#endif
  if (error != 0) return ": " + std::generic_category().message(error);
  return "";
}

// Puts data at path through a temporary file as placement allows; false with error set on
// failure (and *is_skipped for a destination that appeared since the plan).
bool write_result(const std::string& path, const uint8_t* data, size_t size,
                  const PutOptions& placement, std::string* error, int32_t* status,
                  bool* is_skipped) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    std::filesystem::create_directories(parent, ec);
    if (ec) {
      *status = KESTRUM_ERR_CREATE_OUTPUT;
      *error = "cannot create the folder " + parent.string() + ": " + ec.message();
      return false;
    }
  }
  clear_system_error();
  switch (put_in_place(path, data, size, placement)) {
    case PutResult::kOk:
      return true;
    case PutResult::kExists:
      *is_skipped = true;
      *error = "exists; --overwrite replaces it";
      return false;
    case PutResult::kChanged:
      *status = KESTRUM_OK;
      *error =
          "changed during the recode (" + path + " is no longer the file read); nothing replaced";
      return false;
    case PutResult::kCannotCreate:
      *status = KESTRUM_ERR_CREATE_OUTPUT;
      *error = "cannot create " + path + system_reason(path);
      return false;
    case PutResult::kWriteFailed:
      *status = KESTRUM_ERR_WRITE_OUTPUT;
      *error = "cannot write " + path + system_reason(path);
      return false;
  }
  return false;
}

// The process id of a temporary file's name "<name>.kestrum-<pid>-<n>.tmp" with its name, or 0.
uint32_t temp_owner(const std::string& file_name, std::string* name) {
  const std::string tag = ".kestrum-";
  const std::string suffix = ".tmp";
  const size_t at = file_name.rfind(tag);
  if (at == std::string::npos || at == 0 || file_name.size() < at + tag.size() + suffix.size() ||
      file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string numbers =
      file_name.substr(at + tag.size(), file_name.size() - suffix.size() - at - tag.size());
  const size_t dash = numbers.find('-');
  if (dash == std::string::npos || dash == 0 || dash > 10 || dash + 1 == numbers.size() ||
      numbers.find_first_not_of("0123456789-") != std::string::npos ||
      numbers.find('-', dash + 1) != std::string::npos) {
    return 0;
  }
  *name = file_name.substr(0, at);
  const unsigned long long value = std::stoull(numbers.substr(0, dash));
  return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

// A file this user owns: a run cleans up only after runs of its own user.
bool is_own_file(const std::filesystem::path& path) {
#if defined(_WIN32)
  (void)path;
  return true;
#else
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && info.st_uid == geteuid();
#endif
}

}  // namespace

void pause_for_test(const char* point, const std::string& path) {
#if defined(_WIN32)
  (void)point;
  (void)path;
#else
  const char* hook = std::getenv("KESTRUM_TEST_PAUSE");
  if (hook == nullptr) return;
  const std::string text(hook);
  const size_t first = text.find(':');
  const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos || text.compare(0, first, point) != 0 ||
      std::filesystem::path(path).filename() != text.substr(first + 1, second - first - 1))
    return;
  const int fd = open(text.c_str() + second + 1, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char byte = 0;
  for (ssize_t got = 1; got != 0;) {
    got = read(fd, &byte, 1);
    if (got < 0 && errno != EINTR) break;
  }
  close(fd);
#endif
}

bool has_jpeg_extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".jpg" || ext == ".jpeg" || ext == ".jpe" || ext == ".jfif";
}

std::string bounded_log(const std::string& log) {
  if (log.size() <= kMaxKeptLogBytes) return log;
  size_t cut = log.rfind('\n', kMaxKeptLogBytes);
  cut = cut == std::string::npos ? kMaxKeptLogBytes : cut + 1;
  const size_t lines_left_out =
      static_cast<size_t>(
          std::count(log.begin() + static_cast<std::ptrdiff_t>(cut), log.end(), '\n')) +
      (log.back() != '\n' ? 1 : 0);
  return log.substr(0, cut) + "[" + std::to_string(lines_left_out) + " more lines left out]\n";
}

void remove_worker_temps(const std::string& destination, uint32_t pid) {
  namespace fs = std::filesystem;
  const fs::path path(destination);
  const std::string file_name = path.filename().string();
  std::error_code ec;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    // The temporary name holds the destination's name, shortened where it is very long.
    std::string owner_name;
    if (temp_owner(it->path().filename().string(), &owner_name) == pid &&
        file_name.compare(0, owner_name.size(), owner_name) == 0) {
      std::error_code remove_ec;
      fs::remove(it->path(), remove_ec);
    }
  }
}

size_t remove_stale_temps(const std::string& folder) {
  namespace fs = std::filesystem;
  size_t removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name;
    const std::string file_name = it->path().filename().string();
    const uint32_t pid = temp_owner(file_name, &name);
    std::error_code type_ec;
    // A temporary name at the 255-byte limit holds a shortened name, its extension cut off.
    const bool is_shortened = file_name.size() == 255;
    if (pid == 0 || !(has_jpeg_extension(name) || is_shortened) || !it->is_regular_file(type_ec) ||
        process_exists(pid) || !is_own_file(it->path()))
      continue;
    std::error_code remove_ec;
    if (fs::remove(it->path(), remove_ec)) ++removed;
  }
  return removed;
}

namespace {

// Why the source is kept without a recode, read from its header (and size): samples of more than
// 8 bits, a quality at or below Q, or with -S a file that already fits. Empty when it is recoded.
std::string kept_before_recode(const JpegHeader& header, bool is_parsed, size_t size,
                               const RecodePolicy& p) {
  if (!is_parsed) return "";
  if (header.frame.precision_bits > 8)
    return std::to_string(header.frame.precision_bits) + "-bit samples are not recoded";
  if (p.is_relative) return "";
  const int32_t estimate = estimate_header_quality(header);
  const bool is_at_or_below = estimate > 0 && estimate <= p.quality;
  if (!p.size.is_set())
    return is_at_or_below ? "already q" + std::to_string(estimate) : std::string();
  const uint64_t target = p.size.for_source(size);
  if (size <= target && (estimate == 0 || is_at_or_below))
    return "already " + format_bytes(size) + ", within " + format_bytes(target);
  return "";
}

void add_note(RecodeAnyResult* r, const std::string& text) {
  r->note += (r->note.empty() ? "" : "; ") + text;
}

// -S: the highest quality at or below top whose result fits target, by bisection over whole
// recodes (sizes grow with the quality, near enough); the smallest tried when none fits.
RecodeAnyResult recode_to_fit(const uint8_t* data, size_t size, RecodeAnyOptions options,
                              int32_t top, uint64_t target) {
  auto attempt = [&](int32_t quality) {
    options.target_quality = quality;
    return recode_any(data, size, options);
  };
  const auto fits = [&](const RecodeAnyResult& r) { return r.stream.size() <= target; };
  RecodeAnyResult best = attempt(top);
  if (best.way == RecodeWay::kRefused || fits(best)) {
    if (best.way != RecodeWay::kRefused) add_note(&best, "fits " + format_bytes(target));
    return best;
  }
  bool has_fit = false;
  for (int32_t low = 1, high = top - 1; low <= high;) {
    const int32_t mid = low + (high - low) / 2;
    RecodeAnyResult r = attempt(mid);
    if (r.way == RecodeWay::kRefused) break;
    if (fits(r)) {
      low = mid + 1;
      best = std::move(r);
      has_fit = true;
    } else {
      high = mid - 1;
      if (!has_fit && r.stream.size() < best.stream.size()) best = std::move(r);
    }
  }
  add_note(&best, has_fit ? "fits " + format_bytes(target)
                          : "larger than " + format_bytes(target) + " even at q" +
                                std::to_string(best.quality_used));
  return best;
}

}  // namespace

RecodePolicy policy_of(const Options& o) {
  RecodePolicy p;
  p.recode.strict = o.strict;
  p.recode.exact = o.exact || o.relative;  // the library's rule with the library's tables
  p.recode.keep_metadata = !o.strip;
  p.quality = o.quality;
  p.is_relative = o.relative;
  p.size = o.size;
  p.allows_larger = o.allow_larger;
  return p;
}

PolicyResult recode_by_policy(const uint8_t* data, size_t size, const RecodePolicy& p) {
  PolicyResult out;
  JpegHeader header;
  const bool is_parsed = parse_header(data, size, &header);
  out.kept = kept_before_recode(header, is_parsed, size, p);
  if (!out.kept.empty()) {
    out.result.source_quality = is_parsed ? estimate_header_quality(header) : 0;
    return out;
  }
  RecodeAnyOptions options = p.recode;
  if (p.is_relative) {
    options.quality = p.quality;
    out.result = recode_any(data, size, options);
  } else if (p.size.is_set()) {
    const int32_t estimate = is_parsed ? estimate_header_quality(header) : 0;
    const int32_t top = estimate > 0 ? std::min(p.quality, estimate) : p.quality;
    out.result = recode_to_fit(data, size, options, top, p.size.for_source(size));
  } else {
    // Above Q (kept_before_recode keeps the rest): at exactly Q.
    options.target_quality = p.quality;
    out.result = recode_any(data, size, options);
  }
  if (out.result.way != RecodeWay::kRefused && !p.allows_larger && out.result.stream.size() >= size)
    out.kept = "the recode is not smaller";
  return out;
}

FileOutcome outcome_of(const PolicyResult& pr, const uint8_t* data, size_t size,
                       bool keeps_metadata, std::string* left_out_text) {
  const RecodeAnyResult& r = pr.result;
  FileOutcome o;
  o.bytes_in = size;
  o.source_quality = r.source_quality;
  o.log = bounded_log(r.log);
  if (!pr.kept.empty() && r.stream.empty()) {
    o.outcome = Outcome::kKept;
    o.error = pr.kept;
    o.bytes_out = size;
    return o;
  }
  o.way = static_cast<int32_t>(r.way);
  o.quality_used = r.quality_used;
  o.note = r.note;
  o.damage = describe_damage(r.damage);
  if (r.damage.bytes_after_eoi > 0) {
    o.note += (o.note.empty() ? "" : "; ") + std::to_string(r.damage.bytes_after_eoi) +
              " bytes after the image's end not carried over";
  }
  if (r.way == RecodeWay::kRefused) return failed(o, r.status, r.error);
  const std::string left_out = keeps_metadata ? segments_left_out_text(data, size) : "";
  if (!left_out.empty()) o.note += (o.note.empty() ? "" : "; ") + left_out;
  if (left_out_text != nullptr) *left_out_text = left_out;
  o.bytes_out = r.stream.size();
  o.outcome = pr.kept.empty() ? Outcome::kWritten : Outcome::kKept;
  o.error = pr.kept;
  return o;
}

FileOutcome run_file_job(const FileJob& job, const RecodePolicy& policy) {
  FileOutcome o;
  pause_for_test("before-read", job.source);
  // --replace reads the file it will replace, the link the plan resolved not followed again.
  const std::string& read_path = job.replaces_source ? job.destination : job.source;
  SourceFile source;
  clear_system_error();
  switch (source.open_and_read(read_path, job.replaces_source)) {
    case SourceRead::kOk:
      break;
    case SourceRead::kIsLink:
      return failed(
          o, KESTRUM_OK,
          "changed during the recode (" + read_path + " is a symbolic link now); nothing replaced");
    case SourceRead::kCannotOpen:
      return failed(o, KESTRUM_ERR_SOURCE, "cannot read " + read_path + system_reason(read_path));
    case SourceRead::kNoMemory:
      return failed(o, KESTRUM_ERR_SOURCE_MEMORY,
                    "no memory for " + read_path + " (or 2 GiB or more)");
  }
  const uint8_t* data = source.data.data();
  const size_t size = source.data.size();
  const PolicyResult pr = recode_by_policy(data, size, policy);
  const RecodeAnyResult& r = pr.result;
  std::string left_out;
  o = outcome_of(pr, data, size, policy.recode.keep_metadata, &left_out);
  if (o.outcome == Outcome::kFailed) return o;
  const bool is_kept = o.outcome == Outcome::kKept;
  // --replace writes over the source: never with a recode that lost part of it.
  if (job.replaces_source && !is_kept &&
      (!o.damage.empty() || r.damage.bytes_after_eoi > 0 || r.damage.is_end_unknown ||
       !left_out.empty())) {
    const std::string why =
        !o.damage.empty() ? "the source is damaged (" + o.damage + ")"
        : r.damage.bytes_after_eoi > 0
            ? std::to_string(r.damage.bytes_after_eoi) +
                  " bytes after the image's end (a motion photo's video, say) would be lost"
        : r.damage.is_end_unknown
            ? "its header could not be walked, so its metadata and whatever follows the image "
              "would be lost"
            : "segments it carries would be lost (" + left_out + ")";
    return failed(
        o, KESTRUM_OK,
        why + "; not replaced, the original is kept (-o DIR writes the recode elsewhere)");
  }
  PutOptions placement;
  placement.mode = job.replaces_source ? PutMode::kSameSource
                   : job.overwrites    ? PutMode::kOverwrite
                                       : PutMode::kNew;
  // A result, new or replacing an earlier one, is no more open to others than its source (a
  // private 0600 photo gives a 0600 result, as cp makes its copies).
  placement.others_mask = source.mode & 0077u;
  placement.source = &source;
  placement.copies_time = job.preserves;
  placement.copies_mode = job.preserves_mode;
  placement.copies_xattrs = job.preserves;
  bool is_ok = true, is_skipped = false;
  std::string error;
  int32_t status = o.status;
  pause_for_test("before-put", job.source);
  if (!is_kept) {
    is_ok = write_result(job.destination, r.stream.data(), r.stream.size(), placement, &error,
                         &status, &is_skipped);
  } else if (job.copies_kept) {
    is_ok = write_result(job.destination, data, size, placement, &error, &status, &is_skipped);
  }
  if (is_skipped) {
    o.outcome = Outcome::kSkipped;
    o.error = error;
    o.bytes_out = 0;
    return o;
  }
  if (!is_ok) return failed(o, status, error);
  return o;
}

std::string segments_left_out_text(const uint8_t* data, size_t size) {
  JpegHeader header;
  if (!parse_header(data, size, &header)) return "";
  std::string text;
  for (const std::string& name : segments_left_out(data, size, header))
    text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? text : text + " left out";
}

// The way a file would take, from its header alone (the library may still refuse a 4:2:0 file
// whose metadata its marker rules misread; that file is then read past its metadata). A recode
// that turns out no smaller is kept too, which only the recode can tell.
std::string planned_way(const std::string& source, const RecodePolicy& policy) {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  if (read_whole_file(source.c_str(), &data, &size) != ReadResult::kOk)
    return "would fail: cannot read it";
  JpegHeader header;
  const bool is_parsed = parse_header(data, size, &header);
  std::free(data);
  if (!is_parsed) return "would fail: not a well-formed JPEG";
  const std::string kept = kept_before_recode(header, true, size, policy);
  if (!kept.empty()) return "would be kept: " + kept;
  if (header.frame.components == 4) {
    const char* space = header.frame.adobe_transform == 2 ? "YCCK" : "CMYK";
    return recode_any_has_libjpeg() ? std::string("converted (") + space + ")"
                                    : std::string("would fail: ") + space + " needs libjpeg";
  }
  if (is_library_layout(header.frame) && !header.has_wide_quant && !is_rgb_coded(header.frame))
    return "the library's recode";
  const std::string layout = layout_name(header.frame);
  if (!recode_any_has_libjpeg()) return "would fail: " + layout + " needs libjpeg";
  std::string what = is_rgb_coded(header.frame) ? "RGB" : "";
  if (layout != "4:2:0") what += (what.empty() ? "" : ", ") + layout + " \u2192 4:2:0";
  return what.empty() ? "converted" : "converted (" + what + ")";
}

}  // namespace kestrum::tool
