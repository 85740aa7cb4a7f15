// The service manager's notification protocol: readiness, status, stopping and keep-alives.
#pragma once

#include <spdlog/logger.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace hdgrab {

// Environment variables the service manager sets for the service.
inline constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";
inline constexpr const char* kWatchdogUsecVariable = "WATCHDOG_USEC";
inline constexpr const char* kWatchdogPidVariable = "WATCHDOG_PID";

// Looks up an environment variable; null when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;
// std::getenv.
const char* process_environment(const char* name);

// The address named by a NOTIFY_SOCKET value: an absolute path, or an abstract name written
// with a leading '@'. Nothing for anything else (empty, relative, too long, other families).
struct NotifyAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};
std::optional<NotifyAddress> notify_address(std::string_view value);

// The longest keep-alive interval the service's timers hold (its nanoseconds fit the steady
// clock, about 292 years); a longer one means none, as the manager's "infinity" does.
inline constexpr std::chrono::microseconds kMaxWatchdogInterval =
    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::nanoseconds::max());

// The keep-alive interval the service manager asks for: WATCHDOG_USEC, an unsigned 64-bit count
// of microseconds, when WATCHDOG_PID is unset or names `pid`. Nothing for 0, a value beyond
// kMaxWatchdogInterval and a value that is no such count (logged once to `log`, when given).
std::optional<std::chrono::microseconds> watchdog_interval(
    const EnvironmentLookup& lookup, pid_t pid,
    const std::shared_ptr<spdlog::logger>& log = nullptr);

// Sends notifications as datagrams to the service manager's socket. Needs no library: the
// protocol is one datagram of newline-separated "NAME=value" assignments. Sends never block: a
// manager that does not keep up loses a notification instead of stalling the service.
class ServiceNotifier {
  public:
    // A notifier for the socket named by NOTIFY_SOCKET; nothing when the variable is unset (the
    // service runs without a manager that listens), and nothing, after a warning on `log`, when
    // it names no usable address or no socket can be created.
    static std::optional<ServiceNotifier> from_environment(
        const EnvironmentLookup& lookup, const std::shared_ptr<spdlog::logger>& log);

    ServiceNotifier(UniqueFd socket, NotifyAddress address, std::shared_ptr<spdlog::logger> log)
        : socket_(std::move(socket)), address_(address), log_(std::move(log)) {}
    ServiceNotifier(ServiceNotifier&& other) noexcept
        : socket_(std::move(other.socket_)),
          address_(other.address_),
          log_(std::move(other.log_)),
          failing_(other.failing_.load()) {}
    ServiceNotifier& operator=(ServiceNotifier&& other) noexcept {
        socket_ = std::move(other.socket_);
        address_ = other.address_;
        log_ = std::move(other.log_);
        failing_.store(other.failing_.load());
        return *this;
    }

    // Sends `text` as one datagram. The first failure of a run of failures is logged (at
    // warning level); the next success ends the run. Safe from several threads.
    bool send(std::string_view text);

  private:
    UniqueFd socket_;
    NotifyAddress address_;
    std::shared_ptr<spdlog::logger> log_;
    std::atomic<bool> failing_{false};
};

}  // namespace hdgrab
