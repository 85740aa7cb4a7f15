// hdmi: drives the simulated HDMI source through the bridge driver's control socket, and watches
// the service's notifications.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "sim/driver/control.h"
#include "sim/driver/service_client.h"

namespace {

constexpr const char* kControlSocket = "driver/ctl.sock";  // in the state directory
constexpr const char* kServiceSocket = "run/kvm/vin_sock";

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: hdmi [--state DIR | --socket PATH] COMMAND [ARGS...]\n"
                 "       hdmi [--state DIR] watch [--count N]\n"
                 "The state directory defaults to $HDGRAB_SIM_STATE or %s.\n"
                 "  watch                print each notification of the service on its own line\n"
                 "%s",
                 HDGRAB_SIM_DEFAULT_STATE, hdgrab::sim::command_usage());
}

// Prints every complete JSON object arriving on the service's socket, one per line.
int watch(const std::string& path, long count) {
    hdgrab::UniqueFd fd = hdgrab::sim::connect_unix(path);
    if (!fd && errno == ENAMETOOLONG) {
        std::fprintf(stderr, "hdmi: socket path too long: %s\n", path.c_str());
        return 1;
    }
    if (!fd) {
        std::fprintf(stderr, "hdmi: cannot connect to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "hdmi: connected to %s\n", path.c_str());
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::fprintf(stderr, "hdmi: connection closed\n");
            return n == 0 ? 0 : 1;
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = hdgrab::sim::complete_object_end(pending)) != std::string::npos;) {
            std::printf("%s\n", pending.substr(0, end).c_str());
            std::fflush(stdout);
            pending.erase(0, end);
            if (count > 0 && --count == 0) {
                return 0;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* env_state = std::getenv("HDGRAB_SIM_STATE");
    std::string state = env_state && *env_state ? env_state : HDGRAB_SIM_DEFAULT_STATE;
    std::string control;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--state" || arg == "--socket") && i + 1 < argc) {
            (arg == "--state" ? state : control) = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else {
            break;
        }
    }
    if (i == argc) {
        usage(stderr);
        return 2;
    }
    std::vector<std::string> words(argv + i, argv + argc);
    if (words[0] == "watch") {
        long count = 0;
        if (words.size() == 3 && words[1] == "--count") {
            count = std::strtol(words[2].c_str(), nullptr, 10);
        } else if (words.size() != 1) {
            usage(stderr);
            return 2;
        }
        return watch(state + "/" + kServiceSocket, count);
    }
    if (control.empty()) {
        control = state + "/" + kControlSocket;
    }
    const hdgrab::sim::ControlReply reply = hdgrab::sim::send_command(control, words);
    if (!reply.ok) {
        std::fprintf(stderr, "hdmi: %s%s", reply.text.c_str(),
                     !reply.text.empty() && reply.text.back() == '\n' ? "" : "\n");
        return 1;
    }
    std::fputs(reply.text.c_str(), stdout);
    return 0;
}
