#include "bridge/status_reaction.h"

#include <algorithm>
#include <utility>

#include "bridge/lt6911_util.h"
#include "bridge/monitor.h"
#include "health/service_health.h"
#include "ipc/notify.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "media/pipeline_lock.h"

namespace hdgrab {
namespace {

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

}  // namespace

BridgeStatusReaction::BridgeStatusReaction(std::shared_ptr<_ax_vin_data_t> data,
                                           ReactionPause pause, SharedRecoveryPolicy recovery)
    : data_(std::move(data)),
      pause_(std::move(pause)),
      recovery_(recovery ? std::move(recovery)
                         : std::make_shared<const std::atomic<RecoveryPolicy>>()) {}

bool BridgeStatusReaction::default_pause(std::chrono::milliseconds duration) {
    // The pipeline lock is not held across the wait: the Capture thread may accept meanwhile.
    return pause_unlocked(duration);
}

void BridgeStatusReaction::record_initial_status() {
    PipelineLock lock;
    if (global_lt6911_util->lt6911_read_status(current_)) {
        last_ = current_;
        service_health().bridge_status(current_);
    }
}

void BridgeStatusReaction::on_notification() {
    PipelineLock lock;
    if (!global_lt6911_util->lt6911_read_status(current_)) {
        main_log()->error("Failed to read LT6911 status");
        return;
    }
    service_health().bridge_status(current_);
    if (current_ != last_) {
        main_log()->debug("LT6911 status changed: {} -> {}", last_, current_);
        last_ = current_;
    }
    dispatch();
}

void BridgeStatusReaction::dispatch() {
    if (current_ == kStatusStable) {
        main_log()->debug("LT6911 status is stable");
    } else if (current_ == kStatusDisappear) {
        main_log()->debug("LT6911 status is disappear, waiting...");
        signal_lost_ = true;
    } else if (current_ == kStatusUnknownRes || current_ == kStatusErrorRes) {
        reset_bridge();
    } else if (current_ == kStatusNewRes) {
        change_resolution();
    }
}

void BridgeStatusReaction::reset_bridge() {
    main_log()->error("Failed to read Lt6911 status: {}, resetting LT6911", current_);
    power_cycle_bridge();
}

void BridgeStatusReaction::power_cycle_bridge() {
    (void)global_lt6911_util->lt6911_set_power(false);
    // A stop request shortens the pause, but the bridge is always switched on again so the
    // service never leaves it powered off.
    (void)pause_(kPowerCyclePause);
    (void)global_lt6911_util->lt6911_set_power(true);
    signal_lost_ = true;
    service_health().power_cycle();
}

void BridgeStatusReaction::change_resolution() {
    main_log()->info("LT6911 detected new resolution, checking...");
    const auto announced = std::chrono::steady_clock::now();
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    if (!global_lt6911_util->lt6911_read_resolution(width, height, fps)) {
        main_log()->error("Failed to read LT6911 resolution: {}x{}@{}", width, height, fps);
        return;
    }
    main_log()->info("LT6911 resolution changed to {}x{}, fps:{}", width, height, fps);

    if (!global_lt6911_util->lt6911_write_status(kHandshakeAck)) {
        main_log()->error("Failed to write LT6911 status");
        return;
    }
    if (!pause_(kHandshakeWait)) {
        // Stopping: nothing has been torn down yet, so dropping the change here leaves the
        // pipeline whole for the Capture thread's final tear-down.
        return;
    }
    std::string verified;
    if (!global_lt6911_util->lt6911_read_status(verified)) {
        main_log()->error("Failed to verify status after handshake");
        return;
    }
    last_ = verified;
    service_health().bridge_status(verified);
    if (verified != kStatusStable) {
        main_log()->error("LT6911 status is not stable after resolution change: {}", verified);
        return;
    }
    // Refused before anything is torn down: the working pipeline stays, the client hears
    // nothing (its bring-up could only fail and leave the picture dark).
    const AxeraUtil& axera = *global_axera_util;
    if (!axera.takes_geometry(width, height, fps)) {
        main_log()->warn(
            "LT6911 reports {}x{}@{}, beyond what the capture pipeline takes; keeping {}x{}@{}",
            width, height, fps, axera.geometry().width, axera.geometry().height,
            axera.geometry().fps);
        service_health().input_unsupported();
        return;
    }
    // Only an announcement that gets as far as the change supersedes the failed change still to
    // be tried: one that fails before (the likeliest case right after the retry's own power
    // cycle) leaves the pipeline as incomplete as it was, so its retry stays due.
    cancel_retry();
    // The signal came back after a loss: the receiver may not have survived it.
    const bool rebuild =
        std::exchange(signal_lost_, false) && recovery_->load().rebuild_on_signal_return;
    const Geometry target{width, height, fps, announced};
    settle(reconfigure_pipeline(target, rebuild), target);
}

std::optional<std::chrono::steady_clock::time_point> BridgeStatusReaction::retry_due() const {
    if (!pending_) {
        return std::nullopt;
    }
    return due_;
}

void BridgeStatusReaction::cancel_retry() {
    if (pending_) {
        main_log()->info("Pending resolution change retry cancelled by a new announcement");
        pending_.reset();
        service_health().retry_pending(std::nullopt);
    }
}

void BridgeStatusReaction::retry() {
    if (!pending_) {
        return;
    }
    PipelineLock lock;
    const Geometry target = *pending_;
    pending_.reset();
    main_log()->info("Retrying resolution change to {}x{}@{} (try {})", target.width, target.height,
                     target.fps, failures_ + 1);
    const Outcome outcome = reconfigure_pipeline(target);
    if (outcome == Outcome::kDone) {
        main_log()->info("Resolution change retry succeeded");
    }
    settle(outcome, target);
}

void BridgeStatusReaction::settle(Outcome outcome, const Geometry& target) {
    // A done change was no longer pending: a retry takes it off, a new announcement cancels it.
    if (outcome == Outcome::kDone) {
        failures_ = 0;
        return;
    }
    if (outcome == Outcome::kStopped || !recovery_->load().retry) {
        return;
    }
    ++failures_;
    // 1, 2, 4, 8 ... seconds, at most the longest back-off.
    auto delay = kRetryFirstDelay;
    for (int i = 1; i < failures_ && delay < kRetryMaxDelay; ++i) {
        delay *= 2;
    }
    delay = std::min(delay, kRetryMaxDelay);
    if (failures_ % kRetryPowerCycleEvery == 0) {
        main_log()->error("Resolution change failed {} times in a row, resetting LT6911",
                          failures_);
        power_cycle_bridge();
    }
    pending_ = target;
    due_ = std::chrono::steady_clock::now() + delay;
    service_health().retry_pending(std::chrono::duration_cast<std::chrono::seconds>(delay));
    main_log()->error("Resolution change to {}x{}@{} failed, next try in {} s", target.width,
                      target.height, target.fps,
                      std::chrono::duration_cast<std::chrono::seconds>(delay).count());
}

// Tear-down, new geometry, bring-up and the client's message, as one step under the pipeline
// lock (on_notification already holds it; a retry takes it here).
BridgeStatusReaction::Outcome BridgeStatusReaction::reconfigure_pipeline(const Geometry& target,
                                                                         bool rebuild) {
    const auto [width, height, fps, announced] = target;
    PipelineLock lock;
    // Once the running flag is clear the Capture thread tears the pipeline down (or already
    // has); a re-configuration now would bring up what nobody takes down again.
    if (!is_running()) {
        return Outcome::kStopped;
    }
    AxeraUtil& axera = *global_axera_util;
    const media::CaptureGeometry next{width, height, fps};
    if (axera.geometry() == next) {
        if (rebuild) {
            main_log()->info("Signal returned at {}x{}@{}, rebuilding", width, height, fps);
        } else if (axera.pipeline_whole()) {
            main_log()->info("Resolution already set to {}x{}@{}, skipping", width, height, fps);
            return Outcome::kDone;
        } else {
            // An earlier change failed part-way: take down what is left and build it again.
            main_log()->info("Pipeline incomplete at {}x{}@{}, rebuilding", width, height, fps);
        }
    }
    service_health().reconfiguring(width, height, fps);
    // The tear-downs take down exactly what exists, also after a failed change.
    if (!axera.axera_link_deinit() || !axera.axera_ivps_deinit() || !axera.axera_vin_deinit()) {
        main_log()->error("axera deinit failed");
        service_health().change_failed(axera.last_sdk_error());
        return Outcome::kFailed;
    }
    // Recorded before the bring-up, which configures the geometry recorded here.
    axera.set_next_geometry(next);
    service_health().geometry_recorded(width, height, fps);
    if (!axera.axera_vin_init() || !axera.axera_ivps_init() || !axera.axera_link_init()) {
        main_log()->error("axera init failed");
        service_health().change_failed(axera.last_sdk_error());
        return Outcome::kFailed;
    }
    service_health().change_succeeded();
    const nlohmann::json message = make_res_change(width, height, fps);
    if (axera.send_json_message(data_->client_fd.load(), message)) {
        main_log()->info("LT6911 resolution reset and client notified");
    } else {
        main_log()->error("Failed to send resolution change message");
    }
    // A retried change counts from its first announcement: the time the client went without
    // the new picture.
    service_health().change_took(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - announced));
    return Outcome::kDone;
}

}  // namespace hdgrab
