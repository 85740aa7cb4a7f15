// hdgrab-soak: drives the service in the sandboxed appliance for a long time (resolution
// changes, client churn, bad bridge input, stop signals at random moments, changes failed by SDK
// faults) and checks that it never crashes or hangs, stays flat in descriptors and memory,
// notifies correctly and in order, and always ends with status 0 and its socket removed.
#include <fmt/format.h>

#include <algorithm>
#include <cxxopts.hpp>
#include <iostream>
#include <random>
#include <set>
#include <sstream>

#include "sim/harness/appliance.h"
#include "tests/soak/scenarios.h"

namespace {

using hdgrab::soak::ScenarioResult;
using hdgrab::soak::SoakConfig;

// Counts of a short run (`--quick`, the CI run; docs/testing.md gives its time).
void make_quick(SoakConfig& config) {
    config.changes = 100;
    config.connects = 500;
    config.storms = 30;
    config.signal_runs = 20;
    config.faulty = 60;
    config.changes_bound = std::chrono::minutes{3};
    config.connects_bound = std::chrono::minutes{2};
    config.storms_bound = std::chrono::minutes{2};
    config.signals_bound = std::chrono::minutes{2};
    config.faulty_bound = std::chrono::minutes{3};
    config.sample_every = 10;
}

void print(const ScenarioResult& result) {
    std::cout << fmt::format("{:<12} {} {} of {} in {:.0f} s{}\n", result.name,
                             result.ok() ? "PASS" : "FAIL", result.done, result.requested,
                             result.seconds,
                             result.time_bound_reached ? " (time bound reached)" : "");
    if (!result.resources.empty()) {
        std::cout << "    service first/last/max: " << result.resources.summary() << '\n';
    }
    for (const auto& [name, count] : result.counts) {
        std::cout << fmt::format("    {}: {}\n", name, count);
    }
    for (const std::string& fault : result.faults) {
        std::cout << "    FAULT: " << fault << '\n';
    }
}

std::string scenario_names() {
    std::string names;
    for (const hdgrab::soak::Scenario& scenario : hdgrab::soak::scenarios()) {
        names += (names.empty() ? "" : ", ") + std::string(scenario.name);
    }
    return names;
}

bool is_scenario(const std::string& name) {
    const auto& all = hdgrab::soak::scenarios();
    return std::any_of(all.begin(), all.end(),
                       [&](const auto& scenario) { return name == scenario.name; });
}

std::string default_bounds() {
    const SoakConfig defaults;
    return fmt::format("changes {}, connects {}, storms {}, signals {}, faulty {}",
                       defaults.changes_bound.count(), defaults.connects_bound.count(),
                       defaults.storms_bound.count(), defaults.signals_bound.count(),
                       defaults.faulty_bound.count());
}

}  // namespace

int main(int argc, char** argv) {
    cxxopts::Options options("hdgrab-soak",
                             "Soak and churn runs of the service in the sandboxed appliance");
    // clang-format off
    options.add_options()
        ("seed", "random seed (default: a new one, printed)", cxxopts::value<uint64_t>())
        ("only", "comma-separated scenarios: " + scenario_names(), cxxopts::value<std::string>())
        ("quick", "short counts for CI")
        ("changes", "resolution changes in a row", cxxopts::value<long>())
        ("connects", "client connects and disconnects while changes happen",
         cxxopts::value<long>())
        ("storms", "rounds of bad status texts, bad numbers, unplug/replug and bad timing",
         cxxopts::value<long>())
        ("signal-runs", "runs stopped by SIGTERM or SIGINT at a random moment",
         cxxopts::value<long>())
        ("faulty", "resolution changes, about half of them failed by a one-shot SDK fault",
         cxxopts::value<long>())
        ("minutes", "time bound of each scenario in minutes (default: " + default_bounds() + ")",
         cxxopts::value<long>())
        ("max-pause", "longest random pause after a change, ms", cxxopts::value<long>())
        ("rss-slack", "allowed growth of the service's VmRSS per scenario, KiB",
         cxxopts::value<uint64_t>())
        ("service", "the service binary", cxxopts::value<std::string>())
        ("v,verbose", "progress on standard error")
        ("h,help", "this text");
    // clang-format on
    SoakConfig config;
    std::set<std::string> selected;
    for (const hdgrab::soak::Scenario& scenario : hdgrab::soak::scenarios()) {
        selected.insert(scenario.name);
    }
    try {
        const auto parsed = options.parse(argc, argv);
        if (parsed.count("help")) {
            std::cout << options.help() << '\n';
            return 0;
        }
        if (parsed.count("quick")) {
            make_quick(config);
        }
        config.seed = parsed.count("seed") ? parsed["seed"].as<uint64_t>() : std::random_device{}();
        if (parsed.count("only")) {
            selected.clear();
            std::istringstream list(parsed["only"].as<std::string>());
            std::string name;
            while (std::getline(list, name, ',')) {
                if (!is_scenario(name)) {
                    std::cerr << "hdgrab-soak: unknown scenario '" << name << "'\n";
                    return 2;
                }
                selected.insert(name);
            }
        }
        const auto count = [&](const char* name, long& into) {
            if (parsed.count(name)) {
                into = parsed[name].as<long>();
            }
        };
        count("changes", config.changes);
        count("connects", config.connects);
        count("storms", config.storms);
        count("signal-runs", config.signal_runs);
        count("faulty", config.faulty);
        if (parsed.count("minutes")) {
            const std::chrono::minutes bound{parsed["minutes"].as<long>()};
            config.changes_bound = config.connects_bound = bound;
            config.storms_bound = config.signals_bound = config.faulty_bound = bound;
        }
        if (parsed.count("max-pause")) {
            config.max_pause = std::chrono::milliseconds{parsed["max-pause"].as<long>()};
        }
        if (parsed.count("rss-slack")) {
            config.rss_slack_kib = parsed["rss-slack"].as<uint64_t>();
        }
        config.service = parsed.count("service")
                             ? std::filesystem::path(parsed["service"].as<std::string>())
                             : hdgrab::test::hdgrab_binary();
        config.verbose = parsed.count("verbose") > 0;
    } catch (const cxxopts::exceptions::exception& error) {
        std::cerr << "hdgrab-soak: " << error.what() << '\n';
        return 2;
    }

    const std::string skip = hdgrab::test::Appliance::skip_reason();
    if (!skip.empty()) {
        std::cout << "hdgrab-soak: skipped, the sandbox cannot work here: " << skip << '\n';
        return 0;
    }
    std::cout << fmt::format("hdgrab-soak: seed {} (repeat with --seed {}), service {}\n",
                             config.seed, config.seed, config.service.string())
              << std::flush;

    // The faults again at the end, where a log cut to its last lines still shows them.
    std::vector<std::string> faults;
    for (const hdgrab::soak::Scenario& scenario : hdgrab::soak::scenarios()) {
        if (!selected.contains(scenario.name)) {
            continue;
        }
        const ScenarioResult result = scenario.run(config);
        print(result);
        std::cout << std::flush;
        for (const std::string& fault : result.faults) {
            faults.push_back(result.name + ": " + fault);
        }
    }
    for (const std::string& fault : faults) {
        std::cout << "hdgrab-soak: FAULT in " << fault << '\n';
    }
    const bool ok = faults.empty();
    std::cout << fmt::format("hdgrab-soak: {} (seed {})\n", ok ? "PASS" : "FAIL", config.seed);
    return ok ? 0 : 1;
}
