// The service-manager notifications, the keep-alive rule and the state file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/liveness.h"
#include "base/waits.h"
#include "health/health_reporter.h"
#include "health/service_health.h"
#include "health/service_notifier.h"
#include "health/state_file.h"
#include "tests/ipc/ipc_test_support.h"

namespace hdgrab::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// A datagram socket standing in for the service manager's.
class ManagerSocket {
  public:
    explicit ManagerSocket(const NotifyAddress& address)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        bound_ = fd_ && ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address.address),
                               address.length) == 0;
    }
    bool bound() const { return bound_; }

    // The next datagram, or nothing within `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout) {
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<size_t>(n));
    }

  private:
    UniqueFd fd_;
    bool bound_ = false;
};

EnvironmentLookup environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    };
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(ServiceNotifier, ReachesAPathAndAnAbstractNameAndRefusesOtherAddresses) {
    TempDir dir;
    CapturedLog log;
    const std::string path = (dir.path() / "notify").string();
    const std::string abstract = "@hdgrab-test-" + std::to_string(::getpid());
    for (const std::string& value : {path, abstract}) {
        const auto address = notify_address(value);
        ASSERT_TRUE(address) << value;
        ManagerSocket manager(*address);
        ASSERT_TRUE(manager.bound()) << value;
        auto notifier = ServiceNotifier::from_environment(environment({{"NOTIFY_SOCKET", value}}),
                                                          log.logger());
        ASSERT_TRUE(notifier) << value;
        EXPECT_TRUE(notifier->send("READY=1\nSTATUS=up"));
        EXPECT_EQ(manager.receive(1s), "READY=1\nSTATUS=up") << value;
    }
    for (const char* value : {"", "relative/notify", "@", "vsock:2:1234"}) {
        EXPECT_FALSE(notify_address(value)) << value;
    }
    EXPECT_FALSE(notify_address("/" + std::string(200, 'x')));
    // Unset: no notifier and no message; a bad value: none either, and a warning.
    EXPECT_FALSE(ServiceNotifier::from_environment(environment({}), log.logger()));
    EXPECT_EQ(log.text(), "");
    EXPECT_FALSE(
        ServiceNotifier::from_environment(environment({{"NOTIFY_SOCKET", "x"}}), log.logger()));
    EXPECT_THAT(log.text(), HasSubstr("Ignoring NOTIFY_SOCKET=x"));
}

TEST(ServiceNotifier, AFailingSendIsLoggedOncePerRun) {
    TempDir dir;
    CapturedLog log;
    const std::string path = (dir.path() / "gone").string();
    auto notifier =
        ServiceNotifier::from_environment(environment({{"NOTIFY_SOCKET", path}}), log.logger());
    ASSERT_TRUE(notifier);
    EXPECT_FALSE(notifier->send("WATCHDOG=1"));
    EXPECT_FALSE(notifier->send("WATCHDOG=1"));
    EXPECT_EQ(occurrences(log.text(), "Failed to notify the service manager"), 1u);
}

TEST(WatchdogInterval, FollowsWatchdogUsecAndWatchdogPid) {
    const pid_t self = 4242;
    struct Case {
        std::map<std::string, std::string> env;
        std::optional<std::chrono::microseconds> expected;
    };
    const std::vector<Case> cases{
        {{}, std::nullopt},
        {{{"WATCHDOG_USEC", "30000000"}}, 30s},
        {{{"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "4242"}}, 30s},
        {{{"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "4243"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "x"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "0"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "-5"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "12s"}}, std::nullopt},
        {{{"WATCHDOG_PID", "4242"}}, std::nullopt},
        // Unsigned 64-bit: no wrap to a negative interval; beyond what the clock holds: none.
        {{{"WATCHDOG_USEC", "18446744073709551615"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "9223372036854776"}}, std::nullopt},
        {{{"WATCHDOG_USEC", "4294967296000"}}, 4294967296000us},
    };
    CapturedLog log;
    for (const Case& c : cases) {
        EXPECT_EQ(watchdog_interval(environment(c.env), self, log.logger()), c.expected)
            << ::testing::PrintToString(c.env);
    }
    EXPECT_EQ(occurrences(log.text(), "Ignoring WATCHDOG_USEC="), 2u) << log.text();
    // The keep-alive sender's waits: never zero or negative, never beyond what poll takes.
    EXPECT_EQ(keep_alive_period(1us), 10ms);
    EXPECT_EQ(poll_timeout_ms(keep_alive_period(4294967296000us)), INT_MAX);
    EXPECT_EQ(poll_timeout_ms(-1ns), 0);
    EXPECT_EQ(poll_timeout_ms(1ns), 1);
}

TEST(StateFile, HoldsEveryMemberAndIsReplacedAtomicallyWithMode0644) {
    TempDir dir;
    CapturedLog log;
    const std::filesystem::path path = dir.path() / "vin_state.json";
    StateFile file(path.string(), log.logger());
    ServiceState state;
    state.bridge = "stable";
    state.input = InputState::kUnsupported;
    state.pipeline = PipelineHealth::kIncomplete;
    state.width = 1280;
    state.height = 720;
    state.fps = 50;
    state.client = true;
    state.changes = 3;
    state.failed_changes = 2;
    state.power_cycles = 1;
    state.last_error = "AX_VIN_CreateDev ret=0x800F00A1";
    state.last_change_ms = 412;
    state.since = std::chrono::system_clock::now();

    const mode_t mask = ::umask(077);
    EXPECT_TRUE(file.write(state_json(state, 77, "abc - clean - now")));
    ::umask(mask);

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Replaced, not rewritten: a reader that opened the file before still reads the old text
    // whole, and the new one stands whole under the name, as another file.
    const std::string first = read_text(path);
    std::ifstream reader(path);
    ASSERT_TRUE(file.write("{\"pid\":78}"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), first)
        << "the state file was written in place";
    struct stat replaced {};
    ASSERT_EQ(::stat(path.c_str(), &replaced), 0);
    EXPECT_NE(replaced.st_ino, st.st_ino) << "the state file was written in place";
    EXPECT_EQ(read_text(path), "{\"pid\":78}");
    ASSERT_TRUE(file.write(first));
    // Only the file itself is left in the directory: no temporary file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
    const std::string text = read_text(path);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json.size(), 15u) << text;
    EXPECT_EQ(json["last_error"], "AX_VIN_CreateDev ret=0x800F00A1");
    EXPECT_EQ(json["last_change_ms"], 412);
    EXPECT_EQ(json["bridge"], "stable");
    EXPECT_EQ(json["input"], "unsupported");
    EXPECT_EQ(json["pipeline"], "incomplete");
    EXPECT_EQ(json["width"], 1280);
    EXPECT_EQ(json["height"], 720);
    EXPECT_EQ(json["fps"], 50);
    EXPECT_EQ(json["client"], true);
    EXPECT_EQ(json["changes"], 3);
    EXPECT_EQ(json["failed_changes"], 2);
    EXPECT_EQ(json["power_cycles"], 1);
    EXPECT_EQ(json["pid"], 77);
    EXPECT_EQ(json["version"], "abc - clean - now");
    EXPECT_THAT(
        json["since"].get<std::string>(),
        MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}"));

    file.remove();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(StateFile, AFailedWriteIsLoggedOnceUntilAWriteSucceeds) {
    TempDir dir;
    CapturedLog log;
    StateFile file((dir.path() / "missing/vin_state.json").string(), log.logger());
    EXPECT_FALSE(file.write("{}"));
    EXPECT_FALSE(file.write("{}"));
    EXPECT_EQ(occurrences(log.text(), "Failed to write the state file"), 1u);
    std::filesystem::create_directory(dir.path() / "missing");
    EXPECT_TRUE(file.write("{}"));
    std::filesystem::remove_all(dir.path() / "missing");
    EXPECT_FALSE(file.write("{}"));
    EXPECT_EQ(occurrences(log.text(), "Failed to write the state file"), 2u);
}

TEST(StatusLine, TellsTheStateInOneShortLine) {
    HealthView view;
    view.state.width = 1920;
    view.state.height = 1080;
    view.state.fps = 60;
    EXPECT_EQ(status_line(view), "Bringing the pipeline up at 1920x1080@60");
    view.activity = PipelineActivity::kSettled;
    view.state.pipeline = PipelineHealth::kUp;
    EXPECT_EQ(status_line(view), "Serving 1920x1080@60, no client");
    view.state.client = true;
    EXPECT_EQ(status_line(view), "Serving 1920x1080@60, client connected");
    view.state.bridge = "disappear";
    EXPECT_EQ(status_line(view), "No input from the bridge (disappear)");
    view.state.bridge = "unknown res";
    EXPECT_EQ(status_line(view), "No usable timing from the bridge (unknown res)");
    view.state.bridge = "stable";
    view.activity = PipelineActivity::kReconfiguring;
    view.target_width = 1280;
    view.target_height = 720;
    view.target_fps = 50;
    EXPECT_EQ(status_line(view), "Re-configuring to 1280x720@50");
    view.activity = PipelineActivity::kSettled;
    view.state.pipeline = PipelineHealth::kIncomplete;
    view.state.width = 1280;
    view.state.height = 720;
    view.state.fps = 50;
    EXPECT_EQ(status_line(view), "Pipeline incomplete at 1280x720@50");
    view.retry_in = 4s;
    EXPECT_EQ(status_line(view), "Pipeline incomplete at 1280x720@50, retrying in 4 s");
    view.stopping = true;
    EXPECT_EQ(status_line(view), "Stopping");
}

// The reporter of a service under a manager that asks for keep-alives every 40 ms.
class Reporter : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string socket = (dir.path() / "notify").string();
        manager = std::make_unique<ManagerSocket>(*notify_address(socket));
        ASSERT_TRUE(manager->bound());
        HealthSettings settings;
        settings.state_path = state_path.string();
        settings.version = "v";
        settings.pid = 1234;
        settings.notifier = ServiceNotifier::from_environment(
            environment({{"NOTIFY_SOCKET", socket}}), log.logger());
        settings.watchdog = 40ms;
        reporter = std::make_unique<HealthReporter>(std::move(settings), log.logger());
        ASSERT_TRUE(reporter->start(1920, 1080, 60));
    }
    void TearDown() override { reporter->stop(); }

    // The next datagram other than a keep-alive.
    std::optional<std::string> next_status() {
        for (;;) {
            auto message = manager->receive(5s);
            if (!message || *message != "WATCHDOG=1") {
                return message;
            }
        }
    }
    // Answers the probes the way the workers' waits do, until `answering` is cleared; the
    // Capture thread's probe only while `capture_answers` is set.
    void answer_probes() {
        while (answering.load()) {
            if (capture_answers.load()) {
                reporter->probe(Worker::kCapture)->answer();
            }
            reporter->probe(Worker::kMonitor)->answer();
            std::this_thread::sleep_for(5ms);
        }
    }
    // True when a keep-alive arrives within `timeout`.
    bool keep_alive_within(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (manager->receive(5ms) == "WATCHDOG=1") {
                return true;
            }
        }
        return false;
    }
    size_t keep_alives_within(std::chrono::milliseconds duration) {
        size_t count = 0;
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            if (manager->receive(5ms) == "WATCHDOG=1") {
                ++count;
            }
        }
        return count;
    }

    std::atomic<bool> answering{true};
    std::atomic<bool> capture_answers{true};
    TempDir dir;
    CapturedLog log;
    std::filesystem::path state_path = dir.path() / "vin_state.json";
    std::unique_ptr<ManagerSocket> manager;
    std::unique_ptr<HealthReporter> reporter;
};

TEST_F(Reporter, SendsReadyOnceWithTheStatusLinesInOrderAndStopping) {
    EXPECT_EQ(next_status(), "STATUS=Bringing the pipeline up at 1920x1080@60");
    service_health().serving();
    EXPECT_EQ(next_status(), "READY=1\nSTATUS=Serving 1920x1080@60, no client");
    service_health().client_changed(true);
    service_health().reconfiguring(1280, 720, 50);
    service_health().geometry_recorded(1280, 720, 50);
    service_health().change_succeeded();
    EXPECT_EQ(next_status(), "STATUS=Serving 1920x1080@60, client connected");
    EXPECT_EQ(next_status(), "STATUS=Re-configuring to 1280x720@50");
    EXPECT_EQ(next_status(), "STATUS=Serving 1280x720@50, client connected");
    service_health().serving();
    service_health().stopping();
    EXPECT_EQ(next_status(), "STOPPING=1\nSTATUS=Stopping");
    service_health().publish();

    const auto json = nlohmann::json::parse(read_text(state_path));
    EXPECT_EQ(json["pipeline"], "up");
    EXPECT_EQ(json["width"], 1280);
    EXPECT_EQ(json["changes"], 1);
    EXPECT_EQ(json["pid"], 1234);
    reporter->stop();
    reporter->remove_state_file();
    EXPECT_FALSE(std::filesystem::exists(state_path));
}

TEST_F(Reporter, KeepAlivesGoOutOnlyWhileBothWorkersAnswer) {
    // Nobody answers: not one keep-alive, however long.
    EXPECT_EQ(keep_alives_within(300ms), 0u);
    std::thread worker([this] { answer_probes(); });
    // Both answer: keep-alives.
    EXPECT_TRUE(keep_alive_within(5s));
    // One worker stuck: at most the keep-alive for its last answer still goes out.
    capture_answers.store(false);
    EXPECT_LE(keep_alives_within(400ms), 1u);
    capture_answers.store(true);
    EXPECT_TRUE(keep_alive_within(5s));
    // A worker that ended never answers again, whatever it does.
    reporter->probe(Worker::kCapture)->mark_ended();
    EXPECT_LE(keep_alives_within(400ms), 1u);
    answering.store(false);
    worker.join();
}

TEST(ReporterWithoutManager, WritesTheStateFileWithoutProbesOrThread) {
    TempDir dir;
    CapturedLog log;
    HealthSettings settings;
    settings.state_path = (dir.path() / "vin_state.json").string();
    // WATCHDOG_USEC without NOTIFY_SOCKET: nobody to send keep-alives to.
    settings.watchdog = 40ms;
    HealthReporter reporter(std::move(settings), log.logger());
    EXPECT_EQ(reporter.probe(Worker::kCapture), nullptr);
    EXPECT_EQ(reporter.probe(Worker::kMonitor), nullptr);
    ASSERT_TRUE(reporter.start(800, 600, 30));
    EXPECT_EQ(nlohmann::json::parse(read_text(dir.path() / "vin_state.json"))["pipeline"], "down");
    service_health().serving();
    service_health().publish();
    reporter.stop();
    EXPECT_EQ(nlohmann::json::parse(read_text(dir.path() / "vin_state.json"))["pipeline"], "up");
    EXPECT_EQ(log.text(), "");
}

TEST(ReporterWithoutManager, AFailedWriteOrNotificationIsTriedAgainUntilItGoesOut) {
    TempDir dir;
    CapturedLog log;
    const std::string socket = (dir.path() / "notify").string();
    const std::filesystem::path run = dir.path() / "run";
    std::filesystem::create_directory(run);
    HealthSettings settings;
    settings.state_path = (run / "vin_state.json").string();
    // The manager's socket is not there yet.
    settings.notifier =
        ServiceNotifier::from_environment(environment({{"NOTIFY_SOCKET", socket}}), log.logger());
    HealthReporter reporter(std::move(settings), log.logger());
    ASSERT_TRUE(reporter.start(800, 600, 30));
    service_health().serving();
    service_health().publish();
    ManagerSocket manager(*notify_address(socket));
    ASSERT_TRUE(manager.bound());
    // No change since: the next publish() alone repeats READY=1.
    service_health().publish();
    EXPECT_EQ(manager.receive(1s), "READY=1\nSTATUS=Serving 800x600@30, no client");
    EXPECT_FALSE(service_health().publish_due()) << "a wake-up after success";
    // The state file's folder goes: the change's write fails and is made by a later publish().
    std::filesystem::remove_all(run);
    service_health().client_changed(true);
    service_health().publish();
    EXPECT_TRUE(service_health().publish_due()) << "the failed write is not to be tried again";
    std::filesystem::create_directory(run);
    service_health().publish();
    EXPECT_EQ(nlohmann::json::parse(read_text(run / "vin_state.json"))["client"], true);
    reporter.stop();
}

}  // namespace
}  // namespace hdgrab::test
