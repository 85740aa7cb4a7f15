#include "ipc/notify.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace hdgrab {

bool send_json_message(const std::shared_ptr<spdlog::logger>& log, int client_fd,
                       const nlohmann::json& message) {
    if (client_fd < 0) {
        log->error("send_json_message: invalid client_fd");
        return false;
    }

    const std::string text = message.dump();

    // A notification goes out in one send. Only a text larger than the connection can take at
    // once (or a signal arriving mid-copy) comes back short; the rest is then sent too. A send
    // that fails part-way (the send time-out) closes the connection, so the client never sees a
    // cut object followed by the next one.
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t result =
            ::send(client_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (result < 0) {
            log->error("Failed to send message: {} | message: {}", std::strerror(errno), text);
            if (sent > 0) {
                // Part of the object is on the stream: anything sent after it would be
                // unreadable, so the client gets the end of the stream instead (the descriptor
                // stays in the slot, later sends fail, and the client connects anew).
                (void)::shutdown(client_fd, SHUT_RDWR);
                log->warn("Closed the client connection after {} of {} bytes of a message", sent,
                          text.size());
            }
            return false;
        }
        sent += static_cast<size_t>(result);
    }

    log->debug("Message: {}", text);
    return true;
}

nlohmann::json make_res_change(int32_t width, int32_t height, int32_t fps) {
    // The object keeps its members ordered by key, so they go out as fps, height, type, width.
    return nlohmann::json{
        {"type", "res_change"}, {"width", width}, {"height", height}, {"fps", fps}};
}

}  // namespace hdgrab
