#include "app/reload.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "app/config_store.h"
#include "app/startup.h"
#include "base/reload_request.h"
#include "bridge/lt6911_util.h"
#include "health/service_health.h"
#include "log/logger.h"
#include "media/axera_util.h"

namespace hdgrab {
namespace {

struct ReloadSetup {
    CommandLine switches;
    std::string path = kConfigPath;
};
// Written by the main thread before the workers start; read by the Capture thread.
ReloadSetup g_setup;

// Held by a reload, and for good by the exit path once it sealed (see seal_reload_for_exit).
// Recursive: a crash inside a reload reaches the exit path on the same thread. Never destroyed,
// as the exit path runs while static objects go.
std::recursive_mutex& reload_lock() {
    static auto* const lock = new std::recursive_mutex;
    return *lock;
}
bool g_sealed = false;  // under reload_lock()

std::shared_ptr<std::atomic<RecoveryPolicy>> recovery_store() {
    static const auto store = std::make_shared<std::atomic<RecoveryPolicy>>(recovery_policy());
    return store;
}

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

// What a reload changed, for the summary line: "log.level error -> debug".
class Changes {
  public:
    template <typename Value>
    void note(std::string_view key, const Value& before, const Value& after) {
        if (before != after) {
            items_.push_back(fmt::format("{} {} -> {}", key, before, after));
        }
    }
    std::string summary() const {
        return items_.empty() ? "nothing changed" : fmt::format("{}", fmt::join(items_, ", "));
    }

  private:
    std::vector<std::string> items_;
};

// The file's string under `key`; its default when the key is missing; the running value, with a
// warning, when the key holds another type.
std::string string_setting(const char* key, const std::string& running, const char* fallback) {
    if (auto value = ConfigStore::get_string(key)) {
        return *value;
    }
    if (ConfigStore::contains(key)) {
        main_log()->warn("Configuration key {} is not a string; keeping {}", key, running);
        return running;
    }
    return fallback;
}

// The same for a boolean key, whose default is false.
bool bool_setting(const char* key, bool running) {
    if (auto value = ConfigStore::get_bool(key)) {
        return *value;
    }
    if (ConfigStore::contains(key)) {
        main_log()->warn("Configuration key {} is not a boolean; keeping {}", key, running);
        return running;
    }
    return false;
}

LogSettings next_log_settings(const LogSettings& running) {
    LogSettings next = running;
    // -d (and the dump) keep level debug on the console whatever the file says.
    if (!g_setup.switches.debug && !g_setup.switches.dump_raw) {
        next.level = normalize_level(string_setting(kLogLevelKey, running.level, kDefaultLogLevel));
        next.type = string_setting(kLogTypeKey, running.type, kDefaultLogType);
    }
    next.file = string_setting(kLogFileKey, running.file, kDefaultLogFile);
    return next;
}

std::vector<std::shared_ptr<spdlog::logger>> service_loggers() {
    std::vector<std::shared_ptr<spdlog::logger>> loggers{main_log()};
    if (global_axera_util) {
        loggers.push_back(global_axera_util->get_logger());
    }
    if (global_lt6911_util) {
        loggers.push_back(global_lt6911_util->get_logger());
    }
    return loggers;
}

// Applies `next` to the running loggers; returns what is in force afterwards. A sink that cannot
// be opened leaves the old one in place, and the error goes there.
LogSettings apply_log_settings(const LogSettings& running, LogSettings next) {
    const auto loggers = service_loggers();
    if (next.level != running.level) {
        set_log_levels(loggers, next.level);
    }
    const bool new_sink =
        next.type != running.type || (next.type == "file" && next.file != running.file);
    if (new_sink) {
        try {
            switch_log_sinks(loggers, next.type, next.file);
        } catch (const std::exception& e) {
            main_log()->error("Failed to switch the log output: {}", e.what());
            next.type = running.type;
            next.file = running.file;
        }
    } else if (next.file != running.file) {
        // Not written to now; the file a later switch to "file" opens.
        set_log_file(next.file, kLogMaxSize, kLogMaxFiles);
    }
    return next;
}

bool apply_file() {
    std::string reason;
    if (!ConfigStore::reload(g_setup.path, reason)) {
        main_log()->error(
            "Failed to reload configuration file {}: {}; keeping the running settings",
            g_setup.path, reason);
        return false;
    }
    Changes changes;
    const LogSettings running = saved_log_settings();
    const LogSettings next = apply_log_settings(running, next_log_settings(running));
    save_log_settings(next);
    changes.note(kLogLevelKey, running.level, next.level);
    changes.note(kLogTypeKey, running.type, next.type);
    changes.note(kLogFileKey, running.file, next.file);

    const auto store = recovery_store();
    const RecoveryPolicy before = store->load();
    RecoveryPolicy after;
    after.retry = bool_setting(kRecoveryRetryKey, before.retry);
    after.rebuild_on_signal_return =
        bool_setting(kRecoveryRebuildKey, before.rebuild_on_signal_return);
    store->store(after);
    changes.note(kRecoveryRetryKey, before.retry, after.retry);
    changes.note(kRecoveryRebuildKey, before.rebuild_on_signal_return,
                 after.rebuild_on_signal_return);

    main_log()->info("Configuration reloaded: {}", changes.summary());
    return true;
}

uint64_t monotonic_usec() {
    const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since_boot).count());
}

}  // namespace

SharedRecoveryPolicy running_recovery_policy() {
    return recovery_store();
}

void arm_reload(const CommandLine& switches, const std::string& path) {
    g_setup = ReloadSetup{switches, path};
    (void)recovery_store();
    set_reload_handler([] { (void)reload_configuration(); });
}

bool reload_configuration() {
    std::lock_guard hold(reload_lock());
    if (g_sealed) {
        return false;
    }
    service_health().notify_manager(
        fmt::format("{}\n{}{}", kReloadingAssignment, kMonotonicUsecAssignment, monotonic_usec()));
    const bool taken = apply_file();
    service_health().notify_manager(kReloadedAssignment);
    return taken;
}

void seal_reload_for_exit() noexcept {
    reload_lock().lock();  // kept: no reload starts again
    g_sealed = true;
}

}  // namespace hdgrab
