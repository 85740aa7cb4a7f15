// Replays one of the service's sequences in a process of its own and exits, so the tests can see
// what the substitute SDK does at process start (environment) and exit (leak report).
#include <cstdio>
#include <string_view>

#include "sim/sdk/axsim.h"
#include "tests/sim/sequences.h"

int main(int argc, char** argv) {
    std::string_view what = argc > 1 ? argv[1] : "";
    seq::SensorLibrary sensor(AXSIM_SNS_DUMMY);
    const seq::Geometry g{1920, 1080, 60};
    if (what == "full") {
        // Start, one resolution change, shutdown; the exit cleanup runs from a static
        // destructor like the service's global object does.
        static struct ExitCleanup {
            ~ExitCleanup() { (void)seq::exit_cleanup(); }
        } cleanup;
        bool ok = seq::capture_bring_up(g, sensor.object()) &&
                  seq::resolution_change({1280, 720, 50}, sensor.object()) &&
                  seq::capture_tear_down();
        return ok ? 0 : 1;
    }
    if (what == "partial") {
        return seq::capture_bring_up(g, sensor.object()) ? 0 : 1;
    }
    if (what == "bringup") {
        // Exit status tells whether the bring-up passed (fault injection from the environment).
        seq::Result r = seq::capture_bring_up(g, sensor.object());
        std::printf("%s\n", r.failed.c_str());
        return r ? 0 : 1;
    }
    if (what == "calllog") {
        // A process that never asks for the call log (like the service) keeps none: exit 0
        // when nothing was logged, then 0 again only if enable_call_log() starts the log.
        if (!seq::capture_bring_up(g, sensor.object()) || !axsim::calls().empty()) {
            return 1;
        }
        axsim::enable_call_log(true);
        if (!seq::capture_tear_down() || axsim::calls().empty()) {
            return 1;
        }
        axsim::enable_call_log(false);
        return axsim::calls().empty() ? 0 : 1;
    }
    if (what == "nothing") {
        return 0;
    }
    std::fprintf(stderr, "usage: axsim_child full|partial|bringup|calllog|nothing\n");
    return 2;
}
