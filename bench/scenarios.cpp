#include "bench/scenarios.h"

#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "sim/driver/control.h"
#include "sim/harness/appliance.h"

namespace hdgrab::bench {

// The /proc sampler of the sandbox harness.
using namespace hdgrab::harness;
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Generous bounds for things that are not measured: the machine may be busy.
constexpr milliseconds kStartTimeout{20000};
constexpr milliseconds kMessageTimeout{5000};
constexpr milliseconds kExitTimeout{10000};
// Polling steps of the start-up detector: short, so the figure is not coarse, but with a
// pause, so the detector does not take the CPU from the service on a small machine.
constexpr std::chrono::microseconds kDetectStep{100};
constexpr milliseconds kStatePollStep{2};
// Moment of the stop request within a resolution change: inside the 200 ms handshake wait.
constexpr milliseconds kDuringChangeDelay{100};

// Inside the sandbox: where the launcher writes the exec time (host: <state>/sandbox/out).
constexpr const char* kStampInside = "/.sandbox/out/exec-stamp";
constexpr const char* kStampName = "exec-stamp";

// The source geometries the changes cycle through; the simulated source starts at 1920x1080@60,
// so every change differs from the one before it.
const test::Geometry kCycle[] = {
    {1280, 720, 50},
    {3840, 2160, 30},
    {1024, 768, 60},
    {1920, 1080, 60},
};
constexpr size_t kCycleLength = sizeof kCycle / sizeof kCycle[0];

double to_ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double now_ms() {
    return to_ms(Clock::now().time_since_epoch());
}

std::string res_change_text(const test::Geometry& geometry) {
    return fmt::format(R"({{"fps":{},"height":{},"type":"res_change","width":{}}})", geometry.fps,
                       geometry.height, geometry.width);
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits until `ready` holds or the time is up, checking every `step`.
template <typename Predicate>
bool wait_until(Predicate ready, milliseconds timeout, milliseconds step = kStatePollStep) {
    const auto deadline = Clock::now() + timeout;
    while (!ready()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

// The status changes the simulated driver publishes, with their CLOCK_MONOTONIC times (the
// driver's standard error, <state>/driver/driver.log: "<ms> status <text> (generation N)").
class DriverTrace {
  public:
    static constexpr std::string_view kAnnouncement = " status new res (generation";

    explicit DriverTrace(std::filesystem::path path) : path_(std::move(path)) {}

    // Time of the newest "new res" published since the previous call.
    std::optional<double> latest_announcement() {
        std::ifstream in(path_);
        in.seekg(offset_);
        std::optional<double> latest;
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) {
                break;  // a line still being written: read it next time
            }
            offset_ += static_cast<std::streamoff>(line.size() + 1);
            const size_t blank = line.find(' ');
            if (blank != std::string::npos &&
                std::string_view(line).substr(blank).starts_with(kAnnouncement)) {
                latest = std::strtod(line.c_str(), nullptr);
            }
        }
        return latest;
    }

  private:
    std::filesystem::path path_;
    std::streamoff offset_ = 0;
};

// One resolution change, CLOCK_MONOTONIC milliseconds.
struct ChangeTiming {
    double announced = 0;  // the driver published "new res"
    double received = 0;   // the client had the whole "res_change"
    double latency() const { return received - announced; }
};

// A connection to a Unix stream socket, or an invalid descriptor.
UniqueFd try_connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return UniqueFd();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd &&
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fd.reset();
    }
    return fd;
}

// One run of the service in the sandbox with the production configuration (defaults: errors
// only, to the log file) and a client that can be connected.
class ServiceRun {
  public:
    explicit ServiceRun(const BenchConfig& config) : config_(config) {}

    test::ApplianceOptions options() const {
        test::ApplianceOptions options;
        options.binary = config_.service;
        options.start_timeout = kStartTimeout;
        return options;
    }

    // Starts the service and waits until its Capture thread serves the socket.
    bool start(const test::ApplianceOptions& options, std::string& why) {
        if (!app.start(options)) {
            why = "start failed: " + app.error();
            return false;
        }
        if (app.pid() <= 0) {
            why = "the service ended at once: " + app.output();
            return false;
        }
        if (!wait_until([&] { return has_wait(app.pid(), WaitKind::capture_wait); },
                        kStartTimeout)) {
            why = "the service never reached its serving loop: " + app.output();
            return false;
        }
        trace_.emplace(app.state_dir() / "driver/driver.log");
        return true;
    }

    // Connects the client and waits until the service holds the connection and the Bridge
    // monitor watches the bridge.
    bool connect(std::string& why) {
        if (!client.connect(app.socket_path(), kStartTimeout)) {
            why = "cannot connect to the control socket";
            return false;
        }
        if (!wait_until([&] { return count_sockets(app.pid()) >= 2; }, kStartTimeout)) {
            why = "the service did not accept the client";
            return false;
        }
        if (!wait_until([&] { return has_wait(app.pid(), WaitKind::status_wait); },
                        kStartTimeout)) {
            why = "the Bridge monitor never waited on the status file";
            return false;
        }
        return true;
    }

    bool command(const std::vector<std::string>& words, std::string& why) const {
        const sim::ControlReply reply =
            sim::send_command((app.state_dir() / "driver/ctl.sock").string(), words);
        if (!reply.ok) {
            why = "driver command failed: " + reply.text;
        }
        return reply.ok;
    }

    bool announce(const test::Geometry& geometry, std::string& why) const {
        return command({"res", std::to_string(geometry.width), std::to_string(geometry.height),
                        std::to_string(geometry.fps)},
                       why);
    }

    // One resolution change: announces `geometry`, waits for its notification and returns the
    // times of the driver's announcement and of the complete message at the client.
    std::optional<ChangeTiming> change(const test::Geometry& geometry, std::string& why) {
        if (!announce(geometry, why)) {
            return std::nullopt;
        }
        const std::optional<std::string> message = client.read_message(kMessageTimeout);
        const double received = now_ms();
        if (!message) {
            why = "no notification within the time-out";
            return std::nullopt;
        }
        const std::string expected = res_change_text(geometry);
        if (*message != expected) {
            why = "unexpected notification " + *message + " instead of " + expected;
            return std::nullopt;
        }
        const std::optional<double> announced = trace_->latest_announcement();
        if (!announced) {
            why = "the driver's trace shows no announcement";
            return std::nullopt;
        }
        return ChangeTiming{*announced, received};
    }

    // Sends SIGTERM and returns the time until the service process has ended; checks the exit
    // status (0) too.
    std::optional<double> timed_stop(std::string& why) {
        const pid_t pid = app.pid();
        UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (!pidfd) {
            why = std::string("pidfd_open: ") + std::strerror(errno);
            return std::nullopt;
        }
        const auto sent = Clock::now();
        if (::kill(pid, SIGTERM) != 0) {
            why = std::string("kill: ") + std::strerror(errno);
            return std::nullopt;
        }
        pollfd item{pidfd.get(), POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&item, 1, static_cast<int>(kExitTimeout.count()));
        } while (ready < 0 && errno == EINTR);
        const auto ended = Clock::now();
        if (ready <= 0) {
            why = "the service did not end";
            return std::nullopt;
        }
        const std::optional<int> status = app.wait_exit(kExitTimeout);
        if (!status || *status != 0) {
            why = fmt::format("exit status {} instead of 0",
                              status ? std::to_string(*status) : std::string("unknown"));
            return std::nullopt;
        }
        return to_ms(ended - sent);
    }

    test::Appliance app;
    test::Client client;

  private:
    const BenchConfig& config_;
    std::optional<DriverTrace> trace_;
};

// A state directory of the bench's own, removed at the end unless the bridge's FUSE mount is
// still there (removing through a mount would reach into the bridge).
class TempStateDir {
  public:
    TempStateDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hdgrab-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data())) {
            path_ = pattern;
        }
    }
    ~TempStateDir() {
        if (path_.empty() || test::is_mounted(path_ / "driver/mnt")) {
            return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempStateDir(const TempStateDir&) = delete;
    TempStateDir& operator=(const TempStateDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

void progress(const BenchConfig& config, const std::string& text) {
    if (config.verbose) {
        std::cerr << "bench: " << text << '\n';
    }
}

// A note for the report, at most once per distinct text.
void note(std::vector<std::string>& notes, const std::string& text) {
    for (const std::string& existing : notes) {
        if (existing == text) {
            return;
        }
    }
    notes.push_back(text);
}

milliseconds random_between(std::mt19937& random, milliseconds low, milliseconds high) {
    std::uniform_int_distribution<int64_t> pick(low.count(), high.count());
    return milliseconds{pick(random)};
}

}  // namespace

ResChangeResult measure_resolution_change(const BenchConfig& config, int changes,
                                          int sdk_delay_us) {
    ResChangeResult result;
    ServiceRun run(config);
    test::ApplianceOptions options = run.options();
    if (sdk_delay_us > 0) {
        options.env["AXSIM_DELAY_US"] = std::to_string(sdk_delay_us);
    }
    std::string why;
    if (!run.start(options, why) || !run.connect(why)) {
        note(result.notes, why);
        return result;
    }
    std::vector<ChangeTiming> timings;
    const pid_t pid = run.app.pid();
    for (int i = 0; i < changes; ++i) {
        const std::optional<CpuSample> cpu_before = sample_cpu(pid);
        const std::optional<ChangeTiming> timing = run.change(kCycle[i % kCycleLength], why);
        if (!timing) {
            note(result.notes, fmt::format("change {}: {}", i + 1, why));
            break;
        }
        const std::optional<CpuSample> cpu_after = sample_cpu(pid);
        result.latency_ms.add(timing->latency());
        timings.push_back(*timing);
        if (cpu_before && cpu_after) {
            result.cpu_ms.add(static_cast<double>(cpu_after->cpu_ns - cpu_before->cpu_ns) / 1e6);
            result.run_delay_ms.add(
                static_cast<double>(cpu_after->run_delay_ns - cpu_before->run_delay_ns) / 1e6);
        }
    }
    // The service's "ok" to the driver splits each change into the part before the handshake
    // wait and the part after it.
    std::vector<double> acknowledgements;
    for (const test::DriverWrite& write : run.app.driver_log()) {
        if (write.file == "status" && write.value == "ok\n") {
            acknowledgements.push_back(write.monotonic_ms);
        }
    }
    if (acknowledgements.size() == timings.size()) {
        for (size_t i = 0; i < timings.size(); ++i) {
            result.to_ack_ms.add(acknowledgements[i] - timings[i].announced);
            result.after_ack_ms.add(timings[i].received - acknowledgements[i]);
        }
    } else {
        note(result.notes, fmt::format("{} acknowledgements for {} changes",
                                       acknowledgements.size(), timings.size()));
    }
    if (!run.timed_stop(why)) {
        note(result.notes, "stop: " + why);
    }
    return result;
}

const char* stop_state_name(StopState state) {
    switch (state) {
        case StopState::idle_no_client:
            return "idle, no client";
        case StopState::idle_client:
            return "idle, client connected";
        case StopState::status_wait:
            return "in the 2 s wait on the status file";
        case StopState::client_poll:
            return "in the wait for a client";
        case StopState::after_res_change:
            return "right after a resolution change";
        case StopState::during_res_change:
            return "during a resolution change (handshake wait)";
    }
    return "?";
}

StopResult measure_stop(const BenchConfig& config, StopState state, std::mt19937& random) {
    StopResult result;
    for (int i = 0; i < config.runs; ++i) {
        progress(config,
                 fmt::format("stop, {}: run {}/{}", stop_state_name(state), i + 1, config.runs));
        ServiceRun run(config);
        std::string why;
        if (!run.start(run.options(), why)) {
            note(result.notes, why);
            continue;
        }
        const pid_t pid = run.app.pid();
        const bool needs_client =
            state != StopState::idle_no_client && state != StopState::client_poll;
        if (needs_client && !run.connect(why)) {
            note(result.notes, why);
            continue;
        }
        switch (state) {
            case StopState::idle_no_client:
            case StopState::idle_client:
                std::this_thread::sleep_for(random_between(random, 500ms, 1500ms));
                break;
            case StopState::status_wait:
                // A notification ends the Bridge monitor's wait; it then waits 2 s anew.
                if (!run.command({"notify"}, why)) {
                    note(result.notes, why);
                }
                std::this_thread::sleep_for(random_between(random, 200ms, 1800ms));
                if (!has_wait(pid, WaitKind::status_wait)) {
                    note(result.notes, "the Bridge monitor was not in its status wait");
                }
                break;
            case StopState::client_poll:
                std::this_thread::sleep_for(random_between(random, 300ms, 1300ms));
                if (!wait_until([&] { return has_wait(pid, WaitKind::client_poll); }, 2000ms,
                                milliseconds{1})) {
                    note(result.notes, "the Bridge monitor was not in its client poll");
                }
                break;
            case StopState::after_res_change:
                if (!run.change(kCycle[0], why)) {
                    note(result.notes, why);
                }
                break;
            case StopState::during_res_change:
                if (!run.announce(kCycle[0], why)) {
                    note(result.notes, why);
                }
                std::this_thread::sleep_for(kDuringChangeDelay);
                break;
        }
        if (const std::optional<double> exit_ms = run.timed_stop(why)) {
            result.exit_ms.add(*exit_ms);
        } else {
            note(result.notes, why);
        }
    }
    return result;
}

StartupResult measure_startup(const BenchConfig& config) {
    StartupResult result;
    // One state directory for all runs, so that only the first one creates the configuration
    // file (with its fsyncs); the others start as the appliance does every day.
    const TempStateDir state;
    if (state.path().empty()) {
        note(result.notes, "cannot create a state directory");
        return result;
    }
    for (int i = 0; i <= config.runs; ++i) {
        const bool first = i == 0;
        progress(config, first ? std::string("start-up: first start (creates the configuration)")
                               : fmt::format("start-up: run {}/{}", i, config.runs));
        ServiceRun run(config);
        test::ApplianceOptions options = run.options();
        options.state_dir = state.path();
        options.binary = config.exec_stamp;
        options.args = {kStampInside, config.service.string()};
        if (!run.app.start_bridge(options)) {
            note(result.notes, "cannot start the bridge: " + run.app.error());
            continue;
        }
        const std::filesystem::path stamp = run.app.out_dir() / kStampName;
        const std::filesystem::path info = run.app.state_dir() / "sandbox/bwrap-info.json";
        const std::string socket = run.app.socket_path().string();
        std::error_code ignored;
        std::filesystem::remove(stamp, ignored);
        std::filesystem::remove(info, ignored);

        // The detector runs beside start(), which returns only once the sandbox script has
        // found the pid (later than the service is ready, perhaps).
        std::atomic<bool> give_up{false};
        std::atomic<bool> done{false};
        std::string failure;
        double exec = 0;
        double listening = 0;
        double accepted = 0;
        std::optional<CpuSample> cpu;
        CpuSample before_exec;  // the launcher's share of the counters
        UniqueFd connection;
        std::thread detector([&] {
            auto step = [&] {
                std::this_thread::sleep_for(kDetectStep);
                return !give_up.load();
            };
            auto finish = [&](const char* why) {
                failure = why;
                done = true;
            };
            std::error_code error;
            while (!std::filesystem::exists(stamp, error)) {
                if (!step()) {
                    return finish("no exec stamp");
                }
            }
            std::istringstream stamp_fields(read_text(stamp));
            double exec_ns = 0;
            stamp_fields >> exec_ns >> before_exec.cpu_ns >> before_exec.run_delay_ns;
            exec = exec_ns / 1e6;
            std::optional<pid_t> pid;
            while (!pid) {
                if (const auto init = json_number(read_text(info), "child-pid")) {
                    pid = first_child(static_cast<pid_t>(*init));
                }
                if (!pid && !step()) {
                    return finish("no pid for the service");
                }
            }
            while (!(connection = try_connect(socket))) {
                if (!step()) {
                    return finish("the control socket never accepted a connection");
                }
            }
            listening = now_ms();
            while (count_sockets(*pid) < 2) {
                if (!step()) {
                    return finish("the service never accepted the connection");
                }
            }
            accepted = now_ms();
            cpu = sample_cpu(*pid);
            done = true;
        });
        const double started = now_ms();
        const bool ok = run.app.start(options) && run.app.pid() > 0;
        if (ok) {
            (void)wait_until([&] { return done.load(); }, kStartTimeout);
        }
        give_up = true;
        detector.join();
        if (!ok) {
            note(result.notes, "start failed: " + run.app.error());
            continue;
        }
        if (accepted <= 0) {
            note(result.notes, failure.empty() ? "start-up not detected" : failure);
        } else if (first) {
            result.first_accept_ms = accepted - exec;
        } else {
            result.sandbox_ms.add(exec - started);
            result.listen_ms.add(listening - exec);
            result.accept_ms.add(accepted - exec);
            if (cpu) {
                result.cpu_ms.add(static_cast<double>(cpu->cpu_ns - before_exec.cpu_ns) / 1e6);
                result.run_delay_ms.add(
                    static_cast<double>(cpu->run_delay_ns - before_exec.run_delay_ns) / 1e6);
            }
        }
        std::string why;
        if (!run.timed_stop(why)) {
            note(result.notes, "stop: " + why);
        }
    }
    return result;
}

IdleResult measure_idle(const BenchConfig& config, bool with_client) {
    IdleResult result;
    ServiceRun run(config);
    std::string why;
    if (!run.start(run.options(), why) || (with_client && !run.connect(why))) {
        note(result.notes, why);
        return result;
    }
    // Let the start-up's own work settle before the window opens.
    std::this_thread::sleep_for(1s);
    const pid_t pid = run.app.pid();
    const std::optional<ProcessSample> first = sample_process(pid);
    const auto opened = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds{config.idle_seconds});
    const std::optional<ProcessSample> last = sample_process(pid);
    const double seconds = to_ms(Clock::now() - opened) / 1000.0;
    if (!first || !last) {
        note(result.notes, "cannot read /proc of the service");
        return result;
    }
    const double per_hour = 3600.0 / seconds;
    result.ok = true;
    result.seconds = seconds;
    result.cpu_s_per_hour = static_cast<double>(last->cpu_ns - first->cpu_ns) / 1e9 * per_hour;
    result.cpu_ticks_s_per_hour = static_cast<double>(last->cpu_ticks - first->cpu_ticks) /
                                  static_cast<double>(ticks_per_second()) * per_hour;
    result.wakeups_per_s =
        static_cast<double>(last->context_switches - first->context_switches) / seconds;
    result.end = *last;
    if (!run.timed_stop(why)) {
        note(result.notes, "stop: " + why);
    }
    return result;
}

EnduranceResult measure_endurance(const BenchConfig& config) {
    EnduranceResult result;
    result.requested = config.endurance;
    ServiceRun run(config);
    std::string why;
    if (!run.start(run.options(), why) || !run.connect(why)) {
        note(result.notes, why);
        return result;
    }
    const pid_t pid = run.app.pid();
    if (const auto sample = sample_process(pid)) {
        result.before = *sample;
    }
    for (int i = 0; i < config.endurance; ++i) {
        if (config.verbose && (i + 1) % 100 == 0) {
            progress(config, fmt::format("endurance: {}/{}", i + 1, config.endurance));
        }
        const std::optional<ChangeTiming> timing = run.change(kCycle[i % kCycleLength], why);
        if (!timing) {
            note(result.notes, fmt::format("change {}: {}", i + 1, why));
            break;
        }
        result.latency_ms.add(timing->latency());
        ++result.delivered;
        if (i + 1 == kWarmupChanges) {
            if (const auto sample = sample_process(pid)) {
                result.warm = *sample;
            }
        }
    }
    if (const auto sample = sample_process(pid)) {
        result.after = *sample;
    }
    if (!run.timed_stop(why)) {
        note(result.notes, "stop: " + why);
    }
    return result;
}

}  // namespace hdgrab::bench
