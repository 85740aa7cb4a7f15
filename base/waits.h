// Relative waits in milliseconds that survive signal interruptions.
#pragma once

#include <chrono>

namespace hdgrab {

// The time-out of a poll or epoll wait for `left`: rounded up to whole milliseconds, never
// negative (a wait already due returns at once) and at most the largest int (about 24.8 days;
// a longer wait is made in parts), so no conversion wraps.
int poll_timeout_ms(std::chrono::nanoseconds left) noexcept;

// Sleeps the full time; an interrupting signal resumes the sleep with the remaining time.
void sleep_for(std::chrono::milliseconds duration) noexcept;

// Sleeps the full time unless a stop is requested (see request_stop), which ends it at once.
// Returns true when the full time passed, false when it ended because of a stop request.
bool sleep_unless_stopped(std::chrono::milliseconds duration) noexcept;

}  // namespace hdgrab
