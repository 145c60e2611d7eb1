// SPDX-License-Identifier: MIT
// Starting a worker with its standard output on a pipe, and reading the pipe to its end.
#include "recode/worker_process.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
extern char** environ;
#endif

namespace kestrum::tool {
namespace {

constexpr size_t kWorkerSlots = 256;  // at most -j 256 workers run at once
std::atomic<bool> g_stopping{false};

void append_bounded(std::string* output, const char* data, size_t size, size_t max_output) {
  if (output->size() < max_output)
    output->append(data, std::min(size, max_output - output->size()));
}

}  // namespace

std::string quote_windows_arg(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless they precede a quote: then each is doubled and the quote
    // escaped.
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');  // before the closing quote
  return out + "\"";
}

#if defined(_WIN32)

std::string self_path(const char* argv0) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  return n > 0 && n < sizeof(buffer) ? std::string(buffer, n) : std::string(argv0);
}

namespace {

std::mutex g_workers_mutex;
HANDLE g_workers[kWorkerSlots] = {};

// The job object every worker runs in: closing its last handle (when the tool ends, however it
// ends) kills them.
HANDLE worker_job() {
  static HANDLE job = [] {
    HANDLE j = CreateJobObjectA(nullptr, nullptr);
    if (j != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    return j;
  }();
  return job;
}

}  // namespace

void stop_workers() noexcept {
  g_stopping = true;
  std::lock_guard<std::mutex> lock(g_workers_mutex);
  for (HANDLE& process : g_workers) {
    if (process != nullptr) TerminateProcess(process, 130);
  }
}

bool end_with_parent(uint32_t) noexcept { return true; }  // the job object does it

uint32_t current_process_id() noexcept { return static_cast<uint32_t>(GetCurrentProcessId()); }

bool process_exists(uint32_t pid) noexcept {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool is_running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return is_running;
}

int run_captured(const std::string& program, const std::vector<std::string>& args,
                 size_t max_output, std::string* output, std::string* error, uint32_t* pid) {
  *pid = 0;
  if (g_stopping) {
    *error = "stopped";
    return -1;
  }
  // Inheritable pipe ends must not leak into a worker that another thread starts at the same
  // moment (its pipe would then not close), so pipe creation and start are serialised.
  static std::mutex start_mutex;
  std::string command = quote_windows_arg(program);
  for (const std::string& a : args) {
    command += ' ';
    command += quote_windows_arg(a);
  }
  HANDLE read_end = nullptr;
  PROCESS_INFORMATION process{};
  {
    std::lock_guard<std::mutex> lock(start_mutex);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 1 << 16)) {
      *error = "cannot create a pipe";
      return -1;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    // Started suspended, so that it is in the job before it runs.
    const BOOL started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    if (!started) {
      CloseHandle(read_end);
      *error = "cannot start " + program + " (error " + std::to_string(GetLastError()) + ")";
      return -1;
    }
    if (worker_job() != nullptr) AssignProcessToJobObject(worker_job(), process.hProcess);
  }
  *pid = static_cast<uint32_t>(process.dwProcessId);
  size_t slot = kWorkerSlots;
  {
    std::lock_guard<std::mutex> lock(g_workers_mutex);
    for (size_t i = 0; i < kWorkerSlots && slot == kWorkerSlots; ++i) {
      if (g_workers[i] == nullptr) {
        g_workers[i] = process.hProcess;
        slot = i;
      }
    }
    if (g_stopping) TerminateProcess(process.hProcess, 130);
  }
  ResumeThread(process.hThread);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    append_bounded(output, buffer, got, max_output);
  }
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, INFINITE);
  if (slot < kWorkerSlots) {
    std::lock_guard<std::mutex> lock(g_workers_mutex);
    g_workers[slot] = nullptr;
  }
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(code);
}

#else

std::string self_path(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  return n > 0 && static_cast<size_t>(n) < sizeof(buffer)
             ? std::string(buffer, static_cast<size_t>(n))
             : std::string(argv0);
}

namespace {

std::atomic<pid_t> g_workers[kWorkerSlots];

// Starts program with args, child_fd as its standard output (and its standard input too when
// is_input), and closes child_fd here. The process id, or 0 with error set.
pid_t spawn_on(const std::string& program, const std::vector<std::string>& args, int child_fd,
               bool is_input, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (is_input) posix_spawn_file_actions_adddup2(&actions, child_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, child_fd, STDOUT_FILENO);
  std::vector<std::string> argv_strings;
  argv_strings.reserve(args.size() + 1);
  argv_strings.push_back(program);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_strings.size() + 1);
  for (std::string& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(child_fd);
  if (spawned == 0) return pid;
  *error = "cannot start " + program + ": " + std::strerror(spawned);
  return 0;
}

// Registers pid where a signal handler finds it (its slot, or kWorkerSlots when all are taken);
// a stop that came meanwhile ends it here.
size_t register_worker(pid_t pid) {
  size_t slot = kWorkerSlots;
  for (size_t i = 0; i < kWorkerSlots && slot == kWorkerSlots; ++i) {
    pid_t expected = 0;
    if (g_workers[i].compare_exchange_strong(expected, pid)) slot = i;
  }
  if (g_stopping) kill(pid, SIGTERM);
  return slot;
}

}  // namespace

void stop_workers() noexcept {
  g_stopping = true;
  for (std::atomic<pid_t>& worker : g_workers) {
    const pid_t pid = worker.load();
    if (pid > 0) kill(pid, SIGTERM);
  }
}

bool end_with_parent(uint32_t parent_pid) noexcept {
#if defined(__linux__)
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return true;
#endif
  // A parent that died before the request was made is no longer this process's parent.
  return parent_pid == 0 || static_cast<uint32_t>(getppid()) == parent_pid;
}

uint32_t current_process_id() noexcept { return static_cast<uint32_t>(getpid()); }

bool process_exists(uint32_t pid) noexcept {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

int run_captured(const std::string& program, const std::vector<std::string>& args,
                 size_t max_output, std::string* output, std::string* error, uint32_t* pid_out) {
  *pid_out = 0;
  if (g_stopping) {
    *error = "stopped";
    return -1;
  }
  int pipe_fds[2];
  // Close-on-exec, so a worker started by another thread does not hold this pipe open; the
  // dup2 below gives the child its own copy without the flag.
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return -1;
  }
  const pid_t pid = spawn_on(program, args, pipe_fds[1], false, error);
  if (pid == 0) {
    close(pipe_fds[0]);
    return -1;
  }
  *pid_out = static_cast<uint32_t>(pid);
  const size_t slot = register_worker(pid);
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
    if (got > 0) {
      append_bounded(output, buffer, static_cast<size_t>(got), max_output);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipe_fds[0]);
  if (slot < kWorkerSlots) g_workers[slot] = 0;  // before the id can be reused by another process
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  *error = "worker ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

#endif

namespace {

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

std::string encode_outcome(const FileOutcome& o) {
  return std::string(kRecordTag) + '\t' + std::to_string(static_cast<int32_t>(o.outcome)) + '\t' +
         std::to_string(o.status) + '\t' + std::to_string(o.way) + '\t' +
         std::to_string(o.source_quality) + '\t' + std::to_string(o.quality_used) + '\t' +
         std::to_string(o.bytes_in) + '\t' + std::to_string(o.bytes_out) + '\t' + escape(o.note) +
         '\t' + escape(o.error) + '\t' + escape(o.damage) + '\t' + escape(o.log);
}

bool decode_outcome(const std::string& line, FileOutcome* o) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
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

// What a worker may print at most: its record with a bounded log, escaped.
constexpr size_t kMaxWorkerOutputBytes = 4 * kMaxKeptLogBytes;

namespace {

// The first record among a worker's output lines.
bool first_record(const std::string& output, FileOutcome* outcome) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (decode_outcome(line, outcome)) return true;
    start = end + 1;
  }
  return false;
}

#if !defined(_WIN32)

// A worker that takes job after job over one socket, its standard input and output, so that a
// batch starts a process for each of its threads rather than for each file. Started on first
// use, and again after one ended without a record; a socket, not a pipe, so that a job sent to a
// worker that died fails with an error instead of raising SIGPIPE in the tool.
class LoopWorker {
 public:
  LoopWorker() = default;
  LoopWorker(const LoopWorker&) = delete;
  LoopWorker& operator=(const LoopWorker&) = delete;
  ~LoopWorker() { end(false); }

  // Sends job and reads what the worker prints up to its record, *outcome (at most max_output
  // bytes); false when the worker ended first or printed too much: *code is then its exit
  // status and *error why. *pid is the worker's id.
  bool run(const std::string& self, const Options& options, const FileJob& job, size_t max_output,
           FileOutcome* outcome, std::string* error, int* code, uint32_t* pid) {
    *pid = 0;
    if (fd_ < 0 && !start(self, options, error)) {
      *code = -1;
      return false;
    }
    *pid = static_cast<uint32_t>(pid_);
    const std::string line = escape(job.source) + '\t' + escape(job.destination) + '\n';
    for (size_t sent = 0; sent < line.size();) {
      const ssize_t n = send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return ended(false, error, code);
      sent += static_cast<size_t>(n);
    }
    char buffer[4096];
    size_t printed = 0;  // bytes of lines before the record
    for (;;) {
      for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        const std::string text = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        if (first_record(text, outcome)) return true;
        printed += text.size();
      }
      if (printed + pending_.size() >= max_output) {
        *error = "the worker printed more than " + std::to_string(max_output) + " bytes";
        return ended(true, error, code);
      }
      const ssize_t got = read(fd_, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return ended(false, error, code);
      pending_.append(buffer, static_cast<size_t>(got));
    }
  }

 private:
  bool start(const std::string& self, const Options& options, std::string* error) {
    if (g_stopping) {
      *error = "stopped";
      return false;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      *error = std::string("cannot create a socket: ") + std::strerror(errno);
      return false;
    }
    pid_ = spawn_on(self, worker_loop_args(options, current_process_id()), fds[1], true, error);
    if (pid_ == 0) {
      close(fds[0]);
      return false;
    }
    fd_ = fds[0];
    slot_ = register_worker(pid_);
    return true;
  }

  // Ends the worker (killed first when is_killed) and says how it ended.
  bool ended(bool is_killed, std::string* error, int* code) {
    const int status = end(is_killed);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (error->empty() && WIFSIGNALED(status))
      *error = "worker ended by signal " + std::to_string(WTERMSIG(status));
    return false;
  }

  // Closes the socket (a worker waiting for a job then ends) and waits for the process.
  int end(bool is_killed) {
    if (fd_ < 0) return 0;
    if (is_killed) kill(pid_, SIGKILL);
    close(fd_);
    fd_ = -1;
    pending_.clear();
    if (slot_ < kWorkerSlots) g_workers[slot_] = 0;  // before the id can be reused
    slot_ = kWorkerSlots;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    return status;
  }

  pid_t pid_ = 0;
  int fd_ = -1;
  size_t slot_ = kWorkerSlots;
  std::string pending_;
};

thread_local LoopWorker g_worker;

#endif

}  // namespace

FileOutcome run_in_worker(const std::string& self, const Options& options, const FileJob& job,
                          uint64_t size_bytes, const std::atomic<bool>& interrupted,
                          bool* is_unfinished) {
  std::string error;
  uint32_t pid = 0;
  FileOutcome outcome;
  *is_unfinished = false;
#if defined(_WIN32)
  std::string output;
  const int code =
      run_captured(self, worker_args(options, job.source, job.destination, current_process_id()),
                   kMaxWorkerOutputBytes, &output, &error, &pid);
  if (first_record(output, &outcome)) return outcome;
#else
  int code = 0;
  if (g_worker.run(self, options, job, kMaxWorkerOutputBytes, &outcome, &error, &code, &pid))
    return outcome;
  outcome = FileOutcome{};
#endif
  // No record: whatever it was writing is not finished.
  if (pid != 0) remove_worker_temps(job.destination, pid);
  *is_unfinished = interrupted;
  outcome.bytes_in = size_bytes;
  outcome.error = error.empty() ? "the worker process ended with status " + std::to_string(code) +
                                      " and no result"
                                : error;
  return outcome;
}

int run_worker(const Options& o) {
  if (!end_with_parent(o.worker_parent)) return 1;
  const RecodePolicy policy = policy_of(o);
  const auto job_of = [&](const std::string& source, const std::string& destination) {
    return FileJob{
        source,    destination, o.worker_copies_kept, o.preserve, o.preserve && o.replace,
        o.replace, o.overwrite};
  };
  if (!o.is_worker_loop) {
    const FileOutcome outcome = run_file_job(job_of(o.worker_source, o.worker_destination), policy);
    std::printf("%s\n", encode_outcome(outcome).c_str());
    std::fflush(stdout);
    return outcome.outcome == Outcome::kFailed ? 1 : 0;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return 2;
    const FileOutcome outcome =
        run_file_job(job_of(unescape(line.substr(0, tab)), unescape(line.substr(tab + 1))), policy);
    std::printf("%s\n", encode_outcome(outcome).c_str());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace kestrum::tool
