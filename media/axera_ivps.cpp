// Image processor group and the video input -> image processor link of AxeraUtil.
#include <cstdint>
#include <cstring>

#include "media/axera_util.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

namespace mc = hdgrab::media;

namespace {

void set_filter(AX_IVPS_FILTER_T& filter, uint32_t engage, int32_t engine, float frame_rate,
                uint16_t width, uint16_t height, uint16_t stride, int32_t format) {
    filter.bEngage = engage;
    filter.eEngine = engine;
    filter.fSrcFrameRate = frame_rate;
    filter.fDstFrameRate = frame_rate;
    filter.nDstPicWidth = width;
    filter.nDstPicHeight = height;
    filter.nDstPicStride = stride;
    filter.eDstPicFormat = format;
}

}  // namespace

bool AxeraUtil::axera_ivps_init() {
    if (!sdk_ok(AX_IVPS_Init(), "AX_IVPS_Init failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.ivps.initialised = true;
    state_.ivps_group = mc::kIvpsGroup;

    AX_IVPS_GRP_ATTR_T group_attr;
    std::memset(&group_attr, 0, sizeof(group_attr));
    group_attr.nInFifoDepth = mc::kIvpsInFifoDepth;
    group_attr.ePipeline = mc::kIvpsPipelineKind;
    if (!sdk_ok(AX_IVPS_CreateGrp(group_number(), &group_attr),
                "AX_IVPS_CreateGrp failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.ivps.group_created = true;

    // The SDK's picture sizes are 16-bit: only the low 16 bits of the geometry are used.
    const auto picture_width = static_cast<uint16_t>(settings_.geometry.width);
    const auto picture_height = static_cast<uint16_t>(settings_.geometry.height);
    const auto stride =
        static_cast<uint16_t>(static_cast<uint16_t>(picture_width + mc::kIvpsStrideAlign - 1U) &
                              static_cast<uint16_t>(~(mc::kIvpsStrideAlign - 1U)));
    const auto frame_rate = static_cast<float>(settings_.geometry.fps);

    AX_IVPS_PIPELINE_ATTR_T attr;
    std::memset(&attr, 0, sizeof(attr));
    attr.nOutChnNum = mc::kIvpsOutChannels;
    attr.nOutFifoDepth[0] = mc::kIvpsOutFifoDepth;
    // Row 0: the group's own stage; row 1: output channel 0 (full picture plus a thumbnail).
    set_filter(attr.tFilter[0][0], mc::kFilterDisabled, mc::kEngine1, frame_rate, picture_width,
               picture_height, stride, mc::kIvpsImgFormat);
    set_filter(attr.tFilter[1][0], mc::kFilterEnabled, mc::kEngine0, frame_rate, picture_width,
               picture_height, stride, mc::kIvpsImgFormat);
    set_filter(attr.tFilter[1][1], mc::kFilterEnabled, mc::kEngine1, frame_rate, mc::kThumbWidth,
               mc::kThumbHeight, mc::kThumbStride, mc::kThumbFormat);
    if (!sdk_ok(AX_IVPS_SetPipelineAttr(group_number(), &attr),
                "AX_IVPS_SetPipelineAttr failed, ret=0x{:X}")) {
        return false;
    }
    if (!sdk_ok(AX_IVPS_EnableChn(group_number(), mc::kIvpsChannel0),
                "AX_IVPS_EnableChn failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.ivps.channel_enabled = true;
    if (!sdk_ok(AX_IVPS_StartGrp(group_number()), "AX_IVPS_StartGrp failed, ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.ivps.started = true;
    return true;
}

bool AxeraUtil::axera_ivps_deinit() {
    // Output channel 1 is never enabled, yet it is disabled (before channel 0) whenever the group
    // exists: the SDK accepts that for any channel of a group.
    auto& g = state_.pipeline.ivps;
    bool channel1 = g.group_created;
    return (!g.started || undo(g.started, AX_IVPS_StopGrp(group_number()),
                               "AX_IVPS_StopGrp failed, ret=0x{:X}")) &&
           (!channel1 || undo(channel1, AX_IVPS_DisableChn(group_number(), mc::kIvpsChannel1),
                              "AX_IVPS_DisableChn failed, ret=0x{:X}")) &&
           (!g.channel_enabled ||
            undo(g.channel_enabled, AX_IVPS_DisableChn(group_number(), mc::kIvpsChannel0),
                 "AX_IVPS_DisableChn failed, ret=0x{:X}")) &&
           (!g.group_created || undo(g.group_created, AX_IVPS_DestoryGrp(group_number()),
                                     "AX_IVPS_DestoryGrp failed, ret=0x{:X}")) &&
           (!g.initialised ||
            undo(g.initialised, AX_IVPS_Deinit(), "AX_IVPS_Deinit failed, ret=0x{:X}"));
}

bool AxeraUtil::axera_link_init() {
    const AX_MOD_INFO_T source{mc::kVinModule, mc::kLinkVinGroup, capture_number()};
    const AX_MOD_INFO_T destination{mc::kIvpsModule, group_number(), mc::kLinkIvpsChannel};
    if (!sdk_ok(AX_SYS_Link(&source, &destination), "AX_SYS_Link failed (VIN->IVPS), ret=0x{:X}")) {
        return false;
    }
    state_.pipeline.linked = true;
    return true;
}

bool AxeraUtil::axera_link_deinit() {
    if (!state_.pipeline.linked) {
        return true;
    }
    const AX_MOD_INFO_T source{mc::kVinModule, mc::kLinkVinGroup, capture_number()};
    const AX_MOD_INFO_T destination{mc::kIvpsModule, group_number(), mc::kLinkIvpsChannel};
    return undo(state_.pipeline.linked, AX_SYS_UnLink(&source, &destination),
                "AX_SYS_UnLink failed (VIN->IVPS), ret=0x{:X}");
}
