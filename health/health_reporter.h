// The health reporter: the state file, the service manager's notifications and the keep-alives.
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

// Time between two keep-alives for the manager's interval: half of it, at least 10 ms.
std::chrono::steady_clock::duration keep_alive_period(std::chrono::microseconds interval);

struct HealthSettings {
    std::string state_path = kStateFilePath;
    std::string version;  // the version line, as --version prints it
    pid_t pid = 0;
    // The service manager's socket; nothing without one (no notification is ever sent).
    std::optional<ServiceNotifier> notifier;
    // The keep-alive interval the manager asks for; nothing: no keep-alive, no probe, no thread.
    std::optional<std::chrono::microseconds> watchdog;
};

// Connects service_health() to the state file and, when NOTIFY_SOCKET names one, the service
// manager's socket. Only when the manager asks for keep-alives does it run a thread, the
// keep-alive sender: every half interval it sends WATCHDOG=1 when both workers answered the
// previous question of their liveness probes, then asks the next. A worker inside a call that
// does not return, blocked on a lock, or ended does not answer, so the keep-alives stop and the
// manager restarts the service.
class HealthReporter {
  public:
    HealthReporter(HealthSettings settings, std::shared_ptr<spdlog::logger> log);
    ~HealthReporter();
    HealthReporter(const HealthReporter&) = delete;
    HealthReporter& operator=(const HealthReporter&) = delete;

    // Attaches service_health() with the geometry recorded for the pipeline, writes the first
    // state and starts the keep-alive sender when one is needed. False, after a logged error,
    // when the sender cannot be started; the state file and the notifications work on.
    bool start(int32_t width, int32_t height, int32_t fps);
    // Ends and joins the keep-alive sender and detaches service_health(). Idempotent; from the
    // sender's own thread (a crash in it) it only asks the thread to end.
    void stop() noexcept;
    // Removes the state file (after stop).
    void remove_state_file();

    // The liveness probe a worker thread answers; null when no keep-alives are sent.
    LivenessProbe* probe(Worker worker) noexcept;

  private:
    void run_keep_alives();
    // One keep-alive step: WATCHDOG=1 when every probe answered, then the next question.
    void keep_alive();

    HealthSettings settings_;
    std::shared_ptr<spdlog::logger> log_;
    StateFile file_;
    UniqueFd quit_fd_;
    std::array<std::unique_ptr<LivenessProbe>, kWorkerCount> probes_;
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
// Stops the running reporter's keep-alive sender, if any, before the process-wide objects are
// destroyed.
void stop_health_reporter() noexcept;

}  // namespace hdgrab
