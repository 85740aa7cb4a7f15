// Bad configuration files: each gives the default settings (or a clear error) and is left as it
// was; an earlier file survives every refused write.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/config_store.h"
#include "log/logger.h"
#include "tests/app/test_util.h"

namespace fs = std::filesystem;
using hdgrab::bootstrap_config;
using hdgrab::choose_log_settings;
using hdgrab::CommandLine;
using hdgrab::LogSettings;
using hdgrab::test::read_text;
using hdgrab::test::TempDir;
using hdgrab::test::write_text;
using testing::HasSubstr;

namespace {

const CommandLine kNoSwitches{};
const LogSettings kDefaults{"error", "file", hdgrab::kDefaultLogFile};

// Generous bound for work that must not hang; the real cost is milliseconds.
constexpr auto kNoHang = std::chrono::seconds(10);

// `count` names joined by dots: "t.t.t".
std::string dotted(std::size_t count, const std::string& name = "t") {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        path += (i == 0 ? "" : ".") + name;
    }
    return path;
}

std::string repeated(const std::string& text, std::size_t count) {
    std::string out;
    out.reserve(text.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += text;
    }
    return out;
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (auto& c : out) {
        c = static_cast<char>(byte(generator));
    }
    return out;
}

// Start-up on an existing file holding `content`: the chosen settings, the file afterwards and
// what went to standard error.
struct StartUp {
    LogSettings settings;
    std::string file_after;
    std::string err;
    std::chrono::steady_clock::duration took;
};

StartUp start_up_with(const std::string& content) {
    TempDir dir;
    const std::string path = dir / "hdgrab.toml";
    write_text(path, content);
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    const bool bootstrapped = bootstrap_config(path);
    StartUp result;
    result.err = testing::internal::GetCapturedStderr();
    result.settings = choose_log_settings(kNoSwitches);
    result.took = std::chrono::steady_clock::now() - start;
    result.file_after = read_text(path);
    EXPECT_TRUE(bootstrapped) << "an existing file never stops the start-up";
    return result;
}

// Checks that `content` gives the defaults, stays byte for byte, and reports `message` (empty:
// nothing at all on standard error).
void expect_defaults(const std::string& label, const std::string& content,
                     const std::string& message = "") {
    SCOPED_TRACE(label);
    const StartUp result = start_up_with(content);
    EXPECT_EQ(result.settings, kDefaults);
    EXPECT_TRUE(result.file_after == content) << "the file is left as it was";
    if (message.empty()) {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_THAT(result.err, HasSubstr(message));
    }
    EXPECT_LT(result.took, kNoHang);
}

// A good file loaded into the store; set_string calls after it must leave it intact if refused.
class EarlierFile : public testing::Test {
  protected:
    void SetUp() override {
        write_text(path, kGood);
        ConfigStore::load(path);
        ASSERT_EQ(ConfigStore::get_string("log.level"), "info");
    }

    // Expects the refusal of set_string(key, value) with `message` on standard error, the file
    // and the store unchanged.
    void expect_refused(const std::string& key, const std::string& value,
                        const std::string& message) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(ConfigStore::set_string(key, value));
        EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(message));
        EXPECT_EQ(read_text(path), kGood) << "the earlier file is intact";
        EXPECT_EQ(ConfigStore::get_string("log.level"), "info") << "the store is unchanged";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
            << "no temporary file is left";
    }

    static constexpr const char* kGood = "[log]\nlevel = 'info'\ntype = 'console'\n";
    TempDir dir;
    const std::string path = dir / "hdgrab.toml";
};

}  // namespace

TEST(BadConfigFile, BinaryJunkGivesTheDefaults) {
    expect_defaults("random bytes", random_bytes(4096, 1));
    expect_defaults("NUL bytes", std::string(100, '\0'));
    expect_defaults("junk around a good table",
                    std::string("\xff\xfe[log]\nlevel = 'info'\n\x80\x81", 24));
    expect_defaults("invalid UTF-8 inside a string", "[log]\nlevel = 'in\xc3\x28o'\n");
    expect_defaults("half a table", "[log\nlevel = 'info'\n");
    expect_defaults("a key twice", "[log]\nlevel = 'info'\nlevel = 'debug'\n");
}

TEST(BadConfigFile, NonAsciiWhereWhiteSpaceMayStand) {
    // Letters beyond ASCII outside strings and comments are invalid TOML.
    expect_defaults("after a value", "[log]\nlevel = 'info' \xc3\xa9\n");
    expect_defaults("as a bare key", "[log]\n\xc3\xa9 = 'x'\nlevel = 'info'\n");
    expect_defaults("no-break space before a key", "[log]\n\xc2\xa0level = 'info'\n");
    // Inside a multi-line string, after a line-ending backslash, they are text.
    const StartUp result =
        start_up_with("[log]\nlevel = 'info'\nfile = \"\"\"/tmp/\\\n  \xc3\xa9.log\"\"\"\n");
    EXPECT_EQ(result.settings, (LogSettings{"info", "file", "/tmp/\xc3\xa9.log"}));
}

TEST(BadConfigFile, TenMegabyteFilesAreRefusedQuickly) {
    constexpr std::size_t kTenMegabytes = 10 * 1024 * 1024;
    expect_defaults("10 MB of junk", random_bytes(kTenMegabytes, 2), "larger than");
    // Valid TOML that would set the level, made large by a comment and by a long value.
    expect_defaults("10 MB comment",
                    "[log]\nlevel = 'info'\n#" + std::string(kTenMegabytes, 'c') + "\n",
                    "larger than 16384 bytes");
    expect_defaults("10 MB value",
                    "[log]\nlevel = 'info'\nfile = '" + std::string(kTenMegabytes, 'f') + "'\n",
                    "larger than 16384 bytes");

    // Just within the bound the file is read as usual.
    std::string within = "[log]\nlevel = 'info'\n#";
    within += std::string(kMaxConfigFileBytes - within.size() - 1, 'c') + "\n";
    ASSERT_EQ(within.size(), kMaxConfigFileBytes);
    const StartUp result = start_up_with(within);
    EXPECT_EQ(result.settings.level, "info");
    EXPECT_EQ(result.err, "");
}

TEST(BadConfigFile, DeepTablesNeitherCrashNorLoad) {
    // 10000 nested tables, written the ways TOML allows: every form is refused by its size
    // before the parser sees it.
    expect_defaults("10000 levels in a table header", "[" + dotted(10000) + "]\nlevel = 'info'\n",
                    "larger than");
    expect_defaults("10000 levels in a dotted key", dotted(10000) + " = 'info'\n", "larger than");
    expect_defaults("10000 inline tables",
                    "x = " + repeated("{a=", 10000) + "1" + repeated("}", 10000) + "\n",
                    "larger than");
    expect_defaults("10000 nested arrays",
                    "x = " + repeated("[", 10000) + repeated("]", 10000) + "\n", "larger than");

    // Inline nesting within the size bound stops at the parser's own limit (invalid TOML).
    expect_defaults("300 inline tables",
                    "x = " + repeated("{a=", 300) + "1" + repeated("}", 300) + "\n");
    expect_defaults("300 nested arrays", "x = " + repeated("[", 300) + repeated("]", 300) + "\n");

    // Within the size bound but deeper than the store accepts: parsed safely, then refused.
    const std::size_t levels_in_bound = kMaxConfigFileBytes / 2 - 8;
    expect_defaults("deepest header within the size bound", "[" + dotted(levels_in_bound) + "]\n",
                    "nested deeper than 64 levels");
    std::string arrays_of_tables;
    for (std::size_t level = 1; level <= 40; ++level) {
        arrays_of_tables += "[[" + dotted(level, "a") + "]]\n";
    }
    expect_defaults("arrays of tables 80 levels deep", arrays_of_tables,
                    "nested deeper than 64 levels");
    expect_defaults("65 levels", "[" + dotted(64) + "]\nx = 1\n[log]\nlevel = 'info'\n",
                    "nested deeper than 64 levels");

    // 64 levels are fine, and the deepest key can be read.
    const StartUp fine = start_up_with("[" + dotted(63) + "]\nx = 'deep'\n[log]\nlevel = 'info'\n");
    EXPECT_EQ(fine.settings.level, "info");
    EXPECT_EQ(fine.err, "");
}

TEST(BadConfigFile, WrongTypesTakeTheDefaultOfThatSettingOnly) {
    expect_defaults("integer level", "[log]\nlevel = 5\n");
    expect_defaults("boolean type", "[log]\ntype = true\n");
    expect_defaults("array file", "[log]\nfile = ['/tmp/a.log']\n");
    expect_defaults("table level", "[log.level]\nname = 'info'\n");
    expect_defaults("date level", "[log]\nlevel = 1979-05-27\n");
    expect_defaults("log a string", "log = 'info'\n");
    expect_defaults("log an array of tables", "[[log]]\nlevel = 'info'\n");
    expect_defaults("log an inline array", "log = [{ level = 'info' }]\n");

    const StartUp mixed = start_up_with("[log]\nlevel = 5\ntype = 'console'\nfile = 7\n");
    EXPECT_EQ(mixed.settings, (LogSettings{"error", "console", hdgrab::kDefaultLogFile}));
}

TEST(BadConfigFile, UnreadableFileGivesTheDefaultsAndStays) {
    TempDir dir;
    const std::string path = dir / "hdgrab.toml";

    // A directory where the file should be.
    fs::create_directory(path);
    write_text(fs::path(path) / "inside", "x");
    ASSERT_TRUE(bootstrap_config(path));
    EXPECT_EQ(choose_log_settings(kNoSwitches), kDefaults);
    EXPECT_TRUE(fs::is_directory(path)) << "not replaced by a file";
    EXPECT_EQ(read_text(fs::path(path) / "inside"), "x");
    fs::remove_all(path);

    // A named pipe without a writer: opening it must not block the start-up.
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(bootstrap_config(path));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
    EXPECT_EQ(choose_log_settings(kNoSwitches), kDefaults);
    EXPECT_TRUE(fs::is_fifo(path));
    fs::remove(path);

    // An endless device behind a symbolic link is read only up to the size bound.
    if (fs::exists("/dev/zero")) {
        fs::create_symlink("/dev/zero", path);
        ASSERT_TRUE(bootstrap_config(path));
        EXPECT_EQ(choose_log_settings(kNoSwitches), kDefaults);
        EXPECT_TRUE(fs::is_symlink(path));
        fs::remove(path);
    }

    // No read permission (root reads it anyway).
    if (::geteuid() != 0) {
        write_text(path, "[log]\nlevel = 'info'\n");
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
        ASSERT_TRUE(bootstrap_config(path));
        EXPECT_EQ(choose_log_settings(kNoSwitches), kDefaults);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        EXPECT_EQ(read_text(path), "[log]\nlevel = 'info'\n");
    }
}

TEST(BadConfigFile, ConfigDirectoryThatIsARegularFileIsAClearError) {
    TempDir dir;
    const std::string kvm = dir / "kvm";
    write_text(kvm, "not a directory\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bootstrap_config(kvm + "/hdgrab.toml"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Failed to create configuration directory " + kvm));
    EXPECT_THAT(err, HasSubstr("not a directory"));
    EXPECT_EQ(read_text(kvm), "not a directory\n") << "the file is left as it was";
}

TEST_F(EarlierFile, RefusedWritesLeaveItIntact) {
    expect_refused(dotted(65, "k"), "x", "more than 64 levels");
    expect_refused("log.file", std::string(kMaxConfigFileBytes, 'f'), "larger than 16384 bytes");
}

TEST_F(EarlierFile, AwkwardKeysAndValuesAreWrittenSoTheyLoadAgain) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"log.file", std::string("nul \0 tab \t bell \x07 del \x7f", 24)},
        {"log.file", "quotes ' \" ''' \"\"\" backslash \\ \\u0041"},
        {"log.file", "line\nfeed\r\nand carriage return"},
        {"log.file", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"log.\x01 key with \"quotes\" and 'apostrophes'", "v"},
        {"log..empty segment", "v"},
        {"log.#not a comment", "v"},
        {"log.[not a table]", "v"},
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(ConfigStore::set_string(key, value));
        ConfigStore::load(path);
        EXPECT_EQ(ConfigStore::get_string(key), value) << "read back after a fresh load";
        EXPECT_EQ(ConfigStore::get_string("log.level"), "info");
    }
}

TEST_F(EarlierFile, ValuesTheWriterWouldAlterAreRefused) {
    // The TOML writer turns each byte that is not UTF-8 into a code point ("\xff" is written as
    // "\u00FF", which reads back as "\xc3\xbf"): such a value would come back changed.
    for (const std::string bad : {"\xff", "\xc3\x28", "\xed\xa0\x80", "/var/log/a\x80z.log"}) {
        SCOPED_TRACE(testing::PrintToString(bad));
        expect_refused("log.file", bad, "does not read back as written");
    }
}
