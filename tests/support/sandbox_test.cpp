// The sandboxed appliance as a program inside it sees it, driven through the e2e harness.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/sandbox.h"

namespace hdgrab::test {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kProbeRegister = 0x02300084;
constexpr uint32_t kProbeValue = 0xC0FFEE01;
constexpr std::chrono::milliseconds kExit{15000};

using Report = std::map<std::string, std::string>;

Report parse_report(const std::string& text) {
    Report values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// Each key of `expected` has its value in the report.
void expect_entries(const Report& report, const Report& expected) {
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(report.at(key), value) << key;
    }
}

std::set<std::string> split(const std::string& list) {
    std::set<std::string> names;
    std::istringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
        names.insert(name);
    }
    return names;
}

// The root a program in the sandbox should see: fixed names, the host's /bin-style links and
// the top folder of the build tree (bound at its own path).
std::set<std::string> expected_root() {
    std::set<std::string> names = {".hostproc", ".sandbox", "dev", "etc", "opt", "proc",
                                   "root",      "run",      "sys", "tmp", "usr", "var"};
    for (const char* dir : {"bin", "sbin", "lib", "lib32", "lib64"}) {
        if (std::filesystem::exists(std::filesystem::path("/") / dir)) {
            names.insert(dir);
        }
    }
    names.insert(*std::next(build_dir().begin()));
    return names;
}

ApplianceOptions probe(std::vector<std::string> args) {
    ApplianceOptions options;
    options.binary = probe_binary();
    options.args = std::move(args);
    return options;
}

TEST(Sandbox, ProbeSeesExactlyTheExpectedTree) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ApplianceOptions options = probe({"report"});
    options.source = {1280, 720, 50};
    options.env["AXSIM_TEST_MARK"] = "1";
    options.env["NOT_PASSED"] = "1";
    ASSERT_TRUE(appliance.start(options)) << appliance.error();
    ASSERT_EQ(appliance.wait_exit(kExit), 0) << appliance.output();
    const auto report = parse_report(appliance.output());

    EXPECT_EQ(split(report.at("root")), expected_root()) << report.at("root");
    std::set<std::string> etc = {"kvm", "ld.so.cache"};
    for (const char* name : {"localtime", "passwd", "group"}) {
        if (std::filesystem::exists(std::filesystem::path("/etc") / name)) {
            etc.insert(name);
        }
    }
    EXPECT_EQ(split(report.at("etc")), etc);
    const bool sensor_built = std::filesystem::exists(build_dir() / "sim/lib/libsns_dummy.so");
    expect_entries(report, {{"run", "kvm"},
                            {"var", "lib,log"},
                            {"var_lib", "kvm"},
                            {"sys", "module"},
                            {"sys_module", "ax_avs"},
                            {"sandbox", "bin,out"},
                            {"opt_lib", sensor_built ? "libsns_dummy.so" : ""}});

    // The simulated bridge as /proc/lt6911_info, the rest of /proc still real.
    expect_entries(report, {{"bridge", "fps,height,power,status,width"},
                            {"bridge_status", "stable\\n"},
                            {"bridge_width", "1280\\n"},
                            {"bridge_height", "720\\n"},
                            {"bridge_fps", "50\\n"},
                            {"self_maps", "1"},
                            {"self_exe", probe_binary().string()},
                            {"proc_has_meminfo", "1"}});
    EXPECT_EQ(report.at("self_fd"), "4") << "0, 1, 2 and the directory being listed";

    // No privileges; only the state directory's folders are writable.
    EXPECT_EQ(report.at("cap_eff"), "0000000000000000");
    EXPECT_EQ(report.at("no_new_privs"), "1");
    for (const char* dir :
         {"/etc/kvm", "/var/log", "/var/lib/kvm", "/root", "/run/kvm", "/tmp", "/.sandbox/out"}) {
        EXPECT_EQ(report.at(std::string("writable") + dir), "1") << dir;
    }
    for (const char* dir : {"/usr", "/sys/module", "/.sandbox/bin"}) {
        EXPECT_EQ(report.at(std::string("writable") + dir), "0") << dir;
    }

    // /dev/mem is the state's sparse file: the host reads back what the probe wrote.
    EXPECT_EQ(report.at("dev_mem"), "1");
    EXPECT_EQ(appliance.read_dev_mem(kProbeRegister), kProbeValue);
    EXPECT_EQ(std::filesystem::file_size(appliance.state_dir() / "dev/mem"), 0x02301000u);

    // reboot only leaves a record.
    EXPECT_EQ(report.at("reboot"), "0");
    EXPECT_EQ(appliance.reboot_requests().size(), 1u);
    EXPECT_TRUE(report.at("path").starts_with("/.sandbox/bin:"));
    EXPECT_EQ(report.at("ld_library_path"), (build_dir() / "sim/lib").string());
    EXPECT_EQ(report.at("axsim"), "AXSIM_TEST_MARK=1");
}

TEST(Sandbox, MediaModuleCanBeLeftOutAndAddedLater) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ApplianceOptions options = probe({"report"});
    options.media_module = false;
    ASSERT_TRUE(appliance.start(options)) << appliance.error();
    ASSERT_EQ(appliance.wait_exit(kExit), 0) << appliance.output();
    EXPECT_EQ(parse_report(appliance.output()).at("sys_module"), "");
    EXPECT_TRUE(appliance.set_media_module(true));
    EXPECT_TRUE(std::filesystem::is_directory(appliance.state_dir() / "sys/module/ax_avs"));
}

TEST(Sandbox, SocketDirectoryIsReachableFromOutside) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start(probe({"serve"}))) << appliance.error();
    EXPECT_GT(appliance.pid(), 1) << "the host pid of the program";
    Client client;
    ASSERT_TRUE(client.connect(appliance.socket_path(), 10s)) << appliance.output();
    EXPECT_EQ(client.read_message(10s), "{\"probe\":\"hello\"}");
    ASSERT_TRUE(appliance.wait_for_output("greeted", 10s));
    ASSERT_TRUE(appliance.send_signal(SIGTERM));
    EXPECT_EQ(appliance.wait_exit(kExit), 0);
    EXPECT_NE(appliance.output().find("stopping on signal 15"), std::string::npos)
        << appliance.output();
    EXPECT_TRUE(client.wait_closed(5s));
}

TEST(Sandbox, HdmiWatchPrintsEachMessage) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start(probe({"serve"}))) << appliance.error();
    ASSERT_TRUE(appliance.wait_for_output("listening", 10s)) << appliance.output();
    const HdmiResult watched = appliance.hdmi("watch", "--count", "1");
    EXPECT_EQ(watched.status, 0) << watched.output;
    EXPECT_NE(watched.output.find("{\"probe\":\"hello\"}\n"), std::string::npos) << watched.output;
}

TEST(Sandbox, InterruptOfTheSandboxReachesTheProgram) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start(probe({"serve"}))) << appliance.error();
    ASSERT_TRUE(appliance.wait_for_output("listening", 10s)) << appliance.output();
    ASSERT_TRUE(appliance.signal_sandbox(SIGINT));
    EXPECT_EQ(appliance.wait_exit(kExit), 0);
    EXPECT_NE(appliance.output().find("stopping on signal 2"), std::string::npos)
        << appliance.output();
}

TEST(Sandbox, StopKillsAProgramThatIgnoresTerm) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ApplianceOptions options;
    options.binary = "/bin/sh";
    options.args = {"-c", "trap '' TERM INT; echo ready; while :; do sleep 1; done"};
    ASSERT_TRUE(appliance.start(options)) << appliance.error();
    ASSERT_TRUE(appliance.wait_for_output("ready", 10s)) << appliance.output();
    const pid_t pid = appliance.pid();
    ASSERT_GT(pid, 1);
    EXPECT_EQ(appliance.stop(500ms), std::nullopt) << "it had to be killed";
    // bwrap's parent-death signal takes the whole sandbox down with the script.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        gone = true;
        while (std::getline(status, line)) {
            if (line.starts_with("State:") && line.find('Z') == std::string::npos) {
                gone = false;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone) << "the program survived its sandbox";
}

TEST(Sandbox, ScriptProgramGetsItsPidAndTheInterrupt) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    char pattern[] = "/tmp/hdgrab-script.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path script = std::filesystem::path(pattern) / "fake-service";
    std::ofstream(script) << "#!/bin/sh\n"
                             "trap 'echo fake stopping; exit 0' INT TERM\n"
                             "echo fake ready\n"
                             "while :; do sleep 0.1; done\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    {
        Appliance appliance;
        ApplianceOptions options;
        options.binary = script;
        ASSERT_TRUE(appliance.start(options)) << appliance.error();
        EXPECT_GT(appliance.pid(), 1) << "an interpreted program still gets its pid";
        ASSERT_TRUE(appliance.wait_for_output("fake ready", 10s)) << appliance.output();
        ASSERT_TRUE(appliance.signal_sandbox(SIGINT));
        EXPECT_EQ(appliance.wait_exit(kExit), 0) << appliance.output();
        EXPECT_NE(appliance.output().find("fake stopping"), std::string::npos);
    }
    std::filesystem::remove_all(pattern);
}

TEST(Sandbox, ExitStatusPassesThrough) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start(probe({"exit", "7"}))) << appliance.error();
    EXPECT_EQ(appliance.wait_exit(kExit), 7);
}

TEST(Sandbox, HdmiToolDrivesTheBridgeOfTheRun) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start_bridge()) << appliance.error();
    EXPECT_EQ(appliance.bridge_status(), "stable");
    ASSERT_TRUE(appliance.hdmi("res", "1280", "720", "50").ok());
    EXPECT_EQ(appliance.bridge_status(), "new res");
    const HdmiResult bad = appliance.hdmi("res", "x");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("usage"), std::string::npos) << bad.output;
    // The program started afterwards sees the bridge as prepared.
    ASSERT_TRUE(appliance.start(probe({"report"}))) << appliance.error();
    ASSERT_EQ(appliance.wait_exit(kExit), 0);
    const auto report = parse_report(appliance.output());
    EXPECT_EQ(report.at("bridge_status"), "new res\\n");
    EXPECT_EQ(report.at("bridge_width"), "1280\\n");
    EXPECT_TRUE(appliance.driver_log().empty()) << "the probe writes nothing";
}

TEST(Sandbox, ScriptCleansUpTheDriverItStarted) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    char pattern[] = "/tmp/hdgrab-sandbox-test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path state = pattern;
    const std::string command = sandbox_script().string() + " --state " + state.string() +
                                " --build " + build_dir().string() + " " + probe_binary().string() +
                                " exit 3 >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(is_mounted(state / "driver/mnt"));
    EXPECT_FALSE(std::filesystem::exists(state / "driver/pid"));
    EXPECT_FALSE(std::filesystem::exists(state / "hdgrab.pid"));
    // The state survives for the next run.
    EXPECT_TRUE(std::filesystem::is_directory(state / "etc/kvm"));
    if (!is_mounted(state / "driver/mnt")) {
        std::filesystem::remove_all(state);
    }
}

TEST(Sandbox, KilledDriverIsReplaced) {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
    Appliance appliance;
    ASSERT_TRUE(appliance.start_bridge()) << appliance.error();
    pid_t driver = -1;
    std::ifstream(appliance.state_dir() / "driver/pid") >> driver;
    ASSERT_GT(driver, 1);
    ASSERT_EQ(::kill(driver, SIGKILL), 0);
    // Its mount stays behind, stale, until the next start replaces the driver.
    ASSERT_TRUE(appliance.start(probe({"report"}))) << appliance.error();
    ASSERT_EQ(appliance.wait_exit(kExit), 0) << appliance.output();
    EXPECT_EQ(parse_report(appliance.output()).at("bridge_status"), "stable\\n");
    EXPECT_EQ(appliance.output().find("hdgrab-sandbox:"), std::string::npos) << appliance.output();
}

TEST(Sandbox, UsageErrorsAreNotMistakenForAMissingSandbox) {
    const std::string command = sandbox_script().string() + " --source 1 2 >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(Sandbox, RefusesTheHostTreeAsStateDirectory) {
    // It would otherwise create etc/kvm, root, dev/mem ... in the host's own tree.
    for (const char* state : {"/", "/etc", "/usr/lib"}) {
        const std::string command =
            sandbox_script().string() + " --state " + state + " --start-driver >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 70) << state;
    }
    EXPECT_FALSE(std::filesystem::exists("/driver/mnt"));
    EXPECT_FALSE(std::filesystem::exists("/etc/driver"));
}

}  // namespace
}  // namespace hdgrab::test
