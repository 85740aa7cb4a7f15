// Control interface of the simulated bridge: the commands, their socket server and client.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "sim/driver/bridge_model.h"

namespace hdgrab::sim {

struct ControlReply {
    bool ok = true;
    std::string text;  // output on success, the reason on failure
};

// Carries out one command (the words of an `hdmi` command line) on the model. `quit` only
// answers; the server acts on it.
ControlReply run_command(BridgeModel& model, const WriteLog& log,
                         const std::vector<std::string>& words);

// The usage text of the commands.
const char* command_usage();

// Serves commands on a Unix stream socket: one request per connection, the words separated by
// NUL bytes and ended by the client's shutdown of its sending side; the reply's first line is
// "ok" or "error", the rest is the command's output.
class ControlServer {
  public:
    ControlServer(BridgeModel& model, const WriteLog& log, std::function<void()> on_quit);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the socket (replacing a stale file) and starts serving; false after logging why.
    bool start(const std::string& socket_path);
    void stop();

  private:
    void serve();
    void handle(int connection);

    BridgeModel& model_;
    const WriteLog& log_;
    std::function<void()> on_quit_;
    std::string path_;
    UniqueFd listen_fd_;
    UniqueFd stop_fd_;
    std::thread worker_;
};

// Sends one command and returns the reply; a failure to reach the server is a failed reply.
ControlReply send_command(const std::string& socket_path, const std::vector<std::string>& words,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds{5000});

}  // namespace hdgrab::sim
