// AxeraUtil's notification of the connected client.
#include "media/axera_util.h"

#include "ipc/notify.h"

bool AxeraUtil::send_json_message(int32_t client_fd, const nlohmann::json& message) {
    return hdgrab::send_json_message(log(), client_fd, message);
}
