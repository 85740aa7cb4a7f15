// Move-only owner of one file descriptor.
#pragma once

#include <string_view>
#include <utility>

namespace hdgrab {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool is_valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return is_valid(); }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the owned descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// Sends all of `bytes` on the socket `fd` without raising SIGPIPE, resuming after interrupting
// signals; false on an error or a peer that has gone.
bool send_all(int fd, std::string_view bytes) noexcept;

}  // namespace hdgrab
