#include "health/health_reporter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace hdgrab {
namespace {

// The keep-alive's text.
constexpr const char* kWatchdogAssignment = "WATCHDOG=1";
// The shortest keep-alive period, whatever interval the manager asks for: the reporter must not
// turn into a busy loop.
constexpr std::chrono::milliseconds kMinKeepAlivePeriod{10};

std::atomic<HealthReporter*> g_reporter{nullptr};

std::chrono::steady_clock::duration keep_alive_period(std::chrono::microseconds interval) {
    const std::chrono::steady_clock::duration half = interval / 2;
    return std::max<std::chrono::steady_clock::duration>(half, kMinKeepAlivePeriod);
}

}  // namespace

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
    wake_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_fd_) {
        log_->error("Failed to create the state reporter's wake-up descriptor: {}",
                    std::strerror(errno));
        return false;
    }
    for (const auto& probe : probes_) {
        if (probe && !probe->is_valid()) {
            // Nobody can answer a probe without a descriptor: no keep-alive goes out and the
            // service manager restarts the service.
            log_->error("Failed to create a keep-alive probe: {}", std::strerror(errno));
        }
    }
    service_health().attach(wake_fd_.get(), settings_.notifier.has_value(), width, height, fps);
    publish();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        log_->error("Failed to start the state reporter: {}", e.what());
        service_health().detach();
        return false;
    }
    return true;
}

void HealthReporter::stop() noexcept {
    quit_.store(true);
    if (wake_fd_) {
        const uint64_t one = 1;
        (void)!::write(wake_fd_.get(), &one, sizeof one);
    }
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return;
    }
    thread_.join();
    service_health().detach();
}

void HealthReporter::remove_state_file() {
    file_.remove();
}

LivenessProbe* HealthReporter::probe(Worker worker) noexcept {
    return probes_[static_cast<size_t>(worker)].get();
}

void HealthReporter::run() {
    using Clock = std::chrono::steady_clock;
    const bool keep_alives = settings_.watchdog.has_value();
    const Clock::duration period =
        keep_alives ? keep_alive_period(*settings_.watchdog) : Clock::duration::zero();
    Clock::time_point next_tick = Clock::now() + period;
    // The stop descriptor stays readable once a stop began: it is watched until then only.
    std::array<pollfd, 2> fds{
        {{wake_fd_.get(), POLLIN, 0}, {settings_.notifier ? settings_.stop_fd : -1, POLLIN, 0}}};
    while (!quit_.load()) {
        int timeout = -1;
        if (keep_alives) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(next_tick - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            // Nothing can be reported any more; without keep-alives the manager restarts us.
            log_->error("State reporter wait failed: {}", std::strerror(errno));
            return;
        }
        if (ready > 0 && fds[1].revents != 0) {
            fds[1].fd = -1;
            service_health().stopping();
        }
        if (ready > 0 && fds[0].revents != 0) {
            uint64_t count = 0;
            (void)!::read(wake_fd_.get(), &count, sizeof count);
            publish();
        }
        if (keep_alives && Clock::now() >= next_tick) {
            keep_alive();
            // From now, not from the missed tick: two keep-alives are never closer than the
            // period, however late this one was.
            next_tick = Clock::now() + period;
        }
    }
    publish();
}

void HealthReporter::publish() {
    HealthUpdate update = service_health().take();
    const std::string text = state_json(update.state, settings_.pid, settings_.version);
    // A failed write is tried again at the next change.
    if (text != written_ && file_.write(text)) {
        written_ = text;
    }
    if (settings_.notifier) {
        for (const std::string& notification : update.notifications) {
            (void)settings_.notifier->send(notification);
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
