// hdgrab-watch: prints the notifications of the hdgrab service, one line each.
#include <signal.h>

#include <cxxopts.hpp>
#include <iostream>
#include <optional>
#include <string>

#include "base/service_state.h"
#include "tools/watch/follow.h"
#include "tools/watch/state.h"
#include "tools/watch/watch.h"

namespace {

void on_stop_signal(int /*signo*/) {
    hdgrab::request_stop();
}

bool install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using hdgrab::watch::OutputFormat;
    hdgrab::watch::WatchOptions options;
    std::optional<std::string> state_path;  // set for --state --follow

    cxxopts::Options table("hdgrab-watch",
                           "Prints each notification of the hdgrab service as one line.\n"
                           "The service keeps a single client: connecting takes over its slot.\n"
                           "With --state, prints the service's state file as one line instead;\n"
                           "with --state --follow, again at every change until interrupted.\n"
                           "Exit status: 0 after --once or SIGINT/SIGTERM, 1 local error, 2 bad "
                           "command line, 3 service unreachable with --no-wait, or not running "
                           "with --state.");
    table.positional_help("[SOCKET]").show_positional_help();
    // clang-format off
    table.add_options()
        ("s,socket", "Control socket to connect to",
         cxxopts::value<std::string>()->default_value(hdgrab::kSocketPath))
        ("j,json", "Print each message as compact JSON instead of the plain form")
        ("once", "Exit after the first message")
        ("no-wait", "Exit with status 3 instead of waiting when the service is absent or "
                    "closes the connection")
        ("state", "Print the service's state file (default " + std::string(hdgrab::kStateFilePath) +
                  ") as one line and exit; status 3 when no service is running",
         cxxopts::value<std::string>()->implicit_value(hdgrab::kStateFilePath), "FILE")
        ("follow", "With --state: print the state again at every change of the file, "
                   "\"not running\" while no service runs, until interrupted")
        ("h,help", "Print this help");
    // clang-format on
    table.parse_positional({"socket"});

    try {
        const auto result = table.parse(argc, argv);
        if (result.count("help") != 0) {
            std::cout << table.help() << std::endl;
            return hdgrab::watch::kExitOk;
        }
        options.socket_path = result["socket"].as<std::string>();
        options.format = result.count("json") != 0 ? OutputFormat::kJson : OutputFormat::kPlain;
        options.once = result.count("once") != 0;
        options.wait = result.count("no-wait") == 0;
        if (result.count("follow") != 0 && result.count("state") == 0) {
            std::cerr << "hdgrab-watch: --follow needs --state" << std::endl;
            return hdgrab::watch::kExitUsage;
        }
        if (result.count("state") != 0) {
            state_path = result["state"].as<std::string>();
            if (result.count("follow") == 0) {
                return hdgrab::watch::run_state(*state_path, options.format, std::cout, std::cerr);
            }
        }
    } catch (const cxxopts::exceptions::exception& e) {
        std::cerr << "hdgrab-watch: " << e.what() << "\n" << table.help() << std::endl;
        return hdgrab::watch::kExitUsage;
    }

    // Created before the handlers so that the handler only ever writes to it.
    if (hdgrab::stop_event_fd() < 0 || !install_stop_handlers()) {
        std::cerr << "hdgrab-watch: cannot set up the stop signals" << std::endl;
        return hdgrab::watch::kExitFailure;
    }
    if (state_path) {
        return hdgrab::watch::follow_state(*state_path, options.format, hdgrab::stop_event_fd(),
                                           std::cout, std::cerr);
    }
    return hdgrab::watch::run_watch(options, hdgrab::stop_event_fd(), std::cout, std::cerr);
}
