// The Bridge monitor: keeps the capture pipeline in step with the HDMI bridge's status.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "base/service_state.h"
#include "bridge/status_reaction.h"

namespace hdgrab {

// The bridge driver's status file, watched for change notifications (EPOLLPRI).
inline constexpr const char* kBridgeStatusPath = "/proc/lt6911_info/status";
// First pause before the status file is tried again after the watch on it could not be set up;
// it doubles up to the longest.
inline constexpr std::chrono::milliseconds kDriverRetryFirstDelay{1000};
inline constexpr std::chrono::milliseconds kDriverRetryMaxDelay{10000};
// Pause between two looks at the client slot while no client is connected, used only when the
// client arrival or stop descriptor is missing (otherwise the wait sleeps until a client comes).
inline constexpr std::chrono::milliseconds kClientPollInterval{500};
// Longest wait for a status notification before the running flag is looked at again; used only
// when the stop descriptor could not join the wait (otherwise the wait has no time-out).
inline constexpr std::chrono::milliseconds kStatusWaitTimeout{2000};
// Pause after a wake-up with EPOLLERR but no EPOLLPRI: at most ten such wake-ups a second.
inline constexpr std::chrono::milliseconds kErrorOnlyPause{100};
// Pause after a failed wait on the status file.
inline constexpr std::chrono::milliseconds kStatusWaitErrorPause{1000};
// Time the bridge stays powered off when it is reset.
inline constexpr std::chrono::milliseconds kPowerCyclePause{500};
// Time the driver gets to answer the "ok" acknowledgement with "stable".
inline constexpr std::chrono::milliseconds kHandshakeWait{200};
// Size of the read that acknowledges a notification; the bytes are discarded.
inline constexpr size_t kNotifyReadSize = 128;

// Starts the Bridge monitor thread and returns its joinable handle. The thread keeps its own
// owner of the shared capture state (it reads `client_fd` only), reaches the bridge through
// `global_lt6911_util`, the pipeline through `global_axera_util`, logs through `global_logger`,
// and runs until the running flag is cleared. `recovery` says whether a failed resolution change
// is also tried again without a new announcement, and whether a returning signal rebuilds.
std::thread _lt6911_thread(std::shared_ptr<_ax_vin_data_t> data,
                           std::string status_path = kBridgeStatusPath,
                           SharedRecoveryPolicy recovery = {});

}  // namespace hdgrab
