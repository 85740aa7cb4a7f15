#include "log/logger.h"

#include <fcntl.h>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>

#include <array>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <utility>

std::unique_ptr<DefaultLogger2> global_logger;

namespace {

struct LogFileSettings {
    std::string path;
    uint64_t max_size = 0;
    uint64_t max_files = 0;
};

std::shared_mutex g_settings_lock;
LogFileSettings g_settings;

// Namespace-scope (not function-local) so that it is destroyed after every object that is torn
// down at process exit; loggers keep their own reference anyway.
// A mutex rather than std::call_once: a failed creation throws, and an exception leaving
// call_once aborts the process when libunwind's unwinder is linked in (the crash trace uses it).
std::mutex g_sink_mutex;
std::shared_ptr<spdlog::sinks::rotating_file_sink<std::mutex>> g_file_sink;

struct LevelName {
    const char* input;
    spdlog::level::level_enum level;
};

constexpr std::array<LevelName, 9> kLevelNames{{
    {"trace", spdlog::level::trace},
    {"debug", spdlog::level::debug},
    {"info", spdlog::level::info},
    {"warning", spdlog::level::warn},
    {"warn", spdlog::level::warn},
    {"error", spdlog::level::err},
    {"err", spdlog::level::err},
    {"critical", spdlog::level::critical},
    {"off", spdlog::level::off},
}};

constexpr std::array<const char*, 7> kCanonicalNames{"trace", "debug",    "info", "warning",
                                                     "error", "critical", "off"};

std::shared_ptr<spdlog::sinks::sink> make_console_sink() {
    using ConsoleSink = spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>;
    auto sink = std::make_shared<ConsoleSink>(spdlog::color_mode::automatic);
    sink->set_color(spdlog::level::trace, "\033[36m");
    sink->set_color(spdlog::level::debug, "\033[34m");
    sink->set_color(spdlog::level::info, "\033[32m");
    sink->set_color(spdlog::level::warn, "\033[33m");
    sink->set_color(spdlog::level::err, "\033[31m");
    sink->set_color(spdlog::level::critical, "\033[31m");
    return sink;
}

// The library opens the log file without close-on-exec; the service runs shell commands through
// system(), which must not inherit it. Marking it right after every open (the first one and each
// rotation) leaves only the short moment between the two calls.
spdlog::file_event_handlers close_on_exec_handlers() {
    spdlog::file_event_handlers handlers;
    handlers.after_open = [](const spdlog::filename_t& /*name*/, std::FILE* file) {
        const int fd = ::fileno(file);
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0) {
            (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    };
    return handlers;
}

// A library logger whose sink can be replaced while other threads log through it: each line is
// written under the shared side of a lock, the replacement takes the exclusive side.
class SwitchableLogger : public spdlog::logger {
  public:
    SwitchableLogger(std::string name, spdlog::sink_ptr sink)
        : spdlog::logger(std::move(name), std::move(sink)) {}

    void replace_sinks(spdlog::sink_ptr sink) {
        std::vector<spdlog::sink_ptr> old;
        {
            std::unique_lock lock(sinks_lock_);
            old = std::exchange(sinks_, {std::move(sink)});
        }
        // The old sink (a log file's last buffered lines) goes here, outside the lock.
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::shared_lock lock(sinks_lock_);
        for (auto& sink : sinks_) {
            if (sink->should_log(msg.level)) {
                try {
                    sink->log(msg);
                } catch (const std::exception& e) {
                    err_handler_(e.what());
                }
            }
        }
        if (should_flush_(msg)) {
            flush_sinks();
        }
    }
    void flush_() override {
        std::shared_lock lock(sinks_lock_);
        flush_sinks();
    }

  private:
    void flush_sinks() {
        for (auto& sink : sinks_) {
            try {
                sink->flush();
            } catch (const std::exception& e) {
                err_handler_(e.what());
            }
        }
    }

    std::shared_mutex sinks_lock_;
};

std::shared_ptr<spdlog::sinks::rotating_file_sink<std::mutex>> make_file_sink(
    const LogFileSettings& settings) {
    return std::make_shared<spdlog::sinks::rotating_file_sink<std::mutex>>(
        settings.path, static_cast<size_t>(settings.max_size),
        static_cast<size_t>(settings.max_files), false, close_on_exec_handlers());
}

}  // namespace

spdlog::level::level_enum level_from_name(const std::string& name) {
    for (const auto& entry : kLevelNames) {
        if (name == entry.input) {
            return entry.level;
        }
    }
    return spdlog::level::off;
}

std::string normalize_level(const std::string& name) {
    return kCanonicalNames[static_cast<size_t>(level_from_name(name))];
}

void set_log_file(const std::string& path, uint64_t max_size, uint64_t max_files) {
    std::unique_lock lock(g_settings_lock);
    g_settings = LogFileSettings{path, max_size, max_files};
}

std::shared_ptr<spdlog::sinks::rotating_file_sink<std::mutex>> shared_file_sink() {
    std::lock_guard guard(g_sink_mutex);
    if (!g_file_sink) {
        std::shared_lock lock(g_settings_lock);
        g_file_sink = make_file_sink(g_settings);
    }
    return g_file_sink;
}

DefaultLogger2::DefaultLogger2(std::string name) : name(std::move(name)) {}

void DefaultLogger2::configure(const std::string& level, const std::string& type,
                               const std::string& /*file*/) {
    std::shared_ptr<spdlog::sinks::sink> sink;
    if (type == "console") {
        sink = make_console_sink();
    } else if (type == "file") {
        sink = shared_file_sink();
    } else {
        throw std::runtime_error("Unsupported sink type or missing file path: " + type);
    }
    auto fresh = std::make_shared<SwitchableLogger>(name, std::move(sink));
    logger = fresh;
    logger->set_level(std::max(level_from_name(level), spdlog::get_level()));
    logger->set_pattern(hdgrab::kLogPattern, spdlog::pattern_time_type::local);
}

std::shared_ptr<spdlog::logger> DefaultLogger2::get_logger() {
    return logger;
}

namespace hdgrab {

void switch_log_sinks(const std::vector<std::shared_ptr<spdlog::logger>>& loggers,
                      const std::string& type, const std::string& path) {
    std::vector<spdlog::sink_ptr> sinks;
    if (type == "console") {
        for (size_t i = 0; i < loggers.size(); ++i) {
            sinks.push_back(make_console_sink());
        }
    } else if (type == "file") {
        LogFileSettings settings;
        {
            std::shared_lock lock(g_settings_lock);
            settings = g_settings;
        }
        settings.path = path;
        auto file_sink = make_file_sink(settings);
        set_log_file(settings.path, settings.max_size, settings.max_files);
        {
            std::lock_guard guard(g_sink_mutex);
            g_file_sink = file_sink;
        }
        sinks.assign(loggers.size(), file_sink);
    } else {
        throw std::runtime_error("Unsupported sink type or missing file path: " + type);
    }
    for (size_t i = 0; i < loggers.size(); ++i) {
        // A logger made elsewhere (or none) keeps what it has.
        auto* logger = dynamic_cast<SwitchableLogger*>(loggers[i].get());
        if (logger == nullptr) {
            continue;
        }
        sinks[i]->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            kLogPattern, spdlog::pattern_time_type::local));
        logger->replace_sinks(sinks[i]);
    }
}

void set_log_levels(const std::vector<std::shared_ptr<spdlog::logger>>& loggers,
                    const std::string& level) {
    const spdlog::level::level_enum threshold = level_from_name(level);
    spdlog::set_level(threshold);
    for (const auto& logger : loggers) {
        if (logger) {
            logger->set_level(threshold);
        }
    }
}

}  // namespace hdgrab
