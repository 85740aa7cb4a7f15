#include "tests/workers/workers_fixture.h"

#include <fstream>
#include <string_view>

#include "bridge/lt6911_util.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "sim/sdk/axsim.h"

namespace hdgrab::test {
namespace {

void attach(const std::shared_ptr<spdlog::logger>& logger, const std::shared_ptr<LineSink>& sink) {
    logger->sinks().clear();
    logger->sinks().push_back(sink);
    logger->set_level(spdlog::level::debug);
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace

void WorkersTest::SetUp() {
    // Under an emulator the test program cannot re-execute itself for a death test.
    const bool emulated = !std::string_view(HDGRAB_TEST_EMULATOR).empty();
    GTEST_FLAG_SET(death_test_style, emulated ? "fast" : "threadsafe");
    dir = std::filesystem::temp_directory_path() /
          ("hdgrab-workers-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    bridge_dir = dir / "lt6911_info";
    std::filesystem::create_directories(bridge_dir);
    write_file(bridge_dir / "status", "stable\n");
    write_file(bridge_dir / "width", "1920\n");
    write_file(bridge_dir / "height", "1080\n");
    write_file(bridge_dir / "fps", "60\n");
    // A sparse stand-in for /dev/mem that covers the pin-multiplexing page.
    { std::ofstream mem(dir / "mem"); }
    std::filesystem::resize_file(dir / "mem", 0x02301000);

    axsim::reset();
    global_logger = std::make_unique<DefaultLogger2>("main");
    global_logger->configure("debug", "console", "");
    attach(global_logger->get_logger(), sink);

    media::MediaPlatform platform;
    platform.dev_mem = (dir / "mem").string();
    platform.sensor_lib = HDGRAB_TEST_SENSOR_LIB;
    platform.reboot_marker = (dir / "have_reboot").string();
    platform.run_command = [](const std::string&) { return 0; };
    platform.sync = [] {};
    platform.sleep = [](std::chrono::milliseconds) {};
    global_axera_util = std::make_unique<AxeraUtil>(1920, 1080, 60, platform);
    global_axera_util->configure("debug", "console", "");
    attach(global_axera_util->get_logger(), sink);
    global_lt6911_util = std::make_unique<Lt6911Util>(bridge_dir.string());
    global_lt6911_util->configure("debug", "console", "");
    attach(global_lt6911_util->get_logger(), sink);

    data->width = 1920;
    data->height = 1080;
    data->fps = 60;
    data->server_fd.store(-1);
    data->client_fd.store(-1);
}

void WorkersTest::TearDown() {
    global_lt6911_util.reset();
    global_axera_util.reset();
    global_logger.reset();
    std::error_code error;
    std::filesystem::remove_all(dir, error);
}

std::vector<std::string> WorkersTest::call_names() const {
    std::vector<std::string> names;
    for (const auto& call : axsim::calls()) {
        names.push_back(call.name);
    }
    return names;
}

}  // namespace hdgrab::test
