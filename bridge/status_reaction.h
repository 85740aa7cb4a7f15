// The Bridge monitor's reaction to one status notification of the bridge driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/service_state.h"

namespace hdgrab {

// A wait of the reaction (the handshake's answer time, the bridge's power-off time). Returns
// false when a stop request ended it early.
using ReactionPause = std::function<bool(std::chrono::milliseconds)>;

// What the monitor does once the status file reported a change: read the status, log a change,
// and react (log, power-cycle the bridge, or carry out a resolution change with the handshake,
// the pipeline's re-configuration and the client's "res_change" message). Reaches the bridge
// through `global_lt6911_util`, the pipeline through `global_axera_util` and logs through
// `global_logger`. The monitor thread owns one; the waits are a parameter so that the reaction
// can also be driven without the bridge's real timing.
class BridgeStatusReaction {
  public:
    explicit BridgeStatusReaction(std::shared_ptr<_ax_vin_data_t> data,
                                  ReactionPause pause = default_pause);

    // Reads the status present when the monitor starts; it is only recorded, never acted upon.
    void record_initial_status();
    // Reads the status after a notification and reacts to it.
    void on_notification();

    // The status seen last; empty until the first successful read.
    const std::string& last_status() const { return last_; }

    static bool default_pause(std::chrono::milliseconds duration);

  private:
    void dispatch();
    void reset_bridge();
    void change_resolution();
    void reconfigure_pipeline(int32_t width, int32_t height, int32_t fps);

    std::shared_ptr<_ax_vin_data_t> data_;
    ReactionPause pause_;
    std::string current_;
    std::string last_;
};

}  // namespace hdgrab
