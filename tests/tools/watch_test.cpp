// hdgrab-watch: message lines, waiting for and following the service, exit statuses.
#include "tools/watch/watch.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <sstream>
#include <thread>

#include "tools/watch/follow.h"
#include "tools/watch/state.h"
#include "tools_test_support.h"

namespace hdgrab::watch {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::TempDir;

const std::string kRes1080 = R"({"fps":60,"height":1080,"type":"res_change","width":1920})";
const std::string kRes720 = R"({"fps":50,"height":720,"type":"res_change","width":1280})";
// Bound for anything that should happen at once; only reached when something hangs.
constexpr auto kPatience = 10s;

TEST(WatchFormat, PrintsResolutionChangesInPlainAndCompactJsonForm) {
    EXPECT_EQ(format_message(kRes1080, OutputFormat::kPlain), "res_change 1920x1080@60");
    EXPECT_EQ(format_message(kRes720, OutputFormat::kPlain), "res_change 1280x720@50");
    EXPECT_EQ(format_message(kRes1080, OutputFormat::kJson), kRes1080);
    EXPECT_EQ(format_message("{ \"width\" : 1920,\n \"type\":\"res_change\", \"height\":1080, "
                             "\"fps\":60 }",
                             OutputFormat::kJson),
              kRes1080)
        << "the JSON form is always one compact line";
}

TEST(WatchFormat, KeepsOtherMessagesReadableAndRejectsNonObjects) {
    EXPECT_EQ(format_message(R"({"type":"hello","n":1})", OutputFormat::kPlain),
              R"(hello {"n":1,"type":"hello"})");
    EXPECT_EQ(format_message(R"({"type":"res_change","width":"1920","height":1080,"fps":60})",
                             OutputFormat::kPlain),
              R"(res_change {"fps":60,"height":1080,"type":"res_change","width":"1920"})");
    EXPECT_EQ(format_message(R"({"n":1})", OutputFormat::kPlain), R"({"n":1})");
    EXPECT_EQ(format_message(R"({"n":)", OutputFormat::kPlain), std::nullopt);
    EXPECT_EQ(format_message("[1,2]", OutputFormat::kJson), std::nullopt);
}

// A server that accepts one connection on `listener` and sends `chunks` one write each.
std::thread serve_once(int listener, std::vector<std::string> chunks) {
    return std::thread([listener, chunks = std::move(chunks)] {
        UniqueFd client = test::accept_within(listener, kPatience);
        for (const auto& chunk : chunks) {
            if (!client || !send_all(client.get(), chunk)) {
                return;
            }
        }
    });
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `body(out, err)` on fresh streams: its status and what it wrote.
template <typename Body>
RunResult captured(Body body) {
    std::ostringstream out;
    std::ostringstream err;
    RunResult result;
    result.status = body(out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

RunResult run(const WatchOptions& options, int stop_fd = -1) {
    return captured([&](std::ostream& out, std::ostream& err) {
        return run_watch(options, stop_fd, out, err);
    });
}

TEST(WatchRun, OnceEndsAfterTheFirstOfTwoMessagesSplitAcrossWrites) {
    TempDir dir;
    WatchOptions options;
    options.socket_path = (dir.path() / "vin_sock").string();
    options.once = true;
    UniqueFd listener = test::listen_at(options.socket_path);
    ASSERT_TRUE(listener);
    std::thread server =
        serve_once(listener.get(), {kRes1080.substr(0, 20), kRes1080.substr(20) + kRes720});

    const RunResult result = run(options);
    server.join();
    EXPECT_EQ(result.status, kExitOk) << result.err;
    EXPECT_EQ(result.out, "res_change 1920x1080@60\n");
    EXPECT_NE(result.err.find("connected to " + options.socket_path), std::string::npos);
}

TEST(WatchRun, JsonFormSkipsAMalformedMessageAndPrintsTheNext) {
    TempDir dir;
    WatchOptions options;
    options.socket_path = (dir.path() / "vin_sock").string();
    options.once = true;
    options.format = OutputFormat::kJson;
    UniqueFd listener = test::listen_at(options.socket_path);
    ASSERT_TRUE(listener);
    std::thread server = serve_once(listener.get(), {R"(xx{"n":})" + kRes720});

    const RunResult result = run(options);
    server.join();
    EXPECT_EQ(result.status, kExitOk) << result.err;
    EXPECT_EQ(result.out, kRes720 + "\n");
    EXPECT_NE(result.err.find("ignored a message that is not a JSON object"), std::string::npos);
    EXPECT_NE(result.err.find("skipped 2 bytes"), std::string::npos) << result.err;
}

TEST(WatchRun, NoWaitReportsAnAbsentServiceAndALostConnection) {
    TempDir dir;
    WatchOptions options;
    options.socket_path = (dir.path() / "vin_sock").string();
    options.wait = false;

    RunResult result = run(options);
    EXPECT_EQ(result.status, kExitUnreachable);
    EXPECT_NE(result.err.find("cannot connect to " + options.socket_path), std::string::npos)
        << result.err;

    UniqueFd listener = test::listen_at(options.socket_path);
    ASSERT_TRUE(listener);
    std::thread server = serve_once(listener.get(), {kRes1080});
    result = run(options);
    server.join();
    EXPECT_EQ(result.status, kExitUnreachable);
    EXPECT_EQ(result.out, "res_change 1920x1080@60\n");
    EXPECT_NE(result.err.find("the service closed the connection"), std::string::npos);
}

TEST(WatchRun, EndsAtOnceOnAStopRequestAndRejectsAnUnusablePath) {
    TempDir dir;
    WatchOptions options;
    options.socket_path = (dir.path() / "vin_sock").string();
    UniqueFd stop(::eventfd(1, EFD_CLOEXEC));
    ASSERT_TRUE(stop);
    EXPECT_EQ(run(options, stop.get()).status, kExitOk);

    options.socket_path = "/tmp/" + std::string(200, 'x');
    const RunResult result = run(options);
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_NE(result.err.find("socket path"), std::string::npos);
    options.socket_path.clear();
    EXPECT_EQ(run(options).status, kExitUsage);
}

// The program itself, as a person in a second terminal runs it.
// The watcher program against a stand-in service on a socket in a temporary directory.
class WatchProgram : public testing::Test {
  protected:
    // Binds the stand-in service's socket at `path` (again, as a restarted service does).
    void listen() {
        listener = test::listen_at(path);
        ASSERT_TRUE(listener);
    }
    // Waits for the watcher's connection, which becomes `client`, and sends it `text`.
    void accept_and_send(const std::string& text,
                         const char* failure = "the watcher did not connect") {
        client = test::accept_within(listener.get(), kPatience);
        ASSERT_TRUE(client) << failure;
        ASSERT_TRUE(send_all(client.get(), text));
    }

    // The watcher printed both changes; `sig` ends it with status 0.
    void expect_both_changes_then_stop(Child& watch, int sig) {
        EXPECT_EQ(watch.wait_for_stdout_lines(2, kPatience),
                  "res_change 1920x1080@60\nres_change 1280x720@50\n");
        watch.signal(sig);
        EXPECT_EQ(watch.wait_exit(kPatience), kExitOk) << watch.stderr_text();
    }

    TempDir dir;
    const std::string path = (dir.path() / "vin_sock").string();
    UniqueFd listener;
    UniqueFd client;
};

TEST_F(WatchProgram, WaitsForTheServiceThenPrintsEachMessageUntilSigterm) {
    Child watch({HDGRAB_WATCH_BINARY, "--socket", path});
    ASSERT_TRUE(watch.started());
    EXPECT_TRUE(watch.wait_for_stderr("waiting for the service on " + path, kPatience))
        << watch.stderr_text();

    ASSERT_NO_FATAL_FAILURE(listen());
    ASSERT_NO_FATAL_FAILURE(accept_and_send(
        kRes1080 + kRes720, "the watcher did not connect once the socket appeared"));
    expect_both_changes_then_stop(watch, SIGTERM);
}

TEST_F(WatchProgram, ReconnectsToARestartedServiceButLeavesTheSlotToAnotherClient) {
    ASSERT_NO_FATAL_FAILURE(listen());
    Child watch({HDGRAB_WATCH_BINARY, path});
    ASSERT_TRUE(watch.started());

    ASSERT_NO_FATAL_FAILURE(accept_and_send(kRes1080));
    EXPECT_EQ(watch.wait_for_stdout_lines(1, kPatience), "res_change 1920x1080@60\n");

    // The service hands the slot to another client and closes this one; its socket stays.
    client.reset();
    EXPECT_TRUE(watch.wait_for_stderr("waiting for it to restart", kPatience));
    EXPECT_FALSE(test::accept_within(listener.get(), 1500ms))
        << "the watcher took the slot back from the other client";

    // The service restarts: the old socket file goes, a new one is bound.
    ASSERT_NO_FATAL_FAILURE(listen());
    ASSERT_NO_FATAL_FAILURE(
        accept_and_send(kRes720, "the watcher did not come back to the restarted service"));
    expect_both_changes_then_stop(watch, SIGINT);
}

TEST_F(WatchProgram, OnceWithJsonPrintsOneCompactLineAndBadOptionsAreUsageErrors) {
    ASSERT_NO_FATAL_FAILURE(listen());
    Child watch({HDGRAB_WATCH_BINARY, "--once", "--json", "-s", path});
    ASSERT_TRUE(watch.started());
    ASSERT_NO_FATAL_FAILURE(accept_and_send(kRes720 + kRes1080));
    EXPECT_EQ(watch.wait_exit(kPatience), kExitOk) << watch.stderr_text();
    EXPECT_EQ(watch.stdout_text(), kRes720 + "\n");

    Child bad({HDGRAB_WATCH_BINARY, "--no-such-option"});
    ASSERT_TRUE(bad.started());
    EXPECT_EQ(bad.wait_exit(kPatience), kExitUsage);
}

TEST(WatchState, PrintsTheStateFileAsOneLineAndTellsWhenNoServiceRuns) {
    TempDir dir;
    const std::string path = (dir.path() / "vin_state.json").string();
    const auto state_with_pid = [](long pid) {
        return R"({"bridge":"disappear","changes":2,"client":false,"failed_changes":1,"fps":50,)"
               R"("height":720,"input":"no_signal","last_change_ms":412,)"
               R"("last_error":"AX_VIN_CreateDev ret=0x800F00A1","pid":)" +
               std::to_string(pid) +
               R"(,"pipeline":"incomplete","power_cycles":3,"since":"2026-12-09T03:04:05+01:00",)"
               R"("version":"abc - clean - then","width":1280})";
    };
    const auto run_state_on = [&path](OutputFormat format) {
        return captured([&](std::ostream& out, std::ostream& err) {
            return run_state(path, format, out, err);
        });
    };

    // No file: no service.
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitUnreachable);

    std::ofstream(path) << state_with_pid(::getpid());
    const RunResult plain = run_state_on(OutputFormat::kPlain);
    EXPECT_EQ(plain.status, kExitOk) << plain.err;
    EXPECT_EQ(plain.out,
              "incomplete 1280x720@50 since 2026-12-09T03:04:05+01:00, no client, bridge "
              "disappear, input no_signal, 2 changes, 1 failed, 3 power cycles, last change 412 "
              "ms, last error AX_VIN_CreateDev ret=0x800F00A1, pid " +
                  std::to_string(::getpid()) + ", version abc - clean - then\n");
    const RunResult json = run_state_on(OutputFormat::kJson);
    EXPECT_EQ(json.status, kExitOk) << json.err;
    EXPECT_EQ(json.out, state_with_pid(::getpid()) + "\n");

    // A file whose process is gone: left behind, no service.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    std::ofstream(path, std::ios::trunc) << state_with_pid(child);
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitUnreachable);

    std::ofstream(path, std::ios::trunc) << "not json";
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitFailure);

    // A running process that started after the file was written only reuses the pid.
    std::ofstream(path, std::ios::trunc) << state_with_pid(::getpid());
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - 24h);
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitUnreachable);
    // Only a regular file of at most 64 KiB is read: a FIFO would block, /dev/zero never end.
    std::ofstream(path, std::ios::trunc) << std::string(kMaxStateFileBytes + 1, ' ');
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitFailure);
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(run_state_on(OutputFormat::kPlain).status, kExitFailure);
    std::ostringstream sink;
    EXPECT_EQ(run_state("/dev/zero", OutputFormat::kPlain, sink, sink), kExitFailure);
}

TEST(WatchState, FollowPrintsALinePerChangeAndWaitsForTheNextService) {
    TempDir dir;
    const auto run_dir = dir.path() / "run";  // not there yet: waited for
    const std::string path = (run_dir / "vin_state.json").string();
    // As the service writes it: a temporary file renamed over the state file.
    const auto write_state = [&path](long pid, int changes) {
        std::ofstream(path + ".tmp") << R"({"changes":)" << changes << R"(,"pid":)" << pid << "}";
        std::filesystem::rename(path + ".tmp", path);
        return R"({"changes":)" + std::to_string(changes) + R"(,"pid":)" + std::to_string(pid) +
               "}\n";
    };
    Child follow({HDGRAB_WATCH_BINARY, "--state=" + path, "--follow", "--json"});
    ASSERT_TRUE(follow.started());
    std::string expected = std::string(kNotRunningJson) + "\n";
    EXPECT_EQ(follow.wait_for_stdout_lines(1, kPatience), expected);

    std::filesystem::create_directory(run_dir);
    expected += write_state(::getpid(), 0);
    EXPECT_EQ(follow.wait_for_stdout_lines(2, kPatience), expected);
    expected += write_state(::getpid(), 1);
    EXPECT_EQ(follow.wait_for_stdout_lines(3, kPatience), expected);
    std::filesystem::remove(path);
    expected += std::string(kNotRunningJson) + "\n";
    EXPECT_EQ(follow.wait_for_stdout_lines(4, kPatience), expected);

    // A service that vanishes and leaves its file behind.
    const pid_t service = ::fork();
    if (service == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(service, 0);
    expected += write_state(service, 0);
    EXPECT_EQ(follow.wait_for_stdout_lines(5, kPatience), expected);
    // Seen as ended while not reaped yet (its pid still names a process).
    ::kill(service, SIGKILL);
    expected += std::string(kNotRunningJson) + "\n";
    EXPECT_EQ(follow.wait_for_stdout_lines(6, kPatience), expected);
    ASSERT_EQ(::waitpid(service, nullptr, 0), service);

    follow.signal(SIGTERM);
    EXPECT_EQ(follow.wait_exit(kPatience), kExitOk) << follow.stderr_text();
}

}  // namespace
}  // namespace hdgrab::watch
