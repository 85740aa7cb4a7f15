// How a worker thread shows the keep-alive sender that it still makes progress.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/unique_fd.h"

namespace hdgrab {

// One worker's answer to the question "are you still going round your loop?". The sender asks
// by making the probe's descriptor readable; the worker answers when one of its waits sees that
// descriptor (its epoll sets and sleep_unless_stopped watch it), which it can only do while it
// is not stuck in an SDK call, on a lock or in anything else that does not return. A probe
// starts with one question pending, so the first answer comes from the worker's first wait.
// Exists only while the service manager asked for keep-alives: without one no worker wait
// watches any extra descriptor and nothing wakes a worker.
class LivenessProbe {
  public:
    LivenessProbe();
    LivenessProbe(const LivenessProbe&) = delete;
    LivenessProbe& operator=(const LivenessProbe&) = delete;

    // False when the descriptor could not be created.
    bool is_valid() const noexcept { return fd_.is_valid(); }
    // The descriptor the worker's waits watch for readability.
    int fd() const noexcept { return fd_.get(); }
    // Adds the descriptor to the worker's epoll set `epoll_fd`; false (errno set) when it cannot.
    bool watch_in(int epoll_fd) const noexcept;

    // Sender side: true when the last question was answered and the worker has not ended.
    bool answered() const noexcept;
    // Sender side: asks the next question.
    void ask() noexcept;

    // Worker side: clears the descriptor and answers every question asked so far.
    void answer() noexcept;
    // Worker side: the thread is ending; no later question is ever answered.
    void mark_ended() noexcept;

  private:
    UniqueFd fd_;
    std::atomic<uint64_t> asked_{1};
    std::atomic<uint64_t> answered_{0};
    std::atomic<bool> ended_{false};
};

// The probe of the calling thread, or null when keep-alives are off (the normal case).
LivenessProbe* thread_liveness() noexcept;
// Sets the calling thread's probe (null to clear it); the probe outlives the thread's use of it.
void set_thread_liveness(LivenessProbe* probe) noexcept;

}  // namespace hdgrab
