// Small formatting helpers shared by the AxeraUtil source files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace hdgrab::media {

// SDK statuses are logged as unsigned 32-bit upper-case hexadecimal ("ret=0x{:X}").
inline uint32_t status_hex(int32_t status) {
    return static_cast<uint32_t>(status);
}

// The call a failure message names: its text before " failed", " Failed", " fail!" or ", ret="
// ("AX_VIN_CreateDev failed, ret=0x{:X}" names "AX_VIN_CreateDev").
inline std::string_view failed_call_name(std::string_view message) {
    size_t end = message.size();
    for (const std::string_view tail : {" failed", " Failed", " fail!", ", ret="}) {
        end = std::min(end, message.find(tail));
    }
    return message.substr(0, end);
}

// The system's text for an error number (thread-safe, unlike strerror).
inline std::string error_text(int error) {
    return std::generic_category().message(error);
}

}  // namespace hdgrab::media
