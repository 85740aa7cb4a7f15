// The Bridge monitor's set-up failures and its prompt end on a stop request.
#include "bridge/monitor.h"

#include <gmock/gmock.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/unique_fd.h"
#include "tests/workers/workers_fixture.h"

namespace hdgrab::test {
namespace {

class MonitorTest : public WorkersTest {};

// /proc/self/mounts reports EPOLLPRI only when the mount table changes, which stands in for a
// quiet bridge status file.
constexpr const char* kQuietPollableFile = "/proc/self/mounts";

size_t count_logged(LineSink& sink, const std::string& text) {
    const auto lines = sink.lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.find(text) != std::string::npos;
    }));
}

TEST_F(MonitorTest, MissingStatusFileIsWaitedForWithOneMessageUntilItAppears) {
    HDGRAB_IN_CHILD({
        const std::filesystem::path late = dir / "late";
        const std::string missing = (late / "status").string();
        std::thread monitor = _lt6911_thread(data, missing);
        const std::string failed =
            "[error] Failed to open " + missing + " for epoll: No such file or directory";
        // The tries after 1 s and 3 s fail too, silently.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_EQ(count_logged(*sink, failed), 1u);
        EXPECT_TRUE(is_running()) << "the service runs on";
        // The driver appears: the next try (after 4 s more) opens it.
        std::filesystem::create_directories(late);
        std::filesystem::create_symlink(kQuietPollableFile, missing);
        const std::string opened = "Bridge status file " + missing + " opened";
        for (int i = 0; i < 1000 && !logged(opened); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(logged("[info] " + opened + ", supervising the bridge"));
        EXPECT_EQ(count_logged(*sink, failed), 1u);
        request_stop();
        monitor.join();
        EXPECT_TRUE(logged("[info] lt6911 thread exiting..."));
        EXPECT_EQ(data.use_count(), 1) << "the thread still holds the shared state";
    });
}

TEST_F(MonitorTest, StatusFileWithoutChangeNotificationIsTriedAgainUntilTheStop) {
    HDGRAB_IN_CHILD({
        // A regular file cannot be watched with epoll.
        const std::string status = (bridge_dir / "status").string();
        std::thread monitor = _lt6911_thread(data, status);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(count_logged(*sink, "[error] Failed to add fd to epoll: Operation not permitted"),
                  1u);
        EXPECT_FALSE(logged("lt6911 thread exiting..."));
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

}  // namespace
}  // namespace hdgrab::test
