// SPDX-License-Identifier: MIT
// One file of a batch: read, recode_any, keep or write the result, and the one-line record in
// which a worker process hands the outcome back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kestrum/recode_any.h"
#include "recode/options.h"

namespace kestrum::tool {

struct FileJob {
  std::string source;            // path of the JPEG
  std::string destination;       // path of the result
  bool copies_kept = false;      // copy the source to destination when it is kept (-o)
  bool preserves = false;        // -p: the source's modification time and user.* attributes
  bool preserves_mode = false;   // and its permissions and access ACL (when it replaces it)
  bool replaces_source = false;  // --replace: destination is the source (through any link)
  bool overwrites = false;       // --overwrite: a destination that exists is replaced
};

// kSkipped: the destination exists and --overwrite was not given (decided by the plan, or found
// when the result is put in place).
enum class Outcome : int32_t { kWritten = 0, kKept = 1, kFailed = 2, kSkipped = 3 };

struct FileOutcome {
  Outcome outcome = Outcome::kFailed;
  int32_t status = 0;                    // library status of the failing step (0 unless failed)
  int32_t way = 0;                       // RecodeWay of the recode, 0 when the file was not read
  int32_t source_quality = 0;            // estimated quality of the source, 0 when unknown
  int32_t quality_used = 0;              // quality the result was encoded at, 0 when not recoded
  uint64_t bytes_in = 0, bytes_out = 0;  // sizes of the source and of the result (kept: the source)
  std::string note;    // the way's note ("read past its metadata", "4:2:2 → 4:2:0")
  std::string error;   // why it failed, was skipped or was kept
  std::string damage;  // what the decode met in a damaged source, empty when sound
  std::string log;     // the library's console log
};

// How the tool picks a file's quality and which sources it keeps as they are.
struct RecodePolicy {
  RecodeAnyOptions recode;     // strict, exact and keep_metadata; the quality is set per file
  int32_t quality = 85;        // Q: a source above it is recoded at it, one at or below it kept
  bool is_relative = false;    // the library's rule instead: Q lowered by the source's distance
  SizeTarget size;             // the highest quality at or below Q whose result fits this
  bool allows_larger = false;  // a result not smaller than its source is still written
};

RecodePolicy policy_of(const Options& options);

// What the policy makes of one source: a recode to write, or why the source is kept as it is.
struct PolicyResult {
  RecodeAnyResult result;  // way kRefused and no stream when no recode was made
  std::string kept;        // "already q75", "the recode is not smaller", ...; empty: write it
};
PolicyResult recode_by_policy(const uint8_t* data, size_t size, const RecodePolicy& policy);

// The outcome of that result for the source data[0, size) (written, kept or failed), its note
// naming the metadata segments that could not be carried over when keeps_metadata; *left_out
// (when given) receives that text alone, empty when every segment is carried or none was asked.
FileOutcome outcome_of(const PolicyResult& result, const uint8_t* data, size_t size,
                       bool keeps_metadata, std::string* left_out = nullptr);

// Recodes job.source by policy into job.destination, writing it atomically: a destination that
// appeared since the plan is kept (kSkipped) unless job.overwrites; with job.replaces_source the
// file read is job.destination itself (not through a link), and it is replaced only while that
// path still names it. A kept source is copied to the destination when job.copies_kept.
FileOutcome run_file_job(const FileJob& job, const RecodePolicy& policy);

// The source's segments that a recode with metadata kept cannot carry over ("MPF (APP2), COM
// after the first scan left out"), or an empty text when it carries every one.
std::string segments_left_out_text(const uint8_t* data, size_t size);

// The tests' hold on the tool at one point, to drive a race with the world deterministically:
// KESTRUM_TEST_PAUSE="<point>:<name>:<FIFO>" makes the job of the file (or the walk of the folder)
// of that name wait at that point ("before-read", "before-put", "planning") until the test has
// opened the FIFO and closed it again. Unset in every real run; POSIX only.
void pause_for_test(const char* point, const std::string& path);

// True for names ending in .jpg, .jpeg, .jpe or .jfif, in any case.
bool has_jpeg_extension(const std::string& name);

// The library's console log kept for one file: about this many bytes, then the count of the
// lines left out.
inline constexpr size_t kMaxKeptLogBytes = 256 * 1024;

// log cut to kMaxKeptLogBytes at a line's end, with "[N more lines left out]" when cut.
std::string bounded_log(const std::string& log);

// Removes the temporary files ("<destination>.kestrum-<pid>-<n>.tmp") that a worker with this
// process id left beside destination when it was stopped.
void remove_worker_temps(const std::string& destination, uint32_t pid);

// Removes from folder the temporary files of the library's writes ("<name>.kestrum-<pid>-<n>.tmp",
// name a JPEG name) that this user owns and whose process no longer runs: what a killed run left.
// Returns how many went.
size_t remove_stale_temps(const std::string& folder);

// The way source would take, read from its header alone ("the library's recode", "converted
// (4:2:2 → 4:2:0)", "would be kept: already q75", or "would fail: " and why), for --dry-run.
std::string planned_way(const std::string& source, const RecodePolicy& policy);

}  // namespace kestrum::tool
