// Shared state machine of the substitute media SDK: settings, faults, call log and leak report.
#include "sim/sdk/core.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace axsim::detail {

namespace {

constexpr std::string_view kKnownCalls[] = {
    "AX_SYS_Init",           "AX_SYS_Deinit",
    "AX_POOL_Exit",          "AX_POOL_SetConfig",
    "AX_POOL_Init",          "AX_SYS_Link",
    "AX_SYS_UnLink",         "AX_SYS_Mmap",
    "AX_SYS_Munmap",         "AX_MIPI_RX_Init",
    "AX_MIPI_RX_DeInit",     "AX_MIPI_RX_SetLaneCombo",
    "AX_MIPI_RX_SetAttr",    "AX_MIPI_RX_Reset",
    "AX_MIPI_RX_Start",      "AX_MIPI_RX_Stop",
    "AX_VIN_Init",           "AX_VIN_Deinit",
    "AX_VIN_CreateDev",      "AX_VIN_SetDevAttr",
    "AX_VIN_SetDevBindPipe", "AX_VIN_SetDevBindMipi",
    "AX_VIN_CreatePipe",     "AX_VIN_SetPipeAttr",
    "AX_VIN_SetChnAttr",     "AX_VIN_SetChnFrameMode",
    "AX_VIN_EnableChn",      "AX_VIN_DisableChn",
    "AX_VIN_StartPipe",      "AX_VIN_StopPipe",
    "AX_VIN_EnableDev",      "AX_VIN_DisableDev",
    "AX_VIN_DestroyPipe",    "AX_VIN_DestroyDev",
    "AX_VIN_GetYuvFrame",    "AX_VIN_ReleaseYuvFrame",
    "AX_ISP_RegisterSensor", "AX_ISP_UnRegisterSensor",
    "AX_ISP_SetSnsAttr",     "AX_ISP_Create",
    "AX_ISP_Destroy",        "AX_ISP_Open",
    "AX_ISP_Close",          "AX_ISP_Start",
    "AX_ISP_Stop",           "AX_ISP_StreamOn",
    "AX_ISP_StreamOff",      "AX_IVPS_Init",
    "AX_IVPS_Deinit",        "AX_IVPS_CreateGrp",
    "AX_IVPS_DestoryGrp",    "AX_IVPS_SetPipelineAttr",
    "AX_IVPS_EnableChn",     "AX_IVPS_DisableChn",
    "AX_IVPS_StartGrp",      "AX_IVPS_StopGrp",
};

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

// Appends the fault rules in `text`; malformed text adds none and is reported as `source`.
void add_fault_rules(Settings& settings, const std::string& text, const std::string& source) {
    std::string error;
    if (auto rules = parse_fault_rules(text, &error)) {
        for (auto& rule : *rules) {
            settings.faults.push_back(Fault{rule.call, rule.status, rule.nth});
        }
    } else {
        warn(fmt::format("ignoring {}: {}", source, error));
    }
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
    if (const char* v = env("AXSIM_ARM")) {
        s.arm_path = v;
    }
    if (const char* v = env("AXSIM_FAIL")) {
        add_fault_rules(s, v, fmt::format("AXSIM_FAIL={}", v));
    }
    return s;
}

void take_armed_faults(Settings& settings) {
    if (settings.arm_path.empty()) {
        return;
    }
    const int fd = ::open(settings.arm_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::string text;
    std::array<char, 512> buffer{};
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
        text.append(buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    (void)::unlink(settings.arm_path.c_str());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    add_fault_rules(settings, text, fmt::format("armed faults {}", text));
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

// ---- CallScope ------------------------------------------------------------------------------

namespace {

std::chrono::microseconds current_delay() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.settings.delay;
}

}  // namespace

CallScope::CallScope(const char* name) : core_(core()) {
    // The delay is served before the lock so a slow call does not serialise the other threads.
    if (auto delay = current_delay(); delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    lock_ = std::unique_lock(core_.mutex);
    take_armed_faults(core_.settings);
    tracing_ = !core_.settings.trace_path.empty();
    logging_ = core_.log_calls;
    call_.name = name;
    call_.status = 0;
    if (tracing_) {
        line_ = name;
    }
}

void CallScope::arg(std::string_view name, int64_t value) {
    if (logging_) {
        call_.args.push_back(value);
    }
    member(name, value);
}

void CallScope::arg_hex(std::string_view name, uint64_t value) {
    if (logging_) {
        call_.args.push_back(static_cast<int64_t>(value));
    }
    member_hex(name, value);
}

void CallScope::member_hex(std::string_view name, uint64_t value) {
    if (tracing_) {
        fmt::format_to(std::back_inserter(line_), " {}=0x{:x}", name, value);
    }
}

void CallScope::member_float(std::string_view name, float value) {
    if (tracing_) {
        fmt::format_to(std::back_inserter(line_), " {}={:.2f}", name, value);
    }
}

void CallScope::record(const void* data, size_t size) {
    if (logging_) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        call_.record.insert(call_.record.end(), bytes, bytes + size);
    }
}

bool CallScope::injected() {
    bool hit = false;
    for (auto& fault : core_.settings.faults) {
        if (fault.call != call_.name) {
            continue;
        }
        ++fault.seen;
        if (!hit && (fault.nth == 0 || fault.seen == fault.nth)) {
            hit = true;
            status_ = fault.status;
        }
    }
    injected_ = hit;
    return hit;
}

int32_t CallScope::reject(int32_t status, std::string reason) {
    reason_ = std::move(reason);
    return finish(status);
}

int32_t CallScope::finish(int32_t status) {
    call_.status = status;
    if (tracing_) {
        fmt::format_to(std::back_inserter(line_), " -> 0x{:08X}", static_cast<uint32_t>(status));
    }
    if (status != 0) {
        std::string why = injected_ ? std::string("injected failure") : reason_;
        if (why.empty()) {
            why = "refused";
        }
        fmt::print(stderr, "axsim: {}: {} -> 0x{:08X} ({})\n", call_.name, why,
                   static_cast<uint32_t>(status), status_name(status));
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
    return status;
}

void trace_frame(CallScope& c, const AX_VIDEO_FRAME_INFO_T& f) {
    c.member("u32Width", f.u32Width);
    c.member("u32Height", f.u32Height);
    c.member("enImgFormat", f.enImgFormat);
    c.member("u32PicStride[0]", f.u32PicStride[0]);
    c.member_hex("u64PhyAddr[0]", f.u64PhyAddr[0]);
    c.member("u64SeqNum", f.u64SeqNum);
    c.member("u32FrameSize", f.u32FrameSize);
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
    auto u = static_cast<uint32_t>(status);
    if ((u & 0xFF000000u) != 0x80000000u) {
        return {};
    }
    std::string_view module;
    switch ((u >> 16) & 0xFF) {
        case 0x01:
            module = "SYS";
            break;
        case 0x02:
            module = "POOL";
            break;
        case 0x03:
            module = "MIPI";
            break;
        case 0x04:
            module = "VIN";
            break;
        case 0x05:
            module = "ISP";
            break;
        case 0x06:
            module = "IVPS";
            break;
        case 0x0A:
            module = "SIM";
            break;
        default:
            return {};
    }
    std::string_view kind;
    switch (u & 0xFFFF) {
        case 0x01:
            kind = "NOT_INIT";
            break;
        case 0x02:
            kind = "EXIST";
            break;
        case 0x03:
            kind = "NOT_EXIST";
            break;
        case 0x04:
            kind = "BUSY";
            break;
        case 0x05:
            kind = "INVALID_ID";
            break;
        case 0x06:
            kind = "NULL_PTR";
            break;
        case 0x07:
            kind = "ILLEGAL_PARAM";
            break;
        case 0x08:
            kind = "NOT_CONFIG";
            break;
        case 0x09:
            kind = "NOT_READY";
            break;
        case 0x0A:
            kind = "TIMEOUT";
            break;
        case 0x0B:
            kind = "NOBUF";
            break;
        case 0x0C:
            kind = "NOT_SUPPORT";
            break;
        case 0x0D:
            kind = "NOMEM";
            break;
        case 0xFF:
            kind = "INJECTED";
            break;
        default:
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
