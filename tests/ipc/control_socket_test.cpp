#include "ipc/control_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "ipc/notify.h"
#include "ipc_test_support.h"

namespace hdgrab {
namespace {

using namespace std::chrono_literals;
using test::CapturedLog;
using test::connect_client;
using test::read_until_quiet;
using test::TempDir;

constexpr auto kQuiet = 200ms;  // how long a reader waits for more bytes
constexpr int kEventWaitMs = 5000;

const char* const kRes1080 = R"({"fps":60,"height":1080,"type":"res_change","width":1920})";

bool is_socket(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool has_cloexec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// Peer's view after the service closed its end: nothing more to read, end of stream.
bool peer_sees_end_of_stream(int fd) {
    bool closed = false;
    const std::string data = read_until_quiet(fd, 2s, &closed);
    return data.empty() && closed;
}

class ControlSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state.server_fd = -1;
        state.client_fd = -1;
    }
    void TearDown() override {
        control_socket_close_client(state);
        control_socket_close(state, path);
    }

    // Sets the socket up at `path`, expecting success.
    void listen_here() {
        epoll = control_socket_setup(state, log.logger(), path);
        ASSERT_TRUE(epoll.is_valid()) << log.text();
    }

    // One pass of the Capture thread's loop: waits for the listener and runs the accept step
    // for every event that carries the listening descriptor.
    void serve_once() {
        ControlEvents events{};
        const int ready = ::epoll_wait(epoll.get(), events.data(), kMaxEvents, kEventWaitMs);
        ASSERT_GT(ready, 0) << "no pending connection reported";
        for (int i = 0; i < ready; ++i) {
            if (events[static_cast<size_t>(i)].data.fd == state.server_fd.load()) {
                EXPECT_EQ(control_socket_accept(state, log.logger()), 0);
            }
        }
    }

    // Connects `client` and runs the accept step: the service holds it in the client slot.
    void connect_and_accept(UniqueFd& client) {
        client = connect_client(path);
        ASSERT_NO_FATAL_FAILURE(serve_once());
        ASSERT_GE(state.client_fd.load(), 0) << log.text();
    }

    TempDir dir;
    std::string path = (dir.path() / "vin_sock").string();
    _ax_vin_data_t state;
    CapturedLog log;
    UniqueFd epoll;
};

// ---- set-up ----

TEST_F(ControlSocketTest, StaleFileIsRemovedAndListenerRegistered) {
    std::ofstream(path) << "left over by an earlier run";

    listen_here();

    EXPECT_TRUE(is_socket(path)) << "the stale file was not replaced by the socket";
    EXPECT_TRUE(log.contains("[debug] Socket listening on " + path)) << log.text();
    const int server_fd = state.server_fd.load();
    ASSERT_GE(server_fd, 0);
    EXPECT_NE(::fcntl(server_fd, F_GETFL) & O_NONBLOCK, 0) << "listener must be non-blocking";
    EXPECT_TRUE(has_cloexec(server_fd));
    EXPECT_TRUE(has_cloexec(epoll.get()));
    EXPECT_EQ(state.client_fd.load(), -1) << "set-up must not touch the slot";

    // A connecting client makes the epoll instance report the listener with its own descriptor.
    UniqueFd client = connect_client(path);
    ASSERT_TRUE(client.is_valid());
    ControlEvents events{};
    ASSERT_EQ(::epoll_wait(epoll.get(), events.data(), kMaxEvents, kEventWaitMs), 1);
    EXPECT_EQ(events[0].events, static_cast<uint32_t>(EPOLLIN));
    EXPECT_EQ(events[0].data.fd, server_fd);
}

TEST_F(ControlSocketTest, MissingParentIsCreatedWithAncestors) {
    path = (dir.path() / "run" / "kvm" / "vin_sock").string();

    listen_here();

    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "run" / "kvm"));
    EXPECT_TRUE(is_socket(path));
    EXPECT_TRUE(connect_client(path).is_valid());
}

TEST_F(ControlSocketTest, ParentThatIsARegularFileFailsAtBind) {
    std::ofstream(dir.path() / "kvm") << "not a directory";
    path = (dir.path() / "kvm" / "vin_sock").string();

    epoll = control_socket_setup(state, log.logger(), path);

    EXPECT_FALSE(epoll.is_valid());
    EXPECT_TRUE(
        log.contains(std::string("[error] Failed to bind socket: ") + std::strerror(ENOTDIR)))
        << log.text();
    EXPECT_EQ(log.text().find("socket directory"), std::string::npos) << log.text();
    EXPECT_GE(state.server_fd.load(), 0) << "the created socket is stored even on failure";
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() / "kvm"));
}

TEST_F(ControlSocketTest, ParentThatCannotBeCreatedIsLoggedNotThrown) {
    std::ofstream(dir.path() / "file") << "blocks the ancestors";
    const auto parent = dir.path() / "file" / "kvm";
    path = (parent / "vin_sock").string();

    EXPECT_NO_THROW(epoll = control_socket_setup(state, log.logger(), path));

    EXPECT_FALSE(epoll.is_valid());
    EXPECT_NE(log.text().find("[error] Failed to create socket directory: " + parent.string()),
              std::string::npos)
        << log.text();
    EXPECT_EQ(log.text().find("Failed to bind"), std::string::npos) << log.text();
}

TEST_F(ControlSocketTest, FinalCloseRemovesSocketAndEmptiesDescriptor) {
    listen_here();

    control_socket_close(state, path);

    EXPECT_EQ(state.server_fd.load(), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(connect_client(path).is_valid()) << "nobody may listen after the close";
    control_socket_close(state, path);  // a second close is harmless
}

// ---- the accept step and the client slot ----

TEST_F(ControlSocketTest, AcceptedConnectionIsBlockingCloseOnExecWithSendTimeout) {
    listen_here();
    UniqueFd client = connect_client(path);
    ASSERT_TRUE(client.is_valid());

    serve_once();

    const int fd = state.client_fd.load();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.contains("[debug] Accepted new connection")) << log.text();
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "connection must be blocking";
    EXPECT_TRUE(has_cloexec(fd));
    timeval timeout{};
    socklen_t length = sizeof timeout;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, &length), 0);
    EXPECT_EQ(timeout.tv_sec * 1000 + timeout.tv_usec / 1000, kClientSendTimeout.count());
}

TEST_F(ControlSocketTest, SecondClientTakesSlotAndFirstIsClosed) {
    listen_here();
    UniqueFd first;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(first));

    UniqueFd second;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(second));

    ASSERT_TRUE(
        send_json_message(log.logger(), state.client_fd.load(), make_res_change(1920, 1080, 60)));
    EXPECT_EQ(read_until_quiet(second.get(), kQuiet), kRes1080);
    EXPECT_TRUE(peer_sees_end_of_stream(first.get())) << "displaced connection must be closed";
    EXPECT_EQ(log.count("[debug] Accepted new connection"), 2u);
}

TEST_F(ControlSocketTest, ManyClientsOnlyNewestKeepsSlotAndNothingLeaks) {
    listen_here();
    constexpr size_t kClients = 5;  // as many as the backlog holds
    const size_t before = test::open_descriptor_count();

    std::vector<UniqueFd> clients;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(connect_client(path));
        ASSERT_TRUE(clients.back().is_valid()) << "client " << i;
    }
    while (log.count("[debug] Accepted new connection") < kClients) {
        serve_once();
        if (HasFatalFailure()) {
            return;
        }
    }

    // The clients, plus exactly one accepted connection: the one in the slot.
    EXPECT_EQ(test::open_descriptor_count(), before + kClients + 1);
    ASSERT_TRUE(
        send_json_message(log.logger(), state.client_fd.load(), make_res_change(1920, 1080, 60)));
    EXPECT_EQ(read_until_quiet(clients.back().get(), kQuiet), kRes1080);
    for (size_t i = 0; i + 1 < kClients; ++i) {
        EXPECT_TRUE(peer_sees_end_of_stream(clients[i].get())) << "client " << i;
    }
}

TEST_F(ControlSocketTest, FailedAcceptEmptiesSlotAndClosesItsConnection) {
    listen_here();
    UniqueFd client;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(client));

    // Nothing pending: the non-blocking listener makes accept fail at once (EAGAIN), an error
    // after which no pause is needed.
    const int error = control_socket_accept(state, log.logger());
    EXPECT_EQ(error, EAGAIN);
    EXPECT_FALSE(accept_lacks_resources(error));

    EXPECT_EQ(state.client_fd.load(), -1);
    EXPECT_TRUE(peer_sees_end_of_stream(client.get()));
    EXPECT_EQ(log.count("[debug] Accepted new connection"), 1u) << "a failed accept is silent";
    EXPECT_EQ(log.text().find("[error]"), std::string::npos) << log.text();

    (void)control_socket_accept(state, log.logger());  // again with the slot already empty
    EXPECT_EQ(state.client_fd.load(), -1);
}

TEST_F(ControlSocketTest, CloseClientClosesAndEmptiesSlot) {
    listen_here();
    UniqueFd client;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(client));

    control_socket_close_client(state);

    EXPECT_EQ(state.client_fd.load(), -1);
    EXPECT_TRUE(peer_sees_end_of_stream(client.get()));
    control_socket_close_client(state);  // nothing left to close
    EXPECT_EQ(state.client_fd.load(), -1);
}

// ---- a client that stops reading ----

// Fills the connection's buffers so that the next blocking send has to wait.
void fill_send_buffer(int fd) {
    const std::string chunk(4096, 'x');
    while (::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
}

TEST_F(ControlSocketTest, ClientThatNeverReadsMakesSendFailWithinTimeout) {
    listen_here();
    UniqueFd client;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(client));
    const int fd = state.client_fd.load();
    fill_send_buffer(fd);

    const auto start = std::chrono::steady_clock::now();
    const auto message = make_res_change(1920, 1080, 60);
    EXPECT_FALSE(send_json_message(log.logger(), fd, message));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "send blocked";
    EXPECT_TRUE(log.contains("[error] Failed to send message: " +
                             std::string(std::strerror(EAGAIN)) + " | message: " + kRes1080))
        << log.text();
}

TEST_F(ControlSocketTest, LargeMessageToClientThatNeverReadsFailsWithinTimeout) {
    listen_here();
    UniqueFd client;
    ASSERT_NO_FATAL_FAILURE(connect_and_accept(client));

    // Far larger than the connection's buffers.
    const nlohmann::json message{{"blob", std::string(2u << 20, 'y')}};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(send_json_message(log.logger(), state.client_fd.load(), message));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "send blocked";
    EXPECT_NE(log.text().find("[error] Failed to send message: "), std::string::npos);
}

}  // namespace
}  // namespace hdgrab
