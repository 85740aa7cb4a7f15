// Logger objects: the interface every long-lived object logs through, and its one implementation.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hdgrab {

// Default log file and its rotation limits.
inline constexpr const char* kDefaultLogFile = "/var/log/vexlane/vin.log";
inline constexpr uint64_t kLogMaxSize = 2097152;  // bytes per file (2 MiB)
inline constexpr uint64_t kLogMaxFiles = 3;       // rotated files kept beside the current one
inline constexpr const char* kLogPattern = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v";

}  // namespace hdgrab

class ILogger {
public:
    virtual void configure(const std::string& level, const std::string& type,
                           const std::string& file) = 0;
    virtual std::shared_ptr<spdlog::logger> get_logger() = 0;
    virtual ~ILogger() = default;
};

class DefaultLogger2 : public ILogger {
public:
    explicit DefaultLogger2(std::string name);

    // Builds a new library logger on the console ("console") or the shared rotating file
    // ("file"); any other type throws std::runtime_error and keeps the previous logger. `file`
    // is unused: the file name comes from set_log_file.
    void configure(const std::string& level, const std::string& type,
                   const std::string& file) override;
    std::shared_ptr<spdlog::logger> get_logger() override;

private:
    std::string name;
    std::shared_ptr<spdlog::logger> logger;
};

// Stores the log-file settings used when the shared file sink is first created.
void set_log_file(const std::string& path, uint64_t max_size, uint64_t max_files);

// The one rotating file sink every "file" logger writes through; created on first call.
std::shared_ptr<spdlog::sinks::rotating_file_sink<std::mutex>> shared_file_sink();

// Canonical level name for `name` ("warn" -> "warning", "err" -> "error"); unknown -> "off".
std::string normalize_level(const std::string& name);

// The spdlog level for an input name, by the same exact-match vocabulary; unknown -> off.
spdlog::level::level_enum level_from_name(const std::string& name);

namespace hdgrab {

// For a configuration reload while other threads log: moves the library loggers made by
// DefaultLogger2::configure to a new sink of `type` ("console": one new console sink each;
// "file": a rotating file opened afresh at `path`, which then becomes the shared file sink and
// the log-file settings' path). The new sink is open before any logger lets go of its old one.
// Throws like configure (unsupported type, a file that cannot be opened) before anything
// changed. A logger made elsewhere keeps its sinks.
void switch_log_sinks(const std::vector<std::shared_ptr<spdlog::logger>>& loggers,
                      const std::string& type, const std::string& path);

// Sets the process-wide level and the threshold of every logger in `loggers` to `level`.
void set_log_levels(const std::vector<std::shared_ptr<spdlog::logger>>& loggers,
                    const std::string& level);

}  // namespace hdgrab

// The process-wide "main" logger object. Destroyed at process exit after the service objects.
extern std::unique_ptr<DefaultLogger2> global_logger;
