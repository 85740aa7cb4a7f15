// Image processor of the substitute SDK (state in libax_sys, entry points in libax_ivps).
#include <algorithm>
#include <cstring>

#include "sim/sdk/calls.h"
#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kNotInit = err(Module::kIvps, Kind::kNotInit);
constexpr uint8_t kMaxFifoDepth = 8;
constexpr uint16_t kStrideAlign = 16;
// Filters traced by name whatever their content: the group's stage and both filters of
// output channel 0. Any other filter is traced only when it holds a non-zero byte.
constexpr std::array<std::pair<int, int>, 3> kTracedFilters{{{0, 0}, {1, 0}, {1, 1}}};

bool is_zero(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

void trace_filter(CallScope& c, int row, int col, const AX_IVPS_FILTER_T& f) {
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

void trace_pipeline(CallScope& c, const AX_IVPS_PIPELINE_ATTR_T& a) {
    c.member("nOutChnNum", a.nOutChnNum);
    c.member("nOutFifoDepth", fmt::format("{}", fmt::join(a.nOutFifoDepth, ",")));
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

int32_t find_grp(CallScope& c, int32_t grp, IvpsGrp*& out) {
    State& s = c.state();
    if (!s.ivps) {
        return c.reject(kNotInit, "image processor not initialised");
    }
    if (grp < 0 || grp >= kIvpsGroups) {
        return c.reject(err(Module::kIvps, Kind::kInvalidId), fmt::format("group {}", grp));
    }
    auto it = s.groups.find(grp);
    if (it == s.groups.end()) {
        return c.reject(err(Module::kIvps, Kind::kNotExist),
                        fmt::format("group {} not created", grp));
    }
    out = &it->second;
    return 0;
}

bool linked_to(const State& s, int32_t grp) {
    return std::any_of(s.links.begin(), s.links.end(),
                       [&](const Link& l) { return l.dst.s32GrpId == grp; });
}

}  // namespace

int32_t ivps_init() {
    CallScope c("AX_IVPS_Init");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kNotInit, "media system not initialised");
    }
    if (s.ivps) {
        return c.reject(err(Module::kIvps, Kind::kExist), "image processor already initialised");
    }
    s.ivps = true;
    return c.ok();
}

int32_t ivps_deinit() {
    CallScope c("AX_IVPS_Deinit");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.ivps) {
        return c.reject(kNotInit, "image processor not initialised");
    }
    if (!s.groups.empty()) {
        return c.reject(err(Module::kIvps, Kind::kBusy),
                        fmt::format("{} group(s) still exist", s.groups.size()));
    }
    s.ivps = false;
    return c.ok();
}

int32_t ivps_create_grp(int32_t grp, const AX_IVPS_GRP_ATTR_T* attr) {
    CallScope c("AX_IVPS_CreateGrp");
    c.arg("grp", grp);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        c.member("nInFifoDepth", attr->nInFifoDepth);
        c.member("ePipeline", attr->ePipeline);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.ivps) {
        return c.reject(kNotInit, "image processor not initialised");
    }
    if (grp < 0 || grp >= kIvpsGroups) {
        return c.reject(err(Module::kIvps, Kind::kInvalidId), fmt::format("group {}", grp));
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kIvps, Kind::kNullPtr), "null attributes");
    }
    if (s.groups.count(grp) != 0) {
        return c.reject(err(Module::kIvps, Kind::kExist),
                        fmt::format("group {} already created", grp));
    }
    if (attr->nInFifoDepth == 0 || attr->nInFifoDepth > kMaxFifoDepth) {
        return c.reject(err(Module::kIvps, Kind::kIllegalParam),
                        fmt::format("input queue depth {}", attr->nInFifoDepth));
    }
    s.groups[grp].attr = *attr;
    return c.ok();
}

int32_t ivps_destroy_grp(int32_t grp) {
    CallScope c("AX_IVPS_DestoryGrp");
    c.arg("grp", grp);
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    State& s = c.state();
    if (g->started) {
        return c.reject(err(Module::kIvps, Kind::kBusy), fmt::format("group {} started", grp));
    }
    if (linked_to(s, grp)) {
        return c.reject(err(Module::kIvps, Kind::kBusy), fmt::format("group {} still linked", grp));
    }
    for (int32_t i = 0; i < kIvpsChns; ++i) {
        if (g->chn_enabled[static_cast<size_t>(i)]) {
            return c.reject(err(Module::kIvps, Kind::kBusy),
                            fmt::format("channel {} of group {} still enabled", i, grp));
        }
    }
    s.groups.erase(grp);
    return c.ok();
}

int32_t ivps_set_pipeline_attr(int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr) {
    CallScope c("AX_IVPS_SetPipelineAttr");
    c.arg("grp", grp);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        trace_pipeline(c, *attr);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kIvps, Kind::kNullPtr), "null attributes");
    }
    if (g->started) {
        return c.reject(err(Module::kIvps, Kind::kBusy), fmt::format("group {} started", grp));
    }
    if (std::string why = check_pipeline(*attr); !why.empty()) {
        return c.reject(err(Module::kIvps, Kind::kIllegalParam), why);
    }
    g->pipeline = *attr;
    g->pipeline_set = true;
    return c.ok();
}

int32_t ivps_enable_chn(int32_t grp, int32_t chn) {
    CallScope c("AX_IVPS_EnableChn");
    c.arg("grp", grp);
    c.arg("chn", chn);
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    if (chn < 0 || chn >= kIvpsChns) {
        return c.reject(err(Module::kIvps, Kind::kInvalidId), fmt::format("channel {}", chn));
    }
    if (!g->pipeline_set) {
        return c.reject(err(Module::kIvps, Kind::kNotConfig),
                        fmt::format("group {} has no pipeline", grp));
    }
    if (chn >= g->pipeline.nOutChnNum) {
        return c.reject(err(Module::kIvps, Kind::kInvalidId),
                        fmt::format("channel {} beyond the pipeline's {} output channel(s)", chn,
                                    g->pipeline.nOutChnNum));
    }
    auto& enabled = g->chn_enabled[static_cast<size_t>(chn)];
    if (enabled) {
        return c.reject(err(Module::kIvps, Kind::kExist),
                        fmt::format("channel {} already enabled", chn));
    }
    enabled = true;
    return c.ok();
}

int32_t ivps_disable_chn(int32_t grp, int32_t chn) {
    CallScope c("AX_IVPS_DisableChn");
    c.arg("grp", grp);
    c.arg("chn", chn);
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    if (chn < 0 || chn >= kIvpsChns) {
        return c.reject(err(Module::kIvps, Kind::kInvalidId), fmt::format("channel {}", chn));
    }
    // Disabling a channel that is not enabled is accepted: tear-downs disable every channel the
    // group may have, whether or not it was used.
    g->chn_enabled[static_cast<size_t>(chn)] = false;
    return c.ok();
}

int32_t ivps_start_grp(int32_t grp) {
    CallScope c("AX_IVPS_StartGrp");
    c.arg("grp", grp);
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    if (!g->pipeline_set) {
        return c.reject(err(Module::kIvps, Kind::kNotConfig),
                        fmt::format("group {} has no pipeline", grp));
    }
    if (g->started) {
        return c.reject(err(Module::kIvps, Kind::kExist),
                        fmt::format("group {} already started", grp));
    }
    g->started = true;
    return c.ok();
}

int32_t ivps_stop_grp(int32_t grp) {
    CallScope c("AX_IVPS_StopGrp");
    c.arg("grp", grp);
    if (c.injected()) {
        return c.finish();
    }
    IvpsGrp* g = nullptr;
    if (int32_t st = find_grp(c, grp, g); st != 0) {
        return st;
    }
    if (!g->started) {
        return c.reject(err(Module::kIvps, Kind::kNotReady),
                        fmt::format("group {} not started", grp));
    }
    g->started = false;
    return c.ok();
}

}  // namespace axsim::detail
