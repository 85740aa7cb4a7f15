// Stopping the service: signals, a failed bring-up, a missing media module, prompt stops.
#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

class Shutdown : public ServiceTest {
  protected:
    // Sends `sig`, expects exit status 0 within the (generous) bound and an orderly end.
    void stop_with(int sig) {
        const auto sent = Clock::now();
        ASSERT_TRUE(app.send_signal(sig));
        const auto status = app.wait_exit(kExitWait);
        ASSERT_TRUE(status) << "no exit after the signal\n" << app.output();
        EXPECT_EQ(*status, 0) << app.output();
        stop_time = Clock::now() - sent;
        EXPECT_FALSE(std::filesystem::exists(app.socket_path()));
        EXPECT_EQ(leak_report(), "none\n");
    }

    Clock::duration stop_time{};
};

class StopSignal : public Shutdown, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, TearsDownInOrderRemovesTheSocketAndReleasesEverything) {
    start();
    Client client;
    connect(client);
    const size_t mark = trace_calls().size();

    stop_with(GetParam());

    EXPECT_TRUE(client.wait_closed(kEventWait));
    const std::string output = app.output();
    EXPECT_THAT(output, HasSubstr("Axera vin thread exiting..."));
    EXPECT_THAT(output, HasSubstr("lt6911 thread exiting..."));
    std::vector<std::string> expected = teardown_calls();
    // Pools, video input module and media system go with the AxeraUtil object at exit.
    expected.insert(expected.end(), {"AX_VIN_Deinit", "AX_POOL_Exit", "AX_SYS_Deinit"});
    const auto calls = trace_calls();
    ASSERT_GE(calls.size(), mark);
    EXPECT_THAT(
        std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(mark), calls.end()),
        ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(SigtermAndSigint, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

TEST_F(Shutdown, FailedBringUpEndsTheServiceWithStatusZero) {
    ApplianceOptions options = service_options();
    options.env["AXSIM_FAIL"] = "AX_VIN_CreateDev";
    start(options);
    const auto status = app.wait_exit(kExitWait);
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 0);
    const std::string output = app.output();
    EXPECT_THAT(output, HasSubstr("AX_VIN_CreateDev failed, ret=0x"));
    EXPECT_THAT(output, HasSubstr("Axera vin init failed"));
    EXPECT_THAT(output, Not(HasSubstr("Axera vin thread exiting...")));
    EXPECT_THAT(output, HasSubstr("lt6911 thread exiting..."));
    EXPECT_FALSE(std::filesystem::exists(app.socket_path()));
    // Pools and media system are still released at exit.
    const auto calls = trace_calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back(), "AX_SYS_Deinit");
}

TEST_F(Shutdown, MissingMediaModuleEndsWithStatus255AndLeavesTheSocket) {
    ApplianceOptions options = service_options();
    options.media_module = false;
    start(options);
    const auto started = Clock::now();
    const auto status = app.wait_exit(30s);
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 255);
    // Twenty checks half a second apart.
    EXPECT_GE(Clock::now() - started, 8s);
    EXPECT_TRUE(std::filesystem::exists(app.socket_path()));
    EXPECT_THAT(app.output(), Not(HasSubstr("AX module")));
    EXPECT_TRUE(trace_calls().empty());
}

TEST_F(Shutdown, MediaModuleAppearingDuringTheWaitStartsTheService) {
    ApplianceOptions options = service_options();
    options.media_module = false;
    start(options);
    ASSERT_TRUE(wait_count("Socket listening on /run/kvm/vin_sock", 1)) << app.output();
    ASSERT_TRUE(app.set_media_module(true));
    Client client;
    connect(client);
    stop_with(SIGTERM);
}

// A stop request ends every wait at once; the bound here is generous on purpose.
class PromptStop : public Shutdown {
  protected:
    void expect_prompt_stop() {
        stop_with(SIGTERM);
        EXPECT_LT(stop_time, 5s);
    }
};

TEST_F(PromptStop, WhileWaitingForAClient) {
    start();
    ASSERT_TRUE(wait_count("Waiting for client connection...", 2)) << app.output();
    expect_prompt_stop();
}

TEST_F(PromptStop, WhileWatchingTheBridge) {
    start();
    Client client;
    connect(client);
    std::this_thread::sleep_for(700ms);  // the monitor is in its wait on the status file
    expect_prompt_stop();
}

TEST_F(PromptStop, DuringAPowerCycleTheBridgeIsSwitchedOnAgain) {
    start();
    Client client;
    connect(client);
    hdmi({"unknown"});
    ASSERT_TRUE(wait_count("resetting LT6911", 1)) << app.output();
    expect_prompt_stop();
    const auto writes = writes_to("power");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value, "1\n");
}

TEST_F(PromptStop, DuringAResolutionChangeThePipelineStaysConsistent) {
    start();
    Client client;
    connect(client);
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("LT6911 resolution changed to 1280x720, fps:50", 1)) << app.output();
    // Whether the change was dropped in its handshake or completed first, the pipeline is
    // torn down exactly once more and nothing is left behind (checked by stop_with).
    expect_prompt_stop();
    const auto calls = trace_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_SYS_Link"),
              std::count(calls.begin(), calls.end(), "AX_SYS_UnLink"));
}

TEST_F(PromptStop, RightAfterAResolutionChange) {
    start();
    Client client;
    connect(client);
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(client.read_message(kEventWait)) << app.output();
    expect_prompt_stop();
}

}  // namespace
}  // namespace hdgrab::test
