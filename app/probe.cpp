#include "app/probe.h"

#include "bridge/proc_file.h"

namespace hdgrab {
namespace {

// One attempt: the three files are opened together, then width is read, height only when width
// was read, fps only when height was read.
bool read_geometry(const std::string& dir, int32_t& width, int32_t& height, int32_t& fps) {
    const UniqueFd width_file = open_for_reading(dir + "/" + kBridgeWidthFile);
    const UniqueFd height_file = open_for_reading(dir + "/" + kBridgeHeightFile);
    const UniqueFd fps_file = open_for_reading(dir + "/" + kBridgeFpsFile);
    return read_int(width_file, width) && read_int(height_file, height) &&
           read_int(fps_file, fps) && width > 0 && height > 0 && fps > 0;
}

}  // namespace

bool probe_resolution(_ax_vin_data_t& state, ILogger& logger, const ProbeSettings& settings) {
    for (int attempt = 0; attempt < settings.attempts; ++attempt) {
        int32_t width = 0;
        int32_t height = 0;
        int32_t fps = 0;
        if (read_geometry(settings.bridge_dir, width, height, fps)) {
            state.width = width;
            state.height = height;
            state.fps = fps;
            if (auto log = logger.get_logger()) {
                log->info("LT6911 detected: {}x{}@{}", width, height, fps);
            }
            return true;
        }
        if (settings.sleep) {
            settings.sleep(settings.wait);
        }
    }
    if (auto log = logger.get_logger()) {
        log->warn("LT6911 signal not ready or invalid after timeout. Using default 1080p60.");
    }
    state.width = kFallbackWidth;
    state.height = kFallbackHeight;
    state.fps = kFallbackFps;
    return false;
}

std::shared_ptr<_ax_vin_data_t> make_capture_state(ILogger& logger, const ProbeSettings& settings) {
    auto state = std::make_shared<_ax_vin_data_t>();
    (void)probe_resolution(*state, logger, settings);
    state->server_fd.store(-1, std::memory_order_seq_cst);
    state->client_fd.store(-1, std::memory_order_seq_cst);
    return state;
}

}  // namespace hdgrab
