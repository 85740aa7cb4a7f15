// hdgrab-watch: follows the service's control socket and prints each notification as one line.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "ipc/control_socket.h"

namespace hdgrab::watch {

// Exit statuses of hdgrab-watch.
inline constexpr int kExitOk = 0;           // --once got its message, or SIGINT/SIGTERM
inline constexpr int kExitFailure = 1;      // a local error (socket creation, standard output)
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitUnreachable = 3;  // --no-wait: service absent or connection lost

// Back-off between connection attempts while the service is away: doubles from the first
// value up to the cap, and starts again from the first after a successful connection.
inline constexpr std::chrono::milliseconds kRetryFirst{100};
inline constexpr std::chrono::milliseconds kRetryMax{1000};

// Bytes read from the socket at once.
inline constexpr size_t kReadChunk = 4096;

enum class OutputFormat { kPlain, kJson };

struct WatchOptions {
    std::string socket_path = kSocketPath;
    OutputFormat format = OutputFormat::kPlain;
    // End after the first message.
    bool once = false;
    // Wait for the service to appear and come back; without it, exit with kExitUnreachable.
    bool wait = true;
};

// The line printed for one message text: in plain form "res_change 1920x1080@60" for a
// resolution change, "<type> <compact JSON>" for other typed objects and the compact JSON
// otherwise; in JSON form always the compact JSON. Nothing when the text is not a JSON object.
std::optional<std::string> format_message(std::string_view text, OutputFormat format);

// True when `path` fits into a Unix-domain socket address.
bool socket_path_fits(const std::string& path);

// Connects to the socket (waiting and reconnecting as the options say), prints one line per
// message to `out` and status and warnings to `err`, until `stop_fd` becomes readable (a
// negative `stop_fd` never stops), --once is satisfied or an error ends it. Returns the exit
// status.
int run_watch(const WatchOptions& options, int stop_fd, std::ostream& out, std::ostream& err);

}  // namespace hdgrab::watch
