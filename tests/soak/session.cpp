#include "tests/soak/session.h"

#include <fmt/format.h>
#include <signal.h>

#include <sstream>
#include <thread>

#include "sim/driver/control.h"
#include "sim/harness/proc_sample.h"

namespace hdgrab::soak {

using std::chrono::milliseconds;

namespace {

constexpr const char* kCrashTrace = "Stack trace:";
// Longer than any delayed step of the simulated bridge after a write of the service (handshake
// and power-on delays, set short by the scenarios).
constexpr milliseconds kQuietPeriod{150};
// Readings of /proc that make one sample, and the pause between them.
constexpr int kReadingsPerSample = 3;
constexpr milliseconds kReadingGap{20};

}  // namespace

test::ApplianceOptions Session::options() const {
    test::ApplianceOptions options;
    options.binary = service_;
    options.start_timeout = kStartTimeout;
    return options;
}

bool Session::start(const test::ApplianceOptions& options, std::string& why) {
    if (!app.start(options)) {
        why = "start failed: " + app.error();
        return false;
    }
    if (!wait_until([&] { return harness::has_wait(app.pid(), harness::WaitKind::capture_wait); },
                    kStartTimeout)) {
        why = "the service never reached its serving loop: " + app.output();
        return false;
    }
    return true;
}

bool Session::connect(test::Client& client, std::string& why) {
    if (!client.connect(app.socket_path(), kStartTimeout)) {
        why = "cannot connect to the control socket";
        return false;
    }
    if (!wait_until([&] { return harness::has_wait(app.pid(), harness::WaitKind::status_wait); },
                    kStartTimeout)) {
        why = "the Bridge monitor never waited on the status file";
        return false;
    }
    return true;
}

bool Session::command(const std::vector<std::string>& words, std::string& why) const {
    const sim::ControlReply reply =
        sim::send_command((app.state_dir() / "driver/ctl.sock").string(), words);
    if (!reply.ok) {
        why = fmt::format("bridge command '{}' failed: {}", words.empty() ? "" : words[0],
                          reply.text);
    }
    return reply.ok;
}

bool Session::announce(const test::Geometry& geometry, std::string& why) const {
    return command({"res", std::to_string(geometry.width), std::to_string(geometry.height),
                    std::to_string(geometry.fps)},
                   why);
}

std::optional<std::map<std::string, std::string>> Session::bridge_state() const {
    const sim::ControlReply reply =
        sim::send_command((app.state_dir() / "driver/ctl.sock").string(), {"get"});
    if (!reply.ok) {
        return std::nullopt;
    }
    std::map<std::string, std::string> state;
    std::istringstream lines(reply.text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            state[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return state;
}

long Session::handshakes() const {
    const auto state = bridge_state();
    if (!state || !state->contains("handshakes")) {
        return -1;
    }
    return std::stol(state->at("handshakes"));
}

bool Session::wait_handshake(long before, std::string& why) const {
    const bool done = wait_until(
        [&] {
            const auto state = bridge_state();
            return state && state->contains("handshakes") &&
                   std::stol(state->at("handshakes")) > before && state->at("status") == "stable";
        },
        kMessageTimeout, milliseconds{5});
    if (!done) {
        why = "the service did not complete the handshake of the announcement";
    }
    return done;
}

bool Session::wait_quiet(std::string& why) const {
    const auto generation = [&]() -> std::string {
        const auto state = bridge_state();
        return state && state->contains("generation") ? state->at("generation") : "";
    };
    const auto watching = [&] { return harness::has_wait(app.pid(), harness::WaitKind::status_wait); };
    const bool quiet = wait_until(
        [&] {
            const std::string before = generation();
            if (before.empty() || !watching()) {
                return false;
            }
            std::this_thread::sleep_for(kQuietPeriod);
            return watching() && generation() == before;
        },
        kMessageTimeout * 2, milliseconds{10});
    if (!quiet) {
        why = "the bridge and the service did not become quiet";
    }
    return quiet;
}

bool Session::sample(ResourceTrack& track) const {
    // A descriptor the service holds for a moment (the state file's temporary file, a bridge
    // file being read) is no leak: of a few readings close together, the one with the fewest
    // descriptors counts, so a reading that catches one cannot make the first or last differ.
    std::optional<harness::ProcessSample> fewest;
    for (int reading = 0; reading < kReadingsPerSample; ++reading) {
        if (reading > 0) {
            std::this_thread::sleep_for(kReadingGap);
        }
        const std::optional<harness::ProcessSample> sample = harness::sample_process(app.pid());
        if (!sample) {
            return false;
        }
        if (!fewest || sample->descriptors < fewest->descriptors) {
            fewest = sample;
        }
    }
    track.add(*fewest);
    return true;
}

bool Session::stop_and_check(int sig, std::string& why) {
    if (!app.send_signal(sig)) {
        why = fmt::format("cannot send signal {} to the service", sig);
        return false;
    }
    return check_ended(why);
}

bool Session::check_ended(std::string& why) {
    const std::optional<int> status = app.wait_exit(kExitTimeout);
    if (!status) {
        why = fmt::format("the service did not end within {} ms", kExitTimeout.count());
        return false;
    }
    if (app.output().find(kCrashTrace) != std::string::npos) {
        why = "the service crashed: " + app.output();
        return false;
    }
    if (*status != 0) {
        why = fmt::format("exit status {} instead of 0", *status);
        return false;
    }
    std::error_code error;
    if (std::filesystem::exists(app.socket_path(), error)) {
        why = "the control socket was left behind";
        return false;
    }
    return true;
}

}  // namespace hdgrab::soak
