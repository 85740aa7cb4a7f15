// Small formatting helpers shared by the AxeraUtil source files.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace hdgrab::media {

// SDK statuses are logged as unsigned 32-bit upper-case hexadecimal ("ret=0x{:X}").
inline uint32_t status_hex(int32_t status) {
    return static_cast<uint32_t>(status);
}

// The system's text for an error number (thread-safe, unlike strerror).
inline std::string error_text(int error) {
    return std::generic_category().message(error);
}

}  // namespace hdgrab::media
