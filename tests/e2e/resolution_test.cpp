// A new input resolution announced by the bridge: handshake, re-configuration, notification.
#include <gmock/gmock.h>

#include <algorithm>
#include <array>

#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> tail_from(const std::vector<std::string>& calls, size_t mark) {
    return {calls.begin() + static_cast<std::ptrdiff_t>(std::min(mark, calls.size())), calls.end()};
}

class ResolutionChange : public ServiceTest {};

TEST_F(ResolutionChange, NewGeometryIsAcknowledgedAppliedAndSentToTheClient) {
    start();
    Client client;
    connect(client);
    const size_t mark = trace_calls().size();

    hdmi({"res", "1280", "720", "50"});

    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    ASSERT_TRUE(wait_count("LT6911 resolution reset and client notified", 1)) << app.output();

    // The handshake: "ok" written, the driver answered "stable".
    const auto status_writes = writes_to("status");
    ASSERT_EQ(status_writes.size(), 1u);
    EXPECT_EQ(status_writes[0].value, "ok\n");
    EXPECT_EQ(app.bridge_status(), "stable");

    // Tear-down, then bring-up, in their fixed orders and nothing else (pools and media
    // system stay).
    std::vector<std::string> expected = teardown_calls();
    expected.insert(expected.end(), bringup_calls().begin(), bringup_calls().end());
    EXPECT_THAT(tail_from(trace_calls(), mark), ElementsAreArray(expected));
    const auto created = trace_lines("AX_VIN_CreateDev");
    ASSERT_EQ(created.size(), 2u);
    EXPECT_THAT(created[1], HasSubstr("tDevImgRgn[0]=0,0,1280,720"));

    const std::string output = app.output();
    EXPECT_THAT(output, HasSubstr("LT6911 status changed: stable -> new res"));
    EXPECT_THAT(output, HasSubstr("LT6911 detected new resolution, checking..."));
    EXPECT_THAT(output, HasSubstr("LT6911 resolution changed to 1280x720, fps:50"));
    // Nothing else arrives.
    EXPECT_FALSE(client.read_message(300ms));
}

TEST_F(ResolutionChange, SeveralChangesArriveInOrderBackToBack) {
    start();
    Client client;
    connect(client);
    const std::vector<std::array<int, 3>> modes{{3840, 2160, 30}, {1366, 768, 60}, {1024, 768, 75}};
    size_t done = 0;
    for (const auto& mode : modes) {
        hdmi({"res", std::to_string(mode[0]), std::to_string(mode[1]), std::to_string(mode[2])});
        ASSERT_TRUE(wait_count("LT6911 resolution reset and client notified", ++done))
            << app.output();
    }
    for (const auto& mode : modes) {
        const auto message = client.read_message(kEventWait);
        ASSERT_TRUE(message);
        EXPECT_EQ(*message, res_change_text(mode[0], mode[1], mode[2]));
    }
}

TEST_F(ResolutionChange, SameGeometryDoesTheHandshakeButNothingElse) {
    ApplianceOptions options = service_options();
    options.source = {1280, 720, 50};
    start(options);
    Client client;
    connect(client);
    const size_t mark = trace_calls().size();

    hdmi({"res", "1280", "720", "50"});

    ASSERT_TRUE(wait_count("Resolution already set to 1280x720@50, skipping", 1)) << app.output();
    const auto status_writes = writes_to("status");
    ASSERT_EQ(status_writes.size(), 1u);
    EXPECT_EQ(status_writes[0].value, "ok\n");
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty());
    EXPECT_FALSE(client.read_message(kQuietWait));
}

TEST_F(ResolutionChange, UnreadableOrNonPositiveGeometryGetsNoHandshake) {
    start();
    Client client;
    connect(client);

    hdmi({"garbage", "width", "abc\n"});
    hdmi({"status", "new res"});
    ASSERT_TRUE(wait_count("Failed to read LT6911 resolution: 0x1080@60", 1)) << app.output();

    hdmi({"garbage", "width", "-5\n"});
    hdmi({"status", "new res"});
    ASSERT_TRUE(wait_count("Failed to read LT6911 resolution: -5x1080@60", 1)) << app.output();

    hdmi({"restore"});
    hdmi({"garbage", "fps", "0\n"});
    hdmi({"status", "new res"});
    ASSERT_TRUE(wait_count("Failed to read LT6911 resolution: 1920x1080@0", 1)) << app.output();

    EXPECT_TRUE(writes_to("status").empty());
    EXPECT_THAT(app.output(), Not(HasSubstr("LT6911 resolution changed to")));
    EXPECT_FALSE(client.read_message(300ms));
}

TEST_F(ResolutionChange, StatusNotStableAfterTheHandshakeStopsTheChange) {
    start();
    Client client;
    connect(client);
    const size_t mark = trace_calls().size();

    hdmi({"handshake", "off"});
    hdmi({"res", "1280", "720", "50"});

    ASSERT_TRUE(wait_count("LT6911 status is not stable after resolution change: new res", 1))
        << app.output();
    EXPECT_EQ(writes_to("status").size(), 1u);
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty());
    EXPECT_FALSE(client.read_message(300ms));
}

TEST_F(ResolutionChange, FailedTearDownKeepsTheOldGeometryAndTheSameOneRebuilds) {
    ApplianceOptions options = service_options();
    // The first StopGrp is the Bridge monitor's tear-down; the Capture thread's comes at stop.
    options.env["AXSIM_FAIL"] = "AX_IVPS_StopGrp#1";
    start(options);
    Client client;
    connect(client);

    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("axera deinit failed", 1)) << app.output();
    EXPECT_THAT(app.output(), HasSubstr("AX_IVPS_StopGrp failed, ret=0x"));
    EXPECT_FALSE(client.read_message(300ms));
    EXPECT_TRUE(trace_lines("AX_VIN_DestroyDev").empty());

    // The recorded geometry is still the old one, but the pipeline is not whole: what is left
    // is taken down and the whole pipeline built again.
    const size_t mark = trace_calls().size();
    hdmi({"res", "1920", "1080", "60"});
    ASSERT_TRUE(wait_count("Pipeline incomplete at 1920x1080@60, rebuilding", 1)) << app.output();
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1920, 1080, 60));
    EXPECT_THAT(app.output(), Not(HasSubstr("Resolution already set")));
    const auto rebuilt = tail_from(trace_calls(), mark);
    // The link is gone already; the group was not stopped: StopGrp first.
    ASSERT_FALSE(rebuilt.empty());
    EXPECT_EQ(rebuilt.front(), "AX_IVPS_StopGrp");
    EXPECT_EQ(std::count(rebuilt.begin(), rebuilt.end(), "AX_SYS_UnLink"), 0);
    EXPECT_EQ(rebuilt.back(), "AX_SYS_Link");
}

TEST_F(ResolutionChange, FailedBringUpRecordsTheNewGeometryAndTheSameOneRebuilds) {
    ApplianceOptions options = service_options();
    // The first AX_IVPS_Init is the Capture thread's bring-up, the second the re-configuration.
    options.env["AXSIM_FAIL"] = "AX_IVPS_Init#2";
    start(options);
    Client client;
    connect(client);

    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("axera init failed", 1)) << app.output();
    EXPECT_THAT(app.output(), HasSubstr("AX_IVPS_Init failed, ret=0x"));
    EXPECT_FALSE(client.read_message(300ms));

    // The same geometry again rebuilds the pipeline it did not finish.
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("Pipeline incomplete at 1280x720@50, rebuilding", 1)) << app.output();
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    const auto calls = trace_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_IVPS_Init"), 3);
}

}  // namespace
}  // namespace hdgrab::test
