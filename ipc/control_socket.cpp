#include "ipc/control_socket.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace hdgrab {
namespace {

// bind() gets the size of the whole address record, not the length of the path.
constexpr socklen_t kAddressLength = sizeof(sockaddr_un);
static_assert(kAddressLength == 110, "sockaddr_un must be 110 bytes");

// Bytes of the path copied into the address; the last byte of sun_path stays zero.
constexpr size_t kMaxPathBytes = sizeof(sockaddr_un::sun_path) - 1;

std::string errno_text() {
    return std::strerror(errno);
}

sockaddr_un make_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A longer path is cut at kMaxPathBytes; the service's own path is far shorter.
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), kMaxPathBytes));
    address.sun_path[kMaxPathBytes] = '\0';
    return address;
}

// Creates the parent directory of `path` with its missing ancestors when it does not exist. A
// parent that exists in any form is left alone; a non-directory there makes bind() fail later.
bool ensure_parent_directory(const std::string& path, const std::shared_ptr<spdlog::logger>& log) {
    namespace fs = std::filesystem;
    const fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) {
        return true;
    }
    std::error_code error;
    if (fs::exists(parent, error)) {
        return true;
    }
    if (!error && fs::create_directories(parent, error)) {
        return true;
    }
    if (error) {
        log->error("Failed to create socket directory: {}: {}", parent.string(), error.message());
    } else {
        log->error("Failed to create socket directory: {}", parent.string());
    }
    return false;
}

void set_send_timeout(int fd, const std::shared_ptr<spdlog::logger>& log) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(kClientSendTimeout.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((kClientSendTimeout.count() % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) < 0) {
        // The connection still works; only a client that stops reading could then stall a send.
        log->warn("Failed to set send time-out on client connection: {}", errno_text());
    }
}

}  // namespace

UniqueFd control_socket_setup(_ax_vin_data_t& state, const std::shared_ptr<spdlog::logger>& log,
                              const std::string& path) {
    state.server_fd.store(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int server_fd = state.server_fd.load();
    if (server_fd < 0) {
        log->error("Failed to create socket: {}", errno_text());
        return {};
    }

    const sockaddr_un address = make_address(path);

    if (!ensure_parent_directory(path, log)) {
        return {};
    }

    // A file left by an earlier run would make bind() fail; a missing one is fine.
    (void)::unlink(path.c_str());

    if (::bind(server_fd, reinterpret_cast<const sockaddr*>(&address), kAddressLength) < 0) {
        log->error("Failed to bind socket: {}", errno_text());
        return {};
    }
    if (::listen(server_fd, kListenBacklog) < 0) {
        log->error("Failed to listen on socket: {}", errno_text());
        return {};
    }
    log->debug("Socket listening on {}", path);

    // The Capture thread accepts only after epoll reported a pending connection, but a client
    // that gave up in between must not block it in accept().
    const int flags = ::fcntl(server_fd, F_GETFL);
    (void)::fcntl(server_fd, F_SETFL, flags | O_NONBLOCK);

    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        log->error("Failed to create epoll instance: {}", errno_text());
        return {};
    }

    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = server_fd;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, server_fd, &event) == -1) {
        log->error("Failed to add socket to epoll: {}", errno_text());
        return {};
    }
    // Created here, before any worker runs, so the first accept opens no descriptor of its own.
    (void)client_arrival_fd();
    return epoll;
}

int control_socket_accept(_ax_vin_data_t& state, const std::shared_ptr<spdlog::logger>& log) {
    // No flags besides close-on-exec: the connection is blocking whatever the listener's mode.
    const int fd = ::accept4(state.server_fd.load(), nullptr, nullptr, SOCK_CLOEXEC);
    const int error = fd >= 0 ? 0 : errno;
    if (fd >= 0) {
        // Set before the connection becomes visible in the slot, so no send can miss it.
        set_send_timeout(fd, log);
    }

    // The newest connection (or the empty mark after a failed accept) takes the slot.
    const int displaced = state.client_fd.exchange(fd);
    if (displaced >= 0 && displaced != fd) {
        (void)::close(displaced);
    }

    if (state.client_fd.load() >= 0) {
        log->debug("Accepted new connection");
        const uint64_t one = 1;
        (void)!::write(client_arrival_fd(), &one, sizeof one);
    }
    return error;
}

int client_arrival_fd() noexcept {
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void clear_client_arrival() noexcept {
    uint64_t count = 0;
    (void)!::read(client_arrival_fd(), &count, sizeof count);
}

bool accept_lacks_resources(int error) noexcept {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void control_socket_close_client(_ax_vin_data_t& state) {
    const int fd = state.client_fd.exchange(-1);
    if (fd >= 0) {
        (void)::close(fd);
    }
}

void control_socket_close(_ax_vin_data_t& state, const std::string& path) {
    const int fd = state.server_fd.exchange(-1);
    if (fd >= 0) {
        (void)::close(fd);
    }
    (void)::unlink(path.c_str());
}

}  // namespace hdgrab
