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
        ASSERT_TRUE(logged("Failed to read Lt6911 status: " + status + ", resetting LT6911"));
        ASSERT_TRUE(logged("Lt6911 power enabled", before / 2 + 1));
        const auto writes = writes_to("power");
        ASSERT_EQ(writes.size(), before + 2);
        EXPECT_EQ(writes[before].value, "0\n");
        EXPECT_EQ(writes[before + 1].value, "1\n");
        // The bridge stays off for the whole pause (a lower bound only).
        EXPECT_GE(writes[before + 1].monotonic_ms - writes[before].monotonic_ms, 490.0);
    }
};

TEST_F(BridgeMonitor, UnknownAndErrorResolutionPowerCycleTheBridge) {
    Client client;
    start_connected(client);
    expect_power_cycle("unknown", "unknown res");
    // The simulated bridge comes back after its power cycle with the same geometry.
    ASSERT_TRUE(logged("Resolution already set to 1920x1080@60, skipping"));
    expect_power_cycle("error", "error res");
    EXPECT_THAT(app.output(), HasSubstr("Lt6911 power disabled"));
    EXPECT_TRUE(wait_state("power_cycles", 2)) << "power cycles not counted: " << state().dump();
}

TEST_F(BridgeMonitor, StableAndDisappearAreOnlyLogged) {
    Client client;
    start_connected(client);
    const size_t calls = trace_calls().size();
    hdmi({"unplug"});
    ASSERT_TRUE(logged("LT6911 status is disappear, waiting..."));
    EXPECT_THAT(app.output(), HasSubstr("LT6911 status changed: stable -> disappear"));
    hdmi({"status", "stable"});
    ASSERT_TRUE(logged("LT6911 status is stable"));
    hdmi({"status", "something else"});
    ASSERT_TRUE(logged("LT6911 status changed: stable -> something else"));
    EXPECT_EQ(trace_calls().size(), calls);
    EXPECT_TRUE(app.driver_log().empty());
    EXPECT_FALSE(client.read_message(300ms));
    // Without recovery.rebuild_on_signal_return the returning signal is only acknowledged.
    hdmi({"replug"});
    ASSERT_TRUE(logged("Resolution already set to 1920x1080@60, skipping"));
    EXPECT_EQ(trace_calls().size(), calls);
}

TEST_F(BridgeMonitor, WithRebuildOnSignalReturnTheSameGeometryRebuildsAfterALoss) {
    ApplianceOptions options = service_options();
    options.config = "[recovery]\nrebuild_on_signal_return = true\n";
    Client client;
    start_connected(client, options);
    // Unplugged and back, then power-cycled and back: each time rebuilt and announced.
    for (const std::string loss : {"unplug", "unknown"}) {
        const size_t calls = trace_calls().size();
        hdmi({loss});
        if (loss == "unplug") {
            ASSERT_TRUE(logged("LT6911 status is disappear, waiting..."));
            hdmi({"replug"});
        }
        ASSERT_TRUE(told_change(client, 1920, 1080, 60)) << loss;
        const auto all = trace_calls();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(calls), all.end()),
                  rebuild_calls())
            << loss;
    }
    EXPECT_EQ(count_output("Signal returned at 1920x1080@60, rebuilding"), 2u) << app.output();
    // Without a loss before it, the same geometry is skipped as ever.
    announce(1920, 1080, 60);
    ASSERT_TRUE(logged("Resolution already set to 1920x1080@60, skipping"));
}

TEST_F(BridgeMonitor, WithoutAClientNothingHappensUntilOneConnects) {
    start();
    ASSERT_TRUE(logged("Waiting for client connection..."));
    announce(1280, 720, 50);
    // Only the status current when the client comes is seen.
    announce(1366, 768, 60);
    std::this_thread::sleep_for(kQuietWait);
    EXPECT_TRUE(app.driver_log().empty());
    EXPECT_THAT(app.output(), Not(HasSubstr("LT6911 detected new resolution")));
    EXPECT_EQ(count_output("Waiting for client connection..."), 1u) << "once per wait";

    Client client;
    connect(client);
    ASSERT_TRUE(told_change(client, 1366, 768, 60));
    EXPECT_EQ(count_output("LT6911 detected new resolution, checking..."), 1u);
}

TEST_F(BridgeMonitor, StatusAtStartIsRecordedButNotActedUpon) {
    ApplianceOptions options = service_options();
    options.initial_status = "unknown res";
    Client client;
    start_connected(client, options);
    std::this_thread::sleep_for(kQuietWait);
    EXPECT_TRUE(app.driver_log().empty());
    // The first change is logged against the recorded start status.
    hdmi({"status", "stable"});
    ASSERT_TRUE(logged("LT6911 status changed: unknown res -> stable"));
}

TEST_F(BridgeMonitor, UnreadableStatusIsReportedAndTheLoopGoesOn) {
    Client client;
    start_connected(client);
    hdmi({"garbage", "status", ""});
    hdmi({"notify"});
    ASSERT_TRUE(logged("Failed to read LT6911 status"));
    hdmi({"restore"});
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
}

}  // namespace
}  // namespace hdgrab::test
