// One run of the service in the sandboxed appliance, as the soak scenarios drive it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/harness/appliance.h"
#include "tests/soak/checks.h"

namespace hdgrab::soak {

// Generous bounds: the machine is shared and busy; these catch hangs, they time nothing.
inline constexpr std::chrono::milliseconds kStartTimeout{30000};
inline constexpr std::chrono::milliseconds kMessageTimeout{10000};
inline constexpr std::chrono::milliseconds kExitTimeout{10000};

// Waits until `ready` holds or the time is up.
template <typename Predicate>
bool wait_until(Predicate ready, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds{2});

class Session {
  public:
    explicit Session(std::filesystem::path service) : service_(std::move(service)) {}

    test::ApplianceOptions options() const;
    // Starts the service and waits until its Capture thread serves the socket.
    bool start(std::string& why) { return start(options(), why); }
    bool start(const test::ApplianceOptions& options, std::string& why);
    // Connects `client` and waits until the Bridge monitor watches the bridge for it.
    bool connect(test::Client& client, std::string& why);

    // One command of the simulated bridge (the words of an `hdmi` command line).
    bool command(const std::vector<std::string>& words, std::string& why) const;
    bool announce(const test::Geometry& geometry, std::string& why) const;
    // The bridge's state ("key=value" lines of `hdmi get`), by key.
    std::optional<std::map<std::string, std::string>> bridge_state() const;
    // The number of handshakes the bridge has completed (-1 when it cannot be read).
    long handshakes() const;
    // Waits until the bridge completed more than `before` handshakes and reads "stable": the
    // service has read the announced geometry and acknowledged it.
    bool wait_handshake(long before, std::string& why) const;

    // Waits until the bridge and the service are quiet: no status change for a while and the
    // Bridge monitor waiting on the status file at both ends of it. A new announcement then
    // cannot meet a half-read geometry or be taken as acknowledged by an "ok" meant for an
    // earlier one (the bridge cannot tell which announcement an "ok" answers).
    bool wait_quiet(std::string& why) const;

    // Reads the service's descriptors and memory into `track`; false when it is gone.
    bool sample(ResourceTrack& track) const;

    // Sends the signal and checks an orderly end: exit status 0, the control socket removed, no
    // crash trace.
    bool stop_and_check(int sig, std::string& why);
    // The checks of stop_and_check after the service has ended on its own.
    bool check_ended(std::string& why);

    test::Appliance app;

  private:
    std::filesystem::path service_;
};

template <typename Predicate>
bool wait_until(Predicate ready, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace hdgrab::soak
