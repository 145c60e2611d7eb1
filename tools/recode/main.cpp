// SPDX-License-Identifier: MIT
// kestrum-recode: recodes folders of JPEGs in parallel worker processes (the library serialises
// recodes within one process), one line per file, a progress bar on a terminal and a summary.
// This file wires the parts: the command line (options), the plan (collect), each file's job
// (file_job), the workers and their records (worker_process) and what is printed (report); it
// holds the signals, the stream mode, the dry run and the schedule of a batch.
// Exit status: 0 every file recoded, kept or skipped, 1 any failed or damaged, 2 usage error.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "kestrum/recode_any.h"
#include "recode/collect.h"
#include "recode/options.h"
#include "recode/report.h"
#include "recode/stream_mode.h"
#include "recode/worker_process.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#endif

namespace kestrum::tool {
namespace {

constexpr const char* kVersion = "kestrum-recode 1.0.0";

// Set by SIGINT, SIGTERM, SIGHUP and SIGPIPE (Ctrl-C, Ctrl-Break and closing the console on
// Windows): no file is started after it, and the workers are stopped.
std::atomic<bool> g_interrupted{false};

#if defined(_WIN32)
BOOL WINAPI on_console_control(DWORD) {
  g_interrupted = true;
  stop_workers();
  return TRUE;
}
#else
void on_signal(int) {
  g_interrupted = true;
  stop_workers();
}
#endif

void catch_interrupts() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(on_console_control, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // A closed terminal (SIGHUP) and a reader that went away (SIGPIPE: "| head") stop the run the
  // same way, rather than ending it with files half written. A signal the tool was started with
  // ignored (SIGHUP under nohup, SIGINT for a background job of a script) stays ignored.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old {};
    if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
#endif
}

// Removes what killed runs left in the folders this run writes into.
void remove_stale_temps_of(const Batch& batch, Reporter& reporter) {
  std::set<std::string> folders;
  for (const BatchItem& item : batch.items) {
    if (item.planned == Outcome::kWritten)
      folders.insert(std::filesystem::path(item.job.destination).parent_path().string());
  }
  for (const std::string& folder : folders) {
    const size_t removed = remove_stale_temps(folder);
    if (removed > 0) {
      reporter.note("removed " + std::to_string(removed) + " temporary " +
                    (removed == 1 ? "file" : "files") + " that a stopped run left in " +
                    (folder.empty() ? std::string(".") : folder));
    }
  }
}

// The destination as the file's line shows it: with -o, where the result went; a skipped
// file's line names the destination that exists.
std::string shown_destination(const Options& o, const BatchItem& item, Outcome outcome) {
  return o.output_dir.empty() && outcome != Outcome::kSkipped ? std::string()
                                                              : item.job.destination;
}

// The line of a file left out as named like a result.
std::string left_out_line(const Batch::Problem& f) {
  return f.path + "  left out: " + f.reason + " (name it to recode it)";
}

// What the walk passed over on purpose, a line each: the files named like a result (which a
// user may want to name to recode them), links to folders and files named more than once.
void print_passed_over(const Batch& batch) {
  for (const Batch::Problem& f : batch.left_out) {
    std::printf("%s\n", one_line(left_out_line(f)).c_str());
  }
  for (const Batch::Problem& note : batch.notes)
    std::printf("%s\n", one_line(note.path + "  skipped: " + note.reason).c_str());
}

// A signal before any file was started: nothing was written.
int interrupted_while_planning() {
  std::fflush(stdout);
  std::fprintf(stderr, "kestrum-recode: interrupted while planning; nothing written\n");
  return 130;
}

// --dry-run: each source, its destination and what would be done (with --json as JSON lines);
// nothing is written.
int print_plan(const Batch& batch, const Options& o) {
  size_t would_recode = 0, would_keep = 0, skipped = 0, failed = batch.problems.size();
  const RecodePolicy policy = policy_of(o);
  auto print = [&](const std::string& source, const std::string& destination, const char* plan,
                   const std::string& what) {
    if (o.json) {
      std::printf("%s\n", plan_json(source, destination, plan, what).c_str());
    } else {
      std::printf("%s\n", one_line(source + (destination.empty() ? "" : " \u2192 " + destination) +
                                   "  " + what)
                              .c_str());
    }
  };
  if (!o.json) print_passed_over(batch);
  for (const Batch::Problem& problem : batch.problems)
    print(problem.path, "", "fail", "would fail: " + problem.reason);
  for (const BatchItem& item : batch.items) {
    if (g_interrupted) return interrupted_while_planning();
    const std::string& destination = item.job.destination;
    if (item.planned == Outcome::kWritten) {
      const std::string way = planned_way(item.job.source, policy);
      const char* plan = way.rfind("would fail", 0) == 0      ? "fail"
                         : way.rfind("would be kept", 0) == 0 ? "keep"
                                                              : "recode";
      ++(plan[0] == 'f' ? failed : plan[0] == 'k' ? would_keep : would_recode);
      print(item.job.source, destination, plan, way);
    } else if (item.planned == Outcome::kSkipped) {
      print(item.job.source, destination, "skip", "skipped: " + item.refusal);
      ++skipped;
    } else {
      print(item.job.source, destination, "fail", "would fail: " + item.refusal);
      ++failed;
    }
  }
  const size_t files = batch.items.size() + batch.problems.size();
  if (o.json) {
    std::printf(
        "{\"summary\":{\"files\":%zu,\"would_recode\":%zu,\"would_keep\":%zu,"
        "\"skipped\":%zu,\"would_fail\":%zu,\"results_left_out\":%zu,\"dry_run\":true}}\n",
        files, would_recode, would_keep, skipped, failed, batch.left_out.size());
  } else {
    std::printf(
        "%zu %s: %zu would be recoded, %zu kept, %zu skipped, %zu would fail (nothing "
        "written)%s\n",
        files, files == 1 ? "file" : "files", would_recode, would_keep, skipped, failed,
        batch.left_out.empty()
            ? ""
            : ("; " + std::to_string(batch.left_out.size()) + " left out").c_str());
  }
  return failed > 0 || batch.items.empty() ? 1 : 0;
}

// The names of --files-from: one a line (a CR before the line break dropped), or NUL-ended.
bool read_file_list(const Options& o, std::vector<std::string>* paths, std::string* error) {
  std::string text;
  if (o.files_from == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0) text.append(buffer, got);
  } else {
    std::ifstream in(o.files_from, std::ios::binary);
    if (!in) {
      *error = "cannot read " + o.files_from;
      return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const char end = o.null_separated ? '\0' : '\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find(end, start);
    if (stop == std::string::npos) stop = text.size();
    std::string name = text.substr(start, stop - start);
    if (!o.null_separated && !name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) paths->push_back(std::move(name));
    start = stop + 1;
  }
  return true;
}

// Runs each item of work through run_one, on jobs threads (this one when jobs is 1), and hands
// each finished outcome to done; an item run_one could not finish (its worker was stopped) is not
// handed on. No item is started once an interrupt came. The reporter redraws its bar meanwhile.
void schedule(const std::vector<const BatchItem*>& work, size_t jobs, Reporter& reporter,
              const std::function<bool(const BatchItem&, FileOutcome*)>& run_one,
              const std::function<void(const BatchItem&, const FileOutcome&)>& done) {
  std::atomic<size_t> next{0}, finished{0};
  const auto run_thread = [&] {
    for (size_t i = next++; i < work.size() && !g_interrupted; i = next++) {
      FileOutcome outcome;
      if (run_one(*work[i], &outcome)) done(*work[i], outcome);
    }
    ++finished;
    reporter.wake();
  };
  if (jobs <= 1) return run_thread();
  std::vector<std::thread> threads;
  for (size_t t = 0; t < jobs; ++t) threads.emplace_back(run_thread);
  reporter.wait_until([&] { return finished == threads.size(); });
  for (std::thread& t : threads) t.join();
}

int run_batch(Options o, const char* argv0) {
  if (!o.files_from.empty()) {
    std::string error;
    if (!read_file_list(o, &o.paths, &error)) {
      std::fprintf(stderr, "kestrum-recode: %s\n", error.c_str());
      return 1;
    }
    if (o.paths.empty()) {
      std::fprintf(stderr, "kestrum-recode: %s lists no file\n", o.files_from.c_str());
      return 1;
    }
  }
  if (o.paths.size() == 1 && o.paths[0] == "-") return run_stream(o, g_interrupted);
  const Batch batch = collect_batch(o, &g_interrupted);
  if (batch.is_interrupted) return interrupted_while_planning();
  if (o.dry_run) return print_plan(batch, o);
  uint64_t total_in = 0;
  for (const BatchItem& item : batch.items) total_in += item.size_bytes;
  const bool is_terminal_output = is_terminal(stdout);
#if defined(_WIN32)
  if (is_terminal_output) SetConsoleOutputCP(CP_UTF8);
#endif
  Reporter reporter(o, batch.items.size() + batch.problems.size(), total_in, is_terminal_output);
  for (const Batch::Problem& note : batch.notes)
    reporter.note(note.path + "  skipped: " + note.reason);
  if (o.verbose) {
    for (const Batch::Problem& f : batch.left_out) reporter.note(left_out_line(f));
  }
  for (const Batch::Problem& problem : batch.problems) {
    FileOutcome missing;
    missing.error = problem.reason;
    reporter.report(problem.path, "", "", "", missing);
  }
  if (batch.items.empty() && batch.problems.empty()) {
    std::string text = "kestrum-recode: no JPEG found (*.jpg, *.jpeg, *.jpe, *.jfif)";
    if (batch.jpegs_in_subfolders > 0) {
      text += "; the subfolders hold " + std::to_string(batch.jpegs_in_subfolders) +
              ": add -r to recode them";
    }
    reporter.note(text);
    reporter.finish(batch.left_out.size());
    return 1;
  }
  std::vector<const BatchItem*> work;
  for (const BatchItem& item : batch.items) {
    if (item.planned == Outcome::kWritten) {
      work.push_back(&item);
      continue;
    }
    FileOutcome refused;
    refused.outcome = item.planned;
    refused.error = item.refusal;
    refused.bytes_in = item.size_bytes;
    reporter.report(item.job.source, item.job.destination, shown_destination(o, item, item.planned),
                    item.relative, refused);
  }
  remove_stale_temps_of(batch, reporter);
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs = std::min(work.size(), o.jobs > 0 ? static_cast<size_t>(o.jobs) : cores);
  const RecodePolicy policy = policy_of(o);
  const std::string self = jobs > 1 ? self_path(argv0) : std::string();
  schedule(
      work, jobs, reporter,
      [&](const BatchItem& item, FileOutcome* outcome) {
        if (jobs <= 1) {
          *outcome = run_file_job(item.job, policy);
          return true;
        }
        bool is_unfinished = false;
        *outcome = run_in_worker(self, o, item.job, item.size_bytes, g_interrupted, &is_unfinished);
        return !is_unfinished;
      },
      [&](const BatchItem& item, const FileOutcome& outcome) {
        reporter.report(item.job.source, item.job.destination,
                        shown_destination(o, item, outcome.outcome), item.relative, outcome);
      });
  if (g_interrupted) return reporter.finish_interrupted(batch.left_out.size());
  return reporter.finish(batch.left_out.size());
}

}  // namespace
}  // namespace kestrum::tool

int main(int argc, char** argv) {
  using namespace kestrum::tool;
  Options options;
  std::string error;
  switch (parse_args(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(usage_text(kestrum::recode_any_has_libjpeg()).c_str(), stdout);
      return 0;
    case ParseResult::kVersion:
      std::printf("%s%s\n", kVersion,
                  kestrum::recode_any_has_libjpeg() ? "" : " (without libjpeg)");
      return 0;
    case ParseResult::kUsageError:
      std::fprintf(stderr, "kestrum-recode: %s (try --help)\n", error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }
  if (options.is_worker) return run_worker(options);
  catch_interrupts();
  return run_batch(options, argv[0]);
}
