// Starting a worker thread of the service.
#pragma once

#include <thread>
#include <utility>

#include "base/alt_signal_stack.h"

namespace hdgrab {

// Starts a thread that first installs its own alternate signal stack, so that the crash handler
// (which runs on that stack) can still trace a stack overflow in the thread, then runs `body`.
// The stack is unmapped when `body` returns. Without the stack (no memory for it) the thread
// still runs; an overflow in it then ends the process without a trace.
template <typename Body>
std::thread start_worker(Body body) {
    return std::thread([body = std::move(body)]() mutable {
        AltSignalStack stack;
        (void)stack.install();
        body();
    });
}

}  // namespace hdgrab
