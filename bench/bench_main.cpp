// hdgrab-bench: runs the service in the sandboxed appliance, measures how fast and light it is,
// and prints one table (figure, goal, measured median with min/max, pass or miss).
#include <fmt/format.h>
#include <sys/utsname.h>

#include <cxxopts.hpp>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>

#include "bench/report.h"
#include "bench/scenarios.h"
#include "bench/size_report.h"
#include "sim/harness/appliance.h"

#ifndef HDGRAB_BENCH_EXEC_STAMP
#error "HDGRAB_BENCH_EXEC_STAMP must name the launcher binary"
#endif

namespace {

using hdgrab::bench::Row;
using hdgrab::bench::Verdict;

constexpr double kResChangeGoalMs = 205;
constexpr double kHandshakeWaitMs = 200;
// SDK calls of one re-configuration: tear-down (18) and bring-up (28) of link, image processor
// and video input.
constexpr int kSdkCallsPerChange = 46;
constexpr double kStopGoalMs = 50;
constexpr double kStartupGoalMs = 50;
constexpr double kIdleCpuGoalSPerHour = 1.0;
constexpr double kRssGoalKiB = 4 * 1024;
constexpr double kRssGrowthGoalKiB = 64;

const std::set<std::string> kFigures = {"res", "stop", "start", "idle", "endurance", "size"};

std::string mib(uint64_t kib) {
    return fmt::format("{:.2f} MiB", static_cast<double>(kib) / 1024.0);
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return fmt::format("{} {} {}", one, five, fifteen);
}

void add_notes(std::vector<std::string>& details, const std::string& figure,
               const std::vector<std::string>& notes) {
    for (const std::string& text : notes) {
        details.push_back(figure + ": " + text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    cxxopts::Options options("hdgrab-bench",
                             "Measures the hdgrab service in the simulated appliance (sandbox).");
    // clang-format off
    options.add_options()
        ("runs", "repetitions of each stop state and of the start-up", cxxopts::value<int>()->default_value("5"))
        ("changes", "resolution changes timed at zero SDK delay", cxxopts::value<int>()->default_value("30"))
        ("delay-changes", "resolution changes timed with the SDK delay", cxxopts::value<int>()->default_value("15"))
        ("sdk-delay-us", "SDK delay per call for the second resolution figure", cxxopts::value<int>()->default_value("2000"))
        ("endurance", "resolution changes in a row for the endurance figure", cxxopts::value<int>()->default_value("1000"))
        ("idle-seconds", "length of the idle measurement", cxxopts::value<int>()->default_value("60"))
        ("only", "comma-separated figures: res,stop,start,idle,endurance,size", cxxopts::value<std::string>()->default_value(""))
        ("seed", "seed of the random stop moments", cxxopts::value<uint32_t>()->default_value("1"))
        ("service", "the hdgrab binary", cxxopts::value<std::string>()->default_value(hdgrab::test::hdgrab_binary().string()))
        ("q,quiet", "no progress lines on standard error")
        ("h,help", "this text");
    // clang-format on
    cxxopts::ParseResult parsed;
    try {
        parsed = options.parse(argc, argv);
    } catch (const cxxopts::exceptions::exception& error) {
        std::cerr << "hdgrab-bench: " << error.what() << '\n';
        return 2;
    }
    if (parsed.count("help")) {
        std::cout << options.help() << '\n';
        return 0;
    }

    hdgrab::bench::BenchConfig config;
    config.service = parsed["service"].as<std::string>();
    config.exec_stamp = HDGRAB_BENCH_EXEC_STAMP;
    config.runs = parsed["runs"].as<int>();
    config.changes = parsed["changes"].as<int>();
    config.delay_changes = parsed["delay-changes"].as<int>();
    config.sdk_delay_us = parsed["sdk-delay-us"].as<int>();
    config.endurance = parsed["endurance"].as<int>();
    config.idle_seconds = parsed["idle-seconds"].as<int>();
    config.seed = parsed["seed"].as<uint32_t>();
    config.verbose = parsed.count("quiet") == 0;
    if (config.runs < 1 || config.changes < 1 || config.delay_changes < 0 || config.endurance < 1 ||
        config.idle_seconds < 1 || config.sdk_delay_us < 0) {
        std::cerr << "hdgrab-bench: counts and durations must be positive\n";
        return 2;
    }

    std::set<std::string> figures = kFigures;
    if (const std::string only = parsed["only"].as<std::string>(); !only.empty()) {
        figures.clear();
        std::istringstream names(only);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (!kFigures.contains(name)) {
                std::cerr << "hdgrab-bench: unknown figure '" << name << "'\n";
                return 2;
            }
            figures.insert(name);
        }
    }
    auto wanted = [&](const char* name) { return figures.contains(name); };

    const bool needs_sandbox = figures.size() > 1 || !wanted("size");
    if (needs_sandbox) {
        const std::string why = hdgrab::test::Appliance::skip_reason();
        if (!why.empty()) {
            std::cerr << "hdgrab-bench: the sandbox cannot run here: " << why << '\n';
            return 77;
        }
    }

    const std::string load_before = load_average();
    std::vector<Row> rows;
    std::vector<std::string> details;
    std::mt19937 random(config.seed);
    auto say = [&](const std::string& text) {
        if (config.verbose) {
            std::cerr << "bench: " << text << '\n';
        }
    };

    if (wanted("res")) {
        say(fmt::format("resolution change: {} changes", config.changes));
        const auto plain = hdgrab::bench::measure_resolution_change(config, config.changes, 0);
        rows.push_back({"Resolution change: announcement -> res_change at client",
                        fmt::format("<= {:.0f} ms", kResChangeGoalMs),
                        describe(plain.latency_ms, "ms"),
                        hdgrab::bench::judge(plain.latency_ms, kResChangeGoalMs)});
        rows.push_back({"  of which: announcement -> service's \"ok\" to the driver", "-",
                        describe(plain.to_ack_ms, "ms", 2), Verdict::info});
        rows.push_back({"  of which: \"ok\" -> res_change at client (200 ms wait included)", "-",
                        describe(plain.after_ack_ms, "ms", 2), Verdict::info});
        rows.push_back(
            {"  service CPU time per change", "-", describe(plain.cpu_ms, "ms", 2), Verdict::info});
        rows.push_back({"  service waiting for a CPU per change (busy machine)", "-",
                        describe(plain.run_delay_ms, "ms", 2), Verdict::info});
        add_notes(details, "resolution change", plain.notes);
        if (config.delay_changes > 0) {
            say(fmt::format("resolution change with {} us per SDK call: {} changes",
                            config.sdk_delay_us, config.delay_changes));
            const auto delayed = hdgrab::bench::measure_resolution_change(
                config, config.delay_changes, config.sdk_delay_us);
            const double floor = kHandshakeWaitMs + kSdkCallsPerChange * config.sdk_delay_us / 1e3;
            rows.push_back({fmt::format("Resolution change, SDK delay {} ms per call",
                                        config.sdk_delay_us / 1e3),
                            fmt::format("report (floor {:.0f} ms)", floor),
                            describe(delayed.latency_ms, "ms"),
                            delayed.latency_ms.empty() ? Verdict::failed : Verdict::info});
            add_notes(details, "resolution change with SDK delay", delayed.notes);
        }
    }

    if (wanted("stop")) {
        using hdgrab::bench::StopState;
        for (const StopState state :
             {StopState::idle_no_client, StopState::idle_client, StopState::status_wait,
              StopState::client_poll, StopState::after_res_change, StopState::during_res_change}) {
            const auto result = hdgrab::bench::measure_stop(config, state, random);
            rows.push_back(
                {fmt::format("Stop (SIGTERM -> exit): {}", hdgrab::bench::stop_state_name(state)),
                 fmt::format("<= {:.0f} ms", kStopGoalMs), describe(result.exit_ms, "ms"),
                 hdgrab::bench::judge(result.exit_ms, kStopGoalMs)});
            add_notes(details, std::string("stop, ") + hdgrab::bench::stop_state_name(state),
                      result.notes);
        }
    }

    if (wanted("start")) {
        say(fmt::format("start-up: {} runs", config.runs));
        const auto result = hdgrab::bench::measure_startup(config);
        rows.push_back({"Start-up: exec -> client accepted (bridge valid, module present)",
                        fmt::format("<= {:.0f} ms", kStartupGoalMs),
                        describe(result.accept_ms, "ms"),
                        hdgrab::bench::judge(result.accept_ms, kStartupGoalMs)});
        rows.push_back({"Start-up: exec -> control socket listening", "-",
                        describe(result.listen_ms, "ms"), Verdict::info});
        rows.push_back({"Start-up: CPU time of the service until accepted", "-",
                        describe(result.cpu_ms, "ms"), Verdict::info});
        rows.push_back({"Start-up: service waiting for a CPU (busy machine)", "-",
                        describe(result.run_delay_ms, "ms"), Verdict::info});
        rows.push_back({"Start-up: first start, creating the configuration file", "-",
                        result.first_accept_ms > 0
                            ? fmt::format("{:.1f} ms (n=1)", result.first_accept_ms)
                            : std::string("not measured"),
                        Verdict::info});
        rows.push_back({"Sandbox start before exec (script + bwrap, not counted)", "-",
                        describe(result.sandbox_ms, "ms"), Verdict::info});
        add_notes(details, "start-up", result.notes);
    }

    if (wanted("idle")) {
        for (const bool with_client : {true, false}) {
            const char* const who = with_client ? "client connected" : "no client";
            say(fmt::format("idle, {}: {} s", who, config.idle_seconds));
            const auto result = hdgrab::bench::measure_idle(config, with_client);
            if (!result.ok) {
                rows.push_back(
                    {fmt::format("Idle cost, {}", who), "-", "not measured", Verdict::failed});
                add_notes(details, "idle", result.notes);
                continue;
            }
            rows.push_back(
                {fmt::format("Idle CPU time, {}", who),
                 fmt::format("<= {:.0f} s/h", kIdleCpuGoalSPerHour),
                 fmt::format("{:.3f} s/h ({:.0f} s window; utime+stime {:.2f} s/h)",
                             result.cpu_s_per_hour, result.seconds, result.cpu_ticks_s_per_hour),
                 hdgrab::bench::judge(result.cpu_s_per_hour, kIdleCpuGoalSPerHour)});
            // What one wake-up costs: CPU time per second over wake-ups per second.
            const double us_per_wakeup = result.wakeups_per_s > 0 ? result.cpu_s_per_hour / 3600.0 *
                                                                        1e6 / result.wakeups_per_s
                                                                  : 0.0;
            rows.push_back({fmt::format("Idle wake-ups, {} (context switches, all threads)", who),
                            "0 /s",
                            fmt::format("{:.2f} /s ({} threads; {:.0f} us of CPU each)",
                                        result.wakeups_per_s, result.end.threads, us_per_wakeup),
                            hdgrab::bench::judge(result.wakeups_per_s, 0.0)});
            if (with_client) {
                rows.push_back(
                    {"Resident memory (VmRSS), idle", fmt::format("<= {}", mib(kRssGoalKiB)),
                     fmt::format("{} (anon {}, file {}; PSS {})", mib(result.end.rss_kib),
                                 mib(result.end.rss_anon_kib), mib(result.end.rss_file_kib),
                                 mib(result.end.pss_kib)),
                     hdgrab::bench::judge(static_cast<double>(result.end.rss_kib), kRssGoalKiB)});
            }
            add_notes(details, "idle", result.notes);
        }
    }

    if (wanted("endurance")) {
        say(fmt::format("endurance: {} resolution changes", config.endurance));
        const auto result = hdgrab::bench::measure_endurance(config);
        const bool complete = result.delivered == result.requested;
        const auto growth = static_cast<int64_t>(result.after.rss_kib) -
                            static_cast<int64_t>(result.before.rss_kib);
        const auto warm_growth =
            static_cast<int64_t>(result.after.rss_kib) - static_cast<int64_t>(result.warm.rss_kib);
        rows.push_back(
            {fmt::format("Endurance: VmRSS growth over {} changes", result.requested),
             fmt::format("<= {:.0f} KiB", kRssGrowthGoalKiB),
             complete ? fmt::format("{:+} KiB ({} -> {} KiB; {:+} KiB after the first {})", growth,
                                    result.before.rss_kib, result.after.rss_kib, warm_growth,
                                    hdgrab::bench::kWarmupChanges)
                      : std::string("incomplete run"),
             complete ? hdgrab::bench::judge(static_cast<double>(growth), kRssGrowthGoalKiB)
                      : Verdict::failed});
        rows.push_back(
            {"Endurance: open descriptors", "unchanged",
             fmt::format("{} -> {}", result.before.descriptors, result.after.descriptors),
             complete && result.before.descriptors == result.after.descriptors
                 ? Verdict::pass
                 : (complete ? Verdict::miss : Verdict::failed)});
        rows.push_back({"Endurance: notifications arrived, in order",
                        fmt::format("{} of {}", result.requested, result.requested),
                        fmt::format("{} of {}", result.delivered, result.requested),
                        complete ? Verdict::pass : Verdict::miss});
        rows.push_back({"Endurance: resolution change latency", "-",
                        describe(result.latency_ms, "ms") +
                            fmt::format(", p99 {:.1f}", result.latency_ms.percentile(0.99)),
                        Verdict::info});
        details.push_back(
            fmt::format("endurance: anonymous memory {} -> {} KiB, file-backed {} -> {} KiB",
                        result.before.rss_anon_kib, result.after.rss_anon_kib,
                        result.before.rss_file_kib, result.after.rss_file_kib));
        add_notes(details, "endurance", result.notes);
    }

    hdgrab::bench::SizeResult size;
    if (wanted("size")) {
        say("size");
        size = hdgrab::bench::measure_size(config.service);
        if (size.ok) {
            uint64_t total = 0;
            for (const auto& library : size.libraries) {
                total += library.bytes;
            }
            rows.push_back(
                {"Stripped hdgrab binary", "-",
                 fmt::format("{:.0f} KiB (unstripped {:.0f} KiB)", size.stripped_bytes / 1024.0,
                             size.unstripped_bytes / 1024.0),
                 Verdict::info});
            rows.push_back({"Shared libraries loaded (list below)", "-",
                            fmt::format("{} ({} direct), {:.1f} MiB on disk", size.libraries.size(),
                                        std::count_if(size.libraries.begin(), size.libraries.end(),
                                                      [](const auto& l) { return l.direct; }),
                                        total / 1048576.0),
                            Verdict::info});
        } else {
            rows.push_back({"Stripped hdgrab binary", "-", "not measured", Verdict::failed});
        }
        add_notes(details, "size", size.notes);
    }

    utsname machine{};
    (void)::uname(&machine);
    std::cout << fmt::format("hdgrab benchmarks: {} ({} {}), load average {} before, {} after\n\n",
                             config.service.string(), machine.sysname, machine.machine, load_before,
                             load_average());
    std::cout << hdgrab::bench::format_table(rows);
    if (size.ok && !size.libraries.empty()) {
        std::cout << "\nShared libraries (* needed by hdgrab itself):\n";
        for (const auto& library : size.libraries) {
            std::cout << fmt::format("  {} {:<28} {:>8.0f} KiB  {}\n", library.direct ? '*' : ' ',
                                     library.name, library.bytes / 1024.0,
                                     library.path.empty() ? "(not found)" : library.path.string());
        }
    }
    if (!details.empty()) {
        std::cout << "\nNotes:\n";
        for (const std::string& text : details) {
            std::cout << "  " << text << '\n';
        }
    }
    bool failed = false;
    for (const Row& row : rows) {
        failed = failed || row.verdict == Verdict::failed;
    }
    // Misses are results, not errors; a figure that could not be measured is.
    return failed ? 1 : 0;
}
