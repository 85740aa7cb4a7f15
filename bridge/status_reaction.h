// The Bridge monitor's reaction to one status notification of the bridge driver.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/service_state.h"

namespace hdgrab {

// A wait of the reaction (the handshake's answer time, the bridge's power-off time). Returns
// false when a stop request ended it early.
using ReactionPause = std::function<bool(std::chrono::milliseconds)>;

// How a failed re-configuration is repaired besides the driver's next announcement.
// Aligned like a word so that std::atomic<RecoveryPolicy> is lock-free with every compiler (clang
// would otherwise call libatomic for a two-byte record of alignment 1).
struct alignas(4) RecoveryPolicy {
    // Try the failed change again after a back-off (first kRetryFirstDelay, doubling up to
    // kRetryMaxDelay), and power-cycle the bridge after every kRetryPowerCycleEvery failures in
    // a row.
    bool retry = false;
    // Rebuild the pipeline when, after the bridge reported "disappear" or was power-cycled, "new
    // res" announces the geometry already recorded (instead of "skipping"), and tell the client.
    bool rebuild_on_signal_return = false;
};
// The policy the running reaction follows, read at each decision; the service frame sets it at
// start-up and replaces it on a configuration reload. Null means every recovery switched off.
using SharedRecoveryPolicy = std::shared_ptr<const std::atomic<RecoveryPolicy>>;
static_assert(std::atomic<RecoveryPolicy>::is_always_lock_free);
inline constexpr std::chrono::milliseconds kRetryFirstDelay{1000};
inline constexpr std::chrono::milliseconds kRetryMaxDelay{30000};
inline constexpr int kRetryPowerCycleEvery = 3;

// What the monitor does once the status file reported a change: read the status, log a change,
// and react (log, power-cycle the bridge, or carry out a resolution change with the handshake,
// the pipeline's re-configuration and the client's "res_change" message). Reaches the bridge
// through `global_lt6911_util`, the pipeline through `global_axera_util` and logs through
// `global_logger`. The monitor thread owns one; the waits are a parameter so that the reaction
// can also be driven without the bridge's real timing.
// A geometry announced by the bridge.
struct Geometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    // When the monitor read the announcement.
    std::chrono::steady_clock::time_point announced{};
};

class BridgeStatusReaction {
  public:
    explicit BridgeStatusReaction(std::shared_ptr<_ax_vin_data_t> data,
                                  ReactionPause pause = default_pause,
                                  SharedRecoveryPolicy recovery = {});

    // Reads the status present when the monitor starts; it is only recorded, never acted upon.
    void record_initial_status();
    // Reads the status after a notification and reacts to it.
    void on_notification();

    // The moment the pending try of a failed change is due; nothing when none is pending (retry
    // off, or the last change went through).
    std::optional<std::chrono::steady_clock::time_point> retry_due() const;
    // Tries the failed change again (call it once retry_due() has passed).
    void retry();

    // The status seen last; empty until the first successful read.
    const std::string& last_status() const { return last_; }

    static bool default_pause(std::chrono::milliseconds duration);

  private:
    void dispatch();
    void reset_bridge();
    // Bridge power off, the pause, power on (always, also when a stop shortened the pause).
    void power_cycle_bridge();
    void change_resolution();
    // Drops the pending try of a failed change (a newer change supersedes it).
    void cancel_retry();
    // How a re-configuration ended: done (or nothing to do), failed in the tear-down or the
    // bring-up, or not made because a stop is under way. `rebuild`: also at the recorded
    // geometry.
    enum class Outcome { kDone, kFailed, kStopped };
    Outcome reconfigure_pipeline(const Geometry& target, bool rebuild = false);
    // Books the result of a re-configuration towards `target` for the retry; a stopped one
    // counts neither as a success nor as a failure.
    void settle(Outcome outcome, const Geometry& target);

    std::shared_ptr<_ax_vin_data_t> data_;
    ReactionPause pause_;
    SharedRecoveryPolicy recovery_;
    // The bridge reported "disappear" or was power-cycled since the last "new res".
    bool signal_lost_ = false;
    // The failed change still to be made, its failures in a row and when the next try is due.
    std::optional<Geometry> pending_;
    int failures_ = 0;
    std::chrono::steady_clock::time_point due_{};
    std::string current_;
    std::string last_;
};

}  // namespace hdgrab
