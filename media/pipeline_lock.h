// The lock that keeps the workers' use of the pipeline and the process-wide objects apart, and
// keeps both away from their destruction at process exit.
#pragma once

#include <chrono>

namespace hdgrab {

// RAII hold of the pipeline lock. A worker holds it whenever it uses `global_axera_util`,
// `global_lt6911_util` or `global_logger`: the Capture thread around its bring-up, each accept
// step and its tear-down; the Bridge monitor around its set-up, every reaction to the bridge
// (a whole resolution change: tear-down, new geometry, bring-up, message) and its messages.
// Waits (epoll, the client poll, the reaction's pauses) are made without it.
//
// AxeraUtil has no lock of its own; this one serialises every caller that changes the pipeline
// or the client slot, so a shutdown never tears the pipeline down in the middle of a
// re-configuration and a notification is never sent on a connection that is being replaced.
//
// Process exit (an orderly end, or exit(-1) from the crash handler on whichever thread faulted)
// destroys the three objects. Before it does, seal_pipeline_for_exit() takes this lock for good:
// it waits until the worker inside (if any) has left, e.g. finished the SDK call it is in, and
// from then on every worker that asks for the lock blocks until the process is gone, so none
// starts new work or touches an object being destroyed. A thread that already holds the lock
// takes it again without blocking (a reaction inside a monitor pass), so the thread that faulted
// while holding it (a fault inside a re-configuration) passes the seal at once: no other thread
// can be inside then, and the release of pools and media system follows the broken
// re-configuration instead of overlapping it.
class PipelineLock {
  public:
    PipelineLock();
    ~PipelineLock();
    PipelineLock(const PipelineLock&) = delete;
    PipelineLock& operator=(const PipelineLock&) = delete;
};

// Sleeps `duration` (cut short by a stop request, see sleep_unless_stopped) with the calling
// thread's hold of the pipeline lock released, and takes it again afterwards (blocking for good
// once the process exits). Returns true when the full time passed. Without a hold it only sleeps.
bool pause_unlocked(std::chrono::milliseconds duration);

// The exit path: keeps every other thread out of the pipeline lock from now on and waits until
// none holds it. Returns at once when the calling thread holds it. Never releases it. Called
// from the crash handler's exit(), so it only polls an atomic and the mutex (no allocation);
// the crash path's alarm bounds the wait.
void seal_pipeline_for_exit() noexcept;

}  // namespace hdgrab
