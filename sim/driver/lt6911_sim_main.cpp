// lt6911-sim: the simulated HDMI bridge driver, a FUSE file system with a control socket.
#include <signal.h>

#include <cstdio>
#include <optional>
#include <string>

#include <cxxopts.hpp>

#include "sim/driver/bridge_fs.h"
#include "sim/driver/bridge_model.h"
#include "sim/driver/control.h"

namespace {

std::optional<hdgrab::sim::Geometry> parse_geometry(const std::string& text) {
    hdgrab::sim::Geometry geometry;
    char x = 0;
    char at = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c%d", &geometry.width, &x, &geometry.height, &at,
                    &geometry.fps) != 5 ||
        x != 'x' || at != '@') {
        return std::nullopt;
    }
    return geometry;
}

// Signals end the FUSE loop; only its thread may receive them, so every other thread is started
// with them blocked.
void block_loop_signals(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sigaddset(&set, sig);
    }
    pthread_sigmask(how, &set, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    cxxopts::Options options("lt6911-sim", "Simulated LT6911 HDMI bridge driver (FUSE)");
    options.add_options()                                                                        //
        ("mount", "mount point (becomes /proc in the sandbox)", cxxopts::value<std::string>())   //
        ("control", "control socket path", cxxopts::value<std::string>())                        //
        ("log", "file recording the writes to the bridge files", cxxopts::value<std::string>())  //
        ("source", "initial source WxH@FPS",
         cxxopts::value<std::string>()->default_value("1920x1080@60"))  //
        ("status", "initial status text",
         cxxopts::value<std::string>()->default_value("stable"))  //
        ("proc-target", "where the sandbox mounts the real procfs",
         cxxopts::value<std::string>()->default_value(hdgrab::sim::kDefaultProcTarget))  //
        ("handshake-delay", "ms from \"ok\" to \"stable\"",
         cxxopts::value<int>()->default_value(
             std::to_string(hdgrab::sim::kDefaultHandshakeDelay.count())))  //
        ("power-delay", "ms from power on to the input coming back",
         cxxopts::value<int>()->default_value(
             std::to_string(hdgrab::sim::kDefaultPowerDelay.count())))  //
        ("h,help", "show this help");
    cxxopts::ParseResult parsed;
    try {
        parsed = options.parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lt6911-sim: %s\n", e.what());
        return 2;
    }
    if (parsed.count("help")) {
        std::printf("%s\n%s", options.help().c_str(), hdgrab::sim::command_usage());
        return 0;
    }
    if (!parsed.count("mount") || !parsed.count("control")) {
        std::fprintf(stderr, "lt6911-sim: --mount and --control are required\n");
        return 2;
    }
    const auto source = parse_geometry(parsed["source"].as<std::string>());
    if (!source) {
        std::fprintf(stderr, "lt6911-sim: --source wants WIDTHxHEIGHT@FPS\n");
        return 2;
    }

    // A reader of the diagnostics that went away must not end the driver.
    ::signal(SIGPIPE, SIG_IGN);
    block_loop_signals(SIG_BLOCK);
    hdgrab::sim::WriteLog log(parsed.count("log") ? parsed["log"].as<std::string>() : "");
    if (parsed.count("log")) {
        if (!log.is_open()) {
            std::fprintf(stderr, "lt6911-sim: cannot open the write log\n");
            return 1;
        }
    }
    hdgrab::sim::BridgeModel model(
        *source, hdgrab::sim::unescape_bytes(parsed["status"].as<std::string>()), &log);
    model.set_handshake_delay(std::chrono::milliseconds{parsed["handshake-delay"].as<int>()});
    model.set_power_delay(std::chrono::milliseconds{parsed["power-delay"].as<int>()});
    model.set_event_trace(stderr);
    hdgrab::sim::BridgeFs fs(model, parsed["proc-target"].as<std::string>());
    if (!fs.mount(parsed["mount"].as<std::string>())) {
        return 1;
    }
    hdgrab::sim::ControlServer control(model, log, [&fs] { fs.exit(); });
    // The control socket answers only once the file system is mounted: scripts wait for it.
    if (!control.start(parsed["control"].as<std::string>())) {
        return 1;
    }
    block_loop_signals(SIG_UNBLOCK);
    const int result = fs.run();
    block_loop_signals(SIG_BLOCK);
    control.stop();
    return result == 0 ? 0 : 1;
}
