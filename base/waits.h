// Relative waits in milliseconds that survive signal interruptions.
#pragma once

#include <chrono>

namespace hdgrab {

// Sleeps the full time; an interrupting signal resumes the sleep with the remaining time.
void sleep_for(std::chrono::milliseconds duration) noexcept;

// Sleeps the full time unless a stop is requested (see request_stop), which ends it at once.
// Returns true when the full time passed, false when it ended because of a stop request.
bool sleep_unless_stopped(std::chrono::milliseconds duration) noexcept;

}  // namespace hdgrab
