// hdgrab-watch --state: the service's state file as one line.
#pragma once

#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "health/state_file.h"
#include "tools/watch/watch.h"

namespace hdgrab::watch {

// The line printed for the state file's text: in plain form, for example
// "up 1920x1080@60 since 2026-12-09T03:04:05+01:00, client connected, bridge stable, input
// signal, 2 changes, 0 failed, 0 power cycles, last change 412 ms, pid 812, version <version
// line>" (", last error <call> ret=0x<status>" before the pid while one is recorded); in JSON
// form the compact JSON.
// Nothing when the text is not a JSON object.
std::optional<std::string> format_state(std::string_view text, OutputFormat format);

// The largest state file read; the service's own are a few hundred bytes.
inline constexpr size_t kMaxStateFileBytes = 64 * 1024;

// True when a process with this pid exists.
bool process_exists(long pid);
// When the process started (seconds since the epoch, whole seconds); nothing when unknown.
std::optional<time_t> process_start_time(long pid);

// Reads the regular file at `path`, at most kMaxStateFileBytes, with its modification time.
// False, with the reason in `why`, for anything else; `missing` when it cannot be opened.
bool read_state_file(const std::string& path, std::string& text, time_t& written, std::string& why,
                     bool& missing);

// Reads the state file at `path` and prints it to `out`. Returns kExitOk, kExitUnreachable when
// no service is running (no file, or the process it names is gone or started after the file
// was written, i.e. reuses the pid) and kExitFailure for a file that cannot be read as a state
// (not a regular file, larger than kMaxStateFileBytes, not a state); the reason goes to `err`.
int run_state(const std::string& path, OutputFormat format, std::ostream& out, std::ostream& err);

}  // namespace hdgrab::watch
