// Shared state machine of the substitute media SDK: settings, faults, call log and object state.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "media/ax_sdk.h"
#include "sim/sdk/axsim.h"

namespace axsim::detail {

// ---- limits of the simulated chip -----------------------------------------------------------
inline constexpr unsigned kMipiDevs = 8;
inline constexpr unsigned kVinDevs = 8;
inline constexpr unsigned kVinPipes = 8;
inline constexpr unsigned kVinChns = 3;
inline constexpr int32_t kIvpsGroups = 64;
inline constexpr int32_t kIvpsChns = 5;
inline constexpr uint32_t kMaxPicture = 8192;          // pixels per side
inline constexpr uint64_t kMediaMemory = 2ull << 30;   // bytes the pools may take in total
inline constexpr uint64_t kPhysBase = 0x100000000ull;  // fake physical address of pool memory
inline constexpr int32_t kModVin = 17;                 // module numbers in link records
inline constexpr int32_t kModIvps = 13;
inline constexpr int32_t kYuyvFormat = 3;  // the only channel format delivered
inline constexpr std::chrono::milliseconds kNoFrameWait{50};
inline constexpr size_t kMaxLoggedCalls = 100000;

// ---- object state ---------------------------------------------------------------------------

struct MipiDev {
    bool attr_set = false;
    AX_MIPI_RX_DEV_T attr{};
    bool reset = false;
    bool started = false;
};

struct VinDev {
    AX_VIN_DEV_ATTR_T attr{};
    bool pipes_bound = false;
    AX_VIN_DEV_BIND_PIPE_T bind{};
    int mipi = -1;
    bool enabled = false;
};

struct VinChn {
    bool attr_set = false;
    AX_VIN_CHN_ATTR_T attr{};
    int32_t frame_mode = 0;
    bool enabled = false;
};

struct Isp {
    bool registered = false;
    const void* sensor = nullptr;
    bool sns_attr_set = false;
    AX_SNS_ATTR_T sns{};
    bool created = false;
    bool opened = false;
    bool started = false;
    bool streaming = false;
};

struct VinPipe {
    AX_VIN_PIPE_ATTR_T attr{};
    bool started = false;
    std::array<VinChn, kVinChns> chn{};
    Isp isp;
};

struct IvpsGrp {
    AX_IVPS_GRP_ATTR_T attr{};
    bool pipeline_set = false;
    AX_IVPS_PIPELINE_ATTR_T pipeline{};
    std::array<bool, kIvpsChns> chn_enabled{};
    bool started = false;
};

struct Link {
    AX_MOD_INFO_T src;
    AX_MOD_INFO_T dst;
};

struct Pool {
    AX_POOL_CONFIG_T cfg{};
    uint64_t phys_base = 0;
    std::vector<bool> used;
};

struct Frame {
    uint8_t pipe = 0;
    int32_t chn = 0;
    uint32_t width = 0, height = 0, stride = 0;
    uint64_t seq = 0;
    uint32_t size = 0;
    size_t pool = 0;
    size_t block = 0;
};

struct Mapping {
    uint32_t size = 0;  // as asked by the caller
    size_t length = 0;  // as mapped (whole pages)
    uint64_t phys = 0;
};

struct State {
    bool sys = false;
    bool plan_set = false;
    AX_POOL_FLOORPLAN_T plan{};
    bool pools_created = false;
    std::vector<Pool> pools;
    bool vin = false;
    bool mipi = false;
    int32_t lane_combo = -1;
    std::map<uint8_t, MipiDev> mipi_devs;
    std::map<uint8_t, VinDev> devs;
    std::map<uint8_t, VinPipe> pipes;
    bool ivps = false;
    std::map<int32_t, IvpsGrp> groups;
    std::vector<Link> links;
    std::map<uint64_t, Frame> frames;                          // by physical address
    std::map<uintptr_t, Mapping> mappings;                     // by user-space address
    std::map<std::pair<uint8_t, int32_t>, uint64_t> last_seq;  // per (pipe, channel)
};

struct Fault {
    std::string call;
    int32_t status;
    unsigned nth;
    unsigned seen = 0;
};

struct Settings {
    std::chrono::microseconds delay{0};
    uint32_t stride_pad = 0;
    bool no_frame = false;
    std::vector<Fault> faults;
    std::string trace_path;
    std::string leaks_path;
    // AXSIM_ARM: a file of fault rules picked up (and removed) before a call.
    std::string arm_path;
};

// The one instance, created when libax_sys is loaded and never destroyed (calls may still
// arrive from other libraries' exit handlers).
struct Core {
    std::mutex mutex;
    Settings settings;
    State state;
    // The call log serves the in-process test API only; a service process never reads it, so
    // it stays off (and costs nothing) until reset() or enable_call_log() turns it on.
    bool log_calls = false;
    std::deque<Call> calls;
};
Core& core();

// Reads the AXSIM_* variables into fresh settings (warnings for bad values on stderr).
Settings settings_from_environment();
// Adds the fault rules of the AXSIM_ARM file, when it exists, with their counts starting now,
// and removes the file. Called with the core's lock held, before each call.
void take_armed_faults(Settings& settings);
// Releases every mapping and forgets all objects.
void clear_state(State& state);
std::vector<std::string> list_leftovers(const State& state);

// Text value for a trace line: no spaces, no control characters; "" for an empty string.
std::string trace_text(std::string_view text);

// One SDK call in progress: applies the delay, holds the lock, collects the call's arguments for
// the call log and the trace line, checks injected faults, and at the end records everything,
// writes the trace line and reports a refusal on standard error.
class CallScope {
  public:
    explicit CallScope(const char* name);
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    State& state() { return core_.state; }
    const Settings& settings() const { return core_.settings; }

    // A scalar argument: goes to Call::args and the trace line (decimal or hex).
    void arg(std::string_view name, int64_t value);
    void arg_hex(std::string_view name, uint64_t value);
    // A trace-only name=value member.
    template <typename T>
    void member(std::string_view name, const T& value) {
        if (tracing_) {
            fmt::format_to(std::back_inserter(line_), " {}={}", name, value);
        }
    }
    void member_hex(std::string_view name, uint64_t value);
    void member_float(std::string_view name, float value);
    // Raw record bytes for Call::record.
    void record(const void* data, size_t size);

    // True when an injected fault applies to this call; finish() then returns its status.
    bool injected();
    // Refuse the call: remembers the reason for standard error and returns finish(status).
    int32_t reject(int32_t status, std::string reason);
    int32_t ok() { return finish(0); }
    int32_t finish(int32_t status);
    int32_t finish() { return finish(status_); }

  private:
    Core& core_;
    std::unique_lock<std::mutex> lock_;
    Call call_;
    // The trace line and the call log are only built when someone reads them (AXSIM_TRACE,
    // the test API's call log): a service process pays for neither on every call.
    bool tracing_ = false;
    bool logging_ = false;
    std::string line_;
    std::string reason_;
    int32_t status_ = 0;
    bool injected_ = false;
};

// Shortcut for the statuses of one module.
constexpr int32_t err(Module module, Kind kind) {
    return status_of(module, kind);
}

// Trace members of the records (shared by calls that take the same record).
void trace_frame(CallScope& c, const AX_VIDEO_FRAME_INFO_T& frame);

}  // namespace axsim::detail
