// Replays one of the service's sequences in a process of its own and exits, so the tests can see
// what the substitute SDK does at process start (environment) and exit (leak report).
#include <cstdio>
#include <string_view>

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
    if (what == "nothing") {
        return 0;
    }
    std::fprintf(stderr, "usage: axsim_child full|partial|bringup|nothing\n");
    return 2;
}
