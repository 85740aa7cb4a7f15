// The start-up wait for the HDMI bridge to report a usable picture format.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/service_state.h"
#include "base/waits.h"
#include "bridge/lt6911_util.h"
#include "log/logger.h"

namespace hdgrab {

inline constexpr int kProbeAttempts = 50;
inline constexpr std::chrono::milliseconds kProbeWait{100};
// The geometry used when the bridge never reports a valid one: 1080p60.
inline constexpr int32_t kFallbackWidth = 1920;
inline constexpr int32_t kFallbackHeight = 1080;
inline constexpr int32_t kFallbackFps = 60;

// Where and how often to look; the defaults are the appliance's fixed values.
struct ProbeSettings {
    std::string bridge_dir = kBridgeDir;
    int attempts = kProbeAttempts;
    std::chrono::milliseconds wait = kProbeWait;
    // Waits after a failed attempt; the default resumes after signal interruptions, so a stop
    // request does not shorten the probe.
    std::function<void(std::chrono::milliseconds)> sleep = &sleep_for;
};

// Reads width, height and fps from the bridge directory until all three are valid (up to
// `attempts` tries, `wait` after each failed one, the last included) and stores them in `state`.
// Logs the detection at info level through `logger`; after the last failed attempt logs a
// warning and stores kFallbackWidth x kFallbackHeight @ kFallbackFps. True when detected.
bool probe_resolution(_ax_vin_data_t& state, ILogger& logger, const ProbeSettings& settings = {});

// The shared capture state as start-up hands it to the workers: a new one (all fields zero),
// probed, then both descriptors set to -1 (server first, then client) as no socket exists yet.
std::shared_ptr<_ax_vin_data_t> make_capture_state(ILogger& logger,
                                                   const ProbeSettings& settings = {});

}  // namespace hdgrab
