// One-shot access to the small text files a kernel driver publishes (one open per access).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace hdgrab {

// Most bytes taken from one driver file. The files hold a word or a number; the bound keeps a
// broken or endless file (a device node, a runaway driver) from exhausting memory or time.
inline constexpr std::size_t kMaxDriverFileBytes = 64 * 1024;

// Opens `path` read-only, close-on-exec. Invalid on failure (errno is kept).
UniqueFd open_for_reading(const std::string& path);

// Opens `path` write-only, close-on-exec, creating it (mode 0644) or truncating it.
UniqueFd open_for_writing(const std::string& path);

// Reads one decimal integer the way formatted stream input does: leading white space skipped, an
// optional sign, digits up to the first character that cannot continue the number. False (and
// `out` 0) for an invalid descriptor, no digits, a value outside 32 bits or a read error.
bool read_int(const UniqueFd& fd, int32_t& out);

// Reads the first line, without its line feed and without any other trimming. False for an
// invalid descriptor (then `out` is untouched), an empty file or a read error (`out` emptied).
// A line longer than kMaxDriverFileBytes is cut at that length.
bool read_line(const UniqueFd& fd, std::string& out);

// Writes all of `text` in as few write(2) calls as the file allows. False on any error.
bool write_all(const UniqueFd& fd, std::string_view text);

}  // namespace hdgrab
