// The shared rotating log file. The sink is created once per process, so every test here works
// with the one file set up by the environment below.
#include <fcntl.h>

#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "log/logger.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using hdgrab::test::read_text;

namespace {

constexpr uint64_t kSmallSize = 4096;  // bytes per file, small to make rotation quick
constexpr uint64_t kFiles = 3;

fs::path g_dir;

fs::path log_path(int index = 0) {
    return index == 0 ? g_dir / "logs/vin.log"
                      : g_dir / ("logs/vin." + std::to_string(index) + ".log");
}

// Everything logged so far, oldest file first.
std::string all_output() {
    std::string text;
    for (int i = static_cast<int>(kFiles); i >= 0; --i) {
        text += read_text(log_path(i));
    }
    return text;
}

// Whether every descriptor open on `path` in this process is marked close-on-exec (and one is).
bool open_with_close_on_exec(const fs::path& path) {
    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) != path) {
            continue;
        }
        ++found;
        const int flags = ::fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) == 0) {
            return false;
        }
    }
    return found > 0;
}

class LogFileEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "hdgrab-log-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        g_dir = pattern;
        // The sink creates the missing folder itself.
        set_log_file(log_path().string(), kSmallSize, kFiles);
        spdlog::set_level(spdlog::level::trace);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(g_dir, ec);
    }
};

const auto* const g_environment = testing::AddGlobalTestEnvironment(new LogFileEnvironment);

std::regex file_line(const std::string& name, const std::string& level, const std::string& text) {
    return std::regex(R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[)" + name + R"(\] \[)" +
                      level + R"(\] )" + text + "\n");
}

}  // namespace

TEST(SharedLogFile, SeveralObjectsWriteOneFile) {
    DefaultLogger2 main_logger("main");
    DefaultLogger2 axera("AxeraUtil");
    DefaultLogger2 bridge("AxeraUtil");
    main_logger.configure("info", "file", "");
    axera.configure("info", "file", "/ignored/elsewhere.log");
    bridge.configure("warning", "file", "");
    EXPECT_EQ(main_logger.get_logger()->sinks().at(0), axera.get_logger()->sinks().at(0));
    EXPECT_EQ(shared_file_sink(), shared_file_sink());

    main_logger.get_logger()->info("shared-1 {}", 1);
    axera.get_logger()->error("shared-2 ret=0x{:X}", 0x800d0204u);
    bridge.get_logger()->info("shared-hidden");
    bridge.get_logger()->warn("shared-3");
    main_logger.get_logger()->flush();

    const std::string text = all_output();
    EXPECT_TRUE(std::regex_search(text, file_line("main", "info", "shared-1 1"))) << text;
    EXPECT_TRUE(std::regex_search(text, file_line("AxeraUtil", "error", "shared-2 ret=0x800D0204")))
        << text;
    EXPECT_TRUE(std::regex_search(text, file_line("AxeraUtil", "warning", "shared-3"))) << text;
    EXPECT_EQ(text.find("shared-hidden"), std::string::npos);
    EXPECT_EQ(text.find('\033'), std::string::npos) << "no colour codes in the file";
    EXPECT_FALSE(fs::exists("/ignored/elsewhere.log"));
    EXPECT_TRUE(open_with_close_on_exec(log_path())) << "shell commands must not inherit it";
}

TEST(SharedLogFile, ChangedSettingsDoNotMoveTheOutput) {
    DefaultLogger2 first("first");
    first.configure("info", "file", "");
    set_log_file((g_dir / "other/other.log").string(), kSmallSize, kFiles);
    DefaultLogger2 second("second");
    second.configure("info", "file", "");
    second.get_logger()->info("moved-not");
    second.get_logger()->flush();
    set_log_file(log_path().string(), kSmallSize, kFiles);

    EXPECT_FALSE(fs::exists(g_dir / "other"));
    EXPECT_TRUE(std::regex_search(all_output(), file_line("second", "info", "moved-not")));
}

TEST(SharedLogFile, RotatesAtTheSizeLimitKeepingThreeOlderFiles) {
    DefaultLogger2 object("rotation");
    object.configure("info", "file", "");
    auto log = object.get_logger();
    const std::string filler(60, 'x');
    const int lines = static_cast<int>(kSmallSize * (kFiles + 3) / 100);
    for (int i = 0; i < lines; ++i) {
        log->info("rot {:05d} {}", i, filler);
    }
    log->flush();

    for (int i = 0; i <= static_cast<int>(kFiles); ++i) {
        ASSERT_TRUE(fs::exists(log_path(i))) << log_path(i);
        EXPECT_LE(fs::file_size(log_path(i)), kSmallSize) << log_path(i);
        const std::string text = read_text(log_path(i));
        EXPECT_EQ(text.back(), '\n') << "whole lines only";
    }
    EXPECT_FALSE(fs::exists(log_path(static_cast<int>(kFiles) + 1)));
    EXPECT_TRUE(open_with_close_on_exec(log_path())) << "the reopened file after rotation";
    const std::string newest = read_text(log_path());
    EXPECT_NE(newest.find(fmt::format("rot {:05d} ", lines - 1)), std::string::npos);
    // The oldest lines are gone; the kept lines are in order across the files.
    const std::string text = all_output();
    EXPECT_EQ(text.find("rot 00000 "), std::string::npos);
    std::regex number(R"(rot (\d{5}) )");
    int previous = -1;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number);
         it != std::sregex_iterator(); ++it) {
        const int current = std::stoi((*it)[1]);
        EXPECT_EQ(current, previous < 0 ? current : previous + 1);
        previous = current;
    }
}
