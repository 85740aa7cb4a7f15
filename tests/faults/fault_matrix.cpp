#include "tests/faults/fault_matrix.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "sim/harness/appliance.h"
#include "sim/harness/proc_sample.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The status the substitute gives an injected failure.
constexpr uint32_t kInjected = 0x800A00FF;

// Bounds: generous, the machine is shared; a case that exceeds one counts as a hang.
constexpr std::chrono::milliseconds kAcceptBound{20000};
constexpr std::chrono::milliseconds kChangeBound{10000};
constexpr std::chrono::milliseconds kNotifyWait{5000};
constexpr std::chrono::milliseconds kExitBound{20000};
constexpr std::chrono::milliseconds kDumpBound{30000};
constexpr std::chrono::milliseconds kConnectTry{200};
constexpr std::chrono::milliseconds kPollStep{20};

// The geometry the resolution change switches to.
constexpr int kNewWidth = 1280;
constexpr int kNewHeight = 720;
constexpr int kNewFps = 50;

// The geometry the service starts at (the simulated source's default), announced again as the
// "other" geometry of a follow-up.
constexpr int kStartWidth = 1920;
constexpr int kStartHeight = 1080;
constexpr int kStartFps = 60;

// Service messages that end a resolution change one way or the other.
const std::vector<std::string> kChangeEnds{
    "LT6911 resolution reset and client notified",
    "Failed to send resolution change message",
    "axera deinit failed",
    "axera init failed",
};
// An announcement that needs no re-configuration ends with this.
constexpr const char* kSkipped = "Resolution already set to";

bool contains_any(const std::string& text, const std::vector<std::string>& needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](const std::string& needle) { return text.find(needle) != text.npos; });
}

// Lines of `text` that contain one of `needles`.
size_t count_lines_with(const std::string& text, const std::vector<std::string>& needles) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        count += contains_any(line, needles) ? 1 : 0;
    }
    return count;
}

size_t trace_size(const Appliance& app) {
    return parse_trace(read_text(app.sdk_trace_path())).size();
}

ApplianceOptions options_for(const std::string& fault, std::vector<std::string> args) {
    ApplianceOptions options;
    options.args = std::move(args);
    options.sdk_trace = true;
    options.sdk_leaks = true;
    if (!fault.empty()) {
        options.env["AXSIM_FAIL"] = fault;
    }
    return options;
}

void collect(Appliance& app, RoadRun& run) {
    run.output = app.output();
    run.trace = parse_trace(read_text(app.sdk_trace_path()));
    run.leaks = read_text(app.sdk_leaks_path());
    run.reboots = app.reboot_requests().size();
    run.reboot_marker = std::filesystem::exists(app.reboot_marker());
}

// ---- what the service does with each call -----------------------------------------------------

// Phases of a road; a call's operation depends on the phase it is made in.
enum class Phase { BringUp, Frame, TearDown, Exit };

Phase phase_of(Place place) {
    switch (place) {
        case Place::StartupBringUp:
        case Place::ChangeBringUp:
            return Phase::BringUp;
        case Place::ChangeTearDown:
        case Place::FinalTearDown:
            return Phase::TearDown;
        case Place::ProcessExit:
            return Phase::Exit;
        case Place::DumpRoad:
            break;
    }
    return Phase::BringUp;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The AxeraUtil operation that makes `call` in `phase`.
std::string operation_of(const std::string& call, Phase phase) {
    switch (phase) {
        case Phase::Exit:
            return call == "AX_SYS_Deinit" ? "sys_deinit" : "pool_deinit";
        case Phase::Frame:
            return "dump_frame";
        case Phase::BringUp:
            if (call == "AX_SYS_Init") {
                return "sys_init";
            }
            if (starts_with(call, "AX_POOL_") || call == "AX_VIN_Init") {
                return "pool_init";
            }
            if (starts_with(call, "AX_IVPS_")) {
                return "ivps_init";
            }
            if (call == "AX_SYS_Link") {
                return "link_init";
            }
            return "vin_init";
        case Phase::TearDown:
            if (call == "AX_SYS_UnLink") {
                return "link_deinit";
            }
            if (starts_with(call, "AX_IVPS_")) {
                return "ivps_deinit";
            }
            if (starts_with(call, "AX_MIPI_RX_")) {
                return "mipi_deinit";
            }
            return "vin_deinit";
    }
    return {};
}

// The message a failing call logs itself; "*" stands for a part that varies (addresses, sizes).
// Empty: the call's status is not looked at.
std::string own_message(const std::string& call) {
    static const std::map<std::string, std::string> kMessages{
        {"AX_POOL_SetConfig",
         "Create common pool err! Pool[0] BlkSize:18432000, BlkCnt:6, Pool[1] BlkSize:112640, "
         "BlkCnt:4"},
        {"AX_POOL_Init", "AX_POOL_Init fail! ret=0x{:X}"},
        {"AX_VIN_Deinit", "AX_VIN_DeInit failed, ret=0x{:X}"},
        {"AX_MIPI_RX_SetLaneCombo", ""},
        {"AX_MIPI_RX_Reset", "AX_MIPI_RX_Reset, ret=0x{:X}"},
        {"AX_VIN_SetPipeAttr", "AX_VI_SetPipeAttr failed, ret=0x{:X}"},
        {"AX_ISP_RegisterSensor", "AX_ISP Register Sensor Failed, ret=0x{:X}"},
        {"AX_SYS_Link", "AX_SYS_Link failed (VIN->IVPS), ret=0x{:X}"},
        {"AX_SYS_UnLink", "AX_SYS_UnLink failed (VIN->IVPS), ret=0x{:X}"},
        {"AX_SYS_Mmap", "AX_SYS_Mmap failed for YUYV422 frame, addr=0x*, size=*"},
        {"AX_SYS_Munmap", "AX_SYS_Munmap failed for addr=0x*, ret=0x{:X}"},
        {"AX_VIN_ReleaseYuvFrame", ""},
    };
    const auto found = kMessages.find(call);
    const std::string pattern =
        found != kMessages.end() ? found->second : call + " failed, ret=0x{:X}";
    return pattern.find("{:X}") == pattern.npos ? pattern
                                                : fmt::format(fmt::runtime(pattern), kInjected);
}

// Further messages of the failing operation itself.
std::vector<std::string> operation_messages(const std::string& call, Phase phase) {
    if (phase == Phase::BringUp && starts_with(call, "AX_MIPI_RX_") &&
        call != "AX_MIPI_RX_SetLaneCombo") {
        return {"axera_mipi_init failed, ret=0x0"};
    }
    if (phase == Phase::BringUp && call == "AX_POOL_Exit") {
        return {"Rebooting system due to AX_POOL_Exit failure..."};
    }
    return {};
}

// The summary the caller logs, by place and operation (empty: none).
std::string caller_summary(Place place, const std::string& operation, const std::string& call) {
    if (operation == "mipi_deinit") {
        return "MIPI deinit failed";
    }
    if (operation == "pool_deinit") {
        return "Pool deinit failed";
    }
    if (operation == "sys_deinit") {
        return {};
    }
    static const std::map<std::string, std::string> kBringUp{
        {"sys_init", "Axera util init failed"},  {"pool_init", "Axera common pool init failed"},
        {"vin_init", "Axera vin init failed"},   {"ivps_init", "Axera IPVS init failed"},
        {"link_init", "Axera Link init failed"},
    };
    static const std::map<std::string, std::string> kFinalTearDown{
        {"link_deinit", "Axera Link deinit failed"},
        {"ivps_deinit", "IPVS deinit failed"},
        {"vin_deinit", "VIN deinit failed"},
    };
    switch (place) {
        case Place::StartupBringUp:
            return kBringUp.at(operation);
        case Place::ChangeTearDown:
            return "axera deinit failed";
        case Place::ChangeBringUp:
            return "axera init failed";
        case Place::FinalTearDown:
            return kFinalTearDown.at(operation);
        case Place::ProcessExit:
            return {};
        case Place::DumpRoad:
            if (operation == "dump_frame") {
                return call == "AX_VIN_GetYuvFrame" || call == "AX_SYS_Mmap"
                           ? "Failed to dump YUYV422 frame"
                           : "YUYV422 frame dumped successfully";
            }
            if (operation == "vin_deinit") {
                return {};  // the dump road does not look at the tear-down's result
            }
            return kBringUp.at(operation);
    }
    return {};
}

// Calls whose failure the service does not treat as one.
bool status_ignored(const std::string& call) {
    return own_message(call).empty();
}

// Whether the failure makes the operation return false (and so stops the road).
bool fails_operation(const std::string& call, const std::string& operation) {
    return !status_ignored(call) && operation != "mipi_deinit" && call != "AX_SYS_Munmap";
}

// The line ends with `pattern`; "*" in it matches any run of characters.
bool line_matches(const std::string& line, const std::string& pattern) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t star = pattern.find('*'); star != pattern.npos; star = pattern.find('*', from)) {
        pieces.push_back(pattern.substr(from, star - from));
        from = star + 1;
    }
    pieces.push_back(pattern.substr(from));
    size_t at = line.find(pieces.front());
    if (at == line.npos) {
        return false;
    }
    at += pieces.front().size();
    for (size_t i = 1; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        const size_t next = last ? line.rfind(pieces[i]) : line.find(pieces[i], at);
        if (next == line.npos || next < at) {
            return false;
        }
        at = next + pieces[i].size();
    }
    return at == line.size();
}

// The level a message is logged at.
std::string level_of(const std::string& message) {
    if (starts_with(message, "Create common pool err!") ||
        message == "YUYV422 frame dumped successfully" ||
        message == "Axera vin thread exiting..." || starts_with(message, kSkipped)) {
        return "info";
    }
    return starts_with(message, "Rebooting system") ? "warning" : "error";
}

// A line of the output carries the message at its level, e.g. "[...] [main] [error] <message>".
bool output_has_line(const std::string& output, const std::string& message) {
    const std::string pattern = "[" + level_of(message) + "] " + message;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line_matches(line, pattern)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> names_after(const std::vector<TraceCall>& trace, size_t index,
                                     size_t end = std::string::npos) {
    std::vector<std::string> names;
    for (size_t i = index + 1; i < std::min(end, trace.size()); ++i) {
        names.push_back(trace[i].name);
    }
    return names;
}

// The receiver's later bring-up steps, attempted after a failing one (only the initialisation
// ends the receiver's bring-up at once).
std::vector<std::string> still_attempted(const std::string& call, Phase phase) {
    static const std::vector<std::string> kReceiverSteps{"AX_MIPI_RX_SetAttr", "AX_MIPI_RX_Reset",
                                                         "AX_MIPI_RX_Start"};
    const auto step = std::find(kReceiverSteps.begin(), kReceiverSteps.end(), call);
    if (phase != Phase::BringUp || step == kReceiverSteps.end()) {
        return {};
    }
    return {std::next(step), kReceiverSteps.end()};
}

// The calls after a failure, without the steps that are still attempted; nullopt when those
// steps are not all there.
std::optional<std::vector<std::string>> past_attempted(std::vector<std::string> after,
                                                       const std::string& call, Phase phase) {
    const std::vector<std::string> attempted = still_attempted(call, phase);
    if (after.size() < attempted.size() ||
        !std::equal(attempted.begin(), attempted.end(), after.begin())) {
        return std::nullopt;
    }
    after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(attempted.size()));
    return after;
}

bool only_exit_calls(const std::vector<std::string>& names) {
    static const std::set<std::string> kExit{"AX_VIN_Deinit", "AX_POOL_Exit", "AX_SYS_Deinit"};
    return std::all_of(names.begin(), names.end(),
                       [](const std::string& name) { return kExit.count(name) == 1; });
}

bool has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string join(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

// The phase of a call of the dump road, by its position in the clean trace.
Phase dump_phase(const std::vector<TraceCall>& trace, size_t index) {
    size_t frame = trace.size();
    size_t released = trace.size();
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].name == "AX_VIN_GetYuvFrame" && frame == trace.size()) {
            frame = i;
        }
        if (trace[i].name == "AX_VIN_ReleaseYuvFrame") {
            released = i;
        }
    }
    if (index < frame) {
        return Phase::BringUp;
    }
    if (index <= released) {
        return Phase::Frame;
    }
    const std::string& name = trace[index].name;
    return name == "AX_VIN_Deinit" || name == "AX_POOL_Exit" || name == "AX_SYS_Deinit"
               ? Phase::Exit
               : Phase::TearDown;
}

}  // namespace

std::string place_name(Place place) {
    for (const PlaceNames& names : kPlaces) {
        if (names.place == place) {
            return names.text;
        }
    }
    return {};
}

std::string FaultCase::rule() const {
    return fmt::format("{}#{}", call, nth);
}

std::vector<TraceCall> parse_trace(const std::string& text) {
    std::vector<TraceCall> calls;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;) {
            tokens.push_back(word);
        }
        if (tokens.size() < 3 || tokens[tokens.size() - 2] != "->") {
            continue;  // a line still being written
        }
        TraceCall call;
        call.name = tokens.front();
        call.status = static_cast<uint32_t>(std::stoul(tokens.back(), nullptr, 16));
        call.ok = call.status == 0;
        if (call.name == "AX_SYS_Mmap") {
            call.ok = std::find(tokens.begin(), tokens.end(), "addr=0x0") == tokens.end();
        }
        calls.push_back(call);
    }
    return calls;
}

// Announces a geometry and waits until the service has answered it: the change's end (or the
// "already set" skip, when `skip_ends` is true). False on a hang or an unusable bridge.
bool announce_and_wait(Appliance& app, int width, int height, int fps, bool skip_ends,
                       RoadRun& run) {
    std::vector<std::string> ends = kChangeEnds;
    if (skip_ends) {
        ends.emplace_back(kSkipped);
    }
    const size_t before = count_lines_with(app.output(), ends);
    const HdmiResult changed =
        app.hdmi({"res", std::to_string(width), std::to_string(height), std::to_string(fps)});
    if (!changed.ok()) {
        run.error = "hdmi res: " + changed.output;
        return false;
    }
    const auto change_deadline = Clock::now() + kChangeBound;
    while (Clock::now() < change_deadline && app.running() &&
           count_lines_with(app.output(), ends) == before) {
        std::this_thread::sleep_for(kPollStep);
    }
    return count_lines_with(app.output(), ends) > before;
}

// The client's next message, kept in the run's list.
std::optional<std::string> next_message(Client& client, RoadRun& run) {
    std::optional<std::string> message = client.read_message(kNotifyWait);
    if (message) {
        run.messages.push_back(*message);
    }
    return message;
}

RoadRun run_service_road(const std::string& fault, FollowUp follow_up) {
    RoadRun run;
    Appliance app;
    if (!app.start(options_for(fault, {"-d"}))) {
        run.error = app.error();
        return run;
    }
    // The client is accepted once the bring-up has finished, unless the service ends first.
    Client client;
    const auto accept_deadline = Clock::now() + kAcceptBound;
    while (Clock::now() < accept_deadline && app.running()) {
        if (!client.connected()) {
            client.connect(app.socket_path(), kConnectTry);
        }
        if (app.output().find("Accepted new connection") != std::string::npos) {
            run.at_accepted = trace_size(app);
            break;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    if (run.at_accepted != std::string::npos) {
        // An announcement made before the Bridge monitor watches the status file would be taken
        // for the status it starts with, and never acted upon.
        const auto watch_deadline = Clock::now() + kAcceptBound;
        while (Clock::now() < watch_deadline && app.running() &&
               !harness::has_wait(app.pid(), harness::WaitKind::status_wait)) {
            std::this_thread::sleep_for(kPollStep);
        }
        const bool ended = announce_and_wait(app, kNewWidth, kNewHeight, kNewFps, false, run);
        if (!run.error.empty()) {
            return run;
        }
        if (ended && app.output().find(kChangeEnds.front()) != std::string::npos) {
            const auto message = next_message(client, run);
            run.notified = message && *message == res_change_text(kNewWidth, kNewHeight, kNewFps);
        }
        run.at_changed = trace_size(app);
        if (ended && follow_up != FollowUp::None) {
            const bool same = follow_up == FollowUp::SameGeometry;
            const size_t told = count_lines_with(app.output(), {kChangeEnds.front()});
            if (announce_and_wait(app, same ? kNewWidth : kStartWidth,
                                  same ? kNewHeight : kStartHeight, same ? kNewFps : kStartFps,
                                  true, run)) {
                run.at_followed = trace_size(app);
                if (count_lines_with(app.output(), {kChangeEnds.front()}) > told) {
                    (void)next_message(client, run);
                }
            }
            if (!run.error.empty()) {
                return run;
            }
        }
        run.at_stop = trace_size(app);
        app.send_signal(SIGTERM);
    }
    run.exit_status = app.wait_exit(kExitBound);
    collect(app, run);
    // Whatever else reached the client before the service closed the connection at its stop.
    if (client.connected()) {
        while (const auto message = client.read_message(kPollStep)) {
            run.messages.push_back(*message);
        }
    }
    return run;
}

RoadRun run_dump_road(const std::string& fault) {
    RoadRun run;
    Appliance app;
    if (!app.start(options_for(fault, {"--dump-raw"}))) {
        run.error = app.error();
        return run;
    }
    run.exit_status = app.wait_exit(kDumpBound);
    collect(app, run);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(app.root_dir(), error)) {
        if (starts_with(entry.path().filename().string(), "vin_")) {
            run.dump_sizes.push_back(std::filesystem::file_size(entry.path(), error));
        }
    }
    return run;
}

Matrix derive_matrix(Road road) {
    Matrix matrix;
    const RoadRun clean = road == Road::Dump ? run_dump_road("") : run_service_road("");
    if (!clean.error.empty()) {
        matrix.error = clean.error;
        return matrix;
    }
    if (clean.exit_status != 0 || clean.leaks != "none\n" || clean.trace.empty()) {
        matrix.error =
            fmt::format("the clean run did not end cleanly (status {}, leftovers {})\n{}",
                        clean.exit_status.value_or(-1), clean.leaks, clean.output);
        return matrix;
    }
    matrix.trace = clean.trace;
    matrix.at_changed = clean.at_changed;
    std::map<std::string, int> seen;
    auto add = [&](Place place, size_t index) {
        const std::string& name = clean.trace[index].name;
        matrix.cases.push_back({place, name, seen[name], index});
    };
    if (road == Road::Dump) {
        for (size_t i = 0; i < clean.trace.size(); ++i) {
            ++seen[clean.trace[i].name];
            add(Place::DumpRoad, i);
        }
        return matrix;
    }
    if (!clean.notified || clean.at_changed == std::string::npos) {
        matrix.error =
            "the clean run's resolution change did not reach the client\n" + clean.output;
        return matrix;
    }
    // The change is a tear-down followed by a bring-up, the stop a tear-down followed by the
    // release at exit: the common start of the two is the tear-down.
    const auto& t = clean.trace;
    size_t teardown = 0;
    while (clean.at_accepted + teardown < clean.at_changed &&
           clean.at_changed + teardown < t.size() &&
           t[clean.at_accepted + teardown].name == t[clean.at_changed + teardown].name) {
        ++teardown;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        ++seen[t[i].name];
        if (i < clean.at_accepted) {
            add(Place::StartupBringUp, i);
        } else if (i < clean.at_accepted + teardown) {
            add(Place::ChangeTearDown, i);
        } else if (i < clean.at_changed) {
            add(Place::ChangeBringUp, i);
        } else if (i < clean.at_changed + teardown) {
            add(Place::FinalTearDown, i);
            matrix.final_teardown.push_back(t[i].name);
        } else {
            add(Place::ProcessExit, i);
        }
    }
    return matrix;
}

Ledger ledger_of(const std::vector<TraceCall>& trace) {
    static const std::map<std::string, std::pair<std::string, int>> kCreates{
        {"AX_SYS_Init", {"sys", 1}},
        {"AX_POOL_Init", {"pool", 2}},
        {"AX_VIN_Init", {"vin module", 1}},
        {"AX_MIPI_RX_Init", {"mipi rx", 1}},
        {"AX_MIPI_RX_Start", {"mipi dev", 1}},
        {"AX_VIN_CreateDev", {"vin dev", 1}},
        {"AX_VIN_CreatePipe", {"vin pipe", 1}},
        {"AX_VIN_EnableChn", {"vin chn", 1}},
        {"AX_ISP_RegisterSensor", {"isp", 1}},
        {"AX_IVPS_Init", {"ivps module", 1}},
        {"AX_IVPS_CreateGrp", {"ivps group", 1}},
        {"AX_SYS_Link", {"link", 1}},
        {"AX_VIN_GetYuvFrame", {"frame", 1}},
        {"AX_SYS_Mmap", {"mapping", 1}},
    };
    static const std::map<std::string, std::string> kReleases{
        {"AX_SYS_Deinit", "sys"},
        {"AX_POOL_Exit", "pool"},
        {"AX_VIN_Deinit", "vin module"},
        {"AX_MIPI_RX_DeInit", "mipi rx"},
        {"AX_MIPI_RX_Stop", "mipi dev"},
        {"AX_VIN_DestroyDev", "vin dev"},
        {"AX_VIN_DestroyPipe", "vin pipe"},
        {"AX_VIN_DisableChn", "vin chn"},
        {"AX_ISP_UnRegisterSensor", "isp"},
        {"AX_IVPS_Deinit", "ivps module"},
        {"AX_IVPS_DestoryGrp", "ivps group"},
        {"AX_SYS_UnLink", "link"},
        {"AX_VIN_ReleaseYuvFrame", "frame"},
        {"AX_SYS_Munmap", "mapping"},
    };
    Ledger ledger;
    for (const TraceCall& call : trace) {
        if (!call.ok) {
            continue;
        }
        if (const auto created = kCreates.find(call.name); created != kCreates.end()) {
            ledger[created->second.first] += created->second.second;
        } else if (const auto released = kReleases.find(call.name); released != kReleases.end()) {
            int& count = ledger[released->second];
            // Pools go all at once; releasing what is not there changes nothing.
            count = call.name == "AX_POOL_Exit" ? 0 : std::max(0, count - 1);
        }
    }
    for (auto it = ledger.begin(); it != ledger.end();) {
        it = it->second == 0 ? ledger.erase(it) : std::next(it);
    }
    return ledger;
}

Ledger ledger_of_report(const std::string& report) {
    // A line's kind is its first words, up to a space or "=" ("vin dev=0 enabled": "vin dev").
    static const std::vector<std::string> kKinds{
        "mapping",  "frame",   "link",       "ivps group", "ivps module", "isp",  "vin chn",
        "vin pipe", "vin dev", "vin module", "mipi dev",   "mipi rx",     "pool", "sys",
    };
    Ledger ledger;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line == "none") {
            continue;
        }
        const auto kind = std::find_if(kKinds.begin(), kKinds.end(), [&](const std::string& k) {
            return line == k || starts_with(line, k + " ") || starts_with(line, k + "=");
        });
        ++ledger[kind != kKinds.end() ? *kind : line];
    }
    return ledger;
}

std::string ledger_text(const Ledger& ledger) {
    if (ledger.empty()) {
        return "nothing";
    }
    std::vector<std::string> items;
    for (const auto& [kind, count] : ledger) {
        items.push_back(count == 1 ? kind : fmt::format("{} x{}", kind, count));
    }
    return join(items, ", ");
}

Verdict judge(const FaultCase& fault, const Matrix& matrix, const RoadRun& run) {
    Verdict verdict;
    auto problem = [&](std::string text) { verdict.problems.push_back(std::move(text)); };
    const Phase phase = fault.place == Place::DumpRoad ? dump_phase(matrix.trace, fault.index)
                                                       : phase_of(fault.place);
    const std::string operation = operation_of(fault.call, phase);
    const bool fails = fails_operation(fault.call, operation);

    // No crash, no hang, the documented exit status.
    const bool dump_start_failure =
        fault.place == Place::DumpRoad && phase == Phase::BringUp && fails;
    const int expected_status = dump_start_failure ? 255 : 0;
    if (!run.exit_status) {
        problem("no exit within the bound (hang)");
    } else if (*run.exit_status > 128 && *run.exit_status < 255) {
        problem(fmt::format("killed by signal {}", *run.exit_status - 128));
    } else if (*run.exit_status != expected_status) {
        problem(fmt::format("exit status {}, expected {}", *run.exit_status, expected_status));
    }
    verdict.survived = verdict.problems.empty();

    // The fault landed on the intended call.
    if (fault.index >= run.trace.size() || run.trace[fault.index].name != fault.call ||
        run.trace[fault.index].status != kInjected) {
        problem("the injected failure is not at the call's place in the trace");
    }

    // The failing call's own message and the caller's summary, word for word.
    std::vector<std::string> expected;
    if (const std::string own = own_message(fault.call); !own.empty()) {
        expected.push_back(own);
    }
    for (const std::string& message : operation_messages(fault.call, phase)) {
        expected.push_back(message);
    }
    const std::string summary = status_ignored(fault.call) && fault.place != Place::DumpRoad
                                    ? std::string()
                                    : caller_summary(fault.place, operation, fault.call);
    if (!summary.empty() && (fails || operation == "mipi_deinit" || operation == "dump_frame")) {
        expected.push_back(summary);
    }
    for (const std::string& message : expected) {
        if (!output_has_line(run.output, message)) {
            problem(fmt::format("no log line \"{}\"", message));
        }
    }

    // What the road does after the failure (the receiver's later steps, still attempted after
    // a failing one, aside).
    const std::vector<std::string> all_after = names_after(run.trace, fault.index);
    const auto past = past_attempted(all_after, fault.call, phase);
    if (!past) {
        problem("the receiver's later steps were not attempted: " + join(all_after, " "));
    }
    const std::vector<std::string> after = past.value_or(all_after);
    switch (fault.place) {
        case Place::StartupBringUp:
            if (!fails) {
                if (!run.notified) {
                    problem("an ignored status disturbed the service");
                }
                break;
            }
            if (run.at_accepted != std::string::npos) {
                problem("a client was accepted after a failed bring-up");
            }
            if (!only_exit_calls(after) || (operation == "sys_init") != after.empty()) {
                problem("after the failed bring-up: " + join(after, " "));
            }
            if (fault.call == "AX_POOL_Exit" && (run.reboots != 1 || !run.reboot_marker)) {
                problem(fmt::format("reboot guard: {} reboot(s), marker {}", run.reboots,
                                    run.reboot_marker ? "written" : "missing"));
            }
            break;
        case Place::ChangeTearDown:
        case Place::ChangeBringUp:
            if (fails) {
                if (run.notified) {
                    problem("the client was told of a failed change");
                }
                const auto until_stop = names_after(run.trace, fault.index, run.at_changed);
                const auto rest = past_attempted(until_stop, fault.call, phase);
                if (!rest || !rest->empty()) {
                    problem("calls after the failed step: " + join(until_stop, " "));
                }
                if (fault.place == Place::ChangeBringUp &&
                    output_has_line(run.output, "axera deinit failed")) {
                    problem("a tear-down failure was reported for a bring-up fault");
                }
            }
            if (status_ignored(fault.call) && !run.notified) {
                problem("an ignored status disturbed the resolution change");
            }
            if (operation == "mipi_deinit" && output_has_line(run.output, "axera deinit failed")) {
                problem("a MIPI de-initialisation failure failed the tear-down");
            }
            break;
        case Place::FinalTearDown: {
            if (!output_has_line(run.output, "Axera vin thread exiting...")) {
                problem("the Capture thread did not finish its tear-down");
            }
            // Every later tear-down operation is still attempted.
            std::vector<std::pair<std::string, std::string>> operations;  // with its first call
            for (const std::string& call : matrix.final_teardown) {
                const std::string op = operation_of(call, Phase::TearDown);
                if (op != "mipi_deinit" && (operations.empty() || operations.back().first != op)) {
                    operations.emplace_back(op, call);
                }
            }
            const auto failed = std::find_if(operations.begin(), operations.end(),
                                             [&](const auto& op) { return op.first == operation; });
            for (auto later = failed == operations.end() ? failed : std::next(failed);
                 later != operations.end(); ++later) {
                if (!has(after, later->second)) {
                    problem(fmt::format("{} not attempted after the failure", later->first));
                }
            }
            break;
        }
        case Place::ProcessExit:
            if (fault.call == "AX_VIN_Deinit" && has(after, "AX_POOL_Exit")) {
                problem("pools released although the video input module stayed");
            }
            if (fault.call != "AX_SYS_Deinit" && !has(after, "AX_SYS_Deinit")) {
                problem("the media system was not asked to shut down");
            }
            break;
        case Place::DumpRoad:
            if (phase == Phase::BringUp && fails && !only_exit_calls(after)) {
                problem("after the failed start: " + join(after, " "));
            }
            if (phase == Phase::Frame && !has(after, "AX_ISP_StreamOff")) {
                problem("the video input was not torn down after the frame");
            }
            if (fault.call == "AX_VIN_GetYuvFrame" && !run.dump_sizes.empty()) {
                problem("a file was written without a frame");
            }
            if (fault.call == "AX_SYS_Mmap" &&
                run.dump_sizes != std::vector<uintmax_t>{uintmax_t{0}}) {
                problem("a failed mapping did not leave one empty file");
            }
            break;
    }

    // The leftover report holds exactly what the calls made and did not release.
    const Ledger left = ledger_of_report(run.leaks);
    const Ledger traced = ledger_of(run.trace);
    if (run.leaks.empty()) {
        problem("no leftover report");
    } else if (left != traced) {
        problem(fmt::format("leftovers [{}] differ from the trace's [{}]", ledger_text(left),
                            ledger_text(traced)));
    }

    std::vector<std::string> shown;
    for (const std::string& message : expected) {
        shown.push_back("\"" + message + "\"");
    }
    verdict.summary = fmt::format(
        "exit {}; {}; left: {}", run.exit_status ? std::to_string(*run.exit_status) : "none",
        shown.empty() ? "status ignored, nothing logged" : join(shown, ", "), ledger_text(left));
    return verdict;
}

bool in_reconfiguration(Place place) {
    return place == Place::ChangeTearDown || place == Place::ChangeBringUp;
}

std::vector<std::string> judge_recovery(const Matrix& matrix, const RoadRun& run,
                                        FollowUp follow_up) {
    std::vector<std::string> problems;
    const std::string which = follow_up == FollowUp::SameGeometry ? "same" : "other";
    auto problem = [&](const std::string& text) { problems.push_back(which + ": " + text); };
    if (!run.error.empty()) {
        problem("not run: " + run.error);
        return problems;
    }
    if (run.at_followed == std::string::npos || run.at_followed > run.trace.size()) {
        problem("the follow-up announcement was not answered");
        return problems;
    }
    // The whole pipeline, as after the clean run's change.
    const auto prefix = [](const std::vector<TraceCall>& trace, size_t end) {
        return std::vector<TraceCall>(trace.begin(),
                                      trace.begin() + static_cast<std::ptrdiff_t>(end));
    };
    const Ledger whole = ledger_of(prefix(matrix.trace, matrix.at_changed));
    const Ledger there = ledger_of(prefix(run.trace, run.at_followed));
    if (there != whole) {
        problem(
            fmt::format("pipeline [{}] instead of [{}]", ledger_text(there), ledger_text(whole)));
    }
    for (size_t i = run.at_changed; i < run.trace.size(); ++i) {
        if (!run.trace[i].ok) {
            problem(fmt::format("{} refused after the failed change", run.trace[i].name));
        }
    }
    // The follow-up needs a re-configuration unless the pipeline was still (or already) whole at
    // the geometry it announces: a change that went through and the same geometry again, or a
    // failed first tear-down step (which left everything) and the start's geometry again.
    const bool whole_after_change = ledger_of(prefix(run.trace, run.at_changed)) == whole;
    const bool recorded_new = !output_has_line(run.output, "axera deinit failed");
    const bool skip = whole_after_change && recorded_new == (follow_up == FollowUp::SameGeometry);
    if (skip && !output_has_line(run.output, "Resolution already set to * skipping")) {
        problem("the whole pipeline was not left as it was");
    }
    std::vector<std::string> expected;
    if (run.notified) {
        expected.push_back(res_change_text(kNewWidth, kNewHeight, kNewFps));
    }
    if (skip) {
        // Nothing to tell.
    } else if (follow_up == FollowUp::SameGeometry) {
        expected.push_back(res_change_text(kNewWidth, kNewHeight, kNewFps));
    } else {
        expected.push_back(res_change_text(kStartWidth, kStartHeight, kStartFps));
    }
    if (run.messages != expected) {
        problem(fmt::format("client got [{}], expected [{}]", join(run.messages, " "),
                            join(expected, " ")));
    }
    if (run.exit_status != 0) {
        problem(fmt::format("exit status {}", run.exit_status.value_or(-1)));
    }
    if (run.leaks != "none\n") {
        problem("left at stop: " + ledger_text(ledger_of_report(run.leaks)));
    }
    return problems;
}

std::string table_row(const FaultCase& fault, const Verdict& verdict,
                      const std::optional<std::vector<std::string>>& recovery) {
    const std::string result = !verdict.survived ? "NOT SURVIVED: " + join(verdict.problems, "; ")
                               : verdict.problems.empty()
                                   ? "survived"
                                   : "survived, " + join(verdict.problems, "; ");
    const std::string recovers = !recovery           ? "–"
                                 : recovery->empty() ? "yes"
                                                     : "NO: " + join(*recovery, "; ");
    return fmt::format("| {} | {} | {} | {} | {} | {} |", fault.call, place_name(fault.place),
                       fault.nth, verdict.summary, result, recovers);
}

void write_rows(Place place, const std::vector<std::string>& rows) {
    const std::filesystem::path dir = build_dir() / "faults";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / fmt::format("{}.rows", static_cast<int>(place)), std::ios::trunc);
    for (const std::string& row : rows) {
        out << row << '\n';
    }
}

}  // namespace hdgrab::test
