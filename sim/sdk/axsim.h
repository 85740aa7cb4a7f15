// In-process control and inspection of the substitute media SDK (libax_sys.so), for tests.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#define AXSIM_API __attribute__((visibility("default")))

namespace axsim {

// ---- statuses -------------------------------------------------------------------------------
// Every refusal has its own status: 0x80MMKKKK with MM the module that refuses and KKKK the kind
// of fault. Printed on standard error together with the reason.

enum class Module : uint32_t {
    kSys = 0x01,
    kPool = 0x02,
    kMipi = 0x03,
    kVin = 0x04,
    kIsp = 0x05,
    kIvps = 0x06,
    kSim = 0x0A,  // the substitute itself (injected faults, time-outs of the frame source)
};

enum class Kind : uint32_t {
    kNotInit = 0x01,       // module not initialised
    kExist = 0x02,         // object already exists / already in that state
    kNotExist = 0x03,      // object never created (or already destroyed / released)
    kBusy = 0x04,          // object still in use (linked, started, holding children)
    kInvalidId = 0x05,     // device, pipe, channel or group number out of range
    kNullPtr = 0x06,       // null record pointer
    kIllegalParam = 0x07,  // record value the substitute cannot accept
    kNotConfig = 0x08,     // a required configuration step was skipped
    kNotReady = 0x09,      // wrong state for this call (not started, not streaming...)
    kTimeout = 0x0A,       // no frame within the time-out
    kNoBuf = 0x0B,         // no pool block large enough / free for a frame
    kNotSupport = 0x0C,    // value valid for the vendor but not produced by the substitute
    kNoMem = 0x0D,         // pool plan larger than the simulated media memory
    kInjected = 0xFF,      // failure requested through fail() or AXSIM_FAIL
};

constexpr int32_t status_of(Module module, Kind kind) {
    return static_cast<int32_t>(0x80000000u | (static_cast<uint32_t>(module) << 16) |
                                static_cast<uint32_t>(kind));
}

// Default status of an injected failure: 0x800A00FF.
inline constexpr int32_t kInjected = status_of(Module::kSim, Kind::kInjected);
// Status of AX_VIN_GetYuvFrame when no frame comes (set_no_frame / AXSIM_NO_FRAME).
inline constexpr int32_t kFrameTimeout = status_of(Module::kVin, Kind::kTimeout);

// "VIN_NOT_EXIST" style name of a status produced by the substitute, or "" for other values.
AXSIM_API std::string status_name(int32_t status);

// ---- control --------------------------------------------------------------------------------

// Forget every object, call log, fault and setting, then read the AXSIM_* environment again:
// the state of a freshly started process.
AXSIM_API void reset();

// Make `call` fail with `status` (0 means injected_status()): every call when nth is 0, else
// only the nth call of that name counted from now (1 = the next one). An injected failure has no
// other effect; AX_SYS_Mmap returns null instead.
AXSIM_API void fail(std::string_view call, int32_t status, unsigned nth = 0);
AXSIM_API void clear_faults();
// Delay every call by this long before it runs.
AXSIM_API void set_delay(std::chrono::microseconds delay);
// Frames' line stride becomes the channel's stride plus this many pixels (padding filled).
AXSIM_API void set_stride_padding(uint32_t pixels);
// AX_VIN_GetYuvFrame waits min(timeout, 50 ms) and returns kFrameTimeout.
AXSIM_API void set_no_frame(bool on);

// ---- inspection -----------------------------------------------------------------------------

struct Call {
    std::string name;
    std::vector<int64_t> args;    // scalar arguments in declaration order, widened
    std::vector<uint8_t> record;  // raw bytes of the record argument (Link/UnLink: src then dst)
    int32_t status;
};

// Every call since the last reset (oldest first; at most the latest 100000, or AXSIM_CALL_LOG).
AXSIM_API std::vector<Call> calls();
// The calls named `name`, in order.
AXSIM_API std::vector<Call> calls(std::string_view name);
// One line per object still alive ("none" is not included: an empty list means nothing is left).
AXSIM_API std::vector<std::string> leftovers();
AXSIM_API int32_t injected_status();
// Every call name the substitute implements.
AXSIM_API std::vector<std::string> known_calls();

// ---- fault rules (AXSIM_FAIL) ------------------------------------------------------------

struct FaultRule {
    std::string call;
    int32_t status;  // kInjected when the fault names no status
    unsigned nth;    // 0 = every call
};

// Parses "CALL[#N][=STATUS][,CALL...]" (STATUS hex with 0x or decimal, N >= 1). Returns nullopt
// and sets `error` on a malformed item or an unknown call name.
AXSIM_API std::optional<std::vector<FaultRule>> parse_fault_rules(std::string_view text,
                                                                  std::string* error = nullptr);

// ---- pictures -------------------------------------------------------------------------------

struct Yuv {
    uint8_t y, u, v;
};

// The eight BT.601 colour bars, left to right: white, yellow, cyan, green, magenta, red, blue,
// black.
inline constexpr std::array<Yuv, 8> kBarColours{{
    {235, 128, 128},
    {210, 16, 146},
    {170, 166, 16},
    {145, 54, 34},
    {106, 202, 222},
    {81, 90, 240},
    {41, 240, 110},
    {16, 128, 128},
}};
// Text is white on a black box.
inline constexpr Yuv kTextColour{235, 128, 128};
inline constexpr Yuv kTextBackground{16, 128, 128};
// Bytes of the line padding past the picture width (Y position, then chroma position).
inline constexpr uint8_t kPadLuma = 0x80;
inline constexpr uint8_t kPadChroma = 0x00;

// The YUYV 4:2:2 picture of frame `seq` at width x height with lines of `stride` pixels:
// 2 x stride x height bytes. The frames' mappings hold exactly these bytes.
AXSIM_API std::vector<uint8_t> make_picture(uint32_t width, uint32_t height, uint32_t stride,
                                            uint64_t seq);
// Same, into `size` bytes at `dst` (truncated, or the rest zeroed, when size differs).
AXSIM_API void draw_picture(uint8_t* dst, size_t size, uint32_t width, uint32_t height,
                            uint32_t stride, uint64_t seq);
// Index (0..7) of the colour bar under pixel column x.
constexpr uint32_t bar_index(uint32_t x, uint32_t width) {
    return width == 0 ? 0 : static_cast<uint32_t>(uint64_t{x} * 8 / width);
}

}  // namespace axsim
