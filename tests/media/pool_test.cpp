// Media system start, common pools, reboot guard and destructor of AxeraUtil.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "media_fixture.h"

namespace media_test {
namespace {

constexpr int32_t kFault = static_cast<int32_t>(0x800B0012U);  // logged as "0x800B0012"
constexpr size_t kPoolEntry = 96;

using Pools = MediaTest;

TEST_F(Pools, SysInitRunsOnceAndReportsFailure) {
    auto util = make_util();
    axsim::fail("AX_SYS_Init", kFault, 1);
    EXPECT_FALSE(util->axera_sys_init());
    EXPECT_FALSE(util->media_system_up());
    EXPECT_TRUE(logged("error", "AX_SYS_Init failed, ret=0x800B0012"));

    EXPECT_TRUE(util->axera_sys_init());
    EXPECT_TRUE(util->media_system_up());
    clear_trace();
    EXPECT_TRUE(util->axera_sys_init()) << "a second start is a no-op";
    EXPECT_TRUE(call_names().empty());
}

TEST_F(Pools, PlanForTheLargestPicture) {
    auto util = make_util();
    ASSERT_TRUE(util->axera_sys_init());
    clear_trace();
    ASSERT_TRUE(util->axera_pool_init(3840, 2400));
    EXPECT_EQ(call_names(), (std::vector<std::string>{"AX_POOL_Exit", "AX_POOL_SetConfig",
                                                      "AX_POOL_Init", "AX_VIN_Init"}));
    const auto plan = only_call("AX_POOL_SetConfig").record;
    ASSERT_EQ(plan.size(), 16 * kPoolEntry);
    EXPECT_EQ(field<uint64_t>(plan, 0), 4096U);
    EXPECT_EQ(field<uint64_t>(plan, 8), 18432000U);
    EXPECT_EQ(field<uint32_t>(plan, 16), 6U);
    EXPECT_STREQ(reinterpret_cast<const char*>(plan.data() + 28), "anonymous");
    EXPECT_EQ(field<uint64_t>(plan, kPoolEntry + 0), 4096U);
    EXPECT_EQ(field<uint64_t>(plan, kPoolEntry + 8), 112640U);
    EXPECT_EQ(field<uint32_t>(plan, kPoolEntry + 16), 4U);
    EXPECT_STREQ(reinterpret_cast<const char*>(plan.data() + kPoolEntry + 28), "anonymous");
    EXPECT_TRUE(zero_outside(plan, {{0, 20}, {28, 9}, {kPoolEntry, 20}, {kPoolEntry + 28, 9}}));
    EXPECT_TRUE(logged("debug",
                       "Create common pool success! Pool[0] BlkSize:18432000, BlkCnt:6, "
                       "Pool[1] BlkSize:112640, BlkCnt:4"));
}

TEST_F(Pools, PictureBlockIsAlignedInUnsigned32BitArithmetic) {
    struct Case {
        uint32_t width, height;
        uint64_t block;
    };
    for (const Case& c : {Case{1, 1, 512}, Case{1920, 1080, 4147200}, Case{1366, 768, 2113536}}) {
        fresh_substitute();
        auto util = make_util();
        ASSERT_TRUE(util->axera_sys_init());
        ASSERT_TRUE(util->axera_pool_init(c.width, c.height));
        const auto plan = only_call("AX_POOL_SetConfig").record;
        EXPECT_EQ(field<uint64_t>(plan, 8), c.block) << c.width << "x" << c.height;
    }
}

TEST_F(Pools, FailuresAtEachStepAreLoggedAndStopTheStart) {
    struct Case {
        const char* call;
        std::vector<std::string> made;
        LogLine line;
    };
    const std::vector<Case> cases{
        {"AX_POOL_SetConfig",
         {"AX_POOL_Exit", "AX_POOL_SetConfig"},
         {"info",
          "Create common pool err! Pool[0] BlkSize:18432000, BlkCnt:6, Pool[1] "
          "BlkSize:112640, BlkCnt:4"}},
        {"AX_POOL_Init",
         {"AX_POOL_Exit", "AX_POOL_SetConfig", "AX_POOL_Init"},
         {"error", "AX_POOL_Init fail! ret=0x800B0012"}},
        {"AX_VIN_Init",
         {"AX_POOL_Exit", "AX_POOL_SetConfig", "AX_POOL_Init", "AX_VIN_Init"},
         {"error", "AX_VIN_Init failed, ret=0x800B0012"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        fresh_substitute();
        auto util = make_util();
        ASSERT_TRUE(util->axera_sys_init());
        clear_trace();
        axsim::fail(c.call, kFault);
        EXPECT_FALSE(util->axera_pool_init(3840, 2400));
        EXPECT_EQ(call_names(), c.made);
        EXPECT_TRUE(logged(c.line.level, c.line.text));
        EXPECT_TRUE(util->media_system_up()) << "the media system stays up";
        EXPECT_TRUE(events->empty()) << "no reboot";
        axsim::clear_faults();
    }
}

TEST_F(Pools, ReleasedLeftoversRemoveTheRebootMarker) {
    create_marker("\n");
    auto util = make_util();
    ASSERT_TRUE(util->axera_sys_init());
    ASSERT_TRUE(util->axera_pool_init(3840, 2400));
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(events->empty());
}

TEST_F(Pools, RebootGuardRebootsOnceWhenLeftoversStay) {
    auto util = make_util();
    ASSERT_TRUE(util->axera_sys_init());
    clear_trace();
    axsim::fail("AX_POOL_Exit", kFault, 1);
    EXPECT_FALSE(util->axera_pool_init(3840, 2400));
    EXPECT_EQ(call_names(), std::vector<std::string>{"AX_POOL_Exit"});
    EXPECT_EQ(*events,
              (std::vector<std::string>{"run mkdir -p " + marker.parent_path().string(), "sync",
                                        "sleep 1000", "run reboot", "sleep 5000"}));
    ASSERT_TRUE(std::filesystem::exists(marker)) << "the guard needs the marker";
    EXPECT_EQ(std::filesystem::file_size(marker), 0U);
    EXPECT_EQ(log_lines(), (std::vector<LogLine>{
                               {"error", "AX_POOL_Exit failed, ret=0x800B0012"},
                               {"warning", "Rebooting system due to AX_POOL_Exit failure..."}}));
}

TEST_F(Pools, RebootGuardRefusesASecondReboot) {
    create_marker();
    auto util = make_util();
    ASSERT_TRUE(util->axera_sys_init());
    axsim::fail("AX_POOL_Exit", kFault, 1);
    EXPECT_FALSE(util->axera_pool_init(3840, 2400));
    EXPECT_TRUE(events->empty()) << "no command, no sync, no wait";
    EXPECT_TRUE(std::filesystem::exists(marker));
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"error", "AX_POOL_Exit failed, ret=0x800B0012"},
                                    {"error", "Already rebooted once, not rebooting again"}}));
}

TEST_F(Pools, DefaultMarkerFolderGivesTheFixedMkdirCommand) {
    hdgrab::media::MediaPlatform defaults;
    EXPECT_EQ(defaults.reboot_marker, "/var/lib/kvm/have_reboot");
    EXPECT_EQ(defaults.dev_mem, "/dev/mem");
    EXPECT_EQ(defaults.sensor_lib, "/opt/lib/libsns_dummy.so");
    EXPECT_EQ(hdgrab::media::kMkdirCommand +
                  std::filesystem::path(defaults.reboot_marker).parent_path().string(),
              "mkdir -p /var/lib/kvm");
}

TEST_F(Pools, DestructorReleasesPoolsAndSystem) {
    auto util = with_pools();
    create_marker();
    util.reset();
    EXPECT_EQ(call_names(),
              (std::vector<std::string>{"AX_VIN_Deinit", "AX_POOL_Exit", "AX_SYS_Deinit"}));
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(axsim::leftovers().empty());
}

TEST_F(Pools, DestructorWithoutSystemCallsNothing) {
    auto util = make_util();
    util.reset();
    EXPECT_TRUE(call_names().empty());
}

TEST_F(Pools, DestructorGoesOnToSystemDeinitAfterPoolFailure) {
    auto util = with_pools();
    create_marker();
    axsim::fail("AX_VIN_Deinit", kFault, 1);
    auto keep_sink = sink;
    util.reset();
    EXPECT_EQ(call_names(), (std::vector<std::string>{"AX_VIN_Deinit", "AX_SYS_Deinit"}));
    // The substitute refuses to end the system while the pools exist; that is logged too.
    const auto lines = keep_sink->lines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[0], (LogLine{"error", "AX_VIN_DeInit failed, ret=0x800B0012"}));
    EXPECT_EQ(lines[1], (LogLine{"error", "Pool deinit failed"}));
    EXPECT_TRUE(std::filesystem::exists(marker)) << "pools not released: the marker stays";
}

TEST_F(Pools, DestructorAfterFailedPoolStartStillEndsTheSystem) {
    auto util = make_util();
    ASSERT_TRUE(util->axera_sys_init());
    axsim::fail("AX_POOL_Init", kFault, 1);
    ASSERT_FALSE(util->axera_pool_init(3840, 2400));
    clear_trace();
    util.reset();
    const auto names = call_names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "AX_VIN_Deinit");
    EXPECT_EQ(names.back(), "AX_SYS_Deinit");
}

TEST_F(Pools, FailedSystemDeinitIsLogged) {
    auto util = with_pools();
    axsim::fail("AX_POOL_Exit", kFault, 1);
    axsim::fail("AX_SYS_Deinit", kFault, 1);
    auto keep_sink = sink;
    util.reset();
    EXPECT_EQ(call_names(),
              (std::vector<std::string>{"AX_VIN_Deinit", "AX_POOL_Exit", "AX_SYS_Deinit"}));
    EXPECT_EQ(keep_sink->lines(),
              (std::vector<LogLine>{{"error", "AX_POOL_Exit failed, ret=0x800B0012"},
                                    {"error", "Pool deinit failed"},
                                    {"error", "AX_SYS_Deinit failed, ret=0x800B0012"}}));
}

TEST_F(Pools, UnconfiguredObjectLogsNowhereInsteadOfCrashing) {
    AxeraUtil util(1920, 1080, 60, platform());
    EXPECT_EQ(util.get_logger(), nullptr);
    axsim::fail("AX_SYS_Init", kFault, 1);
    EXPECT_FALSE(util.axera_sys_init());
}

}  // namespace
}  // namespace media_test
