// The Bridge monitor's set-up failures and its prompt end on a stop request.
#include "bridge/monitor.h"

#include <gmock/gmock.h>
#include <sys/socket.h>

#include <fstream>

#include "base/unique_fd.h"
#include "tests/workers/workers_fixture.h"

namespace hdgrab::test {
namespace {

class MonitorTest : public WorkersTest {};

TEST_F(MonitorTest, MissingStatusFileEndsTheThreadWithOneMessage) {
    const std::string missing = (dir / "nowhere" / "status").string();
    std::thread monitor = _lt6911_thread(data, missing);
    ASSERT_TRUE(monitor.joinable());
    monitor.join();
    EXPECT_TRUE(
        logged("[error] Failed to open " + missing + " for epoll: No such file or directory"));
    EXPECT_FALSE(logged("lt6911 thread exiting..."));
    // The service runs on without bridge supervision.
    EXPECT_TRUE(is_running());
    EXPECT_EQ(data.use_count(), 1) << "the thread still holds the shared state";
}

TEST_F(MonitorTest, StatusFileWithoutChangeNotificationEndsTheThread) {
    // A regular file cannot be watched with epoll.
    const std::string status = (bridge_dir / "status").string();
    std::thread monitor = _lt6911_thread(data, status);
    monitor.join();
    EXPECT_TRUE(logged("[error] Failed to add fd to epoll: Operation not permitted"));
    EXPECT_FALSE(logged("lt6911 thread exiting..."));
    EXPECT_TRUE(is_running());
}

// /proc/self/mounts reports EPOLLPRI only when the mount table changes, which stands in for a
// quiet bridge status file.
constexpr const char* kQuietPollableFile = "/proc/self/mounts";

TEST_F(MonitorTest, StopEndsTheWaitForAClient) {
    HDGRAB_IN_CHILD({
        std::thread monitor = _lt6911_thread(data, kQuietPollableFile);
        for (int i = 0; i < 500 && !logged("Waiting for client connection..."); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(logged("[debug] Waiting for client connection..."));
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

}  // namespace
}  // namespace hdgrab::test
