#include "bridge/lt6911_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include "bridge/proc_file.h"
#include "tests/support/temp_dir.h"

namespace {

using hdgrab::test::TempDir;
using testing::HasSubstr;

// A bridge object on a temporary directory whose log lines land in `log`.
class BridgeFiles : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        util.configure("info", "console", "");
        auto logger = util.get_logger();
        ASSERT_NE(logger, nullptr);
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
        sink->set_pattern("[%n] [%l] %v");
        logger->sinks().clear();
        logger->sinks().push_back(sink);
    }

    // A status file's content and the status line read from it.
    struct StatusRead {
        const char* content;
        const char* line;
        const char* why;
    };
    void expect_status_reads(std::initializer_list<StatusRead> reads) {
        for (const auto& [content, line, why] : reads) {
            dir.write("status", content);
            std::string status;
            EXPECT_TRUE(util.lt6911_read_status(status)) << why;
            EXPECT_EQ(status, line) << why;
        }
    }

    TempDir dir;
    Lt6911Util util{dir.path()};
    std::ostringstream log;
};

TEST(Lt6911UtilConstruction, EmptyDirectorySelectsTheDriverDirectory) {
    EXPECT_EQ(Lt6911Util("").get_base_dir(), "/proc/lt6911_info");
    EXPECT_EQ(Lt6911Util("/tmp/elsewhere").get_base_dir(), "/tmp/elsewhere");
    EXPECT_EQ(Lt6911Util("relative/dir/").get_base_dir(), "relative/dir/");
}

TEST(Lt6911UtilConstruction, LoggerIsEmptyUntilConfiguredAndNamedAxeraUtil) {
    Lt6911Util util("");
    EXPECT_EQ(util.get_logger(), nullptr);
    util.configure("info", "console", "");
    ASSERT_NE(util.get_logger(), nullptr);
    EXPECT_EQ(util.get_logger()->name(), "AxeraUtil");
}

TEST(Lt6911UtilConstruction, UnconfiguredWritersFailQuietly) {
    Lt6911Util util("/nonexistent/hdgrab-bridge");
    EXPECT_FALSE(util.lt6911_write_status("ok"));
    EXPECT_FALSE(util.lt6911_set_power(true));
}

TEST_F(BridgeFiles, StatusLineIsTheFirstLineWithoutItsLineFeed) {
    expect_status_reads({
        {"stable\n", "stable", "one line"},
        {"stable", "stable", "no line feed reads the same"},
        {"new res\nstable\n", "new res", "only the first line counts"},
        {"\n", "", "an empty line is still a line"},
    });
}

TEST_F(BridgeFiles, StatusLineIsNotTrimmed) {
    expect_status_reads({
        {"stable \n", "stable ", "a trailing space"},
        {"stable\r\n", "stable\r", "a carriage return"},
        {" unknown res\n", " unknown res", "a leading space"},
    });
}

TEST_F(BridgeFiles, EmptyOrMissingStatusFails) {
    std::string status = "before";
    EXPECT_FALSE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "before") << "a missing file leaves the output alone";

    dir.write("status", "");
    EXPECT_FALSE(util.lt6911_read_status(status));
    EXPECT_EQ(log.str(), "") << "readers log nothing";
}

TEST_F(BridgeFiles, HostileStatusContentIsReadSafely) {
    std::string status;
    dir.write("status", std::string(1024 * 1024, 'x') + "\n");
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status.size(), hdgrab::kMaxDriverFileBytes) << "an oversized line is cut";

    std::string junk;
    for (int i = 0; i < 70000; ++i) {
        junk.push_back(static_cast<char>((i * 131 + 7) % 256));
    }
    const std::string expected = junk.substr(0, junk.find('\n'));
    dir.write("status", junk);
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, expected);

    dir.write("status", std::string("sta\0ble\n", 8));
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, std::string("sta\0ble", 7)) << "embedded NUL bytes are kept";
}

TEST_F(BridgeFiles, ValueIsOneDecimalInteger) {
    int32_t value = -1;
    const std::pair<const char*, int32_t> good[] = {
        {"1920\n", 1920},
        {"1920", 1920},
        {"  \n\t720\n", 720},
        {"-5\n", -5},
        {"+60\n", 60},
        {"0\n", 0},
        {"1920x1080", 1920},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& [text, expected] : good) {
        dir.write("width", text);
        EXPECT_TRUE(util.lt6911_read_value("width", value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
}

TEST_F(BridgeFiles, UnreadableValueReadsAsZero) {
    const char* bad[] = {"abc", "",           "\n",          "x1920",
                         "- 5", "2147483648", "-2147483649", "99999999999999999999"};
    for (const char* text : bad) {
        int32_t value = -1;
        dir.write("fps", text);
        EXPECT_FALSE(util.lt6911_read_value("fps", value)) << '"' << text << '"';
        EXPECT_EQ(value, 0) << '"' << text << '"';
    }
    int32_t value = -1;
    EXPECT_FALSE(util.lt6911_read_value("missing", value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(log.str(), "") << "readers log nothing";
}

TEST_F(BridgeFiles, HostileValueContentIsReadSafely) {
    int32_t value = -1;
    dir.write("width", std::string(1024 * 1024, '7'));
    EXPECT_FALSE(util.lt6911_read_value("width", value));
    EXPECT_EQ(value, 0);

    dir.write("width", std::string("\0\xff\x80junk", 7));
    EXPECT_FALSE(util.lt6911_read_value("width", value));

    dir.write("width", std::string(1024 * 1024, ' '));
    EXPECT_FALSE(util.lt6911_read_value("width", value));
}

TEST_F(BridgeFiles, ResolutionNeedsThreePositiveValues) {
    int32_t width = -1;
    int32_t height = -1;
    int32_t fps = -1;
    dir.write("width", "1280\n");
    dir.write("height", "720\n");
    dir.write("fps", "50\n");
    EXPECT_TRUE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(fps, 50);

    dir.write("width", "0\n");
    EXPECT_FALSE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(width, 0) << "a zero value is passed out as read";
    EXPECT_EQ(height, 720);

    dir.write("width", "1920\n");
    dir.write("fps", "-5\n");
    EXPECT_FALSE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(fps, -5) << "a negative value is passed out as read";
    EXPECT_EQ(log.str(), "");
}

TEST_F(BridgeFiles, ResolutionReadsAllThreeEvenAfterAFailure) {
    dir.write("width", "1920\n");
    dir.write("fps", "30\n");
    int32_t width = -1;
    int32_t height = -1;
    int32_t fps = -1;
    EXPECT_FALSE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(width, 1920);
    EXPECT_EQ(height, 0) << "a missing height reads as 0";
    EXPECT_EQ(fps, 30) << "fps is still read";

    dir.write("width", "abc");
    EXPECT_FALSE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(width, 0);
    EXPECT_EQ(fps, 30);
}

TEST_F(BridgeFiles, StatusWriteIsTheValueAndOneLineFeed) {
    EXPECT_TRUE(util.lt6911_write_status("ok"));
    EXPECT_EQ(dir.read("status"), "ok\n");
    EXPECT_EQ(dir.read("status").size(), 3u);

    dir.write("status", "a much longer previous status\n");
    EXPECT_TRUE(util.lt6911_write_status("ok"));
    EXPECT_EQ(dir.read("status"), "ok\n") << "the file is truncated";
    EXPECT_EQ(log.str(), "") << "success is silent";
}

TEST_F(BridgeFiles, PowerWriteIsOneDigitAndLogged) {
    EXPECT_TRUE(util.lt6911_set_power(true));
    EXPECT_EQ(dir.read("power"), "1\n");
    EXPECT_EQ(log.str(), "[AxeraUtil] [info] Lt6911 power enabled\n");

    log.str("");
    EXPECT_TRUE(util.lt6911_set_power(false));
    EXPECT_EQ(dir.read("power"), "0\n");
    EXPECT_EQ(log.str(), "[AxeraUtil] [info] Lt6911 power disabled\n");
}

TEST(Lt6911UtilMissingDirectory, WritersLogTheFullPathReadersStaySilent) {
    const std::string base = "/nonexistent/hdgrab-bridge";
    Lt6911Util util(base);
    util.configure("info", "console", "");
    std::ostringstream log;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
    sink->set_pattern("[%n] [%l] %v");
    util.get_logger()->sinks().clear();
    util.get_logger()->sinks().push_back(sink);

    EXPECT_FALSE(util.lt6911_write_status("ok"));
    EXPECT_EQ(log.str(),
              "[AxeraUtil] [error] Failed to open file for writing: " + base + "/status\n");
    log.str("");
    EXPECT_FALSE(util.lt6911_set_power(true));
    EXPECT_EQ(log.str(),
              "[AxeraUtil] [error] Failed to open Lt6911 power control file: " + base + "/power\n");
    log.str("");

    std::string status = "kept";
    int32_t width = -1;
    int32_t height = -1;
    int32_t fps = -1;
    EXPECT_FALSE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "kept");
    EXPECT_FALSE(util.lt6911_read_resolution(width, height, fps));
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(fps, 0);
    EXPECT_EQ(log.str(), "");
}

TEST_F(BridgeFiles, FailedWritesAreReported) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full to make writes fail";
    }
    std::filesystem::create_symlink("/dev/full", dir.file("status"));
    std::filesystem::create_symlink("/dev/full", dir.file("power"));

    EXPECT_FALSE(util.lt6911_write_status("ok"));
    EXPECT_EQ(log.str(),
              "[AxeraUtil] [error] Failed to write status to file: " + dir.file("status") + "\n");
    log.str("");
    EXPECT_FALSE(util.lt6911_set_power(true));
    EXPECT_EQ(log.str(), "[AxeraUtil] [error] Failed to write Lt6911 power value: true\n");
    log.str("");
    EXPECT_FALSE(util.lt6911_set_power(false));
    EXPECT_EQ(log.str(), "[AxeraUtil] [error] Failed to write Lt6911 power value: false\n");
}

TEST_F(BridgeFiles, NoDescriptorOutlivesAnOperation) {
    dir.write("status", "stable\n");
    dir.write("width", "1920\n");
    dir.write("height", "1080\n");
    dir.write("fps", "60\n");
    const auto before = hdgrab::test::open_descriptor_count();
    std::string status;
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    for (int i = 0; i < 10; ++i) {
        (void)util.lt6911_read_status(status);
        (void)util.lt6911_read_resolution(width, height, fps);
        (void)util.lt6911_write_status("ok");
        (void)util.lt6911_set_power(i % 2 == 0);
        (void)util.lt6911_read_value("missing", width);
    }
    EXPECT_EQ(hdgrab::test::open_descriptor_count(), before);
}

TEST_F(BridgeFiles, EveryReadSeesTheCurrentContent) {
    std::string status;
    dir.write("status", "new res\n");
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "new res");
    EXPECT_TRUE(util.lt6911_write_status("ok"));
    dir.write("status", "stable\n");
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "stable");
    EXPECT_THAT(log.str(), testing::IsEmpty());
}

}  // namespace
