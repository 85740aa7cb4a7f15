// The Capture thread: bring-up order, failures, the serving loop's end and the tear-down.
#include "media/capture_thread.h"

#include <gmock/gmock.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/un.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "ipc/control_socket.h"
#include "log/logger.h"
#include "media/pipeline_lock.h"
#include "sim/sdk/axsim.h"
#include "tests/workers/workers_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

const std::vector<std::string> kBringUpEnds{"AX_SYS_Init",     "AX_POOL_Init",     "AX_VIN_Init",
                                            "AX_ISP_StreamOn", "AX_IVPS_StartGrp", "AX_SYS_Link"};

std::vector<std::string> after(const std::vector<std::string>& calls, const std::string& last) {
    const auto at = std::find(calls.begin(), calls.end(), last);
    return at == calls.end() ? std::vector<std::string>{}
                             : std::vector<std::string>(at + 1, calls.end());
}

class CaptureThreadTest : public WorkersTest {};

TEST_F(CaptureThreadTest, FailedBringUpClearsTheRunningFlagAndTearsNothingDown) {
    HDGRAB_IN_CHILD({
        axsim::fail("AX_VIN_CreateDev", kInjectedStatus);
        ControlChannel control;
        control.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        CaptureThread(control.epoll, control.events, data)();
        EXPECT_FALSE(is_running());
        EXPECT_TRUE(logged("[info] Axera vin init..."));
        EXPECT_TRUE(logged("[error] Axera vin init failed"));
        EXPECT_FALSE(logged("Axera vin thread exiting..."));
        const auto calls = call_names();
        EXPECT_EQ(calls.back(), "AX_VIN_CreateDev");
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "AX_SYS_UnLink"), 0);
    });
}

TEST_F(CaptureThreadTest, EachBringUpStepHasItsMessage) {
    const std::vector<std::pair<std::string, std::string>> steps{
        {"AX_SYS_Init", "Axera util init failed"},
        {"AX_POOL_Init", "Axera common pool init failed"},
        {"AX_ISP_Open", "Axera vin init failed"},
        {"AX_IVPS_CreateGrp", "Axera IPVS init failed"},
        {"AX_SYS_Link", "Axera Link init failed"},
    };
    for (const auto& [call, message] : steps) {
        SCOPED_TRACE(call);
        HDGRAB_IN_CHILD({
            axsim::fail(call, kInjectedStatus);
            ControlChannel control;
            control.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
            CaptureThread(control.epoll, control.events, data)();
            EXPECT_TRUE(logged("[error] " + message));
            EXPECT_FALSE(is_running());
        });
    }
}

TEST_F(CaptureThreadTest, StopRequestTearsDownInReverseOrderAndEmptiesTheSlot) {
    HDGRAB_IN_CHILD({
        ControlChannel control;
        const std::string path = (dir / "vin_sock").string();
        control.epoll = control_socket_setup(*data, global_logger->get_logger(), path);
        ASSERT_TRUE(control.epoll.is_valid());
        std::thread capture(CaptureThread(control.epoll, control.events, data));

        UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        for (int i = 0; i < 500 && data->client_fd.load() < 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(data->client_fd.load(), 0);

        request_stop();
        capture.join();
        EXPECT_EQ(data->client_fd.load(), -1);
        char byte = 0;
        EXPECT_EQ(::read(client.get(), &byte, 1), 0) << "the connection was not closed";
        EXPECT_THAT(after(call_names(), "AX_SYS_Link"),
                    ElementsAre("AX_SYS_UnLink", "AX_IVPS_StopGrp", "AX_IVPS_DisableChn",
                                "AX_IVPS_DisableChn", "AX_IVPS_DestoryGrp", "AX_IVPS_Deinit",
                                "AX_ISP_StreamOff", "AX_VIN_DisableDev", "AX_ISP_Stop",
                                "AX_VIN_StopPipe", "AX_VIN_DisableChn", "AX_ISP_Close",
                                "AX_ISP_Destroy", "AX_ISP_UnRegisterSensor", "AX_VIN_DestroyPipe",
                                "AX_VIN_DestroyDev", "AX_MIPI_RX_Stop", "AX_MIPI_RX_DeInit"));
        EXPECT_TRUE(logged("[debug] Accepted new connection"));
        EXPECT_TRUE(logged("[info] Axera vin thread exiting..."));
        control_socket_close(*data, path);
    });
}

TEST_F(CaptureThreadTest, FailedWaitTearsDownAndEndsTheService) {
    HDGRAB_IN_CHILD({
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        UniqueFd peer(pair[1]);
        data->client_fd.store(pair[0]);
        // An eventfd is no epoll instance: the wait fails with EINVAL.
        ControlChannel control;
        control.epoll.reset(::eventfd(0, EFD_CLOEXEC));
        CaptureThread(control.epoll, control.events, data)();
        EXPECT_TRUE(logged("[error] Epoll wait error: Invalid argument"));
        EXPECT_FALSE(is_running());
        EXPECT_EQ(data->client_fd.load(), -1);
        char byte = 0;
        EXPECT_EQ(::read(peer.get(), &byte, 1), 0);
        EXPECT_THAT(after(call_names(), "AX_SYS_Link"),
                    IsSupersetOf({"AX_SYS_UnLink", "AX_IVPS_Deinit", "AX_VIN_DestroyDev"}));
        EXPECT_TRUE(logged("[info] Axera vin thread exiting..."));
    });
}

TEST_F(CaptureThreadTest, TearDownFailuresAreLoggedAndTheRestStillRuns) {
    HDGRAB_IN_CHILD({
        ControlChannel control;
        control.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        axsim::fail("AX_SYS_UnLink", kInjectedStatus);
        request_stop();
        CaptureThread(control.epoll, control.events, data)();
        EXPECT_TRUE(logged("[error] Axera Link deinit failed"));
        // The next two steps are still attempted (the substitute refuses them while the link
        // stands, so they fail too and say so).
        const auto calls = after(call_names(), "AX_SYS_Link");
        EXPECT_THAT(calls, IsSupersetOf({"AX_IVPS_StopGrp", "AX_ISP_StreamOff"}));
        EXPECT_TRUE(logged("[error] IPVS deinit failed"));
        EXPECT_TRUE(logged("[error] VIN deinit failed"));
        EXPECT_TRUE(logged("[info] Axera vin thread exiting..."));
    });
}

TEST_F(CaptureThreadTest, TearDownWaitsForAReconfigurationInProgress) {
    HDGRAB_IN_CHILD({
        ControlChannel control;
        control.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        std::optional<PipelineLock> reconfiguration;
        std::thread capture([&] { CaptureThread(control.epoll, control.events, data)(); });
        // Wait for the bring-up, then act as a Bridge monitor in the middle of a change.
        for (int i = 0; i < 1000; ++i) {
            const auto calls = call_names();
            if (!calls.empty() && calls.back() == "AX_SYS_Link") {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reconfiguration.emplace();
        request_stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(after(call_names(), "AX_SYS_Link").empty())
            << "the tear-down ran while a re-configuration held the pipeline";
        reconfiguration.reset();
        capture.join();
        EXPECT_FALSE(after(call_names(), "AX_SYS_Link").empty());
    });
}

}  // namespace
}  // namespace hdgrab::test
