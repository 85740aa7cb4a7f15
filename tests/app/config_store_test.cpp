#include "app/config_store.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "tests/app/test_util.h"

namespace fs = std::filesystem;
using hdgrab::test::read_text;
using hdgrab::test::TempDir;
using hdgrab::test::write_text;

namespace {

// Loads `text` as the configuration file at dir/name and returns the path.
std::string load_text(const TempDir& dir, const std::string& text,
                      const std::string& name = "hdgrab.toml") {
    const std::string path = dir / name;
    write_text(path, text);
    ConfigStore::load(path);
    return path;
}

// Run in a death-test child: with a file size limit of a few bytes every write of the new file
// fails. Exits 0 when set_string reported the failure and kept the root.
[[noreturn]] void exit_after_write_beyond_size_limit() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool written = ConfigStore::set_string("log.level", "debug");
    const bool root_kept = !ConfigStore::get_string("log.level").has_value();
    std::_Exit(!written && root_kept ? 0 : 1);
}

std::vector<std::string> directory_entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(ConfigStoreLoad, MissingUnreadableAndInvalidFilesLeaveTheStoreEmpty) {
    TempDir dir;
    load_text(dir, "[log]\nlevel = 'info'\n");
    ASSERT_EQ(ConfigStore::get_string("log.level"), "info");

    ConfigStore::load(dir / "missing.toml");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt) << "missing file";
    EXPECT_FALSE(ConfigStore::set_string("log.level", "debug")) << "empty store refuses writes";
    EXPECT_FALSE(fs::exists(dir / "missing.toml")) << "nothing written for an empty store";

    load_text(dir, "[log]\nlevel = 'info'\n");
    // A directory opens but cannot be read: it counts as unreadable, not as an empty document.
    fs::create_directory(dir / "a-directory");
    ConfigStore::load(dir / "a-directory");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt) << "unreadable file";
    EXPECT_FALSE(ConfigStore::set_string("log.level", "debug"));

    const std::string invalid = "[log\nlevel = 'info'\n";
    const std::string path = load_text(dir, invalid, "invalid.toml");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt) << "invalid TOML";
    EXPECT_EQ(read_text(path), invalid) << "an invalid file is left as it is";

    load_text(dir, "\xff\xfe binary junk \x01\x02 = = [[", "junk.toml");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt) << "binary junk";

    load_text(dir, "", "empty.toml");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt) << "empty file";
    EXPECT_TRUE(ConfigStore::set_string("log.level", "warn")) << "an empty file is a table";
}

TEST(ConfigStoreLoad, UnreadableByPermissions) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads files whatever their permissions";
    }
    TempDir dir;
    const std::string path = load_text(dir, "[log]\nlevel = 'info'\n");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    ConfigStore::load(path);
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt);
}

TEST(ConfigStoreGet, DescendsTableByTable) {
    TempDir dir;
    load_text(dir,
              "top = 'root value'\n"
              "'log.level' = 'quoted top-level key'\n"
              "[log]\n"
              "level = 'info'\n"
              "count = 3\n"
              "flag = true\n"
              "list = ['a']\n"
              "[log.inner]\n"
              "deep = 'deep value'\n"
              "[log.'']\n"
              "level = 'under the empty key'\n");

    EXPECT_EQ(ConfigStore::get_string("top"), "root value");
    EXPECT_EQ(ConfigStore::get_string("log.level"), "info")
        << "the table log wins; the quoted key 'log.level' is never consulted";
    EXPECT_EQ(ConfigStore::get_string("log.inner.deep"), "deep value");
    EXPECT_EQ(ConfigStore::get_string("log..level"), "under the empty key")
        << "an empty segment between two dots names the empty key";
    EXPECT_EQ(ConfigStore::get_string("log.level."), "info") << "a trailing dot adds nothing";
    EXPECT_EQ(ConfigStore::get_string(".log.level"), std::nullopt)
        << "a leading dot names the empty key at the top level";
    EXPECT_EQ(ConfigStore::get_string("log.missing"), std::nullopt);
    EXPECT_EQ(ConfigStore::get_string("missing.level"), std::nullopt);
    EXPECT_EQ(ConfigStore::get_string("top.below"), std::nullopt) << "a string is not a table";
    EXPECT_EQ(ConfigStore::get_string(""), std::nullopt) << "the root table is not a string";
    EXPECT_EQ(ConfigStore::get_string("log"), std::nullopt) << "a table is not a string";
    EXPECT_EQ(ConfigStore::get_string("log.count"), std::nullopt) << "integer";
    EXPECT_EQ(ConfigStore::get_string("log.flag"), std::nullopt) << "boolean";
    EXPECT_EQ(ConfigStore::get_string("log.list"), std::nullopt) << "array";
    EXPECT_EQ(ConfigStore::get_bool("log.flag"), true);
    EXPECT_EQ(ConfigStore::get_bool("log.level"), std::nullopt) << "string";
    EXPECT_EQ(ConfigStore::get_bool("log.count"), std::nullopt) << "integer";
    EXPECT_EQ(ConfigStore::get_bool("log.missing"), std::nullopt);
    EXPECT_EQ(ConfigStore::get_bool("top.flag"), std::nullopt) << "a string is not a table";
}

TEST(ConfigStoreGet, QuotedDottedTopLevelKeyIsNotFound) {
    TempDir dir;
    load_text(dir, "'log.level' = 'debug'\n\"log.type\" = 'console'\n");
    EXPECT_EQ(ConfigStore::get_string("log.level"), std::nullopt);
    EXPECT_EQ(ConfigStore::get_string("log.type"), std::nullopt);
}

TEST(ConfigStoreSet, CreatesIntermediateTablesAndWritesKeysInNameOrder) {
    TempDir dir;
    const std::string path = load_text(dir, "");
    ASSERT_TRUE(ConfigStore::set_string("log.level", "error"));
    ASSERT_TRUE(ConfigStore::set_string("log.type", "file"));
    ASSERT_TRUE(ConfigStore::set_string("log.file", "/var/log/vexlane/vin.log"));
    EXPECT_EQ(read_text(path),
              "[log]\n"
              "file = '/var/log/vexlane/vin.log'\n"
              "level = 'error'\n"
              "type = 'file'");
    EXPECT_EQ(ConfigStore::get_string("log.type"), "file");

    ASSERT_TRUE(ConfigStore::set_string("a.b.c", "deep"));
    ASSERT_TRUE(ConfigStore::set_string("zz", "last"));
    ASSERT_TRUE(ConfigStore::set_string("aa", "first"));
    EXPECT_EQ(ConfigStore::get_string("a.b.c"), "deep");
    const std::string text = read_text(path);
    EXPECT_LT(text.find("aa = "), text.find("zz = ")) << text;
    EXPECT_LT(text.find("[a.b]"), text.find("[log]")) << text;

    // What was written reads back the same.
    ConfigStore::load(path);
    EXPECT_EQ(ConfigStore::get_string("a.b.c"), "deep");
    EXPECT_EQ(ConfigStore::get_string("log.file"), "/var/log/vexlane/vin.log");
}

TEST(ConfigStoreSet, ReplacesAnyValueUnderTheLastSegment) {
    TempDir dir;
    const std::string path = load_text(dir, "[log]\nlevel = 5\n[log.type]\nx = 'y'\n");
    EXPECT_TRUE(ConfigStore::set_string("log.level", "info"));
    EXPECT_TRUE(ConfigStore::set_string("log.type", "console")) << "a table may be replaced";
    EXPECT_EQ(ConfigStore::get_string("log.level"), "info");
    EXPECT_EQ(ConfigStore::get_string("log.type"), "console");
    EXPECT_EQ(ConfigStore::get_string("log.type.x"), std::nullopt);
    ConfigStore::load(path);
    EXPECT_EQ(ConfigStore::get_string("log.type"), "console");
}

TEST(ConfigStoreSet, RefusesToDescendThroughANonTable) {
    TempDir dir;
    const std::string original = "level = 'info'\nnumber = 1\n";
    const std::string path = load_text(dir, original);
    EXPECT_FALSE(ConfigStore::set_string("level.sub", "x"));
    EXPECT_FALSE(ConfigStore::set_string("number.a.b", "x"));
    EXPECT_FALSE(ConfigStore::set_string("", "x")) << "an empty key names nothing";
    EXPECT_EQ(read_text(path), original) << "nothing written";
    EXPECT_EQ(ConfigStore::get_string("level"), "info") << "root unchanged";
    EXPECT_EQ(ConfigStore::get_string("level.sub"), std::nullopt);
}

TEST(ConfigStoreSet, UnwritableFileReturnsFalseAndKeepsTheRoot) {
    TempDir dir;
    fs::create_directory(dir / "conf");
    const std::string path = dir / "conf/hdgrab.toml";
    write_text(path, "[log]\nlevel = 'info'\n");
    ConfigStore::load(path);
    fs::remove_all(dir / "conf");  // the directory is gone: nothing can be written there

    EXPECT_FALSE(ConfigStore::set_string("log.level", "debug"));
    EXPECT_EQ(ConfigStore::get_string("log.level"), "info") << "root unchanged";
    EXPECT_FALSE(fs::exists(path));
}

TEST(ConfigStoreSet, FailedRenameLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = load_text(dir, "[log]\nlevel = 'info'\n");
    // The path turns into a non-empty directory: the new file cannot be renamed over it.
    fs::remove(path);
    fs::create_directory(path);
    write_text(fs::path(path) / "keep", "x");

    EXPECT_FALSE(ConfigStore::set_string("log.level", "debug"));
    EXPECT_EQ(ConfigStore::get_string("log.level"), "info");
    EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"hdgrab.toml"})
        << "the temporary file is removed";
}

TEST(ConfigStoreSet, FailedWriteKeepsTheOldFileComplete) {
    TempDir dir;
    const std::string original = "[log]\nfile = '/some/long/path/to/make/the/file/longer.log'\n";
    const std::string path = load_text(dir, original);
    // In a child process, a file size limit makes every write beyond a few bytes fail (its
    // standard error is captured in a file too, so the message is not checked here).
    EXPECT_EXIT(exit_after_write_beyond_size_limit(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_text(path), original);
    EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"hdgrab.toml"});
}

TEST(ConfigStoreSet, KeepsPermissionsAndFollowsSymbolicLinks) {
    TempDir dir;
    const std::string real = dir / "real.toml";
    write_text(real, "[log]\nlevel = 'info'\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    const std::string link = dir / "link.toml";
    fs::create_symlink("real.toml", link);

    ConfigStore::load(link);
    ASSERT_TRUE(ConfigStore::set_string("log.level", "debug"));
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(read_text(real), "[log]\nlevel = 'debug'");
    struct stat status {};
    ASSERT_EQ(::stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(directory_entries(dir.path()), (std::vector<std::string>{"link.toml", "real.toml"}));
}
