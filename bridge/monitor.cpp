#include "bridge/monitor.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/unique_fd.h"
#include "base/waits.h"
#include "bridge/lt6911_util.h"
#include "ipc/notify.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "media/pipeline_lock.h"

namespace hdgrab {
namespace {

// Status lines the monitor reacts to (compared exactly).
constexpr const char* kStatusStable = "stable";
constexpr const char* kStatusDisappear = "disappear";
constexpr const char* kStatusUnknownRes = "unknown res";
constexpr const char* kStatusErrorRes = "error res";
constexpr const char* kStatusNewRes = "new res";
// The acknowledgement of a "new res" announcement.
constexpr const char* kHandshakeAck = "ok";

// The status descriptor and the stop descriptor; a wait reports at most one event for each.
constexpr int kMaxMonitorEvents = 2;

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

class BridgeMonitor {
  public:
    BridgeMonitor(std::shared_ptr<_ax_vin_data_t> data, std::string status_path)
        : data_(std::move(data)), status_path_(std::move(status_path)) {}

    void run() {
        if (!set_up()) {
            return;
        }
        while (is_running()) {
            pass();
        }
        epoll_fd_.reset();
        status_fd_.reset();
        main_log()->info("lt6911 thread exiting...");
    }

  private:
    bool set_up() {
        // Close-on-exec like every descriptor of the service (the pipeline code runs shell
        // commands); the driver only needs a plain read-only open.
        status_fd_.reset(::open(status_path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!status_fd_) {
            main_log()->error("Failed to open {} for epoll: {}", status_path_,
                              std::strerror(errno));
            return false;
        }
        epoll_fd_.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_fd_) {
            main_log()->error("Failed to create epoll instance: {}", std::strerror(errno));
            status_fd_.reset();
            return false;
        }
        epoll_event status_event{};
        status_event.events = EPOLLPRI | EPOLLERR;
        status_event.data.fd = status_fd_.get();
        if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, status_fd_.get(), &status_event) == -1) {
            main_log()->error("Failed to add fd to epoll: {}", std::strerror(errno));
            epoll_fd_.reset();
            status_fd_.reset();
            return false;
        }
        // A stop request ends the wait at once; without it the time-out bounds the delay.
        stop_fd_ = stop_event_fd();
        if (stop_fd_ >= 0) {
            epoll_event stop_event{};
            stop_event.events = EPOLLIN;
            stop_event.data.fd = stop_fd_;
            if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, stop_fd_, &stop_event) == -1) {
                stop_fd_ = -1;
            }
        }

        acknowledge_notification(false);
        // The status found at start is only recorded, never acted upon.
        if (global_lt6911_util->lt6911_read_status(current_)) {
            last_ = current_;
        }
        return true;
    }

    // One pass of the main loop.
    void pass() {
        if (data_->client_fd.load() < 0) {
            main_log()->debug("Waiting for client connection...");
            (void)sleep_unless_stopped(kClientPollInterval);
            return;
        }
        if (!wait_for_notification()) {
            return;
        }
        acknowledge_notification(true);
        if (!global_lt6911_util->lt6911_read_status(current_)) {
            main_log()->error("Failed to read LT6911 status");
            return;
        }
        if (current_ != last_) {
            main_log()->debug("LT6911 status changed: {} -> {}", last_, current_);
            last_ = current_;
        }
        dispatch();
    }

    // True when the status descriptor reported a change (EPOLLPRI). A time-out, a stop
    // request, an interrupted or failed wait, or EPOLLERR alone give false.
    bool wait_for_notification() {
        std::array<epoll_event, kMaxMonitorEvents> events{};
        const int count = ::epoll_wait(epoll_fd_.get(), events.data(), kMaxMonitorEvents,
                                       static_cast<int>(kStatusWaitTimeout.count()));
        if (count == -1) {
            if (errno != EINTR) {
                main_log()->error("epoll_wait error: {}", std::strerror(errno));
                (void)sleep_unless_stopped(kStatusWaitErrorPause);
            }
            return false;
        }
        bool changed = false;
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = events[static_cast<size_t>(i)];
            if (event.data.fd == stop_fd_) {
                return false;
            }
            if (event.data.fd == status_fd_.get() && (event.events & EPOLLPRI) != 0) {
                changed = true;
            }
        }
        return changed;
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

    void dispatch() {
        if (current_ == kStatusStable) {
            main_log()->debug("LT6911 status is stable");
        } else if (current_ == kStatusDisappear) {
            main_log()->debug("LT6911 status is disappear, waiting...");
        } else if (current_ == kStatusUnknownRes || current_ == kStatusErrorRes) {
            reset_bridge();
        } else if (current_ == kStatusNewRes) {
            change_resolution();
        }
    }

    void reset_bridge() {
        main_log()->error("Failed to read Lt6911 status: {}, resetting LT6911", current_);
        (void)global_lt6911_util->lt6911_set_power(false);
        // A stop request shortens the pause, but the bridge is always switched on again so the
        // service never leaves it powered off.
        (void)sleep_unless_stopped(kPowerCyclePause);
        (void)global_lt6911_util->lt6911_set_power(true);
    }

    void change_resolution() {
        main_log()->info("LT6911 detected new resolution, checking...");
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
        if (!sleep_unless_stopped(kHandshakeWait)) {
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
        if (verified != kStatusStable) {
            main_log()->error("LT6911 status is not stable after resolution change: {}", verified);
            return;
        }
        reconfigure_pipeline(width, height, fps);
    }

    // Tear-down, new geometry, bring-up and the client's message, as one step under the
    // pipeline lock.
    void reconfigure_pipeline(int32_t width, int32_t height, int32_t fps) {
        std::lock_guard lock(pipeline_mutex());
        // Once the running flag is clear the Capture thread tears the pipeline down (or already
        // has); a re-configuration now would bring up what nobody takes down again.
        if (!is_running()) {
            return;
        }
        AxeraUtil& axera = *global_axera_util;
        if (width == axera.width && height == axera.height && fps == axera.fps) {
            main_log()->info("Resolution already set to {}x{}@{}, skipping", width, height, fps);
            return;
        }
        if (!axera.axera_link_deinit() || !axera.axera_ivps_deinit() || !axera.axera_vin_deinit()) {
            main_log()->error("axera deinit failed");
            return;
        }
        // Recorded before the bring-up, which configures the geometry recorded here.
        axera.width = width;
        axera.height = height;
        axera.fps = fps;
        if (!axera.axera_vin_init() || !axera.axera_ivps_init() || !axera.axera_link_init()) {
            main_log()->error("axera init failed");
            return;
        }
        const nlohmann::json message = make_res_change(width, height, fps);
        if (axera.send_json_message(data_->client_fd.load(), message)) {
            main_log()->info("LT6911 resolution reset and client notified");
        } else {
            main_log()->error("Failed to send resolution change message");
        }
    }

    std::shared_ptr<_ax_vin_data_t> data_;
    std::string status_path_;
    UniqueFd status_fd_;
    UniqueFd epoll_fd_;
    int stop_fd_ = -1;
    std::string current_;
    std::string last_;
};

}  // namespace

std::thread _lt6911_thread(std::shared_ptr<_ax_vin_data_t> data, std::string status_path) {
    return std::thread([monitor = BridgeMonitor(
                            std::move(data), std::move(status_path))]() mutable { monitor.run(); });
}

}  // namespace hdgrab
