#include "tools/watch/watch.h"

#include <errno.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/unique_fd.h"
#include "tools/watch/json_splitter.h"

namespace hdgrab::watch {
namespace {

constexpr std::string_view kTag = "hdgrab-watch: ";
// Longest piece of a malformed message repeated in the warning.
constexpr size_t kMalformedEcho = 200;

// Tells one socket file from its successor: a restarted service removes the file and binds a new
// one, which gets a new inode and change time.
struct SocketIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec ctime{};

    bool operator==(const SocketIdentity& other) const {
        return dev == other.dev && ino == other.ino && ctime.tv_sec == other.ctime.tv_sec &&
               ctime.tv_nsec == other.ctime.tv_nsec;
    }
};

std::optional<SocketIdentity> identity_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return SocketIdentity{st.st_dev, st.st_ino, st.st_ctim};
}

// Result of one connection attempt: the connected socket, or the errno of the failure.
struct ConnectResult {
    UniqueFd fd;
    int error = 0;
};

ConnectResult connect_to(const std::string& path) {
    // Non-blocking: a service whose backlog is full makes connect fail with EAGAIN instead of
    // hanging where a stop request cannot end it.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return {UniqueFd(), errno};
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return {UniqueFd(), errno};
    }
    return {std::move(fd), 0};
}

// Waits for `delay` unless a stop is requested first; false on a stop request.
bool wait_unless_stopped(int stop_fd, std::chrono::milliseconds delay) {
    pollfd pfd{stop_fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + delay;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int timeout =
            static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        const int ready = ::poll(&pfd, 1, timeout);
        if (ready > 0) {
            return false;
        }
        if (ready == 0) {
            return true;
        }
        if (errno != EINTR) {
            return true;
        }
    }
}

bool stop_requested(int stop_fd) {
    if (stop_fd < 0) {
        return false;
    }
    pollfd pfd{stop_fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
}

enum class SessionEnd { kStopped, kDone, kClosed, kOutputFailed };

// Reads and prints messages from one connection until it ends.
class Session {
  public:
    Session(const WatchOptions& options, int stop_fd, std::ostream& out, std::ostream& err)
        : options_(options), stop_fd_(stop_fd), out_(out), err_(err) {}

    SessionEnd run(int fd) {
        std::array<char, kReadChunk> buffer{};
        std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                err_ << kTag << "poll failed: " << std::strerror(errno) << std::endl;
                return SessionEnd::kClosed;
            }
            if (fds[1].revents != 0) {
                return SessionEnd::kStopped;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                err_ << kTag << "read from the service failed: " << std::strerror(errno)
                     << std::endl;
                return SessionEnd::kClosed;
            }
            if (n == 0) {
                return SessionEnd::kClosed;
            }
            splitter_.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
            if (const auto end = drain()) {
                return *end;
            }
        }
    }

  private:
    // Prints every complete message; returns how the session ends when it does.
    std::optional<SessionEnd> drain() {
        if (const size_t skipped = splitter_.take_skipped_bytes(); skipped > 0) {
            err_ << kTag << "skipped " << skipped << " bytes between messages" << std::endl;
        }
        if (const size_t dropped = splitter_.take_dropped_objects(); dropped > 0) {
            err_ << kTag << "dropped " << dropped << " message(s) longer than " << kMaxObjectSize
                 << " bytes" << std::endl;
        }
        while (auto text = splitter_.next()) {
            const auto line = format_message(*text, options_.format);
            if (!line) {
                err_ << kTag << "ignored a message that is not a JSON object: "
                     << text->substr(0, kMalformedEcho) << std::endl;
                continue;
            }
            out_ << *line << '\n';
            out_.flush();
            if (!out_) {
                err_ << kTag << "cannot write to standard output" << std::endl;
                return SessionEnd::kOutputFailed;
            }
            if (options_.once) {
                return SessionEnd::kDone;
            }
        }
        return std::nullopt;
    }

    const WatchOptions& options_;
    int stop_fd_;
    std::ostream& out_;
    std::ostream& err_;
    JsonObjectSplitter splitter_;
};

}  // namespace

std::optional<std::string> format_message(std::string_view text, OutputFormat format) {
    const auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    // Replace invalid UTF-8 rather than throw: the text comes from another process.
    const std::string compact =
        value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (format == OutputFormat::kJson) {
        return compact;
    }
    const auto type = value.find("type");
    if (type == value.end() || !type->is_string()) {
        return compact;
    }
    const auto& name = type->get_ref<const std::string&>();
    if (name == "res_change") {
        const auto width = value.find("width");
        const auto height = value.find("height");
        const auto fps = value.find("fps");
        if (width != value.end() && width->is_number_integer() && height != value.end() &&
            height->is_number_integer() && fps != value.end() && fps->is_number_integer()) {
            return fmt::format("res_change {}x{}@{}", width->get<int64_t>(), height->get<int64_t>(),
                               fps->get<int64_t>());
        }
    }
    return fmt::format("{} {}", name, compact);
}

bool socket_path_fits(const std::string& path) {
    return !path.empty() && path.size() < sizeof(sockaddr_un::sun_path) &&
           path.find('\0') == std::string::npos;
}

int run_watch(const WatchOptions& options, int stop_fd, std::ostream& out, std::ostream& err) {
    const std::string& path = options.socket_path;
    if (!socket_path_fits(path)) {
        err << kTag << "socket path is empty or longer than " << sizeof(sockaddr_un::sun_path) - 1
            << " bytes: " << path << std::endl;
        return kExitUsage;
    }

    auto delay = kRetryFirst;
    int reported_error = 0;
    // The socket file whose service closed our connection. While the same file stays, that
    // service is either stopping or gave the single client slot to another client; connecting
    // again would take the slot back from that client, so the watcher waits for a new file.
    std::optional<SocketIdentity> closed_by;

    for (;;) {
        if (stop_requested(stop_fd)) {
            return kExitOk;
        }
        if (closed_by && identity_of(path) != closed_by) {
            closed_by.reset();
        }
        if (!closed_by) {
            ConnectResult attempt = connect_to(path);
            if (attempt.fd) {
                const auto identity = identity_of(path);
                err << kTag << "connected to " << path << std::endl;
                reported_error = 0;
                delay = kRetryFirst;
                Session session(options, stop_fd, out, err);
                switch (session.run(attempt.fd.get())) {
                    case SessionEnd::kStopped:
                    case SessionEnd::kDone:
                        return kExitOk;
                    case SessionEnd::kOutputFailed:
                        return kExitFailure;
                    case SessionEnd::kClosed:
                        break;
                }
                if (!options.wait) {
                    err << kTag << "the service closed the connection" << std::endl;
                    return kExitUnreachable;
                }
                err << kTag
                    << "the service closed the connection (stopped, or another client took "
                       "its only client slot); waiting for it to restart"
                    << std::endl;
                closed_by = identity;
            } else if (attempt.error == EMFILE || attempt.error == ENFILE ||
                       attempt.error == ENOMEM || attempt.error == ENOBUFS ||
                       attempt.error == EAFNOSUPPORT) {
                err << kTag << "cannot create a socket: " << std::strerror(attempt.error)
                    << std::endl;
                return kExitFailure;
            } else if (!options.wait) {
                err << kTag << "cannot connect to " << path << ": " << std::strerror(attempt.error)
                    << std::endl;
                return kExitUnreachable;
            } else if (attempt.error != reported_error) {
                err << kTag << "waiting for the service on " << path << " ("
                    << std::strerror(attempt.error) << ")" << std::endl;
                reported_error = attempt.error;
            }
        }
        if (!wait_unless_stopped(stop_fd, delay)) {
            return kExitOk;
        }
        delay = std::min(delay * 2, kRetryMax);
    }
}

}  // namespace hdgrab::watch
