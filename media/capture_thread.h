// The Capture thread: brings the capture pipeline up, serves the control socket, tears it down.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <memory>

#include "base/service_state.h"
#include "base/unique_fd.h"
#include "ipc/control_socket.h"

namespace hdgrab {

// Longest wait for a socket event before the running flag is looked at again; used only when the
// stop descriptor could not join the wait (otherwise the wait has no time-out).
inline constexpr std::chrono::milliseconds kCaptureWaitTimeout{200};
// Pause before the next accept after one failed for want of descriptors or memory.
inline constexpr std::chrono::milliseconds kAcceptRetryPause{100};

// The thread body: `std::thread capture(CaptureThread{epoll_fd, events, data});`.
// It holds references into `main`'s frame (the epoll instance with the listening socket
// registered, the event array, and `main`'s owner of the shared capture state); `main` keeps all
// three alive until it has joined the thread. It logs through `global_logger` and drives the
// pipeline through `global_axera_util`.
class CaptureThread {
  public:
    CaptureThread(const UniqueFd& epoll_fd, ControlEvents& events,
                  const std::shared_ptr<_ax_vin_data_t>& data) noexcept
        : epoll_fd_(epoll_fd), events_(events), data_(data) {}

    void operator()() const;

  private:
    // Runs the five bring-up steps in order; on the first failure logs it, clears the running
    // flag and returns false.
    bool bring_up() const;
    // Waits for connections until the running flag is cleared or the wait fails.
    void serve() const;
    // One accept step. True when it failed for want of descriptors or memory, so the caller
    // pauses before the next; the first such failure of a burst (`failing` false) is logged as
    // a warning, a success ends the burst.
    bool accept_client(bool& failing) const;
    // Closes the client connection and takes link, image processor and video input down.
    void tear_down() const;

    const UniqueFd& epoll_fd_;
    ControlEvents& events_;
    const std::shared_ptr<_ax_vin_data_t>& data_;
};

}  // namespace hdgrab
