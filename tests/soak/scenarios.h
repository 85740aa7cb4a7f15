// The soak and churn scenarios and what each of them found.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/soak/checks.h"

namespace hdgrab::soak {

struct SoakConfig {
    std::filesystem::path service;
    uint64_t seed = 0;
    // How many of each; a scenario also ends at its time bound (reported, not a fault).
    long changes = 10000;    // resolution changes in a row
    long connects = 10000;   // client connects and disconnects while changes happen
    long storms = 500;       // rounds of bad status texts, bad numbers, unplug and bad timing
    long signal_runs = 200;  // runs ended by SIGTERM or SIGINT at a random moment
    long faulty = 1000;      // resolution changes, about half of them with one SDK call failing
    std::chrono::minutes changes_bound{90};
    std::chrono::minutes connects_bound{30};
    std::chrono::minutes storms_bound{30};
    std::chrono::minutes signals_bound{40};
    std::chrono::minutes faulty_bound{30};
    std::chrono::milliseconds max_pause{60};  // random pause after each change
    long sample_every = 50;                   // readings of /proc: every so many steps
    uint64_t rss_slack_kib = 1024;            // allowed growth of VmRSS over a scenario
    bool verbose = false;
};

struct ScenarioResult {
    std::string name;
    long requested = 0;
    long done = 0;
    bool time_bound_reached = false;
    double seconds = 0;
    std::vector<std::string> faults;
    ResourceTrack resources;  // empty for the signal runs (a new process each)
    std::map<std::string, long> counts;

    bool ok() const { return faults.empty(); }
};

// A scenario by the name `--only` takes.
struct Scenario {
    std::string name;
    std::function<ScenarioResult(const SoakConfig& config)> run;
};

// Every scenario, in the order a run takes them: resolution changes in a row; client connects
// and disconnects while changes happen; storms of bad bridge input; resolution changes, about
// half of them with a one-shot failure armed for a random SDK call of the re-configuration,
// where the next change after each failed one must succeed and be notified; runs stopped by a
// signal at a random moment.
const std::vector<Scenario>& scenarios();

// The geometries the simulated source switches between: common HDMI input timings, all within
// the pools the service sets up (3840x2400).
const std::vector<test::Geometry>& source_modes();

}  // namespace hdgrab::soak
