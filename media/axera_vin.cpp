// Video input device, pipe, ISP and channel of AxeraUtil.
#include <cstdint>
#include <cstring>

#include "media/axera_util.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

namespace mc = hdgrab::media;

namespace {

// Zero-filled as a whole: every member not set below must reach the SDK as zero.
template <typename Record>
Record zeroed() {
    Record record;
    std::memset(&record, 0, sizeof(record));
    return record;
}

}  // namespace

bool AxeraUtil::axera_vin_init() {
    if (!axera_mipi_init()) {
        log()->error("axera_mipi_init failed, ret=0x{:X}", 0U);
        return false;
    }

    const auto picture_width = static_cast<uint32_t>(settings_.geometry.width);
    const auto picture_height = static_cast<uint32_t>(settings_.geometry.height);

    auto dev_attr = zeroed<AX_VIN_DEV_ATTR_T>();
    dev_attr.eDevMode = mc::kDevMode;
    dev_attr.bImgDataEnable = mc::kImgDataEnable;
    dev_attr.bNonImgDataEnable = mc::kNonImgDataEnable;
    dev_attr.eSnsIntfType = mc::kSnsIntfType;
    dev_attr.eSnsMode = mc::kSnsMode;
    dev_attr.eBayerPattern = mc::kBayerPattern;
    dev_attr.ePixelFmt = mc::kPixelFmt;
    for (AX_VIN_RECT_T& region : dev_attr.tDevImgRgn) {
        region = AX_VIN_RECT_T{0, 0, picture_width, picture_height};
    }
    dev_attr.tFrameRateCtrl.fSrcFrameRate = mc::kDevFrameRate;
    dev_attr.tFrameRateCtrl.fDstFrameRate = mc::kDevFrameRate;
    dev_attr.tCompressInfo.enCompressMode = 0;
    dev_attr.tCompressInfo.u32CompressLevel = 0;
    dev_attr.szImgVc[0] = mc::kImgVirtualChannel;
    dev_attr.szImgDt[0] = mc::kImgDataType;

    log()->debug(
        "eDevMode: {}, bImgDataEnable: {}, bNonImgDataEnable: {}, eSnsIntfType: {}, eSnsMode: "
        "{}, eBayerPattern: {}, ePixelFmt: {}",
        dev_attr.eDevMode, dev_attr.bImgDataEnable, dev_attr.bNonImgDataEnable,
        dev_attr.eSnsIntfType, dev_attr.eSnsMode, dev_attr.eBayerPattern, dev_attr.ePixelFmt);
    for (size_t i = 0; i < std::size(dev_attr.tDevImgRgn); ++i) {
        const AX_VIN_RECT_T& region = dev_attr.tDevImgRgn[i];
        log()->debug("tDevImgRgn[{}]: ({}, {}, {}, {})", i, region.nStartX, region.nStartY,
                     region.nWidth, region.nHeight);
    }
    log()->debug("tFrameRateCtrl.fSrcFrameRate: {:.2f}, tFrameRateCtrl.fDstFrameRate: {:.2f}",
                 dev_attr.tFrameRateCtrl.fSrcFrameRate, dev_attr.tFrameRateCtrl.fDstFrameRate);
    log()->debug("tCompressInfo.enCompressMode: {}, tCompressInfo.u32CompressLevel: {}",
                 dev_attr.tCompressInfo.enCompressMode, dev_attr.tCompressInfo.u32CompressLevel);
    log()->debug("szImgVc[0]: {}, szImgDt[0]: 0x{:02x}", unsigned{dev_attr.szImgVc[0]},
                 unsigned{dev_attr.szImgDt[0]});

    if (!sdk_ok(AX_VIN_CreateDev(device(), &dev_attr), "AX_VIN_CreateDev failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.vin_dev.created = true;
    if (!sdk_ok(AX_VIN_SetDevAttr(device(), &dev_attr), "AX_VIN_SetDevAttr failed, ret=0x{:X}")) {
        return false;
    }

    auto bind = zeroed<AX_VIN_DEV_BIND_PIPE_T>();
    bind.nNum = mc::kBoundPipes;
    bind.nPipeId[0] = static_cast<uint32_t>(capture_number());
    bind.nDataFlag[0] = mc::kBindDataFlag;
    if (!sdk_ok(AX_VIN_SetDevBindPipe(device(), &bind),
                "AX_VIN_SetDevBindPipe failed, ret=0x{:X}")) {
        return false;
    }
    if (!sdk_ok(AX_VIN_SetDevBindMipi(device(), device()),
                "AX_VIN_SetDevBindMipi failed, ret=0x{:X}")) {
        return false;
    }

    auto pipe_attr = zeroed<AX_VIN_PIPE_ATTR_T>();
    pipe_attr.ePipeWorkMode = mc::kPipeWorkMode;
    pipe_attr.tPipeImgRgn = AX_VIN_RECT_T{0, 0, picture_width, picture_height};
    pipe_attr.nWidthStride = picture_width;
    pipe_attr.eBayerPattern = mc::kBayerPattern;
    pipe_attr.ePixelFmt = mc::kPixelFmt;
    pipe_attr.eSnsMode = mc::kSnsMode;
    if (!sdk_ok(AX_VIN_CreatePipe(device(), &pipe_attr), "AX_VIN_CreatePipe failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.vin_pipe.created = true;
    if (!sdk_ok(AX_VIN_SetPipeAttr(device(), &pipe_attr), "AX_VI_SetPipeAttr failed, ret=0x{:X}")) {
        return false;
    }

    state_.sensor_lib = hdgrab::media::SharedLibrary::open_lazy(settings_.platform.sensor_lib);
    if (!state_.sensor_lib) {
        log()->error("ISP dlopen failed: {}", settings_.platform.sensor_lib);
        return false;
    }
    log()->debug("dlopen {} success", settings_.platform.sensor_lib);
    auto* sensor =
        static_cast<AX_SENSOR_REGISTER_FUNC_T*>(state_.sensor_lib.symbol(mc::kSensorObjectSymbol));
    if (!sdk_ok(AX_ISP_RegisterSensor(device(), sensor),
                "AX_ISP Register Sensor Failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.isp.registered = true;

    auto sns_attr = zeroed<AX_SNS_ATTR_T>();
    sns_attr.nWidth = picture_width;
    sns_attr.nHeight = picture_height;
    sns_attr.fFrameRate = mc::kSensorFrameRate;
    sns_attr.eSnsMode = mc::kSnsMode;
    sns_attr.eRawType = mc::kSensorRawBits;
    sns_attr.eBayerPattern = mc::kBayerPattern;
    if (!sdk_ok(AX_ISP_SetSnsAttr(device(), &sns_attr), "AX_ISP_SetSnsAttr failed, ret=0x{:X}")) {
        return false;
    }
    if (!sdk_ok(AX_ISP_Create(device()), "AX_ISP_Create failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.isp.created = true;
    if (!sdk_ok(AX_ISP_Open(device()), "AX_ISP_Open failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.isp.open = true;

    auto chn_attr = zeroed<AX_VIN_CHN_ATTR_T>();
    chn_attr.nWidth = picture_width;
    chn_attr.nHeight = picture_height;
    chn_attr.nWidthStride = picture_width;
    chn_attr.eImgFormat = mc::kChannelImgFormat;
    chn_attr.nDepth = mc::kChannelDepth;
    const int32_t channel = capture_number();
    if (!sdk_ok(AX_VIN_SetChnAttr(device(), channel, &chn_attr),
                "AX_VIN_SetChnAttr failed, ret=0x{:X}")) {
        return false;
    }
    if (!sdk_ok(AX_VIN_SetChnFrameMode(device(), channel, mc::kChannelFrameMode),
                "AX_VIN_SetChnFrameMode failed, ret=0x{:X}")) {
        return false;
    }
    if (!sdk_ok(AX_VIN_EnableChn(device(), channel), "AX_VIN_EnableChn failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.vin_chn.enabled = true;
    if (!sdk_ok(AX_VIN_StartPipe(device()), "AX_VIN_StartPipe failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.vin_pipe.started = true;
    if (!sdk_ok(AX_ISP_Start(device()), "AX_ISP_Start failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.isp.started = true;
    if (!sdk_ok(AX_VIN_EnableDev(device()), "AX_VIN_EnableDev failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.vin_dev.enabled = true;
    if (!sdk_ok(AX_ISP_StreamOn(device()), "AX_ISP_StreamOn failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.isp.streaming = true;
    return true;
}

bool AxeraUtil::undo(bool& done, int32_t status, fmt::format_string<uint32_t> message) {
    if (!sdk_ok(status, message)) {
        return false;
    }
    done = false;
    return true;
}

bool AxeraUtil::axera_vin_deinit() {
    // Each step undoes one recorded set-up step and is left out when that step never took
    // effect (or was undone already); the first refusal ends the operation.
    const int32_t channel = capture_number();
    auto& p = state_.pipeline;
    if ((p.isp.streaming && !undo(p.isp.streaming, AX_ISP_StreamOff(device()),
                                  "AX_ISP_StreamOff failed, ret=0x{:X}")) ||
        (p.vin_dev.enabled && !undo(p.vin_dev.enabled, AX_VIN_DisableDev(device()),
                                    "AX_VIN_DisableDev failed, ret=0x{:X}")) ||
        (p.isp.started &&
         !undo(p.isp.started, AX_ISP_Stop(device()), "AX_ISP_Stop failed, ret=0x{:X}")) ||
        (p.vin_pipe.started && !undo(p.vin_pipe.started, AX_VIN_StopPipe(device()),
                                     "AX_VIN_StopPipe failed, ret=0x{:X}")) ||
        (p.vin_chn.enabled && !undo(p.vin_chn.enabled, AX_VIN_DisableChn(device(), channel),
                                    "AX_VIN_DisableChn failed, ret=0x{:X}")) ||
        (p.isp.open &&
         !undo(p.isp.open, AX_ISP_Close(device()), "AX_ISP_Close failed, ret=0x{:X}")) ||
        (p.isp.created &&
         !undo(p.isp.created, AX_ISP_Destroy(device()), "AX_ISP_Destroy failed, ret=0x{:X}")) ||
        (p.isp.registered && !undo(p.isp.registered, AX_ISP_UnRegisterSensor(device()),
                                   "AX_ISP_UnRegisterSensor failed, ret=0x{:X}"))) {
        return false;
    }
    if (state_.sensor_lib) {
        state_.sensor_lib.reset();
        log()->debug("dlclose {}", settings_.platform.sensor_lib);
    }
    if ((p.vin_pipe.created && !undo(p.vin_pipe.created, AX_VIN_DestroyPipe(device()),
                                     "AX_VIN_DestroyPipe failed, ret=0x{:X}")) ||
        (p.vin_dev.created && !undo(p.vin_dev.created, AX_VIN_DestroyDev(device()),
                                    "AX_VIN_DestroyDev failed, ret=0x{:X}"))) {
        return false;
    }
    if (p.mipi.initialised && !axera_mipi_deinit()) {
        log()->error("MIPI deinit failed");
    }
    return true;
}
