#include "base/alt_signal_stack.h"

#include <sys/mman.h>

namespace hdgrab {

bool AltSignalStack::install(std::size_t bytes) {
    reset();
    void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return false;
    }
    stack_t stack{};
    stack.ss_sp = base;
    stack.ss_size = bytes;
    stack.ss_flags = 0;
    if (::sigaltstack(&stack, &previous_) != 0) {
        (void)::munmap(base, bytes);
        return false;
    }
    base_ = base;
    size_ = bytes;
    return true;
}

void AltSignalStack::keep_forever() noexcept {
    base_ = nullptr;
    size_ = 0;
}

void AltSignalStack::reset() noexcept {
    if (base_ == nullptr) {
        return;
    }
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == base_) {
        stack_t restore = previous_;
        if (restore.ss_sp == nullptr) {
            restore.ss_flags = SS_DISABLE;
        }
        restore.ss_flags &= SS_DISABLE;
        (void)::sigaltstack(&restore, nullptr);
    }
    (void)::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
}

}  // namespace hdgrab
