#include "media/capture_thread.h"

#include <cerrno>
#include <cstring>

#include "base/liveness.h"
#include "base/reload_request.h"
#include "base/waits.h"
#include "health/health_reporter.h"
#include "health/service_health.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "media/media_constants.h"
#include "media/pipeline_lock.h"

namespace hdgrab {
namespace {

std::shared_ptr<spdlog::logger> main_log() {
    return global_logger->get_logger();
}

}  // namespace

void CaptureThread::operator()() const {
    const WorkerLiveness liveness(Worker::kCapture);
    // The state file is written between the steps, where this thread holds no pipeline lock.
    const bool up = bring_up();
    service_health().publish();
    if (!up) {
        return;
    }
    serve();
    service_health().stopping();
    tear_down();
    service_health().publish();
}

bool CaptureThread::bring_up() const {
    PipelineLock lock;
    main_log()->info("Axera vin init...");
    service_health().starting();
    AxeraUtil& axera = *global_axera_util;
    const char* failure = nullptr;
    if (!axera.axera_sys_init()) {
        failure = "Axera util init failed";
    } else if (!axera.axera_pool_init(media::kPoolWidth, media::kPoolHeight)) {
        failure = "Axera common pool init failed";
    } else if (!axera.axera_vin_init()) {
        failure = "Axera vin init failed";
    } else if (!axera.axera_ivps_init()) {
        failure = "Axera IPVS init failed";
    } else if (!axera.axera_link_init()) {
        failure = "Axera Link init failed";
    }
    if (failure != nullptr) {
        main_log()->error(failure);
        service_health().start_failed(axera.last_sdk_error());
        // Without a pipeline the service has nothing to offer: end it. What was brought up stays
        // until the AxeraUtil destructor releases pools and media system at exit.
        request_stop();
        service_health().stopping();
        return false;
    }
    return true;
}

void CaptureThread::serve() const {
    // The stop descriptor joins the listening socket so that a stop request ends the wait at
    // once, and the wait needs no time-out: it blocks until a connection or a stop. Only when the
    // descriptor cannot be added does the time-out bound how long a cleared flag goes unnoticed.
    int timeout_ms = static_cast<int>(kCaptureWaitTimeout.count());
    const int stop_fd = stop_event_fd();
    if (stop_fd >= 0) {
        epoll_event stop_event{};
        stop_event.events = EPOLLIN;
        stop_event.data.fd = stop_fd;
        if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, stop_fd, &stop_event) == 0) {
            timeout_ms = -1;
        }
    }
    // A configuration reload (SIGHUP) is applied here, where the thread only waits: the Bridge
    // monitor may be inside SDK calls at that moment, and the reload takes no pipeline lock.
    const int reload_fd = reload_event_fd();
    if (reload_fd >= 0) {
        epoll_event reload_event{};
        reload_event.events = EPOLLIN;
        reload_event.data.fd = reload_fd;
        if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, reload_fd, &reload_event) != 0) {
            PipelineLock lock;
            main_log()->error("Failed to watch for reload requests: {}", std::strerror(errno));
        }
    }
    // With keep-alives asked for, the keep-alive sender's question wakes the wait too.
    LivenessProbe* const probe = thread_liveness();
    if (probe != nullptr && !probe->watch_in(epoll_fd_.get())) {
        // Unanswered, the probe stops the keep-alives and the service manager restarts us.
        PipelineLock lock;
        main_log()->error("Failed to watch the keep-alive probe: {}", std::strerror(errno));
    }
    service_health().serving();
    service_health().publish();

    // True from a failed accept for want of descriptors or memory until the next success.
    bool accept_failing = false;
    while (is_running()) {
        const int count = ::epoll_wait(epoll_fd_.get(), events_.data(),
                                       static_cast<int>(events_.size()), timeout_ms);
        if (count == -1) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            PipelineLock lock;
            main_log()->error("Epoll wait error: {}", std::strerror(error));
            // No further client could be accepted: end the whole service rather than linger
            // without a pipeline (the supervisor restarts it).
            request_stop();
            break;
        }
        bool back_off = false;
        for (int i = 0; i < count; ++i) {
            const int fd = events_[static_cast<size_t>(i)].data.fd;
            if (fd == data_->server_fd.load()) {
                back_off = accept_client(accept_failing) || back_off;
                service_health().publish();
            } else if (probe != nullptr && fd == probe->fd()) {
                probe->answer();
            } else if (fd == reload_fd) {
                apply_reload_request();
            }
        }
        if (back_off) {
            // The connection stays pending and the listener ready: without a pause the loop
            // would spin until a descriptor is free.
            (void)sleep_unless_stopped(kAcceptRetryPause);
        }
    }
}

bool CaptureThread::accept_client(bool& failing) const {
    PipelineLock lock;
    const int error = control_socket_accept(*data_, main_log());
    service_health().client_changed(data_->client_fd.load() >= 0);
    if (error == 0) {
        failing = false;
        return false;
    }
    if (!accept_lacks_resources(error)) {
        return false;
    }
    if (!failing) {
        main_log()->warn("Accept failed: {}; retrying", std::strerror(error));
        failing = true;
    }
    return true;
}

void CaptureThread::tear_down() const {
    PipelineLock lock;
    // Marks the slot empty too, so nothing is ever sent on the closed (and maybe reused)
    // descriptor.
    control_socket_close_client(*data_);
    AxeraUtil& axera = *global_axera_util;
    if (!axera.axera_link_deinit()) {
        main_log()->error("Axera Link deinit failed");
    }
    if (!axera.axera_ivps_deinit()) {
        main_log()->error("IPVS deinit failed");
    }
    if (!axera.axera_vin_deinit()) {
        main_log()->error("VIN deinit failed");
    }
    service_health().torn_down();
    main_log()->info("Axera vin thread exiting...");
}

}  // namespace hdgrab
