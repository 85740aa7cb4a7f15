// A new input resolution announced by the bridge: handshake, re-configuration, notification.
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <iostream>

#include "sim/harness/proc_sample.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/temp_dir.h"

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

// The unchanged service against another build of the SDK libraries, made from the list of calls
// alone: it starts, serves a client, follows a change and stops cleanly. Nothing of the
// substitute (its checks, its trace) is there to lean on.
TEST_F(ResolutionChange, TheServiceRunsAgainstAnotherBuildOfTheSdkLibraries) {
    ApplianceOptions options;
    options.args = {"-d"};
    options.sandbox_options = {"--sdk", HDGRAB_TEST_MINIMAL_SDK_DIR};
    start(options);
    Client client;
    connect(client);
    const std::string maps = read_text("/proc/" + std::to_string(app.pid()) + "/maps");
    for (const char* library :
         {"libax_sys.so", "libax_mipi.so", "libax_ivps.so", "libax_proton.so"}) {
        EXPECT_NE(maps.find(std::string(HDGRAB_TEST_MINIMAL_SDK_DIR) + "/" + library),
                  std::string::npos)
            << library << " is not the minimal one";
    }
    EXPECT_EQ(maps.find("sim/lib/"), std::string::npos) << "the substitute was loaded";

    hdmi({"res", "1280", "720", "50"});

    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    EXPECT_FALSE(client.read_message(300ms));
    EXPECT_EQ(app.stop(kExitWait), 0) << app.output();
    EXPECT_FALSE(std::filesystem::exists(app.socket_path()));
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

TEST_F(ResolutionChange, AGeometryBeyondThePoolsIsRefusedBeforeTheTearDown) {
    start();
    Client client;
    connect(client);
    const size_t mark = trace_calls().size();
    hdmi({"res", "7680", "4320", "60"});
    ASSERT_TRUE(
        wait_count("[warning] LT6911 reports 7680x4320@60, beyond what the capture "
                   "pipeline takes; keeping 1920x1080@60",
                   1))
        << app.output();
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty()) << "the working pipeline stays";
    EXPECT_TRUE(wait_state("input", "unsupported")) << state().dump();
    EXPECT_FALSE(client.read_message(300ms));
    // A later valid announcement works as usual.
    hdmi({"res", "1280", "720", "50"});
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    EXPECT_TRUE(wait_state("input", "signal")) << state().dump();
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
    EXPECT_TRUE(wait_state("last_error", "AX_IVPS_Init ret=0x800A00FF")) << state().dump();
    EXPECT_FALSE(client.read_message(300ms));

    // The same geometry again rebuilds the pipeline it did not finish.
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("Pipeline incomplete at 1280x720@50, rebuilding", 1)) << app.output();
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    EXPECT_TRUE(wait_state("last_error", "")) << "cleared once the pipeline is whole";
    EXPECT_GE(state()["last_change_ms"], 200) << "from the announcement, with the handshake";
    const auto calls = trace_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_IVPS_Init"), 3);
}

// With recovery.retry on, a failed change is repaired without a new announcement.
class ResolutionRetry : public ServiceTest {
  protected:
    ApplianceOptions retry_options() const {
        ApplianceOptions options = service_options();
        options.config = "[recovery]\nretry = true\n";
        options.sdk_arm = true;
        return options;
    }
    // Starts the service with `faults` (which make the announced change and its first retry
    // fail), connects `client` and announces 1280x720@50; returns once the next try waits 2 s.
    void fail_a_change_twice(const std::string& faults, Client& client) {
        ApplianceOptions options = retry_options();
        options.env["AXSIM_FAIL"] = faults;
        start(options);
        connect(client);
        hdmi({"res", "1280", "720", "50"});
        ASSERT_TRUE(wait_count("Resolution change to 1280x720@50 failed, next try in 2 s", 1))
            << app.output();
    }
};

TEST_F(ResolutionRetry, AOneShotFaultIsRepairedWithoutAnAnnouncement) {
    ApplianceOptions options = retry_options();
    // The first AX_IVPS_Init is the Capture thread's bring-up, the second the re-configuration;
    // the fourth, a later change's.
    options.env["AXSIM_FAIL"] = "AX_IVPS_Init#2,AX_IVPS_Init#4";
    start(options);
    Client client;
    connect(client);

    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("axera init failed", 1)) << app.output();
    const size_t handshakes = writes_to("status").size();
    const auto failed_at = std::chrono::steady_clock::now();

    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    // Reported, not asserted: the machine may be busy.
    std::cout << "repaired "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - failed_at)
                     .count()
              << " ms after the failed change\n";
    // The retry's message goes out before its success is logged.
    ASSERT_TRUE(wait_count("Resolution change retry succeeded", 1)) << app.output();
    EXPECT_EQ(count_output("Retrying resolution change to 1280x720@50 (try 2)"), 1u);
    EXPECT_EQ(count_output("Pipeline incomplete at 1280x720@50, rebuilding"), 1u);
    EXPECT_EQ(writes_to("status").size(), handshakes) << "no announcement was needed";
    EXPECT_TRUE(writes_to("power").empty());
    EXPECT_FALSE(client.read_message(kQuietWait)) << "one message, no further try";
    // The success started the count again: the next failure is the first of a new run.
    hdmi({"res", "1024", "768", "60"});
    EXPECT_TRUE(wait_count("Resolution change to 1024x768@60 failed, next try in 1 s", 1))
        << "the failure count was kept after a success\n"
        << app.output();
    EXPECT_EQ(client.read_message(kEventWait), res_change_text(1024, 768, 60)) << app.output();

    app.send_signal(SIGTERM);
    ASSERT_EQ(app.wait_exit(kExitWait), 0);
    EXPECT_EQ(leak_report(), "none\n");
}

TEST_F(ResolutionRetry, ANewerAnnouncementThatSucceedsCancelsThePendingRetry) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(fail_a_change_twice("AX_IVPS_Init#2,AX_IVPS_Init#3", client));
    hdmi({"res", "1024", "768", "60"});
    EXPECT_EQ(client.read_message(kEventWait), res_change_text(1024, 768, 60)) << app.output();
    EXPECT_FALSE(client.read_message(3s)) << "the superseded 1280x720@50 was still retried";
    EXPECT_EQ(count_output("Retrying resolution change to 1280x720@50 (try 3)"), 0u);
}

TEST_F(ResolutionRetry, AnAnnouncementThatFailsBeforeTheChangeKeepsTheRetry) {
    Client client;
    // The first CreateDev is the Capture thread's.
    ASSERT_NO_FATAL_FAILURE(fail_a_change_twice("AX_VIN_CreateDev#2,AX_VIN_CreateDev#3", client));
    // While the retry waits, an announcement fails its handshake: nothing is torn down, so the
    // pipeline is as incomplete as before and the retry must stay due.
    hdmi({"handshake", "off"});
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("LT6911 status is not stable after resolution change: new res", 1))
        << app.output();
    hdmi({"handshake", "on"});
    const auto message = client.read_message(kEventWait);
    ASSERT_TRUE(message) << "the retry was lost with the failed announcement\n" << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
}

TEST_F(ResolutionRetry, APersistentFaultBacksOffAndPowerCyclesTheBridge) {
    start(retry_options());
    Client client;
    connect(client);
    // From now on every bring-up fails.
    ASSERT_TRUE(app.arm_sdk_faults("AX_VIN_CreateDev"));
    hdmi({"res", "1280", "720", "50"});

    ASSERT_TRUE(wait_count("axera init failed", 1)) << app.output();
    const auto cpu_before = bench::sample_cpu(app.pid());
    const auto since = std::chrono::steady_clock::now();
    // Fails at the announcement, after 1 s and after 2 s; the third failure in a row
    // power-cycles the bridge, which announces its input again: that change fails too.
    ASSERT_TRUE(wait_count("Resolution change failed 3 times in a row, resetting LT6911", 1,
                           kEventWait + 3s))
        << app.output();
    ASSERT_TRUE(wait_count("Resolution change to 1280x720@50 failed, next try in 8 s", 1))
        << app.output();
    const auto cpu_after = bench::sample_cpu(app.pid());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    for (const char* line : {"Resolution change to 1280x720@50 failed, next try in 1 s",
                             "Retrying resolution change to 1280x720@50 (try 2)",
                             "Resolution change to 1280x720@50 failed, next try in 2 s",
                             "Retrying resolution change to 1280x720@50 (try 3)",
                             "Resolution change to 1280x720@50 failed, next try in 4 s",
                             "Pending resolution change retry cancelled by a new announcement"}) {
        EXPECT_EQ(count_output(line), 1u) << line << "\n" << app.output();
    }
    const auto power = writes_to("power");
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].value, "0\n");
    EXPECT_EQ(power[1].value, "1\n");
    // No busy loop while it waits (a generous bound: the machine is shared).
    ASSERT_TRUE(cpu_before && cpu_after);
    EXPECT_LT(static_cast<double>(cpu_after->cpu_ns - cpu_before->cpu_ns) / 1e9, 0.2 * seconds);
    EXPECT_FALSE(client.read_message(0ms)) << "nothing was told";

    // A stop ends the 8 s wait with an orderly end (the time is reported, not asserted).
    const auto stop_at = std::chrono::steady_clock::now();
    app.send_signal(SIGTERM);
    ASSERT_EQ(app.wait_exit(kExitWait), 0);
    std::cout << "stopped "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - stop_at)
                     .count()
              << " ms after SIGTERM (sandbox included)\n";
    EXPECT_EQ(count_output("Retrying resolution change to 1280x720@50 (try 5)"), 0u);
}

}  // namespace
}  // namespace hdgrab::test
