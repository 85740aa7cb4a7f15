// The Bridge monitor's reactions besides a resolution change: resets, waiting for a client.
#include <gmock/gmock.h>

#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class BridgeMonitor : public ServiceTest {
  protected:
    // Announces a timing the bridge cannot use and checks the power cycle that follows.
    void expect_power_cycle(const std::string& command, const std::string& status) {
        const size_t before = writes_to("power").size();
        hdmi({command});
        ASSERT_TRUE(wait_count("Failed to read Lt6911 status: " + status + ", resetting LT6911", 1))
            << app.output();
        ASSERT_TRUE(wait_count("Lt6911 power enabled", before / 2 + 1)) << app.output();
        const auto writes = writes_to("power");
        ASSERT_EQ(writes.size(), before + 2);
        EXPECT_EQ(writes[before].value, "0\n");
        EXPECT_EQ(writes[before + 1].value, "1\n");
        // The bridge stays off for the whole pause (a lower bound only).
        EXPECT_GE(writes[before + 1].monotonic_ms - writes[before].monotonic_ms, 490.0);
    }
};

TEST_F(BridgeMonitor, UnknownAndErrorResolutionPowerCycleTheBridge) {
    start();
    Client client;
    connect(client);
    expect_power_cycle("unknown", "unknown res");
    // The simulated bridge comes back after its power cycle with the same geometry.
    ASSERT_TRUE(wait_count("Resolution already set to 1920x1080@60, skipping", 1)) << app.output();
    expect_power_cycle("error", "error res");
    EXPECT_THAT(app.output(), HasSubstr("Lt6911 power disabled"));
    EXPECT_TRUE(wait_state("power_cycles", 2)) << "power cycles not counted: " << state().dump();
}

TEST_F(BridgeMonitor, StableAndDisappearAreOnlyLogged) {
    start();
    Client client;
    connect(client);
    const size_t calls = trace_calls().size();
    hdmi({"unplug"});
    ASSERT_TRUE(wait_count("LT6911 status is disappear, waiting...", 1)) << app.output();
    EXPECT_THAT(app.output(), HasSubstr("LT6911 status changed: stable -> disappear"));
    hdmi({"status", "stable"});
    ASSERT_TRUE(wait_count("LT6911 status is stable", 1)) << app.output();
    hdmi({"status", "something else"});
    ASSERT_TRUE(wait_count("LT6911 status changed: stable -> something else", 1)) << app.output();
    EXPECT_EQ(trace_calls().size(), calls);
    EXPECT_TRUE(app.driver_log().empty());
    EXPECT_FALSE(client.read_message(300ms));
    // Without recovery.rebuild_on_signal_return the returning signal is only acknowledged.
    hdmi({"replug"});
    ASSERT_TRUE(wait_count("Resolution already set to 1920x1080@60, skipping", 1)) << app.output();
    EXPECT_EQ(trace_calls().size(), calls);
}

TEST_F(BridgeMonitor, WithRebuildOnSignalReturnTheSameGeometryRebuildsAfterALoss) {
    ApplianceOptions options = service_options();
    options.config = "[recovery]\nrebuild_on_signal_return = true\n";
    start(options);
    Client client;
    connect(client);
    std::vector<std::string> rebuild = teardown_calls();
    rebuild.insert(rebuild.end(), bringup_calls().begin(), bringup_calls().end());
    // Unplugged and back, then power-cycled and back: each time rebuilt and announced.
    for (const std::string loss : {"unplug", "unknown"}) {
        const size_t calls = trace_calls().size();
        hdmi({loss});
        if (loss == "unplug") {
            ASSERT_TRUE(wait_count("LT6911 status is disappear, waiting...", 1)) << app.output();
            hdmi({"replug"});
        }
        const auto message = client.read_message(kEventWait);
        ASSERT_TRUE(message) << loss << "\n" << app.output();
        EXPECT_EQ(*message, res_change_text(1920, 1080, 60));
        const auto all = trace_calls();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(calls), all.end()),
                  rebuild)
            << loss;
    }
    EXPECT_EQ(count_output("Signal returned at 1920x1080@60, rebuilding"), 2u) << app.output();
    // Without a loss before it, the same geometry is skipped as ever.
    hdmi({"res", "1920", "1080", "60"});
    ASSERT_TRUE(wait_count("Resolution already set to 1920x1080@60, skipping", 1)) << app.output();
}

TEST_F(BridgeMonitor, WithoutAClientNothingHappensUntilOneConnects) {
    start();
    ASSERT_TRUE(wait_count("Waiting for client connection...", 1)) << app.output();
    hdmi({"res", "1280", "720", "50"});
    // Only the status current when the client comes is seen.
    hdmi({"res", "1366", "768", "60"});
    std::this_thread::sleep_for(kQuietWait);
    EXPECT_TRUE(app.driver_log().empty());
    EXPECT_THAT(app.output(), Not(HasSubstr("LT6911 detected new resolution")));
    EXPECT_EQ(count_output("Waiting for client connection..."), 1u) << "once per wait";

    Client client;
    connect(client);
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1366, 768, 60));
    EXPECT_EQ(count_output("LT6911 detected new resolution, checking..."), 1u);
}

TEST_F(BridgeMonitor, StatusAtStartIsRecordedButNotActedUpon) {
    ApplianceOptions options = service_options();
    options.initial_status = "unknown res";
    start(options);
    Client client;
    connect(client);
    std::this_thread::sleep_for(kQuietWait);
    EXPECT_TRUE(app.driver_log().empty());
    // The first change is logged against the recorded start status.
    hdmi({"status", "stable"});
    ASSERT_TRUE(wait_count("LT6911 status changed: unknown res -> stable", 1)) << app.output();
}

TEST_F(BridgeMonitor, UnreadableStatusIsReportedAndTheLoopGoesOn) {
    start();
    Client client;
    connect(client);
    hdmi({"garbage", "status", ""});
    hdmi({"notify"});
    ASSERT_TRUE(wait_count("Failed to read LT6911 status", 1)) << app.output();
    hdmi({"restore"});
    hdmi({"res", "1280", "720", "50"});
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
}

}  // namespace
}  // namespace hdgrab::test
