// The service's health as the workers record it: pipeline, bridge, client and counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "health/state_file.h"

namespace hdgrab {

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

// What a reporter takes over at once: the state now and the notifications queued since it last
// looked (each one datagram's text, in the order the changes happened).
struct HealthUpdate {
    ServiceState state;
    std::vector<std::string> notifications;
};

// The process-wide record of the service's health. The workers record each change of state
// here; that costs a short lock and, when a reporter is attached, one write to its wake-up
// descriptor, so a worker never waits for a file or a socket. Without a reporter (the dump, the
// tests of single parts) the record is kept in memory only.
class ServiceHealth {
  public:
    // Most notifications a reporter that fell behind gets; older ones are dropped.
    static constexpr size_t kMaxQueued = 32;

    // Connects a reporter: `wake_fd` (an eventfd) is written at every change; with `notify`
    // the service manager's notifications are queued too. The record starts afresh: pipeline
    // down and starting at the given geometry, the pipeline state beginning now.
    void attach(int wake_fd, bool notify, int32_t width, int32_t height, int32_t fps);
    // Disconnects the reporter; from here on changes are kept in memory only.
    void detach();
    // The state now and the queued notifications (the queue is emptied).
    HealthUpdate take();

    // The Capture thread.
    void starting();
    void start_failed();
    // The pipeline is up and clients are accepted; the first time, readiness is notified.
    void serving();
    void client_changed(bool connected);
    void torn_down();

    // The Bridge monitor.
    void bridge_status(const std::string& text);
    void power_cycle();
    void reconfiguring(int32_t width, int32_t height, int32_t fps);
    void geometry_recorded(int32_t width, int32_t height, int32_t fps);
    void change_succeeded();
    void change_failed();
    void retry_pending(std::chrono::seconds delay);

    // A stop began (seen by the reporter).
    void stopping();

  private:
    // Applies `change` under the lock, then queues a new status line and wakes the reporter
    // when anything changed.
    template <typename Change>
    void record(Change&& change);
    void set_pipeline(PipelineState pipeline);
    void queue_locked(std::string text);

    std::mutex mutex_;
    HealthView view_;
    std::string last_line_;
    // Assignments that go out with the next status line ("READY=1", "STOPPING=1").
    std::string pending_prefix_;
    std::deque<std::string> queued_;
    int wake_fd_ = -1;
    bool notify_ = false;
    bool ready_sent_ = false;
};

// The one record of the process; never destroyed, so a worker may still record while the
// process exits.
ServiceHealth& service_health();

}  // namespace hdgrab
