// SPDX-License-Identifier: MIT
// Line, progress bar and summary texts.
#include "recode/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "kestrum.h"

namespace kestrum::tool {
namespace {

constexpr const char* kArrow = "\u2192";
constexpr size_t kBarCells = 20;
constexpr size_t kMinBarCells = 5;

std::string printf_text(const char* format, double a, double b = 0) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, a, b);
  return buffer;
}

std::string saving(uint64_t in, uint64_t out) {
  if (in == 0) return "";
  const double change =
      (static_cast<double>(out) - static_cast<double>(in)) * 100.0 / static_cast<double>(in);
  return printf_text("%+.1f%%", change);
}

std::string clock_text(double seconds) {
  const long long s = std::llround(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%lld:%02lld", s / 60, s % 60);
  return buffer;
}

// The parts joined by spaces, broken before a part that would reach the last column (columns 0:
// one line); lines after the first are indented by two spaces.
std::string wrap_parts(const std::vector<std::string>& parts, size_t columns) {
  const size_t limit = columns > 1 ? columns - 1 : 0;
  std::string text;
  size_t line_width = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const size_t width = display_width(parts[i]);
    if (i > 0 && limit > 0 && line_width + 1 + width > limit) {
      text += "\n  ";
      line_width = 2;
    } else if (i > 0) {
      text += ' ';
      ++line_width;
    }
    text += parts[i];
    line_width += width;
  }
  return text;
}

}  // namespace

std::string format_bytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const double kb = static_cast<double>(bytes) / 1024.0;
  if (kb < 1024) return printf_text("%.1f KB", kb);
  if (kb < 1024 * 1024) return printf_text("%.2f MB", kb / 1024.0);
  return printf_text("%.2f GB", kb / (1024.0 * 1024.0));
}

bool is_problem(const FileOutcome& o) { return o.outcome == Outcome::kFailed || !o.damage.empty(); }

std::string one_line(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    if (u == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F, CSI among them
      out += '?';
      ++i;
    } else {
      out += u < 0x20 || u == 0x7F ? '?' : text[i];
    }
  }
  return out;
}

std::string file_line(const std::string& name, const std::string& shown, const FileOutcome& o,
                      bool with_status) {
  std::string line = name;
  if (!shown.empty()) line += std::string(" ") + kArrow + " " + shown;
  line += "  ";
  if (o.outcome == Outcome::kFailed) {
    line += "FAILED";
    if (with_status && o.status != KESTRUM_OK) line += " " + std::to_string(o.status);
    return one_line(line + ": " + o.error);
  }
  if (o.outcome == Outcome::kSkipped) return one_line(line + "skipped: " + o.error);
  if (o.outcome == Outcome::kKept && o.way == 0) return one_line(line + "kept: " + o.error);
  if (!o.damage.empty()) line += "DAMAGED (" + o.damage + ")  ";
  line += 'q';
  line += o.source_quality > 0 ? std::to_string(o.source_quality) : "?";
  if (o.quality_used > 0) {
    line += std::string(" ") + kArrow + " q" + std::to_string(o.quality_used);
    if (o.quality_used < kLowQuality) line += " (low quality)";
  }
  line += "  ";
  line += format_bytes(o.bytes_in) + " " + kArrow + " " + format_bytes(o.bytes_out);
  if (o.outcome == Outcome::kKept) {
    line += "  kept the original: " + o.error;
  } else {
    line += "  " + saving(o.bytes_in, o.bytes_out);
  }
  if (!o.note.empty()) line += "  (" + o.note + ")";
  return one_line(line);
}

void Totals::add(const FileOutcome& o) {
  ++done;
  bytes_done += o.bytes_in;
  if (!o.damage.empty() && o.outcome != Outcome::kFailed) ++damaged;
  switch (o.outcome) {
    case Outcome::kWritten:
      if (o.way >= 1 && o.way <= 4) ++by_way[o.way];
      bytes_in += o.bytes_in;
      bytes_out += o.bytes_out;
      break;
    case Outcome::kKept:
      ++kept;
      bytes_in += o.bytes_in;
      bytes_out += o.bytes_in;
      break;
    case Outcome::kSkipped:
      ++skipped;
      break;
    case Outcome::kFailed:
      ++failed;
      break;
  }
}

size_t display_width(const std::string& text) {
  size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
  return width;
}

std::string progress_bar(const Totals& t, double elapsed_s, size_t columns) {
  const double fraction = t.total_in > 0
                              ? static_cast<double>(t.bytes_done) / static_cast<double>(t.total_in)
                          : t.files > 0 ? static_cast<double>(t.done) / static_cast<double>(t.files)
                                        : 1.0;
  // Fields after the bar, most important first; the last ones go first when space is short.
  std::vector<std::string> fields = {std::to_string(t.done) + "/" + std::to_string(t.files)};
  if (elapsed_s > 0 && t.done > 0 && fraction > 0 && fraction < 1) {
    fields.push_back(clock_text(elapsed_s * (1 - fraction) / fraction) + " left");
  }
  fields.push_back(format_bytes(t.bytes_in) + " " + kArrow + " " + format_bytes(t.bytes_out));
  if (elapsed_s > 0 && t.done > 0)
    fields.push_back(printf_text("%.1f files/s", static_cast<double>(t.done) / elapsed_s));
  const size_t limit =
      columns > 1 ? columns - 1 : 0;  // the last column would wrap on some terminals
  for (;;) {
    std::string tail;
    for (const std::string& f : fields) tail += "  " + f;
    const size_t tail_width = display_width(tail);
    if (tail_width + 2 + kMinBarCells <= limit || fields.size() == 1) {
      const size_t room = limit > tail_width + 2 ? limit - tail_width - 2 : 0;
      const size_t cells = std::min(kBarCells, room);
      std::string bar;
      if (cells >= kMinBarCells) {
        const auto filled = static_cast<size_t>(fraction * static_cast<double>(cells));
        bar = "[";
        for (size_t i = 0; i < cells; ++i) bar += i < filled ? '=' : i == filled ? '>' : ' ';
        bar += "]";
        return bar + tail;
      }
      std::string text = tail.substr(2);
      return display_width(text) <= limit ? text : text.substr(0, limit);
    }
    fields.pop_back();
  }
}

std::string summary(const Totals& t, double elapsed_s, size_t skipped_outputs, size_t columns) {
  const size_t written = t.by_way[1] + t.by_way[2] + t.by_way[3];
  std::vector<std::string> parts = {std::to_string(t.files) +
                                    (t.files == 1 ? " file:" : " files:")};
  if (written > 0) {
    parts.push_back(std::to_string(written) + " recoded (" + std::to_string(t.by_way[1]) +
                    " by the library,");
    parts.push_back(std::to_string(t.by_way[2]) + " read past their metadata,");
    parts.push_back(std::to_string(t.by_way[3]) + " converted),");
  } else {
    parts.push_back("0 recoded,");
  }
  if (t.damaged > 0) parts.push_back(std::to_string(t.damaged) + " damaged,");
  parts.push_back(std::to_string(t.kept) + " kept,");
  if (t.skipped > 0) parts.push_back(std::to_string(t.skipped) + " skipped,");
  parts.push_back(std::to_string(t.failed) + " failed;");
  if (t.bytes_in > 0) {
    parts.push_back(format_bytes(t.bytes_in) + " " + kArrow + " " + format_bytes(t.bytes_out));
    parts.push_back(saving(t.bytes_in, t.bytes_out));
  }
  parts.push_back("in " + printf_text("%.1f s", elapsed_s));
  std::string text = wrap_parts(parts, columns);
  if (skipped_outputs > 0) {
    const bool is_one = skipped_outputs == 1;
    text +=
        '\n' + wrap_parts({std::to_string(skipped_outputs) +
                               (is_one ? " file named like a result" : " files named like results"),
                           "(NAME_Q.jpg beside NAME.jpg)",
                           is_one ? "was left out (-v names it)" : "were left out (-v names them)"},
                          columns);
  }
  return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0 when none starts there.
size_t utf8_length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(at + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;  // overlong, a surrogate, or above U+10FFFF
  }
  return length;
}

// A JSON string of text. A byte that is no part of well-formed UTF-8 (a Latin-1 file name, say)
// is written as the lone surrogate U+DC00 + byte, as Python's surrogateescape reads file names,
// so that the line stays valid JSON and the name can still be found again.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto u = static_cast<unsigned char>(c);
    const size_t length = utf8_length(text, at);
    if (length == 0 || u < 0x20) {  // a stray byte, or a control character
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", length == 0 ? 0xDC00u + u : u);
      out += escaped;
    } else if (length > 1) {
      out.append(text, at, length);
      at += length - 1;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* outcome_name(const FileOutcome& o) {
  switch (o.outcome) {
    case Outcome::kWritten:
      return o.damage.empty() ? "recoded" : "damaged";
    case Outcome::kKept:
      return "kept";
    case Outcome::kSkipped:
      return "skipped";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

const char* way_name(int32_t way) {
  switch (way) {
    case 1:
      return "library";
    case 2:
      return "metadata set aside";
    case 3:
      return "converted";
    default:
      return "";
  }
}

}  // namespace

std::string file_json(const std::string& source, const std::string& destination,
                      const FileOutcome& o) {
  std::string j =
      "{\"source\":" + json_string(source) + ",\"destination\":" + json_string(destination) +
      ",\"status\":" + json_string(outcome_name(o)) + ",\"way\":" + json_string(way_name(o.way)) +
      ",\"source_quality\":" + std::to_string(o.source_quality) +
      ",\"quality_used\":" + std::to_string(o.quality_used) +
      ",\"bytes_in\":" + std::to_string(o.bytes_in) +
      ",\"bytes_out\":" + std::to_string(o.bytes_out) + ",\"note\":" + json_string(o.note) +
      ",\"reason\":" + json_string(o.error) + ",\"library_status\":" + std::to_string(o.status) +
      ",\"damage\":" + json_string(o.damage) + "}";
  return j;
}

std::string plan_json(const std::string& source, const std::string& destination, const char* plan,
                      const std::string& what) {
  return "{\"source\":" + json_string(source) + ",\"destination\":" + json_string(destination) +
         ",\"plan\":" + json_string(plan) + ",\"what\":" + json_string(what) + "}";
}

std::string summary_json(const Totals& t, double elapsed_s, size_t skipped_outputs,
                         bool is_interrupted) {
  return "{\"summary\":{\"files\":" + std::to_string(t.files) +
         ",\"done\":" + std::to_string(t.done) +
         ",\"recoded\":" + std::to_string(t.by_way[1] + t.by_way[2] + t.by_way[3]) +
         ",\"by_library\":" + std::to_string(t.by_way[1]) +
         ",\"metadata_set_aside\":" + std::to_string(t.by_way[2]) +
         ",\"converted\":" + std::to_string(t.by_way[3]) +
         ",\"damaged\":" + std::to_string(t.damaged) + ",\"kept\":" + std::to_string(t.kept) +
         ",\"skipped\":" + std::to_string(t.skipped) + ",\"failed\":" + std::to_string(t.failed) +
         ",\"bytes_in\":" + std::to_string(t.bytes_in) +
         ",\"bytes_out\":" + std::to_string(t.bytes_out) +
         ",\"results_left_out\":" + std::to_string(skipped_outputs) +
         ",\"seconds\":" + printf_text("%.3f", elapsed_s) +
         ",\"interrupted\":" + (is_interrupted ? "true" : "false") + "}}";
}

bool is_terminal(FILE* stream) {
#if defined(_WIN32)
  // _isatty is true for NUL and serial ports too: only a console counts.
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

size_t terminal_columns() {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
#else
  winsize size{};
  if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

void Reporter::note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", one_line(text).c_str());
  std::fflush(stderr);
}

void Reporter::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

int Reporter::finish_interrupted(size_t skipped_outputs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clear_bar();
    std::fflush(stdout);
    std::fprintf(stderr, "kestrum-recode: interrupted after %zu of %zu files\n", totals_.done,
                 totals_.files);
    std::fflush(stderr);
  }
  finish(skipped_outputs, true);
  return 130;
}

int Reporter::finish(size_t skipped_outputs, bool is_interrupted) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  const size_t columns = is_terminal_ ? terminal_columns() : 0;
  if (options_.json) {
    std::printf("%s\n",
                summary_json(totals_, elapsed_s(), skipped_outputs, is_interrupted).c_str());
  } else {
    std::printf("%s\n", summary(totals_, elapsed_s(), skipped_outputs, columns).c_str());
  }
  std::fflush(stdout);
  return totals_.failed > 0 || totals_.damaged > 0 ? 1 : 0;
}

double Reporter::elapsed_s() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::clear_bar() {
  if (bar_width_ == 0) return;
#if defined(_WIN32)
  std::printf("\r%*s\r", static_cast<int>(bar_width_), "");
#else
  std::fputs("\r\033[K", stdout);  // erases to the line's end whatever the width is now
#endif
  bar_width_ = 0;
}

void Reporter::draw_bar() {
  if (!is_terminal_ || totals_.files < 2 || options_.json) return;
  const std::string bar = progress_bar(totals_, elapsed_s(), terminal_columns());
  clear_bar();
  std::fputs(bar.c_str(), stdout);
  bar_width_ = display_width(bar);
}

void Reporter::write_log(const std::string& relative, const std::string& log) {
  std::filesystem::path path = std::filesystem::path(options_.log_dir) / (relative + ".log");
  for (int n = 2; !written_logs_.insert(path.string()).second; ++n) {
    path = std::filesystem::path(options_.log_dir) / (relative + "." + std::to_string(n) + ".log");
  }
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary) << log;
}

void Reporter::report(const std::string& name, const std::string& destination,
                      const std::string& shown, const std::string& relative,
                      const FileOutcome& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!options_.log_dir.empty() && !relative.empty()) write_log(relative, outcome.log);
  clear_bar();
  const std::string line = file_line(name, shown, outcome, options_.verbose);
  if (options_.json) {
    std::printf("%s\n", file_json(name, destination, outcome).c_str());
  } else if (is_problem(outcome)) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  } else if (!options_.quiet) {
    std::printf("%s\n", line.c_str());
  }
  if (options_.verbose && !options_.json && !outcome.log.empty()) {
    std::fputs(outcome.log.c_str(), stdout);
    if (outcome.log.back() != '\n') std::fputs("\n", stdout);
  }
  totals_.add(outcome);
  draw_bar();
  std::fflush(stdout);
  changed_.notify_all();
}

}  // namespace kestrum::tool
