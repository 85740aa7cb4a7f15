// JSON notifications sent to the connected client of the control socket.
#pragma once

#include <spdlog/logger.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

namespace hdgrab {

// Sends the compact JSON text of `message` to `client_fd`, without any framing: consecutive
// messages follow each other on the stream and a reader separates them by the JSON syntax.
// Returns true when the whole text was handed to the connection. A negative descriptor and a
// failed send are logged to `log` and give false; the peer going away gives no SIGPIPE. A send
// that fails after part of the text went out shuts the connection down.
bool send_json_message(const std::shared_ptr<spdlog::logger>& log, int client_fd,
                       const nlohmann::json& message);

// The "res_change" notification: {"fps":..,"height":..,"type":"res_change","width":..}.
nlohmann::json make_res_change(int32_t width, int32_t height, int32_t fps);

}  // namespace hdgrab
