#include "base/unique_fd.h"

#include <unistd.h>

namespace hdgrab {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        (void)::close(fd_);
    }
    fd_ = fd;
}

}  // namespace hdgrab
