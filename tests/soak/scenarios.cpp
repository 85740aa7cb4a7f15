#include "tests/soak/scenarios.h"

#include <fmt/format.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "sim/driver/bridge_model.h"
#include "sim/harness/proc_sample.h"
#include "tests/soak/session.h"
#include "tests/support/pipeline_calls.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::soak {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

namespace {

// A displaced client is closed by the service; this long it may take to see that.
constexpr milliseconds kDisplacedCloseWait{2000};
// A reading may catch the service holding one descriptor for a moment beside its steady ones:
// the state file's temporary file while it is rewritten, or a bridge file while it is read.
constexpr size_t kPassingDescriptors = 1;
// The service reads the status again this long after its "ok" (and the bridge turns "stable"
// after its own shorter delay), with a margin for a busy machine.
constexpr milliseconds kServiceHandshakeWait{250};
// After the last change nothing more may arrive within this time.
constexpr milliseconds kQuietWait{500};
// Bound for the bridge and the service to settle after a storm round.
constexpr milliseconds kSettleTimeout{20000};
// Power-on time of the simulated bridge in the storms: short, so a round does not take seconds.
constexpr const char* kStormPowerDelayMs = "50";
// Longest status line sent (the bridge's control requests are limited to 64 KiB, escapes
// included).
constexpr size_t kLongLineMax = 30000;
// A first signal that falls before the service's final stop handler is only recorded; this
// long the run waits before it decides that happened.
constexpr milliseconds kFirstSignalWait{5000};

const std::vector<test::Geometry> kSourceModes = {
    {640, 480, 60},   {720, 480, 60},   {720, 576, 50},   {800, 600, 60},   {1024, 768, 60},
    {1280, 720, 50},  {1280, 720, 60},  {1280, 1024, 60}, {1366, 768, 60},  {1440, 900, 60},
    {1600, 1200, 60}, {1680, 1050, 60}, {1920, 1080, 24}, {1920, 1080, 25}, {1920, 1080, 30},
    {1920, 1080, 50}, {1920, 1080, 60}, {1920, 1200, 60}, {2560, 1440, 60}, {2560, 1600, 60},
    {3840, 2160, 24}, {3840, 2160, 30}, {3840, 2160, 60}, {4096, 2160, 30},
};

bool same(const test::Geometry& a, const test::Geometry& b) {
    return a.width == b.width && a.height == b.height && a.fps == b.fps;
}

// The scenario's own random numbers: each scenario gets the same ones whether it runs alone or
// with the others.
class Random {
  public:
    Random(uint64_t seed, uint64_t scenario) : engine_(seed ^ (scenario * 0x9E3779B97F4A7C15ULL)) {}

    long between(long low, long high) {  // both included
        return std::uniform_int_distribution<long>(low, high)(engine_);
    }
    bool chance(double probability) { return std::bernoulli_distribution(probability)(engine_); }
    milliseconds pause(milliseconds max) { return milliseconds{between(0, max.count())}; }
    test::Geometry mode() {
        return kSourceModes[static_cast<size_t>(between(0, long(kSourceModes.size()) - 1))];
    }
    test::Geometry mode_other_than(const test::Geometry& current) {
        for (;;) {
            const test::Geometry next = mode();
            if (!same(next, current)) {
                return next;
            }
        }
    }
    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(between(0, long(items.size()) - 1))];
    }

  private:
    std::mt19937_64 engine_;
};

// Bookkeeping shared by the scenarios: time bound, progress, faults.
class Run {
  public:
    Run(const SoakConfig& config, std::string name, long requested, std::chrono::minutes bound)
        : config_(config), started_(Clock::now()), deadline_(started_ + bound) {
        result.name = std::move(name);
        result.requested = requested;
    }

    // True while the scenario should go on with step `done`.
    bool more() {
        if (!result.faults.empty() || result.done >= result.requested) {
            return false;
        }
        if (Clock::now() >= deadline_) {
            result.time_bound_reached = true;
            return false;
        }
        return true;
    }
    void step_done(const Session* session = nullptr) {
        ++result.done;
        if (result.done % config_.sample_every == 0) {
            if (session) {
                (void)session->sample(result.resources);
            }
            if (config_.verbose) {
                std::cerr << fmt::format("soak: {} {}/{}\n", result.name, result.done,
                                         result.requested);
            }
        }
    }
    void fault(const std::string& why) {
        result.faults.push_back(fmt::format("{} (step {})", why, result.done + 1));
    }
    // Checks that descriptors and memory stayed flat.
    void check_flat(size_t descriptor_slack) {
        std::string why;
        if (!result.resources.flat(descriptor_slack, config_.rss_slack_kib, why)) {
            result.faults.push_back(why);
        }
    }
    ScenarioResult finish() {
        result.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        return std::move(result);
    }

    ScenarioResult result;

  private:
    const SoakConfig& config_;
    Clock::time_point started_;
    Clock::time_point deadline_;
};

// Every complete message that has arrived on the client, checked; false on the first fault.
bool check_pending(test::Client& client, NotificationChecker& checker, Run& run,
                   milliseconds wait = 0ms) {
    while (const std::optional<std::string> message = client.read_message(wait)) {
        std::string why;
        if (!checker.received(*message, why)) {
            run.fault(why);
            return false;
        }
    }
    return true;
}

// Announces `geometry` and reads messages until its notification has arrived; every message on
// the way must be correct too.
bool announce_and_await(Session& session, test::Client& client, const test::Geometry& geometry,
                        NotificationChecker& checker, Run& run) {
    checker.announced(geometry);
    std::string why;
    if (!session.announce(geometry, why)) {
        run.fault(why);
        return false;
    }
    const std::string wanted = res_change_text(geometry);
    const auto deadline = Clock::now() + kSettleTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const std::optional<std::string> message =
            left.count() > 0 ? client.read_message(left) : std::nullopt;
        if (!message) {
            run.fault("no notification " + wanted + " within the time-out");
            return false;
        }
        if (!checker.received(*message, why)) {
            run.fault(why);
            return false;
        }
        if (*message == wanted) {
            return true;
        }
    }
}

// Announces `next` and checks that exactly its notification arrives, as the next message.
bool notified_change(Session& session, test::Client& client, NotificationChecker& checker,
                     const test::Geometry& next, Run& run) {
    std::string why;
    checker.announced(next);
    if (!session.announce(next, why)) {
        run.fault(why);
        return false;
    }
    const std::optional<std::string> message = client.read_message(kMessageTimeout);
    if (!message || *message != res_change_text(next)) {
        run.fault(fmt::format("{} instead of {}", message.value_or("no notification"),
                              res_change_text(next)));
        return false;
    }
    if (!checker.received(*message, why)) {
        run.fault(why);
        return false;
    }
    return true;
}

// The loop of a scenario against one running service, given the run's bookkeeping, the
// scenario's random numbers, the session, the connected client and the checker of what arrives.
using ServedLoop = void (*)(const SoakConfig& config, Run& run, Random& random, Session& session,
                            test::Client& client, NotificationChecker& checker);

// A scenario against one running service with a client connected.
struct ServedScenario {
    const char* name;
    long SoakConfig::*count;
    std::chrono::minutes SoakConfig::*bound;
    uint64_t stream;  // the scenario's own random numbers
    // Descriptors the service may hold at a reading beyond the passing one.
    size_t descriptor_slack;
    // The service runs with SDK faults armable and reports the SDK objects left at its end
    // (there must be none), its log on standard output where the failed changes are seen.
    bool sdk_faults;
    ServedLoop loop;
};

// Starts the service, connects the client and runs the scenario's loop; then counts the checked
// notifications, takes the last reading, checks that descriptors and memory stayed flat, and
// stops the service with SIGTERM and the checks of its orderly end.
ScenarioResult serve(const SoakConfig& config, const ServedScenario& scenario) {
    Run run(config, scenario.name, config.*scenario.count, config.*scenario.bound);
    Random random(config.seed, scenario.stream);
    Session session(config.service);
    test::ApplianceOptions options = session.options();
    if (scenario.sdk_faults) {
        options.sdk_arm = true;
        options.sdk_leaks = true;
        options.args = {"-d"};
    }
    test::Client client;
    std::string why;
    if (!session.start(options, why) || !session.connect(client, why)) {
        run.fault(why);
        return run.finish();
    }
    (void)session.sample(run.result.resources);
    NotificationChecker checker;
    scenario.loop(config, run, random, session, client, checker);
    run.result.counts["notifications checked"] = static_cast<long>(checker.checked());
    if (session.app.running()) {
        (void)session.sample(run.result.resources);
        run.check_flat(kPassingDescriptors + scenario.descriptor_slack);
    }
    if (!session.stop_and_check(SIGTERM, why)) {
        run.result.faults.push_back("stop: " + why);
    }
    ScenarioResult result = run.finish();
    if (scenario.sdk_faults) {
        const std::string left = test::read_text(session.app.sdk_leaks_path());
        if (left != "none\n") {
            result.faults.push_back("left by the service at its end: " + left);
        }
    }
    return result;
}

std::string random_bytes(Random& random, size_t length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random.between(0, 255));
    }
    return bytes;
}

bool has_signal_handlers(pid_t pid) {
    std::ifstream in(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("SigCgt:")) {
            const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
            const unsigned long long wanted = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1));
            return (caught & wanted) == wanted;
        }
    }
    return false;
}

bool runs_service(pid_t pid, const std::filesystem::path& service) {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink(fmt::format("/proc/{}/exe", pid), error);
    return !error && exe.filename() == service.filename();
}

void changes_in_a_row(const SoakConfig& config, Run& run, Random& random, Session& session,
                      test::Client& client, NotificationChecker& checker) {
    test::Geometry current;  // the source starts at the harness' default geometry
    long repeated = 0;
    while (run.more()) {
        // Now and then the same geometry again: handshake, but no re-configuration, no message.
        const test::Geometry next = random.chance(0.05) ? current : random.mode_other_than(current);
        if (same(next, current)) {
            ++repeated;
            std::string why;
            const long handshakes = session.handshakes();
            checker.announced(next);
            if (!session.announce(next, why) || !session.wait_handshake(handshakes, why)) {
                run.fault(why);
                break;
            }
        } else if (!notified_change(session, client, checker, next, run)) {
            // Every change is waited for, so each one must be notified exactly.
            break;
        }
        current = next;
        run.step_done(&session);
        std::this_thread::sleep_for(random.pause(config.max_pause));
    }
    if (run.result.faults.empty()) {
        (void)check_pending(client, checker, run, kQuietWait);
        if (checker.checked() + static_cast<size_t>(repeated) != checker.announcements()) {
            run.fault(fmt::format("{} announcements, {} notifications, {} repeats",
                                  checker.announcements(), checker.checked(), repeated));
        }
    }
    run.result.counts["same geometry again (no message expected)"] = repeated;
}

void connects_while_changing(const SoakConfig& config, Run& run, Random& random, Session& session,
                             test::Client& first, NotificationChecker& checker) {
    std::mutex checker_mutex;
    std::atomic<bool> stop_changes{false};
    std::atomic<long> changes{0};
    std::string changer_fault;
    test::Geometry last;  // written by the changer only, read after it ended
    // Announces one change after another; the next only once the service has read and
    // acknowledged the previous one (so it never reads half of an old and half of a new
    // geometry), while the re-configuration and the message may still be under way.
    std::thread changer([&, seed = config.seed] {
        Random changer_random(seed, 20);
        while (!stop_changes) {
            const test::Geometry next = changer_random.mode_other_than(last);
            const long handshakes = session.handshakes();
            {
                std::lock_guard lock(checker_mutex);
                checker.announced(next);
            }
            std::string why;
            if (!session.announce(next, why) || !session.wait_handshake(handshakes, why)) {
                changer_fault = why;
                stop_changes = true;
                return;
            }
            last = next;
            ++changes;
            // Mostly after the service's own wait after the handshake, so the change completes;
            // now and then within it, so the service sees "new res" again instead of "stable"
            // and gives the change up.
            const milliseconds settle = changer_random.chance(0.1) ? 0ms : kServiceHandshakeWait;
            std::this_thread::sleep_for(settle + changer_random.pause(config.max_pause));
        }
    });

    // Checks what a connection received; the connections are checked in the order they were
    // opened, so the checker sees the messages in the order the service sent them.
    auto check = [&](test::Client& connection, milliseconds wait) {
        std::lock_guard lock(checker_mutex);
        return check_pending(connection, checker, run, wait);
    };
    long displaced = 0, disconnected = 0, hit_and_run = 0, not_closed = 0;
    test::Client* client = &first;
    std::unique_ptr<test::Client> held;  // the client in the slot once the first was replaced
    while (run.more() && !stop_changes) {
        auto next = std::make_unique<test::Client>();
        switch (random.between(0, 2)) {
            case 0:  // a new client takes the slot while the old one is still connected
                if (!next->connect(session.app.socket_path(), kStartTimeout)) {
                    run.fault("cannot connect");
                    break;
                }
                if (!client->wait_closed(kDisplacedCloseWait)) {
                    ++not_closed;
                }
                (void)check(*client, 0ms);
                ++displaced;
                break;
            case 1:  // the client leaves, then a new one comes
                (void)check(*client, 0ms);
                client->close();
                if (!next->connect(session.app.socket_path(), kStartTimeout)) {
                    run.fault("cannot connect");
                }
                ++disconnected;
                break;
            default: {  // one connects and leaves at once, then the new one comes
                (void)check(*client, 0ms);
                client->close();
                test::Client brief;
                if (!brief.connect(session.app.socket_path(), kStartTimeout) ||
                    !next->connect(session.app.socket_path(), kStartTimeout)) {
                    run.fault("cannot connect");
                }
                ++hit_and_run;
                break;
            }
        }
        client->close();  // what is left of the replaced connection
        held = std::move(next);
        client = held.get();
        run.step_done(&session);
        // The client stays a moment, reading what arrives.
        if (!check(*client, random.pause(20ms))) {
            break;
        }
    }
    stop_changes = true;
    changer.join();
    if (!changer_fault.empty()) {
        run.fault("changes: " + changer_fault);
    }
    if (run.result.faults.empty()) {
        // The client that holds the slot now must get the next change.
        (void)check(*client, kQuietWait);
        std::lock_guard lock(checker_mutex);
        (void)announce_and_await(session, *client, random.mode_other_than(last), checker, run);
    }
    run.result.counts["changes during the churn"] = changes;
    run.result.counts["displaced while connected"] = displaced;
    run.result.counts["disconnected, then a new one"] = disconnected;
    run.result.counts["connected and left at once"] = hit_and_run;
    run.result.counts["displaced client not closed within 2 s"] = not_closed;
}

void storms_of_bad_input(const SoakConfig&, Run& run, Random& random, Session& session,
                         test::Client& client, NotificationChecker& checker) {
    std::string why;
    if (!session.command({"delay", "power", kStormPowerDelayMs}, why)) {
        run.fault(why);
    }
    const std::vector<std::string> near_misses = {
        "",           "stable ",  "Stable",  "new res\r",     "new res ",  " new res",
        "new  res",   "NEW RES",  "unknown", "unknown res\r", "error",     "error res ",
        "disappear!", "\xff\xfe", "ok",      "stable\x01",    "new res\t", "\r\n"};
    const std::vector<std::string> bad_numbers = {"-1\n",
                                                  "-5\n",
                                                  "0\n",
                                                  "-0\n",
                                                  "2147483648\n",
                                                  "-2147483649\n",
                                                  "4294967296\n",
                                                  "99999999999999999999\n",
                                                  "-99999999999999999999\n",
                                                  "abc\n",
                                                  "\n",
                                                  "",
                                                  "--1\n",
                                                  "+-7\n",
                                                  " \t\n",
                                                  "\xff\xfe\xfd",
                                                  "x1920\n"};
    const std::vector<std::string> number_files = {"width", "height", "fps"};
    enum Kind { garbage, long_line, near_miss, bad_number, unplug, bad_timing, notify, kinds };
    std::map<std::string, long> events;
    test::Geometry current;
    while (run.more()) {
        const auto kind = static_cast<Kind>(random.between(0, kinds - 1));
        const long burst = random.between(1, 20);
        bool ok = true;
        for (long i = 0; i < burst && ok; ++i) {
            switch (kind) {
                case garbage:
                    ok = session.command(
                        {"status", sim::escape_bytes(random_bytes(
                                       random, static_cast<size_t>(random.between(1, 300))))},
                        why);
                    ++events["garbage status texts"];
                    break;
                case long_line: {
                    std::string line(static_cast<size_t>(random.between(1000, kLongLineMax)),
                                     static_cast<char>('a' + random.between(0, 25)));
                    if (random.chance(0.5)) {
                        line.replace(0, 7, sim::kStatusNewRes);
                    }
                    ok = session.command({"status", line}, why);
                    ++events["very long status lines"];
                    break;
                }
                case near_miss:
                    ok = session.command({"status", sim::escape_bytes(random.pick(near_misses))},
                                         why);
                    ++events["near-miss status texts"];
                    break;
                case bad_number:
                    ok = session.command({"garbage", random.pick(number_files),
                                          sim::escape_bytes(random.pick(bad_numbers))},
                                         why) &&
                         session.command({"status", sim::kStatusNewRes}, why);
                    ++events["\"new res\" with a bad number"];
                    break;
                case unplug:
                    ok = session.command({random.chance(0.5) ? "unplug" : "replug"}, why);
                    ++events["unplug/replug"];
                    break;
                case bad_timing:
                    ok = session.command({random.chance(0.7) ? "unknown" : "error"}, why);
                    ++events["\"unknown res\"/\"error res\""];
                    break;
                case notify:
                    ok = session.command({"notify"}, why);
                    ++events["notifications without a change"];
                    break;
                case kinds:
                    break;
            }
            std::this_thread::sleep_for(random.pause(random.chance(0.5) ? 5ms : 100ms));
        }
        if (!ok) {
            run.fault(why);
            break;
        }
        // Give the service a moment with the bad state, then make the bridge sane again and
        // check that a real change still goes through and is notified.
        std::this_thread::sleep_for(random.pause(300ms));
        if (!session.command({"restore"}, why)) {
            run.fault(why);
            break;
        }
        (void)check_pending(client, checker, run);
        if (!session.wait_quiet(why)) {
            run.fault(why);
            break;
        }
        current = random.mode_other_than(current);
        if (!announce_and_await(session, client, current, checker, run)) {
            break;
        }
        run.step_done(&session);
    }
    if (const auto state = session.bridge_state()) {
        run.result.counts["bridge power cycles"] = std::stol(state->at("power_cycles"));
        run.result.counts["bridge handshakes"] = std::stol(state->at("handshakes"));
    }
    for (const auto& [name, count] : events) {
        run.result.counts[name] = count;
    }
}

// Messages with which a re-configuration gives up.
const std::vector<std::string> kChangeFailures{"axera deinit failed", "axera init failed"};

// Reads the service's output as it grows, a complete line at a time, and counts the lines that
// hold one of the needles (a long run's output is not read again from its start).
class OutputTail {
  public:
    OutputTail(std::filesystem::path path, std::vector<std::string> needles)
        : path_(std::move(path)), needles_(std::move(needles)) {}

    // The matching lines seen so far.
    size_t count() {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line) && !in.eof()) {
            offset_ += line.size() + 1;
            for (const std::string& needle : needles_) {
                if (line.find(needle) != std::string::npos) {
                    ++count_;
                    break;
                }
            }
        }
        return count_;
    }

  private:
    std::filesystem::path path_;
    std::vector<std::string> needles_;
    size_t offset_ = 0;
    size_t count_ = 0;
};

// One SDK call of a re-configuration, as a rule for the substitute: "CALL#N", N counting from
// the change's first call. The lane combination is left out (its status is not looked at).
std::string random_change_fault(Random& random) {
    std::vector<std::string> calls = test::kIvpsTearDownCalls;
    calls.insert(calls.end(), test::kVinTearDownCalls.begin(), test::kVinTearDownCalls.end());
    calls.insert(calls.end(), test::kVinBringUpCalls.begin(), test::kVinBringUpCalls.end());
    calls.insert(calls.end(), test::kIvpsBringUpCalls.begin(), test::kIvpsBringUpCalls.end());
    for (;;) {
        const auto index = static_cast<size_t>(random.between(0, long(calls.size()) - 1));
        if (calls[index] == "AX_MIPI_RX_SetLaneCombo") {
            continue;
        }
        const auto nth = std::count(calls.begin(), calls.begin() + long(index) + 1, calls[index]);
        return fmt::format("{}#{}", calls[index], nth);
    }
}

void changes_failed_by_sdk_faults(const SoakConfig& config, Run& run, Random& random,
                                  Session& session, test::Client& client,
                                  NotificationChecker& checker) {
    test::Geometry current;  // the geometry the pipeline runs at
    std::string why;
    long failed = 0;
    long rebuilt = 0;
    OutputTail failures(session.app.state_dir() / "output.log", kChangeFailures);
    while (run.more()) {
        const test::Geometry next = random.mode_other_than(current);
        if (!random.chance(0.5)) {
            if (!notified_change(session, client, checker, next, run)) {
                break;
            }
            current = next;
            run.step_done(&session);
            continue;
        }
        // The rule is picked up by the change's first SDK call, so its count starts there.
        const std::string rule = random_change_fault(random);
        const size_t failed_before = failures.count();
        if (!session.app.arm_sdk_faults(rule) || !session.announce(next, why)) {
            run.fault(why.empty() ? "cannot arm " + rule : why);
            break;
        }
        if (!wait_until([&] { return failures.count() > failed_before; }, kMessageTimeout,
                        milliseconds{10})) {
            run.fault(rule + " did not fail the change");
            break;
        }
        ++failed;
        ++run.result.counts["failed at " + rule.substr(0, rule.find('#'))];
        if (const auto message = client.read_message(0ms)) {
            run.fault(rule + ": a failed change was notified: " + *message);
            break;
        }
        // The next change: the failed one's geometry again (a rebuild when the bring-up had
        // failed) or a third one; never the running one, which a failed first tear-down step
        // leaves whole.
        test::Geometry again = next;
        if (random.chance(0.5)) {
            do {
                again = random.mode_other_than(current);
            } while (same(again, next));
        } else {
            ++rebuilt;
        }
        if (!notified_change(session, client, checker, again, run)) {
            run.result.faults.back() += " (after " + rule + ")";
            break;
        }
        current = again;
        run.step_done(&session);
        std::this_thread::sleep_for(random.pause(config.max_pause));
    }
    run.result.counts["changes failed by an armed fault"] = failed;
    run.result.counts["failed geometry announced again"] = rebuilt;
}

ScenarioResult run_signals(const SoakConfig& config) {
    Run run(config, "signal runs", config.signal_runs, config.signals_bound);
    Random random(config.seed, 4);
    const std::vector<std::string> phases = {
        "start-up",        "serving, no client",          "client connected",
        "during a change", "during a bridge power cycle", "while clients displace each other"};
    std::map<std::string, long> by_phase;
    std::map<int, long> statuses;
    long sigterm = 0, sigint = 0, to_group = 0, recorded_only = 0;
    while (run.more()) {
        Session session(config.service);
        test::Client client, second;
        const size_t phase = static_cast<size_t>(random.between(0, long(phases.size()) - 1));
        const int sig = random.chance(0.5) ? SIGTERM : SIGINT;
        // Ctrl-C in a terminal: SIGINT to the sandbox's whole process group (bubblewrap ignores
        // it, the script passes it on). A SIGTERM to the group would end bubblewrap itself.
        const bool group = sig == SIGINT && random.chance(0.3);
        std::string why;
        bool ready = false;
        if (phase == 0) {
            // From the moment the service catches the stop signals (before that a signal ends
            // any process by its default action) into its start-up.
            ready = session.app.start(session.options()) &&
                    wait_until(
                        [&] {
                            return runs_service(session.app.pid(), config.service) &&
                                   has_signal_handlers(session.app.pid());
                        },
                        kStartTimeout, 1ms);
            if (!ready) {
                why = "the service did not start: " + session.app.error() + session.app.output();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds{random.between(0, 100000)});
            }
        } else {
            ready = session.start(why) && (phase == 1 || session.connect(client, why));
            if (ready) {
                switch (phase) {
                    case 1:
                    case 2:
                        std::this_thread::sleep_for(random.pause(700ms));
                        break;
                    case 3:
                        ready = session.announce(random.mode_other_than({}), why);
                        std::this_thread::sleep_for(random.pause(400ms));
                        break;
                    case 4:
                        ready = session.command({"unknown"}, why);
                        std::this_thread::sleep_for(random.pause(800ms));
                        break;
                    default:
                        ready = second.connect(session.app.socket_path(), kStartTimeout);
                        why = "cannot connect a second client";
                        break;
                }
            }
        }
        if (!ready) {
            run.fault(why);
            (void)session.app.stop();
            break;
        }
        std::error_code error;
        const bool socket_existed = std::filesystem::exists(session.app.socket_path(), error);
        const bool sent = group ? session.app.signal_sandbox(sig) : session.app.send_signal(sig);
        if (!sent) {
            run.fault("cannot send the signal");
            break;
        }
        std::optional<int> status = session.app.wait_exit(kFirstSignalWait);
        if (!status && !socket_existed) {
            // The signal came before the final stop handler was installed: the service only
            // records it and goes on starting. A second one must stop it.
            ++recorded_only;
            (void)session.app.send_signal(sig);
        }
        if (!session.check_ended(why)) {
            run.fault(fmt::format("phase '{}' (signal {}{}): {}", phases[phase], sig,
                                  group ? ", to the group" : "", why));
            (void)session.app.stop();
            break;
        }
        ++statuses[*session.app.wait_exit(0ms)];
        ++by_phase[phases[phase]];
        (sig == SIGTERM ? sigterm : sigint) += 1;
        to_group += group ? 1 : 0;
        run.step_done();
    }
    for (const auto& [name, count] : by_phase) {
        run.result.counts["phase: " + name] = count;
    }
    for (const auto& [status, count] : statuses) {
        run.result.counts[fmt::format("exit status {}", status)] = count;
    }
    run.result.counts["SIGTERM"] = sigterm;
    run.result.counts["SIGINT"] = sigint;
    run.result.counts["sent to the sandbox's process group"] = to_group;
    run.result.counts["first signal before the stop handler (a second one sent)"] = recorded_only;
    return run.finish();
}

// The scenarios against one running service, in the order a run takes them. The connects' slot
// holds one client connection, which may be replaced while a reading is taken.
using Config = SoakConfig;
const ServedScenario kServed[] = {
    // name, count, time bound, random numbers, descriptor slack, SDK faults, loop
    {"changes", &Config::changes, &Config::changes_bound, 1, 0, false, changes_in_a_row},
    {"connects", &Config::connects, &Config::connects_bound, 2, 1, false, connects_while_changing},
    {"storms", &Config::storms, &Config::storms_bound, 3, 0, false, storms_of_bad_input},
    {"faulty", &Config::faulty, &Config::faulty_bound, 5, 0, true, changes_failed_by_sdk_faults},
};

}  // namespace

const std::vector<test::Geometry>& source_modes() {
    return kSourceModes;
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = [] {
        std::vector<Scenario> list;
        for (const ServedScenario& served : kServed) {
            list.push_back({served.name,
                            [&served](const SoakConfig& config) { return serve(config, served); }});
        }
        list.push_back({"signals", run_signals});
        return list;
    }();
    return all;
}

}  // namespace hdgrab::soak
