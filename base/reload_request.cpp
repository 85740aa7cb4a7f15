#include "base/reload_request.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "base/service_state.h"

namespace hdgrab {
namespace {

std::atomic<ReloadHandler> g_handler{nullptr};

// Lives for the whole process, like the stop descriptor, so the signal handler can always write.
int make_reload_event_fd() noexcept {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

}  // namespace

int reload_event_fd() noexcept {
    static const int fd = make_reload_event_fd();
    return fd;
}

void request_reload() noexcept {
    const int fd = reload_event_fd();
    if (fd >= 0 && is_running()) {
        const uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
}

void set_reload_handler(ReloadHandler handler) noexcept {
    g_handler.store(handler);
}

void apply_reload_request() {
    uint64_t count = 0;
    const int fd = reload_event_fd();
    if (fd < 0 || ::read(fd, &count, sizeof count) != sizeof count || count == 0) {
        return;
    }
    const ReloadHandler handler = g_handler.load();
    if (handler != nullptr && is_running()) {
        handler();
    }
}

}  // namespace hdgrab
