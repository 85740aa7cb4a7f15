#include "app/startup.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "log/logger.h"

namespace hdgrab {

namespace {

constexpr const char* kMainLoggerName = "main";

LogSettings g_saved_log_settings;

}  // namespace

bool start_logging(const LogSettings& settings) {
    set_log_file(settings.file, kLogMaxSize, kLogMaxFiles);
    spdlog::set_level(level_from_name(settings.level));

    global_logger = std::make_unique<DefaultLogger2>(kMainLoggerName);
    try {
        // The file name reaches the sink through the log-file settings above.
        global_logger->configure(settings.level, settings.type, "");
    } catch (const std::exception& e) {
        // Everything after this point logs through the "main" logger: without one the service
        // cannot run.
        fmt::print(stderr, "Failed to set up logging: {}\n", e.what());
        global_logger.reset();
        return false;
    }
    global_logger->get_logger()->debug("main function start");
    return true;
}

void save_log_settings(const LogSettings& settings) {
    g_saved_log_settings = settings;
}

const LogSettings& saved_log_settings() {
    return g_saved_log_settings;
}

}  // namespace hdgrab
