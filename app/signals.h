// Signal handling: the early exit request, the stop request and the crash trace.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <optional>
#include <string>

#include "base/alt_signal_stack.h"

// Signals that ask the service to stop, in the order the early handler is installed for them.
inline constexpr std::array<int, 2> exit_signals{SIGTERM, SIGINT};

// A process-wide string-to-string store, ordered by key, guarded by a reader-writer lock and
// created on first use. The service only ever writes "need_exit" = "true" into it.
class FlagStore {
  public:
    // Inserts `key` or replaces its value.
    static void set(const std::string& key, const std::string& value);
    // The value stored under `key`, if any.
    static std::optional<std::string> get(const std::string& key);
};

// Early SIGTERM/SIGINT handler: records the request only (see hdgrab::record_exit_request); the
// process keeps running. Other signal numbers are ignored. Async-signal-safe: one atomic store.
void on_exit_request(int signum);

// Final SIGINT/SIGTERM handler: clears the running flag and wakes the stop descriptor.
// Async-signal-safe: one atomic store and one write(2).
void on_stop_signal(int signum);

// SIGHUP handler until the final handlers are installed: does nothing, so that a hang-up during
// start-up neither ends the process (the default action) nor asks for a reload.
void on_early_hangup(int signum);

// Final SIGHUP handler: asks for a configuration reload (see hdgrab::request_reload), which the
// Capture thread applies. Async-signal-safe: one atomic load and one write(2).
void on_reload_signal(int signum);

// SIGSEGV handler: prints the stack trace and ends the process with status 255. Any other
// signal number returns at once.
void on_crash(int signum);

// Writes "Stack trace:" and one line per calling frame to standard output with write(2), then
// ends the process through exit(-1) so the process-exit destructors run (status 255).
[[noreturn]] void print_stack_trace();

namespace hdgrab {

// The FlagStore key that records a stop request seen before the final handler was installed.
inline constexpr const char* kNeedExitFlag = "need_exit";
// Status after a segmentation fault (exit(-1)).
inline constexpr int kCrashExitStatus = 255;
// Once tracing started, the process ends with kCrashExitStatus if the trace or the exit
// handlers make no progress for this long (a fault inside the allocator can leave its lock held,
// and the demangler allocates).
inline constexpr unsigned kCrashWatchdogSeconds = 5;

// First step of start-up: loads the stack unwinder, and makes SIGSEGV run on_crash on an
// alternate signal stack (kept for the whole process) so that a stack overflow is traced too.
// Without the unwinder the trace is the header line alone.
bool install_crash_handler();

// Second step of start-up: SIGTERM, then SIGINT, run on_exit_request; SIGHUP runs
// on_early_hangup.
bool install_exit_request_handlers();

// After logging is configured: SIGINT, then SIGTERM, run on_stop_signal, and SIGHUP runs
// on_reload_signal. Also carries a request recorded by the early handler into FlagStore.
bool install_stop_handlers();

// Moves a stop request recorded by on_exit_request into FlagStore ("need_exit" = "true").
// Call from normal context (after the configuration step); the request does not stop start-up.
void record_exit_request();

}  // namespace hdgrab
