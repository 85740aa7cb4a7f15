// Image processor group and the video input -> image processor link of AxeraUtil.
#include <gtest/gtest.h>

#include <optional>

#include "media_fixture.h"

namespace media_test {
namespace {

constexpr int32_t kFault = static_cast<int32_t>(0x800D0006U);
constexpr const char* kFaultText = "ret=0x800D0006";

class Ivps : public MediaTest {
  protected:
    // Media system, pools and video input up, as the capture thread has them.
    std::unique_ptr<AxeraUtil> started(int32_t width, int32_t height, int32_t fps) {
        auto util = with_pools(width, height, fps);
        EXPECT_TRUE(util->axera_vin_init());
        clear_trace();
        return util;
    }

    // On a fresh pipeline made by `prepare` (when given), `operation` with the nth call named
    // order[step] failing: it fails after exactly the calls of `order` up to that step, logs
    // that call's failure alone and leaves the group number at `group` (none: not given yet).
    void expect_failure_at(const std::vector<std::string>& order, size_t step, unsigned nth,
                           bool (AxeraUtil::*prepare)(), bool (AxeraUtil::*operation)(),
                           std::optional<int32_t> group) {
        fresh_substitute();
        auto util = started(1920, 1080, 60);
        if (prepare != nullptr) {
            ASSERT_TRUE((*util.*prepare)());
            clear_trace();
        }
        axsim::fail(order[step], kFault, nth);
        EXPECT_FALSE((*util.*operation)());
        EXPECT_EQ(call_names(), std::vector<std::string>(order.begin(), order.begin() + step + 1));
        EXPECT_EQ(log_lines(),
                  (std::vector<LogLine>{{"error", order[step] + " failed, " + kFaultText}}));
        EXPECT_EQ(util->image_processor_group(), group);
        axsim::clear_faults();
    }
};

// Checks one 264-byte filter entry starting at `base`.
void expect_filter(const std::vector<uint8_t>& record, size_t base, uint32_t engage, int32_t engine,
                   float rate, uint16_t width, uint16_t height, uint16_t stride, int32_t format) {
    SCOPED_TRACE("filter at " + std::to_string(base));
    EXPECT_EQ(field<uint32_t>(record, base + 0), engage);
    EXPECT_EQ(field<int32_t>(record, base + 4), engine);
    EXPECT_EQ(field<float>(record, base + 8), rate);
    EXPECT_EQ(field<float>(record, base + 12), rate);
    EXPECT_EQ(field<uint16_t>(record, base + 28), width);
    EXPECT_EQ(field<uint16_t>(record, base + 30), height);
    EXPECT_EQ(field<uint16_t>(record, base + 32), stride);
    EXPECT_EQ(field<int32_t>(record, base + 36), format);
}

TEST_F(Ivps, GroupSequenceAndPipelineRecordAtEachGeometry) {
    struct Geometry {
        int32_t width, height, fps;
        uint16_t stride;
    };
    for (const Geometry g :
         {Geometry{1920, 1080, 60, 1920}, Geometry{1366, 768, 30, 1376}, Geometry{1, 1, 60, 16}}) {
        SCOPED_TRACE(std::to_string(g.width) + "x" + std::to_string(g.height));
        fresh_substitute();
        auto util = started(g.width, g.height, g.fps);
        ASSERT_TRUE(util->axera_ivps_init());
        EXPECT_EQ(util->image_processor_group(), 0);
        EXPECT_EQ(call_names(), (std::vector<std::string>{
                                    "AX_IVPS_Init", "AX_IVPS_CreateGrp", "AX_IVPS_SetPipelineAttr",
                                    "AX_IVPS_EnableChn", "AX_IVPS_StartGrp"}));
        const auto group = only_call("AX_IVPS_CreateGrp");
        EXPECT_EQ(group.args, std::vector<int64_t>{0});
        ASSERT_EQ(group.record.size(), 8U);
        EXPECT_EQ(group.record[0], 1);
        EXPECT_EQ(field<int32_t>(group.record, 4), 0);

        const auto pipeline = only_call("AX_IVPS_SetPipelineAttr");
        EXPECT_EQ(pipeline.args, std::vector<int64_t>{0});
        const auto& r = pipeline.record;
        ASSERT_EQ(r.size(), 3208U);
        EXPECT_EQ(r[0], 1) << "one output channel";
        EXPECT_EQ(r[4], 1) << "queue depth of channel 0";
        const auto w = static_cast<uint16_t>(g.width);
        const auto h = static_cast<uint16_t>(g.height);
        const auto rate = static_cast<float>(g.fps);
        expect_filter(r, 16, 0, 1, rate, w, h, g.stride, 3);
        expect_filter(r, 544, 1, 0, rate, w, h, g.stride, 3);
        expect_filter(r, 808, 1, 1, rate, 320, 172, 320, 160);
        EXPECT_TRUE(zero_outside(r, {{0, 1},
                                     {4, 1},
                                     {16 + 4, 12},
                                     {16 + 28, 12},
                                     {544, 16},
                                     {544 + 28, 12},
                                     {808, 16},
                                     {808 + 28, 12}}));
        EXPECT_EQ(only_call("AX_IVPS_EnableChn").args, (std::vector<int64_t>{0, 0}));
        EXPECT_EQ(only_call("AX_IVPS_StartGrp").args, std::vector<int64_t>{0});

        clear_trace();
        ASSERT_TRUE(util->axera_ivps_deinit());
        EXPECT_EQ(call_names(), (std::vector<std::string>{"AX_IVPS_StopGrp", "AX_IVPS_DisableChn",
                                                          "AX_IVPS_DisableChn",
                                                          "AX_IVPS_DestoryGrp", "AX_IVPS_Deinit"}));
        const auto disables = calls_named("AX_IVPS_DisableChn");
        ASSERT_EQ(disables.size(), 2U);
        EXPECT_EQ(disables[0].args, (std::vector<int64_t>{0, 1})) << "channel 1 first";
        EXPECT_EQ(disables[1].args, (std::vector<int64_t>{0, 0}));
        ASSERT_TRUE(util->axera_vin_deinit());
    }
}

TEST_F(Ivps, PictureSizeUsesTheLow16Bits) {
    auto util = make_util(0x10000 + 1920, 0x20000 + 1080, 60);
    ASSERT_TRUE(util->axera_sys_init());
    ASSERT_TRUE(util->axera_pool_init(3840, 2400));
    clear_trace();
    ASSERT_TRUE(util->axera_ivps_init());
    const auto r = only_call("AX_IVPS_SetPipelineAttr").record;
    EXPECT_EQ(field<uint16_t>(r, 16 + 28), 1920);
    EXPECT_EQ(field<uint16_t>(r, 16 + 30), 1080);
    EXPECT_EQ(field<uint16_t>(r, 16 + 32), 1920);
    ASSERT_TRUE(util->axera_ivps_deinit());
}

TEST_F(Ivps, FailureAtEachBringUpStep) {
    const std::vector<std::string> order{"AX_IVPS_Init", "AX_IVPS_CreateGrp",
                                         "AX_IVPS_SetPipelineAttr", "AX_IVPS_EnableChn",
                                         "AX_IVPS_StartGrp"};
    for (size_t step = 0; step < order.size(); ++step) {
        SCOPED_TRACE(order[step]);
        expect_failure_at(order, step, 1, nullptr, &AxeraUtil::axera_ivps_init,
                          step == 0 ? std::nullopt : std::optional<int32_t>{0});
    }
}

TEST_F(Ivps, FailureAtEachTearDownStep) {
    const std::vector<std::string> order{"AX_IVPS_StopGrp", "AX_IVPS_DisableChn",
                                         "AX_IVPS_DisableChn", "AX_IVPS_DestoryGrp",
                                         "AX_IVPS_Deinit"};
    for (size_t step = 0; step < order.size(); ++step) {
        SCOPED_TRACE(std::to_string(step) + " " + order[step]);
        // The second DisableChn is the second call of that name from now; nothing resets the
        // group number.
        expect_failure_at(order, step, step == 2 ? 2 : 1, &AxeraUtil::axera_ivps_init,
                          &AxeraUtil::axera_ivps_deinit, 0);
    }
}

TEST_F(Ivps, LinkRecordsJoinVideoInputToGroup) {
    auto util = started(1920, 1080, 60);
    ASSERT_TRUE(util->axera_ivps_init());
    clear_trace();
    ASSERT_TRUE(util->axera_link_init());
    const auto link = only_call("AX_SYS_Link");
    ASSERT_EQ(link.record.size(), 24U) << "source then destination";
    const std::vector<int32_t> expected{17, 0, 0, 13, 0, 0};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(field<int32_t>(link.record, 4 * i), expected[i]) << "member " << i;
    }
    clear_trace();
    ASSERT_TRUE(util->axera_link_deinit());
    EXPECT_EQ(only_call("AX_SYS_UnLink").record, link.record);
    ASSERT_TRUE(util->axera_ivps_deinit());
    ASSERT_TRUE(util->axera_vin_deinit());
}

TEST_F(Ivps, LinkFailuresAreLogged) {
    auto util = started(1920, 1080, 60);
    ASSERT_TRUE(util->axera_ivps_init());
    auto expect_failure = [&](const std::string& call, bool (AxeraUtil::*operation)()) {
        clear_trace();
        axsim::fail(call, kFault, 1);
        EXPECT_FALSE((*util.*operation)());
        EXPECT_EQ(log_lines(),
                  (std::vector<LogLine>{{"error", call + " failed (VIN->IVPS), " + kFaultText}}));
    };
    expect_failure("AX_SYS_Link", &AxeraUtil::axera_link_init);
    ASSERT_TRUE(util->axera_link_init());
    expect_failure("AX_SYS_UnLink", &AxeraUtil::axera_link_deinit);
    EXPECT_EQ(util->capture_device(), 0);
    EXPECT_EQ(util->image_processor_group(), 0);
    EXPECT_TRUE(util->sensor_library_open());
}

}  // namespace
}  // namespace media_test

namespace media_test {
namespace {

TEST_F(Ivps, FullBringUpAndTearDownLeaveNothingBehind) {
    {
        auto util = started(1920, 1080, 60);
        ASSERT_TRUE(util->axera_ivps_init());
        ASSERT_TRUE(util->axera_link_init());
        ASSERT_TRUE(util->axera_link_deinit());
        ASSERT_TRUE(util->axera_ivps_deinit());
        ASSERT_TRUE(util->axera_vin_deinit());
        EXPECT_EQ(util->capture_device(), std::nullopt);
        EXPECT_FALSE(util->sensor_library_open());
    }
    EXPECT_TRUE(axsim::leftovers().empty()) << ::testing::PrintToString(axsim::leftovers());
    for (const auto& call : axsim::calls()) {
        EXPECT_EQ(call.status, 0) << call.name;
    }
}

}  // namespace
}  // namespace media_test
