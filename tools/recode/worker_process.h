// SPDX-License-Identifier: MIT
// Worker processes: the tool runs itself with --worker for one file and reads back the one
// record line it prints (the wire format below). posix_spawn on POSIX systems, CreateProcess on
// Windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recode/file_job.h"
#include "recode/options.h"

namespace kestrum::tool {

// The path of the running program (for starting workers); argv0 when it cannot be found.
std::string self_path(const char* argv0);

// Runs program with args, standard output captured into *output (at most max_output bytes; the
// rest is read and dropped), standard error inherited. *pid receives the process id (0 when it
// did not start). The process ends with the tool: on Linux it is killed when the tool dies, on
// Windows it runs in a job object that closes with the tool. Returns the exit status, 128 + the
// signal that ended it, or -1 when the process could not be started (error says why).
int run_captured(const std::string& program, const std::vector<std::string>& args,
                 size_t max_output, std::string* output, std::string* error, uint32_t* pid);

// Ends every worker that runs now and refuses to start more. Safe in a signal handler (POSIX)
// and in a console control handler (Windows).
void stop_workers() noexcept;

// In a worker: asks the system to kill this process when its parent (parent_pid) dies, and says
// false when the parent is already gone. Always true where the system has no such request.
bool end_with_parent(uint32_t parent_pid) noexcept;

// The id of this process.
uint32_t current_process_id() noexcept;

// True when a process with this id runs (or may run: the answer errs towards true).
bool process_exists(uint32_t pid) noexcept;

// One argument quoted for a Windows command line (CommandLineToArgvW rules).
std::string quote_windows_arg(const std::string& arg);

// The outcome as one line (tab-separated, with tabs, line breaks and backslashes escaped) and back.
std::string encode_outcome(const FileOutcome& outcome);
bool decode_outcome(const std::string& line, FileOutcome* outcome);

// Marks the record line in a worker's output.
inline constexpr const char* kRecordTag = "kestrum-recode-result";

// Runs job in a worker process (this program, self, with --worker and options) and reads its
// record back; size_bytes is the source's size for a worker that gave none. *is_unfinished says
// that the worker gave no record because it was stopped (interrupted was set meanwhile).
FileOutcome run_in_worker(const std::string& self, const Options& options, const FileJob& job,
                          uint64_t size_bytes, const std::atomic<bool>& interrupted,
                          bool* is_unfinished);

// The worker's side (--worker): one file, one record on standard output; the exit status.
int run_worker(const Options& options);

}  // namespace kestrum::tool
