// SPDX-License-Identifier: MIT
// Argument parsing and the help text of kestrum-recode.
#include "recode/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kestrum::tool {
namespace {

bool parse_int(const char* text, int32_t low, int32_t high, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// The options that take no value, for telling "--strip=1" (a flag given a value) from "--foo=1"
// (no option at all).
bool is_flag(std::string_view arg) {
  static constexpr std::string_view kFlags[] = {"-h",
                                                "--help",
                                                "--version",
                                                "--relative",
                                                "-r",
                                                "-v",
                                                "--keep-metadata",
                                                "-s",
                                                "--strip",
                                                "--strip-all",
                                                "--overwrite",
                                                "--replace",
                                                "-p",
                                                "--preserve",
                                                "--quiet",
                                                "-n",
                                                "--noaction",
                                                "--dry-run",
                                                "--json",
                                                "-0",
                                                "--skip-larger",
                                                "--allow-larger",
                                                "--strict",
                                                "--exact",
                                                "--copy-kept"};
  return std::find(std::begin(kFlags), std::end(kFlags), arg) != std::end(kFlags);
}

// Short options whose value may follow them in the same argument ("-q70", "-m80", "-dout").
bool takes_attached_value(std::string_view arg) {
  return arg.size() > 2 && arg[0] == '-' &&
         std::string_view("qjmSdo").find(arg[1]) != std::string_view::npos;
}

}  // namespace

bool parse_size(const std::string& text, SizeTarget* size) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 12) return false;
  const uint64_t number = std::stoull(text.substr(0, digits));
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  SizeTarget s;
  s.text = text;
  if (unit == "%") {
    if (number < 1 || number > 99) return false;
    s.percent = static_cast<int32_t>(number);
  } else {
    const uint64_t scale = unit == "B"                                   ? 1
                           : unit.empty() || unit == "K" || unit == "KB" ? 1024
                           : unit == "M" || unit == "MB"                 ? 1024 * 1024
                                                                         : 0;
    if (scale == 0 || number == 0) return false;
    s.bytes = number * scale;
  }
  *size = s;
  return true;
}

ParseResult parse_args(int argc, const char* const* argv, Options* options, std::string* error) {
  Options& o = *options;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // "--quality=70" and "-q70" carry their value in the same argument.
    std::string attached;
    bool has_attached = false;
    if (!options_end && arg.size() > 2 && arg.substr(0, 2) == "--" &&
        arg.find('=') != std::string_view::npos) {
      attached = std::string(arg.substr(arg.find('=') + 1));
      arg = arg.substr(0, arg.find('='));
      has_attached = true;
    } else if (!options_end && takes_attached_value(arg)) {
      attached = std::string(arg.substr(2));
      arg = arg.substr(0, 2);
      has_attached = true;
    }
    auto value_of = [&](std::string_view name) -> const char* {
      if (has_attached) return attached.c_str();
      if (i + 1 < argc) return argv[++i];
      *error = std::string(name) + " needs a value";
      return nullptr;
    };
    if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
      o.paths.emplace_back(argv[i]);
    } else if (arg == "--") {
      options_end = true;
    } else if (has_attached && is_flag(arg)) {
      *error = "option " + std::string(arg) + " takes no value";
      return ParseResult::kUsageError;
    } else if (arg == "-h" || arg == "--help") {
      return ParseResult::kHelp;
    } else if (arg == "--version") {
      return ParseResult::kVersion;
    } else if (arg == "-q" || arg == "--quality" || arg == "-m" || arg == "--max" ||
               arg == "--target-quality") {
      const char* v = value_of(arg);
      if (v == nullptr) return ParseResult::kUsageError;
      if (!parse_int(v, 1, 100, &o.quality)) {
        *error = std::string(arg) + " takes a quality from 1 to 100, not '" + v + "'";
        return ParseResult::kUsageError;
      }
    } else if (arg == "-S" || arg == "--size") {
      const char* v = value_of(arg);
      if (v == nullptr) return ParseResult::kUsageError;
      if (!parse_size(v, &o.size)) {
        *error = std::string(arg) +
                 " takes a size: kilobytes (200 or 200K), megabytes (2M), bytes (150000B) or a "
                 "share of the source (1% to 99%), not '" +
                 v + "'";
        return ParseResult::kUsageError;
      }
    } else if (arg == "-j" || arg == "--jobs") {
      const char* v = value_of(arg);
      if (v == nullptr) return ParseResult::kUsageError;
      if (!parse_int(v, 1, 256, &o.jobs)) {
        *error = "-j takes a number of jobs from 1 to 256, not '" + std::string(v) + "'";
        return ParseResult::kUsageError;
      }
    } else if (arg == "-o" || arg == "-d" || arg == "--dest" || arg == "--log" ||
               arg == "--files-from") {
      const char* v = value_of(arg);
      if (v == nullptr) return ParseResult::kUsageError;
      if (*v == '\0') {
        // -o "$OUT" with $OUT unset must not quietly become "beside the sources".
        *error = std::string(arg) +
                 (arg == "--files-from" ? " needs a file name" : " needs a folder name") +
                 ", not an empty one";
        return ParseResult::kUsageError;
      }
      (arg == "--log" ? o.log_dir : arg == "--files-from" ? o.files_from : o.output_dir) = v;
    } else if (arg == "--relative") {
      o.relative = true;
    } else if (arg == "-r") {
      o.recursive = true;
    } else if (arg == "-v") {
      o.verbose = true;
    } else if (arg == "--keep-metadata") {
      o.strip = false;  // the default; accepted for the scripts of earlier versions
    } else if (arg == "-s" || arg == "--strip" || arg == "--strip-all") {
      o.strip = true;
    } else if (arg == "--overwrite") {
      o.overwrite = true;
    } else if (arg == "--replace") {
      o.replace = true;
    } else if (arg == "-p" || arg == "--preserve") {
      o.preserve = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "-n" || arg == "--noaction" || arg == "--dry-run") {
      o.dry_run = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "-0") {
      o.null_separated = true;
    } else if (arg == "--skip-larger") {
      o.allow_larger = false;  // the default; accepted for the scripts of earlier versions
    } else if (arg == "--allow-larger") {
      o.allow_larger = true;
    } else if (arg == "--strict") {
      o.strict = true;
    } else if (arg == "--exact") {
      o.exact = true;
    } else if (arg == "--copy-kept") {
      o.worker_copies_kept = true;
    } else if (arg == "--parent") {
      const char* v = value_of(arg);
      int32_t pid = 0;
      if (v == nullptr || !parse_int(v, 0, INT32_MAX, &pid)) {
        *error = "--parent takes a process id";
        return ParseResult::kUsageError;
      }
      o.worker_parent = static_cast<uint32_t>(pid);
    } else if (arg == "--worker") {
      if (i + 2 >= argc) {
        *error = "--worker needs a source and a destination";
        return ParseResult::kUsageError;
      }
      o.is_worker = true;
      o.worker_source = argv[++i];
      o.worker_destination = argv[++i];
    } else if (arg == "--worker-loop") {
      o.is_worker = o.is_worker_loop = true;
    } else {
      *error = "unknown option " + std::string(arg);
      return ParseResult::kUsageError;
    }
  }
  if (o.is_worker) return ParseResult::kRun;
  if (o.paths.empty() && o.files_from.empty()) {
    *error = "no file or folder given";
    return ParseResult::kUsageError;
  }
  const bool has_stdin_path = std::find(o.paths.begin(), o.paths.end(), "-") != o.paths.end();
  if (has_stdin_path && (o.paths.size() > 1 || !o.files_from.empty() || !o.output_dir.empty() ||
                         o.replace || o.dry_run || o.json || !o.log_dir.empty())) {
    *error =
        "- (standard input to standard output) must be the only path, without -o, --replace, "
        "--dry-run, --json or --log";
    return ParseResult::kUsageError;
  }
  if (o.replace && !o.output_dir.empty()) {
    *error = "--replace writes over the sources; it cannot be used with -o";
    return ParseResult::kUsageError;
  }
  if (o.relative && o.size.is_set()) {
    *error = "--relative and -S cannot be used together: -S picks the quality itself";
    return ParseResult::kUsageError;
  }
  return ParseResult::kRun;
}

std::string usage_text(bool has_libjpeg) {
  std::string text =
      "usage: kestrum-recode [-q Q] [-S SIZE] [-j JOBS] [-r] [-o DIR | --replace] [--overwrite] "
      "[-s]\n"
      "                      [--allow-larger] [--relative] [--exact] [--strict] [-n] [-v] PATH...\n"
      "Recodes every JPEG named, or found in the named folders (*.jpg, *.jpeg, *.jpe, *.jfif), at "
      "quality Q.\n"
      "A photo whose own quality is Q or lower is kept as it is, and so is a result that is not "
      "smaller\n"
      "than its source; with -o the kept photo is copied, so that the folder is complete. A second "
      "run\n"
      "over the same files, or over the results, changes nothing.\n"
      "Without -o each result is NAME_Q.EXT beside its source (NAME_Q.jpg for a name without a "
      "dot).\n"
      "No source is ever written over unless --replace is given; a result that would land on a "
      "source or\n"
      "on another file's result fails that file; an existing result is kept unless --overwrite is "
      "given.\n"
      "Files named like an earlier result (NAME_<n>.EXT beside NAME.EXT) are left out unless "
      "named.\n"
      "\n"
      "  -q Q, --quality=Q    quality 1..100 (default 85): a photo above it is recoded at Q, one "
      "at or\n"
      "                       below it is kept; -m Q, --max=Q and --target-quality Q say the "
      "same\n"
      "  --relative           the library's rule instead: Q lowered by the distance of the "
      "source's quality\n"
      "                       from 100, with its standard Huffman tables (with -s, the bytes of "
      "jpg_recode_api)\n"
      "  -S SIZE, --size=SIZE the highest quality at or below Q whose result fits SIZE, found by "
      "bisection:\n"
      "                       kilobytes as jpegoptim takes them (200, 200K), 2M, 150000B, or 30% "
      "of the source\n"
      "  -j JOBS, --jobs=JOBS worker processes, 1..256 (default: the number of cores); 1 works in "
      "process\n"
      "  -r                   look into the folders' subfolders too\n"
      "  -o DIR, -d DIR, --dest=DIR\n"
      "                       write into DIR instead, under the source's name and relative path "
      "(DIR itself\n"
      "                       is never searched for sources)\n"
      "  --replace            write each result over its source (through a temporary file, once "
      "complete);\n"
      "                       a damaged source, or one with data after its end, is kept as it is\n"
      "  --overwrite          replace results that already exist\n"
      "  -s, --strip, --strip-all\n"
      "                       leave the source's metadata out; by default every APP1..APP15 and "
      "COM segment\n"
      "                       (EXIF, XMP, ICC, IPTC, maker data) is copied in after the result's "
      "APP0\n"
      "  --keep-metadata      the default, accepted for earlier scripts\n"
      "  --allow-larger       write a result even when it is not smaller than its source\n"
      "  --skip-larger        the default, accepted for earlier scripts\n"
      "  --exact              keep the library's standard Huffman tables; by default they are "
      "fitted to\n"
      "                       each result, losslessly (the same pixels, fewer bytes)\n"
      "  --strict             only the library's own recode: refuse what jpg_recode_api refuses\n"
      "  -p, --preserve       give each result its source's modification time and user.* "
      "attributes\n"
      "                       (with --replace, also its permissions and access ACL)\n"
      "  --files-from FILE    recode the paths listed in FILE, one a line (-: standard input); "
      "with -0 the\n"
      "                       names end with NUL (find -print0)\n"
      "  -                    as the only path: recode one JPEG from standard input to standard "
      "output\n"
      "  -n, --noaction, --dry-run\n"
      "                       print each source, its destination and what would be done; write "
      "nothing\n"
      "  --json               one JSON object a file and one for the summary, instead of the "
      "lines\n"
      "  --quiet              print only failures, damage and the summary\n"
      "  -v                   show the library's console log of every file, and status numbers\n"
      "  --log DIR            write the library's console log of every file to DIR/<relative "
      "path>.log\n"
      "  -h, --help           this text; --version: the version\n"
      "\n"
      "Results go to standard output; FAILED and DAMAGED lines to standard error. A damaged source "
      "(its\n"
      "data cut short, bad codes, restart markers missing, no end marker) is still recoded, with "
      "grey\n"
      "where data was missing, and said so.\n"
      "\n"
      "Each file takes the first way that works:\n"
      "  1. the library's own recode;\n"
      "  2. a 4:2:0 baseline file whose metadata the library misreads as malformed is read past "
      "its\n"
      "     metadata (which is still copied into the result);\n";
  text += has_libjpeg
              ? "  3. other layouts and codings (4:2:2, 4:4:4, 4:4:0, greyscale, progressive, "
                "arithmetic,\n"
                "     extended sequential, RGB-coded) are decoded by libjpeg, chroma averaged to "
                "4:2:0;\n"
                "     CMYK and YCCK photos are recoded by libjpeg in their own colour space;\n"
              : "  3. (not in this build: it was made without libjpeg, so other layouts and "
                "codings fail)\n";
  text +=
      "  4. 12-bit photos are kept as they are; unreadable files fail with the reason.\n"
      "\n"
      "Exit status: 0 when every file was recoded, kept or skipped as existing, 1 when any failed "
      "or was\n"
      "damaged, or no file was found, 2 for a usage error, 130 when interrupted (Ctrl-C, SIGTERM, "
      "SIGHUP,\n"
      "a closed output pipe): finished results are kept, unfinished ones leave no file behind.\n";
  return text;
}

namespace {

// What every worker is told: the batch's options and the tool's process id.
std::vector<std::string> worker_options(const Options& options, uint32_t parent_pid) {
  std::vector<std::string> args = {"-q", std::to_string(options.quality)};
  if (options.relative) args.emplace_back("--relative");
  if (options.size.is_set()) args.insert(args.end(), {"-S", options.size.text});
  if (options.strip) args.emplace_back("--strip");
  if (options.allow_larger) args.emplace_back("--allow-larger");
  if (options.strict) args.emplace_back("--strict");
  if (options.exact) args.emplace_back("--exact");
  if (options.preserve) args.emplace_back("--preserve");
  if (options.replace) args.emplace_back("--replace");
  if (options.overwrite) args.emplace_back("--overwrite");
  if (!options.output_dir.empty()) args.emplace_back("--copy-kept");
  args.insert(args.end(), {"--parent", std::to_string(parent_pid)});
  return args;
}

}  // namespace

std::vector<std::string> worker_args(const Options& options, const std::string& source,
                                     const std::string& destination, uint32_t parent_pid) {
  std::vector<std::string> args = worker_options(options, parent_pid);
  args.insert(args.end(), {"--worker", source, destination});
  return args;
}

std::vector<std::string> worker_loop_args(const Options& options, uint32_t parent_pid) {
  std::vector<std::string> args = worker_options(options, parent_pid);
  args.emplace_back("--worker-loop");
  return args;
}

}  // namespace kestrum::tool
