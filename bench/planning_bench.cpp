// SPDX-License-Identifier: MIT
// What planning a batch costs by the shape of the tree: collect_batch over trees of 1000 to
// 100 000 files in chains of 10 to 10 000 folders (the files spread evenly over the levels), with
// -r into an -o folder, and without -r over a folder above the tree (the walk for the "add -r"
// hint). Each plan runs in a child process of its own with a time limit. POSIX only.
//   kestrum_planning_bench [SECONDS_LIMIT [FILES LEVELS]]   (one shape only when given)
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "recode/collect.h"

namespace {

// A chain of levels folders "d" below root, files empty *.jpg spread evenly over them.
bool make_tree(const std::string& root, int levels, int files) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int made = 0;
  for (int level = 0; level < levels && fd >= 0; ++level) {
    const int here = files / levels + (level < files % levels ? 1 : 0);
    for (int i = 0; i < here; ++i, ++made) {
      std::string name = std::to_string(made);
      name += ".jpg";  // not "p" + ...: GCC 12 at -O2 sees a false overlap (-Wrestrict)
      const int file = openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (file < 0) return false;
      close(file);
    }
    if (level + 1 == levels) break;
    if (mkdirat(fd, "d", 0700) != 0) return false;
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd >= 0) close(fd);
  return fd >= 0 && made == files;
}

// Removes name below the folder open as at, however deep it goes.
void remove_tree_at(int at, const char* name) {
  const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(at, name, 0);
    return;
  }
  std::vector<std::string> names;
  if (DIR* dir = fdopendir(dup(fd))) {
    while (const dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.emplace_back(e->d_name);
    }
    closedir(dir);
  }
  for (const std::string& n : names) remove_tree_at(fd, n.c_str());
  close(fd);
  unlinkat(at, name, AT_REMOVEDIR);
}

// The seconds one plan takes in a child process, or a negative number past the limit.
double plan_seconds(const kestrum::tool::Options& options, size_t* files, int limit_s) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    alarm(static_cast<unsigned>(limit_s));
    const auto start = std::chrono::steady_clock::now();
    const kestrum::tool::Batch batch = kestrum::tool::collect_batch(options);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const size_t found = batch.items.size() + batch.jpegs_in_subfolders;
    const double record[2] = {s, static_cast<double>(found)};
    if (write(pipe_fds[1], record, sizeof record) != sizeof record) _exit(1);
    _exit(0);
  }
  close(pipe_fds[1]);
  double record[2] = {-1, 0};
  const bool is_read = read(pipe_fds[0], record, sizeof record) == sizeof record;
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  *files = static_cast<size_t>(record[1]);
  if (is_read) return record[0];
  // -1: past the limit; -2: ended otherwise (a crash)
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? -1 : -2;
}

std::string shown(double s, int limit_s) {
  char text[32];
  if (s == -2) {
    std::snprintf(text, sizeof text, "crashed");
  } else if (s < 0) {
    std::snprintf(text, sizeof text, "> %d s", limit_s);
  } else {
    std::snprintf(text, sizeof text, "%.3f s", s);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int limit_s = argc > 1 ? std::atoi(argv[1]) : 60;
  char base_template[] = "/tmp/kestrum-planning-XXXXXX";
  const char* base = mkdtemp(base_template);
  if (base == nullptr) return 1;
  struct Shape {
    int files, levels;
  };
  // Every level holds files/levels of them; paths grow with the depth, so the deepest chains
  // are measured with fewer files (the batch holds every path).
  const Shape shapes[] = {{1000, 10},    {10000, 10},   {100000, 10}, {1000, 100},
                          {10000, 100},  {100000, 100}, {1000, 1000}, {10000, 1000},
                          {1000, 10000}, {10000, 10000}};
  std::vector<Shape> chosen(std::begin(shapes), std::end(shapes));
  if (argc > 3) chosen = {{std::atoi(argv[2]), std::atoi(argv[3])}};
  std::printf("%8s %7s %12s %14s %10s\n", "files", "levels", "-r -o out", "without -r", "found");
  for (const Shape& shape : chosen) {
    if (shape.files < 1 || shape.levels < 1) return 2;
    const std::string top = std::string(base) + "/top";
    const std::string tree = top + "/tree";
    mkdir(top.c_str(), 0700);
    mkdir(tree.c_str(), 0700);
    if (!make_tree(tree, shape.levels, shape.files)) {
      std::fprintf(stderr, "cannot make the tree of %d files in %d levels\n", shape.files,
                   shape.levels);
      return 1;
    }
    kestrum::tool::Options recursive;
    recursive.recursive = true;
    recursive.output_dir = std::string(base) + "/out";
    recursive.paths = {tree};
    size_t found = 0, hinted = 0;
    const double r = plan_seconds(recursive, &found, limit_s);
    kestrum::tool::Options hint;
    hint.paths = {top};
    const double h = plan_seconds(hint, &hinted, limit_s);
    std::printf("%8d %7d %12s %14s %10zu\n", shape.files, shape.levels, shown(r, limit_s).c_str(),
                shown(h, limit_s).c_str(), found);
    std::fflush(stdout);
    const int at = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    remove_tree_at(at, "top");
    close(at);
  }
  rmdir(base);
  return 0;
}
