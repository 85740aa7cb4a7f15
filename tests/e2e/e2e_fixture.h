// Shared helpers of the end-to-end suite: a sandboxed service with a client and the SDK trace.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace hdgrab::test {

using namespace std::chrono_literals;

// Generous bounds: the machine may be busy, nothing here measures speed.
inline constexpr std::chrono::milliseconds kStartWait{15000};
inline constexpr std::chrono::milliseconds kEventWait{8000};
inline constexpr std::chrono::milliseconds kExitWait{10000};
// How long "nothing happens" is watched for.
inline constexpr std::chrono::milliseconds kQuietWait{1500};

// Inside the sandbox: where the substitute writes its leftover report at exit.
inline constexpr const char* kLeaksFile = "/.sandbox/out/axsim-leaks.txt";

// The "res_change" text the client receives for a geometry.
std::string res_change_text(int width, int height, int fps);

// Call names of the pipeline tear-down and bring-up, in their fixed orders.
const std::vector<std::string>& teardown_calls();
const std::vector<std::string>& bringup_calls();
// A re-configuration's calls: the tear-down, then the bring-up.
const std::vector<std::string>& rebuild_calls();

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override;

    // Options with console debug logging, the SDK trace and the leak report.
    ApplianceOptions service_options() const;
    // The same with the environment variables `env` added (faults, stalls, keep-alives).
    ApplianceOptions service_options(const std::map<std::string, std::string>& env) const;
    // Options of the one-shot dump road: those above with --dump-raw in place of -d.
    ApplianceOptions dump_options() const;
    // Starts the service; fails the test when the sandbox cannot run it.
    void start(const ApplianceOptions& options);
    void start() { start(service_options()); }
    // Starts the service, waits for its end and returns the exit status (-1: it did not end).
    int run_to_end(const ApplianceOptions& options);
    // Connects `client` and waits until the service has accepted it and the Bridge monitor
    // watches the bridge.
    void connect(Client& client);
    // Starts the service and connects `client`.
    void start_connected(Client& client, const ApplianceOptions& options);
    void start_connected(Client& client) { start_connected(client, service_options()); }

    // The bridge announces a new geometry.
    void announce(int width, int height, int fps) const;
    // Whether the next message `client` receives is the change to the geometry.
    ::testing::AssertionResult told_change(Client& client, int width, int height, int fps) const;
    // Announces a geometry; whether the connected `client` is told about it.
    ::testing::AssertionResult change_and_expect(Client& client, int width, int height, int fps);
    // Announces the geometry after a failed change; whether the unfinished pipeline is rebuilt
    // and `client` told.
    ::testing::AssertionResult rebuilt_and_told(Client& client, int width, int height, int fps);
    // Whether `text` occurs at least `times` times in the output in time (with the output
    // where it does not).
    ::testing::AssertionResult logged(const std::string& text, size_t times = 1,
                                      std::chrono::milliseconds timeout = kEventWait) const;

    // Call names in the SDK trace so far.
    std::vector<std::string> trace_calls() const;
    // Whole trace lines whose first word is `call`.
    std::vector<std::string> trace_lines(const std::string& call) const;
    // Occurrences of `text` in the service's output.
    size_t count_output(const std::string& text) const;
    // Waits until `text` occurs at least `times` times in the output.
    bool wait_count(const std::string& text, size_t times,
                    std::chrono::milliseconds timeout = kEventWait) const;
    // The service's state file and its content (a discarded value while it cannot be read).
    std::filesystem::path state_file() const { return app.state_file_path(); }
    nlohmann::json state() const;
    // Waits until the state file's member `name` holds `value`.
    bool wait_state(const std::string& name, const nlohmann::json& value) const;
    // Writes to the bridge file `file` recorded by the driver.
    std::vector<DriverWrite> writes_to(const std::string& file) const;
    // The substitute's leftover report written at exit ("none" when nothing was left).
    std::string leak_report() const;
    // Runs a `hdmi` command and fails the test when it does not succeed.
    void hdmi(const std::vector<std::string>& args) const;

    Appliance app;
};

}  // namespace hdgrab::test
