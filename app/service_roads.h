// What `main` does after start-up: the service objects, the dump road and the service road.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "app/config.h"
#include "base/service_state.h"
#include "bridge/lt6911_util.h"
#include "bridge/monitor.h"
#include "health/state_file.h"
#include "ipc/control_socket.h"

namespace hdgrab {

// The vendor's media kernel module is loaded when this directory exists.
inline constexpr const char* kMediaModulePath = "/sys/module/ax_avs";
inline constexpr int kMediaModuleChecks = 20;
inline constexpr std::chrono::milliseconds kMediaModuleInterval{500};
// Where the dump road writes its frame, and how long it waits for one.
inline constexpr const char* kDumpDir = "/root";
inline constexpr uint32_t kDumpFrameTimeoutMs = 1000;
// Local-time stamp in the dump file name.
inline constexpr const char* kDumpTimeFormat = "%Y%m%d_%H%M%S";
// Paths the roads use; the defaults are the appliance's fixed paths.
struct ServicePaths {
    std::string bridge_dir = kBridgeDir;
    std::string bridge_status = kBridgeStatusPath;
    std::string media_module = kMediaModulePath;
    std::string socket_path = kSocketPath;
    std::string state_file = kStateFilePath;
    std::string dump_dir = kDumpDir;
};

// Registers, once, the process-exit destruction of the three process-wide objects in the order
// `global_lt6911_util`, `global_axera_util`, `global_logger`. Call it first thing in `main`: it
// then runs on every path that returns from `main` or calls exit() (the crash trace included),
// before any static object is destroyed.
void register_exit_destruction();

// Looks for `path` up to `checks` times, sleeping `interval` after each miss (also the last);
// true at the first hit.
bool wait_media_module(const std::string& path = kMediaModulePath, int checks = kMediaModuleChecks,
                       std::chrono::milliseconds interval = kMediaModuleInterval);

// Creates `global_axera_util` with the probed geometry and `global_lt6911_util` on the bridge
// directory, and configures both loggers with `log`.
void create_service_objects(const _ax_vin_data_t& data, const LogSettings& log,
                            const std::string& bridge_dir);

// "<dir>/vin_<YYYYmmdd_HHMMSS>_<W>x<H>.yuyv422" with `when` in local time.
std::string dump_file_name(const std::string& dir, std::time_t when, int32_t width, int32_t height);

// The one-shot dump: one frame into a file, then the video input taken down again.
// Returns kExitOk also when the frame could not be written, kExitFailure when a bring-up step
// (or the media module) is missing.
int run_dump_road(const _ax_vin_data_t& data, const ServicePaths& paths = {});

// The service: control socket, module wait, the health reporter (state file; notifications and
// keep-alives when the service manager asks for them), Capture thread and Bridge monitor until
// the running flag is cleared, then the reporter stopped, the socket closed and removed and the
// state file removed.
int run_service_road(std::shared_ptr<_ax_vin_data_t>& data, const ServicePaths& paths = {});

}  // namespace hdgrab
