#include "base/unique_fd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace hdgrab {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        (void)::close(fd_);
    }
    fd_ = fd;
}

bool send_all(int fd, std::string_view bytes) noexcept {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace hdgrab
