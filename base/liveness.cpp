#include "base/liveness.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace hdgrab {
namespace {

thread_local LivenessProbe* t_probe = nullptr;

}  // namespace

// The counter starts at 1: the question the probe is created with.
LivenessProbe::LivenessProbe() : fd_(::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool LivenessProbe::watch_in(int epoll_fd) const noexcept {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd_.get();
    return ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd_.get(), &event) == 0;
}

bool LivenessProbe::answered() const noexcept {
    return !ended_.load() && answered_.load() == asked_.load();
}

void LivenessProbe::ask() noexcept {
    asked_.fetch_add(1);
    const uint64_t one = 1;
    (void)!::write(fd_.get(), &one, sizeof one);
}

void LivenessProbe::answer() noexcept {
    uint64_t count = 0;
    (void)!::read(fd_.get(), &count, sizeof count);
    answered_.store(asked_.load());
}

void LivenessProbe::mark_ended() noexcept {
    ended_.store(true);
}

LivenessProbe* thread_liveness() noexcept {
    return t_probe;
}

void set_thread_liveness(LivenessProbe* probe) noexcept {
    t_probe = probe;
}

}  // namespace hdgrab
