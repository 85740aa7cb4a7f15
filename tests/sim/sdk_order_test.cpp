// The substitute SDK refuses calls out of order with a distinct status and one line on stderr,
// and a refused call changes nothing.
#include <gmock/gmock.h>

#include <set>

#include "tests/sim/fixture.h"

namespace axsim_test {
namespace {

using axsim::Kind;
using axsim::Module;
using axsim::status_of;
using ::testing::HasSubstr;

// `call` is refused with the status of Module::module and Kind::kind (OrderTest::expect_refused).
#define EXPECT_REFUSED(module, kind, call) \
    expect_refused(#call, status_of(Module::module, Kind::kind), [&] { return call; })

class OrderTest : public SdkTest {
  protected:
    // Runs `call` with stderr captured; expects `status` and one "axsim:" line naming the call
    // (`text` is the call as written, its name up to the parenthesis).
    template <typename F>
    void expect_refused(std::string_view text, int32_t status, F&& call) {
        const std::string name(text.substr(0, text.find('(')));
        ::testing::internal::CaptureStderr();
        int32_t got = call();
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(got, status) << name << ": got " << axsim::status_name(got) << ", want "
                               << axsim::status_name(status);
        EXPECT_THAT(err, HasSubstr("axsim: " + name + ": ")) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }

    void up_to_vin_module() {
        ASSERT_TRUE(seq::sys_init());
        ASSERT_TRUE(seq::pool_init());
    }
};

TEST_F(OrderTest, StatusesAreDistinctAndNamed) {
    std::set<int32_t> seen;
    for (auto m : {Module::kSys, Module::kPool, Module::kMipi, Module::kVin, Module::kIsp,
                   Module::kIvps, Module::kSim}) {
        for (auto k :
             {Kind::kNotInit, Kind::kExist, Kind::kNotExist, Kind::kBusy, Kind::kInvalidId,
              Kind::kNullPtr, Kind::kIllegalParam, Kind::kNotConfig, Kind::kNotReady,
              Kind::kTimeout, Kind::kNoBuf, Kind::kNotSupport, Kind::kNoMem, Kind::kInjected}) {
            int32_t s = status_of(m, k);
            EXPECT_NE(s, 0);
            EXPECT_TRUE(seen.insert(s).second);
            EXPECT_FALSE(axsim::status_name(s).empty());
        }
    }
    EXPECT_EQ(axsim::status_name(status_of(Module::kVin, Kind::kNotInit)), "VIN_NOT_INIT");
    EXPECT_EQ(static_cast<uint32_t>(axsim::kInjected), 0x800A00FFu);
    EXPECT_EQ(axsim::injected_status(), axsim::kInjected);
    EXPECT_EQ(axsim::status_name(0), "");
}

TEST_F(OrderTest, MediaSystemAndPoolsComeFirst) {
    AX_POOL_FLOORPLAN_T plan = seq::pool_plan(3840, 2400);
    EXPECT_REFUSED(kPool, kNotInit, AX_POOL_SetConfig(&plan));
    EXPECT_REFUSED(kPool, kNotInit, AX_POOL_Exit());
    EXPECT_REFUSED(kPool, kNotInit, AX_POOL_Init());
    EXPECT_REFUSED(kSys, kNotInit, AX_SYS_Deinit());
    EXPECT_REFUSED(kVin, kNotInit, AX_VIN_Init());
    EXPECT_REFUSED(kIvps, kNotInit, AX_IVPS_Init());
    EXPECT_REFUSED(kMipi, kNotInit, AX_MIPI_RX_Init());

    ASSERT_EQ(AX_SYS_Init(), 0);
    EXPECT_REFUSED(kSys, kExist, AX_SYS_Init());
    EXPECT_REFUSED(kPool, kNotConfig, AX_POOL_Init());
    ASSERT_EQ(AX_POOL_SetConfig(&plan), 0);
    ASSERT_EQ(AX_POOL_Init(), 0);
    EXPECT_REFUSED(kPool, kBusy, AX_POOL_SetConfig(&plan));
    EXPECT_REFUSED(kSys, kBusy, AX_SYS_Deinit());
    ASSERT_EQ(AX_VIN_Init(), 0);
    EXPECT_REFUSED(kVin, kExist, AX_VIN_Init());
    EXPECT_REFUSED(kPool, kBusy, AX_POOL_Exit());
    EXPECT_TRUE(seq::exit_cleanup());
}

TEST_F(OrderTest, PoolPlanValuesAreChecked) {
    ASSERT_TRUE(seq::sys_init());
    AX_POOL_FLOORPLAN_T empty{};
    EXPECT_REFUSED(kPool, kIllegalParam, AX_POOL_SetConfig(&empty));
    AX_POOL_FLOORPLAN_T zero_size = seq::pool_plan(1920, 1080);
    zero_size.CommPool[1].BlkSize = 0;
    EXPECT_REFUSED(kPool, kIllegalParam, AX_POOL_SetConfig(&zero_size));
    AX_POOL_FLOORPLAN_T huge = seq::pool_plan(1920, 1080);
    huge.CommPool[0].BlkCnt = 100000;
    EXPECT_REFUSED(kPool, kNoMem, AX_POOL_SetConfig(&huge));
    EXPECT_REFUSED(kPool, kNullPtr, AX_POOL_SetConfig(nullptr));
    // The service's own plans, from 1x1 up to the 3840x2400 it uses, are accepted.
    for (auto [w, h] : {std::pair{1u, 1u}, std::pair{1920u, 1080u}, std::pair{3840u, 2400u}}) {
        AX_POOL_FLOORPLAN_T plan = seq::pool_plan(w, h);
        EXPECT_EQ(AX_POOL_SetConfig(&plan), 0) << w << "x" << h;
    }
}

TEST_F(OrderTest, VideoInputCallsNeedVinInitAndExistingObjects) {
    ASSERT_TRUE(seq::sys_init());
    AX_VIN_DEV_ATTR_T dev = seq::dev_attr(k1080p);
    EXPECT_REFUSED(kVin, kNotInit, AX_VIN_CreateDev(0, &dev));
    ASSERT_TRUE(seq::pool_init());
    EXPECT_REFUSED(kVin, kNotExist, AX_VIN_EnableDev(0));
    EXPECT_REFUSED(kVin, kNotExist, AX_VIN_StartPipe(0));
    EXPECT_REFUSED(kVin, kNotExist, AX_VIN_DestroyDev(0));
    EXPECT_REFUSED(kVin, kInvalidId, AX_VIN_CreateDev(200, &dev));
    ASSERT_EQ(AX_VIN_CreateDev(0, &dev), 0);
    EXPECT_REFUSED(kVin, kExist, AX_VIN_CreateDev(0, &dev));
    // Enabling needs pipes and a started MIPI receiver bound first.
    EXPECT_REFUSED(kVin, kNotConfig, AX_VIN_EnableDev(0));
    EXPECT_REFUSED(kVin, kNotReady, AX_VIN_SetDevBindMipi(0, 0));
}

TEST_F(OrderTest, IspCallsNeedARegisteredSensor) {
    up_to_vin_module();
    AX_VIN_PIPE_ATTR_T pipe = seq::pipe_attr(k1080p);
    AX_SNS_ATTR_T sns = seq::sns_attr(k1080p);
    EXPECT_REFUSED(kIsp, kNotExist, AX_ISP_SetSnsAttr(0, &sns));
    ASSERT_EQ(AX_VIN_CreatePipe(0, &pipe), 0);
    EXPECT_REFUSED(kIsp, kNotConfig, AX_ISP_SetSnsAttr(0, &sns));
    EXPECT_REFUSED(kIsp, kNotConfig, AX_ISP_Create(0));
    EXPECT_REFUSED(kIsp, kNotExist, AX_ISP_Open(0));
    EXPECT_REFUSED(kIsp, kNotExist, AX_ISP_UnRegisterSensor(0));
    // Only a sensor library's exported object is a sensor.
    static AX_VIN_CHN_ATTR_T not_a_sensor{};
    EXPECT_REFUSED(
        kIsp, kIllegalParam,
        AX_ISP_RegisterSensor(0, reinterpret_cast<AX_SENSOR_REGISTER_FUNC_T*>(&not_a_sensor)));
    EXPECT_REFUSED(kIsp, kNullPtr, AX_ISP_RegisterSensor(0, nullptr));
    ASSERT_EQ(AX_ISP_RegisterSensor(0, sensor()), 0);
    EXPECT_REFUSED(kIsp, kExist, AX_ISP_RegisterSensor(0, sensor()));
    AX_SNS_ATTR_T wrong = seq::sns_attr({1280, 720, 60});
    EXPECT_REFUSED(kIsp, kIllegalParam, AX_ISP_SetSnsAttr(0, &wrong));
    ASSERT_EQ(AX_ISP_SetSnsAttr(0, &sns), 0);
    ASSERT_EQ(AX_ISP_Create(0), 0);
    EXPECT_REFUSED(kIsp, kBusy, AX_ISP_UnRegisterSensor(0));
    EXPECT_REFUSED(kVin, kBusy, AX_VIN_DestroyPipe(0));
}

TEST_F(OrderTest, ImageProcessorCallsNeedIvpsInit) {
    ASSERT_TRUE(seq::sys_init());
    AX_IVPS_GRP_ATTR_T grp = seq::grp_attr();
    EXPECT_REFUSED(kIvps, kNotInit, AX_IVPS_CreateGrp(0, &grp));
    EXPECT_REFUSED(kIvps, kNotInit, AX_IVPS_StartGrp(0));
    EXPECT_REFUSED(kIvps, kNotInit, AX_IVPS_DisableChn(0, 1));
    EXPECT_REFUSED(kIvps, kNotInit, AX_IVPS_Deinit());
    ASSERT_EQ(AX_IVPS_Init(), 0);
    EXPECT_REFUSED(kIvps, kNotExist, AX_IVPS_StartGrp(0));
    ASSERT_EQ(AX_IVPS_CreateGrp(0, &grp), 0);
    EXPECT_REFUSED(kIvps, kNotConfig, AX_IVPS_EnableChn(0, 0));
    EXPECT_REFUSED(kIvps, kNotConfig, AX_IVPS_StartGrp(0));
    AX_IVPS_PIPELINE_ATTR_T pipeline = seq::pipeline_attr(k1080p);
    ASSERT_EQ(AX_IVPS_SetPipelineAttr(0, &pipeline), 0);
    EXPECT_REFUSED(kIvps, kInvalidId, AX_IVPS_EnableChn(0, 1));
    EXPECT_REFUSED(kIvps, kNotReady, AX_IVPS_StopGrp(0));
    EXPECT_REFUSED(kIvps, kBusy, AX_IVPS_Deinit());
}

TEST_F(OrderTest, PipelineGeometryIsChecked) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_EQ(AX_IVPS_Init(), 0);
    AX_IVPS_GRP_ATTR_T grp = seq::grp_attr();
    ASSERT_EQ(AX_IVPS_CreateGrp(0, &grp), 0);
    AX_IVPS_PIPELINE_ATTR_T unaligned = seq::pipeline_attr(k1080p);
    unaligned.tFilter[1][0].nDstPicStride = 1922;
    EXPECT_REFUSED(kIvps, kIllegalParam, AX_IVPS_SetPipelineAttr(0, &unaligned));
    AX_IVPS_PIPELINE_ATTR_T no_rate = seq::pipeline_attr({1920, 1080, 0});
    EXPECT_REFUSED(kIvps, kIllegalParam, AX_IVPS_SetPipelineAttr(0, &no_rate));
    // Width 1366 gives stride 1376; the fixed 320x172 filter always fits.
    AX_IVPS_PIPELINE_ATTR_T odd = seq::pipeline_attr({1366, 768, 60});
    EXPECT_EQ(AX_IVPS_SetPipelineAttr(0, &odd), 0);
}

TEST_F(OrderTest, LinkedObjectsCannotBeDestroyed) {
    ASSERT_TRUE(seq::capture_bring_up(k1080p, sensor()));
    // Stop the producers as a tear-down would, but keep the link.
    ASSERT_EQ(AX_IVPS_StopGrp(0), 0);
    ASSERT_EQ(AX_IVPS_DisableChn(0, 0), 0);
    EXPECT_REFUSED(kIvps, kBusy, AX_IVPS_DestoryGrp(0));
    ASSERT_EQ(AX_ISP_StreamOff(0), 0);
    ASSERT_EQ(AX_VIN_DisableDev(0), 0);
    ASSERT_EQ(AX_ISP_Stop(0), 0);
    ASSERT_EQ(AX_VIN_StopPipe(0), 0);
    EXPECT_REFUSED(kVin, kBusy, AX_VIN_DisableChn(0, 0));
    AX_MOD_INFO_T src = seq::link_src();
    AX_MOD_INFO_T dst = seq::link_dst();
    EXPECT_REFUSED(kSys, kExist, AX_SYS_Link(&src, &dst));
    ASSERT_EQ(AX_SYS_UnLink(&src, &dst), 0);
    EXPECT_REFUSED(kSys, kNotExist, AX_SYS_UnLink(&src, &dst));
    EXPECT_EQ(AX_IVPS_DestoryGrp(0), 0);
    EXPECT_EQ(AX_VIN_DisableChn(0, 0), 0);
}

TEST_F(OrderTest, LinkNeedsBothEnds) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    AX_MOD_INFO_T src = seq::link_src();
    AX_MOD_INFO_T dst = seq::link_dst();
    EXPECT_REFUSED(kSys, kNotExist, AX_SYS_Link(&src, &dst));
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    EXPECT_REFUSED(kSys, kNotExist, AX_SYS_Link(&src, &dst));
    AX_MOD_INFO_T backwards_src = dst;
    AX_MOD_INFO_T backwards_dst = src;
    EXPECT_REFUSED(kSys, kNotSupport, AX_SYS_Link(&backwards_src, &backwards_dst));
    EXPECT_REFUSED(kSys, kNullPtr, AX_SYS_Link(nullptr, &dst));
}

TEST_F(OrderTest, TearDownOutOfOrderIsRefused) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    EXPECT_REFUSED(kIsp, kBusy, AX_ISP_Stop(0));
    EXPECT_REFUSED(kMipi, kBusy, AX_MIPI_RX_Stop(0));
    EXPECT_REFUSED(kVin, kBusy, AX_VIN_DestroyDev(0));
    EXPECT_REFUSED(kVin, kBusy, AX_VIN_Deinit());
    EXPECT_REFUSED(kMipi, kBusy, AX_MIPI_RX_DeInit());
    EXPECT_REFUSED(kMipi, kExist, AX_MIPI_RX_Init());
    // The refusals changed nothing: the normal tear-down still runs clean.
    EXPECT_TRUE(seq::vin_deinit());
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_THAT(axsim::leftovers(), ::testing::IsEmpty());
}

TEST_F(OrderTest, SecondTearDownAfterFailedBringUpStopsAtFirstRefusal) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    axsim::fail("AX_ISP_Open", 0, 1);
    ASSERT_FALSE(seq::vin_init(k1080p, sensor()));
    ::testing::internal::CaptureStderr();
    seq::Result down = seq::vin_deinit();
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(down.status, status_of(Module::kIsp, Kind::kNotReady));
    EXPECT_EQ(axsim::calls().back().name, "AX_ISP_StreamOff");
}

TEST_F(OrderTest, MipiAttributesAreChecked) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_EQ(AX_MIPI_RX_Init(), 0);
    AX_MIPI_RX_DEV_T clash = seq::mipi_attr();
    clash.nClkLane[0] = 3;  // also data lane 2
    EXPECT_REFUSED(kMipi, kIllegalParam, AX_MIPI_RX_SetAttr(0, &clash));
    AX_MIPI_RX_DEV_T lanes = seq::mipi_attr();
    lanes.eLaneNum = 3;
    EXPECT_REFUSED(kMipi, kIllegalParam, AX_MIPI_RX_SetAttr(0, &lanes));
    EXPECT_REFUSED(kMipi, kNotConfig, AX_MIPI_RX_Start(0));
    EXPECT_REFUSED(kMipi, kNotReady, AX_MIPI_RX_Stop(0));
    // A failing lane combination does not stop the service's receiver set-up.
    axsim::fail("AX_MIPI_RX_SetLaneCombo", 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_MIPI_RX_SetLaneCombo(0), axsim::kInjected);
    (void)::testing::internal::GetCapturedStderr();
    AX_MIPI_RX_DEV_T good = seq::mipi_attr();
    EXPECT_EQ(AX_MIPI_RX_SetAttr(0, &good), 0);
}

}  // namespace
}  // namespace axsim_test
