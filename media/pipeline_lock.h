// The lock that keeps the capture pipeline's bring-up, tear-down and re-configuration apart.
#pragma once

#include <mutex>

namespace hdgrab {

// Held by the Capture thread around its bring-up, each accept step and its tear-down, and by the
// Bridge monitor around a whole resolution change (tear-down, new geometry, bring-up, message).
// AxeraUtil has no lock of its own; this one serialises every caller that changes the pipeline
// or the client slot, so a shutdown never tears the pipeline down in the middle of a
// re-configuration and a notification is never sent on a connection that is being replaced.
std::mutex& pipeline_mutex() noexcept;

}  // namespace hdgrab
