// The simulated bridge driver as the service meets it: real FUSE files, epoll, writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "sim/driver/control.h"
#include "sim/harness/appliance.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kNoEvent{100};  // long enough to see a wrong event
constexpr std::chrono::milliseconds kEvent{3000};   // bound for an expected event

std::filesystem::path driver_binary() {
    return build_dir() / "sim/lt6911-sim";
}

// Runs lt6911-sim on a temporary mount point for one test.
class BridgeDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/dev/fuse")) {
            GTEST_SKIP() << "no /dev/fuse: FUSE is not available here";
        }
        char pattern[] = "/tmp/lt6911-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::create_directories(mnt());
        const std::string binary = driver_binary().string();
        const std::string log = (dir_ / "writes.log").string();
        const std::string control = socket().string();
        const std::string mount = mnt().string();
        const std::string err = (dir_ / "driver.log").string();
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            // Out of the test's process group, and told when the test ends in any way: the
            // driver then unmounts instead of leaving a stale mount behind.
            ::setsid();
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            ::execl(binary.c_str(), "lt6911-sim", "--mount", mount.c_str(), "--control",
                    control.c_str(), "--log", log.c_str(), "--source", "1920x1080@60",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto deadline = Clock::now() + 5s;
        while (!sim::send_command(socket().string(), {"get"}).ok) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                GTEST_SKIP() << "the FUSE driver cannot run here: "
                             << read_text(dir_ / "driver.log");
            }
            ASSERT_LT(Clock::now(), deadline) << "the driver does not answer";
            std::this_thread::sleep_for(10ms);
        }
    }

    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_FALSE(is_mounted(mnt())) << "SIGTERM unmounts";
        }
        if (!dir_.empty() && !is_mounted(mnt())) {
            std::filesystem::remove_all(dir_);
        }
    }

    std::filesystem::path mnt() const { return dir_ / "mnt"; }
    std::filesystem::path socket() const { return dir_ / "ctl.sock"; }
    std::filesystem::path file(const char* name) const { return mnt() / "lt6911_info" / name; }

    void command(const std::vector<std::string>& words) {
        const sim::ControlReply reply = sim::send_command(socket().string(), words);
        ASSERT_TRUE(reply.ok) << reply.text;
    }

    // The status file opened and registered the way the service's monitor does it.
    struct Watcher {
        UniqueFd fd;
        UniqueFd epoll;
    };
    Watcher watch_status() {
        Watcher w;
        w.fd.reset(::open(file("status").c_str(), O_RDONLY | O_CLOEXEC));
        w.epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        epoll_event event{};
        event.events = EPOLLPRI | EPOLLERR;
        event.data.fd = w.fd.get();
        EXPECT_TRUE(w.fd && w.epoll);
        EXPECT_EQ(::epoll_ctl(w.epoll.get(), EPOLL_CTL_ADD, w.fd.get(), &event), 0)
            << std::strerror(errno);
        return w;
    }
    // The events reported within the time (0 for none).
    static uint32_t wait_events(const Watcher& w, std::chrono::milliseconds timeout) {
        epoll_event event{};
        const int n = ::epoll_wait(w.epoll.get(), &event, 1, static_cast<int>(timeout.count()));
        return n == 1 ? event.events : 0;
    }
    // Seek to 0 and read: what the monitor does to acknowledge.
    static std::string rewind_and_read(const Watcher& w) {
        char buffer[128] = {};
        EXPECT_EQ(::lseek(w.fd.get(), 0, SEEK_SET), 0);
        const ssize_t n = ::read(w.fd.get(), buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    bool wait_file(const char* name, const std::string& expected,
                   std::chrono::milliseconds timeout = kEvent) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (read_text(file(name)) == expected) {
                return true;
            }
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    static bool write_file(const std::filesystem::path& path, const std::string& value) {
        std::ofstream out(path);  // opens with truncation, as the service does
        out << value << '\n';
        out.flush();
        return static_cast<bool>(out);
    }

    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

TEST_F(BridgeDriverTest, PresentsTheBridgeFilesAndProcLinks) {
    EXPECT_EQ(read_text(file("status")), "stable\n");
    EXPECT_EQ(read_text(file("width")), "1920\n");
    EXPECT_EQ(read_text(file("height")), "1080\n");
    EXPECT_EQ(read_text(file("fps")), "60\n");
    EXPECT_EQ(std::filesystem::read_symlink(mnt() / "self"), "/.hostproc/self");
    EXPECT_EQ(std::filesystem::read_symlink(mnt() / "4242"), "/.hostproc/4242");
    EXPECT_TRUE(std::filesystem::is_symlink(mnt() / "meminfo"));
    EXPECT_TRUE(std::filesystem::is_directory(mnt() / "lt6911_info"));
    // Geometry files are read-only, as a driver's would be.
    errno = 0;
    EXPECT_LT(::open(file("width").c_str(), O_WRONLY | O_CLOEXEC), 0);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(BridgeDriverTest, StatusChangeReportsEpollpri) {
    Watcher w = watch_status();
    EXPECT_EQ(rewind_and_read(w), "stable\n");
    EXPECT_EQ(wait_events(w, kNoEvent), 0u) << "nothing changed yet";
    command({"unknown"});
    const uint32_t events = wait_events(w, kEvent);
    EXPECT_TRUE(events & EPOLLPRI) << events;
    EXPECT_EQ(rewind_and_read(w), "unknown res\n");
}

TEST_F(BridgeDriverTest, EpollpriStaysPendingUntilSeekAndRead) {
    Watcher w = watch_status();
    (void)rewind_and_read(w);
    command({"res", "1280", "720", "50"});
    // Level-triggered: nobody reads, so every wait reports it again.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(wait_events(w, kEvent) & EPOLLPRI) << "wait " << i;
    }
    // A read that does not start at offset 0 acknowledges nothing.
    char buffer[128];
    ASSERT_GT(::pread(w.fd.get(), buffer, sizeof buffer, 3), 0);
    EXPECT_TRUE(wait_events(w, kEvent) & EPOLLPRI);
    EXPECT_EQ(rewind_and_read(w), "new res\n");
    EXPECT_EQ(wait_events(w, kNoEvent), 0u) << "acknowledged by seek + read";
    EXPECT_EQ(read_text(file("width")), "1280\n");
}

TEST_F(BridgeDriverTest, NotificationsAreTrackedPerDescriptor) {
    Watcher first = watch_status();
    Watcher second = watch_status();
    command({"unplug"});
    EXPECT_TRUE(wait_events(first, kEvent) & EPOLLPRI);
    EXPECT_TRUE(wait_events(second, kEvent) & EPOLLPRI);
    EXPECT_EQ(rewind_and_read(first), "disappear\n");
    EXPECT_EQ(wait_events(first, kNoEvent), 0u);
    EXPECT_TRUE(wait_events(second, kEvent) & EPOLLPRI) << "the other descriptor has not read";
    // A descriptor opened after the change has nothing pending.
    Watcher late = watch_status();
    EXPECT_EQ(wait_events(late, kNoEvent), 0u);
}

TEST_F(BridgeDriverTest, BlockedWaiterWakesOnChange) {
    Watcher w = watch_status();
    (void)rewind_and_read(w);
    std::thread changer([this] {
        std::this_thread::sleep_for(100ms);
        command({"status", "error res"});
    });
    const auto start = Clock::now();
    const uint32_t events = wait_events(w, 5000ms);
    changer.join();
    EXPECT_TRUE(events & EPOLLPRI);
    EXPECT_LT(Clock::now() - start, 4000ms) << "woken by the change, not by the time-out";
    EXPECT_EQ(rewind_and_read(w), "error res\n");
}

TEST_F(BridgeDriverTest, HandshakeTurnsNewResStableAfterTheDelay) {
    command({"delay", "handshake", "150"});
    Watcher w = watch_status();
    command({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_events(w, kEvent) & EPOLLPRI);
    EXPECT_EQ(rewind_and_read(w), "new res\n");
    const auto written = Clock::now();
    ASSERT_TRUE(write_file(file("status"), "ok"));
    ASSERT_TRUE(wait_file("status", "stable\n"));
    EXPECT_GE(Clock::now() - written, 140ms);
    EXPECT_TRUE(wait_events(w, kEvent) & EPOLLPRI) << "the change to stable is notified";

    command({"handshake", "off"});
    command({"res", "800", "600", "30"});
    ASSERT_TRUE(write_file(file("status"), "ok"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(read_text(file("status")), "new res\n") << "handshake switched off";
}

TEST_F(BridgeDriverTest, PowerCycleBringsTheInputBack) {
    command({"delay", "power", "200"});
    command({"unknown"});
    ASSERT_TRUE(write_file(file("power"), "0"));
    EXPECT_EQ(read_text(file("status")), "disappear\n");
    const auto on = Clock::now();
    ASSERT_TRUE(write_file(file("power"), "1"));
    ASSERT_TRUE(wait_file("status", "new res\n"));
    EXPECT_GE(Clock::now() - on, 190ms);
    EXPECT_EQ(read_text(file("width")), "1920\n");
}

TEST_F(BridgeDriverTest, WritesAreLoggedWithMonotonicTimes) {
    const double before =
        std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
    command({"res", "1280", "720", "50"});
    ASSERT_TRUE(write_file(file("status"), "ok"));
    ASSERT_TRUE(write_file(file("power"), "0"));
    ASSERT_TRUE(write_file(file("power"), "1"));
    const double after =
        std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
    const std::string log = sim::send_command(socket().string(), {"log"}).text;
    std::istringstream in(log);
    std::vector<std::tuple<double, std::string, std::string>> lines;
    double ms = 0;
    std::string name;
    std::string value;
    while (in >> ms >> name >> value) {
        lines.emplace_back(ms, name, value);
    }
    ASSERT_EQ(lines.size(), 3u) << log;
    EXPECT_EQ(std::get<1>(lines[0]), "status");
    EXPECT_EQ(std::get<2>(lines[0]), "ok\\n");
    EXPECT_EQ(std::get<2>(lines[1]), "0\\n");
    EXPECT_EQ(std::get<2>(lines[2]), "1\\n");
    for (const auto& line : lines) {
        EXPECT_GE(std::get<0>(line), before - 1);
        EXPECT_LE(std::get<0>(line), after + 1);
    }
}

TEST_F(BridgeDriverTest, GarbageAndHiddenFiles) {
    command({"garbage", "width", "abc\\n"});
    EXPECT_EQ(read_text(file("width")), "abc\n");
    command({"restore", "width"});
    EXPECT_EQ(read_text(file("width")), "1920\n");

    UniqueFd opened(::open(file("fps").c_str(), O_RDONLY | O_CLOEXEC));
    command({"hide", "fps"});
    EXPECT_FALSE(std::filesystem::exists(file("fps")));
    errno = 0;
    EXPECT_LT(::open(file("fps").c_str(), O_RDONLY | O_CLOEXEC), 0);
    EXPECT_EQ(errno, ENOENT);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(mnt() / "lt6911_info")) {
        names.push_back(entry.path().filename());
    }
    EXPECT_EQ(std::count(names.begin(), names.end(), "fps"), 0);
    EXPECT_EQ(names.size(), 4u);
    char buffer[16] = {};
    EXPECT_EQ(::pread(opened.get(), buffer, sizeof buffer, 0), 3) << "an open descriptor reads on";
    command({"show", "fps"});
    EXPECT_EQ(read_text(file("fps")), "60\n");
}

TEST_F(BridgeDriverTest, QuitUnmounts) {
    command({"quit"});
    int status = 0;
    const auto deadline = Clock::now() + 5s;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        ASSERT_LT(Clock::now(), deadline) << "the driver did not end on quit";
        std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // With auto_unmount the kernel mount can outlive the process by a moment on a busy machine.
    const auto unmount_deadline = Clock::now() + 5s;
    while (is_mounted(mnt()) && Clock::now() < unmount_deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(is_mounted(mnt()));
}

TEST_F(BridgeDriverTest, KilledDriverLeavesNoStaleMount) {
    ASSERT_EQ(::kill(pid_, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    const auto deadline = Clock::now() + 5s;
    while (is_mounted(mnt()) && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(is_mounted(mnt())) << "the unmount helper removes the mount of a dead driver";
}

}  // namespace
}  // namespace hdgrab::test
