// Entry of the hdgrab service.
#include <malloc.h>

#include <memory>

#include "app/cli.h"
#include "app/config.h"
#include "app/exit_status.h"
#include "app/probe.h"
#include "app/reload.h"
#include "app/service_roads.h"
#include "app/signals.h"
#include "app/startup.h"
#include "base/service_state.h"
#include "log/logger.h"

namespace {

// Start-up in its fixed order, then one of the two roads; each stage either continues or ends
// the program with its status.
int run_service(int argc, char** argv) {
    // The process-wide objects go at exit in their fixed order, before any static object.
    hdgrab::register_exit_destruction();

    // The SIGSEGV crash handler first, so that a crash anywhere in start-up leaves its trace; then
    // SIGTERM/SIGINT handlers that only record the request, since nothing is up yet that a stop
    // could end in order. Nothing can report a failure yet (sigaction fails only on invalid
    // arguments); start-up goes on regardless.
    (void)hdgrab::install_crash_handler();
    (void)hdgrab::install_exit_request_handlers();

    // The command line; help and version end here.
    const hdgrab::CommandLineResult command_line = hdgrab::parse_command_line(argc, argv);
    if (command_line.exit_status) {
        return *command_line.exit_status;
    }

    // Create or load the configuration file, then choose level, type and file from it and the
    // command line.
    if (!hdgrab::bootstrap_config()) {
        return hdgrab::kExitFailure;
    }
    const hdgrab::LogSettings log_settings = hdgrab::choose_log_settings(command_line.options);
    // A SIGTERM or SIGINT received so far is kept as "need_exit"; start-up continues.
    hdgrab::record_exit_request();

    // The log-file settings, the process-wide level and the "main" logger with its first line.
    if (!hdgrab::start_logging(log_settings)) {
        return hdgrab::kExitFailure;
    }

    // The same logging values configure the service objects below.
    hdgrab::save_log_settings(log_settings);

    // From here on SIGINT and SIGTERM clear the running flag, on which the roads below end in
    // order.
    (void)hdgrab::install_stop_handlers();

    // The capture state the workers share: the geometry the bridge reports (or the fallback) and
    // no socket descriptors yet.
    std::shared_ptr<_ax_vin_data_t> data = hdgrab::make_capture_state(*global_logger);

    // The service objects, then the chosen road.
    hdgrab::create_service_objects(*data, hdgrab::saved_log_settings(), hdgrab::kBridgeDir);
    if (command_line.options.dump_raw) {
        return hdgrab::run_dump_road(*data);
    }
    // From here a SIGHUP reloads the configuration; the Capture thread applies it.
    hdgrab::arm_reload(command_line.options);
    return hdgrab::run_service_road(data);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef M_ARENA_MAX
    // All threads share the one malloc arena: the workers allocate little and rarely at the
    // same time, and every extra arena keeps pages of its own resident.
    (void)mallopt(M_ARENA_MAX, 1);
#endif
    return run_service(argc, argv);
}
