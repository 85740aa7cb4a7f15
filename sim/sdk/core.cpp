// Shared state machine of the substitute media SDK: settings, fault rules, the path of every
// call, the call log, the leak report and the control API.
#include "sim/sdk/core.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/unique_fd.h"

namespace axsim::detail {

// Where the checks find an object.
enum class Kept { kNowhere, kDevs, kPipes, kGroups };

// An object a row may name (objects::k<name>): the flag and the name of its module, what its
// number is called, its limit (0: the object is the module itself) and where it is kept; the
// limit of its channel's number (the second argument), 0 when it is no channel.
struct Object {
    bool State::*module;
    const char* module_name;
    const char* noun;
    int64_t limit;
    Kept kept;
    int64_t chn_limit;
};

namespace objects {
constexpr Object kSys{&State::sys, "media system", "", 0, Kept::kNowhere, 0};
constexpr Object kMipi{&State::mipi, "receiver", "", 0, Kept::kNowhere, 0};
constexpr Object kMipiDev{&State::mipi, "receiver", "device", kMipiDevs, Kept::kNowhere, 0};
constexpr Object kVin{&State::vin, "video input", "", 0, Kept::kNowhere, 0};
constexpr Object kVinDev{&State::vin, "video input", "device", kVinDevs, Kept::kDevs, 0};
constexpr Object kVinPipe{&State::vin, "video input", "pipe", kVinPipes, Kept::kPipes, 0};
constexpr Object kVinChn{&State::vin, "video input", "pipe", kVinPipes, Kept::kPipes, kVinChns};
constexpr Object kIvps{&State::ivps, "image processor", "", 0, Kept::kNowhere, 0};
constexpr Object kIvpsGrp{&State::ivps, "image processor", "group", kIvpsGroups, Kept::kGroups, 0};
constexpr Object kIvpsChn{&State::ivps, "image processor", "group",
                          kIvpsGroups,  Kept::kGroups,     kIvpsChns};
}  // namespace objects

namespace {

// A module's flag is checked first; the call that initialises a module needs the media system
// (unless it is that) and the module not initialised yet.
void check_module(Call& c, const Object& o, Presence presence) {
    if (o.limit == 0 && presence == Presence::kNew) {
        c.refuse_if(o.module != &State::sys && !c.s.sys, Kind::kNotInit,
                    "media system not initialised");
        c.refuse_if(c.s.*o.module, Kind::kExist, "{} already initialised", o.module_name);
    } else {
        c.refuse_if(!(c.s.*o.module), Kind::kNotInit, "{} not initialised", o.module_name);
    }
}

#define AXSIM_KNOWN(name, ...) #name,
constexpr std::string_view kKnownCalls[] = {AXSIM_CALLS(AXSIM_KNOWN)};
#undef AXSIM_KNOWN

bool is_known_call(std::string_view name) {
    return std::find(std::begin(kKnownCalls), std::end(kKnownCalls), name) != std::end(kKnownCalls);
}

std::string_view trim(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Decimal or 0x-hexadecimal integer, the whole text.
template <typename T>
bool parse_integer(std::string_view text, T& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && ec == std::errc{} && end == text.data() + text.size();
}

// A status is any 32-bit pattern: decimal -2147483648..4294967295 or hex up to 0xFFFFFFFF.
bool parse_status(std::string_view text, int32_t& status) {
    int64_t value = 0;
    bool hex = text.starts_with("0x") || text.starts_with("0X");
    if (!parse_integer(text, value) || value < (hex ? 0 : INT32_MIN) ||
        value > int64_t{UINT32_MAX}) {
        return false;
    }
    status = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

void warn(std::string_view text) {
    fmt::print(stderr, "axsim: {}\n", text);
}

// The variable's value; empty when it is unset.
std::string_view env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A number up to `max` from the variable `name`, when set; else a warning "... : <what>".
template <typename T>
void read_number(const char* name, const char* what, T max, T& value) {
    const std::string_view v = env(name);
    T parsed = 0;
    if (!v.empty() && parse_integer(v, parsed) && parsed <= max) {
        value = parsed;
    } else if (!v.empty()) {
        warn(fmt::format("ignoring {}={}: {}", name, v, what));
    }
}

// Writes `text` into `path` (created, opened with `flags` added); false when it cannot be opened.
bool write_text(const std::string& path, int flags, mode_t mode, std::string_view text) {
    hdgrab::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode));
    for (size_t done = 0; fd && done < text.size();) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return fd.is_valid();
}

// Appends the rules in `text` to `to`; malformed text (or, for stalls, a rule without its
// milliseconds) adds none and is reported as `source`.
void add_fault_rules(std::vector<Fault>& to, std::string_view text, std::string_view source,
                     bool stall = false) {
    std::string error;
    auto rules = parse_fault_rules(text, &error);
    if (rules && stall && std::any_of(rules->begin(), rules->end(), [](const FaultRule& rule) {
            return rule.status < 0;
        })) {
        rules.reset();
        error = "a stall needs its milliseconds (CALL[#N]=MS)";
    }
    if (!rules) {
        warn(fmt::format("ignoring {}: {}", source, error));
        return;
    }
    for (const auto& rule : *rules) {
        to.push_back(Fault{rule.call, rule.status, rule.nth});
    }
}

// Adds the rules of the AXSIM_ARM file, when it exists, with their counts starting now, and
// removes the file. Called with the core's lock held, before each call.
void take_armed_faults(Settings& s) {
    if (s.arm_path.empty()) {
        return;
    }
    hdgrab::UniqueFd fd(::open(s.arm_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return;
    }
    std::string text;
    std::array<char, 512> buffer{};
    for (ssize_t n; (n = ::read(fd.get(), buffer.data(), buffer.size())) > 0;) {
        text.append(buffer.data(), static_cast<size_t>(n));
    }
    fd.reset();
    (void)::unlink(s.arm_path.c_str());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    add_fault_rules(s.faults, text, fmt::format("armed faults {}", text));
}

// Counts the call against every rule naming it; true with the status of the first that fires.
bool injected(std::vector<Fault>& rules, std::string_view call, int32_t& status) {
    bool hit = false;
    for (auto& fault : rules) {
        if (fault.call == call && ++fault.seen > 0 && !hit &&
            (fault.nth == 0 || fault.seen == fault.nth)) {
            hit = true;
            status = fault.status;
        }
    }
    return hit;
}

Settings settings_from_environment() {
    Settings s;
    s.trace_path = env("AXSIM_TRACE");
    s.leaks_path = env("AXSIM_LEAKS");
    s.arm_path = env("AXSIM_ARM");
    uint64_t us = 0;
    read_number("AXSIM_DELAY_US", "not a number", UINT64_MAX, us);
    s.delay = std::chrono::microseconds(us);
    read_number("AXSIM_STRIDE_PAD", "not a pixel count", kMaxPicture, s.stride_pad);
    std::string_view no_frame = env("AXSIM_NO_FRAME");
    s.no_frame = !(no_frame.empty() || no_frame == "0" || no_frame == "false" || no_frame == "no");
    if (std::string_view v = env("AXSIM_FAIL"); !v.empty()) {
        add_fault_rules(s.faults, v, fmt::format("AXSIM_FAIL={}", v));
    }
    if (std::string_view v = env("AXSIM_STALL"); !v.empty()) {
        add_fault_rules(s.stalls, v, fmt::format("AXSIM_STALL={}", v), true);
    }
    return s;
}

std::vector<std::string> list_leftovers(const State& s) {
    std::vector<std::string> out;
    auto add = [&](const char* format, const auto&... args) {
        out.push_back(fmt::format(fmt::runtime(format), args...));
    };
    for (const auto& [addr, m] : s.mappings) {
        add("mapping addr=0x{:x} size={} phys=0x{:x}", addr, m.size, m.phys);
    }
    for (const auto& [phys, f] : s.frames) {
        add("frame pipe={} chn={} seq={} phys=0x{:x}", f.pipe, f.chn, f.seq, phys);
    }
    for (const auto& l : s.links) {
        add("link src={},{},{} dst={},{},{}", l.src.enModId, l.src.s32GrpId, l.src.s32ChnId,
            l.dst.enModId, l.dst.s32GrpId, l.dst.s32ChnId);
    }
    for (const auto& [grp, g] : s.groups) {
        std::string chns;
        for (size_t i = 0; i < g.chn_enabled.size(); ++i) {
            chns += g.chn_enabled[i] ? fmt::format(" chn{}=enabled", i) : "";
        }
        add("ivps group={}{}{}", grp, g.started ? " started" : "", chns);
    }
    if (s.ivps) {
        add("ivps module");
    }
    for (const auto& [pipe, p] : s.pipes) {
        const Isp& i = p.isp;
        if (i.registered || i.created) {
            add("isp pipe={}{}{}", pipe, i.registered ? " sensor-registered" : "",
                i.streaming ? " streaming"
                : i.started ? " started"
                : i.opened  ? " open"
                : i.created ? " created"
                            : "");
        }
        for (size_t i = 0; i < kVinChns; ++i) {
            if (p.chn[i].enabled) {
                add("vin chn pipe={} chn={} enabled", pipe, i);
            }
        }
        add("vin pipe={}{}", pipe, p.started ? " started" : "");
    }
    for (const auto& [dev, d] : s.devs) {
        add("vin dev={}{}", dev, d.enabled ? " enabled" : "");
    }
    if (s.vin) {
        add("vin module");
    }
    for (const auto& [dev, m] : s.mipi_devs) {
        if (m.started) {
            add("mipi dev={} started", dev);
        }
    }
    if (s.mipi) {
        add("mipi rx");
    }
    for (size_t i = 0; i < s.pools.size(); ++i) {
        add("pool {} BlkSize={} BlkCnt={}", i, s.pools[i].cfg.BlkSize, s.pools[i].cfg.BlkCnt);
    }
    if (s.sys) {
        add("sys");
    }
    return out;
}

// Created when the library is loaded so the environment is read at process start.
__attribute__((constructor)) void create_core() {
    (void)core();
}

// Runs after the program's own exit handlers (the library was initialised before the program),
// so the objects released by the service's destructors are already gone.
__attribute__((destructor)) void report_at_exit() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (c.settings.leaks_path.empty()) {
        return;
    }
    const std::vector<std::string> lines = list_leftovers(c.state);
    std::string text = lines.empty() ? "none\n" : "";
    for (const auto& line : lines) {
        text += line + '\n';
    }
    if (!write_text(c.settings.leaks_path, O_TRUNC, 0666, text)) {
        warn(fmt::format("cannot write the leak report to {}", c.settings.leaks_path));
    }
}

template <typename F>
auto locked(F&& f) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return f(c);
}

// Serves the delay, and a stall of this call, before the lock so a slow call does not serialise
// the other threads.
Core& delayed_core(std::string_view call) {
    std::this_thread::sleep_for(locked([&](Core& c) {
        int32_t stall_ms = 0;
        bool stalled = injected(c.settings.stalls, call, stall_ms);
        return c.settings.delay + std::chrono::milliseconds(stalled ? stall_ms : 0);
    }));
    return core();
}

}  // namespace

Core& core() {
    static Core* instance = [] {
        auto* c = new Core;
        c->settings = settings_from_environment();
        return c;
    }();
    return *instance;
}

std::string trace_text(std::string_view text) {
    std::string out = text.empty() ? "\"\"" : "";
    for (char ch : text) {
        auto u = static_cast<unsigned char>(ch);
        bool escape = u <= 0x20 || u >= 0x7F || ch == '\\' || ch == '"' || ch == '=' || ch == ',';
        out += escape ? fmt::format("\\x{:02x}", u) : std::string(1, ch);
    }
    return out;
}

std::string symbol_at(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_sname == nullptr ||
        info.dli_saddr != address) {
        return {};
    }
    return info.dli_sname;
}

// ---- the path of every call -----------------------------------------------------------------

Call::Call(const CallInfo& info)
    : s(delayed_core(info.name).state),
      settings(core().settings),
      core_(core()),
      info_(info),
      lock_(core_.mutex),
      tracing_(!core_.settings.trace_path.empty()),
      logging_(core_.log_calls) {
    take_armed_faults(core_.settings);
    call_.name = info.name;
    call_.status = 0;
    line_ = tracing_ ? info.name : "";
}

void Call::number(std::string_view name, int64_t value, bool hex) {
    if (ids_ < id_.size()) {
        id_[ids_++] = value;
    }
    if (logging_) {
        call_.args.push_back(value);
    }
    if (hex) {
        members(name, Hex{static_cast<uint64_t>(value)});
    } else {
        members(name, value);
    }
}

void Call::add(std::string_view name, float value) {
    fmt::format_to(std::back_inserter(line_), " {}={:.2f}", name, value);
}

void Call::add(std::string_view name, Hex value) {
    fmt::format_to(std::back_inserter(line_), " {}=0x{:x}", name, value.value);
}

void Call::add(std::string_view name, const AX_VIN_RECT_T& r) {
    fmt::format_to(std::back_inserter(line_), " {}={},{},{},{}", name, r.nStartX, r.nStartY,
                   r.nWidth, r.nHeight);
}

void Call::record(const void* data, size_t size) {
    if (logging_) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        call_.record.insert(call_.record.end(), bytes, bytes + size);
    }
}

void Call::begin() {
    int32_t status = 0;
    if ((injected_ = injected(core_.settings.faults, call_.name, status))) {
        throw Refusal{status};
    }
    check(false);
}

void Call::refuse(Kind kind, std::string reason) {
    reason_ = std::move(reason);
    throw Refusal{status_of(info_.module, kind)};
}

template <typename K, typename T>
T* Call::find(std::map<K, T>& objects, const char* noun, bool records_checked) {
    auto it = objects.find(static_cast<K>(id_[0]));
    T* found = it == objects.end() ? nullptr : &it->second;
    const bool is_new = info_.presence == Presence::kNew;
    if (records_checked == (is_new || info_.presence == Presence::kExistsAfterRecord)) {
        refuse_if(is_new && found != nullptr, Kind::kExist, "{} {} already created", noun, id_[0]);
        refuse_if(!is_new && found == nullptr, Kind::kNotExist, "{} {} not created", noun, id_[0]);
    }
    return found;
}

void Call::check(bool records_checked) {
    const Object& o = info_.object;
    if (!records_checked) {
        check_module(*this, o, info_.presence);
        refuse_if(o.limit != 0 && (id_[0] < 0 || id_[0] >= o.limit), Kind::kInvalidId, "{} {}",
                  o.noun, id_[0]);
    }
    if (o.kept == Kept::kDevs) {
        dev = find(s.devs, o.noun, records_checked);
    } else if (o.kept == Kept::kPipes) {
        pipe = find(s.pipes, o.noun, records_checked);
    } else if (o.kept == Kept::kGroups) {
        grp = find(s.groups, o.noun, records_checked);
    }
    if (!records_checked && o.chn_limit != 0) {
        refuse_if(id_[1] < 0 || id_[1] >= o.chn_limit, Kind::kInvalidId, "channel {}", id_[1]);
    }
    if (o.kept == Kept::kPipes && o.chn_limit != 0) {
        chn = &pipe->chn[static_cast<size_t>(id_[1])];
    }
}

int32_t Call::end(int32_t status) {
    call_.status = status;
    if (status != 0) {
        std::string why = injected_ ? std::string("injected failure") : reason_;
        fmt::print(stderr, "axsim: {}: {} -> 0x{:08X} ({})\n", call_.name,
                   why.empty() ? "refused" : why, static_cast<uint32_t>(status),
                   status_name(status));
    }
    if (tracing_) {
        // Opened per line and written at once, so forks and other processes interleave whole lines.
        (void)write_text(core_.settings.trace_path, O_APPEND, 0644,
                         fmt::format("{} -> 0x{:08X}\n", line_, static_cast<uint32_t>(status)));
    }
    if (logging_) {
        if (core_.calls.size() >= kMaxLoggedCalls) {
            core_.calls.pop_front();
        }
        core_.calls.push_back(std::move(call_));
    }
    lock_.unlock();
    std::this_thread::sleep_for(wait_after);
    return status;
}

// ---- the calls: the generic path around each call's rule, one a row of the table -----------

#define AXSIM_DEFINE(name, ret, module, object, presence, ...)                                   \
    ret name(AXSIM_PARAMS(__VA_ARGS__)) {                                                        \
        return serve<ret>({#name, Module::k##module, objects::k##object, Presence::k##presence}, \
                          {AXSIM_NAMES(__VA_ARGS__)},                                            \
                          &rule::name __VA_OPT__(, AXSIM_ARGS(__VA_ARGS__)));                    \
    }
AXSIM_CALLS(AXSIM_DEFINE)
#undef AXSIM_DEFINE

}  // namespace axsim::detail

// ---- control API ----------------------------------------------------------------------------

namespace axsim {

using detail::Core;
using detail::locked;

std::string status_name(int32_t status) {
    static constexpr std::pair<uint32_t, std::string_view> kModules[] = {
        {0x01, "SYS"}, {0x02, "POOL"}, {0x03, "MIPI"}, {0x04, "VIN"},
        {0x05, "ISP"}, {0x06, "IVPS"}, {0x0A, "SIM"},
    };
    static constexpr std::pair<uint32_t, std::string_view> kKinds[] = {
        {0x01, "NOT_INIT"},   {0x02, "EXIST"},    {0x03, "NOT_EXIST"},     {0x04, "BUSY"},
        {0x05, "INVALID_ID"}, {0x06, "NULL_PTR"}, {0x07, "ILLEGAL_PARAM"}, {0x08, "NOT_CONFIG"},
        {0x09, "NOT_READY"},  {0x0A, "TIMEOUT"},  {0x0B, "NOBUF"},         {0x0C, "NOT_SUPPORT"},
        {0x0D, "NOMEM"},      {0xFF, "INJECTED"},
    };
    auto name_of = [](const auto& table, uint32_t code) {
        auto it = std::find_if(std::begin(table), std::end(table),
                               [&](const auto& entry) { return entry.first == code; });
        return it == std::end(table) ? std::string_view{} : it->second;
    };
    auto u = static_cast<uint32_t>(status);
    std::string_view module = name_of(kModules, (u >> 16) & 0xFF);
    std::string_view kind = name_of(kKinds, u & 0xFFFF);
    if ((u & 0xFF000000u) != 0x80000000u || module.empty() || kind.empty()) {
        return {};
    }
    return fmt::format("{}_{}", module, kind);
}

void reset() {
    locked([](Core& c) {
        for (const auto& [addr, mapping] : c.state.mappings) {
            ::munmap(reinterpret_cast<void*>(addr), mapping.length);
        }
        c.state = detail::State{};
        c.calls.clear();
        c.log_calls = true;
        c.settings = detail::settings_from_environment();
    });
}

void enable_call_log(bool on) {
    locked([&](Core& c) {
        c.log_calls = on;
        if (!on) {
            c.calls.clear();
        }
    });
}

void fail(std::string_view call, int32_t status, unsigned nth) {
    if (!detail::is_known_call(call)) {
        // Still recorded, but a misspelt name would otherwise never fire without a word.
        detail::warn(fmt::format("fail(): no call named '{}'", call));
    }
    locked([&](Core& c) {
        c.settings.faults.push_back({std::string(call), status == 0 ? kInjected : status, nth});
    });
}

void clear_faults() {
    locked([](Core& c) { c.settings.faults.clear(); });
}

void set_delay(std::chrono::microseconds delay) {
    locked([&](Core& c) { c.settings.delay = delay; });
}

void set_stride_padding(uint32_t pixels) {
    locked([&](Core& c) { c.settings.stride_pad = pixels; });
}

void set_no_frame(bool on) {
    locked([&](Core& c) { c.settings.no_frame = on; });
}

std::vector<Call> calls() {
    return locked([](Core& c) { return std::vector<Call>(c.calls.begin(), c.calls.end()); });
}

std::vector<Call> calls(std::string_view name) {
    std::vector<Call> out = calls();
    std::erase_if(out, [&](const Call& c) { return c.name != name; });
    return out;
}

std::vector<std::string> leftovers() {
    return locked([](Core& c) { return detail::list_leftovers(c.state); });
}

int32_t injected_status() {
    return kInjected;
}

std::vector<std::string> known_calls() {
    return {std::begin(detail::kKnownCalls), std::end(detail::kKnownCalls)};
}

std::optional<std::vector<FaultRule>> parse_fault_rules(std::string_view text, std::string* error) {
    std::vector<FaultRule> rules;
    std::string problem;
    while (!text.empty() && problem.empty()) {
        size_t comma = text.find(',');
        std::string_view item = detail::trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        size_t eq = item.find('=');
        std::string_view name = item.substr(0, eq);
        size_t hash = name.find('#');
        FaultRule rule{std::string(detail::trim(name.substr(0, hash))), kInjected, 0};
        if (item.empty()) {
            continue;
        }
        if (eq != std::string_view::npos &&
            (!detail::parse_status(detail::trim(item.substr(eq + 1)), rule.status) ||
             rule.status == 0)) {
            problem = fmt::format("bad status in '{}'", item);
        } else if (hash != std::string_view::npos &&
                   (!detail::parse_integer(detail::trim(name.substr(hash + 1)), rule.nth) ||
                    rule.nth == 0)) {
            problem = fmt::format("bad call number in '{}'", item);
        } else if (!detail::is_known_call(rule.call)) {
            problem = fmt::format("unknown call '{}'", rule.call);
        }
        rules.push_back(std::move(rule));
    }
    if (!problem.empty() && error != nullptr) {
        *error = problem;
    }
    return problem.empty() ? std::optional(rules) : std::nullopt;
}

}  // namespace axsim
