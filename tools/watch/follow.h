// hdgrab-watch --state --follow: the service's state file as one line at every change.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "tools/watch/watch.h"

namespace hdgrab::watch {

// What is printed while no service runs (no state file, or its process is gone).
inline constexpr const char* kNotRunningLine = "not running";
inline constexpr const char* kNotRunningJson = R"({"running":false})";
// Only where the kernel cannot tell when a process ends (no pidfd): how often the process of a
// shown state is looked for.
inline constexpr std::chrono::milliseconds kVanishCheckInterval{1000};

// Prints the state as run_state() reads it now, and again whenever the file changes (inotify on
// its directory; a directory not there yet is waited for) or the service it names ends: one line
// each (kNotRunningLine / kNotRunningJson while no service runs), never the same line twice in a
// row. Runs until `stop_fd` becomes readable (kExitOk) or standard output fails (kExitFailure).
int follow_state(const std::string& path, OutputFormat format, int stop_fd, std::ostream& out,
                 std::ostream& err);

}  // namespace hdgrab::watch
