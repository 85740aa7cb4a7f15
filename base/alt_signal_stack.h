// An alternate signal stack owned by the thread that installed it.
#pragma once

#include <csignal>
#include <cstddef>

namespace hdgrab {

// Size of the alternate signal stack the crash handler runs on; the unwinder and the demangler
// need room, and the thread's own stack may be exhausted when the fault hits.
inline constexpr std::size_t kCrashStackBytes = 256 * 1024;

// An alternate signal stack for the calling thread; on destruction (on the same thread) the
// previous one is restored and the memory unmapped. Every thread needs its own to have a stack
// overflow traced: the main thread's is set up by install_crash_handler, the workers' by
// start_worker.
class AltSignalStack {
  public:
    AltSignalStack() = default;
    ~AltSignalStack() { reset(); }
    AltSignalStack(const AltSignalStack&) = delete;
    AltSignalStack& operator=(const AltSignalStack&) = delete;

    // Maps `bytes` of stack and makes it the calling thread's alternate signal stack.
    bool install(std::size_t bytes = kCrashStackBytes);
    // Leaves the stack installed and mapped for the rest of the process.
    void keep_forever() noexcept;
    // Restores the previous alternate stack (if this object's is current) and unmaps this one.
    void reset() noexcept;

  private:
    void* base_ = nullptr;
    std::size_t size_ = 0;
    stack_t previous_{};
};

}  // namespace hdgrab
