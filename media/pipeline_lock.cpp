#include "media/pipeline_lock.h"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <mutex>

#include "base/waits.h"

namespace hdgrab {
namespace {

// How often the exit path looks whether the holder has left.
constexpr long kSealPollNanoseconds = 1000000;

// Never destroyed: workers may still be blocked on it while the process-exit destructors run.
std::mutex& mutex() noexcept {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

// The thread holding the lock (0: none) and how often it took it; the count is used by the
// holder only.
std::atomic<pid_t> g_owner{0};
int g_depth = 0;
std::atomic<bool> g_sealed{false};

bool held_by_caller() noexcept {
    return g_owner.load() == ::gettid();
}

// Takes the mutex for the calling thread, which does not hold it. After the seal the exit path
// owns it for good, so this blocks until the process is gone; a thread that won it just before
// the seal gives it back and stays here for the same reason.
void take() {
    for (;;) {
        mutex().lock();
        if (!g_sealed.load()) {
            break;
        }
        mutex().unlock();
        for (;;) {
            (void)::pause();
        }
    }
    g_owner.store(::gettid());
    g_depth = 1;
}

void give_back() noexcept {
    g_depth = 0;
    g_owner.store(0);
    mutex().unlock();
}

}  // namespace

PipelineLock::PipelineLock() {
    if (held_by_caller()) {
        ++g_depth;
        return;
    }
    take();
}

PipelineLock::~PipelineLock() {
    if (--g_depth == 0) {
        give_back();
    }
}

bool pause_unlocked(std::chrono::milliseconds duration) {
    if (!held_by_caller()) {
        return sleep_unless_stopped(duration);
    }
    const int depth = g_depth;
    give_back();
    const bool full = sleep_unless_stopped(duration);
    take();
    g_depth = depth;
    return full;
}

void seal_pipeline_for_exit() noexcept {
    g_sealed.store(true);
    if (held_by_caller()) {
        return;
    }
    // try_lock and nanosleep rather than a blocking lock: this may run in a signal handler.
    while (!mutex().try_lock()) {
        timespec pause{0, kSealPollNanoseconds};
        (void)::nanosleep(&pause, nullptr);
    }
    g_owner.store(::gettid());
    g_depth = 1;
}

}  // namespace hdgrab
