#include "media_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "media/media_constants.h"

namespace media_test {

::testing::AssertionResult zero_outside(const std::vector<uint8_t>& record,
                                        const std::vector<Span>& set) {
    for (size_t i = 0; i < record.size(); ++i) {
        const bool listed = std::any_of(set.begin(), set.end(), [i](const Span& span) {
            return i >= span.offset && i < span.offset + span.size;
        });
        if (!listed && record[i] != 0) {
            return ::testing::AssertionFailure()
                   << "byte " << i << " is " << unsigned{record[i]} << ", expected 0";
        }
    }
    return ::testing::AssertionSuccess();
}

void MediaTest::SetUp() {
    axsim::reset();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = std::filesystem::temp_directory_path() /
          (std::string("hdgrab_media_") + info->test_suite_name() + "_" + info->name() + "_" +
           std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // A sparse stand-in for physical memory that covers the pin-multiplexing page.
    dev_mem = dir / "mem";
    { std::ofstream create(dev_mem, std::ios::binary); }
    std::filesystem::resize_file(dev_mem, 0x02301000);
    marker = dir / "kvm" / "have_reboot";
}

void MediaTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

hdgrab::media::MediaPlatform MediaTest::platform() {
    hdgrab::media::MediaPlatform result;
    result.dev_mem = dev_mem.string();
    result.sensor_lib = HDGRAB_TEST_SENSOR_LIB;
    result.reboot_marker = marker.string();
    auto log = events;
    result.run_command = [log](const std::string& command) {
        log->push_back("run " + command);
        // Stands in for the shell's "mkdir -p DIR" so that the marker can be created; nothing
        // else is ever executed.
        const std::string mkdir = "mkdir -p ";
        if (command.rfind(mkdir, 0) == 0) {
            std::filesystem::create_directories(command.substr(mkdir.size()));
        }
        return 0;
    };
    result.sync = [log] { log->push_back("sync"); };
    result.sleep = [log](std::chrono::milliseconds duration) {
        log->push_back("sleep " + std::to_string(duration.count()));
    };
    return result;
}

std::unique_ptr<AxeraUtil> MediaTest::make_util(int32_t width, int32_t height, int32_t fps) {
    auto util = std::make_unique<AxeraUtil>(width, height, fps, platform());
    util->configure("debug", "console", "");
    auto logger = util->get_logger();
    logger->sinks().clear();
    logger->sinks().push_back(sink);
    logger->set_level(spdlog::level::debug);
    return util;
}

std::unique_ptr<AxeraUtil> MediaTest::with_pools(int32_t width, int32_t height, int32_t fps) {
    auto util = make_util(width, height, fps);
    EXPECT_TRUE(util->axera_sys_init());
    EXPECT_TRUE(util->axera_pool_init(hdgrab::media::kPoolWidth, hdgrab::media::kPoolHeight));
    clear_trace();
    return util;
}

void MediaTest::fresh_substitute() {
    axsim::reset();
    trace_start = 0;
}

void MediaTest::create_marker(const std::string& text) {
    std::filesystem::create_directories(marker.parent_path());
    std::ofstream(marker) << text;
}

std::vector<std::string> MediaTest::call_names() {
    std::vector<std::string> names;
    const auto all = axsim::calls();
    for (size_t i = trace_start; i < all.size(); ++i) {
        names.push_back(all[i].name);
    }
    return names;
}

std::vector<axsim::Call> MediaTest::calls_named(const std::string& name) {
    std::vector<axsim::Call> found;
    const auto all = axsim::calls();
    for (size_t i = trace_start; i < all.size(); ++i) {
        if (all[i].name == name) {
            found.push_back(all[i]);
        }
    }
    return found;
}

axsim::Call MediaTest::only_call(const std::string& name) {
    auto found = calls_named(name);
    EXPECT_EQ(found.size(), 1U) << name;
    return found.empty() ? axsim::Call{} : found.front();
}

bool MediaTest::logged(const std::string& level, const std::string& text) {
    const auto lines = log_lines();
    return std::find(lines.begin(), lines.end(), LogLine{level, text}) != lines.end();
}

void MediaTest::clear_trace() {
    trace_start = axsim::calls().size();
    sink->clear();
}

}  // namespace media_test
