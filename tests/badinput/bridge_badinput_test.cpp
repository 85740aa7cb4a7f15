// Bad bridge driver files: every reader gives its documented result, quickly and silently.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/lt6911_util.h"
#include "bridge/proc_file.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using hdgrab::test::TempDir;

constexpr std::size_t kOneMegabyte = 1024 * 1024;
constexpr auto kNoHang = std::chrono::seconds(10);

// One bad content for a geometry file, and what reading it gives.
struct BadValue {
    std::string label;
    std::string content;  // not used when missing
    bool missing = false;
    bool read_ok = false;  // lt6911_read_value's result
    int32_t value = 0;     // the value passed out
};

const std::vector<BadValue>& bad_values() {
    static const std::vector<BadValue> values = {
        {"binary junk", std::string("\0\xff\xfe\x80junk\n", 9)},
        {"junk after blanks",
         " \t\n\x01"
         "1920"},
        {"2^31", "2147483648\n"},
        {"2^32 + 1920", "4294969216\n"},
        {"20 digits", "99999999999999999999\n"},
        {"below -2^31", "-2147483649\n"},
        {"1 MB of digits", std::string(kOneMegabyte, '9')},
        {"1 MB of blanks before the number", std::string(kOneMegabyte, ' ') + "1920\n"},
        {"missing", "", true},
        {"negative", "-1080\n", false, true, -1080},
        {"zero", "0\n", false, true, 0},
        {"-2^31", "-2147483648\n", false, true, INT32_MIN},
    };
    return values;
}

class BadBridgeFiles : public testing::Test {
  protected:
    void SetUp() override {
        dir.write("status", "new res\n");
        dir.write("width", "1920\n");
        dir.write("height", "1080\n");
        dir.write("fps", "60\n");
    }

    void place(const std::string& name, const BadValue& bad) const {
        if (bad.missing) {
            fs::remove(dir.file(name));
        } else {
            dir.write(name, bad.content);
        }
    }

    TempDir dir;
    Lt6911Util util{dir.path()};
};

}  // namespace

TEST_F(BadBridgeFiles, EachBadGeometryValueInEachFile) {
    const std::vector<std::string> names = {"width", "height", "fps"};
    for (std::size_t bad_file = 0; bad_file < names.size(); ++bad_file) {
        for (const BadValue& bad : bad_values()) {
            SCOPED_TRACE(names[bad_file] + ": " + bad.label);
            SetUp();
            place(names[bad_file], bad);
            const auto start = std::chrono::steady_clock::now();

            int32_t value = -7;
            EXPECT_EQ(util.lt6911_read_value(names[bad_file], value), bad.read_ok);
            EXPECT_EQ(value, bad.value);

            int32_t geometry[3] = {-7, -7, -7};
            EXPECT_FALSE(util.lt6911_read_resolution(geometry[0], geometry[1], geometry[2]))
                << "a resolution with a bad value is not valid";
            const int32_t good[3] = {1920, 1080, 60};
            for (std::size_t i = 0; i < names.size(); ++i) {
                EXPECT_EQ(geometry[i], i == bad_file ? bad.value : good[i])
                    << names[i] << " is still read";
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
        }
    }
}

TEST_F(BadBridgeFiles, StatusLinesThatAreNoKnownStatus) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string("\0stable\n", 8), std::string("\0stable", 7)},
        {"\xff\xfe"
         "stable\n",
         "\xff\xfe"
         "stable"},
        {"stable\r\n", "stable\r"},
        {"Stable\n", "Stable"},
        {" new res\n", " new res"},
        {"new  res\n", "new  res"},
        {"\nstable\n", ""},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(content));
        dir.write("status", content);
        std::string status;
        EXPECT_TRUE(util.lt6911_read_status(status));
        EXPECT_EQ(status, expected) << "read as it is, so it matches no known status";
    }
}

TEST_F(BadBridgeFiles, OneMegabyteStatusLine) {
    const auto start = std::chrono::steady_clock::now();
    // One line of 1 MB, then a real status: only the bounded start of the first line is seen.
    dir.write("status", std::string(kOneMegabyte, 'n') + "\nstable\n");
    std::string status;
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, std::string(hdgrab::kMaxDriverFileBytes, 'n'));

    // A known status followed by 1 MB on the same line is not that status.
    dir.write("status", "new res" + std::string(kOneMegabyte, ' ') + "\n");
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_NE(status, "new res");
    EXPECT_EQ(status.size(), hdgrab::kMaxDriverFileBytes);

    // A known status on the first line is found whatever follows it.
    dir.write("status", "stable\n" + std::string(kOneMegabyte, 'x'));
    EXPECT_TRUE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "stable");
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
}

TEST_F(BadBridgeFiles, MissingOrUnreadableStatus) {
    std::string status = "kept";
    fs::remove(dir.file("status"));
    EXPECT_FALSE(util.lt6911_read_status(status));
    EXPECT_EQ(status, "kept") << "a status file that cannot be opened leaves the output";

    fs::create_directory(dir.file("status"));
    EXPECT_FALSE(util.lt6911_read_status(status)) << "a directory cannot be read";

    fs::remove(dir.file("status"));
    dir.write("status", "");
    EXPECT_FALSE(util.lt6911_read_status(status)) << "an empty file holds no line";
}
