// Image processor of the substitute SDK (state in libax_sys, entry points in libax_ivps).
#include <algorithm>
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr uint8_t kMaxFifoDepth = 8;
constexpr uint16_t kStrideAlign = 16;
// Filters traced by name whatever their content: the group's stage and both filters of
// output channel 0. Any other filter is traced only when it holds a non-zero byte.
constexpr std::array<std::pair<int, int>, 3> kTracedFilters{{{0, 0}, {1, 0}, {1, 1}}};

// Calls f(row, col, filter) for every filter of the pipeline, row by row.
template <typename F>
void for_each_filter(const AX_IVPS_PIPELINE_ATTR_T& a, F&& f) {
    for (int row = 0; row < AX_IVPS_FILTER_ROWS; ++row) {
        for (int col = 0; col < AX_IVPS_FILTERS_PER_ROW; ++col) {
            f(row, col, a.tFilter[row][col]);
        }
    }
}

// Engaged filters must produce a picture: size, stride aligned to 16 pixels, sane rates.
void check_pipeline(Call& c, const AX_IVPS_PIPELINE_ATTR_T& a) {
    c.refuse_if(a.nOutChnNum == 0 || a.nOutChnNum > kIvpsChns, Kind::kIllegalParam,
                "{} output channels", a.nOutChnNum);
    for_each_filter(a, [&](int row, int col, const AX_IVPS_FILTER_T& f) {
        if (f.bEngage == 0) {
            return;
        }
        c.refuse_if(row > a.nOutChnNum, Kind::kIllegalParam,
                    "filter [{}][{}] engaged for channel {} of {}", row, col, row - 1,
                    a.nOutChnNum);
        c.refuse_if(f.nDstPicWidth == 0 || f.nDstPicHeight == 0 ||
                        f.nDstPicStride < f.nDstPicWidth || f.nDstPicStride % kStrideAlign != 0,
                    Kind::kIllegalParam, "filter [{}][{}] picture {}x{} stride {}", row, col,
                    f.nDstPicWidth, f.nDstPicHeight, f.nDstPicStride);
        c.refuse_if(!(f.fSrcFrameRate > 0.0f) || !(f.fDstFrameRate > 0.0f) ||
                        f.fDstFrameRate > f.fSrcFrameRate,
                    Kind::kIllegalParam, "filter [{}][{}] frame rates {} -> {}", row, col,
                    f.fSrcFrameRate, f.fDstFrameRate);
    });
}

bool linked_to(const State& s, int32_t grp) {
    return std::any_of(s.links.begin(), s.links.end(),
                       [&](const Link& l) { return l.dst.s32GrpId == grp; });
}

}  // namespace

void trace(Call& c, const AX_IVPS_PIPELINE_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, nOutChnNum, nOutFifoDepth);
    for_each_filter(a, [&](int row, int col, const AX_IVPS_FILTER_T& f) {
        bool named = std::find(kTracedFilters.begin(), kTracedFilters.end(), std::pair{row, col}) !=
                     kTracedFilters.end();
        auto key = [&](std::string_view member) {
            return fmt::format("filter[{}][{}].{}", row, col, member);
        };
        if (named || !is_zero(&f, sizeof(f))) {
            c.members(key("bEngage"), f.bEngage, key("eEngine"), f.eEngine, key("fSrcFrameRate"),
                      f.fSrcFrameRate, key("fDstFrameRate"), f.fDstFrameRate, key("nDstPicWidth"),
                      f.nDstPicWidth, key("nDstPicHeight"), f.nDstPicHeight, key("nDstPicStride"),
                      f.nDstPicStride, key("eDstPicFormat"), f.eDstPicFormat);
        }
    });
}

void trace(Call& c, const AX_IVPS_GRP_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, nInFifoDepth, ePipeline);
}

namespace rule {

AXSIM_RULE(AX_IVPS_Init) {
    c.s.ivps = true;
}

AXSIM_RULE(AX_IVPS_Deinit) {
    c.refuse_if(!c.s.groups.empty(), Kind::kBusy, "{} group(s) still exist", c.s.groups.size());
    c.s.ivps = false;
}

AXSIM_RULE(AX_IVPS_CreateGrp) {
    c.refuse_if(attr->nInFifoDepth == 0 || attr->nInFifoDepth > kMaxFifoDepth, Kind::kIllegalParam,
                "input queue depth {}", attr->nInFifoDepth);
    c.s.groups[grp].attr = *attr;
}

AXSIM_RULE(AX_IVPS_DestoryGrp) {
    c.refuse_if(c.grp->started, Kind::kBusy, "group {} started", grp);
    c.refuse_if(linked_to(c.s, grp), Kind::kBusy, "group {} still linked", grp);
    for (int32_t i = 0; i < kIvpsChns; ++i) {
        c.refuse_if(c.grp->chn_enabled[static_cast<size_t>(i)], Kind::kBusy,
                    "channel {} of group {} still enabled", i, grp);
    }
    c.s.groups.erase(grp);
}

AXSIM_RULE(AX_IVPS_SetPipelineAttr) {
    c.refuse_if(c.grp->started, Kind::kBusy, "group {} started", grp);
    check_pipeline(c, *attr);
    c.grp->pipeline = *attr;
    c.grp->pipeline_set = true;
}

AXSIM_RULE(AX_IVPS_EnableChn) {
    IvpsGrp& g = *c.grp;
    c.refuse_if(!g.pipeline_set, Kind::kNotConfig, "group {} has no pipeline", grp);
    c.refuse_if(chn >= g.pipeline.nOutChnNum, Kind::kInvalidId,
                "channel {} beyond the pipeline's {} output channel(s)", chn,
                g.pipeline.nOutChnNum);
    auto& enabled = g.chn_enabled[static_cast<size_t>(chn)];
    c.refuse_if(enabled, Kind::kExist, "channel {} already enabled", chn);
    enabled = true;
}

AXSIM_RULE(AX_IVPS_DisableChn) {
    // Disabling a channel that is not enabled is accepted: tear-downs disable every channel
    // the group may have, whether or not it was used.
    c.grp->chn_enabled[static_cast<size_t>(chn)] = false;
}

AXSIM_RULE(AX_IVPS_StartGrp) {
    c.refuse_if(!c.grp->pipeline_set, Kind::kNotConfig, "group {} has no pipeline", grp);
    c.refuse_if(c.grp->started, Kind::kExist, "group {} already started", grp);
    c.grp->started = true;
}

AXSIM_RULE(AX_IVPS_StopGrp) {
    c.refuse_if(!c.grp->started, Kind::kNotReady, "group {} not started", grp);
    c.grp->started = false;
}

}  // namespace rule
}  // namespace axsim::detail
