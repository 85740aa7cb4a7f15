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

TEST(StartupInSandbox, ProbeReportsTheSourceGeometry) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ApplianceOptions options = console_options();
    options.source = {1280, 720, 50};
    ASSERT_TRUE(appliance.start(options)) << appliance.error();
    EXPECT_TRUE(appliance.wait_for_output("LT6911 detected: 1280x720@50", 15s))
        << appliance.output();
    EXPECT_EQ(appliance.output().find(kFallbackWarning), std::string::npos);
}

TEST(StartupInSandbox, ZeroWidthFallsBackAfterTheWholeProbe) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    const ApplianceOptions options = console_options();
    ASSERT_TRUE(start_with_zero_width(appliance, options)) << appliance.error();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(appliance.wait_for_output(kFallbackWarning, 30s)) << appliance.output();
    // Fifty attempts with a 100 ms wait after each: never less than about five seconds.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(appliance.output().find("LT6911 detected"), std::string::npos);
}

TEST(StartupInSandbox, StopRequestDuringTheProbeDoesNotShortenIt) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    const ApplianceOptions options = console_options();
    ASSERT_TRUE(start_with_zero_width(appliance, options)) << appliance.error();
    ASSERT_TRUE(appliance.wait_for_output("main function start", 15s)) << appliance.output();
    ASSERT_TRUE(appliance.send_signal(SIGTERM));
    EXPECT_TRUE(appliance.wait_for_output(kFallbackWarning, 30s)) << appliance.output();
    const auto status = appliance.wait_exit(30s);
    ASSERT_TRUE(status.has_value()) << appliance.output();
    EXPECT_EQ(*status, 0) << appliance.output();
}

TEST(StartupInSandbox, SegmentationFaultPrintsANamedTraceAndExits255) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    const ApplianceOptions options = console_options();
    ASSERT_TRUE(start_with_zero_width(appliance, options)) << appliance.error();
    ASSERT_TRUE(appliance.wait_for_output("main function start", 15s)) << appliance.output();
    ASSERT_TRUE(appliance.send_signal(SIGSEGV));
    const auto status = appliance.wait_exit(30s);
    ASSERT_TRUE(status.has_value()) << appliance.output();
    EXPECT_EQ(*status, 255) << appliance.output();
    const std::string output = appliance.output();
    EXPECT_NE(output.find("Stack trace:\n0x"), std::string::npos) << output;
    // The service was probing the bridge when the signal came.
    EXPECT_NE(output.find(": hdgrab::probe_resolution("), std::string::npos) << output;
    EXPECT_EQ(output.find(kFallbackWarning), std::string::npos) << output;
}

}  // namespace
