// The status lines of the LT6911 bridge driver, shared by the bridge monitor and the health report.
#pragma once

namespace hdgrab {

// Status lines of the bridge (compared exactly), and the acknowledgement of "new res".
inline constexpr const char* kStatusStable = "stable";
inline constexpr const char* kStatusDisappear = "disappear";
inline constexpr const char* kStatusUnknownRes = "unknown res";
inline constexpr const char* kStatusErrorRes = "error res";
inline constexpr const char* kStatusNewRes = "new res";
inline constexpr const char* kHandshakeAck = "ok";

}  // namespace hdgrab
