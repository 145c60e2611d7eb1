// SPDX-License-Identifier: MIT
// The console log: printf-like text to standard output or a sink, the library's only output
// channel. Each recode opens the console for itself while it holds the recode lock, and after
// kMaxRecodeMessages messages the rest of its messages are suppressed, except the recode's final
// lines. Where its text goes is the process state's choice; the console only follows it.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace kestrum {

// Formats like printf and writes to the console; adds nothing, does not flush. Past
// kMaxRecodeMessages in one recode, one notice is printed and the rest is dropped.
// Reads/Writes: the console of the current recode.
void console_log(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Prints text followed by a line break ("%s\n"), counted like console_log.
// Reads/Writes: the console of the current recode.
void console_line(const char* text) noexcept;

// A recode's final lines ("jpg dec failed. ret=%d", "encoding jpg ..." and the failure that
// precedes it): printed even after the recode's messages were suppressed.
// Reads: the console of the current recode.
void console_final(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A real file prints a few dozen messages; a hostile one (a run of unknown markers, zeros) could
// print tens of bytes of log per byte of input.
inline constexpr int32_t kMaxRecodeMessages = 1000;

// Where console text goes instead of standard output; null = standard output.
using ConsoleSink = void (*)(const char* text, void* context);
struct ConsoleTarget {
  ConsoleSink sink = nullptr;
  void* context = nullptr;
};

// Opens the console for one recode: its text goes to target (standard output where target.sink
// is null) and its message count starts at 0. The caller holds the recode lock until it calls
// end_recode_console (the process state's open_recode_console does both).
// Writes: the console of the current recode.
void begin_recode_console(ConsoleTarget target) noexcept;
// While muted the current recode prints and counts nothing: a decode done again for its image,
// whose messages were printed the first time.
// Writes: the console of the current recode.
void mute_recode_console(bool is_muted) noexcept;
// Closes the recode's console; text outside any recode, uncounted, goes to after from now on.
// Writes: the console of the current recode.
void end_recode_console(ConsoleTarget after) noexcept;

}  // namespace kestrum
