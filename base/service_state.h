// Process-wide state shared by the main thread and the two worker threads.
#pragma once

#include <atomic>
#include <cstdint>

// The shared capture state. `width`, `height` and `fps` are written by the start-up probe before
// any worker exists; the two descriptors are always accessed atomically (sequentially consistent).
struct _ax_vin_data_t {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    std::atomic<int32_t> server_fd{0};
    std::atomic<int32_t> client_fd{0};
};

namespace hdgrab {

// The running flag: true from process start, cleared once by a stop request or by a failed
// pipeline bring-up, never set again.
bool is_running() noexcept;

// Clears the running flag and wakes every wait that watches the stop descriptor.
// Async-signal-safe: one atomic store and one write(2).
void request_stop() noexcept;

// An eventfd that becomes readable (and stays readable) once a stop was requested. Workers add it
// to their epoll sets so that a stop request ends every wait at once. Created on first use;
// call it once from normal context before installing the stop handler.
int stop_event_fd() noexcept;

}  // namespace hdgrab
