// Video input device, pipe, ISP and channel of AxeraUtil.
#include <gtest/gtest.h>

#include <cstring>

#include "media_fixture.h"
#include "tests/support/pipeline_calls.h"

namespace media_test {
namespace {

constexpr int32_t kFault = static_cast<int32_t>(0x80010017U);
constexpr const char* kFaultText = "ret=0x80010017";

const std::vector<std::string>& kBringUp = hdgrab::test::kVinBringUpCalls;
const std::vector<std::string>& kTearDown = hdgrab::test::kVinTearDownCalls;

float float_at(const std::vector<uint8_t>& record, size_t offset) {
    return field<float>(record, offset);
}

using Vin = MediaTest;

void expect_records(MediaTest& test, const std::vector<axsim::Call>& dev_calls,
                    const axsim::Call& bind, const axsim::Call& pipe, const axsim::Call& sensor,
                    const axsim::Call& chn, uint32_t width, uint32_t height) {
    (void)test;
    ASSERT_EQ(dev_calls.size(), 2U) << "CreateDev and SetDevAttr";
    EXPECT_EQ(dev_calls[0].record, dev_calls[1].record) << "the same device record twice";
    const auto& dev = dev_calls[0].record;
    ASSERT_EQ(dev.size(), 304U);
    EXPECT_EQ(field<int32_t>(dev, 0), 0);
    EXPECT_EQ(field<int32_t>(dev, 12), 1);
    EXPECT_EQ(field<int32_t>(dev, 16), 0);
    EXPECT_EQ(field<int32_t>(dev, 24), 0);
    EXPECT_EQ(field<int32_t>(dev, 28), 5);
    EXPECT_EQ(field<int32_t>(dev, 32), 3);
    EXPECT_EQ(field<int32_t>(dev, 36), 132);
    for (size_t region = 0; region < 4; ++region) {
        const size_t base = 40 + 16 * region;
        EXPECT_EQ(field<uint32_t>(dev, base), 0U);
        EXPECT_EQ(field<uint32_t>(dev, base + 4), 0U);
        EXPECT_EQ(field<uint32_t>(dev, base + 8), width) << "region " << region;
        EXPECT_EQ(field<uint32_t>(dev, base + 12), height) << "region " << region;
    }
    EXPECT_EQ(float_at(dev, 124), 1.0F);
    EXPECT_EQ(float_at(dev, 128), 1.0F);
    EXPECT_EQ(dev[149], 0x1E);
    EXPECT_TRUE(zero_outside(
        dev, {{12, 4}, {28, 12}, {48, 8}, {64, 8}, {80, 8}, {96, 8}, {124, 8}, {149, 1}}));

    EXPECT_EQ(bind.args, std::vector<int64_t>{0});
    ASSERT_EQ(bind.record.size(), 52U);
    EXPECT_EQ(field<uint32_t>(bind.record, 0), 1U);
    EXPECT_EQ(field<uint32_t>(bind.record, 4), 0U) << "pipe: the capture number";
    EXPECT_EQ(field<uint32_t>(bind.record, 28), 1U);
    EXPECT_TRUE(zero_outside(bind.record, {{0, 4}, {28, 4}}));

    const auto& p = pipe.record;
    ASSERT_EQ(p.size(), 108U);
    const std::vector<uint32_t> words{12, 0, 0, width, height, width, 3, 132, 5};
    for (size_t w = 0; w < words.size(); ++w) {
        EXPECT_EQ(field<uint32_t>(p, 4 * w), words[w]) << "pipe word " << w;
    }
    EXPECT_TRUE(zero_outside(p, {{0, 36}}));

    const auto& s = sensor.record;
    ASSERT_EQ(s.size(), 40U);
    EXPECT_EQ(field<uint32_t>(s, 0), width);
    EXPECT_EQ(field<uint32_t>(s, 4), height);
    EXPECT_EQ(float_at(s, 8), 60.0F);
    EXPECT_EQ(field<int32_t>(s, 12), 5);
    EXPECT_EQ(field<int32_t>(s, 16), 16);
    EXPECT_EQ(field<int32_t>(s, 20), 3);
    EXPECT_TRUE(zero_outside(s, {{0, 24}}));

    EXPECT_EQ(chn.args, (std::vector<int64_t>{0, 0}));
    const auto& c = chn.record;
    ASSERT_EQ(c.size(), 36U);
    const std::vector<uint32_t> chn_words{width, height, width, 3, 1};
    for (size_t w = 0; w < chn_words.size(); ++w) {
        EXPECT_EQ(field<uint32_t>(c, 4 * w), chn_words[w]) << "channel word " << w;
    }
    EXPECT_TRUE(zero_outside(c, {{0, 20}}));
}

TEST_F(Vin, BringUpSequenceAndRecordsAtEachGeometry) {
    struct Geometry {
        int32_t width, height;
    };
    for (const Geometry g : {Geometry{1920, 1080}, Geometry{1366, 768}, Geometry{1, 1}}) {
        SCOPED_TRACE(std::to_string(g.width) + "x" + std::to_string(g.height));
        fresh_substitute();
        auto util = with_pools(g.width, g.height);
        ASSERT_TRUE(util->axera_vin_init());
        EXPECT_EQ(call_names(), kBringUp);
        EXPECT_EQ(util->capture_device(), 0);
        EXPECT_TRUE(util->sensor_library_open());
        auto dev_calls = calls_named("AX_VIN_CreateDev");
        const auto set_dev = calls_named("AX_VIN_SetDevAttr");
        dev_calls.insert(dev_calls.end(), set_dev.begin(), set_dev.end());
        const auto pipe_calls = calls_named("AX_VIN_CreatePipe");
        ASSERT_EQ(pipe_calls.size(), 1U);
        EXPECT_EQ(pipe_calls[0].record, only_call("AX_VIN_SetPipeAttr").record);
        expect_records(*this, dev_calls, only_call("AX_VIN_SetDevBindPipe"), pipe_calls[0],
                       only_call("AX_ISP_SetSnsAttr"), only_call("AX_VIN_SetChnAttr"),
                       static_cast<uint32_t>(g.width), static_cast<uint32_t>(g.height));
        EXPECT_EQ(only_call("AX_VIN_SetDevBindMipi").args, (std::vector<int64_t>{0, 0}));
        EXPECT_EQ(only_call("AX_VIN_SetChnFrameMode").args, (std::vector<int64_t>{0, 0, 0}));
        EXPECT_EQ(only_call("AX_VIN_EnableChn").args, (std::vector<int64_t>{0, 0}));
        for (const char* single : {"AX_VIN_StartPipe", "AX_ISP_Start", "AX_VIN_EnableDev",
                                   "AX_ISP_StreamOn", "AX_ISP_Create", "AX_ISP_Open"}) {
            EXPECT_EQ(only_call(single).args, std::vector<int64_t>{0}) << single;
        }
        clear_trace();
        ASSERT_TRUE(util->axera_vin_deinit());
        EXPECT_EQ(call_names(), kTearDown);
    }
}

TEST_F(Vin, SensorRecordKeepsSixtyFramesPerSecond) {
    auto util = with_pools(1280, 720, 30);
    ASSERT_TRUE(util->axera_vin_init());
    EXPECT_EQ(float_at(only_call("AX_ISP_SetSnsAttr").record, 8), 60.0F);
    ASSERT_TRUE(util->axera_vin_deinit());
}

TEST_F(Vin, DeviceAttributesAreLoggedAtDebugLevel) {
    auto util = with_pools(1920, 1080);
    ASSERT_TRUE(util->axera_vin_init());
    const std::vector<LogLine> expected{
        {"debug",
         "eDevMode: 0, bImgDataEnable: 1, bNonImgDataEnable: 0, eSnsIntfType: 0, eSnsMode: 5, "
         "eBayerPattern: 3, ePixelFmt: 132"},
        {"debug", "tDevImgRgn[0]: (0, 0, 1920, 1080)"},
        {"debug", "tDevImgRgn[1]: (0, 0, 1920, 1080)"},
        {"debug", "tDevImgRgn[2]: (0, 0, 1920, 1080)"},
        {"debug", "tDevImgRgn[3]: (0, 0, 1920, 1080)"},
        {"debug", "tFrameRateCtrl.fSrcFrameRate: 1.00, tFrameRateCtrl.fDstFrameRate: 1.00"},
        {"debug", "tCompressInfo.enCompressMode: 0, tCompressInfo.u32CompressLevel: 0"},
        {"debug", "szImgVc[0]: 0, szImgDt[0]: 0x1e"},
        {"debug", std::string("dlopen ") + HDGRAB_TEST_SENSOR_LIB + " success"},
    };
    EXPECT_EQ(log_lines(), expected);
    clear_trace();
    ASSERT_TRUE(util->axera_vin_deinit());
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"debug", std::string("dlclose ") + HDGRAB_TEST_SENSOR_LIB}}));
    EXPECT_FALSE(util->sensor_library_open());
}

TEST_F(Vin, FailureAtEachBringUpStepStopsThere) {
    const std::vector<StepFailure> cases{
        {"AX_VIN_CreateDev", "AX_VIN_CreateDev failed, "},
        {"AX_VIN_SetDevAttr", "AX_VIN_SetDevAttr failed, "},
        {"AX_VIN_SetDevBindPipe", "AX_VIN_SetDevBindPipe failed, "},
        {"AX_VIN_SetDevBindMipi", "AX_VIN_SetDevBindMipi failed, "},
        {"AX_VIN_CreatePipe", "AX_VIN_CreatePipe failed, "},
        {"AX_VIN_SetPipeAttr", "AX_VI_SetPipeAttr failed, "},
        {"AX_ISP_RegisterSensor", "AX_ISP Register Sensor Failed, "},
        {"AX_ISP_SetSnsAttr", "AX_ISP_SetSnsAttr failed, "},
        {"AX_ISP_Create", "AX_ISP_Create failed, "},
        {"AX_ISP_Open", "AX_ISP_Open failed, "},
        {"AX_VIN_SetChnAttr", "AX_VIN_SetChnAttr failed, "},
        {"AX_VIN_SetChnFrameMode", "AX_VIN_SetChnFrameMode failed, "},
        {"AX_VIN_EnableChn", "AX_VIN_EnableChn failed, "},
        {"AX_VIN_StartPipe", "AX_VIN_StartPipe failed, "},
        {"AX_ISP_Start", "AX_ISP_Start failed, "},
        {"AX_VIN_EnableDev", "AX_VIN_EnableDev failed, "},
        {"AX_ISP_StreamOn", "AX_ISP_StreamOn failed, "},
    };
    for (const StepFailure& c : cases) {
        SCOPED_TRACE(c.call);
        fresh_substitute();
        auto util = with_pools(1920, 1080);
        axsim::fail(c.call, kFault, 1);
        EXPECT_FALSE(util->axera_vin_init());
        const auto names = call_names();
        const auto stop = std::find(kBringUp.begin(), kBringUp.end(), c.call);
        EXPECT_EQ(names, std::vector<std::string>(kBringUp.begin(), stop + 1));
        const auto lines = log_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), (LogLine{"error", c.message + kFaultText}));
        EXPECT_EQ(util->capture_device(), 0) << "the MIPI receiver stays up";
        const bool opened = stop - kBringUp.begin() >= 11;
        EXPECT_EQ(util->sensor_library_open(), opened);
        axsim::clear_faults();
    }
}

TEST_F(Vin, FailedReceiverFailsTheBringUp) {
    auto util = with_pools(1920, 1080);
    axsim::fail("AX_MIPI_RX_Init", kFault, 1);
    EXPECT_FALSE(util->axera_vin_init());
    EXPECT_EQ(call_names(), std::vector<std::string>{"AX_MIPI_RX_Init"});
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"error", std::string("AX_MIPI_RX_Init failed, ") + kFaultText},
                                    {"error", "axera_mipi_init failed, ret=0x0"}}));
    EXPECT_EQ(util->capture_device(), std::nullopt);
}

TEST_F(Vin, MissingSensorLibraryFailsAfterThePipe) {
    auto missing = platform();
    missing.sensor_lib = (dir / "libsns_dummy.so").string();
    auto util = std::make_unique<AxeraUtil>(1920, 1080, 60, missing);
    util->configure("debug", "console", "");
    util->get_logger()->sinks().clear();
    util->get_logger()->sinks().push_back(sink);
    ASSERT_TRUE(util->axera_sys_init());
    ASSERT_TRUE(util->axera_pool_init(3840, 2400));
    clear_trace();
    EXPECT_FALSE(util->axera_vin_init());
    EXPECT_EQ(call_names().back(), "AX_VIN_SetPipeAttr");
    EXPECT_EQ(log_lines().back(), (LogLine{"error", "ISP dlopen failed: " + missing.sensor_lib}));
    EXPECT_FALSE(util->sensor_library_open());
    EXPECT_EQ(util->capture_device(), 0);
}

TEST_F(Vin, FailureAtEachTearDownStepStopsThere) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"AX_ISP_StreamOff", "AX_ISP_StreamOff failed, "},
        {"AX_VIN_DisableDev", "AX_VIN_DisableDev failed, "},
        {"AX_ISP_Stop", "AX_ISP_Stop failed, "},
        {"AX_VIN_StopPipe", "AX_VIN_StopPipe failed, "},
        {"AX_VIN_DisableChn", "AX_VIN_DisableChn failed, "},
        {"AX_ISP_Close", "AX_ISP_Close failed, "},
        {"AX_ISP_Destroy", "AX_ISP_Destroy failed, "},
        {"AX_ISP_UnRegisterSensor", "AX_ISP_UnRegisterSensor failed, "},
        {"AX_VIN_DestroyPipe", "AX_VIN_DestroyPipe failed, "},
        {"AX_VIN_DestroyDev", "AX_VIN_DestroyDev failed, "},
    };
    for (const auto& [call, message] : cases) {
        SCOPED_TRACE(call);
        fresh_substitute();
        auto util = with_pools(1920, 1080);
        ASSERT_TRUE(util->axera_vin_init());
        clear_trace();
        axsim::fail(call, kFault, 1);
        EXPECT_FALSE(util->axera_vin_deinit());
        const auto stop = std::find(kTearDown.begin(), kTearDown.end(), call);
        EXPECT_EQ(call_names(), std::vector<std::string>(kTearDown.begin(), stop + 1));
        EXPECT_EQ(log_lines().back(), (LogLine{"error", message + kFaultText}));
        EXPECT_EQ(util->capture_device(), 0) << "the MIPI receiver is not touched";
        const bool closed = stop - kTearDown.begin() >= 8;
        EXPECT_EQ(util->sensor_library_open(), !closed);
        axsim::clear_faults();
    }
}

TEST_F(Vin, FailedReceiverTearDownDoesNotFailTheOperation) {
    auto util = with_pools(1920, 1080);
    ASSERT_TRUE(util->axera_vin_init());
    clear_trace();
    axsim::fail("AX_MIPI_RX_Stop", kFault, 1);
    EXPECT_TRUE(util->axera_vin_deinit());
    EXPECT_EQ(call_names().back(), "AX_MIPI_RX_Stop");
    EXPECT_EQ(log_lines().back(), (LogLine{"error", "MIPI deinit failed"}));
    EXPECT_EQ(util->capture_device(), 0);
    axsim::clear_faults();
    EXPECT_TRUE(util->axera_mipi_deinit());
}

TEST_F(Vin, ReconfigurationAtANewGeometry) {
    auto util = with_pools(1920, 1080);
    ASSERT_TRUE(util->axera_vin_init());
    ASSERT_TRUE(util->axera_vin_deinit());
    util->set_next_geometry({1366, 768, 60});
    clear_trace();
    ASSERT_TRUE(util->axera_vin_init());
    EXPECT_EQ(call_names(), kBringUp);
    EXPECT_EQ(field<uint32_t>(only_call("AX_VIN_SetChnAttr").record, 0), 1366U);
    ASSERT_TRUE(util->axera_vin_deinit());
}

}  // namespace
}  // namespace media_test
