#include "app/cli.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/version.h"
#include "tests/app/test_util.h"

using hdgrab::CommandLineResult;
using hdgrab::parse_command_line;

namespace {

const std::regex kVersionLine(
    "[0-9a-f]{40} - (clean|dirty|unknown) - "
    "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\n");

std::string expected_help(const std::string& program) {
    return "VIN App for Corvanta\n"
           "Usage:\n"
           "  " +
           program +
           " [OPTION...]\n"
           "\n"
           "  -h, --help      Print help message\n"
           "  -v, --version   Print VERSION\n"
           "  -d, --debug     Enable debug mode\n"
           "      --dump-raw  Dump one YUYV422 frame\n"
           "\n";
}

struct Parsed {
    CommandLineResult result;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "hdgrab");
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed;
    parsed.result = parse_command_line(static_cast<int>(args.size()), args.data(), out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

// The built program, run only with options that end before any file is touched.
hdgrab::test::ProcessResult run_binary(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    // In a cross build the program runs under the same emulator as this test.
    if (const std::string emulator = HDGRAB_TEST_EMULATOR; !emulator.empty()) {
        argv.push_back(emulator);
    }
    argv.push_back(HDGRAB_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return hdgrab::test::run_process(argv);
}

}  // namespace

TEST(CommandLine, NoSwitchesRunsTheService) {
    const Parsed p = parse({});
    EXPECT_FALSE(p.result.exit_status.has_value());
    EXPECT_FALSE(p.result.options.debug);
    EXPECT_FALSE(p.result.options.dump_raw);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
}

TEST(CommandLine, DebugAndDumpSwitches) {
    EXPECT_TRUE(parse({"-d"}).result.options.debug);
    EXPECT_TRUE(parse({"--debug"}).result.options.debug);
    EXPECT_FALSE(parse({"--debug"}).result.options.dump_raw);
    EXPECT_TRUE(parse({"--dump-raw"}).result.options.dump_raw);
    EXPECT_FALSE(parse({"--dump-raw"}).result.options.debug);
    const Parsed both = parse({"-d", "--dump-raw"});
    EXPECT_TRUE(both.result.options.debug && both.result.options.dump_raw);
    EXPECT_FALSE(both.result.exit_status.has_value());
    // Only the occurrence counts, not the value.
    EXPECT_TRUE(parse({"--debug=false"}).result.options.debug);
    EXPECT_TRUE(parse({"--dump-raw=false"}).result.options.dump_raw);
}

TEST(CommandLine, HelpPrintsTheOptionTableAndWinsOverVersion) {
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"-h"}, {"--help"}, {"-h", "-v"}, {"-v", "--help"}, {"-d", "-h", "--dump-raw"}}) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.result.exit_status, hdgrab::kExitOk);
        EXPECT_EQ(p.out, expected_help("hdgrab"));
        EXPECT_EQ(p.err, "");
    }
}

TEST(CommandLine, VersionPrintsOneLine) {
    for (const auto& args : std::vector<std::vector<const char*>>{{"-v"}, {"--version", "-d"}}) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.result.exit_status, hdgrab::kExitOk);
        EXPECT_EQ(p.out, hdgrab::version_line() + "\n");
        EXPECT_TRUE(std::regex_match(p.out, kVersionLine)) << p.out;
    }
}

TEST(CommandLine, ErrorsEndWithStatus255AndAHint) {
    for (const auto& args : std::vector<std::vector<const char*>>{
             {"--bogus"}, {"-x"}, {"-h", "--bogus"}, {"--debug=maybe"}, {"--help=2"}}) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.result.exit_status, hdgrab::kExitFailure) << args.back();
        EXPECT_EQ(p.out, "") << args.back();
        EXPECT_NE(p.err.find("Try 'hdgrab --help' for more information."), std::string::npos)
            << p.err;
    }
    EXPECT_NE(parse({"--bogus"}).err.find("bogus"), std::string::npos);
}

TEST(CommandLine, MissingProgramName) {
    std::ostringstream out;
    std::ostringstream err;
    const char* args[] = {nullptr};
    const CommandLineResult r = parse_command_line(0, args, out, err);
    EXPECT_FALSE(r.exit_status.has_value());
    EXPECT_FALSE(parse_command_line(0, nullptr, out, err).exit_status.has_value());
}

TEST(BuiltProgram, HelpVersionAndBadOption) {
    const auto help = run_binary({"-h"});
    EXPECT_TRUE(help.exited);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, expected_help(HDGRAB_BINARY));
    EXPECT_EQ(help.err, "");

    const auto help_and_version = run_binary({"-h", "-v"});
    EXPECT_EQ(help_and_version.status, 0);
    EXPECT_EQ(help_and_version.out, expected_help(HDGRAB_BINARY)) << "help only";

    const auto version = run_binary({"--version"});
    EXPECT_TRUE(version.exited);
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, kVersionLine)) << version.out;
    EXPECT_EQ(version.err, "");

    const auto bogus = run_binary({"--bogus"});
    EXPECT_TRUE(bogus.exited) << "ended by signal " << bogus.status;
    EXPECT_EQ(bogus.status, 255);
    EXPECT_EQ(bogus.out, "");
    EXPECT_NE(bogus.err.find("bogus"), std::string::npos) << bogus.err;
    EXPECT_NE(bogus.err.find("--help"), std::string::npos) << bogus.err;
}
