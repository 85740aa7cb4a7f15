// The health reporter: writes the state file and talks to the service manager.
#pragma once

#include <spdlog/logger.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/liveness.h"
#include "base/unique_fd.h"
#include "health/service_health.h"
#include "health/service_notifier.h"
#include "health/state_file.h"

namespace hdgrab {

// The two worker threads whose progress the keep-alives stand for.
enum class Worker { kCapture = 0, kMonitor = 1 };
inline constexpr size_t kWorkerCount = 2;

struct HealthSettings {
    std::string state_path = kStateFilePath;
    std::string version;  // the version line, as --version prints it
    pid_t pid = 0;
    // The service manager's socket; nothing without one (no notification is ever sent).
    std::optional<ServiceNotifier> notifier;
    // The keep-alive interval the manager asks for; nothing: no keep-alive, no probe.
    std::optional<std::chrono::microseconds> watchdog;
    // Readable once a stop began (see stop_event_fd); watched only with a notifier.
    int stop_fd = -1;
};

// One small thread beside the workers. It sleeps until a worker records a change in
// service_health(), then rewrites the state file (when the state differs from the file's) and
// sends the queued notifications. With a notifier it also watches the stop descriptor (to send
// STOPPING=1), and with a keep-alive interval it wakes every half interval: it sends WATCHDOG=1
// when both workers answered the previous question of their liveness probes, and asks the next.
// A worker inside a call that does not return, blocked on a lock, or ended does not answer, so
// the keep-alives stop and the manager restarts the service. Without NOTIFY_SOCKET it never
// wakes by itself and sends nothing.
class HealthReporter {
  public:
    HealthReporter(HealthSettings settings, std::shared_ptr<spdlog::logger> log);
    ~HealthReporter();
    HealthReporter(const HealthReporter&) = delete;
    HealthReporter& operator=(const HealthReporter&) = delete;

    // Attaches to service_health() with the geometry recorded for the pipeline, writes the
    // first state and starts the thread. False, after a logged error, when its descriptors or
    // thread cannot be created; the service then runs without it.
    bool start(int32_t width, int32_t height, int32_t fps);
    // Sends what is still queued, ends and joins the thread and detaches from
    // service_health(). Idempotent; from the reporter's own thread (a crash in it) it only asks
    // the thread to end.
    void stop() noexcept;
    // Removes the state file (after stop).
    void remove_state_file();

    // The liveness probe a worker thread answers; null when no keep-alives are sent.
    LivenessProbe* probe(Worker worker) noexcept;

  private:
    void run();
    // Rewrites the state file when needed and sends the queued notifications.
    void publish();
    // One keep-alive step: WATCHDOG=1 when every probe answered, then the next question.
    void keep_alive();

    HealthSettings settings_;
    std::shared_ptr<spdlog::logger> log_;
    StateFile file_;
    std::string written_;
    UniqueFd wake_fd_;
    std::array<std::unique_ptr<LivenessProbe>, kWorkerCount> probes_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

// For the life of a worker thread's body: the running reporter's probe for `worker` (if any)
// becomes the thread's own (see thread_liveness), and is marked ended when the body returns.
class WorkerLiveness {
  public:
    explicit WorkerLiveness(Worker worker) noexcept;
    ~WorkerLiveness();
    WorkerLiveness(const WorkerLiveness&) = delete;
    WorkerLiveness& operator=(const WorkerLiveness&) = delete;

  private:
    LivenessProbe* probe_;
};

// The reporter of the running service, for the workers' probes and the process-exit path (see
// stop_health_reporter); null when none runs. Set before the workers start, cleared after they
// were joined.
void set_health_reporter(HealthReporter* reporter) noexcept;
// Stops the running reporter, if any, before the process-wide objects are destroyed.
void stop_health_reporter() noexcept;

}  // namespace hdgrab
