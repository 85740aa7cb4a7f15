#include "app/service_roads.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/config.h"
#include "app/exit_status.h"
#include "app/reload.h"
#include "app/version.h"
#include "base/waits.h"
#include "base/worker_thread.h"
#include "bridge/lt6911_util.h"
#include "bridge/monitor.h"
#include "health/health_reporter.h"
#include "health/service_notifier.h"
#include "ipc/control_socket.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "media/capture_thread.h"
#include "media/media_constants.h"
#include "media/pipeline_lock.h"

namespace hdgrab {
namespace {

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

// Destroys the service objects in their fixed order: the bridge object, the pipeline owner
// (whose destructor releases pools and media system and may still log), the "main" logger.
// Runs at every process exit, also from the crash handler's exit(-1) while the other worker may
// still be busy. A health reporter still running is stopped first, so that it never logs through
// a destroyed logger. Then the seal waits for a worker inside the pipeline lock (an SDK call of a
// re-configuration, say) and keeps every worker out of it from then on, so nothing uses these
// objects while they go (see media/pipeline_lock.h). A configuration reload, which takes no
// pipeline lock, is waited for and shut out the same way. After an orderly end both workers have
// been joined and the seals return at once.
void destroy_service_objects() noexcept {
    stop_health_reporter();
    seal_reload_for_exit();
    seal_pipeline_for_exit();
    global_lt6911_util.reset();
    global_axera_util.reset();
    global_logger.reset();
}

// The reporter's settings: the notifier only when NOTIFY_SOCKET names a socket, keep-alives only
// when the service manager asks this process for them.
HealthSettings health_settings(const ServicePaths& paths) {
    HealthSettings settings;
    settings.state_path = paths.state_file;
    settings.version = version_line();
    settings.pid = ::getpid();
    settings.notifier = ServiceNotifier::from_environment(process_environment, main_log());
    if (settings.notifier) {
        settings.watchdog = watchdog_interval(process_environment, settings.pid, main_log());
    }
    return settings;
}

}  // namespace

void register_exit_destruction() {
    static std::once_flag once;
    std::call_once(once, [] { (void)std::atexit(destroy_service_objects); });
}

bool wait_media_module(const std::string& path, int checks, std::chrono::milliseconds interval) {
    for (int check = 0; check < checks; ++check) {
        std::error_code error;
        if (std::filesystem::exists(path, error)) {
            return true;
        }
        sleep_for(interval);
    }
    return false;
}

void create_service_objects(const _ax_vin_data_t& data, const LogSettings& log,
                            const std::string& bridge_dir) {
    global_axera_util = std::make_unique<AxeraUtil>(data.width, data.height, data.fps);
    global_axera_util->configure(log.level, log.type, log.file);
    global_lt6911_util = std::make_unique<Lt6911Util>(bridge_dir);
    global_lt6911_util->configure(log.level, log.type, log.file);
}

std::string dump_file_name(const std::string& dir, std::time_t when, int32_t width,
                           int32_t height) {
    std::tm local{};
    (void)::localtime_r(&when, &local);
    std::array<char, 64> stamp{};
    const size_t length = std::strftime(stamp.data(), stamp.size(), kDumpTimeFormat, &local);
    return fmt::format("{}/vin_{}_{:d}x{:d}.yuyv422", dir, std::string_view(stamp.data(), length),
                       width, height);
}

int run_dump_road(const _ax_vin_data_t& data, const ServicePaths& paths) {
    if (!wait_media_module(paths.media_module)) {
        main_log()->error("AX module not loaded");
        return kExitFailure;
    }
    AxeraUtil& axera = *global_axera_util;
    if (!axera.axera_sys_init()) {
        main_log()->error("Axera util init failed");
        return kExitFailure;
    }
    if (!axera.axera_pool_init(media::kPoolWidth, media::kPoolHeight)) {
        main_log()->error("Axera common pool init failed");
        return kExitFailure;
    }
    if (!axera.axera_vin_init()) {
        main_log()->error("Axera vin init failed");
        return kExitFailure;
    }
    const std::string file =
        dump_file_name(paths.dump_dir, std::time(nullptr), data.width, data.height);
    main_log()->info("Dumping YUYV422 frame to {}...", file);
    if (axera.axera_dump_frame(file, kDumpFrameTimeoutMs)) {
        main_log()->info("YUYV422 frame dumped successfully");
    } else {
        main_log()->error("Failed to dump YUYV422 frame");
    }
    (void)axera.axera_vin_deinit();
    // Pools and media system are released by the AxeraUtil destructor at process exit.
    return kExitOk;
}

int run_service_road(std::shared_ptr<_ax_vin_data_t>& data, const ServicePaths& paths) {
    // Lives in this frame until the Capture thread, which waits on it, has been joined.
    ControlChannel control;
    control.epoll = control_socket_setup(*data, main_log(), paths.socket_path);
    if (!control.epoll) {
        return kExitFailure;
    }
    if (!wait_media_module(paths.media_module)) {
        // The socket file stays; the next start removes it before binding.
        return kExitFailure;
    }
    // Started before the workers, whose liveness probes it holds; stopped after they were
    // joined and before the process-wide objects go. When the keep-alive sender cannot start
    // (it logged why), no keep-alive goes out; the state file and the notifications work on.
    HealthReporter health(health_settings(paths), main_log());
    const media::CaptureGeometry& geometry = global_axera_util->geometry();
    if (health.start(geometry.width, geometry.height, geometry.fps)) {
        set_health_reporter(&health);
    }
    // Both workers start through start_worker, which gives each its own crash stack.
    std::thread capture = start_worker(CaptureThread(control.epoll, control.events, data));
    std::thread monitor = _lt6911_thread(data, paths.bridge_status, running_recovery_policy());
    if (monitor.joinable()) {
        monitor.join();
    }
    if (capture.joinable()) {
        capture.join();
    }
    health.stop();
    set_health_reporter(nullptr);
    control_socket_close(*data, paths.socket_path);
    health.remove_state_file();
    spdlog::drop_all();
    return kExitOk;
}

}  // namespace hdgrab
