#include "sim/driver/control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

namespace hdgrab::sim {
namespace {

constexpr int kListenBacklog = 8;
constexpr std::chrono::milliseconds kRequestTimeout{2000};
constexpr size_t kMaxRequest = 64 * 1024;

std::optional<int> parse_int(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::string join(const std::vector<std::string>& words, size_t from) {
    std::string out;
    for (size_t i = from; i < words.size(); ++i) {
        out += i == from ? "" : " ";
        out += words[i];
    }
    return out;
}

ControlReply fail(std::string why) {
    return {false, std::move(why)};
}

ControlReply bad_file(const std::string& name) {
    return fail(fmt::format("unknown file '{}' (status, width, height, fps or power)", name));
}

bool fill_address(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Waits until the descriptor is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd item{fd, events, 0};
        const int ready = ::poll(&item, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Reads until the peer shuts its side down; false on time-out or error.
bool read_all(int fd, std::string& out, std::chrono::steady_clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        if (!wait_ready(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > kMaxRequest) {
            return false;
        }
    }
}

}  // namespace

const char* command_usage() {
    return "commands:\n"
           "  res W H F            announce a new resolution (status \"new res\")\n"
           "  unplug               the source goes away (status \"disappear\")\n"
           "  replug               the source comes back (status \"new res\")\n"
           "  unknown | error      the bridge finds no usable timing (\"unknown res\" / \"error "
           "res\") until its next power cycle\n"
           "  status TEXT          publish any status text (\\n, \\r, \\t, \\xHH escapes)\n"
           "  notify               signal a change without changing anything\n"
           "  garbage FILE [TEXT]  FILE reads TEXT (escapes as above; default \"garbage\\n\")\n"
           "  hide FILE | show FILE\n"
           "  restore [FILE]       undo garbage and hide (all files without FILE)\n"
           "  handshake on|off     whether \"ok\" during \"new res\" leads to \"stable\"\n"
           "  delay handshake MS | delay power MS\n"
           "  log                  the writes of the service, one per line: ms file bytes\n"
           "  get                  the bridge's state\n"
           "  quit                 stop the driver (unmounts)\n";
}

ControlReply run_command(BridgeModel& model, const WriteLog& log,
                         const std::vector<std::string>& words) {
    if (words.empty()) {
        return fail("no command");
    }
    const std::string& command = words[0];
    const size_t argc = words.size() - 1;
    if (command == "res") {
        if (argc != 3) {
            return fail("usage: res WIDTH HEIGHT FPS");
        }
        const auto width = parse_int(words[1]);
        const auto height = parse_int(words[2]);
        const auto fps = parse_int(words[3]);
        if (!width || !height || !fps) {
            return fail("res: the three values must be integers");
        }
        model.announce({*width, *height, *fps});
        return {};
    }
    if (command == "unplug" && argc == 0) {
        model.unplug();
        return {};
    }
    if (command == "replug" && argc == 0) {
        model.replug();
        return {};
    }
    if (command == "unknown" && argc == 0) {
        model.bad_timing(kStatusUnknownRes);
        return {};
    }
    if (command == "error" && argc == 0) {
        model.bad_timing(kStatusErrorRes);
        return {};
    }
    if (command == "status") {
        model.set_status(unescape_bytes(join(words, 1)));
        return {};
    }
    if (command == "notify" && argc == 0) {
        model.notify();
        return {};
    }
    if (command == "garbage" || command == "hide" || command == "show" ||
        (command == "restore" && argc >= 1)) {
        if (argc < 1 || (command != "garbage" && argc != 1)) {
            return fail(fmt::format("usage: {} FILE", command));
        }
        const auto file = file_from_name(words[1]);
        if (!file) {
            return bad_file(words[1]);
        }
        if (command == "garbage") {
            model.set_garbage(*file, argc == 1 ? kDefaultGarbage : unescape_bytes(join(words, 2)));
        } else if (command == "restore") {
            model.restore(*file);
        } else {
            model.set_hidden(*file, command == "hide");
        }
        return {};
    }
    if (command == "restore" && argc == 0) {
        model.restore(std::nullopt);
        return {};
    }
    if (command == "handshake") {
        if (argc != 1 || (words[1] != "on" && words[1] != "off")) {
            return fail("usage: handshake on|off");
        }
        model.set_handshake(words[1] == "on");
        return {};
    }
    if (command == "delay") {
        const auto ms = argc == 2 ? parse_int(words[2]) : std::nullopt;
        if (!ms || *ms < 0 || (words[1] != "handshake" && words[1] != "power")) {
            return fail("usage: delay handshake|power MILLISECONDS");
        }
        if (words[1] == "handshake") {
            model.set_handshake_delay(std::chrono::milliseconds{*ms});
        } else {
            model.set_power_delay(std::chrono::milliseconds{*ms});
        }
        return {};
    }
    if (command == "log" && argc == 0) {
        return {true, log.text()};
    }
    if (command == "get" && argc == 0) {
        return {true, model.describe()};
    }
    if (command == "quit" && argc == 0) {
        return {};
    }
    if (command == "help") {
        return {true, command_usage()};
    }
    return fail(
        fmt::format("unknown command or wrong arguments: {}\n{}", join(words, 0), command_usage()));
}

// ---- server -----------------------------------------------------------------------------------

ControlServer::ControlServer(BridgeModel& model, const WriteLog& log, std::function<void()> on_quit)
    : model_(model), log_(log), on_quit_(std::move(on_quit)) {}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::start(const std::string& socket_path) {
    sockaddr_un address{};
    if (!fill_address(socket_path, address)) {
        std::fprintf(stderr, "lt6911-sim: control socket path too long: %s\n", socket_path.c_str());
        return false;
    }
    listen_fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    stop_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!listen_fd_ || !stop_fd_) {
        std::fprintf(stderr, "lt6911-sim: socket: %s\n", std::strerror(errno));
        return false;
    }
    ::unlink(socket_path.c_str());
    if (::bind(listen_fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(listen_fd_.get(), kListenBacklog) < 0) {
        std::fprintf(stderr, "lt6911-sim: cannot listen on %s: %s\n", socket_path.c_str(),
                     std::strerror(errno));
        return false;
    }
    path_ = socket_path;
    worker_ = std::thread([this] { serve(); });
    return true;
}

void ControlServer::stop() {
    if (!worker_.joinable()) {
        return;
    }
    const uint64_t one = 1;
    (void)!::write(stop_fd_.get(), &one, sizeof one);
    worker_.join();
    ::unlink(path_.c_str());
}

void ControlServer::serve() {
    for (;;) {
        pollfd items[2] = {{listen_fd_.get(), POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
        if (::poll(items, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "lt6911-sim: control poll: %s\n", std::strerror(errno));
            return;
        }
        if (items[1].revents != 0) {
            return;
        }
        UniqueFd connection(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection) {
            handle(connection.get());
        }
    }
}

void ControlServer::handle(int connection) {
    std::string request;
    if (!read_all(connection, request, std::chrono::steady_clock::now() + kRequestTimeout)) {
        return;
    }
    std::vector<std::string> words;
    size_t start = 0;
    while (start < request.size()) {
        const size_t end = request.find('\0', start);
        words.push_back(request.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? request.size() : end + 1;
    }
    const ControlReply reply = run_command(model_, log_, words);
    (void)send_all(connection, (reply.ok ? "ok\n" : "error\n") + reply.text);
    if (reply.ok && !words.empty() && words[0] == "quit" && on_quit_) {
        on_quit_();
    }
}

// ---- client -----------------------------------------------------------------------------------

ControlReply send_command(const std::string& socket_path, const std::vector<std::string>& words,
                          std::chrono::milliseconds timeout) {
    sockaddr_un address{};
    if (!fill_address(socket_path, address)) {
        return fail("control socket path too long: " + socket_path);
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fail(fmt::format("socket: {}", std::strerror(errno)));
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return fail(fmt::format("no simulated bridge answers on {}: {}", socket_path,
                                std::strerror(errno)));
    }
    std::string request;
    for (const std::string& word : words) {
        request += word;
        request += '\0';
    }
    if (!send_all(fd.get(), request) || ::shutdown(fd.get(), SHUT_WR) < 0) {
        return fail(fmt::format("cannot send the command: {}", std::strerror(errno)));
    }
    std::string reply;
    if (!read_all(fd.get(), reply, std::chrono::steady_clock::now() + timeout)) {
        return fail("no reply from the simulated bridge");
    }
    const size_t line_end = reply.find('\n');
    const std::string head = reply.substr(0, line_end);
    const std::string body = line_end == std::string::npos ? "" : reply.substr(line_end + 1);
    if (head == "ok") {
        return {true, body};
    }
    return fail(body.empty() ? "malformed reply" : body);
}

}  // namespace hdgrab::sim
