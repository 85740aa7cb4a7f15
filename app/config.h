// Configuration file bootstrap and the choice of the three logging values.
#pragma once

#include <optional>
#include <string>

#include "app/cli.h"
#include "bridge/status_reaction.h"

namespace hdgrab {

inline constexpr const char* kConfigPath = "/etc/kvm/hdgrab.toml";

inline constexpr const char* kLogLevelKey = "log.level";
inline constexpr const char* kLogTypeKey = "log.type";
inline constexpr const char* kLogFileKey = "log.file";
// Whether a failed resolution change is retried without a new announcement (default false; not
// written into a bootstrapped file).
inline constexpr const char* kRecoveryRetryKey = "recovery.retry";
// Whether "new res" at the recorded geometry after a loss of signal rebuilds the pipeline
// (default false; not written into a bootstrapped file).
inline constexpr const char* kRecoveryRebuildKey = "recovery.rebuild_on_signal_return";

inline constexpr const char* kDefaultLogLevel = "error";
inline constexpr const char* kDefaultLogType = "file";
// The default log file is hdgrab::kDefaultLogFile (log/logger.h).

// What -d / --dump-raw force.
inline constexpr const char* kDebugLogLevel = "debug";
inline constexpr const char* kDebugLogType = "console";

// The three logging values handed to the logger objects.
struct LogSettings {
    std::string level;
    std::string type;
    std::string file;

    bool operator==(const LogSettings&) const = default;
};

// Loads the configuration file into ConfigStore. A missing file is first created with the three
// defaults (its parent directory is created, one level only); an existing file is never
// rewritten here. False, with the error on standard error, only when the parent directory cannot
// be created; any other problem leaves the defaults in force.
bool bootstrap_config(const std::string& path = kConfigPath);

// The choice itself, from the switches and the values found in the file (no value when missing
// or not a string): a debug or dump run logs at level debug on the console; otherwise the file's
// level (normalised, so "warn" -> "warning" and unknown words -> "off") and type with their
// defaults. The file is always the file's value or the default log file.
LogSettings choose_log_settings(const CommandLine& switches,
                                const std::optional<std::string>& level,
                                const std::optional<std::string>& type,
                                const std::optional<std::string>& file);

// The same with the values read from ConfigStore (level and type only when no switch overrides
// them).
LogSettings choose_log_settings(const CommandLine& switches);

// `recovery.retry` from ConfigStore: true only for the boolean true (missing or another type:
// false).
bool recovery_retry_enabled();

// Both recovery keys from ConfigStore, each true only for the boolean true.
RecoveryPolicy recovery_policy();

}  // namespace hdgrab
