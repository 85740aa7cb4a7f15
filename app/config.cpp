#include "app/config.h"

#include <fcntl.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/config_store.h"
#include "base/unique_fd.h"
#include "log/logger.h"

namespace hdgrab {

namespace {

constexpr mode_t kConfigFileMode = 0644;

bool forces_debug_console(const CommandLine& switches) {
    return switches.debug || switches.dump_raw;
}

}  // namespace

bool bootstrap_config(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(fs::status(path, ec))) {
        ConfigStore::load(path);
        return true;
    }

    const fs::path directory = fs::path(path).parent_path();
    if (!directory.empty()) {
        fs::create_directory(directory, ec);  // an existing directory is fine
        if (ec) {
            // "File exists" alone would puzzle: name what is in the way.
            const std::string reason =
                ec == std::errc::file_exists ? "it exists and is not a directory" : ec.message();
            fmt::print(stderr, "Failed to create configuration directory {}: {}\n",
                       directory.string(), reason);
            return false;
        }
    }

    // Create the file empty. Should that fail, the load below finds nothing and the defaults
    // stay in force.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kConfigFileMode));
    if (!fd) {
        fmt::print(stderr, "Failed to create configuration file {}: {}\n", path,
                   std::strerror(errno));
    }
    fd.reset();

    ConfigStore::load(path);
    // Failures are reported by set_string and otherwise ignored: the defaults apply in memory.
    (void)ConfigStore::set_string(kLogLevelKey, kDefaultLogLevel);
    (void)ConfigStore::set_string(kLogTypeKey, kDefaultLogType);
    (void)ConfigStore::set_string(kLogFileKey, kDefaultLogFile);
    return true;
}

LogSettings choose_log_settings(const CommandLine& switches,
                                const std::optional<std::string>& level,
                                const std::optional<std::string>& type,
                                const std::optional<std::string>& file) {
    LogSettings chosen;
    if (forces_debug_console(switches)) {
        chosen.level = kDebugLogLevel;
        chosen.type = kDebugLogType;
    } else {
        chosen.level = normalize_level(level.value_or(kDefaultLogLevel));
        chosen.type = type.value_or(kDefaultLogType);
    }
    chosen.file = file.value_or(kDefaultLogFile);
    return chosen;
}

LogSettings choose_log_settings(const CommandLine& switches) {
    std::optional<std::string> level;
    std::optional<std::string> type;
    if (!forces_debug_console(switches)) {
        level = ConfigStore::get_string(kLogLevelKey);
        type = ConfigStore::get_string(kLogTypeKey);
    }
    return choose_log_settings(switches, level, type, ConfigStore::get_string(kLogFileKey));
}

bool recovery_retry_enabled() {
    return ConfigStore::get_bool(kRecoveryRetryKey).value_or(false);
}

RecoveryPolicy recovery_policy() {
    RecoveryPolicy policy;
    policy.retry = recovery_retry_enabled();
    policy.rebuild_on_signal_return = ConfigStore::get_bool(kRecoveryRebuildKey).value_or(false);
    return policy;
}

}  // namespace hdgrab
