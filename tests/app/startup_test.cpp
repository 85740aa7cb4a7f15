#include "app/startup.h"

#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "log/logger.h"
#include "tests/app/test_util.h"

using hdgrab::LogSettings;
using hdgrab::start_logging;
using hdgrab::test::TempDir;
using hdgrab::test::write_text;

namespace {

class StartLogging : public testing::Test {
  protected:
    void TearDown() override {
        global_logger.reset();
        spdlog::set_level(spdlog::level::info);
    }
};

}  // namespace

TEST_F(StartLogging, ConsoleAtDebugLogsTheFirstLine) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start_logging({"debug", "console", "/unused.log"}));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[main\] \[debug\] )"
                        R"(main function start\n)")))
        << out;
    ASSERT_NE(global_logger, nullptr);
    EXPECT_EQ(global_logger->get_logger()->name(), "main");
    EXPECT_EQ(spdlog::get_level(), spdlog::level::debug);
}

TEST_F(StartLogging, DefaultLevelErrorHidesTheFirstLine) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start_logging({"error", "console", "/unused.log"}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(global_logger->get_logger()->level(), spdlog::level::err);
}

TEST_F(StartLogging, UnsupportedTypeIsReportedNotThrown) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(start_logging({"debug", "Console", "/unused.log"}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unsupported sink type or missing file path: Console"), std::string::npos)
        << err;
    EXPECT_EQ(global_logger, nullptr);
}

TEST_F(StartLogging, LogFileThatCannotBeCreatedIsReportedNotThrown) {
    TempDir dir;
    write_text(dir / "file", "x");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(start_logging({"error", "file", dir / "file/vin.log"}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to set up logging"), std::string::npos) << err;
    EXPECT_NE(err.find("vin.log"), std::string::npos) << err;
    EXPECT_EQ(global_logger, nullptr);
}

TEST_F(StartLogging, SavedSettingsAreKept) {
    hdgrab::save_log_settings({"info", "file", "/var/log/x.log"});
    EXPECT_EQ(hdgrab::saved_log_settings(), (LogSettings{"info", "file", "/var/log/x.log"}));
}
