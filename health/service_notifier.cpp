#include "health/service_notifier.h"

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace hdgrab {
namespace {

// An abstract name is written with '@' in place of its leading zero byte.
constexpr char kAbstractMark = '@';

std::optional<uint64_t> parse_unsigned(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    uint64_t value = 0;
    const auto [rest, error] = std::from_chars(text, end, value);
    if (error != std::errc() || rest != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

const char* process_environment(const char* name) {
    return std::getenv(name);
}

std::optional<NotifyAddress> notify_address(std::string_view value) {
    if (value.size() < 2 || (value.front() != '/' && value.front() != kAbstractMark) ||
        value.size() > sizeof(sockaddr_un::sun_path) - 1 ||
        value.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    NotifyAddress result;
    result.address.sun_family = AF_UNIX;
    std::memcpy(result.address.sun_path, value.data(), value.size());
    socklen_t name_length = static_cast<socklen_t>(value.size());
    if (value.front() == kAbstractMark) {
        // The name's bytes exactly, without a terminating zero.
        result.address.sun_path[0] = '\0';
    } else {
        ++name_length;  // the path's terminating zero
    }
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path)) + name_length;
    return result;
}

std::optional<std::chrono::microseconds> watchdog_interval(
    const EnvironmentLookup& lookup, pid_t pid, const std::shared_ptr<spdlog::logger>& log) {
    const char* text = lookup(kWatchdogUsecVariable);
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::optional<uint64_t> usec = parse_unsigned(text);
    if (!usec) {
        if (log) {
            log->warn("Ignoring {}={}: not a count of microseconds; no keep-alives",
                      kWatchdogUsecVariable, text);
        }
        return std::nullopt;
    }
    if (*usec == 0 || *usec > static_cast<uint64_t>(kMaxWatchdogInterval.count())) {
        return std::nullopt;
    }
    // Set for a process the manager started through another (a shell, say): the keep-alives
    // are then that process's to send.
    if (const char* for_pid = lookup(kWatchdogPidVariable); for_pid != nullptr) {
        const std::optional<uint64_t> wanted = parse_unsigned(for_pid);
        if (!wanted || *wanted != static_cast<uint64_t>(pid)) {
            return std::nullopt;
        }
    }
    return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(*usec));
}

std::optional<ServiceNotifier> ServiceNotifier::from_environment(
    const EnvironmentLookup& lookup, const std::shared_ptr<spdlog::logger>& log) {
    const char* value = lookup(kNotifySocketVariable);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::optional<NotifyAddress> address = notify_address(value);
    if (!address) {
        log->warn("Ignoring {}={}: not a path or an abstract socket name", kNotifySocketVariable,
                  value);
        return std::nullopt;
    }
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        log->warn("Failed to create the service manager notification socket: {}",
                  std::strerror(errno));
        return std::nullopt;
    }
    return ServiceNotifier(std::move(socket), *address, log);
}

bool ServiceNotifier::send(std::string_view text) {
    const ssize_t sent =
        ::sendto(socket_.get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address_.address), address_.length);
    if (sent < 0) {
        const int error = errno;
        if (!failing_.exchange(true)) {
            log_->warn("Failed to notify the service manager: {}", std::strerror(error));
        }
        return false;
    }
    failing_.store(false);
    return true;
}

}  // namespace hdgrab
