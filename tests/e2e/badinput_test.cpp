// Bad surroundings of the real service: a socket path it cannot use, a log directory it cannot
// write or a full one, a dump folder that is missing or full. Each ends with its documented
// message or a clear error and the documented status, and leaves the configuration file intact.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/harness/proc_sample.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kDebugToConsole = "[log]\nlevel = 'debug'\ntype = 'console'\n";
constexpr const char* kDebugToFile =
    "[log]\nfile = '/var/log/vexlane/vin.log'\nlevel = 'debug'\ntype = 'file'\n";
// Smaller than one 1920x1080 frame (4147200 bytes).
constexpr const char* kSmallDumpFs = "/root=tmpfs:1048576";
constexpr const char* kSmallLogFs = "/var/log=tmpfs:65536";
constexpr int kChmodNoWrite = 0555;

// The service's error when it cannot bind its socket, or open its log file, for `error`.
std::string bind_failed(int error) {
    return std::string("[error] Failed to bind socket: ") + std::strerror(error);
}
std::string log_open_failed(int error) {
    return std::string(
               "Failed to set up logging: Failed opening file /var/log/vexlane/vin.log "
               "for writing: ") +
           std::strerror(error);
}

// A socket file as a killed service leaves it: bound once, nobody listening.
bool leave_stale_socket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Fills the file system holding `dir` with one file until it reports no space.
bool fill_up(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const std::string block(4096, 'x');
    bool full = false;
    for (int i = 0; i < 100000 && !full; ++i) {
        const ssize_t written = ::write(fd, block.data(), block.size());
        full = written < 0 ? errno == ENOSPC : static_cast<size_t>(written) < block.size();
    }
    // The last partial block may leave a few bytes; fill them byte by byte.
    while (::write(fd, "x", 1) == 1) {
    }
    ::close(fd);
    return full;
}

class BadSurroundings : public ServiceTest {
  protected:
    // Options with the given configuration file and sandbox options.
    ApplianceOptions options_with(const std::string& config,
                                  std::vector<std::string> sandbox_options = {}) const {
        ApplianceOptions options = service_options();
        options.args.clear();
        options.config = config;
        options.sandbox_options = std::move(sandbox_options);
        return options;
    }

    // Prepares the state directory (and the bridge) before the service starts.
    void prepare(const ApplianceOptions& options) {
        ASSERT_TRUE(app.start_bridge(options)) << app.error();
    }

    // Runs to the end with the directory `dir` of the state directory there but not writable
    // (inside the sandbox the service has no capabilities, so permissions apply even to root).
    int run_with_unwritable(const ApplianceOptions& options, const fs::path& dir) {
        prepare(options);
        fs::create_directories(app.state_dir() / dir);
        if (::chmod((app.state_dir() / dir).c_str(), kChmodNoWrite) != 0) {
            ADD_FAILURE() << "chmod " << dir << ": " << std::strerror(errno);
            return -1;
        }
        return run_to_end(options);
    }

    void expect_config_intact(const std::string& config) const {
        EXPECT_EQ(read_text(app.config_path()), config) << "the configuration file changed";
    }

    // A run that ended with `status`: 255, with `error` in the output and the configuration
    // file `config` as it was.
    void expect_refused_start(int status, const std::string& error,
                              const std::string& config) const {
        EXPECT_EQ(status, 255);
        EXPECT_THAT(app.output(), HasSubstr(error));
        expect_config_intact(config);
    }
};

// ---- control socket ----

TEST_F(BadSurroundings, StaleSocketFileIsReplaced) {
    const ApplianceOptions options = options_with(kDebugToConsole);
    prepare(options);
    const fs::path socket = app.state_dir() / "run/kvm/vin_sock";
    ASSERT_TRUE(leave_stale_socket(socket));
    ASSERT_TRUE(fs::is_socket(fs::symlink_status(socket)));

    Client client;
    start_connected(client, options);
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));
    EXPECT_EQ(app.stop(), 0) << app.output();
    EXPECT_FALSE(fs::exists(socket)) << "the socket file is removed at the end";
    expect_config_intact(kDebugToConsole);
}

TEST_F(BadSurroundings, SocketParentThatIsARegularFileEndsWithStatus255) {
    const ApplianceOptions options = options_with(kDebugToConsole, {"--mount", "/run/kvm=file"});
    expect_refused_start(run_to_end(options), bind_failed(ENOTDIR), kDebugToConsole);
    EXPECT_THAT(app.output(), Not(HasSubstr("Failed to create socket directory")));
    EXPECT_EQ(read_text(app.state_dir() / "run/kvm.file"), "not a directory\n")
        << "the file in the way is left as it was";
}

TEST_F(BadSurroundings, SocketParentWithoutWritePermissionEndsWithStatus255) {
    expect_refused_start(run_with_unwritable(options_with(kDebugToConsole), "run/kvm"),
                         bind_failed(EACCES), kDebugToConsole);
}

TEST_F(BadSurroundings, ReadOnlySocketParentEndsWithStatus255) {
    const ApplianceOptions options = options_with(kDebugToConsole, {"--mount", "/run/kvm=ro"});
    expect_refused_start(run_to_end(options), bind_failed(EROFS), kDebugToConsole);
}

// ---- logging ----

TEST_F(BadSurroundings, UnwritableLogDirectoryEndsWithStatus255AndTheReason) {
    // The log directory exists but cannot be written.
    expect_refused_start(run_with_unwritable(options_with(kDebugToFile), "var/log/vexlane"),
                         log_open_failed(EACCES), kDebugToFile);
    EXPECT_FALSE(fs::exists(app.state_dir() / "run/kvm/vin_sock")) << "nothing was started";
}

TEST_F(BadSurroundings, UncreatableLogDirectoryEndsWithStatus255) {
    // /var/log cannot take the missing vexlane folder; the open then finds no folder.
    expect_refused_start(run_with_unwritable(options_with(kDebugToFile), "var/log"),
                         log_open_failed(ENOENT), kDebugToFile);
}

TEST_F(BadSurroundings, ReadOnlyLogFileEndsWithStatus255AndTheReason) {
    const ApplianceOptions options = options_with(kDebugToFile, {"--mount", "/var/log=ro"});
    prepare(options);
    fs::create_directories(app.state_dir() / "var/log/vexlane");
    std::ofstream(app.state_dir() / "var/log/vexlane/vin.log") << "an earlier line\n";
    expect_refused_start(run_to_end(options), log_open_failed(EROFS), kDebugToFile);
    EXPECT_EQ(read_text(app.state_dir() / "var/log/vexlane/vin.log"), "an earlier line\n");
}

TEST_F(BadSurroundings, FullLogFileSystemLosesLinesButNotTheService) {
    start(options_with(kDebugToFile, {"--mount", kSmallLogFs}));
    // The small file system exists only in the sandbox; a descriptor on it keeps it readable
    // after the service has ended.
    const fs::path inside = "/proc/" + std::to_string(app.pid()) + "/root/var/log";
    Client client;
    ASSERT_TRUE(client.connect(app.socket_path(), kStartWait)) << app.output();
    // The log goes to the file, so the accept cannot be seen in the output: wait until the Bridge
    // monitor watches the status file (it does once a client is held). An announcement made
    // before would be taken for the status it starts with, and never acted upon.
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (!harness::has_wait(app.pid(), harness::WaitKind::status_wait) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const int log_dir = ::open(inside.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(log_dir, 0) << inside << ": " << std::strerror(errno);
    ASSERT_TRUE(change_and_expect(client, 1280, 720, 50));

    // Full: the service goes on, the logging library reports the lost lines on standard error.
    ASSERT_TRUE(fill_up(inside / "filler"));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(
            change_and_expect(client, i % 2 == 0 ? 1920 : 1280, i % 2 == 0 ? 1080 : 720, 60 - i));
    }
    EXPECT_THAT(app.output(), HasSubstr("LOG ERROR"));
    EXPECT_THAT(app.output(), HasSubstr(std::strerror(ENOSPC)));

    // Space again: later lines reach the file.
    fs::remove(inside / "filler");
    ASSERT_TRUE(change_and_expect(client, 640, 480, 30));
    EXPECT_EQ(app.stop(), 0) << app.output();
    const int log_file = ::openat(log_dir, "vexlane/vin.log", O_RDONLY | O_CLOEXEC);
    ::close(log_dir);
    ASSERT_GE(log_file, 0);
    std::string log;
    char buffer[4096];
    for (ssize_t got; (got = ::read(log_file, buffer, sizeof buffer)) > 0;) {
        log.append(buffer, static_cast<size_t>(got));
    }
    ::close(log_file);
    // What was still buffered when the file system filled up is lost with the lines logged
    // while it was full; once there is space again the lines reach the file.
    EXPECT_THAT(log, Not(HasSubstr("LOG ERROR")));
    EXPECT_THAT(log, HasSubstr("LT6911 resolution changed to 640x480, fps:30"));
    EXPECT_THAT(log, HasSubstr("lt6911 thread exiting..."));
    EXPECT_FALSE(fs::exists(app.socket_path()));
    expect_config_intact(kDebugToFile);
}

// ---- dump ----

TEST_F(BadSurroundings, DumpWithoutRootFolderEndsWithStatusZeroAndReleasesTheFrame) {
    ApplianceOptions options = options_with(kDebugToConsole, {"--mount", "/root=missing"});
    options.args = {"--dump-raw"};
    EXPECT_EQ(run_to_end(options), 0);
    EXPECT_THAT(app.output(), HasSubstr("[error] Failed to open file for writing: /root/vin_"));
    EXPECT_THAT(app.output(), HasSubstr("[error] Failed to dump YUYV422 frame"));
    EXPECT_EQ(trace_lines("AX_VIN_ReleaseYuvFrame").size(), 1u);
    EXPECT_EQ(leak_report(), "none\n");
    expect_config_intact(kDebugToConsole);
}

TEST_F(BadSurroundings, DumpOnAFullFileSystemIsReportedNotClaimed) {
    ApplianceOptions options = options_with(kDebugToConsole, {"--mount", kSmallDumpFs});
    options.args = {"--dump-raw"};
    EXPECT_EQ(run_to_end(options), 0);
    EXPECT_THAT(app.output(), HasSubstr("[error] Failed to write full YUYV422 frame to file"));
    EXPECT_THAT(app.output(), HasSubstr("[error] Failed to dump YUYV422 frame"));
    EXPECT_THAT(app.output(), Not(HasSubstr("frame dumped successfully")));
    EXPECT_EQ(trace_lines("AX_VIN_ReleaseYuvFrame").size(), 1u);
    EXPECT_EQ(trace_lines("AX_SYS_Munmap").size(), 1u);
    EXPECT_EQ(leak_report(), "none\n");
    expect_config_intact(kDebugToConsole);
}

}  // namespace
}  // namespace hdgrab::test
