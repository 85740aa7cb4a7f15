#include "log/logger.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

namespace {

// One line as the pattern writes it, for logger `name` at level name `level`.
std::regex line_regex(const std::string& name, const std::string& level, const std::string& text) {
    return std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[)" + name + R"(\] \[)" +
                      level + R"(\] )" + text + "\n");
}

// Restores the process-wide level that the tests change.
class LoggerTest : public testing::Test {
  protected:
    void SetUp() override { spdlog::set_level(spdlog::level::trace); }
    void TearDown() override { spdlog::set_level(spdlog::level::info); }
};

// Configures a console logger while standard output is captured (so it is not a terminal), runs
// `body` with the library logger and returns what reached standard output.
template <typename Body>
std::string console_output(const std::string& name, const std::string& level, Body body) {
    testing::internal::CaptureStdout();
    DefaultLogger2 object(name);
    object.configure(level, "console", "");
    body(*object.get_logger());
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(LevelVocabulary, ExactNamesAndAliases) {
    EXPECT_EQ(normalize_level("trace"), "trace");
    EXPECT_EQ(normalize_level("debug"), "debug");
    EXPECT_EQ(normalize_level("info"), "info");
    EXPECT_EQ(normalize_level("warning"), "warning");
    EXPECT_EQ(normalize_level("warn"), "warning");
    EXPECT_EQ(normalize_level("error"), "error");
    EXPECT_EQ(normalize_level("err"), "error");
    EXPECT_EQ(normalize_level("critical"), "critical");
    EXPECT_EQ(normalize_level("off"), "off");
    // Case-sensitive; anything unknown means off.
    EXPECT_EQ(normalize_level("DEBUG"), "off");
    EXPECT_EQ(normalize_level("Info"), "off");
    EXPECT_EQ(normalize_level(" info"), "off");
    EXPECT_EQ(normalize_level("fatal"), "off");
    EXPECT_EQ(normalize_level(""), "off");

    EXPECT_EQ(level_from_name("warn"), spdlog::level::warn);
    EXPECT_EQ(level_from_name("err"), spdlog::level::err);
    EXPECT_EQ(level_from_name("verbose"), spdlog::level::off);
}

TEST(DefaultLogger2, UnconfiguredHasNoLogger) {
    DefaultLogger2 logger("x");
    EXPECT_EQ(logger.get_logger(), nullptr);
}

TEST(DefaultLogger2, UnsupportedTypeKeepsPreviousLogger) {
    DefaultLogger2 logger("x");
    logger.configure("info", "console", "");
    auto before = logger.get_logger();
    for (const std::string type : {"Console", "CONSOLE", "File", "syslog", ""}) {
        try {
            logger.configure("info", type, "");
            FAIL() << "expected an exception for '" << type << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Unsupported sink type or missing file path: " + type);
        }
        EXPECT_EQ(logger.get_logger(), before);
    }
}

TEST_F(LoggerTest, LineFormatNameAndLevelNames) {
    const std::string out = console_output("AxeraUtil", "trace", [](spdlog::logger& log) {
        log.trace("t {}", 1);
        log.debug("d {}", "two");
        log.info("i {}x{}@{}", 1280, 720, 50);
        log.warn("w");
        log.error("ret=0x{:X}", static_cast<uint32_t>(-2147483647));
        log.critical("c");
    });
    const std::string name = "AxeraUtil";
    const std::regex lines("(" + std::string(R"([^\n]*\n)") + "){6}");
    ASSERT_TRUE(std::regex_match(out, lines)) << out;
    std::istringstream in(out);
    std::string line;
    const std::pair<const char*, const char*> expected[] = {
        {"trace", "t 1"}, {"debug", "d two"},          {"info", "i 1280x720@50"},
        {"warning", "w"}, {"error", "ret=0x80000001"}, {"critical", "c"}};
    for (const auto& [level, text] : expected) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_TRUE(std::regex_match(line + "\n", line_regex(name, level, text))) << line;
    }
}

TEST_F(LoggerTest, NoColourCodesWhenStandardOutputIsNotATerminal) {
    const std::string out = console_output("main", "trace", [](spdlog::logger& log) {
        log.info("plain");
        log.error("plain");
        log.critical("plain");
    });
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_NE(out.find("[info] plain"), std::string::npos) << out;
}

TEST_F(LoggerTest, ThresholdIsTheMoreSevereOfConfiguredAndProcessWide) {
    spdlog::set_level(spdlog::level::err);
    std::string out = console_output("main", "debug", [](spdlog::logger& log) {
        EXPECT_EQ(log.level(), spdlog::level::err);
        log.debug("hidden");
        log.warn("hidden");
        log.error("shown");
    });
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    EXPECT_NE(out.find("[error] shown"), std::string::npos) << out;

    spdlog::set_level(spdlog::level::trace);
    out = console_output("main", "warn", [](spdlog::logger& log) {
        EXPECT_EQ(log.level(), spdlog::level::warn) << "warn behaves as warning";
        log.info("hidden");
        log.warn("shown");
    });
    EXPECT_EQ(out.find("hidden"), std::string::npos) << out;
    EXPECT_NE(out.find("[warning] shown"), std::string::npos) << out;
}

TEST_F(LoggerTest, UnknownOrEmptyLevelDisablesTheLogger) {
    for (const char* level : {"", "ERROR", "verbose", "off"}) {
        const std::string out = console_output("main", level, [](spdlog::logger& log) {
            EXPECT_EQ(log.level(), spdlog::level::off);
            log.critical("nothing");
        });
        EXPECT_EQ(out, "") << "level '" << level << "'";
    }
}

TEST_F(LoggerTest, SeveralObjectsMayShareOneNameAndReconfigureSwapsTheLogger) {
    DefaultLogger2 first("AxeraUtil");
    DefaultLogger2 second("AxeraUtil");
    testing::internal::CaptureStdout();
    first.configure("info", "console", "");
    second.configure("info", "console", "");
    auto old = first.get_logger();
    first.configure("info", "console", "");
    EXPECT_NE(first.get_logger(), old) << "a new library logger";
    old->info("old still works");
    second.get_logger()->info("second");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[AxeraUtil] [info] old still works"), std::string::npos) << out;
    EXPECT_NE(out.find("[AxeraUtil] [info] second"), std::string::npos) << out;
    EXPECT_EQ(spdlog::get("AxeraUtil"), nullptr) << "not registered by name";
}

TEST_F(LoggerTest, GlobalLoggerReplacementDestroysThePrevious) {
    global_logger = std::make_unique<DefaultLogger2>("main");
    std::weak_ptr<spdlog::logger> watch;
    {
        testing::internal::CaptureStdout();
        global_logger->configure("info", "console", "");
        watch = global_logger->get_logger();
        global_logger = std::make_unique<DefaultLogger2>("main");
        (void)testing::internal::GetCapturedStdout();
    }
    EXPECT_TRUE(watch.expired());
    global_logger.reset();
}

namespace {

// Death-test child: with standard output on a pseudo terminal that claims colours, logs one line
// per level and checks the plain per-level colour codes. Exits 0 when all are right.
[[noreturn]] void log_to_colour_terminal() {
    ::setenv("TERM", "xterm", 1);
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || ::dup2(slave, 1) < 0) {
        std::_Exit(2);
    }
    spdlog::set_level(spdlog::level::trace);
    DefaultLogger2 object("main");
    object.configure("trace", "console", "");
    auto log = object.get_logger();
    log->trace("m");
    log->debug("m");
    log->info("m");
    log->warn("m");
    log->error("m");
    log->critical("m");
    std::string out;
    char buffer[4096];
    pollfd ready{master, POLLIN, 0};
    while (::poll(&ready, 1, 100) > 0) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    const char* expected[] = {"[\033[36mtrace\033[m]", "[\033[34mdebug\033[m]",
                              "[\033[32minfo\033[m]",  "[\033[33mwarning\033[m]",
                              "[\033[31merror\033[m]", "[\033[31mcritical\033[m]"};
    for (const char* code : expected) {
        if (out.find(code) == std::string::npos) {
            std::fprintf(stderr, "missing colour sequence in: %s\n", out.c_str());
            std::_Exit(1);
        }
    }
    std::_Exit(0);
}

}  // namespace

TEST(ConsoleColours, PlainForegroundColourPerLevelOnATerminal) {
    // A fresh process: the library decides once per process whether the terminal has colours.
    // Under an emulator the test cannot execute itself again; a forked child is as fresh when
    // the process runs only this test, as ctest runs it.
    const bool emulated = !std::string_view(HDGRAB_TEST_EMULATOR).empty();
    GTEST_FLAG_SET(death_test_style, emulated ? "fast" : "threadsafe");
    EXPECT_EXIT(log_to_colour_terminal(), testing::ExitedWithCode(0), "");
}
