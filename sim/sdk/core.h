// Shared state machine of the substitute media SDK: settings, faults, call log, object state and
// the one path every call takes (Call, serve()) around the call's own rule.
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
#include <type_traits>
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
// Name of the exported symbol at `address`, or "" when it is none.
std::string symbol_at(const void* address);

// ---- the path of every call -----------------------------------------------------------------

// What a call needs before its own rule (its row's object and presence), checked in this order:
// the object's module initialised (for the call that initialises a module: the media system, and
// the module not yet), the number of the object in range (the first argument; a channel's is the
// second, after its pipe's or group's) and the object itself.
struct Object;  // the objects a row may name (objects::kVinChn ...), with the checks in core.cpp
enum class Presence {
    kAny,                // no object to find (the number in range is enough)
    kExists,             // it exists (a module: initialised)
    kExistsAfterRecord,  // it exists, checked after the call's record is known to be there
    kNew,                // the call makes it: refused when it exists, checked after the record
};

// A call's row of the table, as the generic path needs it.
struct CallInfo {
    const char* name;
    Module module;  // of every status the call refuses with
    const Object& object;
    Presence presence;
};

// Unwinds a refused call to serve(), which reports it.
struct Refusal {
    int32_t status;
};

// A trace member shown as 0x... hex.
struct Hex {
    uint64_t value;
};

// How the generic path treats an argument: a number (a pointer the call does not read is an
// address, the sensor object also traced by its symbol), a record the call reads or one it fills.
enum class ArgKind { kNumber, kAddress, kSensor, kIn, kOut };
template <typename A>
constexpr ArgKind kind_of() {
    if constexpr (std::is_integral_v<A>) {
        return ArgKind::kNumber;
    } else if constexpr (std::is_same_v<A, void*>) {
        return ArgKind::kAddress;
    } else if constexpr (std::is_same_v<A, AX_SENSOR_REGISTER_FUNC_T*>) {
        return ArgKind::kSensor;
    } else {
        return std::is_const_v<std::remove_pointer_t<A>> ? ArgKind::kIn : ArgKind::kOut;
    }
}

// True for a record the call reads that is absent.
template <typename A>
bool absent_record(A arg) {
    if constexpr (kind_of<A>() == ArgKind::kIn) {
        return arg == nullptr;
    }
    return false;
}

class Call;
// Trace members of the records the calls read (`name` is the argument's), and of the frame
// record AX_VIN_GetYuvFrame fills; defined with the module's rules.
void trace(Call& c, const AX_POOL_FLOORPLAN_T& plan, std::string_view name);
void trace(Call& c, const AX_MOD_INFO_T& link, std::string_view name);
void trace(Call& c, const AX_MIPI_RX_DEV_T& attr, std::string_view name);
void trace(Call& c, const AX_VIN_DEV_ATTR_T& attr, std::string_view name);
void trace(Call& c, const AX_VIN_DEV_BIND_PIPE_T& bind, std::string_view name);
void trace(Call& c, const AX_VIN_PIPE_ATTR_T& attr, std::string_view name);
void trace(Call& c, const AX_VIN_CHN_ATTR_T& attr, std::string_view name);
void trace(Call& c, const AX_VIDEO_FRAME_INFO_T& frame, std::string_view name);
void trace(Call& c, const AX_SNS_ATTR_T& attr, std::string_view name);
void trace(Call& c, const AX_IVPS_GRP_ATTR_T& attr, std::string_view name);
void trace(Call& c, const AX_IVPS_PIPELINE_ATTR_T& attr, std::string_view name);
void trace_filled(Call& c, const AX_VIDEO_FRAME_INFO_T& frame);

// Reason of the refusal of an absent record.
template <typename T>
inline constexpr const char* kNullReason = "null attributes";
template <>
inline constexpr const char* kNullReason<AX_POOL_FLOORPLAN_T> = "null pool plan";
template <>
inline constexpr const char* kNullReason<AX_VIN_DEV_BIND_PIPE_T> = "null binding";
template <>
inline constexpr const char* kNullReason<AX_VIDEO_FRAME_INFO_T> = "null frame record";
template <>
inline constexpr const char* kNullReason<AX_MOD_INFO_T> = "null link record";
template <>
inline constexpr const char* kNullReason<AX_SENSOR_REGISTER_FUNC_T> = "null sensor object";

// One SDK call in progress: serves the delay, holds the lock, collects the arguments for the
// call log and the trace line, applies injected faults and the object checks, and at the end
// records everything, writes the trace line and reports a refusal on standard error.
class Call {
  public:
    explicit Call(const CallInfo& info);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    State& s;
    const Settings& settings;
    // The objects found by the checks of the row's object and presence.
    VinDev* dev = nullptr;
    VinPipe* pipe = nullptr;
    VinChn* chn = nullptr;
    IvpsGrp* grp = nullptr;
    uintptr_t result = 0;                     // a call returning an address: traced as addr=
    std::chrono::milliseconds wait_after{0};  // served after the lock is released

    // Trace members: name, value, name, value ... (floats with two decimals, arrays as lists).
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

    // One argument before the checks: a number goes to the call log's args and the trace, a
    // record read to the call log's bytes and the trace's members (`name=null`, or `name=set`,
    // when a record of the call is absent).
    template <typename A>
    void take(const char* name, A arg, bool record_absent) {
        constexpr ArgKind kind = kind_of<A>();
        if constexpr (kind == ArgKind::kNumber) {
            number(name, static_cast<int64_t>(arg), sizeof(A) == 8);
        } else if constexpr (kind == ArgKind::kAddress || kind == ArgKind::kSensor) {
            number(name, static_cast<int64_t>(reinterpret_cast<uintptr_t>(arg)), true);
            if constexpr (kind == ArgKind::kSensor) {
                members("symbol", trace_text(symbol_at(arg)));
            }
        } else if constexpr (kind == ArgKind::kIn) {
            if (record_absent) {
                members(name, arg == nullptr ? "null" : "set");
            } else {
                record(arg, sizeof(*arg));
                if (tracing_) {
                    trace(*this, *arg, name);
                }
            }
        }
    }
    // After the object checks: an absent record is refused.
    template <typename A>
    void need(A arg) {
        if constexpr (kind_of<A>() >= ArgKind::kSensor) {
            refuse_if(arg == nullptr, Kind::kNullPtr, "{}",
                      kNullReason<std::remove_cv_t<std::remove_pointer_t<A>>>);
        }
    }
    // After the rule: the record the call filled.
    template <typename A>
    void give(A arg) {
        if constexpr (kind_of<A>() == ArgKind::kOut) {
            record(arg, sizeof(*arg));
            trace_filled(*this, *arg);
        }
    }

    // Throws the injected status or the refusal of the checks made before the records'.
    void begin();
    // The checks of the row's object made before (records_checked false) or after the records'.
    void check(bool records_checked);
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
    template <typename V, size_t N>
    requires(!std::is_same_v<V, char>) void add(std::string_view name, const V (&values)[N]) {
        fmt::format_to(std::back_inserter(line_), " {}={}", name, fmt::join(values, ","));
    }
    void add(std::string_view name, float value);
    void add(std::string_view name, Hex value);
    void add(std::string_view name, const AX_VIN_RECT_T& r);
    void number(std::string_view name, int64_t value, bool hex);
    template <typename K, typename T>
    T* find(std::map<K, T>& objects, const char* noun, bool records_checked);

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
    size_t ids_ = 0;
    std::array<int64_t, 2> id_{};
};

// Trace members named as the record's members: AXSIM_MEMBERS(c, a, nWidth, nHeight) is
// c.members("nWidth", a.nWidth, "nHeight", a.nHeight).
#define AXSIM_MEMBER(record, member) #member, record.member
#define AXSIM_MEMBERS(c, record, ...) c.members(AXSIM_EACH(AXSIM_MEMBER, record, __VA_ARGS__))

// The rule of each call (rule::NAME, defined with its module as AXSIM_RULE(NAME) { ... }, with
// the parameters of the call's row): runs once the arguments are taken and the checks of the
// row's object passed, refusing by Call::refuse.
#define AXSIM_RULE(name) AXSIM_APPLY(AXSIM_RULE_, (name, AXSIM_ROW_##name))
#define AXSIM_RULE_(name, ret, module, object, presence, ...) \
    void name([[maybe_unused]] Call& c __VA_OPT__(, AXSIM_EACH(AXSIM_RULE_PARAM, , __VA_ARGS__)))
#define AXSIM_RULE_PARAM(unused, pair) [[maybe_unused]] AXSIM_PARAM_ pair
namespace rule {
#define AXSIM_DECLARE_RULE(...) AXSIM_RULE_(__VA_ARGS__);
AXSIM_CALLS(AXSIM_DECLARE_RULE)
#undef AXSIM_DECLARE_RULE
}  // namespace rule

// The generic path of every call (the table makes one a call, in core.cpp).
template <typename Ret, typename... A>
Ret serve(const CallInfo& info, std::initializer_list<const char*> names, void (*rule)(Call&, A...),
          A... args) {
    Call c(info);
    [[maybe_unused]] const bool record_absent = (absent_record(args) || ...);
    [[maybe_unused]] const char* const* name = names.begin();
    (c.take(*name++, args, record_absent), ...);
    int32_t status = 0;
    try {
        c.begin();
        (c.need(args), ...);
        c.check(true);
        rule(c, args...);
        (c.give(args), ...);
    } catch (const Refusal& refusal) {
        status = refusal.status;
    }
    if constexpr (std::is_pointer_v<Ret>) {
        c.members("addr", Hex{c.result});
        return c.end(status) == 0 ? reinterpret_cast<Ret>(c.result) : nullptr;
    } else {
        return c.end(status);
    }
}

// True when all `size` bytes at `data` are 0 (records traced only when they hold something).
inline bool is_zero(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

}  // namespace axsim::detail
