// The service's start-up in the sandboxed appliance: the bridge probe, its fallback, the stop
// request during the probe and the crash trace, as a user of the appliance sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "tests/support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using hdgrab::test::Appliance;
using hdgrab::test::ApplianceOptions;

constexpr const char* kFallbackWarning =
    "LT6911 signal not ready or invalid after timeout. Using default 1080p60.";

ApplianceOptions console_options() {
    ApplianceOptions options;
    options.args = {"-d"};  // debug level on the console, so every line reaches output()
    return options;
}

// Starts the bridge, makes its width file read "0" and starts the service on it.
bool start_with_zero_width(Appliance& appliance, const ApplianceOptions& options) {
    if (!appliance.start_bridge(options)) {
        return false;
    }
    if (!appliance.hdmi("garbage", "width", "0\\n").ok()) {
        return false;
    }
    return appliance.start(options);
}

// One sandboxed appliance a test; skipped where the sandbox cannot run.
class StartupInSandbox : public testing::Test {
  protected:
    void SetUp() override { HDGRAB_SKIP_WITHOUT_SANDBOX(); }

    // Starts the service on a bridge whose width reads "0" and waits until it probes.
    void start_in_the_probe() {
        ASSERT_TRUE(start_with_zero_width(appliance, console_options())) << appliance.error();
        ASSERT_TRUE(appliance.wait_for_output("main function start", 15s)) << appliance.output();
    }
    // The service ends with exit status `expected` within the bound.
    void expect_exit(int expected) {
        const auto status = appliance.wait_exit(30s);
        ASSERT_TRUE(status.has_value()) << appliance.output();
        EXPECT_EQ(*status, expected) << appliance.output();
    }

    Appliance appliance;
};

TEST_F(StartupInSandbox, ProbeReportsTheSourceGeometry) {
    ApplianceOptions options = console_options();
    options.source = {1280, 720, 50};
    ASSERT_TRUE(appliance.start(options)) << appliance.error();
    EXPECT_TRUE(appliance.wait_for_output("LT6911 detected: 1280x720@50", 15s))
        << appliance.output();
    EXPECT_EQ(appliance.output().find(kFallbackWarning), std::string::npos);
}

TEST_F(StartupInSandbox, ZeroWidthFallsBackAfterTheWholeProbe) {
    ASSERT_TRUE(start_with_zero_width(appliance, console_options())) << appliance.error();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(appliance.wait_for_output(kFallbackWarning, 30s)) << appliance.output();
    // Fifty attempts with a 100 ms wait after each: never less than about five seconds.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(appliance.output().find("LT6911 detected"), std::string::npos);
}

TEST_F(StartupInSandbox, StopRequestDuringTheProbeDoesNotShortenIt) {
    ASSERT_NO_FATAL_FAILURE(start_in_the_probe());
    ASSERT_TRUE(appliance.send_signal(SIGTERM));
    EXPECT_TRUE(appliance.wait_for_output(kFallbackWarning, 30s)) << appliance.output();
    ASSERT_NO_FATAL_FAILURE(expect_exit(0));
}

TEST_F(StartupInSandbox, SegmentationFaultPrintsANamedTraceAndExits255) {
    ASSERT_NO_FATAL_FAILURE(start_in_the_probe());
    ASSERT_TRUE(appliance.send_signal(SIGSEGV));
    ASSERT_NO_FATAL_FAILURE(expect_exit(255));
    const std::string output = appliance.output();
    EXPECT_NE(output.find("Stack trace:\n0x"), std::string::npos) << output;
    // The service was probing the bridge when the signal came.
    EXPECT_NE(output.find(": hdgrab::probe_resolution("), std::string::npos) << output;
    EXPECT_EQ(output.find(kFallbackWarning), std::string::npos) << output;
}

}  // namespace
