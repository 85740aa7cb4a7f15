// Shared state machine of the substitute media SDK: settings, faults, the path of every call, call
// log and leak report.
#include "sim/sdk/core.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace axsim::detail {

Settings settings_from_environment();
void clear_state(State& state);
std::vector<std::string> list_leftovers(const State& state);

namespace {

#define AXSIM_NAME(ret, name, params, args) #name,
constexpr std::string_view kKnownCalls[] = {AXSIM_CALLS(AXSIM_NAME)};
#undef AXSIM_NAME

bool is_known_call(std::string_view name) {
    return std::find(std::begin(kKnownCalls), std::end(kKnownCalls), name) != std::end(kKnownCalls);
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Decimal or 0x-hexadecimal integer, the whole text.
template <typename T>
bool parse_integer(std::string_view text, T& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size();
}

// A status is any 32-bit pattern: decimal -2147483648..4294967295 or hex up to 0xFFFFFFFF.
bool parse_status(std::string_view text, int32_t& status) {
    int64_t value = 0;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        uint64_t hex = 0;
        if (!parse_integer(text, hex) || hex > 0xFFFFFFFFull) {
            return false;
        }
        value = static_cast<int64_t>(hex);
    } else if (!parse_integer(text, value)) {
        return false;
    }
    if (value < INT32_MIN || value > int64_t{UINT32_MAX}) {
        return false;
    }
    status = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

void warn(std::string_view text) {
    fmt::print(stderr, "axsim: {}\n", text);
}

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Appends one line to the trace file; opened per line so forks and several processes interleave
// whole lines.
void append_line(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string text = line + '\n';
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

void write_leak_report(const std::string& path, const std::vector<std::string>& lines) {
    FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        warn(fmt::format("cannot write the leak report to {}", path));
        return;
    }
    if (lines.empty()) {
        std::fputs("none\n", file);
    }
    for (const auto& line : lines) {
        std::fputs(line.c_str(), file);
        std::fputc('\n', file);
    }
    std::fclose(file);
}

Core* g_core = nullptr;

// Created when the library is loaded so the environment is read at process start.
__attribute__((constructor)) void create_core() {
    (void)core();
}

// Runs after the program's own exit handlers (the library was initialised before the program),
// so the objects released by the service's destructors are already gone.
__attribute__((destructor)) void report_at_exit() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (!c.settings.leaks_path.empty()) {
        write_leak_report(c.settings.leaks_path, list_leftovers(c.state));
    }
}

}  // namespace

Core& core() {
    static Core* instance = [] {
        g_core = new Core;
        g_core->settings = settings_from_environment();
        return g_core;
    }();
    return *instance;
}

Settings settings_from_environment() {
    Settings s;
    if (const char* v = env("AXSIM_TRACE")) {
        s.trace_path = v;
    }
    if (const char* v = env("AXSIM_LEAKS")) {
        s.leaks_path = v;
    }
    if (const char* v = env("AXSIM_DELAY_US")) {
        uint64_t us = 0;
        if (parse_integer(std::string_view(v), us)) {
            s.delay = std::chrono::microseconds(us);
        } else {
            warn(fmt::format("ignoring AXSIM_DELAY_US={}: not a number", v));
        }
    }
    if (const char* v = env("AXSIM_STRIDE_PAD")) {
        uint32_t pad = 0;
        if (parse_integer(std::string_view(v), pad) && pad <= kMaxPicture) {
            s.stride_pad = pad;
        } else {
            warn(fmt::format("ignoring AXSIM_STRIDE_PAD={}: not a pixel count", v));
        }
    }
    if (const char* v = env("AXSIM_NO_FRAME")) {
        std::string_view text(v);
        s.no_frame = !(text == "0" || text == "false" || text == "no");
    }
    if (const char* v = env("AXSIM_FAIL")) {
        std::string error;
        if (auto rules = parse_fault_rules(v, &error)) {
            for (auto& rule : *rules) {
                s.faults.push_back(Fault{rule.call, rule.status, rule.nth});
            }
        } else {
            warn(fmt::format("ignoring AXSIM_FAIL={}: {}", v, error));
        }
    }
    return s;
}

void clear_state(State& state) {
    for (const auto& [addr, mapping] : state.mappings) {
        ::munmap(reinterpret_cast<void*>(addr), mapping.length);
    }
    state = State{};
}

std::string trace_text(std::string_view text) {
    if (text.empty()) {
        return "\"\"";
    }
    std::string out;
    for (char ch : text) {
        auto u = static_cast<unsigned char>(ch);
        if (u <= 0x20 || u >= 0x7F || ch == '\\' || ch == '"' || ch == '=' || ch == ',') {
            out += fmt::format("\\x{:02x}", u);
        } else {
            out += ch;
        }
    }
    return out;
}

// ---- the path of every call -----------------------------------------------------------------

namespace {

std::chrono::microseconds current_delay() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.settings.delay;
}

// Serves the delay before the lock so a slow call does not serialise the other threads.
Core& delayed_core() {
    if (auto delay = current_delay(); delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    return core();
}

}  // namespace

Call::Call(const Spec& spec, std::initializer_list<Arg> args)
    : s(delayed_core().state),
      settings(core().settings),
      core_(core()),
      spec_(spec),
      lock_(core_.mutex),
      tracing_(!core_.settings.trace_path.empty()),
      logging_(core_.log_calls) {
    call_.name = spec.name;
    call_.status = 0;
    if (tracing_) {
        line_ = spec.name;
    }
    size_t i = 0;
    for (const Arg& arg : args) {
        if (i < id_.size()) {
            id_[i++] = arg.value;
        }
        if (logging_) {
            call_.args.push_back(arg.value);
        }
        if (arg.hex) {
            members(arg.name, Hex{static_cast<uint64_t>(arg.value)});
        } else {
            members(arg.name, arg.value);
        }
    }
}

void Call::add(std::string_view name, float value) {
    fmt::format_to(std::back_inserter(line_), " {}={:.2f}", name, value);
}

void Call::add(std::string_view name, Hex value) {
    fmt::format_to(std::back_inserter(line_), " {}=0x{:x}", name, value.value);
}

void Call::record(const void* data, size_t size) {
    if (logging_) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        call_.record.insert(call_.record.end(), bytes, bytes + size);
    }
}

void Call::begin() {
    int32_t status = 0;
    for (auto& fault : core_.settings.faults) {
        if (fault.call != call_.name) {
            continue;
        }
        ++fault.seen;
        if (!injected_ && (fault.nth == 0 || fault.seen == fault.nth)) {
            injected_ = true;
            status = fault.status;
        }
    }
    if (injected_) {
        throw Refusal{status};
    }
    find(spec_.need);
}

void Call::refuse(Kind kind, std::string reason) {
    reason_ = std::move(reason);
    throw Refusal{status_of(spec_.module, kind)};
}

void Call::find_pipe(bool must_exist) {
    auto it = s.pipes.find(static_cast<uint8_t>(id_[0]));
    refuse_if(!s.vin, Kind::kNotInit, "video input not initialised");
    refuse_if(id_[0] >= kVinPipes, Kind::kInvalidId, "pipe {}", id_[0]);
    refuse_if(must_exist && it == s.pipes.end(), Kind::kNotExist, "pipe {} not created", id_[0]);
    pipe = it == s.pipes.end() ? nullptr : &it->second;
}

void Call::find(Need need) {
    const int64_t id = id_[0];
    switch (need) {
        case Need::kNone:
            return;
        case Need::kSys:
            return refuse_if(!s.sys, Kind::kNotInit, "media system not initialised");
        case Need::kMipi:
        case Need::kMipiDevId:
            refuse_if(!s.mipi, Kind::kNotInit, "receiver not initialised");
            return refuse_if(need == Need::kMipiDevId && id >= kMipiDevs, Kind::kInvalidId,
                             "device {}", id);
        case Need::kVin:
            return refuse_if(!s.vin, Kind::kNotInit, "video input not initialised");
        case Need::kVinDevId:
        case Need::kVinDev: {
            auto it = s.devs.find(static_cast<uint8_t>(id));
            refuse_if(!s.vin, Kind::kNotInit, "video input not initialised");
            refuse_if(id >= kVinDevs, Kind::kInvalidId, "device {}", id);
            refuse_if(need == Need::kVinDev && it == s.devs.end(), Kind::kNotExist,
                      "device {} not created", id);
            dev = it == s.devs.end() ? nullptr : &it->second;
            return;
        }
        case Need::kVinPipeId:
        case Need::kVinPipe:
            return find_pipe(need == Need::kVinPipe);
        case Need::kVinChn:
            find_pipe(true);
            refuse_if(id_[1] < 0 || id_[1] >= kVinChns, Kind::kInvalidId, "channel {}", id_[1]);
            chn = &pipe->chn[static_cast<size_t>(id_[1])];
            return;
        case Need::kIvps:
        case Need::kIvpsGrpId:
        case Need::kIvpsGrp: {
            auto it = s.groups.find(static_cast<int32_t>(id));
            refuse_if(!s.ivps, Kind::kNotInit, "image processor not initialised");
            refuse_if(need != Need::kIvps && (id < 0 || id >= kIvpsGroups), Kind::kInvalidId,
                      "group {}", id);
            refuse_if(need == Need::kIvpsGrp && it == s.groups.end(), Kind::kNotExist,
                      "group {} not created", id);
            grp = it == s.groups.end() ? nullptr : &it->second;
            return;
        }
    }
}

int32_t Call::end(int32_t status) {
    if (spec_.result != nullptr) {
        members(spec_.result, Hex{result});
    }
    call_.status = status;
    if (tracing_) {
        fmt::format_to(std::back_inserter(line_), " -> 0x{:08X}", static_cast<uint32_t>(status));
    }
    if (status != 0) {
        std::string why = injected_ ? std::string("injected failure") : reason_;
        fmt::print(stderr, "axsim: {}: {} -> 0x{:08X} ({})\n", call_.name,
                   why.empty() ? "refused" : why, static_cast<uint32_t>(status),
                   status_name(status));
    }
    if (tracing_) {
        append_line(core_.settings.trace_path, line_);
    }
    if (logging_) {
        if (core_.calls.size() >= kMaxLoggedCalls) {
            core_.calls.pop_front();
        }
        core_.calls.push_back(std::move(call_));
    }
    lock_.unlock();
    if (wait_after.count() > 0) {
        std::this_thread::sleep_for(wait_after);
    }
    return status;
}

std::string rect(const AX_VIN_RECT_T& r) {
    return fmt::format("{},{},{},{}", r.nStartX, r.nStartY, r.nWidth, r.nHeight);
}

// ---- leftovers ------------------------------------------------------------------------------

std::vector<std::string> list_leftovers(const State& s) {
    std::vector<std::string> out;
    for (const auto& [addr, m] : s.mappings) {
        out.push_back(fmt::format("mapping addr=0x{:x} size={} phys=0x{:x}", addr, m.size, m.phys));
    }
    for (const auto& [phys, f] : s.frames) {
        out.push_back(
            fmt::format("frame pipe={} chn={} seq={} phys=0x{:x}", f.pipe, f.chn, f.seq, phys));
    }
    for (const auto& l : s.links) {
        out.push_back(fmt::format("link src={},{},{} dst={},{},{}", l.src.enModId, l.src.s32GrpId,
                                  l.src.s32ChnId, l.dst.enModId, l.dst.s32GrpId, l.dst.s32ChnId));
    }
    for (const auto& [grp, g] : s.groups) {
        std::string chns;
        for (int32_t i = 0; i < kIvpsChns; ++i) {
            if (g.chn_enabled[static_cast<size_t>(i)]) {
                chns += fmt::format(" chn{}=enabled", i);
            }
        }
        out.push_back(fmt::format("ivps group={}{}{}", grp, g.started ? " started" : "", chns));
    }
    if (s.ivps) {
        out.push_back("ivps module");
    }
    for (const auto& [pipe, p] : s.pipes) {
        const Isp& isp = p.isp;
        if (isp.registered || isp.created) {
            std::string st = isp.streaming ? " streaming"
                             : isp.started ? " started"
                             : isp.opened  ? " open"
                             : isp.created ? " created"
                                           : "";
            out.push_back(fmt::format("isp pipe={}{}{}", pipe,
                                      isp.registered ? " sensor-registered" : "", st));
        }
        for (size_t i = 0; i < kVinChns; ++i) {
            if (p.chn[i].enabled) {
                out.push_back(fmt::format("vin chn pipe={} chn={} enabled", pipe, i));
            }
        }
        out.push_back(fmt::format("vin pipe={}{}", pipe, p.started ? " started" : ""));
    }
    for (const auto& [dev, d] : s.devs) {
        out.push_back(fmt::format("vin dev={}{}", dev, d.enabled ? " enabled" : ""));
    }
    if (s.vin) {
        out.push_back("vin module");
    }
    for (const auto& [dev, m] : s.mipi_devs) {
        if (m.started) {
            out.push_back(fmt::format("mipi dev={} started", dev));
        }
    }
    if (s.mipi) {
        out.push_back("mipi rx");
    }
    for (size_t i = 0; i < s.pools.size(); ++i) {
        out.push_back(fmt::format("pool {} BlkSize={} BlkCnt={}", i, s.pools[i].cfg.BlkSize,
                                  s.pools[i].cfg.BlkCnt));
    }
    if (s.sys) {
        out.push_back("sys");
    }
    return out;
}

}  // namespace axsim::detail

// ---- public control API ---------------------------------------------------------------------

namespace axsim {

using detail::core;

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
    auto& c = core();
    std::lock_guard lock(c.mutex);
    detail::clear_state(c.state);
    c.calls.clear();
    c.log_calls = true;
    c.settings = detail::settings_from_environment();
}

void enable_call_log(bool on) {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.log_calls = on;
    if (!on) {
        c.calls.clear();
    }
}

void fail(std::string_view call, int32_t status, unsigned nth) {
    if (!detail::is_known_call(call)) {
        // Still recorded, but a misspelt name would otherwise never fire without a word.
        detail::warn(fmt::format("fail(): no call named '{}'", call));
    }
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.settings.faults.push_back(
        detail::Fault{std::string(call), status == 0 ? kInjected : status, nth});
}

void clear_faults() {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.settings.faults.clear();
}

void set_delay(std::chrono::microseconds delay) {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.settings.delay = delay;
}

void set_stride_padding(uint32_t pixels) {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.settings.stride_pad = pixels;
}

void set_no_frame(bool on) {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    c.settings.no_frame = on;
}

std::vector<Call> calls() {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    return {c.calls.begin(), c.calls.end()};
}

std::vector<Call> calls(std::string_view name) {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    std::vector<Call> out;
    for (const auto& call : c.calls) {
        if (call.name == name) {
            out.push_back(call);
        }
    }
    return out;
}

std::vector<std::string> leftovers() {
    auto& c = core();
    std::lock_guard lock(c.mutex);
    return detail::list_leftovers(c.state);
}

int32_t injected_status() {
    return kInjected;
}

std::vector<std::string> known_calls() {
    return {std::begin(detail::kKnownCalls), std::end(detail::kKnownCalls)};
}

std::optional<std::vector<FaultRule>> parse_fault_rules(std::string_view text, std::string* error) {
    auto set_error = [&](std::string message) {
        if (error != nullptr) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    std::vector<FaultRule> rules;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = detail::trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty()) {
            continue;
        }
        FaultRule rule{{}, kInjected, 0};
        std::string_view name = item;
        size_t eq = name.find('=');
        if (eq != std::string_view::npos) {
            std::string_view value = detail::trim(name.substr(eq + 1));
            name = name.substr(0, eq);
            if (!detail::parse_status(value, rule.status) || rule.status == 0) {
                return set_error(fmt::format("bad status in '{}'", item));
            }
        }
        size_t hash = name.find('#');
        if (hash != std::string_view::npos) {
            std::string_view count = detail::trim(name.substr(hash + 1));
            name = name.substr(0, hash);
            if (!detail::parse_integer(count, rule.nth) || rule.nth == 0) {
                return set_error(fmt::format("bad call number in '{}'", item));
            }
        }
        name = detail::trim(name);
        if (!detail::is_known_call(name)) {
            return set_error(fmt::format("unknown call '{}'", name));
        }
        rule.call = std::string(name);
        rules.push_back(std::move(rule));
    }
    return rules;
}

}  // namespace axsim
