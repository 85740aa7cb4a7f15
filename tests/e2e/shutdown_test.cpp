// Stopping the service: signals, a failed bring-up, a missing media module, prompt stops.
#include <gmock/gmock.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
    Client client;
    start_connected(client);
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
    ASSERT_TRUE(logged("Socket listening on /run/kvm/vin_sock"));
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
    ASSERT_TRUE(logged("Waiting for client connection..."));
    expect_prompt_stop();
}

TEST_F(PromptStop, WhileWatchingTheBridge) {
    Client client;
    start_connected(client);
    std::this_thread::sleep_for(700ms);  // the monitor is in its wait on the status file
    expect_prompt_stop();
}

TEST_F(PromptStop, DuringAPowerCycleTheBridgeIsSwitchedOnAgain) {
    Client client;
    start_connected(client);
    hdmi({"unknown"});
    ASSERT_TRUE(logged("resetting LT6911"));
    expect_prompt_stop();
    const auto writes = writes_to("power");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value, "1\n");
}

TEST_F(PromptStop, DuringAResolutionChangeThePipelineStaysConsistent) {
    Client client;
    start_connected(client);
    announce(1280, 720, 50);
    ASSERT_TRUE(logged("LT6911 resolution changed to 1280x720, fps:50"));
    // Whether the change was dropped in its handshake or completed first, the pipeline is
    // torn down exactly once more and nothing is left behind (checked by stop_with).
    expect_prompt_stop();
    const auto calls = trace_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_SYS_Link"),
              std::count(calls.begin(), calls.end(), "AX_SYS_UnLink"));
}

TEST_F(PromptStop, RightAfterAResolutionChange) {
    Client client;
    start_connected(client);
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    expect_prompt_stop();
}

// A segmentation fault while a slow resolution change is under way, taken by each thread in turn
// (a signal sent to the process goes to whichever thread the kernel picks): the trace, status
// 255 and an orderly exit path, whose pool release waits for the change to finish or follows
// the change that the fault broke off, but never runs beside it.
enum class FaultedThread { any, main_thread, capture_thread, bridge_monitor };

class CrashDuringAResolutionChange : public Shutdown,
                                     public ::testing::WithParamInterface<FaultedThread> {
  protected:
    // The service's threads in the order they were started: main, Capture thread, monitor.
    std::vector<pid_t> threads() const {
        std::vector<pid_t> ids;
        const auto task = std::filesystem::path("/proc") / std::to_string(app.pid()) / "task";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(task, error)) {
            ids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    bool send_segv(FaultedThread target) const {
        if (target == FaultedThread::any) {
            return app.send_signal(SIGSEGV);
        }
        const auto ids = threads();
        const auto index = static_cast<size_t>(target) - 1;
        return index < ids.size() && ::syscall(SYS_tgkill, app.pid(), ids[index], SIGSEGV) == 0;
    }
};

TEST_P(CrashDuringAResolutionChange, OneTraceStatus255AndThePoolsReleasedAfterTheChange) {
    ApplianceOptions options = service_options();
    // Every SDK call takes 20 ms: a re-configuration lasts most of a second.
    options.env["AXSIM_DELAY_US"] = "20000";
    Client client;
    start_connected(client, options);
    ASSERT_EQ(threads().size(), 3u) << "main thread, Capture thread, Bridge monitor";
    const auto mark = static_cast<std::ptrdiff_t>(trace_calls().size());

    announce(1280, 720, 50);
    const auto changing = [&] {
        const auto calls = trace_calls();
        return calls.size() > static_cast<size_t>(mark) &&
               std::find(calls.begin() + mark, calls.end(), "AX_SYS_UnLink") != calls.end();
    };
    const auto deadline = Clock::now() + kEventWait;
    while (!changing() && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(changing()) << app.output();
    const auto sent = Clock::now();
    ASSERT_TRUE(send_segv(GetParam()));

    const auto status = app.wait_exit(kExitWait);
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 255) << app.output();
    // Within the crash path's 5 s watchdog, and not ended by it: the watchdog (like a second
    // fault) ends the process with _exit, which skips the substitute's report at exit.
    EXPECT_LT(Clock::now() - sent, 5s);
    EXPECT_FALSE(leak_report().empty()) << "the exit path did not complete\n" << app.output();
    EXPECT_EQ(count_output("Stack trace:"), 1u) << app.output();
    EXPECT_NE(app.output().find("Stack trace:\n0x"), std::string::npos) << app.output();

    // The pools' release (the AxeraUtil destructor, from AX_VIN_Deinit on) comes after the
    // change's last call: nothing but the release follows its first call.
    const auto calls = trace_calls();
    const auto release = std::find(calls.begin() + mark, calls.end(), "AX_VIN_Deinit");
    ASSERT_NE(release, calls.end()) << "no release at exit";
    for (auto call = release; call != calls.end(); ++call) {
        EXPECT_TRUE(*call == "AX_VIN_Deinit" || *call == "AX_POOL_Exit" || *call == "AX_SYS_Deinit")
            << *call << " ran during the release";
    }
    EXPECT_EQ(calls.back(), "AX_SYS_Deinit");
}

INSTANTIATE_TEST_SUITE_P(EachThread, CrashDuringAResolutionChange,
                         ::testing::Values(FaultedThread::any, FaultedThread::main_thread,
                                           FaultedThread::capture_thread,
                                           FaultedThread::bridge_monitor),
                         [](const auto& info) {
                             switch (info.param) {
                                 case FaultedThread::main_thread:
                                     return std::string("MainThread");
                                 case FaultedThread::capture_thread:
                                     return std::string("CaptureThread");
                                 case FaultedThread::bridge_monitor:
                                     return std::string("BridgeMonitor");
                                 default:
                                     return std::string("AnyThread");
                             }
                         });

}  // namespace
}  // namespace hdgrab::test
