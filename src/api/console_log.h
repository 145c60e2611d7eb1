// SPDX-License-Identifier: MIT
// The console log: printf-like text to standard output, the library's only output channel.
#pragma once

#include <cstdarg>

namespace kestrum {

// Formats like printf and writes to standard output; adds nothing, does not flush.
void console_log(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Prints text followed by a line break ("%s\n").
void console_line(const char* text) noexcept;

// Where console text goes instead of standard output (tests capture transcripts through it);
// null restores standard output.
using ConsoleSink = void (*)(const char* text, void* context);
void set_console_sink(ConsoleSink sink, void* context) noexcept;

}  // namespace kestrum
