// The log file replaced while the service runs, and a log file on a full device: the logger goes
// on, corrupts no file it does not own, and finds its path again at the next rotation.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "log/logger.h"
#include "tests/app/test_util.h"

namespace fs = std::filesystem;
using hdgrab::test::read_text;
using hdgrab::test::TempDir;
using hdgrab::test::write_text;
using testing::HasSubstr;
using testing::Not;

namespace {

const char* const kChildStyle =
    std::string_view(HDGRAB_TEST_EMULATOR).empty() ? "threadsafe" : "fast";

// Small files so that a few lines rotate them.
constexpr uint64_t kSmallLogSize = 2048;
constexpr uint64_t kKeptFiles = 3;

// The shared file sink is created once per process: each case runs in a child of its own. Under
// an emulator the test cannot execute itself again; a forked child is as fresh, since the parent
// never logs to a file.
#define IN_CHILD(...)                                             \
    do {                                                          \
        GTEST_FLAG_SET(death_test_style, kChildStyle);            \
        EXPECT_EXIT(                                              \
            {                                                     \
                __VA_ARGS__;                                      \
                std::exit(::testing::Test::HasFailure() ? 1 : 0); \
            },                                                    \
            ::testing::ExitedWithCode(0), "");                    \
    } while (false)

// A "file" logger on `path` with small files.
std::shared_ptr<spdlog::logger> file_logger(const std::string& path) {
    set_log_file(path, kSmallLogSize, kKeptFiles);
    static DefaultLogger2 logger("main");
    logger.configure("debug", "file", "");
    return logger.get_logger();
}

// Logs `text` until `done` holds (the sink rotates as it writes, before any flush).
template <typename Done>
void log_until(const std::shared_ptr<spdlog::logger>& log, const std::string& text, Done done) {
    constexpr int kMaxLines = 10000;
    for (int i = 0; i < kMaxLines && !done(); ++i) {
        log->info(text);
    }
    log->flush();
    ASSERT_TRUE(done()) << "no rotation after " << kMaxLines << " lines";
}

}  // namespace

TEST(LogFileReplaced, RenamedFileKeepsItsLinesAndThePathComesBackAtRotation) {
    IN_CHILD({
        TempDir dir;
        const fs::path path = dir / "vin.log";
        const fs::path renamed = dir / "vin.log.old";
        const auto log = file_logger(path);
        log->info("before the rename");
        log->flush();
        fs::rename(path, renamed);

        log->info("after the rename");
        log->flush();
        EXPECT_THAT(read_text(renamed), HasSubstr("before the rename"));
        EXPECT_THAT(read_text(renamed), HasSubstr("after the rename")) << "nothing is lost";
        EXPECT_FALSE(fs::exists(path));

        // The rotation finds nothing to move and starts a new file at the path.
        log_until(log, "filling the renamed file", [&] { return fs::exists(path); });
        log->info("after the rotation");
        log->flush();
        EXPECT_THAT(read_text(path), HasSubstr("after the rotation"));
        EXPECT_THAT(read_text(renamed), Not(HasSubstr("after the rotation")));
    });
}

TEST(LogFileReplaced, RecreatedFileIsNeverWrittenIntoAndIsKeptAtRotation) {
    IN_CHILD({
        TempDir dir;
        const fs::path path = dir / "vin.log";
        const auto log = file_logger(path);
        log->info("before the delete");
        log->flush();
        fs::remove(path);
        write_text(path, "someone else's file\n");

        // Until the next rotation the lines go to the deleted file: they are lost, and the new
        // file is not touched.
        log->info("after the delete");
        log->flush();
        EXPECT_EQ(read_text(path), "someone else's file\n");

        log_until(log, "filling the deleted file", [&] { return fs::exists(dir / "vin.1.log"); });
        log->info("after the rotation");
        log->flush();
        EXPECT_EQ(read_text(dir / "vin.1.log"), "someone else's file\n")
            << "rotation moves the new file along unchanged";
        EXPECT_THAT(read_text(path), HasSubstr("after the rotation"));
    });
}

TEST(LogFileReplaced, FullDeviceIsReportedAndTheLoggerGoesOn) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    // The child's standard error is matched by the death test itself.
    GTEST_FLAG_SET(death_test_style, kChildStyle);
    EXPECT_EXIT(
        {
            const auto log = file_logger("/dev/full");
            for (int i = 0; i < 200; ++i) {
                log->info("a line that finds no space {}", i);
            }
            log->flush();
            log->error("still usable");
            log->flush();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        testing::AllOf(HasSubstr("LOG ERROR"), HasSubstr("No space left on device")));
}
