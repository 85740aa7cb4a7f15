#include "log/logger.h"

#include <fcntl.h>

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
std::once_flag g_sink_once;
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
    std::call_once(g_sink_once, [] {
        std::shared_lock lock(g_settings_lock);
        g_file_sink = std::make_shared<spdlog::sinks::rotating_file_sink<std::mutex>>(
            g_settings.path, static_cast<size_t>(g_settings.max_size),
            static_cast<size_t>(g_settings.max_files), false, close_on_exec_handlers());
    });
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
    auto fresh = std::make_shared<spdlog::logger>(name, std::move(sink));
    logger = fresh;
    logger->set_level(std::max(level_from_name(level), spdlog::get_level()));
    logger->set_pattern(hdgrab::kLogPattern, spdlog::pattern_time_type::local);
}

std::shared_ptr<spdlog::logger> DefaultLogger2::get_logger() {
    return logger;
}
