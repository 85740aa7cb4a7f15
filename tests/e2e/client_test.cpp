// The single client slot seen from clients: a client that left, a second client, accepts
// without free descriptors.
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {
namespace {

using ::testing::HasSubstr;

class ClientSlot : public ServiceTest {};

constexpr const char* kAcceptWarning = "Accept failed: Too many open files; retrying";

// User plus system CPU time the process has used, in seconds.
double cpu_seconds(pid_t pid) {
    const std::string text = read_text("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stoll(field);
        } else if (number == 15) {
            stime = std::stoll(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The lowest descriptor number the process has free: with the soft limit at this number no new
// descriptor can be had (as when the table is full), while calls that only check a count
// against the limit (poll with one descriptor) still work.
rlim_t lowest_free_descriptor(pid_t pid) {
    std::set<long> open;
    std::error_code error;
    const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        open.insert(std::stol(entry.path().filename().string()));
    }
    long free = 0;
    while (open.count(free) != 0) {
        ++free;
    }
    return static_cast<rlim_t>(free);
}

// Sets the soft descriptor limit of the service (the hard one stays).
bool set_open_files(pid_t pid, rlim_t soft) {
    rlimit current{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &current) != 0) {
        return false;
    }
    current.rlim_cur = soft;
    return ::prlimit(pid, RLIMIT_NOFILE, &current, nullptr) == 0;
}

TEST_F(ClientSlot, AcceptWithoutFreeDescriptorsWaitsQuietlyAndRecovers) {
    start();
    // The bring-up and the Bridge monitor's first read open descriptors for a moment; the
    // free-descriptor count below is taken once both are done.
    ASSERT_TRUE(wait_state("pipeline", "up")) << app.output();
    ASSERT_TRUE(wait_state("bridge", "stable")) << app.output();
    rlimit original{};
    ASSERT_EQ(::prlimit(app.pid(), RLIMIT_NOFILE, nullptr, &original), 0);

    // No descriptor can be had: every accept fails with EMFILE and the connections stay pending
    // on the listener. (The slot is empty, so no failed accept frees a descriptor by closing the
    // connection it displaces.)
    const rlim_t full = lowest_free_descriptor(app.pid());
    ASSERT_GE(full, 3u);
    ASSERT_TRUE(set_open_files(app.pid(), full));
    constexpr size_t kBurst = 4;
    std::vector<std::unique_ptr<Client>> burst;
    for (size_t i = 0; i < kBurst; ++i) {
        burst.push_back(std::make_unique<Client>());
        ASSERT_TRUE(burst.back()->connect(app.socket_path(), kStartWait)) << i;
    }
    ASSERT_TRUE(logged(kAcceptWarning));
    const double cpu_before = cpu_seconds(app.pid());
    std::this_thread::sleep_for(3s);
    const double cpu_used = cpu_seconds(app.pid()) - cpu_before;
    // A loop retrying at once takes a whole core even on a busy machine; pausing between tries
    // takes next to nothing.
    EXPECT_LT(cpu_used, 0.3) << "the service spins on the pending connections";
    EXPECT_EQ(count_output(kAcceptWarning), 1u) << "one warning for the whole burst\n"
                                                << app.output();

    // Descriptors free again: the pending connections are accepted, the last one holds the slot.
    const size_t accepted = count_output("Accepted new connection");
    ASSERT_TRUE(set_open_files(app.pid(), original.rlim_cur));
    EXPECT_TRUE(logged("Accepted new connection", accepted + kBurst));

    // The success ended the burst: the next failure is reported again (it empties the slot and
    // so frees a descriptor), and a stop is prompt.
    ASSERT_TRUE(set_open_files(app.pid(), lowest_free_descriptor(app.pid())));
    Client late;
    ASSERT_TRUE(late.connect(app.socket_path(), kStartWait));
    ASSERT_TRUE(logged(kAcceptWarning, 2));
    // The stop itself needs no descriptor; the sanitizer runtimes of a checked build do (a pipe
    // for their memory checks as the threads end), and would report false errors without them.
    ASSERT_TRUE(set_open_files(app.pid(), lowest_free_descriptor(app.pid()) + 2));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(app.send_signal(SIGTERM));
    const auto status = app.wait_exit(kExitWait);
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 0) << app.output();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
}

TEST_F(ClientSlot, AClientThatWentAwayFailsTheSendAndTheServiceGoesOn) {
    start();
    {
        Client gone;
        connect(gone);
        gone.close();
    }
    announce(1280, 720, 50);
    ASSERT_TRUE(logged("Failed to send resolution change message"));
    EXPECT_THAT(app.output(), HasSubstr("Failed to send message: "));
    EXPECT_THAT(app.output(), HasSubstr("| message: " + res_change_text(1280, 720, 50)));

    // The pipeline stays at the new geometry and the next client is served.
    Client next;
    connect(next);
    ASSERT_TRUE(change_and_expect(next, 1920, 1080, 60));
    EXPECT_TRUE(app.running());
}

TEST_F(ClientSlot, ASecondClientTakesTheSlot) {
    Client first;
    start_connected(first);
    Client second;
    connect(second);

    ASSERT_TRUE(change_and_expect(second, 1280, 720, 50));
    // The displaced connection gets nothing more; the service has closed it.
    EXPECT_TRUE(first.wait_closed(kEventWait));
    EXPECT_FALSE(first.read_message(300ms));
}

}  // namespace
}  // namespace hdgrab::test
