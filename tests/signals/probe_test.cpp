#include "app/probe.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using hdgrab::test::TempDir;
using namespace std::chrono_literals;

// A "main" logger object whose lines land in `log`, and a probe that records its waits instead
// of sleeping.
class ResolutionProbe : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        logger.configure("info", "console", "");
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
        sink->set_pattern("[%n] [%l] %v");
        logger.get_logger()->sinks().clear();
        logger.get_logger()->sinks().push_back(sink);
        settings.bridge_dir = dir.path();
        settings.sleep = [this](std::chrono::milliseconds wait) {
            waits.push_back(wait);
            if (on_wait) {
                on_wait(waits.size());
            }
        };
    }

    void write_geometry(const char* width, const char* height, const char* fps) {
        dir.write("width", width);
        dir.write("height", height);
        dir.write("fps", fps);
    }

    TempDir dir;
    DefaultLogger2 logger{"main"};
    std::ostringstream log;
    hdgrab::ProbeSettings settings;
    std::vector<std::chrono::milliseconds> waits;
    std::function<void(std::size_t)> on_wait;
    _ax_vin_data_t state;
};

// The probed geometry in `state` is `width` x `height` @ `fps`.
void expect_geometry(const _ax_vin_data_t& state, int width, int height, int fps) {
    EXPECT_EQ(state.width, width);
    EXPECT_EQ(state.height, height);
    EXPECT_EQ(state.fps, fps);
}

TEST(ResolutionProbeDefaults, FixedValues) {
    const hdgrab::ProbeSettings defaults;
    EXPECT_EQ(defaults.bridge_dir, "/proc/lt6911_info");
    EXPECT_EQ(defaults.attempts, 50);
    EXPECT_EQ(defaults.wait, 100ms);
    EXPECT_TRUE(static_cast<bool>(defaults.sleep));
}

TEST_F(ResolutionProbe, ValidAtOnceNeedsNoWait) {
    write_geometry("1280\n", "720\n", "50\n");
    EXPECT_TRUE(hdgrab::probe_resolution(state, logger, settings));
    EXPECT_TRUE(waits.empty()) << waits.size() << " waits";
    expect_geometry(state, 1280, 720, 50);
    EXPECT_EQ(log.str(), "[main] [info] LT6911 detected: 1280x720@50\n");
}

TEST_F(ResolutionProbe, ValidOnTheTenthAttemptAfterNineWaits) {
    write_geometry("0\n", "720\n", "50\n");
    on_wait = [this](std::size_t count) {
        if (count == 9) {
            dir.write("width", "1920\n");
        }
    };
    EXPECT_TRUE(hdgrab::probe_resolution(state, logger, settings));
    ASSERT_EQ(waits.size(), 9u);
    for (const auto wait : waits) {
        EXPECT_EQ(wait, 100ms);
    }
    expect_geometry(state, 1920, 720, 50);
    EXPECT_EQ(log.str(), "[main] [info] LT6911 detected: 1920x720@50\n");
}

TEST_F(ResolutionProbe, NeverValidFallsBackTo1080p60WithAWarning) {
    write_geometry("0\n", "1080\n", "60\n");
    EXPECT_FALSE(hdgrab::probe_resolution(state, logger, settings));
    EXPECT_EQ(waits.size(), 50u) << "a wait follows every failed attempt, the last included";
    expect_geometry(state, 1920, 1080, 60);
    EXPECT_EQ(log.str(),
              "[main] [warning] LT6911 signal not ready or invalid after timeout. Using default "
              "1080p60.\n");
}

TEST_F(ResolutionProbe, EveryInvalidShapeIsAFailedAttempt) {
    const char* const cases[][3] = {
        {nullptr, "720\n", "50\n"},  // width file missing
        {"1280\n", nullptr, "50\n"},  {"1280\n", "720\n", nullptr}, {"abc", "720\n", "50\n"},
        {"1280\n", "-720\n", "50\n"}, {"1280\n", "720\n", "0\n"},   {"", "", ""},
    };
    settings.attempts = 3;
    for (const auto& files : cases) {
        std::filesystem::remove(dir.file("width"));
        std::filesystem::remove(dir.file("height"));
        std::filesystem::remove(dir.file("fps"));
        const char* names[] = {"width", "height", "fps"};
        for (int i = 0; i < 3; ++i) {
            if (files[i] != nullptr) {
                dir.write(names[i], files[i]);
            }
        }
        waits.clear();
        log.str("");
        _ax_vin_data_t probed;
        EXPECT_FALSE(hdgrab::probe_resolution(probed, logger, settings));
        EXPECT_EQ(waits.size(), 3u);
        expect_geometry(probed, 1920, 1080, 60);
        EXPECT_NE(log.str().find("Using default 1080p60."), std::string::npos);
    }
}

TEST_F(ResolutionProbe, DescriptorsAreUntouched) {
    write_geometry("1280\n", "720\n", "50\n");
    state.server_fd = -1;
    state.client_fd = -1;
    EXPECT_TRUE(hdgrab::probe_resolution(state, logger, settings));
    EXPECT_EQ(state.server_fd.load(), -1);
    EXPECT_EQ(state.client_fd.load(), -1);
}

TEST_F(ResolutionProbe, UnconfiguredLoggerIsNoCrash) {
    DefaultLogger2 silent("main");
    write_geometry("1280\n", "720\n", "50\n");
    EXPECT_TRUE(hdgrab::probe_resolution(state, silent, settings));
    settings.attempts = 1;
    dir.write("fps", "0\n");
    EXPECT_FALSE(hdgrab::probe_resolution(state, silent, settings));
}

TEST_F(ResolutionProbe, DefaultWaitSleepsTheGivenTime) {
    settings = hdgrab::ProbeSettings{};
    settings.bridge_dir = dir.path();
    settings.attempts = 2;
    settings.wait = 1ms;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(hdgrab::probe_resolution(state, logger, settings));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);
}

TEST_F(ResolutionProbe, CaptureStateIsProbedWithBothDescriptorsCleared) {
    write_geometry("1280\n", "720\n", "50\n");
    const auto probed = hdgrab::make_capture_state(logger, settings);
    ASSERT_NE(probed, nullptr);
    EXPECT_EQ(probed->width, 1280);
    EXPECT_EQ(probed->height, 720);
    EXPECT_EQ(probed->fps, 50);
    EXPECT_EQ(probed->server_fd.load(), -1);
    EXPECT_EQ(probed->client_fd.load(), -1);
    EXPECT_EQ(log.str(), "[main] [info] LT6911 detected: 1280x720@50\n");

    std::filesystem::remove(dir.file("fps"));
    settings.attempts = 2;
    const auto fallback = hdgrab::make_capture_state(logger, settings);
    EXPECT_EQ(fallback->width, 1920);
    EXPECT_EQ(fallback->height, 1080);
    EXPECT_EQ(fallback->fps, 60);
    EXPECT_EQ(fallback->server_fd.load(), -1);
    EXPECT_EQ(fallback->client_fd.load(), -1);
}

}  // namespace
