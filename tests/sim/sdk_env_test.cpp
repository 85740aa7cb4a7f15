// The AXSIM_* environment: fault rules, trace file, leak report at exit, stride padding,
// missing frames and delays, read at process start (and by reset()).
#include <gmock/gmock.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "tests/sim/fixture.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace axsim_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using hdgrab::test::TempDir;

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    for (std::string t; in >> t;) {
        tokens.push_back(t);
    }
    return tokens;
}

// Sets AXSIM_* variables for one test and clears them (and the substitute) afterwards.
class EnvTest : public SdkTest {
  protected:
    void TearDown() override {
        for (const char* name : {"AXSIM_TRACE", "AXSIM_FAIL", "AXSIM_DELAY_US", "AXSIM_STRIDE_PAD",
                                 "AXSIM_NO_FRAME", "AXSIM_LEAKS", "AXSIM_STALL"}) {
            ::unsetenv(name);
        }
        SdkTest::TearDown();
    }
    static void set(const char* name, const std::string& value) {
        ::setenv(name, value.c_str(), 1);
    }

    // Runs the child helper with `env` added; returns its exit status.
    static int run_child(const char* what, const std::vector<std::string>& env) {
        std::vector<std::string> storage(env);
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string_view(*e).starts_with("AXSIM_")) {
                continue;
            }
            storage.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& s : storage) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        // In a cross build the child runs under the same emulator as this test.
        std::string emulator = HDGRAB_TEST_EMULATOR;
        std::string path = AXSIM_CHILD;
        std::string arg = what;
        std::vector<char*> argv;
        if (!emulator.empty()) {
            argv.push_back(emulator.data());
        }
        argv.push_back(path.data());
        argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
            return -1;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(FaultRuleParsing, AcceptsCallNumberAndStatusForms) {
    auto rules = axsim::parse_fault_rules(
        "AX_SYS_Init, AX_POOL_Exit#2,AX_VIN_Init=0x800A0001,AX_SYS_Mmap#3=-5,AX_IVPS_Init=42");
    ASSERT_TRUE(rules.has_value());
    ASSERT_EQ(rules->size(), 5u);
    EXPECT_EQ((*rules)[0].call, "AX_SYS_Init");
    EXPECT_EQ((*rules)[0].nth, 0u);
    EXPECT_EQ((*rules)[0].status, axsim::kInjected);
    EXPECT_EQ((*rules)[1].call, "AX_POOL_Exit");
    EXPECT_EQ((*rules)[1].nth, 2u);
    EXPECT_EQ(static_cast<uint32_t>((*rules)[2].status), 0x800A0001u);
    EXPECT_EQ((*rules)[3].nth, 3u);
    EXPECT_EQ((*rules)[3].status, -5);
    EXPECT_EQ((*rules)[4].status, 42);
    EXPECT_THAT(*axsim::parse_fault_rules(""), IsEmpty());
}

TEST(FaultRuleParsing, RejectsMalformedItemsWithAReason) {
    for (const char* bad :
         {"AX_SYS_Initt", "AX_SYS_Init#0", "AX_SYS_Init#x", "AX_SYS_Init=", "AX_SYS_Init=0",
          "AX_SYS_Init=0x1FFFFFFFF", "AX_SYS_Init=12abc", "#2=5", "AX_SYS_Init,nonsense"}) {
        std::string error;
        EXPECT_FALSE(axsim::parse_fault_rules(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(FaultRuleParsing, KnowsEveryCall) {
    auto calls = axsim::known_calls();
    EXPECT_EQ(calls.size(), 56u);
    for (const auto& name : calls) {
        EXPECT_TRUE(axsim::parse_fault_rules(name).has_value()) << name;
    }
}

TEST_F(EnvTest, FailVariableInjectsFaults) {
    set("AXSIM_FAIL", "AX_SYS_Init#2=0x77,AX_POOL_Init");
    axsim::reset();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_SYS_Init(), 0);
    EXPECT_EQ(AX_SYS_Deinit(), 0);
    EXPECT_EQ(AX_SYS_Init(), 0x77);
    EXPECT_EQ(AX_SYS_Init(), 0);
    AX_POOL_FLOORPLAN_T plan = seq::pool_plan(64, 64);
    EXPECT_EQ(AX_POOL_SetConfig(&plan), 0);
    EXPECT_EQ(AX_POOL_Init(), axsim::kInjected);
    (void)::testing::internal::GetCapturedStderr();
}

TEST_F(EnvTest, MalformedFailVariableIsIgnoredWithAWarning) {
    set("AXSIM_FAIL", "AX_SYS_Init,AX_Bogus");
    ::testing::internal::CaptureStderr();
    axsim::reset();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("ignoring AXSIM_FAIL"));
    EXPECT_THAT(err, HasSubstr("AX_Bogus"));
    EXPECT_EQ(AX_SYS_Init(), 0);

    // A stall names its milliseconds.
    ::unsetenv("AXSIM_FAIL");
    set("AXSIM_STALL", "AX_SYS_Init#1");
    ::testing::internal::CaptureStderr();
    axsim::reset();
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("ignoring AXSIM_STALL"));
}

TEST_F(EnvTest, FailVariableIsReadAtProcessStart) {
    EXPECT_EQ(run_child("bringup", {"AXSIM_FAIL=AX_IVPS_StartGrp"}), 1);
    EXPECT_EQ(run_child("bringup", {"AXSIM_FAIL=AX_IVPS_StartGrp#2"}), 0);
    EXPECT_EQ(run_child("bringup", {}), 0);
}

TEST_F(EnvTest, CallLogIsKeptOnlyWhenAskedFor) {
    // A service process on the substitute must not grow with every call it makes.
    EXPECT_EQ(run_child("calllog", {}), 0);
}

TEST_F(EnvTest, StrideNoFrameAndDelayVariables) {
    set("AXSIM_STRIDE_PAD", "16");
    set("AXSIM_DELAY_US", "100");
    axsim::reset();
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    AX_VIDEO_FRAME_INFO_T frame{};
    ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 100), 0);
    EXPECT_EQ(frame.u32PicStride[0], 1936u);
    ASSERT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);

    set("AXSIM_NO_FRAME", "1");
    axsim::reset();
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 100), axsim::kFrameTimeout);
    (void)::testing::internal::GetCapturedStderr();

    set("AXSIM_STRIDE_PAD", "lots");
    ::testing::internal::CaptureStderr();
    axsim::reset();
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("AXSIM_STRIDE_PAD"));
}

TEST_F(EnvTest, TraceWritesOneParsableLinePerCall) {
    TempDir dir;
    set("AXSIM_TRACE", dir / "trace");
    axsim::reset();
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    ::testing::internal::CaptureStderr();
    EXPECT_NE(AX_VIN_EnableDev(0), 0);
    (void)::testing::internal::GetCapturedStderr();

    auto lines = read_lines(dir / "trace");
    auto calls = axsim::calls();
    ASSERT_EQ(lines.size(), calls.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        auto tokens = split(lines[i]);
        ASSERT_GE(tokens.size(), 3u) << lines[i];
        EXPECT_EQ(tokens.front(), calls[i].name);
        EXPECT_EQ(tokens[tokens.size() - 2], "->");
        EXPECT_EQ(tokens.back(), fmt::format("0x{:08X}", static_cast<uint32_t>(calls[i].status)));
        for (size_t t = 1; t + 2 < tokens.size(); ++t) {
            EXPECT_NE(tokens[t].find('='), std::string::npos) << lines[i];
        }
    }
    auto line_of = [&](std::string_view name) {
        for (const auto& l : lines) {
            if (l.starts_with(std::string(name) + " ")) {
                return l;
            }
        }
        return std::string();
    };
    EXPECT_THAT(line_of("AX_POOL_SetConfig"),
                HasSubstr("pool[0].MetaSize=4096 pool[0].BlkSize=18432000 pool[0].BlkCnt=6 "
                          "pool[0].CacheMode=0 pool[0].PartitionName=anonymous "
                          "pool[1].MetaSize=4096 pool[1].BlkSize=112640 pool[1].BlkCnt=4"));
    EXPECT_THAT(line_of("AX_POOL_SetConfig"), ::testing::Not(HasSubstr("pool[2]")));
    EXPECT_THAT(line_of("AX_MIPI_RX_SetAttr"),
                HasSubstr("dev=0 eInputMode=0 ePhyMode=0 eLaneNum=4 nDataRate=600 "
                          "nDataLaneMap=0,1,3,4 nClkLane=2,5 -> 0x00000000"));
    EXPECT_THAT(line_of("AX_VIN_CreateDev"),
                HasSubstr("tDevImgRgn[3]=0,0,1920,1080 tFrameRateCtrl.fSrcFrameRate=1.00"));
    EXPECT_THAT(line_of("AX_VIN_CreateDev"), HasSubstr("szImgDt[0]=0x1e"));
    EXPECT_THAT(line_of("AX_ISP_RegisterSensor"), HasSubstr("symbol=gSnsdummyObj"));
    EXPECT_THAT(line_of("AX_ISP_SetSnsAttr"), HasSubstr("fFrameRate=60.00"));
    EXPECT_THAT(line_of("AX_IVPS_SetPipelineAttr"),
                HasSubstr("filter[1][1].bEngage=1 filter[1][1].eEngine=1 "
                          "filter[1][1].fSrcFrameRate=60.00 filter[1][1].fDstFrameRate=60.00 "
                          "filter[1][1].nDstPicWidth=320 filter[1][1].nDstPicHeight=172 "
                          "filter[1][1].nDstPicStride=320 filter[1][1].eDstPicFormat=160"));
    EXPECT_THAT(line_of("AX_IVPS_SetPipelineAttr"), HasSubstr("filter[0][0].bEngage=0"));
    EXPECT_THAT(line_of("AX_SYS_Link"),
                HasSubstr("src.enModId=17 src.s32GrpId=0 src.s32ChnId=0 dst.enModId=13 "
                          "dst.s32GrpId=0 dst.s32ChnId=0 -> 0x00000000"));
    EXPECT_THAT(lines.back(), ::testing::StartsWith("AX_VIN_EnableDev dev=0 -> 0x8004"));
    // The Link record in the call log: src then dst.
    auto links = axsim::calls("AX_SYS_Link");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].record.size(), 24u);
    // An absent record: each record of the call is traced as null or set, none by its members.
    const AX_MOD_INFO_T dst = seq::link_dst();
    ::testing::internal::CaptureStderr();
    EXPECT_NE(AX_SYS_Link(nullptr, &dst), 0);
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_lines(dir / "trace").back(), "AX_SYS_Link src=null dst=set -> 0x80010006");
}

TEST_F(EnvTest, LeakReportAtExitSaysNoneAfterTheFullSequence) {
    TempDir dir;
    std::string leaks = dir / "leaks";
    ASSERT_EQ(run_child("full", {"AXSIM_LEAKS=" + leaks}), 0);
    EXPECT_THAT(read_lines(leaks), ElementsAre("none"));
}

TEST_F(EnvTest, LeakReportAtExitListsWhatWasLeft) {
    TempDir dir;
    std::string leaks = dir / "leaks";
    std::string trace = dir / "trace";
    ASSERT_EQ(run_child("partial", {"AXSIM_LEAKS=" + leaks, "AXSIM_TRACE=" + trace}), 0);
    auto lines = read_lines(leaks);
    EXPECT_THAT(lines, ::testing::Contains("link src=17,0,0 dst=13,0,0"));
    EXPECT_THAT(lines, ::testing::Contains("ivps group=0 started chn0=enabled"));
    EXPECT_THAT(lines, ::testing::Contains("isp pipe=0 sensor-registered streaming"));
    EXPECT_THAT(lines, ::testing::Contains("mipi dev=0 started"));
    EXPECT_THAT(lines, ::testing::Contains("pool 0 BlkSize=18432000 BlkCnt=6"));
    EXPECT_THAT(lines, ::testing::Contains("sys"));
    EXPECT_EQ(read_lines(trace).size(), 33u);
}

TEST_F(EnvTest, LeakReportWithoutAnyCall) {
    TempDir dir;
    std::string leaks = dir / "leaks";
    ASSERT_EQ(run_child("nothing", {"AXSIM_LEAKS=" + leaks}), 0);
    EXPECT_THAT(read_lines(leaks), ElementsAre("none"));
}

}  // namespace
}  // namespace axsim_test
