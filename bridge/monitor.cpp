#include "bridge/monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "base/liveness.h"
#include "base/unique_fd.h"
#include "base/waits.h"
#include "base/worker_thread.h"
#include "bridge/status_reaction.h"
#include "health/health_reporter.h"
#include "health/service_health.h"
#include "ipc/control_socket.h"
#include "log/logger.h"
#include "media/pipeline_lock.h"

namespace hdgrab {
namespace {

// The status descriptor, the stop descriptor and the liveness probe; a wait reports at most one
// event for each.
constexpr int kMaxMonitorEvents = 3;

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

class BridgeMonitor {
  public:
    BridgeMonitor(std::shared_ptr<_ax_vin_data_t> data, std::string status_path,
                  SharedRecoveryPolicy recovery)
        : data_(data),
          status_path_(std::move(status_path)),
          reaction_(std::move(data), BridgeStatusReaction::default_pause, std::move(recovery)) {}

    void run() {
        const WorkerLiveness liveness(Worker::kMonitor);
        if (wait_for_driver()) {
            while (is_running()) {
                pass();
            }
        }
        service_health().stopping();
        epoll_fd_.reset();
        status_fd_.reset();
        PipelineLock lock;
        main_log()->info("lt6911 thread exiting...");
    }

  private:
    // Sets up the watch on the status file; while that fails (a driver loaded after the
    // service, say) tries again after 1 s, 2 s, 4 s ... at most kDriverRetryMaxDelay apart. The
    // sleeps answer the keep-alive probe, so a serving service is never restarted for a missing
    // driver. The first failure is logged, and the success after it. False only at a stop.
    bool wait_for_driver() {
        auto delay = kDriverRetryFirstDelay;
        bool missing = false;
        while (is_running()) {
            if (set_up(!missing)) {
                service_health().driver_found();
                if (missing) {
                    PipelineLock lock;
                    main_log()->info("Bridge status file {} opened, supervising the bridge",
                                     status_path_);
                }
                return true;
            }
            if (!missing) {
                missing = true;
                service_health().driver_missing();
            }
            service_health().publish();
            if (!sleep_unless_stopped(delay)) {
                return false;
            }
            delay = std::min(delay * 2, kDriverRetryMaxDelay);
        }
        return false;
    }

    // One try of the set-up; `report` logs its failure.
    bool set_up(bool report) {
        PipelineLock lock;
        // Close-on-exec like every descriptor of the service (the pipeline code runs shell
        // commands), and never the process's controlling terminal; the driver only needs a
        // plain read-only open.
        status_fd_.reset(::open(status_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (!status_fd_) {
            if (report) {
                main_log()->error("Failed to open {} for epoll: {}", status_path_,
                                  std::strerror(errno));
            }
            return false;
        }
        epoll_fd_.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_fd_) {
            if (report) {
                main_log()->error("Failed to create epoll instance: {}", std::strerror(errno));
            }
            status_fd_.reset();
            return false;
        }
        epoll_event status_event{};
        status_event.events = EPOLLPRI | EPOLLERR;
        status_event.data.fd = status_fd_.get();
        if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, status_fd_.get(), &status_event) == -1) {
            if (report) {
                main_log()->error("Failed to add fd to epoll: {}", std::strerror(errno));
            }
            epoll_fd_.reset();
            status_fd_.reset();
            return false;
        }
        // A stop request ends the wait at once, so the wait needs no time-out; without the stop
        // descriptor the time-out bounds how long a stop goes unnoticed.
        stop_fd_ = stop_event_fd();
        if (stop_fd_ >= 0) {
            epoll_event stop_event{};
            stop_event.events = EPOLLIN;
            stop_event.data.fd = stop_fd_;
            if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, stop_fd_, &stop_event) == -1) {
                stop_fd_ = -1;
            }
        }
        wait_timeout_ms_ = stop_fd_ >= 0 ? -1 : static_cast<int>(kStatusWaitTimeout.count());

        // With keep-alives asked for, the keep-alive sender's question wakes the wait too.
        probe_ = thread_liveness();
        if (probe_ != nullptr && !probe_->watch_in(epoll_fd_.get())) {
            // Unanswered, the probe stops the keep-alives and the service manager restarts us.
            main_log()->error("Failed to watch the keep-alive probe: {}", std::strerror(errno));
        }

        acknowledge_notification(false);
        reaction_.record_initial_status();
        return true;
    }

    // One pass of the main loop. Every wait is made without the pipeline lock; the messages
    // and the reaction take it.
    void pass() {
        // What the last reaction changed goes into the state file before the wait, where this
        // thread holds no pipeline lock.
        service_health().publish();
        if (data_->client_fd.load() < 0) {
            wait_for_client();
            return;
        }
        if (!wait_for_notification()) {
            retry_when_due();
            return;
        }
        // The slot emptied during the wait (a failed accept): the notification stays pending
        // and is handled at the first wait after a client connects, as one that came while no
        // client was connected.
        if (data_->client_fd.load() < 0) {
            return;
        }
        acknowledge_notification(true);
        reaction_.on_notification();
    }

    // Sleeps until a client takes the slot or a stop begins (a keep-alive question is answered
    // on the way); the message goes out once per wait. The Capture thread makes the arrival
    // descriptor readable after it filled the slot, so an arrival between the look at the slot
    // and the poll still ends the poll.
    void wait_for_client() {
        {
            PipelineLock lock;
            main_log()->debug("Waiting for client connection...");
        }
        std::array<pollfd, 3> fds{{{client_arrival_fd(), POLLIN, 0},
                                   {stop_fd_, POLLIN, 0},
                                   {probe_ != nullptr ? probe_->fd() : -1, POLLIN, 0}}};
        if (fds[0].fd < 0 || fds[1].fd < 0) {
            // Without the descriptors only a look at the slot now and then notices a client.
            (void)sleep_unless_stopped(kClientPollInterval);
            return;
        }
        while (is_running() && data_->client_fd.load() < 0) {
            const int ready = ::poll(fds.data(), fds.size(), cut_to_due(-1, std::nullopt));
            if (ready == 0) {
                service_health().publish();
            }
            if (ready < 0 && errno != EINTR) {
                (void)sleep_unless_stopped(kClientPollInterval);
            }
            if (ready > 0 && fds[0].revents != 0) {
                clear_client_arrival();
            }
            if (ready > 0 && fds[2].revents != 0) {
                probe_->answer();
            }
        }
    }

    // True when the status descriptor reported a change (EPOLLPRI). A time-out, a stop request, a
    // keep-alive question (answered here), an interrupted or failed wait, or EPOLLERR alone give
    // false.
    //
    // Without a pending retry the wait blocks until a notification or a stop (or, with
    // keep-alives asked for, a keep-alive question): the service never notices a client that
    // closed its end (its descriptor stays in the slot), so a time-out would only look at an
    // unchanged slot again. The one way the slot empties while no stop is under way, a failed
    // accept, is caught when the next notification arrives (see pass()).
    bool wait_for_notification() {
        std::array<epoll_event, kMaxMonitorEvents> events{};
        const int count =
            ::epoll_wait(epoll_fd_.get(), events.data(), kMaxMonitorEvents, wait_timeout_ms());
        if (count == -1) {
            if (errno != EINTR) {
                const int error = errno;
                {
                    PipelineLock lock;
                    main_log()->error("epoll_wait error: {}", std::strerror(error));
                }
                (void)sleep_unless_stopped(kStatusWaitErrorPause);
            }
            return false;
        }
        bool changed = false;
        bool error_only = false;
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = events[static_cast<size_t>(i)];
            if (event.data.fd == stop_fd_) {
                return false;
            }
            if (probe_ != nullptr && event.data.fd == probe_->fd()) {
                probe_->answer();
            }
            if (event.data.fd == status_fd_.get()) {
                changed = (event.events & EPOLLPRI) != 0;
                error_only = !changed && (event.events & EPOLLERR) != 0;
            }
        }
        if (changed) {
            error_only_warned_ = false;
        } else if (error_only) {
            back_off_error_only();
        }
        return changed;
    }

    // EPOLLERR without EPOLLPRI is no status change, but the wait is level-triggered: while the
    // descriptor keeps reporting it, every wait would return at once. Reading may clear it; the
    // pause bounds the wake-ups either way.
    void back_off_error_only() {
        acknowledge_notification(true);
        if (!error_only_warned_) {
            error_only_warned_ = true;
            PipelineLock lock;
            main_log()->warn(
                "{} reports an error without a status change; looking again every "
                "{} ms",
                status_path_, kErrorOnlyPause.count());
        }
        (void)sleep_unless_stopped(kErrorOnlyPause);
    }

    // The status wait's time-out: none (or the fallback without a stop descriptor), cut to the
    // moment a pending retry of a failed change, or of a state file write or notification that
    // failed, is due. Otherwise nothing wakes the wait but a notification or a stop.
    int wait_timeout_ms() const { return cut_to_due(wait_timeout_ms_, reaction_.retry_due()); }

    // `timeout_ms` (-1: none) cut to `due` and to the next try of what publish() failed to do.
    static int cut_to_due(int timeout_ms,
                          std::optional<std::chrono::steady_clock::time_point> due) {
        const auto publish_due = service_health().publish_due();
        if (!due || (publish_due && *publish_due < *due)) {
            due = publish_due;
        }
        if (!due) {
            return timeout_ms;
        }
        const int left_ms = poll_timeout_ms(*due - std::chrono::steady_clock::now());
        return timeout_ms < 0 ? left_ms : std::min(left_ms, timeout_ms);
    }

    // Makes the pending retry once it is due (and the service still runs).
    void retry_when_due() {
        const auto due = reaction_.retry_due();
        if (due && is_running() && std::chrono::steady_clock::now() >= *due) {
            reaction_.retry();
        }
    }

    // Reads the status descriptor (after a seek to its start when `rewind`); the driver keeps a
    // notification pending until this read. The bytes themselves are not used.
    void acknowledge_notification(bool rewind) {
        if (rewind) {
            (void)::lseek(status_fd_.get(), 0, SEEK_SET);
        }
        std::array<char, kNotifyReadSize> scratch{};
        (void)!::read(status_fd_.get(), scratch.data(), scratch.size());
    }

    std::shared_ptr<_ax_vin_data_t> data_;
    std::string status_path_;
    UniqueFd status_fd_;
    UniqueFd epoll_fd_;
    int stop_fd_ = -1;
    LivenessProbe* probe_ = nullptr;
    // A run of EPOLLERR-only wake-ups was warned about.
    bool error_only_warned_ = false;
    // Time-out of the status wait in milliseconds; -1 (none) once the stop descriptor is in.
    int wait_timeout_ms_ = static_cast<int>(kStatusWaitTimeout.count());
    BridgeStatusReaction reaction_;
};

}  // namespace

std::thread _lt6911_thread(std::shared_ptr<_ax_vin_data_t> data, std::string status_path,
                           SharedRecoveryPolicy recovery) {
    return start_worker(
        [monitor = BridgeMonitor(std::move(data), std::move(status_path),
                                 std::move(recovery))]() mutable { monitor.run(); });
}

}  // namespace hdgrab
