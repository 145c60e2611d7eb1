// SPDX-License-Identifier: MIT
// One file of a batch, and its outcome record.
#include "recode/file_job.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "common/file_io.h"

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
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return ": it is a folder";
#if defined(_WIN32)
  const DWORD code = GetLastError();
  if (code != 0) return ": " + std::system_category().message(static_cast<int>(code));
#endif
  if (errno != 0) return ": " + std::generic_category().message(errno);
  return "";
}

// Writes data to path through a temporary file; false with error set on failure.
bool write_result(const std::string& path, const uint8_t* data, size_t size, std::string* error, int32_t* status) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    std::filesystem::create_directories(parent, ec);
    if (ec) {
      *status = -14;
      *error = "cannot create the folder " + parent.string() + ": " + ec.message();
      return false;
    }
  }
  clear_system_error();
  switch (write_file_replacing(path.c_str(), data, size)) {
    case WriteResult::kOk:
      return true;
    case WriteResult::kCannotCreate:
      *status = -14;
      *error = "cannot create " + path + system_reason(path);
      return false;
    case WriteResult::kWriteFailed:
      *status = -15;
      *error = "cannot write " + path + system_reason(path);
      return false;
  }
  return false;
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

}  // namespace

FileOutcome run_file_job(const FileJob& job, const RecodeAnyOptions& options, bool skip_larger) {
  FileOutcome o;
  uint8_t* data = nullptr;
  uint32_t size = 0;
  clear_system_error();
  switch (read_whole_file(job.source.c_str(), &data, &size)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kCannotOpen:
      return failed(o, -1, "cannot read " + job.source + system_reason(job.source));
    case ReadResult::kNoMemory:
      return failed(o, -5, "no memory for " + job.source + " (or 2 GiB or more)");
  }
  o.bytes_in = size;
  RecodeAnyResult r = recode_any(data, size, options);
  o.way = static_cast<int32_t>(r.way);
  o.source_quality = r.source_quality;
  o.quality_used = r.quality_used;
  o.note = r.note;
  o.damage = describe_damage(r.damage);
  if (r.damage.bytes_after_eoi > 0) {
    o.note += (o.note.empty() ? "" : "; ") + std::to_string(r.damage.bytes_after_eoi) +
              " bytes after the image's end not carried over";
  }
  o.log = std::move(r.log);
  if (r.way == RecodeWay::kRefused) {
    std::free(data);
    return failed(o, r.status, r.error);
  }
  o.bytes_out = r.stream.size();
  const bool is_kept = skip_larger && o.bytes_out >= o.bytes_in;
  bool is_ok = true;
  if (!is_kept) {
    is_ok = write_result(job.destination, r.stream.data(), r.stream.size(), &o.error, &o.status);
  } else if (job.copies_kept) {
    is_ok = write_result(job.destination, data, size, &o.error, &o.status);
  }
  std::free(data);
  if (!is_ok) return failed(o, o.status, o.error);
  o.outcome = is_kept ? Outcome::kKept : Outcome::kWritten;
  return o;
}

std::string encode_outcome(const FileOutcome& o) {
  return std::string(kRecordTag) + '\t' + std::to_string(static_cast<int32_t>(o.outcome)) + '\t' +
         std::to_string(o.status) + '\t' + std::to_string(o.way) + '\t' + std::to_string(o.source_quality) + '\t' +
         std::to_string(o.quality_used) + '\t' + std::to_string(o.bytes_in) + '\t' + std::to_string(o.bytes_out) +
         '\t' + escape(o.note) + '\t' + escape(o.error) + '\t' + escape(o.damage) + '\t' + escape(o.log);
}

bool decode_outcome(const std::string& line, FileOutcome* o) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (fields.size() != 12 || fields[0] != kRecordTag) return false;
  try {
    const int32_t outcome = std::stoi(fields[1]);
    if (outcome < 0 || outcome > 3) return false;
    o->outcome = static_cast<Outcome>(outcome);
    o->status = std::stoi(fields[2]);
    o->way = std::stoi(fields[3]);
    o->source_quality = std::stoi(fields[4]);
    o->quality_used = std::stoi(fields[5]);
    o->bytes_in = std::stoull(fields[6]);
    o->bytes_out = std::stoull(fields[7]);
  } catch (...) {
    return false;
  }
  o->note = unescape(fields[8]);
  o->error = unescape(fields[9]);
  o->damage = unescape(fields[10]);
  o->log = unescape(fields[11]);
  return true;
}

}  // namespace kestrum::tool
