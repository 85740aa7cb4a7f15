// Entry of the hdgrab service.
#include "app/cli.h"
#include "app/config.h"
#include "app/exit_status.h"
#include "app/startup.h"

namespace {

// Start-up in its fixed order; each step either continues or ends the program with its status.
int run_service(int argc, char** argv) {
    // Step 1: the SIGSEGV crash handler (signal handling, installed here once it exists).
    // Step 2: the early SIGTERM/SIGINT handlers that only record the request.

    // Step 3: the command line; help and version end here.
    const hdgrab::CommandLineResult command_line = hdgrab::parse_command_line(argc, argv);
    if (command_line.exit_status) {
        return *command_line.exit_status;
    }

    // Step 4: create or load the configuration file and choose level, type and file.
    if (!hdgrab::bootstrap_config()) {
        return hdgrab::kExitFailure;
    }
    const hdgrab::LogSettings log_settings = hdgrab::choose_log_settings(command_line.options);

    // Steps 5 to 9: log-file settings, process-wide level, the "main" logger, first line.
    if (!hdgrab::start_logging(log_settings)) {
        return hdgrab::kExitFailure;
    }

    // Step 10: keep the logging values for the service objects.
    hdgrab::save_log_settings(log_settings);

    // Step 11: the final SIGINT/SIGTERM handlers that clear the running flag.
    // Steps 12 to 14: the shared capture state, the resolution probe, the cleared descriptors.
    // Then the service objects and the chosen road (dump or service).
    return hdgrab::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    return run_service(argc, argv);
}
