// SPDX-License-Identifier: MIT
// Worker processes: the tool runs itself with --worker for one file and reads what it prints.
// posix_spawn on POSIX systems, CreateProcess on Windows.
#pragma once

#include <string>
#include <vector>

namespace kestrum::tool {

// The path of the running program (for starting workers); argv0 when it cannot be found.
std::string self_path(const char* argv0);

// Runs program with args, standard output captured into *output, standard error inherited.
// Returns the exit status, or -1 when the process could not be started (error says why).
int run_captured(const std::string& program, const std::vector<std::string>& args, std::string* output,
                 std::string* error);

// One argument quoted for a Windows command line (CommandLineToArgvW rules).
std::string quote_windows_arg(const std::string& arg);

}  // namespace kestrum::tool
