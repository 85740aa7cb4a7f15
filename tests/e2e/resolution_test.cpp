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

class ResolutionChange : public ServiceTest {
  protected:
    // Starts the service with `options` and the SDK faults `faults`, connects `client`,
    // announces 1280x720@50 and returns once `failure` is logged.
    void fail_a_change(ApplianceOptions options, const std::string& faults, Client& client,
                       const std::string& failure) {
        options.env["AXSIM_FAIL"] = faults;
        ASSERT_NO_FATAL_FAILURE(start_connected(client, options));
        announce(1280, 720, 50);
        ASSERT_TRUE(logged(failure));
    }
};

TEST_F(ResolutionChange, NewGeometryIsAcknowledgedAppliedAndSentToTheClient) {
    Client client;
    start_connected(client);
    const size_t mark = trace_calls().size();

    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    ASSERT_TRUE(logged("LT6911 resolution reset and client notified"));

    // The handshake: "ok" written, the driver answered "stable".
    const auto status_writes = writes_to("status");
    ASSERT_EQ(status_writes.size(), 1u);
    EXPECT_EQ(status_writes[0].value, "ok\n");
    EXPECT_EQ(app.bridge_status(), "stable");

    // Tear-down, then bring-up, in their fixed orders and nothing else (pools and media
    // system stay).
    EXPECT_THAT(tail_from(trace_calls(), mark), ElementsAreArray(rebuild_calls()));
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
    Client client;
    start_connected(client, options);
    const std::string maps = read_text("/proc/" + std::to_string(app.pid()) + "/maps");
    for (const char* library :
         {"libax_sys.so", "libax_mipi.so", "libax_ivps.so", "libax_proton.so"}) {
        EXPECT_NE(maps.find(std::string(HDGRAB_TEST_MINIMAL_SDK_DIR) + "/" + library),
                  std::string::npos)
            << library << " is not the minimal one";
    }
    EXPECT_EQ(maps.find("sim/lib/"), std::string::npos) << "the substitute was loaded";

    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    EXPECT_FALSE(client.read_message(300ms));
    EXPECT_EQ(app.stop(kExitWait), 0) << app.output();
    EXPECT_FALSE(std::filesystem::exists(app.socket_path()));
}

TEST_F(ResolutionChange, SeveralChangesArriveInOrderBackToBack) {
    Client client;
    start_connected(client);
    const std::vector<std::array<int, 3>> modes{{3840, 2160, 30}, {1366, 768, 60}, {1024, 768, 75}};
    size_t done = 0;
    for (const auto& mode : modes) {
        announce(mode[0], mode[1], mode[2]);
        ASSERT_TRUE(logged("LT6911 resolution reset and client notified", ++done));
    }
    for (const auto& mode : modes) {
        ASSERT_TRUE(told_change(client, mode[0], mode[1], mode[2]));
    }
}

TEST_F(ResolutionChange, SameGeometryDoesTheHandshakeButNothingElse) {
    ApplianceOptions options = service_options();
    options.source = {1280, 720, 50};
    Client client;
    start_connected(client, options);
    const size_t mark = trace_calls().size();

    announce(1280, 720, 50);

    ASSERT_TRUE(logged("Resolution already set to 1280x720@50, skipping"));
    const auto status_writes = writes_to("status");
    ASSERT_EQ(status_writes.size(), 1u);
    EXPECT_EQ(status_writes[0].value, "ok\n");
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty());
    EXPECT_FALSE(client.read_message(kQuietWait));
}

TEST_F(ResolutionChange, AGeometryBeyondThePoolsIsRefusedBeforeTheTearDown) {
    Client client;
    start_connected(client);
    const size_t mark = trace_calls().size();
    announce(7680, 4320, 60);
    ASSERT_TRUE(
        logged("[warning] LT6911 reports 7680x4320@60, beyond what the capture "
               "pipeline takes; keeping 1920x1080@60"));
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty()) << "the working pipeline stays";
    EXPECT_TRUE(wait_state("input", "unsupported")) << state().dump();
    EXPECT_FALSE(client.read_message(300ms));
    // A later valid announcement works as usual.
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    EXPECT_TRUE(wait_state("input", "signal")) << state().dump();
}

TEST_F(ResolutionChange, UnreadableOrNonPositiveGeometryGetsNoHandshake) {
    Client client;
    start_connected(client);

    // A bridge file with an unreadable or non-positive value, then the announcement: the
    // failure names the geometry as read (0 where the value is no number).
    const auto announce_bad = [&](const char* file, const char* content, const char* failure) {
        hdmi({"garbage", file, content});
        hdmi({"status", "new res"});
        return logged(failure);
    };
    ASSERT_TRUE(announce_bad("width", "abc\n", "Failed to read LT6911 resolution: 0x1080@60"));
    ASSERT_TRUE(announce_bad("width", "-5\n", "Failed to read LT6911 resolution: -5x1080@60"));
    hdmi({"restore"});
    ASSERT_TRUE(announce_bad("fps", "0\n", "Failed to read LT6911 resolution: 1920x1080@0"));

    EXPECT_TRUE(writes_to("status").empty());
    EXPECT_THAT(app.output(), Not(HasSubstr("LT6911 resolution changed to")));
    EXPECT_FALSE(client.read_message(300ms));
}

TEST_F(ResolutionChange, StatusNotStableAfterTheHandshakeStopsTheChange) {
    Client client;
    start_connected(client);
    const size_t mark = trace_calls().size();

    hdmi({"handshake", "off"});
    announce(1280, 720, 50);

    ASSERT_TRUE(logged("LT6911 status is not stable after resolution change: new res"));
    EXPECT_EQ(writes_to("status").size(), 1u);
    EXPECT_TRUE(tail_from(trace_calls(), mark).empty());
    EXPECT_FALSE(client.read_message(300ms));
}

TEST_F(ResolutionChange, FailedTearDownKeepsTheOldGeometryAndTheSameOneRebuilds) {
    Client client;
    // The first StopGrp is the Bridge monitor's tear-down; the Capture thread's comes at stop.
    ASSERT_NO_FATAL_FAILURE(
        fail_a_change(service_options(), "AX_IVPS_StopGrp#1", client, "axera deinit failed"));
    EXPECT_THAT(app.output(), HasSubstr("AX_IVPS_StopGrp failed, ret=0x"));
    EXPECT_FALSE(client.read_message(300ms));
    EXPECT_TRUE(trace_lines("AX_VIN_DestroyDev").empty());

    // The recorded geometry is still the old one, but the pipeline is not whole: what is left
    // is taken down and the whole pipeline built again.
    const size_t mark = trace_calls().size();
    ASSERT_TRUE(rebuilt_and_told(client, 1920, 1080, 60));
    EXPECT_THAT(app.output(), Not(HasSubstr("Resolution already set")));
    const auto rebuilt = tail_from(trace_calls(), mark);
    // The link is gone already; the group was not stopped: StopGrp first.
    ASSERT_FALSE(rebuilt.empty());
    EXPECT_EQ(rebuilt.front(), "AX_IVPS_StopGrp");
    EXPECT_EQ(std::count(rebuilt.begin(), rebuilt.end(), "AX_SYS_UnLink"), 0);
    EXPECT_EQ(rebuilt.back(), "AX_SYS_Link");
}

TEST_F(ResolutionChange, FailedBringUpRecordsTheNewGeometryAndTheSameOneRebuilds) {
    Client client;
    // The first AX_IVPS_Init is the Capture thread's bring-up, the second the re-configuration.
    ASSERT_NO_FATAL_FAILURE(
        fail_a_change(service_options(), "AX_IVPS_Init#2", client, "axera init failed"));
    EXPECT_THAT(app.output(), HasSubstr("AX_IVPS_Init failed, ret=0x"));
    EXPECT_TRUE(wait_state("last_error", "AX_IVPS_Init ret=0x800A00FF")) << state().dump();
    EXPECT_FALSE(client.read_message(300ms));

    // The same geometry again rebuilds the pipeline it did not finish.
    ASSERT_TRUE(rebuilt_and_told(client, 1280, 720, 50));
    EXPECT_TRUE(wait_state("last_error", "")) << "cleared once the pipeline is whole";
    EXPECT_GE(state()["last_change_ms"], 200) << "from the announcement, with the handshake";
    const auto calls = trace_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_IVPS_Init"), 3);
}

// With recovery.retry on, a failed change is repaired without a new announcement.
class ResolutionRetry : public ResolutionChange {
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
        fail_a_change(retry_options(), faults, client,
                      "Resolution change to 1280x720@50 failed, next try in 2 s");
    }
    // Stops the service with SIGTERM and expects an orderly end.
    void stop_in_order() {
        app.send_signal(SIGTERM);
        ASSERT_EQ(app.wait_exit(kExitWait), 0);
    }
};

TEST_F(ResolutionRetry, AOneShotFaultIsRepairedWithoutAnAnnouncement) {
    Client client;
    // The first AX_IVPS_Init is the Capture thread's bring-up, the second the re-configuration;
    // the fourth, a later change's.
    ASSERT_NO_FATAL_FAILURE(fail_a_change(retry_options(), "AX_IVPS_Init#2,AX_IVPS_Init#4", client,
                                          "axera init failed"));
    const size_t handshakes = writes_to("status").size();
    const auto failed_at = std::chrono::steady_clock::now();

    ASSERT_TRUE(told_change(client, 1280, 720, 50));
    // Reported, not asserted: the machine may be busy.
    std::cout << "repaired "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - failed_at)
                     .count()
              << " ms after the failed change\n";
    // The retry's message goes out before its success is logged.
    ASSERT_TRUE(logged("Resolution change retry succeeded"));
    EXPECT_EQ(count_output("Retrying resolution change to 1280x720@50 (try 2)"), 1u);
    EXPECT_EQ(count_output("Pipeline incomplete at 1280x720@50, rebuilding"), 1u);
    EXPECT_EQ(writes_to("status").size(), handshakes) << "no announcement was needed";
    EXPECT_TRUE(writes_to("power").empty());
    EXPECT_FALSE(client.read_message(kQuietWait)) << "one message, no further try";
    // The success started the count again: the next failure is the first of a new run.
    announce(1024, 768, 60);
    EXPECT_TRUE(logged("Resolution change to 1024x768@60 failed, next try in 1 s"))
        << "the failure count was kept after a success";
    EXPECT_TRUE(told_change(client, 1024, 768, 60));

    ASSERT_NO_FATAL_FAILURE(stop_in_order());
    EXPECT_EQ(leak_report(), "none\n");
}

TEST_F(ResolutionRetry, ANewerAnnouncementThatSucceedsCancelsThePendingRetry) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(fail_a_change_twice("AX_IVPS_Init#2,AX_IVPS_Init#3", client));
    EXPECT_TRUE(change_and_expect(client, 1024, 768, 60));
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
    announce(1280, 720, 50);
    ASSERT_TRUE(logged("LT6911 status is not stable after resolution change: new res"));
    hdmi({"handshake", "on"});
    ASSERT_TRUE(told_change(client, 1280, 720, 50))
        << "the retry was lost with the failed announcement";
}

TEST_F(ResolutionRetry, APersistentFaultBacksOffAndPowerCyclesTheBridge) {
    Client client;
    start_connected(client, retry_options());
    // From now on every bring-up fails.
    ASSERT_TRUE(app.arm_sdk_faults("AX_VIN_CreateDev"));
    announce(1280, 720, 50);

    ASSERT_TRUE(logged("axera init failed"));
    const auto cpu_before = harness::sample_cpu(app.pid());
    const auto since = std::chrono::steady_clock::now();
    // Fails at the announcement, after 1 s and after 2 s; the third failure in a row
    // power-cycles the bridge, which announces its input again: that change fails too.
    ASSERT_TRUE(
        logged("Resolution change failed 3 times in a row, resetting LT6911", 1, kEventWait + 3s));
    ASSERT_TRUE(logged("Resolution change to 1280x720@50 failed, next try in 8 s"));
    const auto cpu_after = harness::sample_cpu(app.pid());
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
    ASSERT_NO_FATAL_FAILURE(stop_in_order());
    std::cout << "stopped "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - stop_at)
                     .count()
              << " ms after SIGTERM (sandbox included)\n";
    EXPECT_EQ(count_output("Retrying resolution change to 1280x720@50 (try 5)"), 0u);
}

}  // namespace
}  // namespace hdgrab::test
