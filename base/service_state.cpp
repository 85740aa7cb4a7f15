#include "base/service_state.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace hdgrab {
namespace {

std::atomic<bool> g_running{true};

// Lives for the whole process; it is never closed so that a late stop request from a signal
// handler can always write to it.
int make_stop_event_fd() noexcept { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

}  // namespace

bool is_running() noexcept { return g_running.load(std::memory_order_seq_cst); }

int stop_event_fd() noexcept {
    static const int fd = make_stop_event_fd();
    return fd;
}

void request_stop() noexcept {
    g_running.store(false, std::memory_order_seq_cst);
    // The static above is initialised before the handler is installed, so reading it here is a
    // plain load.
    const int fd = stop_event_fd();
    if (fd >= 0) {
        const uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
}

}  // namespace hdgrab
