// What the service tells a service manager and a reader of its state file.
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::Contains;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

// Inside the sandbox: where the stand-in service manager listens.
constexpr const char* kNotifySocket = "/.sandbox/out/notify.sock";
// The readiness that the service reports at its start with the bridge's first geometry.
constexpr const char* kReadyAtStart = "READY=1\nSTATUS=Serving 1920x1080@60, no client";

// A datagram socket standing in for the service manager's; a thread keeps every datagram with
// the time it arrived.
class ManagerSocket {
  public:
    struct Datagram {
        Clock::time_point at;
        std::string text;
    };

    ~ManagerSocket() {
        running_.store(false);
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    bool bind(const std::filesystem::path& path) {
        fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (!fd_ ||
            ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return false;
        }
        reader_ = std::thread([this] { read_all(); });
        return true;
    }

    std::vector<Datagram> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> texts;
        for (const Datagram& datagram : received()) {
            texts.push_back(datagram.text);
        }
        return texts;
    }
    // Waits until `text` arrived `times` times.
    bool wait_for(const std::string& text, size_t times = 1,
                  std::chrono::milliseconds timeout = kEventWait) const {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto all = texts();
            if (static_cast<size_t>(std::count(all.begin(), all.end(), text)) >= times) {
                return true;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
    }

  private:
    void read_all() {
        while (running_.load()) {
            pollfd pfd{fd_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                received_.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(n))});
            }
        }
    }

    UniqueFd fd_;
    std::atomic<bool> running_{true};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<Datagram> received_;
};

class Health : public ServiceTest {
  protected:
    // Starts the service with NOTIFY_SOCKET naming the stand-in manager's socket.
    void start_managed(ApplianceOptions options) {
        options.env["NOTIFY_SOCKET"] = kNotifySocket;
        ASSERT_TRUE(app.start_bridge(options)) << app.error();
        ASSERT_TRUE(manager.bind(app.out_dir() / "notify.sock"));
        start(options);
    }
    void start_managed() { start_managed(service_options()); }
    // The same, and connects `client`.
    void start_managed_connected(Client& client, const ApplianceOptions& options) {
        ASSERT_NO_FATAL_FAILURE(start_managed(options));
        connect(client);
    }

    // When each keep-alive arrived, in order.
    std::vector<Clock::time_point> keep_alive_times() const {
        std::vector<Clock::time_point> times;
        for (const auto& datagram : manager.received()) {
            if (datagram.text == "WATCHDOG=1") {
                times.push_back(datagram.at);
            }
        }
        return times;
    }

    void expect_orderly_stop() {
        ASSERT_TRUE(app.send_signal(SIGTERM));
        const auto status = app.wait_exit(kExitWait);
        ASSERT_TRUE(status) << app.output();
        EXPECT_EQ(*status, 0) << app.output();
        EXPECT_TRUE(manager.wait_for("STOPPING=1\nSTATUS=Stopping")) << app.output();
        EXPECT_FALSE(std::filesystem::exists(state_file()));
    }

    ManagerSocket manager;
};

TEST_F(Health, ReadinessStatusLinesStateFileAndStopFollowTheService) {
    start_managed();
    ASSERT_TRUE(manager.wait_for(kReadyAtStart, 1, kStartWait)) << app.output();
    // Ready only once the whole pipeline is up, and after the bring-up was announced.
    EXPECT_THAT(trace_calls(), Contains("AX_SYS_Link"));
    EXPECT_EQ(manager.texts().front(), "STATUS=Bringing the pipeline up at 1920x1080@60");
    ASSERT_TRUE(wait_state("pipeline", "up")) << state().dump();
    // The Bridge monitor reads the bridge's first status beside the bring-up.
    ASSERT_TRUE(wait_state("bridge", "stable")) << state().dump();
    const nlohmann::json first = state();
    EXPECT_EQ(first["width"], 1920);
    EXPECT_EQ(first["height"], 1080);
    EXPECT_EQ(first["fps"], 60);
    EXPECT_EQ(first["client"], false);
    EXPECT_EQ(first["changes"], 0);
    EXPECT_GT(first["pid"].get<int>(), 0);
    EXPECT_FALSE(first["version"].get<std::string>().empty());

    Client client;
    connect(client);
    EXPECT_TRUE(manager.wait_for("STATUS=Serving 1920x1080@60, client connected"));
    EXPECT_TRUE(wait_state("client", true));

    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    ASSERT_TRUE(manager.wait_for("STATUS=Serving 1280x720@50, client connected")) << app.output();
    const auto texts = manager.texts();
    const auto reconfiguring =
        std::find(texts.begin(), texts.end(), "STATUS=Re-configuring to 1280x720@50");
    ASSERT_NE(reconfiguring, texts.end());
    EXPECT_EQ(*std::next(reconfiguring), "STATUS=Serving 1280x720@50, client connected");
    EXPECT_TRUE(wait_state("changes", 1));
    EXPECT_EQ(state()["width"], 1280);
    EXPECT_EQ(state()["pipeline"], "up");

    hdmi({"unplug"});
    EXPECT_TRUE(manager.wait_for("STATUS=No input from the bridge (disappear)")) << app.output();
    EXPECT_TRUE(wait_state("bridge", "disappear"));

    expect_orderly_stop();
    // Nobody asked for keep-alives.
    EXPECT_THAT(manager.texts(), Not(Contains("WATCHDOG=1")));
}

TEST_F(Health, AFailedChangeAndItsRepairShowInStatusAndStateFile) {
    // The first AX_IVPS_Init is the Capture thread's bring-up, the second the re-configuration;
    // the retry a second later succeeds.
    ApplianceOptions options = service_options({{"AXSIM_FAIL", "AX_IVPS_Init#2"}});
    options.config = "[recovery]\nretry = true\n";
    Client client;
    start_managed_connected(client, options);
    announce(1280, 720, 50);
    EXPECT_TRUE(manager.wait_for("STATUS=Pipeline incomplete at 1280x720@50, retrying in 1 s"))
        << app.output();
    EXPECT_TRUE(manager.wait_for("STATUS=Serving 1280x720@50, client connected")) << app.output();
    EXPECT_TRUE(wait_state("changes", 1)) << state().dump();
    EXPECT_EQ(state()["failed_changes"], 1);
    EXPECT_EQ(state()["pipeline"], "up");
    expect_orderly_stop();
}

// SIGHUP: the settings change under the running service; pipeline, client and bridge stay.
TEST_F(Health, ReloadAppliesTheFileWithoutTouchingPipelineOrClient) {
    ApplianceOptions options = service_options();
    options.args.clear();
    options.config = "[log]\nlevel = \"error\"\ntype = \"console\"\n";
    start_managed(options);
    ASSERT_TRUE(manager.wait_for(kReadyAtStart, 1, kStartWait)) << app.output();
    Client client;
    ASSERT_TRUE(client.connect(app.socket_path(), kStartWait));
    ASSERT_TRUE(wait_state("client", true));
    const size_t calls = trace_calls().size();
    const auto reload = [&](const std::string& text, size_t ready_count) {
        std::ofstream(app.config_path(), std::ios::trunc) << text;
        ASSERT_TRUE(app.send_signal(SIGHUP));
        ASSERT_TRUE(manager.wait_for("READY=1", ready_count)) << app.output();
    };

    reload("[log]\nlevel = \"debug\"\ntype = \"console\"\n", 1);
    const auto texts = manager.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_THAT(texts[texts.size() - 2], ::testing::StartsWith("RELOADING=1\nMONOTONIC_USEC="));
    EXPECT_EQ(count_output("Configuration reloaded: log.level error -> debug"), 1u) << app.output();
    hdmi({"unplug"});
    EXPECT_TRUE(logged("LT6911 status is disappear, waiting..."));

    reload("[log\nlevel = \"error\"\n", 2);
    EXPECT_EQ(count_output("Failed to reload configuration file /etc/kvm/hdgrab.toml: not valid "
                           "TOML"),
              1u)
        << app.output();
    reload("[log]\nlevel = 5\ntype = \"file\"\nfile = \"/usr/hd.log\"\n", 3);
    EXPECT_TRUE(logged("Configuration key log.level is not a string; keeping debug"));
    // The new file cannot be opened: the console stays, and says so.
    EXPECT_TRUE(logged("Failed to switch the log output: "));
    EXPECT_TRUE(logged("Configuration reloaded: nothing changed"));

    EXPECT_EQ(trace_calls().size(), calls) << "an SDK call during a reload";
    EXPECT_FALSE(client.wait_closed(kQuietWait));
    EXPECT_EQ(state()["client"], true);
    expect_orderly_stop();
}

TEST_F(Health, ReloadDoesNotWaitForAnSdkCallInProgress) {
    Client client;
    // The re-configuration's first unlink takes 3 s.
    start_managed_connected(client, service_options({{"AXSIM_STALL", "AX_SYS_UnLink#1=3000"}}));
    announce(1280, 720, 50);
    ASSERT_TRUE(manager.wait_for("STATUS=Re-configuring to 1280x720@50")) << app.output();
    ASSERT_TRUE(app.send_signal(SIGHUP));
    ASSERT_TRUE(manager.wait_for("READY=1")) << app.output();
    EXPECT_EQ(count_output("LT6911 resolution reset and client notified"), 0u) << app.output();
    EXPECT_TRUE(client.read_message(kEventWait)) << app.output();
    expect_orderly_stop();
}

TEST_F(Health, ALateBridgeDriverIsWaitedForWhileTheKeepAlivesGoOn) {
    const ApplianceOptions options =
        service_options({{"WATCHDOG_USEC", "400000"}, {"NOTIFY_SOCKET", kNotifySocket}});
    ASSERT_TRUE(app.start_bridge(options)) << app.error();
    ASSERT_TRUE(manager.bind(app.out_dir() / "notify.sock"));
    hdmi({"hide", "status"});
    start(options);
    const std::string failed = "Failed to open /proc/lt6911_info/status for epoll";
    ASSERT_TRUE(logged(failed));
    EXPECT_TRUE(wait_state("input", "no_driver")) << state().dump();
    ASSERT_TRUE(manager.wait_for("WATCHDOG=1", 5)) << "no keep-alives without the driver\n"
                                                   << app.output();
    hdmi({"show", "status"});
    ASSERT_TRUE(
        wait_count("Bridge status file /proc/lt6911_info/status opened, supervising "
                   "the bridge",
                   1, kEventWait + 10s))
        << app.output();
    EXPECT_TRUE(wait_state("input", "signal")) << state().dump();
    expect_orderly_stop();
}

TEST_F(Health, KeepAlivesStopWhileAnSdkCallHangs) {
    Client client;
    // The first unlink is the re-configuration's tear-down: it takes 3 s, far beyond the
    // 400 ms interval.
    start_managed_connected(client, service_options({{"WATCHDOG_USEC", "400000"},
                                                     {"AXSIM_STALL", "AX_SYS_UnLink#1=3000"}}));
    ASSERT_TRUE(manager.wait_for("WATCHDOG=1", 3)) << app.output();
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    // And they come again once the call returned.
    ASSERT_TRUE(manager.wait_for("WATCHDOG=1", 3 + 3)) << app.output();
    // While the call hung no keep-alive went out for longer than the hang less one interval
    // (at most one more, for the question answered before the call began).
    const auto times = keep_alive_times();
    Clock::duration longest{};
    for (size_t i = 1; i < times.size(); ++i) {
        longest = std::max(longest, times[i] - times[i - 1]);
    }
    EXPECT_GE(longest, 2500ms) << "no keep-alive gap during the hung call";
    expect_orderly_stop();
}

TEST_F(Health, KeepAlivesComeAtHalfTheRequestedInterval) {
    Client client;
    start_managed_connected(client, service_options({{"WATCHDOG_USEC", "400000"}}));
    ASSERT_TRUE(manager.wait_for("WATCHDOG=1", 6)) << app.output();
    const auto times = keep_alive_times();
    // Sent every 200 ms at the earliest; the bound allows for the reader's own delays.
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 100ms) << "keep-alive " << i;
    }
    expect_orderly_stop();
}

}  // namespace
}  // namespace hdgrab::test
