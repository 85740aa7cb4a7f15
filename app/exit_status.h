// Exit statuses of the service.
#pragma once

namespace hdgrab {

// Help, version, a completed dump and an orderly stop.
inline constexpr int kExitOk = 0;
// Every start-up failure the service reports itself, and the end after a segmentation fault.
inline constexpr int kExitFailure = 255;

}  // namespace hdgrab
