// The service's health as the workers record it: pipeline, bridge, client and counters.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "health/service_notifier.h"
#include "health/state_file.h"

namespace hdgrab {

// The longest pause between two tries of a state file write or notification that keeps failing.
inline constexpr std::chrono::milliseconds kPublishRetryFirstDelay{1000};
inline constexpr std::chrono::milliseconds kPublishRetryMaxDelay{30000};

// What the pipeline's owner is doing, for the one-line status.
enum class PipelineActivity { kStarting, kStartFailed, kSettled, kReconfiguring };

// Everything the one-line status is built from.
struct HealthView {
    ServiceState state;
    PipelineActivity activity = PipelineActivity::kStarting;
    int32_t target_width = 0;  // the geometry a re-configuration is heading for
    int32_t target_height = 0;
    int32_t target_fps = 0;
    std::optional<std::chrono::seconds> retry_in;  // a pending retry of a failed change
    bool stopping = false;

    bool operator==(const HealthView&) const = default;
};

// The one-line status for the service manager, e.g. "Serving 1920x1080@60, client connected".
std::string status_line(const HealthView& view);

// Where the record goes while the service runs (see HealthReporter): the state file, and the
// service manager when one listens.
struct HealthOutput {
    StateFile* file = nullptr;
    ServiceNotifier* notifier = nullptr;  // null: no notification at all
    pid_t pid = 0;
    std::string version;
};

// The process-wide record of the service's health. The workers record each change of state
// here. A change costs a short lock and, with a service manager listening, one datagram sent
// without waiting (its one-line status; "READY=1" the first time the pipeline serves,
// "STOPPING=1" when a stop began). The state file is rewritten by publish(), which a worker calls
// where it holds no pipeline lock (before it waits), so the file's I/O never holds up the other
// worker. Without an output (the dump, the tests of single parts) the record stays in memory.
class ServiceHealth {
  public:
    // Connects the output. The record starts afresh: pipeline down and starting at the given
    // geometry, the pipeline state beginning now. Call publish() for the first file.
    void attach(HealthOutput output, int32_t width, int32_t height, int32_t fps);
    // Disconnects the output; from here on changes are kept in memory only.
    void detach();
    // Rewrites the state file when the state changed since the last write, and sends the
    // notification again that the service manager did not get. What fails is tried again at
    // the next change, and by the next publish() from publish_due() on.
    void publish();
    // When the next publish() should try again what failed (1 s after the first failure,
    // doubling up to kPublishRetryMaxDelay); nothing once everything went out.
    std::optional<std::chrono::steady_clock::time_point> publish_due();
    // The state now.
    ServiceState state();

    // The Capture thread.
    void starting();
    // `error`: the SDK call that failed, as AxeraUtil records it.
    void start_failed(const std::string& error);
    // The pipeline is up and clients are accepted; the first time, readiness is notified.
    void serving();
    void client_changed(bool connected);
    void torn_down();

    // The Bridge monitor.
    // The bridge driver's status file cannot be watched (yet); found: it can.
    void driver_missing();
    void driver_found();
    void bridge_status(const std::string& text);
    // The bridge announced a geometry the pipeline cannot take (until the next status).
    void input_unsupported();
    void power_cycle();
    void reconfiguring(int32_t width, int32_t height, int32_t fps);
    void geometry_recorded(int32_t width, int32_t height, int32_t fps);
    void change_succeeded();
    void change_failed(const std::string& error);
    // The client's message of a change went out `took` after the announcement.
    void change_took(std::chrono::milliseconds took);
    // The try of a failed change due after `delay`; nothing: no try is pending any more.
    void retry_pending(std::optional<std::chrono::seconds> delay);

    // Either worker, when it sees that a stop began.
    void stopping();

    // Sends `assignments` as they are when a service manager listens (a configuration reload's
    // "RELOADING=1" and "READY=1").
    void notify_manager(const std::string& assignments);

  private:
    // Applies `change` under the lock, then notifies the new status line when anything changed.
    template <typename Change>
    void record(Change&& change);
    // Sends the pending assignments with the status line (under `mutex_`); keeps them for the
    // next try when the send fails.
    void notify_locked();
    // Books a failed write or send (under `mutex_`) for publish_due().
    void publish_failed_locked();
    void set_pipeline(PipelineHealth pipeline);

    std::mutex mutex_;
    HealthView view_;
    HealthOutput output_;
    std::string last_line_;
    // Assignments that go out with the next status line ("READY=1", "STOPPING=1"), kept until
    // a send succeeds.
    std::string pending_prefix_;
    bool ready_queued_ = false;
    bool notify_unsent_ = false;
    // Failures in a row of the file's write or the notification, and when to try again.
    int publish_failures_ = 0;
    std::chrono::steady_clock::time_point publish_due_{};

    // Serialises the file's writes; never held together with `mutex_` for longer than a copy.
    std::mutex file_mutex_;
    std::string written_;
    // Changes recorded, and the count the file last showed: publish() without a change since
    // costs two atomic loads.
    std::atomic<uint64_t> recorded_{0};
    std::atomic<uint64_t> published_{0};
    // Something failed to go out and is to be tried again.
    std::atomic<bool> retrying_{false};
};

// The one record of the process; never destroyed, so a worker may still record while the
// process exits.
ServiceHealth& service_health();

}  // namespace hdgrab
