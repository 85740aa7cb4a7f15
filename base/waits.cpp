#include "base/waits.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <limits>

#include "base/liveness.h"
#include "base/service_state.h"

namespace hdgrab {

int poll_timeout_ms(std::chrono::nanoseconds left) noexcept {
    if (left.count() <= 0) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(
        std::min<std::chrono::milliseconds::rep>(ms, std::numeric_limits<int>::max()));
}

void sleep_for(std::chrono::milliseconds duration) noexcept {
    if (duration.count() <= 0) {
        return;
    }
    timespec request{};
    request.tv_sec = static_cast<time_t>(duration.count() / 1000);
    request.tv_nsec = static_cast<long>((duration.count() % 1000) * 1000000);
    timespec remaining{};
    while (::nanosleep(&request, &remaining) == -1 && errno == EINTR) {
        request = remaining;
    }
}

bool sleep_unless_stopped(std::chrono::milliseconds duration) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + duration;
    // The stop descriptor first; the calling thread's liveness probe, when keep-alives are on,
    // second: a question from the keep-alive sender is answered and the sleep goes on.
    LivenessProbe* probe = thread_liveness();
    std::array<pollfd, 2> fds{
        {{stop_event_fd(), POLLIN, 0}, {probe ? probe->fd() : -1, POLLIN, 0}}};
    const nfds_t count = probe != nullptr ? 2 : (fds[0].fd >= 0 ? 1 : 0);
    for (;;) {
        if (!is_running()) {
            return false;
        }
        const auto left = deadline - Clock::now();
        if (left.count() <= 0) {
            return true;
        }
        const int ready = ::poll(fds.data(), count, poll_timeout_ms(left));
        if (ready > 0 && fds[0].revents != 0) {
            return false;
        }
        if (ready > 0 && fds[1].revents != 0) {
            probe->answer();
        }
        if (ready < 0 && errno != EINTR) {
            // poll itself failed (no memory, or a descriptor limit lowered below one): a plain
            // sleep rather than a loop that retries at once.
            sleep_for(std::chrono::milliseconds(poll_timeout_ms(left)));
        }
        // A time-out, an answered question or an interrupted call goes round again: the
        // deadline decides.
    }
}

}  // namespace hdgrab
