// Start-up of the process-wide logging, and the logging values kept for the service objects.
#pragma once

#include "app/config.h"

namespace hdgrab {

// Sets the log-file settings (settings.file, kLogMaxSize, kLogMaxFiles), the process-wide level,
// creates the "main" logger in global_logger, configures it with (level, type, "") and logs
// "main function start" at debug. False, with the error on standard error, when the logger
// cannot be configured (an unsupported type, a log file that cannot be created); global_logger
// is then left empty.
bool start_logging(const LogSettings& settings);

// The logging values chosen at start-up, kept to configure the long-lived service objects. Set
// once by the main thread before any worker exists.
void save_log_settings(const LogSettings& settings);
const LogSettings& saved_log_settings();

}  // namespace hdgrab
