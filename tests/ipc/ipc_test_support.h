// Helpers of the control-socket tests: captured log lines, client sockets (and the shared
// temporary directory).
#pragma once

#include <spdlog/logger.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "base/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {

// A debug-level logger whose lines ("[level] message") are kept in memory.
class CapturedLog {
  public:
    CapturedLog();

    const std::shared_ptr<spdlog::logger>& logger() const { return logger_; }
    std::string text() const;
    bool contains(const std::string& line) const;
    size_t count(const std::string& line) const;

  private:
    std::shared_ptr<std::ostringstream> stream_;
    std::shared_ptr<spdlog::logger> logger_;
};

// A blocking client connection to the Unix-domain socket at `path`; invalid when connect fails.
UniqueFd connect_client(const std::string& path);

// Reads whatever arrives on `fd` until the peer closes or nothing arrives for `quiet`. Sets
// `closed` when the peer's end-of-stream was seen.
std::string read_until_quiet(int fd, std::chrono::milliseconds quiet, bool* closed = nullptr);

}  // namespace hdgrab::test
