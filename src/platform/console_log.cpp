// SPDX-License-Identifier: MIT
// Console log over stdout or a sink, with the per-recode message limit.
#include "platform/console_log.h"

#include <cstdio>

#include "common/messages.h"

namespace kestrum {
namespace {

struct ConsoleState {
  ConsoleTarget target;  // where text goes now; a null sink = standard output
  bool is_recode_open;   // between begin_recode_console and end_recode_console
  bool is_muted;         // the open recode prints nothing for now
  int32_t messages;      // counted messages of the open recode, 0..kMaxRecodeMessages + 1
};
ConsoleState g_console{};

void write_text(const char* format, va_list args) {
  const ConsoleTarget& t = g_console.target;
  if (t.sink == nullptr) {
    std::vfprintf(stdout, format, args);
    return;
  }
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  t.sink(text, t.context);
}

void write_plain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_text(format, args);
  va_end(args);
}

// Counts one message of the open recode; false once its limit is passed (the notice is printed
// once). Messages outside a recode (the codec's own calls in tests) are not counted.
bool count_message() {
  if (!g_console.is_recode_open) return true;
  if (g_console.messages > kMaxRecodeMessages) return false;
  if (++g_console.messages <= kMaxRecodeMessages) return true;
  write_plain("%s", msg::kMessagesSuppressed);
  return false;
}

}  // namespace

void begin_recode_console(ConsoleTarget target) noexcept {
  g_console.target = target;
  g_console.is_recode_open = true;
  g_console.is_muted = false;
  g_console.messages = 0;
}

void end_recode_console(ConsoleTarget after) noexcept {
  g_console.target = after;
  g_console.is_recode_open = false;
  g_console.is_muted = false;
  g_console.messages = 0;
}

void mute_recode_console(bool is_muted) noexcept { g_console.is_muted = is_muted; }

void console_log(const char* format, ...) noexcept {
  if (g_console.is_muted) return;
  if (!count_message()) return;
  va_list args;
  va_start(args, format);
  write_text(format, args);
  va_end(args);
}

void console_final(const char* format, ...) noexcept {
  if (g_console.is_muted) return;
  va_list args;
  va_start(args, format);
  write_text(format, args);
  va_end(args);
}

void console_line(const char* text) noexcept { console_log("%s\n", text); }

}  // namespace kestrum
