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

bool is_zero(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

void trace_filter(Call& c, int row, int col, const AX_IVPS_FILTER_T& f) {
    auto key = [&](std::string_view member) {
        return fmt::format("filter[{}][{}].{}", row, col, member);
    };
    c.member(key("bEngage"), f.bEngage);
    c.member(key("eEngine"), f.eEngine);
    c.member_float(key("fSrcFrameRate"), f.fSrcFrameRate);
    c.member_float(key("fDstFrameRate"), f.fDstFrameRate);
    c.member(key("nDstPicWidth"), f.nDstPicWidth);
    c.member(key("nDstPicHeight"), f.nDstPicHeight);
    c.member(key("nDstPicStride"), f.nDstPicStride);
    c.member(key("eDstPicFormat"), f.eDstPicFormat);
}

void trace_grp_attr(Call& c, const AX_IVPS_GRP_ATTR_T& a) {
    c.member("nInFifoDepth", a.nInFifoDepth);
    c.member("ePipeline", a.ePipeline);
}

void trace_pipeline(Call& c, const AX_IVPS_PIPELINE_ATTR_T& a) {
    c.member("nOutChnNum", a.nOutChnNum);
    c.member("nOutFifoDepth", list(a.nOutFifoDepth));
    for (int row = 0; row < AX_IVPS_FILTER_ROWS; ++row) {
        for (int col = 0; col < AX_IVPS_FILTERS_PER_ROW; ++col) {
            bool named = std::find(kTracedFilters.begin(), kTracedFilters.end(),
                                   std::pair{row, col}) != kTracedFilters.end();
            const AX_IVPS_FILTER_T& f = a.tFilter[row][col];
            if (named || !is_zero(&f, sizeof(f))) {
                trace_filter(c, row, col, f);
            }
        }
    }
}

// Engaged filters must produce a picture: size, stride aligned to 16 pixels, sane rates.
std::string check_pipeline(const AX_IVPS_PIPELINE_ATTR_T& a) {
    if (a.nOutChnNum == 0 || a.nOutChnNum > kIvpsChns) {
        return fmt::format("{} output channels", a.nOutChnNum);
    }
    for (int row = 0; row < AX_IVPS_FILTER_ROWS; ++row) {
        for (int col = 0; col < AX_IVPS_FILTERS_PER_ROW; ++col) {
            const AX_IVPS_FILTER_T& f = a.tFilter[row][col];
            if (f.bEngage == 0) {
                continue;
            }
            if (row > a.nOutChnNum) {
                return fmt::format("filter [{}][{}] engaged for channel {} of {}", row, col,
                                   row - 1, a.nOutChnNum);
            }
            if (f.nDstPicWidth == 0 || f.nDstPicHeight == 0 || f.nDstPicStride < f.nDstPicWidth ||
                f.nDstPicStride % kStrideAlign != 0) {
                return fmt::format("filter [{}][{}] picture {}x{} stride {}", row, col,
                                   f.nDstPicWidth, f.nDstPicHeight, f.nDstPicStride);
            }
            if (!(f.fSrcFrameRate > 0.0f) || !(f.fDstFrameRate > 0.0f) ||
                f.fDstFrameRate > f.fSrcFrameRate) {
                return fmt::format("filter [{}][{}] frame rates {} -> {}", row, col,
                                   f.fSrcFrameRate, f.fDstFrameRate);
            }
        }
    }
    return {};
}

bool linked_to(const State& s, int32_t grp) {
    return std::any_of(s.links.begin(), s.links.end(),
                       [&](const Link& l) { return l.dst.s32GrpId == grp; });
}

constexpr Spec kGrpCall(const char* name) {
    return {name, Module::kIvps, Need::kIvpsGrp};
}

}  // namespace

int32_t AX_IVPS_Init() {
    return run({__func__, Module::kIvps, Need::kSys}, {}, [](Call& c) {
        if (int32_t st =
                c.check({{c.s.ivps, Kind::kExist, "image processor already initialised"}})) {
            return st;
        }
        c.s.ivps = true;
        return 0;
    });
}

int32_t AX_IVPS_Deinit() {
    return run({__func__, Module::kIvps, Need::kIvps}, {}, [](Call& c) {
        if (!c.s.groups.empty()) {
            return c.refuse(Kind::kBusy, fmt::format("{} group(s) still exist", c.s.groups.size()));
        }
        c.s.ivps = false;
        return 0;
    });
}

int32_t AX_IVPS_CreateGrp(int32_t grp, const AX_IVPS_GRP_ATTR_T* attr) {
    return run({__func__, Module::kIvps, Need::kIvpsGrpId}, {{"grp", grp}},
               In{attr, trace_grp_attr}, [=](Call& c, const AX_IVPS_GRP_ATTR_T& a) {
                   if (int32_t st = c.check(
                           {{c.grp != nullptr, Kind::kExist, "group {} already created"}})) {
                       return st;
                   }
                   if (a.nInFifoDepth == 0 || a.nInFifoDepth > kMaxFifoDepth) {
                       return c.refuse(Kind::kIllegalParam,
                                       fmt::format("input queue depth {}", a.nInFifoDepth));
                   }
                   c.s.groups[grp].attr = a;
                   return 0;
               });
}

int32_t AX_IVPS_DestoryGrp(int32_t grp) {
    return run(kGrpCall(__func__), {{"grp", grp}}, [=](Call& c) {
        const IvpsGrp& g = *c.grp;
        if (int32_t st = c.check({{g.started, Kind::kBusy, "group {} started"},
                                  {linked_to(c.s, grp), Kind::kBusy, "group {} still linked"}})) {
            return st;
        }
        for (int32_t i = 0; i < kIvpsChns; ++i) {
            if (g.chn_enabled[static_cast<size_t>(i)]) {
                return c.refuse(Kind::kBusy,
                                fmt::format("channel {} of group {} still enabled", i, grp));
            }
        }
        c.s.groups.erase(grp);
        return 0;
    });
}

int32_t AX_IVPS_SetPipelineAttr(int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr) {
    return run(kGrpCall(__func__), {{"grp", grp}}, In{attr, trace_pipeline},
               [](Call& c, const AX_IVPS_PIPELINE_ATTR_T& a) {
                   if (int32_t st = c.check({{c.grp->started, Kind::kBusy, "group {} started"}})) {
                       return st;
                   }
                   if (std::string why = check_pipeline(a); !why.empty()) {
                       return c.refuse(Kind::kIllegalParam, why);
                   }
                   c.grp->pipeline = a;
                   c.grp->pipeline_set = true;
                   return 0;
               });
}

int32_t AX_IVPS_EnableChn(int32_t grp, int32_t chn) {
    return run(kGrpCall(__func__), {{"grp", grp}, {"chn", chn}}, [=](Call& c) {
        IvpsGrp& g = *c.grp;
        if (int32_t st =
                c.check({{chn < 0 || chn >= kIvpsChns, Kind::kInvalidId, "channel {}"}}, chn)) {
            return st;
        }
        if (int32_t st =
                c.check({{!g.pipeline_set, Kind::kNotConfig, "group {} has no pipeline"}})) {
            return st;
        }
        if (chn >= g.pipeline.nOutChnNum) {
            return c.refuse(Kind::kInvalidId,
                            fmt::format("channel {} beyond the pipeline's {} output channel(s)",
                                        chn, g.pipeline.nOutChnNum));
        }
        auto& enabled = g.chn_enabled[static_cast<size_t>(chn)];
        if (int32_t st = c.check({{enabled, Kind::kExist, "channel {} already enabled"}}, chn)) {
            return st;
        }
        enabled = true;
        return 0;
    });
}

int32_t AX_IVPS_DisableChn(int32_t grp, int32_t chn) {
    return run(kGrpCall(__func__), {{"grp", grp}, {"chn", chn}}, [=](Call& c) {
        if (int32_t st =
                c.check({{chn < 0 || chn >= kIvpsChns, Kind::kInvalidId, "channel {}"}}, chn)) {
            return st;
        }
        // Disabling a channel that is not enabled is accepted: tear-downs disable every channel
        // the group may have, whether or not it was used.
        c.grp->chn_enabled[static_cast<size_t>(chn)] = false;
        return 0;
    });
}

int32_t AX_IVPS_StartGrp(int32_t grp) {
    return run(kGrpCall(__func__), {{"grp", grp}}, [](Call& c) {
        if (int32_t st =
                c.check({{!c.grp->pipeline_set, Kind::kNotConfig, "group {} has no pipeline"},
                         {c.grp->started, Kind::kExist, "group {} already started"}})) {
            return st;
        }
        c.grp->started = true;
        return 0;
    });
}

int32_t AX_IVPS_StopGrp(int32_t grp) {
    return run(kGrpCall(__func__), {{"grp", grp}}, [](Call& c) {
        if (int32_t st = c.check({{!c.grp->started, Kind::kNotReady, "group {} not started"}})) {
            return st;
        }
        c.grp->started = false;
        return 0;
    });
}

}  // namespace axsim::detail
