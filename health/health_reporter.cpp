#include "health/health_reporter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/waits.h"
#include "base/worker_thread.h"

namespace hdgrab {
namespace {

// The keep-alive's text.
constexpr const char* kWatchdogAssignment = "WATCHDOG=1";
// The shortest keep-alive period, whatever interval the manager asks for: the reporter must not
// turn into a busy loop.
constexpr std::chrono::milliseconds kMinKeepAlivePeriod{10};

std::atomic<HealthReporter*> g_reporter{nullptr};

}  // namespace

std::chrono::steady_clock::duration keep_alive_period(std::chrono::microseconds interval) {
    // watchdog_interval() keeps the interval within what the clock holds: no overflow here.
    const auto half = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::clamp(
                          interval, std::chrono::microseconds::zero(), kMaxWatchdogInterval)) /
                      2;
    return std::max<std::chrono::steady_clock::duration>(half, kMinKeepAlivePeriod);
}

HealthReporter::HealthReporter(HealthSettings settings, std::shared_ptr<spdlog::logger> log)
    : settings_(std::move(settings)), log_(std::move(log)), file_(settings_.state_path, log_) {
    // Keep-alives need somebody to send them to.
    if (!settings_.notifier) {
        settings_.watchdog.reset();
    }
    if (settings_.watchdog) {
        for (auto& probe : probes_) {
            probe = std::make_unique<LivenessProbe>();
        }
    }
}

HealthReporter::~HealthReporter() {
    stop();
}

bool HealthReporter::start(int32_t width, int32_t height, int32_t fps) {
    ServiceNotifier* notifier = settings_.notifier ? &*settings_.notifier : nullptr;
    service_health().attach({&file_, notifier, settings_.pid, settings_.version}, width, height,
                            fps);
    service_health().publish();
    if (!settings_.watchdog) {
        return true;
    }
    for (const auto& probe : probes_) {
        if (!probe->is_valid()) {
            // Nobody can answer a probe without a descriptor: no keep-alive goes out and the
            // service manager restarts the service.
            log_->error("Failed to create a keep-alive probe: {}", std::strerror(errno));
        }
    }
    quit_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!quit_fd_) {
        log_->error("Failed to start the keep-alive sender: {}", std::strerror(errno));
        return false;
    }
    try {
        thread_ = start_worker([this] { run_keep_alives(); });
    } catch (const std::system_error& e) {
        log_->error("Failed to start the keep-alive sender: {}", e.what());
        return false;
    }
    return true;
}

void HealthReporter::stop() noexcept {
    if (quit_fd_) {
        const uint64_t one = 1;
        (void)!::write(quit_fd_.get(), &one, sizeof one);
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            return;
        }
        thread_.join();
    }
    service_health().detach();
}

void HealthReporter::remove_state_file() {
    file_.remove();
}

LivenessProbe* HealthReporter::probe(Worker worker) noexcept {
    return probes_[static_cast<size_t>(worker)].get();
}

void HealthReporter::run_keep_alives() {
    using Clock = std::chrono::steady_clock;
    const Clock::duration period = keep_alive_period(*settings_.watchdog);
    Clock::time_point next_tick = Clock::now() + period;
    pollfd quit{quit_fd_.get(), POLLIN, 0};
    for (;;) {
        // A tick further off than one wait can hold is reached in several.
        const int ready = ::poll(&quit, 1, poll_timeout_ms(next_tick - Clock::now()));
        if (ready > 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            // Without keep-alives the manager restarts the service.
            log_->error("Keep-alive sender wait failed: {}", std::strerror(errno));
            return;
        }
        if (Clock::now() >= next_tick) {
            keep_alive();
            // From now, not from the missed tick: two keep-alives are never closer than the
            // period, however late this one was.
            next_tick = Clock::now() + period;
        }
    }
}

void HealthReporter::keep_alive() {
    bool all_answered = true;
    for (const auto& probe : probes_) {
        all_answered = all_answered && probe->answered();
    }
    if (all_answered) {
        (void)settings_.notifier->send(kWatchdogAssignment);
    }
    for (const auto& probe : probes_) {
        probe->ask();
    }
}

WorkerLiveness::WorkerLiveness(Worker worker) noexcept {
    HealthReporter* reporter = g_reporter.load();
    probe_ = reporter != nullptr ? reporter->probe(worker) : nullptr;
    set_thread_liveness(probe_);
}

WorkerLiveness::~WorkerLiveness() {
    if (probe_ != nullptr) {
        probe_->mark_ended();
    }
    set_thread_liveness(nullptr);
}

void set_health_reporter(HealthReporter* reporter) noexcept {
    g_reporter.store(reporter);
}

void stop_health_reporter() noexcept {
    if (HealthReporter* reporter = g_reporter.load()) {
        reporter->stop();
    }
}

}  // namespace hdgrab
