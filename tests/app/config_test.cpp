#include "app/config.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/config_store.h"
#include "tests/app/test_util.h"

namespace hdgrab::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBootstrapText =
    "[log]\n"
    "file = '/var/log/vexlane/vin.log'\n"
    "level = 'error'\n"
    "type = 'file'";

const CommandLine kNoSwitches{};
const CommandLine kDebug{.debug = true, .dump_raw = false};
const CommandLine kDumpRaw{.debug = false, .dump_raw = true};

// Loads `text` as an existing configuration file and expects the file left as it was; the log
// settings it gives without switches (none where the load failed).
std::optional<LogSettings> settings_of_existing_file(const std::string& text) {
    TempDir dir;
    const std::string path = dir / "hdgrab.toml";
    write_text(path, text);
    if (!bootstrap_config(path)) {
        return std::nullopt;
    }
    EXPECT_EQ(read_text(path), text) << "an existing file is never rewritten";
    return choose_log_settings(kNoSwitches);
}

TEST(ConfigBootstrap, MissingFileIsCreatedWithTheThreeDefaults) {
    TempDir dir;
    const std::string path = dir / "kvm/hdgrab.toml";
    ASSERT_TRUE(bootstrap_config(path));
    EXPECT_TRUE(fs::is_directory(dir / "kvm"));
    EXPECT_EQ(read_text(path), kBootstrapText);
    EXPECT_EQ(choose_log_settings(kNoSwitches),
              (LogSettings{"error", "file", "/var/log/vexlane/vin.log"}));

    // An existing directory is fine.
    fs::remove(path);
    ASSERT_TRUE(bootstrap_config(path));
    EXPECT_EQ(read_text(path), kBootstrapText);
}

TEST(ConfigRecovery, RetryOnlyForTheBooleanTrue) {
    TempDir dir;
    const std::string path = dir / "kvm/hdgrab.toml";
    ASSERT_TRUE(bootstrap_config(path));
    EXPECT_FALSE(recovery_retry_enabled()) << "a created file has no recovery table";
    for (const auto& [text, enabled] : std::vector<std::pair<std::string, bool>>{
             {"[recovery]\nretry = true\n", true},
             {"[recovery]\nretry = false\n", false},
             {"[recovery]\nretry = 'true'\n", false},
             {"[recovery]\nretry = 1\n", false},
             {"recovery = true\n", false},
         }) {
        write_text(path, text);
        ASSERT_TRUE(bootstrap_config(path));
        EXPECT_EQ(recovery_retry_enabled(), enabled) << text;
        // The rebuild key is read the same way, on its own.
        std::string rebuild = text;
        if (const auto at = rebuild.find("retry"); at != std::string::npos) {
            rebuild.replace(at, 5, "rebuild_on_signal_return");
        }
        write_text(path, rebuild);
        ASSERT_TRUE(bootstrap_config(path));
        EXPECT_EQ(recovery_policy().rebuild_on_signal_return, enabled) << rebuild;
        EXPECT_FALSE(recovery_policy().retry) << rebuild;
    }
}

TEST(ConfigBootstrap, ExistingFileIsLoadedAndNeverRewritten) {
    // Missing keys are not added.
    EXPECT_EQ(settings_of_existing_file("[log]\ntype = \"console\"\n"),
              (LogSettings{"error", "console", "/var/log/vexlane/vin.log"}));
}

TEST(ConfigBootstrap, InvalidFileKeepsItsTextAndGivesDefaults) {
    EXPECT_EQ(settings_of_existing_file("[log\nlevel = 'debug'\n"),
              (LogSettings{"error", "file", "/var/log/vexlane/vin.log"}));
}

TEST(ConfigBootstrap, ParentDirectoryThatCannotBeCreatedIsAnError) {
    TempDir dir;
    write_text(dir / "not-a-directory", "x");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bootstrap_config(dir / "not-a-directory/kvm/hdgrab.toml"))
        << "the grandparent is a file";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to create configuration directory"), std::string::npos) << err;

    // Only one level is created.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bootstrap_config(dir / "etc/kvm/hdgrab.toml"));
    (void)testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(dir / "etc"));
}

TEST(ConfigBootstrap, FileThatCannotBeCreatedLeavesTheDefaults) {
    TempDir dir;
    // A dangling symbolic link into a missing directory: the status says "missing", the
    // directory exists, but the file cannot be created.
    fs::create_symlink(dir / "nowhere/hdgrab.toml", dir / "hdgrab.toml");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(bootstrap_config(dir / "hdgrab.toml"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to create configuration file"), std::string::npos) << err;
    EXPECT_EQ(choose_log_settings(kNoSwitches),
              (LogSettings{"error", "file", "/var/log/vexlane/vin.log"}));
}

TEST(LogSettingsChoice, FileValuesWithDefaults) {
    EXPECT_EQ(choose_log_settings(kNoSwitches, std::nullopt, std::nullopt, std::nullopt),
              (LogSettings{"error", "file", "/var/log/vexlane/vin.log"}));
    EXPECT_EQ(choose_log_settings(kNoSwitches, "info", "console", "/tmp/x.log"),
              (LogSettings{"info", "console", "/tmp/x.log"}));
    EXPECT_EQ(choose_log_settings(kNoSwitches, "warn", "file", std::nullopt).level, "warning");
    EXPECT_EQ(choose_log_settings(kNoSwitches, "err", "file", std::nullopt).level, "error");
    EXPECT_EQ(choose_log_settings(kNoSwitches, "DEBUG", "file", std::nullopt).level, "off")
        << "level names are case-sensitive";
    EXPECT_EQ(choose_log_settings(kNoSwitches, "verbose", "file", std::nullopt).level, "off");
    EXPECT_EQ(choose_log_settings(kNoSwitches, "", "file", std::nullopt).level, "off");
    EXPECT_EQ(choose_log_settings(kNoSwitches, "info", "syslog", std::nullopt).type, "syslog")
        << "the type is checked by the logger, not here";
}

TEST(LogSettingsChoice, DebugAndDumpForceDebugOnTheConsole) {
    for (const CommandLine& switches : {kDebug, kDumpRaw, CommandLine{true, true}}) {
        EXPECT_EQ(choose_log_settings(switches, "error", "file", "/tmp/a.log"),
                  (LogSettings{"debug", "console", "/tmp/a.log"}));
        EXPECT_EQ(choose_log_settings(switches, std::nullopt, std::nullopt, std::nullopt),
                  (LogSettings{"debug", "console", "/var/log/vexlane/vin.log"}));
    }
}

TEST(LogSettingsChoice, ReadsTheLoadedFile) {
    TempDir dir;
    const std::string path = dir / "hdgrab.toml";
    write_text(path, "[log]\nlevel = 'warn'\ntype = 'file'\nfile = '/tmp/service.log'\n");
    ConfigStore::load(path);
    EXPECT_EQ(choose_log_settings(kNoSwitches),
              (LogSettings{"warning", "file", "/tmp/service.log"}));
    EXPECT_EQ(choose_log_settings(kDebug), (LogSettings{"debug", "console", "/tmp/service.log"}))
        << "-d still takes the log file from the configuration";

    write_text(path, "[log]\nlevel = 'ERROR'\ntype = 'console'\n");
    ConfigStore::load(path);
    EXPECT_EQ(choose_log_settings(kNoSwitches).level, "off");

    write_text(path, "[log]\nlevel = 4\ntype = true\nfile = 1\n");
    ConfigStore::load(path);
    EXPECT_EQ(choose_log_settings(kNoSwitches),
              (LogSettings{"error", "file", "/var/log/vexlane/vin.log"}))
        << "values of the wrong type take their defaults";
}

}  // namespace
}  // namespace hdgrab::test
