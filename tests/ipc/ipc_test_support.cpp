#include "tests/ipc/ipc_test_support.h"

#include <poll.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace hdgrab::test {

CapturedLog::CapturedLog() : stream_(std::make_shared<std::ostringstream>()) {
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*stream_, true);
    logger_ = std::make_shared<spdlog::logger>("main", sink);
    logger_->set_pattern("[%l] %v");
    logger_->set_level(spdlog::level::debug);
}

std::string CapturedLog::text() const {
    return stream_->str();
}

bool CapturedLog::contains(const std::string& line) const {
    return count(line) > 0;
}

size_t CapturedLog::count(const std::string& line) const {
    std::istringstream lines(text());
    size_t found = 0;
    for (std::string current; std::getline(lines, current);) {
        found += current == line ? 1 : 0;
    }
    return found;
}

UniqueFd connect_client(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (!fd ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return {};
    }
    return fd;
}

std::string read_until_quiet(int fd, std::chrono::milliseconds quiet, bool* closed) {
    std::string data;
    if (closed != nullptr) {
        *closed = false;
    }
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(quiet.count())) <= 0) {
            return data;
        }
        char buffer[65536];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            if (closed != nullptr) {
                *closed = got == 0;
            }
            return data;
        }
        data.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace hdgrab::test
