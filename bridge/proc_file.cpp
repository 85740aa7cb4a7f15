#include "bridge/proc_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <sstream>
#include <utility>

namespace hdgrab {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr mode_t kCreateMode = 0644;

// Reads one chunk, resuming after signal interruptions. Returns the byte count, 0 at end of
// file, -1 on error.
ssize_t read_chunk(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// Reads from the current offset until end of file, a line feed (when `stop_at_newline`) or
// kMaxDriverFileBytes. False on a read error.
bool read_bounded(int fd, bool stop_at_newline, std::string& text) {
    std::array<char, kReadChunk> chunk{};
    text.clear();
    while (text.size() < kMaxDriverFileBytes) {
        const std::size_t want = std::min(chunk.size(), kMaxDriverFileBytes - text.size());
        const ssize_t got = read_chunk(fd, chunk.data(), want);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(got));
        if (stop_at_newline &&
            std::find(chunk.data(), chunk.data() + got, '\n') != chunk.data() + got) {
            break;
        }
    }
    return true;
}

}  // namespace

UniqueFd open_for_reading(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

UniqueFd open_for_writing(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCreateMode));
}

bool read_int(const UniqueFd& fd, int32_t& out) {
    out = 0;
    std::string text;
    if (!fd.is_valid() || !read_bounded(fd.get(), false, text)) {
        return false;
    }
    std::istringstream stream(text);
    int value = 0;
    stream >> value;
    if (stream.fail()) {
        return false;
    }
    out = value;
    return true;
}

bool read_line(const UniqueFd& fd, std::string& out) {
    if (!fd.is_valid()) {
        return false;
    }
    std::string text;
    const bool read_ok = read_bounded(fd.get(), true, text);
    const auto newline = text.find('\n');
    const bool got_line = read_ok && !text.empty();
    if (newline != std::string::npos) {
        text.resize(newline);
    }
    out = got_line ? std::move(text) : std::string();
    return got_line;
}

bool write_all(const UniqueFd& fd, std::string_view text) {
    if (!fd.is_valid()) {
        return false;
    }
    while (!text.empty()) {
        const ssize_t put = ::write(fd.get(), text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

}  // namespace hdgrab
