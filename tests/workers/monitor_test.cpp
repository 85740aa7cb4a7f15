// The Bridge monitor's set-up failures and its prompt end on a stop request.
#include "bridge/monitor.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "base/unique_fd.h"
#include "media/axera_util.h"
#include "sim/sdk/axsim.h"
#include "tests/workers/workers_fixture.h"

namespace hdgrab::test {
namespace {

class MonitorTest : public WorkersTest {};

// /proc/self/mounts reports EPOLLPRI only when the mount table changes, which stands in for a
// quiet bridge status file.
constexpr const char* kQuietPollableFile = "/proc/self/mounts";

size_t count_logged(LineSink& sink, const std::string& text) {
    const auto lines = sink.lines();
    return static_cast<size_t>(std::ranges::count_if(
        lines, [&](const auto& line) { return line.find(text) != std::string::npos; }));
}

TEST_F(MonitorTest, MissingStatusFileIsWaitedForWithOneMessageUntilItAppears) {
    HDGRAB_IN_CHILD({
        const std::string missing = (dir / "status").string();
        std::thread monitor = _lt6911_thread(data, missing);
        // Tried at 0, 1 and 3 s; logged once. The try at 7 s finds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        std::filesystem::create_symlink(kQuietPollableFile, missing);
        for (int i = 0; i < 1000 && !logged("opened, supervising the bridge"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(logged("[info] Bridge status file " + missing + " opened, supervising"));
        EXPECT_EQ(count_logged(*sink, "[error] Failed to open " + missing +
                                          " for epoll: No such file or directory"),
                  1u);
        request_stop();
        monitor.join();
        EXPECT_TRUE(logged("[info] lt6911 thread exiting..."));
        EXPECT_EQ(data.use_count(), 1) << "the thread still holds the shared state";
    });
}

TEST_F(MonitorTest, StatusFileWithoutChangeNotificationIsTriedAgainUntilTheStop) {
    HDGRAB_IN_CHILD({
        // A regular file cannot be watched with epoll.
        std::thread monitor = _lt6911_thread(data, (bridge_dir / "status").string());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(count_logged(*sink, "[error] Failed to add fd to epoll: Operation not permitted"),
                  1u);
        request_stop();
        monitor.join();
        EXPECT_TRUE(logged("[info] lt6911 thread exiting..."));
    });
}

TEST_F(MonitorTest, StopEndsTheWaitForAClient) {
    HDGRAB_IN_CHILD({
        std::thread monitor = _lt6911_thread(data, kQuietPollableFile);
        for (int i = 0; i < 500 && !logged("Waiting for client connection..."); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(logged("[debug] Waiting for client connection..."));
        // It sleeps until a client comes: one message per wait, not one every 500 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(count_logged(*sink, "Waiting for client connection..."), 1u);
        request_stop();
        monitor.join();
        EXPECT_TRUE(logged("[info] lt6911 thread exiting..."));
    });
}

TEST_F(MonitorTest, StopEndsTheWaitOnTheStatusFile) {
    HDGRAB_IN_CHILD({
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        UniqueFd client(pair[0]);
        UniqueFd peer(pair[1]);
        data->client_fd.store(client.get());
        std::thread monitor = _lt6911_thread(data, kQuietPollableFile);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        request_stop();
        monitor.join();
        EXPECT_TRUE(logged("[info] lt6911 thread exiting..."));
        EXPECT_FALSE(logged("Waiting for client connection..."));
        // The monitor never writes the bridge while nothing changed.
        std::ifstream status(bridge_dir / "status");
        std::string line;
        std::getline(status, line);
        EXPECT_EQ(line, "stable");
    });
}

TEST_F(MonitorTest, EpollErrWithoutEpollPriIsNoChangeAndIsWaitedOnWithABackOff) {
    // A terminal whose other side closed reports EPOLLERR | EPOLLHUP, never EPOLLPRI. Under a
    // user-mode emulator (qemu) such a terminal does not report it, and the wait never ends.
    if (!std::string_view(HDGRAB_TEST_EMULATOR).empty()) {
        GTEST_SKIP() << "the emulator does not report a closed pseudo-terminal as the kernel does";
    }
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        GTEST_SKIP() << "no pseudo-terminal";
    }
    const std::string terminal = ::ptsname(master.get());
    HDGRAB_IN_CHILD({
        data->client_fd.store(0);  // a client in the slot: the monitor watches the status
        std::thread monitor = _lt6911_thread(data, terminal);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Taken for a change, this would start the handshake of a new resolution.
        std::ofstream(bridge_dir / "status") << "new res\n";
        master.reset();
        const std::clock_t cpu_before = std::clock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_LT(std::clock() - cpu_before, CLOCKS_PER_SEC / 4) << "it spins on EPOLLERR";
        request_stop();
        monitor.join();
        EXPECT_EQ(count_logged(*sink, "reports an error without a status change"), 1u);
        EXPECT_FALSE(logged("LT6911 detected new resolution")) << "EPOLLERR taken as a change";
    });
}

// A status change that arrives once a stop is under way re-configures nothing (the Capture
// thread's tear-down may be done already), and a change or retry cut short by the stop is no
// success.
TEST_F(MonitorTest, NothingIsReconfiguredOnceAStopIsUnderWay) {
    HDGRAB_IN_CHILD({
        AxeraUtil& axera = *global_axera_util;
        ASSERT_TRUE(axera.axera_sys_init() && axera.axera_pool_init(3840, 2400) &&
                    axera.axera_vin_init() && axera.axera_ivps_init() && axera.axera_link_init());
        // The driver's answer to the handshake.
        const auto answer = [this](std::chrono::milliseconds) {
            std::ofstream(bridge_dir / "status") << "stable\n";
            return true;
        };
        BridgeStatusReaction reaction(
            data, answer,
            std::make_shared<const std::atomic<RecoveryPolicy>>(RecoveryPolicy{true}));
        const auto announce = [&] {
            std::ofstream(bridge_dir / "status") << "new res\n";
            std::ofstream(bridge_dir / "width") << "1280\n";
            reaction.on_notification();
        };
        axsim::fail("AX_VIN_CreateDev", kInjectedStatus);
        announce();
        ASSERT_TRUE(reaction.retry_due()) << "the failed change has no retry";
        axsim::clear_faults();
        request_stop();
        const size_t calls = axsim::calls().size();
        reaction.retry();
        announce();
        EXPECT_EQ(axsim::calls().size(), calls) << "re-configured while the stop is under way";
        EXPECT_FALSE(logged("Resolution change retry succeeded")) << "a stopped retry succeeded";
    });
}

}  // namespace
}  // namespace hdgrab::test
