#include "bridge/proc_file.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

using hdgrab::test::TempDir;

TEST(DriverFileAccess, DescriptorsAreCloseOnExec) {
    TempDir dir;
    dir.write("value", "1\n");
    const hdgrab::UniqueFd reader = hdgrab::open_for_reading(dir.file("value"));
    const hdgrab::UniqueFd writer = hdgrab::open_for_writing(dir.file("other"));
    ASSERT_TRUE(reader.is_valid());
    ASSERT_TRUE(writer.is_valid());
    EXPECT_TRUE(::fcntl(reader.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(writer.get(), F_GETFD) & FD_CLOEXEC);
}

TEST(DriverFileAccess, InvalidDescriptorFailsEveryOperation) {
    const hdgrab::UniqueFd none;
    int32_t value = 7;
    std::string line = "kept";
    EXPECT_FALSE(hdgrab::read_int(none, value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(hdgrab::read_line(none, line));
    EXPECT_EQ(line, "kept");
    EXPECT_FALSE(hdgrab::write_all(none, "x"));
}

TEST(DriverFileAccess, LineReadStopsAtTheFirstLineFeedOfALongFile) {
    TempDir dir;
    dir.write("status", "stable\n" + std::string(200000, 'y'));
    const hdgrab::UniqueFd fd = hdgrab::open_for_reading(dir.file("status"));
    std::string line;
    EXPECT_TRUE(hdgrab::read_line(fd, line));
    EXPECT_EQ(line, "stable");
}

TEST(DriverFileAccess, EmptyFileGivesAnEmptyFailedLine) {
    TempDir dir;
    dir.write("status", "");
    const hdgrab::UniqueFd fd = hdgrab::open_for_reading(dir.file("status"));
    std::string line = "before";
    EXPECT_FALSE(hdgrab::read_line(fd, line));
    EXPECT_EQ(line, "");
}

TEST(DriverFileAccess, EndlessDeviceIsReadWithinBounds) {
    // /dev/zero never ends: the bound is what makes these reads finish.
    const hdgrab::UniqueFd zero = hdgrab::open_for_reading("/dev/zero");
    if (!zero.is_valid()) {
        GTEST_SKIP() << "no /dev/zero";
    }
    std::string line;
    EXPECT_TRUE(hdgrab::read_line(zero, line));
    EXPECT_EQ(line.size(), hdgrab::kMaxDriverFileBytes);
    int32_t value = 7;
    EXPECT_FALSE(hdgrab::read_int(zero, value));
    EXPECT_EQ(value, 0);
}

TEST(DriverFileAccess, WriteAllWritesEveryByte) {
    TempDir dir;
    const std::string text(100000, 'z');
    {
        const hdgrab::UniqueFd fd = hdgrab::open_for_writing(dir.file("big"));
        EXPECT_TRUE(hdgrab::write_all(fd, text));
    }
    EXPECT_EQ(dir.read("big"), text);
}

}  // namespace
