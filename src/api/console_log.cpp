// SPDX-License-Identifier: MIT
// Console log over stdout, with a replaceable sink for tests.
#include "api/console_log.h"

#include <cstdio>

namespace kestrum {
namespace {
ConsoleSink g_sink = nullptr;
void* g_sink_context = nullptr;
}  // namespace

void set_console_sink(ConsoleSink sink, void* context) noexcept {
  g_sink = sink;
  g_sink_context = context;
}

void console_log(const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  if (g_sink == nullptr) {
    std::vfprintf(stdout, format, args);
  } else {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    g_sink(text, g_sink_context);
  }
  va_end(args);
}

void console_line(const char* text) noexcept { console_log("%s\n", text); }

}  // namespace kestrum
