// The client side of the service's notification socket, shared by the `hdmi` tool and the tests:
// connecting to a Unix-domain socket and finding where a JSON object ends in the byte stream
// (messages are sent back to back without framing).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace hdgrab::sim {

// A connected stream socket to the Unix-domain socket at `path`; invalid (errno set) on failure.
UniqueFd connect_unix(const std::string& path);

// The end of the first complete JSON object in `text` (whatever precedes it included), or npos.
// Braces inside strings, and escaped quotes, do not count.
size_t complete_object_end(std::string_view text);

}  // namespace hdgrab::sim
