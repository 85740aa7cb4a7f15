// The substitute SDK accepts the service's own sequences with status 0 and leaves nothing behind.
#include <gmock/gmock.h>

#include "tests/sim/fixture.h"

namespace axsim_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ServiceSequenceTest : public SdkTest {};

TEST_F(ServiceSequenceTest, StartResolutionChangesShutdownAndExitLeaveNothing) {
    ::testing::internal::CaptureStderr();
    seq::Result up = seq::capture_bring_up(k1080p, sensor());
    ASSERT_TRUE(up) << up.failed << " -> " << axsim::status_name(up.status);
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains("link src=17,0,0 dst=13,0,0"));

    for (seq::Geometry g : {seq::Geometry{1280, 720, 50}, seq::Geometry{1366, 768, 60},
                            seq::Geometry{3840, 2160, 30}, seq::Geometry{1, 1, 1}, k1080p}) {
        seq::Result change = seq::resolution_change(g, sensor());
        ASSERT_TRUE(change) << g.width << "x" << g.height << ": " << change.failed;
    }

    EXPECT_TRUE(seq::capture_tear_down());
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_TRUE(all_calls_succeeded());
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ServiceSequenceTest, TearDownDisablesNeverEnabledImageProcessorChannel1) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    ASSERT_TRUE(seq::link_deinit());
    ASSERT_TRUE(seq::ivps_deinit());
    auto disables = axsim::calls("AX_IVPS_DisableChn");
    ASSERT_EQ(disables.size(), 2u);
    EXPECT_THAT(disables[0].args, ElementsAre(0, 1));
    EXPECT_EQ(disables[0].status, 0);
    EXPECT_THAT(disables[1].args, ElementsAre(0, 0));
    EXPECT_EQ(disables[1].status, 0);
}

TEST_F(ServiceSequenceTest, PoolExitWithoutPoolsAtStartIsAccepted) {
    ASSERT_TRUE(seq::sys_init());
    EXPECT_EQ(AX_POOL_Exit(), 0);
    EXPECT_TRUE(seq::pool_init());
    EXPECT_EQ(last_status("AX_POOL_Exit"), 0);
}

TEST_F(ServiceSequenceTest, MipiReceiverInitialisesAgainAfterDeInit) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(seq::vin_init(k1080p, sensor())) << "round " << round;
        ASSERT_TRUE(seq::vin_deinit()) << "round " << round;
        EXPECT_EQ(last_status("AX_MIPI_RX_DeInit"), 0);
    }
    EXPECT_EQ(axsim::calls("AX_MIPI_RX_Init").size(), 3u);
    EXPECT_EQ(axsim::calls("AX_VIN_Init").size(), 1u);
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_TRUE(all_calls_succeeded());
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
}

TEST_F(ServiceSequenceTest, DumpRoadWritesOneFrameAndLeavesNothing) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    std::vector<uint8_t> bytes;
    AX_VIDEO_FRAME_INFO_T frame{};
    seq::Result dumped = seq::dump_frame(bytes, frame);
    ASSERT_TRUE(dumped) << dumped.failed;
    EXPECT_EQ(bytes.size(), 4147200u);
    EXPECT_EQ(bytes, axsim::make_picture(1920, 1080, 1920, frame.u64SeqNum));
    EXPECT_TRUE(seq::vin_deinit());
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_TRUE(all_calls_succeeded());
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
}

TEST_F(ServiceSequenceTest, ShutdownWithoutClientAfterStartLeavesNothing) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    EXPECT_TRUE(seq::capture_tear_down());
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_TRUE(all_calls_succeeded());
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
}

TEST_F(ServiceSequenceTest, FailedBringUpThenExitReportsWhatStays) {
    axsim::fail("AX_IVPS_CreateGrp", 0);
    seq::Result up = seq::capture_bring_up(k1080p, sensor());
    ASSERT_FALSE(up);
    EXPECT_EQ(up.status, axsim::kInjected);
    // The service leaves the partial pipeline to the exit destructor, which cannot release the
    // video input while its device still exists: both refusals are reported, nothing crashes.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(seq::exit_cleanup());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("AX_VIN_Deinit"));
    EXPECT_THAT(err, ::testing::HasSubstr("AX_SYS_Deinit"));
    auto left = axsim::leftovers();
    EXPECT_THAT(left, ::testing::Contains("ivps module"));
    EXPECT_THAT(left, ::testing::Contains("vin dev=0 enabled"));
    EXPECT_THAT(left, ::testing::Contains("sys"));
}

TEST_F(ServiceSequenceTest, PoolReleaseFailureAtStartThenExitReleasesTheSystem) {
    axsim::fail("AX_POOL_Exit", 0, 1);
    ASSERT_TRUE(seq::sys_init());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(seq::pool_init().status, axsim::kInjected);
    // The destructor's VIN de-initialisation is refused (never initialised); the media system
    // still goes down.
    EXPECT_EQ(AX_VIN_Deinit(), axsim::status_of(axsim::Module::kVin, axsim::Kind::kNotInit));
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(AX_SYS_Deinit(), 0);
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
}

TEST_F(ServiceSequenceTest, VinDeinitFailureAtExitKeepsPoolsAndSystem) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    ASSERT_TRUE(seq::capture_tear_down());
    axsim::fail("AX_VIN_Deinit", 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(seq::exit_cleanup());
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(last_status("AX_SYS_Deinit"),
              axsim::status_of(axsim::Module::kSys, axsim::Kind::kBusy));
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains("vin module"));
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains("sys"));
}

TEST_F(ServiceSequenceTest, ResolutionChangeToSameGeometryTwiceStaysAccepted) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    ASSERT_TRUE(seq::resolution_change(k1080p, sensor()));
    ASSERT_TRUE(seq::resolution_change(k1080p, sensor()));
    EXPECT_TRUE(all_calls_succeeded());
}

TEST_F(ServiceSequenceTest, ResetForgetsEverything) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    axsim::fail("AX_SYS_Init", 0);
    axsim::set_stride_padding(8);
    axsim::reset();
    EXPECT_THAT(axsim::leftovers(), IsEmpty());
    EXPECT_THAT(axsim::calls(), IsEmpty());
    seq::Result up = seq::capture_bring_up(k1080p, sensor());
    EXPECT_TRUE(up) << up.failed;
}

}  // namespace
}  // namespace axsim_test
