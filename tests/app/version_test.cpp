// The build identity script, run on small source trees in temporary directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "tests/app/test_util.h"

namespace fs = std::filesystem;
using hdgrab::test::read_text;
using hdgrab::test::run_process;
using hdgrab::test::TempDir;
using hdgrab::test::write_text;

namespace {

struct Identity {
    std::string hash;
    std::string state;
    std::string time;
};

std::string find_git() {
    for (const char* candidate : {"/usr/bin/git", "/usr/local/bin/git", "/bin/git"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

const std::map<std::string, std::string> kReproducible{{"SOURCE_DATE_EPOCH", "86400"},
                                                       {"TZ", "UTC"}};

// Runs the script for `source` and returns the three values of the header it leaves at `header`.
Identity generate(const fs::path& source, const fs::path& header,
                  const std::map<std::string, std::string>& env = kReproducible) {
    const auto result = run_process(
        {HDGRAB_CMAKE_COMMAND, "-DSOURCE_DIR=" + source.string(), "-DOUTPUT=" + header.string(),
         "-DGIT_EXECUTABLE=" + find_git(), "-P", HDGRAB_VERSION_SCRIPT},
        env);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string text = read_text(header);
    Identity id;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"re(kGitHash\[\] = "([^"]*)")re"))) {
        id.hash = m[1];
    }
    if (std::regex_search(text, m, std::regex(R"re(kTreeState\[\] = "([^"]*)")re"))) {
        id.state = m[1];
    }
    if (std::regex_search(text, m, std::regex(R"re(kBuildTime\[\] = "([^"]*)")re"))) {
        id.time = m[1];
    }
    return id;
}

void git(const fs::path& repo, const std::vector<std::string>& args) {
    std::vector<std::string> argv{
        find_git(),       "-C", repo.string(),         "-c", "user.name=t", "-c",
        "user.email=t@t", "-c", "commit.gpgsign=false"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = run_process(argv);
    ASSERT_EQ(result.status, 0) << result.err;
}

std::string git_output(const fs::path& repo, const std::vector<std::string>& args) {
    std::vector<std::string> argv{find_git(), "-C", repo.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv).out;
}

}  // namespace

TEST(BuildIdentity, OutsideAGitCheckout) {
    TempDir dir;
    fs::create_directory(dir / "src");
    write_text(dir / "src/main.cpp", "int main() {}\n");
    const Identity id = generate(dir / "src", dir / "out/build_version.h");
    EXPECT_EQ(id.hash, std::string(40, '0'));
    EXPECT_EQ(id.state, "unknown");
    EXPECT_EQ(id.time, "1970-01-02T00:00:00") << "SOURCE_DATE_EPOCH is the build time";
}

TEST(BuildIdentity, LocalTimeWithoutZone) {
    TempDir dir;
    const Identity id =
        generate(dir.path(), dir / "build_version.h",
                 {{"SOURCE_DATE_EPOCH", "86400"}, {"TZ", "UTC-02:30"}});  // 2.5 h east
    EXPECT_EQ(id.time, "1970-01-02T02:30:00");

    const Identity now = generate(dir.path(), dir / "now/build_version.h", {{"TZ", "UTC"}});
    EXPECT_TRUE(std::regex_match(now.time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")))
        << now.time;
}

TEST(BuildIdentity, GitHashAndTreeState) {
    if (find_git().empty()) {
        GTEST_SKIP() << "git is not installed";
    }
    TempDir dir;
    const fs::path repo = dir / "repo";
    fs::create_directory(repo);
    git(repo, {"init", "-q"});
    write_text(repo / "main.cpp", "int main() {}\n");
    write_text(repo / ".gitignore", "/build/\n");
    git(repo, {"add", "."});
    git(repo, {"commit", "-q", "-m", "first"});
    const std::string head = git_output(repo, {"rev-parse", "HEAD"}).substr(0, 40);

    const fs::path header = repo / "build/build_version.h";
    Identity id = generate(repo, header);
    EXPECT_EQ(id.hash, head);
    EXPECT_EQ(id.state, "clean") << "the ignored build folder does not count";

    write_text(repo / "main.cpp", "int main() { return 0; }\n");
    id = generate(repo, header);
    EXPECT_EQ(id.hash, head);
    EXPECT_EQ(id.state, "dirty");

    git(repo, {"commit", "-q", "-a", "-m", "second"});
    id = generate(repo, header);
    EXPECT_NE(id.hash, head);
    EXPECT_EQ(id.state, "clean");

    write_text(repo / "new.cpp", "\n");
    EXPECT_EQ(generate(repo, header).state, "dirty") << "an untracked file";
}

TEST(BuildIdentity, SourcesInsideAnUnrelatedRepositoryAreOutsideACheckout) {
    if (find_git().empty()) {
        GTEST_SKIP() << "git is not installed";
    }
    TempDir dir;
    git(dir.path(), {"init", "-q"});
    fs::create_directory(dir / "unpacked");
    write_text(dir / "unpacked/main.cpp", "\n");
    const Identity id = generate(dir / "unpacked", dir / "unpacked/build/build_version.h");
    EXPECT_EQ(id.hash, std::string(40, '0'));
    EXPECT_EQ(id.state, "unknown");
}

TEST(BuildIdentity, HeaderIsRewrittenOnlyWhenTheSourcesChange) {
    TempDir dir;
    const fs::path source = dir / "src";
    fs::create_directories(source / "lib");
    write_text(source / "lib/a.cpp", "int a;\n");
    const fs::path header = source / "build/build_version.h";
    const std::map<std::string, std::string> now{{"TZ", "UTC"}};
    generate(source, header, now);

    // Mark the header: a run that leaves it alone keeps the mark.
    std::string text = read_text(header);
    text = std::regex_replace(text, std::regex(R"re(kBuildTime\[\] = "[^"]*")re"),
                              R"re(kBuildTime[] = "marked")re");
    write_text(header, text);
    EXPECT_EQ(generate(source, header, now).time, "marked") << "nothing changed";

    write_text(source / "build/object.o", "build output");
    EXPECT_EQ(generate(source, header, now).time, "marked") << "build outputs do not count";

    write_text(source / "lib/a.cpp", "int a = 1;\n");
    EXPECT_NE(generate(source, header, now).time, "marked") << "a changed source file";
}
