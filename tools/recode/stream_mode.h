// SPDX-License-Identifier: MIT
// The tool's stream mode: one JPEG from standard input to standard output.
#pragma once

#include <atomic>

#include "recode/options.h"

namespace kestrum::tool {

// "-": recodes the JPEG on standard input to standard output by the options' policy; the file's
// line goes to standard error when it failed or was damaged (and with -v always). Refuses a
// terminal on either side, and an output that is its input (status 2). Returns the exit status:
// 0, 1 for a failed or damaged recode, 130 when interrupted came while it ran.
int run_stream(const Options& o, const std::atomic<bool>& interrupted);

}  // namespace kestrum::tool
