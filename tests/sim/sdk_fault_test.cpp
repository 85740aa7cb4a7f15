// Fault injection (every call, the Nth call, chosen status, null mapping) and call delays.
#include <gmock/gmock.h>

#include <chrono>

#include "tests/sim/fixture.h"

namespace axsim_test {
namespace {

using ::testing::IsEmpty;

class FaultTest : public SdkTest {
  protected:
    void SetUp() override {
        SdkTest::SetUp();
        ::testing::internal::CaptureStderr();
    }
    void TearDown() override {
        stderr_text_ = ::testing::internal::GetCapturedStderr();
        SdkTest::TearDown();
    }
    std::string stderr_text_;
};

TEST_F(FaultTest, EveryCallFailsWithTheInjectedStatusAndChangesNothing) {
    axsim::fail("AX_SYS_Init", 0);
    EXPECT_EQ(AX_SYS_Init(), axsim::kInjected);
    EXPECT_EQ(AX_SYS_Init(), axsim::kInjected);
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
    axsim::clear_faults();
    EXPECT_EQ(AX_SYS_Init(), 0);
    EXPECT_THAT(axsim::leftovers(), ::testing::ElementsAre("sys"));
}

TEST_F(FaultTest, OnlyTheNthCallFailsCountingFromTheRequest) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    // The Bridge monitor's second tear-down fails at AX_IVPS_DisableChn for channel 1.
    axsim::fail("AX_IVPS_DisableChn", 0x1234, 3);
    ASSERT_TRUE(seq::resolution_change({1280, 720, 50}, sensor()));
    seq::Result second = seq::resolution_change(k1080p, sensor());
    EXPECT_EQ(second.status, 0x1234);
    auto disables = axsim::calls("AX_IVPS_DisableChn");
    ASSERT_EQ(disables.size(), 3u);
    EXPECT_EQ(disables[0].status, 0);
    EXPECT_EQ(disables[1].status, 0);
    EXPECT_EQ(disables[2].status, 0x1234);
    EXPECT_EQ(disables[2].args, (std::vector<int64_t>{0, 1}));
    // The 4th and later calls succeed again.
    EXPECT_EQ(AX_IVPS_DisableChn(0, 1), 0);
}

TEST_F(FaultTest, ChosenStatusIsReturnedAsGiven) {
    axsim::fail("AX_POOL_Exit", static_cast<int32_t>(0x800B0012u));
    ASSERT_TRUE(seq::sys_init());
    EXPECT_EQ(static_cast<uint32_t>(AX_POOL_Exit()), 0x800B0012u);
    axsim::fail("AX_SYS_Deinit", -1);
    EXPECT_EQ(AX_SYS_Deinit(), -1);
}

TEST_F(FaultTest, MmapReturnsNullWhenFailed) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    axsim::fail("AX_SYS_Mmap", 0);
    AX_VIDEO_FRAME_INFO_T frame{};
    ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 1000), 0);
    EXPECT_EQ(AX_SYS_Mmap(frame.u64PhyAddr[0], 2 * 1920 * 1080), nullptr);
    auto maps = axsim::calls("AX_SYS_Mmap");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].status, axsim::kInjected);
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);
    EXPECT_THAT(axsim::leftovers(),
                ::testing::Not(::testing::Contains(::testing::StartsWith("mapping"))));
}

TEST_F(FaultTest, InjectedFailureIsReportedOnStderr) {
    axsim::fail("AX_IVPS_Init", 0);
    ASSERT_TRUE(seq::sys_init());
    EXPECT_EQ(AX_IVPS_Init(), axsim::kInjected);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("axsim: AX_IVPS_Init: injected failure"));
    ::testing::internal::CaptureStderr();
}

TEST_F(FaultTest, UnknownCallNameIsReported) {
    axsim::fail("AX_SYS_Inti", 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("no call named 'AX_SYS_Inti'"));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_SYS_Init(), 0);
}

TEST_F(FaultTest, SeveralFaultsApplyIndependently) {
    axsim::fail("AX_SYS_Init", 11, 2);
    axsim::fail("AX_SYS_Init", 22, 1);
    EXPECT_EQ(AX_SYS_Init(), 22);
    EXPECT_EQ(AX_SYS_Init(), 11);
    EXPECT_EQ(AX_SYS_Init(), 0);
}

TEST_F(FaultTest, DelayHoldsEveryCallBack) {
    using namespace std::chrono;
    axsim::set_delay(milliseconds(30));
    auto start = steady_clock::now();
    EXPECT_EQ(AX_SYS_Init(), 0);
    EXPECT_EQ(AX_SYS_Deinit(), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(60));
    axsim::set_delay(microseconds(0));
}

TEST_F(FaultTest, NoFrameTimesOutWithinTheTimeout) {
    using namespace std::chrono;
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    axsim::set_no_frame(true);
    AX_VIDEO_FRAME_INFO_T frame{};
    auto start = steady_clock::now();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 1000), axsim::kFrameTimeout);
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 0), axsim::kFrameTimeout);
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame),
              axsim::status_of(axsim::Module::kVin, axsim::Kind::kNotExist));
    axsim::set_no_frame(false);
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 0), 0);
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);
}

TEST_F(FaultTest, FailedServiceStepStopsItsSequence) {
    axsim::fail("AX_VIN_CreatePipe", 0);
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    seq::Result r = seq::vin_init(k1080p, sensor());
    EXPECT_EQ(r.status, axsim::kInjected);
    EXPECT_EQ(axsim::calls().back().name, "AX_VIN_CreatePipe");
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains("vin dev=0"));
}

}  // namespace
}  // namespace axsim_test
