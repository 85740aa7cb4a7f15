#include "ipc/notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>

#include "ipc_test_support.h"

namespace hdgrab {
namespace {

using namespace std::chrono_literals;
using test::CapturedLog;
using test::read_until_quiet;

constexpr auto kQuiet = 200ms;
const std::string kRes1080 = R"({"fps":60,"height":1080,"type":"res_change","width":1920})";
const std::string kRes720 = R"({"fps":50,"height":720,"type":"res_change","width":1280})";

// A connected pair standing in for the service's client connection and the client's end.
struct Connection {
    Connection() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            service.reset(fds[0]);
            client.reset(fds[1]);
        }
    }
    UniqueFd service;
    UniqueFd client;
};

// A captured log and a connection for each test: send() sends over the service's end,
// client_reads() reads what the client's end received until it is quiet.
class SendJsonMessage : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(connection.service.is_valid()); }

    bool send(const nlohmann::json& message) {
        return send_json_message(log.logger(), connection.service.get(), message);
    }
    std::string client_reads() { return read_until_quiet(connection.client.get(), kQuiet); }

    CapturedLog log;
    Connection connection;
};

TEST(ResChange, MembersAreIntegersSerialisedInKeyOrder) {
    const auto message = make_res_change(1920, 1080, 60);
    EXPECT_EQ(message.size(), 4u);
    EXPECT_EQ(message["type"], "res_change");
    EXPECT_TRUE(message["width"].is_number_integer());
    EXPECT_TRUE(message["height"].is_number_integer());
    EXPECT_TRUE(message["fps"].is_number_integer());
    EXPECT_EQ(message.dump(), kRes1080);
    EXPECT_EQ(make_res_change(1280, 720, 50).dump(), kRes720);
}

TEST_F(SendJsonMessage, NegativeDescriptorSendsNothing) {
    EXPECT_FALSE(send_json_message(log.logger(), -1, make_res_change(1920, 1080, 60)));
    EXPECT_EQ(log.text(), "[error] send_json_message: invalid client_fd\n");
}

TEST_F(SendJsonMessage, SendsCompactTextWithoutFraming) {
    EXPECT_TRUE(send(make_res_change(1280, 720, 50)));

    EXPECT_EQ(client_reads(), kRes720);
    EXPECT_EQ(log.text(), "[debug] Message: " + kRes720 + "\n");
}

TEST_F(SendJsonMessage, BackToBackMessagesAreSeparatedByJsonSyntax) {
    ASSERT_TRUE(send(make_res_change(1920, 1080, 60)));
    ASSERT_TRUE(send(make_res_change(1280, 720, 50)));
    const std::string received = client_reads();
    EXPECT_EQ(received, kRes1080 + kRes720) << "nothing may separate two messages";

    // A client reads one complete object after the other from the stream.
    std::istringstream stream(received);
    nlohmann::json first;
    nlohmann::json second;
    ASSERT_NO_THROW(stream >> first >> second);
    EXPECT_EQ(first, make_res_change(1920, 1080, 60));
    EXPECT_EQ(second, make_res_change(1280, 720, 50));
    EXPECT_EQ(stream.peek(), std::char_traits<char>::eof()) << "bytes left after two objects";
}

TEST_F(SendJsonMessage, DescriptorZeroIsValid) {
    const int saved_stdin = ::dup(0);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_EQ(::dup2(connection.service.get(), 0), 0);

    const bool sent = send_json_message(log.logger(), 0, make_res_change(1920, 1080, 60));

    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    EXPECT_TRUE(sent) << log.text();
    EXPECT_EQ(client_reads(), kRes1080);
}

std::atomic<int> g_sigpipes{0};
void count_sigpipe(int) {
    g_sigpipes.fetch_add(1);
}

TEST_F(SendJsonMessage, ClosedPeerFailsWithEpipeAndNoSignal) {
    connection.client.reset();
    struct sigaction counting {};
    counting.sa_handler = count_sigpipe;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGPIPE, &counting, &previous), 0);

    const bool sent = send(make_res_change(1920, 1080, 60));

    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_FALSE(sent);
    EXPECT_EQ(g_sigpipes.load(), 0) << "the process must not get SIGPIPE";
    EXPECT_EQ(log.text(), "[error] Failed to send message: " + std::string(std::strerror(EPIPE)) +
                              " | message: " + kRes1080 + "\n");
}

TEST_F(SendJsonMessage, LargeMessageArrivesWhole) {
    const nlohmann::json message{{"blob", std::string(1u << 20, 'z')}};
    std::string received;
    std::thread reader([&] { received = read_until_quiet(connection.client.get(), 5s); });

    const bool sent = send(message);
    connection.service.reset();  // end of stream lets the reader finish at once
    reader.join();

    EXPECT_TRUE(sent);
    EXPECT_EQ(received, message.dump());
}

TEST_F(SendJsonMessage, ASendThatTimesOutPartWayClosesTheClient) {
    const timeval timeout{0, 100000};
    ASSERT_EQ(
        ::setsockopt(connection.service.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout),
        0);
    // Far more than the connection buffers, and nobody reads.
    const nlohmann::json message{{"blob", std::string(8u << 20, 'z')}};
    EXPECT_FALSE(send(message));
    // The client sees the cut-off text, then the end: never a cut-off object followed by more.
    EXPECT_FALSE(send(make_res_change(1, 1, 1)));
    bool closed = false;
    const std::string received = read_until_quiet(connection.client.get(), 2s, &closed);
    EXPECT_TRUE(closed) << "the client was left open after a cut-off message";
    EXPECT_LT(received.size(), message.dump().size());
    EXPECT_EQ(received.find("res_change"), std::string::npos);
}

}  // namespace
}  // namespace hdgrab
