// Shared state machine of the substitute media SDK: settings, faults, call log, object state and
// the one path every call takes (Call, run()).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "sdk/ax_sdk.h"
#include "sim/sdk/axsim.h"
#include "sim/sdk/calls.h"

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
    AX_MIPI_RX_DEV_T attr{};
    bool attr_set = false, started = false;
};

struct VinDev {
    AX_VIN_DEV_ATTR_T attr{};
    AX_VIN_DEV_BIND_PIPE_T bind{};
    bool pipes_bound = false, enabled = false;
    int mipi = -1;
};

struct VinChn {
    AX_VIN_CHN_ATTR_T attr{};
    bool attr_set = false, enabled = false;
};

struct Isp {
    AX_SNS_ATTR_T sns{};
    bool registered = false, sns_attr_set = false;
    bool created = false, opened = false, started = false, streaming = false;
};

struct VinPipe {
    AX_VIN_PIPE_ATTR_T attr{};
    bool started = false;
    std::array<VinChn, kVinChns> chn{};
    Isp isp;
};

struct IvpsGrp {
    AX_IVPS_GRP_ATTR_T attr{};
    AX_IVPS_PIPELINE_ATTR_T pipeline{};
    bool pipeline_set = false, started = false;
    std::array<bool, kIvpsChns> chn_enabled{};
};

struct Link {
    AX_MOD_INFO_T src, dst;
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
    size_t pool = 0, block = 0;
};

struct Mapping {
    uint32_t size = 0;  // as asked by the caller
    size_t length = 0;  // as mapped (whole pages)
    uint64_t phys = 0;
};

struct State {
    bool sys = false, vin = false, mipi = false, ivps = false;
    bool plan_set = false, pools_created = false;
    AX_POOL_FLOORPLAN_T plan{};
    std::vector<Pool> pools;
    std::map<uint8_t, MipiDev> mipi_devs;
    std::map<uint8_t, VinDev> devs;
    std::map<uint8_t, VinPipe> pipes;
    std::map<int32_t, IvpsGrp> groups;
    std::vector<Link> links;
    std::map<uint64_t, Frame> frames;                          // by physical address
    std::map<uintptr_t, Mapping> mappings;                     // by user-space address
    std::map<std::pair<uint8_t, int32_t>, uint64_t> last_seq;  // per (pipe, channel)
};

// Bytes a pool block takes: blocks start on 4 KiB boundaries, as mappings of whole pages need.
inline uint64_t block_stride(const AX_POOL_CONFIG_T& cfg) {
    return (cfg.BlkSize + 0xFFF) & ~uint64_t{0xFFF};
}

// ---- settings, faults and the one instance --------------------------------------------------

struct Fault {
    std::string call;
    int32_t status;
    unsigned nth, seen = 0;
};

struct Settings {
    std::chrono::microseconds delay{0};
    uint32_t stride_pad = 0;
    bool no_frame = false;
    std::vector<Fault> faults;
    std::vector<Fault> stalls;  // AXSIM_STALL: the rule's status is the stall in milliseconds
    std::string trace_path, leaks_path;
    std::string arm_path;  // AXSIM_ARM: a file of fault rules picked up (and removed) before a call
};

// Created when libax_sys is loaded and never destroyed (calls may still arrive from other
// libraries' exit handlers). The call log serves the in-process test API only; a service process
// never reads it, so it stays off until reset() or enable_call_log() turns it on.
struct Core {
    std::mutex mutex;
    Settings settings;
    State state;
    bool log_calls = false;
    std::deque<Call> calls;
};
Core& core();

// Text value for a trace line: no spaces, no control characters; "" for an empty string.
std::string trace_text(std::string_view text);

// ---- the path of every call -----------------------------------------------------------------

// What a call addresses, checked (in this order) before its own rules: the module it needs
// initialised, the number of its object in range (first argument; the pipe's channel is the
// second) and, unless the call makes the object itself, the object.
enum class Need {
    kNone,
    kSys,
    kMipi,
    kMipiDevId,
    kVin,
    kVinDevId,
    kVinDev,
    kVinPipeId,
    kVinPipe,
    kVinChn,
    kIvps,
    kIvpsGrpId,
    kIvpsGrp,
};

// What the generic path needs to know of one SDK call.
struct CallInfo {
    const char* name;
    Module module;  // of every status the call refuses with
    Need need = Need::kNone;
    const char* result = nullptr;  // traced with the call's result address (AX_SYS_Mmap)
};

// A scalar argument: the call log's args and a trace member, decimal or hex.
struct Arg {
    std::string_view name;
    int64_t value;
    bool hex = false;
};

// Unwinds a refused call to its run(), which reports it.
struct Refusal {
    int32_t status;
};

// A trace member shown as 0x... hex.
struct Hex {
    uint64_t value;
};

// One SDK call in progress: serves the delay, holds the lock, collects the arguments for the
// call log and the trace line, applies injected faults and the object checks, and at the end
// records everything, writes the trace line and reports a refusal on standard error.
class Call {
  public:
    Call(const CallInfo& info, std::initializer_list<Arg> args);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    State& s;
    const Settings& settings;
    // The objects found by the checks of CallInfo::need.
    VinDev* dev = nullptr;
    VinPipe* pipe = nullptr;
    VinChn* chn = nullptr;
    IvpsGrp* grp = nullptr;
    uintptr_t result = 0;                     // traced as CallInfo::result
    std::chrono::milliseconds wait_after{0};  // served after the lock is released

    bool tracing() const { return tracing_; }
    // Trace members: name, value, name, value ... (floats with two decimals).
    template <typename V, typename... Rest>
    void members(std::string_view name, const V& value, const Rest&... rest) {
        if (tracing_) {
            add(name, value);
            if constexpr (sizeof...(rest) > 0) {
                members(rest...);
            }
        }
    }
    void record(const void* data, size_t size);

    // Throws the injected status or the refusal of the object checks.
    void begin();
    [[noreturn]] void refuse(Kind kind, std::string reason);
    template <typename... Args>
    void refuse_if(bool refused, Kind kind, fmt::format_string<Args...> reason, Args&&... args) {
        if (refused) {
            refuse(kind, fmt::format(reason, std::forward<Args>(args)...));
        }
    }
    int64_t id(size_t i = 0) const { return id_[i]; }
    // Logs and traces the call, reports a refusal, releases the lock, serves wait_after.
    int32_t end(int32_t status);

  private:
    template <typename V>
    void add(std::string_view name, const V& value) {
        fmt::format_to(std::back_inserter(line_), " {}={}", name, value);
    }
    void add(std::string_view name, float value);
    void add(std::string_view name, Hex value);
    void find(Need need);
    void find_pipe(bool must_exist);

    Core& core_;
    const CallInfo& info_;
    std::unique_lock<std::mutex> lock_;
    axsim::Call call_;
    // The trace line and the call log are only built when someone reads them (AXSIM_TRACE, the
    // test API's call log): a service process pays for neither on every call.
    bool tracing_ = false;
    bool logging_ = false;
    std::string line_;
    std::string reason_;
    bool injected_ = false;
    std::array<int64_t, 2> id_{};
};

// A record argument the call reads: its bytes go to the call log and its members to the trace
// (`null_name=null` when absent); an absent record is refused after the object checks.
template <typename T>
struct In {
    const T* data;
    void (*trace)(Call&, const T&);
    const char* null_name = "attr";
    const char* null_reason = "null attributes";
};
// Spelled out for compilers without class template argument deduction for aggregates.
template <typename T, typename... Rest>
In(const T*, void (*)(Call&, const T&), Rest...) -> In<T>;

// The generic path: `trace` adds members before the checks, `body` applies the call's own rules
// and effects (refusing by Call::refuse).
template <typename Trace, typename Body>
int32_t run(const CallInfo& info, std::initializer_list<Arg> args, Trace&& trace, Body&& body) {
    Call c(info, args);
    trace(c);
    int32_t status = 0;
    try {
        c.begin();
        body(c);
    } catch (const Refusal& refusal) {
        status = refusal.status;
    }
    return c.end(status);
}

template <typename Body>
int32_t run(const CallInfo& info, std::initializer_list<Arg> args, Body&& body) {
    return run(
        info, args, [](Call&) {}, body);
}

template <typename T, typename Body>
int32_t run(const CallInfo& info, std::initializer_list<Arg> args, In<T> in, Body&& body) {
    auto trace = [&](Call& c) {
        if (in.data == nullptr) {
            c.members(in.null_name, "null");
            return;
        }
        c.record(in.data, sizeof(T));
        if (c.tracing()) {
            in.trace(c, *in.data);
        }
    };
    return run(info, args, trace, [&](Call& c) {
        c.refuse_if(in.data == nullptr, Kind::kNullPtr, "{}", in.null_reason);
        body(c, *in.data);
    });
}

// AX_SYS_Init and the modules' Init calls: sets the module's flag, refused while it is set
// ("<what> already initialised").
int32_t init_module(const CallInfo& info, bool State::*flag, const char* what);

// True when all `size` bytes at `data` are 0 (records traced only when they hold something).
inline bool is_zero(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

// "a,b,c" of a list member.
template <typename T>
std::string list(const T& values) {
    return fmt::format("{}", fmt::join(values, ","));
}
std::string rect(const AX_VIN_RECT_T& r);

}  // namespace axsim::detail
