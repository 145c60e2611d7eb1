// SPDX-License-Identifier: MIT
// Line, progress bar and summary texts.
#include "recode/report.h"

#include <cstdio>

namespace kestrum::tool {
namespace {

constexpr const char* kArrow = "\u2192";
constexpr size_t kBarCells = 20;

std::string printf_text(const char* format, double a, double b = 0) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, a, b);
  return buffer;
}

std::string saving(uint64_t in, uint64_t out) {
  if (in == 0) return "";
  const double change = (static_cast<double>(out) - static_cast<double>(in)) * 100.0 / static_cast<double>(in);
  return printf_text("%+.1f%%", change);
}

std::string clock_text(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%lld:%02lld", s / 60, s % 60);
  return buffer;
}

}  // namespace

std::string format_bytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const double kb = static_cast<double>(bytes) / 1024.0;
  if (kb < 1024) return printf_text("%.1f KB", kb);
  return printf_text("%.2f MB", kb / 1024.0);
}

std::string file_line(const std::string& name, const FileOutcome& o) {
  std::string line = name + "  ";
  if (o.outcome == Outcome::kFailed) {
    line += "FAILED " + std::to_string(o.status) + ": " + o.error;
    return line;
  }
  line += 'q';
  line += o.source_quality > 0 ? std::to_string(o.source_quality) : "?";
  line += "  ";
  line += format_bytes(o.bytes_in) + " " + kArrow + " " + format_bytes(o.bytes_out);
  if (o.outcome == Outcome::kKept) {
    line += "  kept the original: the recode is not smaller";
  } else {
    line += "  " + saving(o.bytes_in, o.bytes_out);
  }
  if (!o.note.empty()) line += "  (" + o.note + ")";
  return line;
}

void Totals::add(const FileOutcome& o) {
  ++done;
  bytes_in += o.bytes_in;
  switch (o.outcome) {
    case Outcome::kWritten:
      if (o.way >= 1 && o.way <= 4) ++by_way[o.way];
      bytes_out += o.bytes_out;
      break;
    case Outcome::kKept:
      ++kept;
      bytes_out += o.bytes_in;
      break;
    case Outcome::kFailed:
      ++failed;
      bytes_out += o.bytes_in;
      break;
  }
}

std::string progress_bar(const Totals& t, double elapsed_s) {
  const double fraction = t.total_in > 0 ? static_cast<double>(t.bytes_in) / static_cast<double>(t.total_in)
                          : t.files > 0  ? static_cast<double>(t.done) / static_cast<double>(t.files)
                                         : 1.0;
  const auto filled = static_cast<size_t>(fraction * kBarCells);
  std::string bar = "[";
  for (size_t i = 0; i < kBarCells; ++i) bar += i < filled ? '=' : i == filled ? '>' : ' ';
  bar += "] " + std::to_string(t.done) + "/" + std::to_string(t.files) + "  " + format_bytes(t.bytes_in) + " " +
         kArrow + " " + format_bytes(t.bytes_out);
  if (elapsed_s > 0 && t.done > 0) {
    bar += printf_text("  %.1f files/s", static_cast<double>(t.done) / elapsed_s);
    if (fraction > 0 && fraction < 1) bar += "  " + clock_text(elapsed_s * (1 - fraction) / fraction) + " left";
  }
  return bar;
}

std::string summary(const Totals& t, double elapsed_s, size_t skipped_outputs) {
  const size_t written = t.by_way[1] + t.by_way[2] + t.by_way[3];
  std::string text =
      std::to_string(t.files) + (t.files == 1 ? " file: " : " files: ") + std::to_string(written) + " recoded";
  if (written > 0) {
    text += " (" + std::to_string(t.by_way[1]) + " by the library, " + std::to_string(t.by_way[2]) +
            " with metadata set aside, " + std::to_string(t.by_way[3]) + " converted)";
  }
  text += ", " + std::to_string(t.kept) + " kept, " + std::to_string(t.failed) + " failed";
  text += "; " + format_bytes(t.bytes_in) + " " + kArrow + " " + format_bytes(t.bytes_out) + " " +
          saving(t.bytes_in, t.bytes_out) + " in " + printf_text("%.1f s", elapsed_s);
  if (skipped_outputs > 0) {
    text += '\n';
    text += std::to_string(skipped_outputs) + " files named like results of this quality were left out";
  }
  return text;
}

}  // namespace kestrum::tool
