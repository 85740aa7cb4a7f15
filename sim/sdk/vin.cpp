// Video input (device, pipe, channel, frames) and ISP of the substitute SDK (state in
// libax_sys, entry points in libax_proton).
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "sim/sdk/calls.h"
#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kVinNotInit = err(Module::kVin, Kind::kNotInit);
constexpr int32_t kIspNotExist = err(Module::kIsp, Kind::kNotExist);
constexpr uint32_t kMaxBoundPipes = AX_VIN_MAX_PIPE_PER_DEV;
constexpr int32_t kFrameModes = 2;
constexpr uint32_t kMaxQueueDepth = 8;
constexpr char kSensorSymbol[] = "gSnsdummyObj";

bool size_ok(uint32_t width, uint32_t height) {
    return width > 0 && height > 0 && width <= kMaxPicture && height <= kMaxPicture;
}

void trace_dev_attr(CallScope& c, const AX_VIN_DEV_ATTR_T& a) {
    c.member("eDevMode", a.eDevMode);
    c.member("bImgDataEnable", a.bImgDataEnable);
    c.member("bNonImgDataEnable", a.bNonImgDataEnable);
    c.member("eSnsIntfType", a.eSnsIntfType);
    c.member("eSnsMode", a.eSnsMode);
    c.member("eBayerPattern", a.eBayerPattern);
    c.member("ePixelFmt", a.ePixelFmt);
    for (size_t i = 0; i < 4; ++i) {
        const AX_VIN_RECT_T& r = a.tDevImgRgn[i];
        c.member(fmt::format("tDevImgRgn[{}]", i),
                 fmt::format("{},{},{},{}", r.nStartX, r.nStartY, r.nWidth, r.nHeight));
    }
    c.member_float("tFrameRateCtrl.fSrcFrameRate", a.tFrameRateCtrl.fSrcFrameRate);
    c.member_float("tFrameRateCtrl.fDstFrameRate", a.tFrameRateCtrl.fDstFrameRate);
    c.member("tCompressInfo.enCompressMode", a.tCompressInfo.enCompressMode);
    c.member("tCompressInfo.u32CompressLevel", a.tCompressInfo.u32CompressLevel);
    c.member("szImgVc[0]", a.szImgVc[0]);
    c.member_hex("szImgDt[0]", a.szImgDt[0]);
}

std::string check_dev_attr(const AX_VIN_DEV_ATTR_T& a) {
    const AX_VIN_RECT_T& r = a.tDevImgRgn[0];
    if (!size_ok(r.nWidth, r.nHeight)) {
        return fmt::format("device picture {}x{}", r.nWidth, r.nHeight);
    }
    if (a.bImgDataEnable == 0) {
        return "image data disabled";
    }
    return {};
}

void trace_pipe_attr(CallScope& c, const AX_VIN_PIPE_ATTR_T& a) {
    const AX_VIN_RECT_T& r = a.tPipeImgRgn;
    c.member("ePipeWorkMode", a.ePipeWorkMode);
    c.member("tPipeImgRgn", fmt::format("{},{},{},{}", r.nStartX, r.nStartY, r.nWidth, r.nHeight));
    c.member("nWidthStride", a.nWidthStride);
    c.member("eBayerPattern", a.eBayerPattern);
    c.member("ePixelFmt", a.ePixelFmt);
    c.member("eSnsMode", a.eSnsMode);
}

std::string check_pipe_attr(const AX_VIN_PIPE_ATTR_T& a) {
    const AX_VIN_RECT_T& r = a.tPipeImgRgn;
    if (!size_ok(r.nWidth, r.nHeight)) {
        return fmt::format("pipe picture {}x{}", r.nWidth, r.nHeight);
    }
    if (a.nWidthStride < r.nWidth) {
        return fmt::format("stride {} below width {}", a.nWidthStride, r.nWidth);
    }
    return {};
}

// Common checks of the calls that address a pipe; returns 0 or the refusal's status.
int32_t find_pipe(CallScope& c, uint8_t pipe, VinPipe*& out, Module module = Module::kVin) {
    State& s = c.state();
    if (!s.vin) {
        return c.reject(err(module, Kind::kNotInit), "video input not initialised");
    }
    if (pipe >= kVinPipes) {
        return c.reject(err(module, Kind::kInvalidId), fmt::format("pipe {}", pipe));
    }
    auto it = s.pipes.find(pipe);
    if (it == s.pipes.end()) {
        return c.reject(err(module, Kind::kNotExist), fmt::format("pipe {} not created", pipe));
    }
    out = &it->second;
    return 0;
}

int32_t find_dev(CallScope& c, uint8_t dev, VinDev*& out) {
    State& s = c.state();
    if (!s.vin) {
        return c.reject(kVinNotInit, "video input not initialised");
    }
    if (dev >= kVinDevs) {
        return c.reject(err(Module::kVin, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    auto it = s.devs.find(dev);
    if (it == s.devs.end()) {
        return c.reject(err(Module::kVin, Kind::kNotExist),
                        fmt::format("device {} not created", dev));
    }
    out = &it->second;
    return 0;
}

int32_t find_chn(CallScope& c, uint8_t pipe, int32_t chn, VinPipe*& p, VinChn*& out) {
    if (int32_t st = find_pipe(c, pipe, p); st != 0) {
        return st;
    }
    if (chn < 0 || chn >= static_cast<int32_t>(kVinChns)) {
        return c.reject(err(Module::kVin, Kind::kInvalidId), fmt::format("channel {}", chn));
    }
    out = &p->chn[static_cast<size_t>(chn)];
    return 0;
}

bool linked_from(const State& s, uint8_t pipe, int32_t chn) {
    return std::any_of(s.links.begin(), s.links.end(), [&](const Link& l) {
        return l.src.s32GrpId == pipe && (chn < 0 || l.src.s32ChnId == chn);
    });
}

size_t frames_held(const State& s, uint8_t pipe, int32_t chn) {
    return static_cast<size_t>(std::count_if(s.frames.begin(), s.frames.end(), [&](const auto& f) {
        return f.second.pipe == pipe && (chn < 0 || f.second.chn == chn);
    }));
}

bool dev_enabled_for(const State& s, uint8_t pipe) {
    for (const auto& [dev, d] : s.devs) {
        if (!d.enabled || !d.pipes_bound) {
            continue;
        }
        for (uint32_t i = 0; i < std::min(d.bind.nNum, kMaxBoundPipes); ++i) {
            if (d.bind.nPipeId[i] == pipe) {
                return true;
            }
        }
    }
    return false;
}

// A pool block for a frame of `size` bytes: the smallest free block that holds it.
bool take_block(State& s, uint32_t size, size_t& pool, size_t& block) {
    bool found = false;
    for (size_t i = 0; i < s.pools.size(); ++i) {
        const Pool& p = s.pools[i];
        if (p.cfg.BlkSize < size || (found && p.cfg.BlkSize >= s.pools[pool].cfg.BlkSize)) {
            continue;
        }
        auto free = std::find(p.used.begin(), p.used.end(), false);
        if (free != p.used.end()) {
            pool = i;
            block = static_cast<size_t>(free - p.used.begin());
            found = true;
        }
    }
    if (found) {
        s.pools[pool].used[block] = true;
    }
    return found;
}

uint64_t block_address(const Pool& p, size_t block) {
    uint64_t stride = (p.cfg.BlkSize + 0xFFF) & ~uint64_t{0xFFF};
    return p.phys_base + stride * block;
}

}  // namespace

// ---- module ---------------------------------------------------------------------------------

int32_t vin_init() {
    CallScope c("AX_VIN_Init");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kVinNotInit, "media system not initialised");
    }
    if (s.vin) {
        return c.reject(err(Module::kVin, Kind::kExist), "video input already initialised");
    }
    s.vin = true;
    return c.ok();
}

int32_t vin_deinit() {
    CallScope c("AX_VIN_Deinit");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.vin) {
        return c.reject(kVinNotInit, "video input not initialised");
    }
    if (!s.frames.empty()) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("{} frame(s) still held", s.frames.size()));
    }
    if (!s.pipes.empty() || !s.devs.empty()) {
        return c.reject(
            err(Module::kVin, Kind::kBusy),
            fmt::format("{} device(s) and {} pipe(s) still exist", s.devs.size(), s.pipes.size()));
    }
    s.vin = false;
    return c.ok();
}

// ---- device ---------------------------------------------------------------------------------

namespace {

int32_t set_dev_attr(CallScope& c, uint8_t dev, const AX_VIN_DEV_ATTR_T* attr, bool create) {
    c.arg("dev", dev);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        trace_dev_attr(c, *attr);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.vin) {
        return c.reject(kVinNotInit, "video input not initialised");
    }
    if (dev >= kVinDevs) {
        return c.reject(err(Module::kVin, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kVin, Kind::kNullPtr), "null attributes");
    }
    auto it = s.devs.find(dev);
    if (create && it != s.devs.end()) {
        return c.reject(err(Module::kVin, Kind::kExist),
                        fmt::format("device {} already created", dev));
    }
    if (!create && it == s.devs.end()) {
        return c.reject(err(Module::kVin, Kind::kNotExist),
                        fmt::format("device {} not created", dev));
    }
    if (!create && it->second.enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("device {} enabled", dev));
    }
    if (std::string why = check_dev_attr(*attr); !why.empty()) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam), why);
    }
    s.devs[dev].attr = *attr;
    return c.ok();
}

}  // namespace

int32_t vin_create_dev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    CallScope c("AX_VIN_CreateDev");
    return set_dev_attr(c, dev, attr, true);
}

int32_t vin_set_dev_attr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    CallScope c("AX_VIN_SetDevAttr");
    return set_dev_attr(c, dev, attr, false);
}

int32_t vin_set_dev_bind_pipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind) {
    CallScope c("AX_VIN_SetDevBindPipe");
    c.arg("dev", dev);
    if (bind != nullptr) {
        c.record(bind, sizeof(*bind));
        c.member("nNum", bind->nNum);
        c.member("nPipeId", fmt::format("{}", fmt::join(bind->nPipeId, ",")));
        c.member("nDataFlag", fmt::format("{}", fmt::join(bind->nDataFlag, ",")));
    } else {
        c.member("bind", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    VinDev* d = nullptr;
    if (int32_t st = find_dev(c, dev, d); st != 0) {
        return st;
    }
    if (bind == nullptr) {
        return c.reject(err(Module::kVin, Kind::kNullPtr), "null binding");
    }
    if (d->enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("device {} enabled", dev));
    }
    if (bind->nNum == 0 || bind->nNum > kMaxBoundPipes) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam),
                        fmt::format("{} bound pipes", bind->nNum));
    }
    for (uint32_t i = 0; i < bind->nNum; ++i) {
        if (bind->nPipeId[i] >= kVinPipes) {
            return c.reject(err(Module::kVin, Kind::kInvalidId),
                            fmt::format("bound pipe {}", bind->nPipeId[i]));
        }
    }
    d->bind = *bind;
    d->pipes_bound = true;
    return c.ok();
}

int32_t vin_set_dev_bind_mipi(uint8_t dev, uint8_t mipi_dev) {
    CallScope c("AX_VIN_SetDevBindMipi");
    c.arg("dev", dev);
    c.arg("mipi_dev", mipi_dev);
    if (c.injected()) {
        return c.finish();
    }
    VinDev* d = nullptr;
    if (int32_t st = find_dev(c, dev, d); st != 0) {
        return st;
    }
    State& s = c.state();
    if (d->enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("device {} enabled", dev));
    }
    if (!s.mipi) {
        return c.reject(err(Module::kVin, Kind::kNotReady), "MIPI receiver not initialised");
    }
    auto m = s.mipi_devs.find(mipi_dev);
    if (m == s.mipi_devs.end() || !m->second.attr_set) {
        return c.reject(err(Module::kVin, Kind::kNotConfig),
                        fmt::format("MIPI device {} not configured", mipi_dev));
    }
    d->mipi = mipi_dev;
    return c.ok();
}

int32_t vin_enable_dev(uint8_t dev) {
    CallScope c("AX_VIN_EnableDev");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    VinDev* d = nullptr;
    if (int32_t st = find_dev(c, dev, d); st != 0) {
        return st;
    }
    State& s = c.state();
    if (d->enabled) {
        return c.reject(err(Module::kVin, Kind::kExist),
                        fmt::format("device {} already enabled", dev));
    }
    if (!d->pipes_bound) {
        return c.reject(err(Module::kVin, Kind::kNotConfig),
                        fmt::format("device {} bound to no pipe", dev));
    }
    if (d->mipi < 0) {
        return c.reject(err(Module::kVin, Kind::kNotConfig),
                        fmt::format("device {} bound to no MIPI device", dev));
    }
    auto m = s.mipi_devs.find(static_cast<uint8_t>(d->mipi));
    if (!s.mipi || m == s.mipi_devs.end() || !m->second.started) {
        return c.reject(err(Module::kVin, Kind::kNotReady),
                        fmt::format("MIPI device {} not started", d->mipi));
    }
    // Every bound pipe that exists must expect the device's picture size.
    const AX_VIN_RECT_T& r = d->attr.tDevImgRgn[0];
    for (uint32_t i = 0; i < d->bind.nNum; ++i) {
        auto p = s.pipes.find(static_cast<uint8_t>(d->bind.nPipeId[i]));
        if (p == s.pipes.end()) {
            continue;
        }
        const AX_VIN_RECT_T& pr = p->second.attr.tPipeImgRgn;
        if (pr.nWidth != r.nWidth || pr.nHeight != r.nHeight) {
            return c.reject(err(Module::kVin, Kind::kIllegalParam),
                            fmt::format("device picture {}x{} differs from pipe {} picture {}x{}",
                                        r.nWidth, r.nHeight, p->first, pr.nWidth, pr.nHeight));
        }
    }
    d->enabled = true;
    return c.ok();
}

int32_t vin_disable_dev(uint8_t dev) {
    CallScope c("AX_VIN_DisableDev");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    VinDev* d = nullptr;
    if (int32_t st = find_dev(c, dev, d); st != 0) {
        return st;
    }
    if (!d->enabled) {
        return c.reject(err(Module::kVin, Kind::kNotReady),
                        fmt::format("device {} not enabled", dev));
    }
    d->enabled = false;
    return c.ok();
}

int32_t vin_destroy_dev(uint8_t dev) {
    CallScope c("AX_VIN_DestroyDev");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    VinDev* d = nullptr;
    if (int32_t st = find_dev(c, dev, d); st != 0) {
        return st;
    }
    if (d->enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("device {} still enabled", dev));
    }
    c.state().devs.erase(dev);
    return c.ok();
}

// ---- pipe -----------------------------------------------------------------------------------

namespace {

int32_t set_pipe_attr(CallScope& c, uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr, bool create) {
    c.arg("pipe", pipe);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        trace_pipe_attr(c, *attr);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.vin) {
        return c.reject(kVinNotInit, "video input not initialised");
    }
    if (pipe >= kVinPipes) {
        return c.reject(err(Module::kVin, Kind::kInvalidId), fmt::format("pipe {}", pipe));
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kVin, Kind::kNullPtr), "null attributes");
    }
    auto it = s.pipes.find(pipe);
    if (create && it != s.pipes.end()) {
        return c.reject(err(Module::kVin, Kind::kExist),
                        fmt::format("pipe {} already created", pipe));
    }
    if (!create && it == s.pipes.end()) {
        return c.reject(err(Module::kVin, Kind::kNotExist),
                        fmt::format("pipe {} not created", pipe));
    }
    if (!create && it->second.started) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("pipe {} started", pipe));
    }
    if (std::string why = check_pipe_attr(*attr); !why.empty()) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam), why);
    }
    s.pipes[pipe].attr = *attr;
    return c.ok();
}

}  // namespace

int32_t vin_create_pipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    CallScope c("AX_VIN_CreatePipe");
    return set_pipe_attr(c, pipe, attr, true);
}

int32_t vin_set_pipe_attr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    CallScope c("AX_VIN_SetPipeAttr");
    return set_pipe_attr(c, pipe, attr, false);
}

int32_t vin_start_pipe(uint8_t pipe) {
    CallScope c("AX_VIN_StartPipe");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p); st != 0) {
        return st;
    }
    if (p->started) {
        return c.reject(err(Module::kVin, Kind::kExist),
                        fmt::format("pipe {} already started", pipe));
    }
    p->started = true;
    return c.ok();
}

int32_t vin_stop_pipe(uint8_t pipe) {
    CallScope c("AX_VIN_StopPipe");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p); st != 0) {
        return st;
    }
    if (!p->started) {
        return c.reject(err(Module::kVin, Kind::kNotReady),
                        fmt::format("pipe {} not started", pipe));
    }
    if (p->isp.started) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("ISP of pipe {} still started", pipe));
    }
    p->started = false;
    return c.ok();
}

int32_t vin_destroy_pipe(uint8_t pipe) {
    CallScope c("AX_VIN_DestroyPipe");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p); st != 0) {
        return st;
    }
    State& s = c.state();
    if (p->started) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("pipe {} started", pipe));
    }
    if (linked_from(s, pipe, -1)) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("pipe {} still linked", pipe));
    }
    for (size_t i = 0; i < kVinChns; ++i) {
        if (p->chn[i].enabled) {
            return c.reject(err(Module::kVin, Kind::kBusy),
                            fmt::format("channel {} of pipe {} still enabled", i, pipe));
        }
    }
    if (p->isp.registered || p->isp.created) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("ISP of pipe {} still {}", pipe,
                                    p->isp.created ? "created" : "holding a sensor"));
    }
    s.pipes.erase(pipe);
    return c.ok();
}

// ---- channel --------------------------------------------------------------------------------

int32_t vin_set_chn_attr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr) {
    CallScope c("AX_VIN_SetChnAttr");
    c.arg("pipe", pipe);
    c.arg("chn", chn);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        c.member("nWidth", attr->nWidth);
        c.member("nHeight", attr->nHeight);
        c.member("nWidthStride", attr->nWidthStride);
        c.member("eImgFormat", attr->eImgFormat);
        c.member("nDepth", attr->nDepth);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    VinChn* ch = nullptr;
    if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
        return st;
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kVin, Kind::kNullPtr), "null attributes");
    }
    if (ch->enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("channel {} enabled", chn));
    }
    const AX_VIN_RECT_T& pr = p->attr.tPipeImgRgn;
    if (!size_ok(attr->nWidth, attr->nHeight) || attr->nWidth > pr.nWidth ||
        attr->nHeight > pr.nHeight) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam),
                        fmt::format("channel picture {}x{} does not fit the pipe's {}x{}",
                                    attr->nWidth, attr->nHeight, pr.nWidth, pr.nHeight));
    }
    if (attr->nWidthStride < attr->nWidth) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam),
                        fmt::format("stride {} below width {}", attr->nWidthStride, attr->nWidth));
    }
    if (attr->nDepth == 0 || attr->nDepth > kMaxQueueDepth) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam),
                        fmt::format("queue depth {}", attr->nDepth));
    }
    if (attr->eImgFormat != kYuyvFormat) {
        return c.reject(err(Module::kVin, Kind::kNotSupport),
                        fmt::format("image format {} (only YUYV 4:2:2, {}, is delivered)",
                                    attr->eImgFormat, kYuyvFormat));
    }
    ch->attr = *attr;
    ch->attr_set = true;
    return c.ok();
}

int32_t vin_set_chn_frame_mode(uint8_t pipe, int32_t chn, int32_t mode) {
    CallScope c("AX_VIN_SetChnFrameMode");
    c.arg("pipe", pipe);
    c.arg("chn", chn);
    c.arg("mode", mode);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    VinChn* ch = nullptr;
    if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
        return st;
    }
    if (mode < 0 || mode >= kFrameModes) {
        return c.reject(err(Module::kVin, Kind::kIllegalParam), fmt::format("frame mode {}", mode));
    }
    if (ch->enabled) {
        return c.reject(err(Module::kVin, Kind::kBusy), fmt::format("channel {} enabled", chn));
    }
    ch->frame_mode = mode;
    return c.ok();
}

int32_t vin_enable_chn(uint8_t pipe, int32_t chn) {
    CallScope c("AX_VIN_EnableChn");
    c.arg("pipe", pipe);
    c.arg("chn", chn);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    VinChn* ch = nullptr;
    if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
        return st;
    }
    if (!ch->attr_set) {
        return c.reject(err(Module::kVin, Kind::kNotConfig),
                        fmt::format("channel {} has no attributes", chn));
    }
    if (ch->enabled) {
        return c.reject(err(Module::kVin, Kind::kExist),
                        fmt::format("channel {} already enabled", chn));
    }
    ch->enabled = true;
    return c.ok();
}

int32_t vin_disable_chn(uint8_t pipe, int32_t chn) {
    CallScope c("AX_VIN_DisableChn");
    c.arg("pipe", pipe);
    c.arg("chn", chn);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    VinChn* ch = nullptr;
    if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
        return st;
    }
    State& s = c.state();
    if (!ch->enabled) {
        return c.reject(err(Module::kVin, Kind::kNotReady),
                        fmt::format("channel {} not enabled", chn));
    }
    if (linked_from(s, pipe, chn)) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("channel {} of pipe {} still linked", chn, pipe));
    }
    if (size_t held = frames_held(s, pipe, chn); held > 0) {
        return c.reject(err(Module::kVin, Kind::kBusy),
                        fmt::format("{} frame(s) of channel {} still held", held, chn));
    }
    ch->enabled = false;
    return c.ok();
}

// ---- frames ---------------------------------------------------------------------------------

int32_t vin_get_yuv_frame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                          int32_t timeout_ms) {
    std::chrono::milliseconds wait{0};
    int32_t status = 0;
    {
        CallScope c("AX_VIN_GetYuvFrame");
        c.arg("pipe", pipe);
        c.arg("chn", chn);
        c.arg("timeout", timeout_ms);
        if (c.injected()) {
            return c.finish();
        }
        VinPipe* p = nullptr;
        VinChn* ch = nullptr;
        if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
            return st;
        }
        State& s = c.state();
        if (frame == nullptr) {
            return c.reject(err(Module::kVin, Kind::kNullPtr), "null frame record");
        }
        if (!ch->enabled) {
            return c.reject(err(Module::kVin, Kind::kNotReady),
                            fmt::format("channel {} of pipe {} not enabled", chn, pipe));
        }
        if (!p->started || !p->isp.streaming || !dev_enabled_for(s, pipe)) {
            return c.reject(err(Module::kVin, Kind::kNotReady),
                            fmt::format("pipe {} not streaming (pipe {}, ISP {}, device {})", pipe,
                                        p->started ? "started" : "stopped",
                                        p->isp.streaming ? "streaming" : "not streaming",
                                        dev_enabled_for(s, pipe) ? "enabled" : "disabled"));
        }
        if (c.settings().no_frame) {
            // The wait is served below, after the lock is released.
            wait = timeout_ms < 0 ? kNoFrameWait
                                  : std::min(kNoFrameWait, std::chrono::milliseconds(timeout_ms));
            status = c.reject(kFrameTimeout, fmt::format("no frame within {} ms", wait.count()));
        } else {
            const AX_VIN_CHN_ATTR_T& a = ch->attr;
            uint64_t stride = uint64_t{a.nWidthStride} + c.settings().stride_pad;
            uint64_t size = 2 * stride * a.nHeight;
            size_t pool = 0;
            size_t block = 0;
            if (size > UINT32_MAX || !take_block(s, static_cast<uint32_t>(size), pool, block)) {
                return c.reject(err(Module::kVin, Kind::kNoBuf),
                                fmt::format("no free pool block of {} bytes for a {}x{} frame",
                                            size, a.nWidth, a.nHeight));
            }
            Frame f;
            f.pipe = pipe;
            f.chn = chn;
            f.width = a.nWidth;
            f.height = a.nHeight;
            f.stride = static_cast<uint32_t>(stride);
            f.seq = ++s.last_seq[{pipe, chn}];
            f.size = static_cast<uint32_t>(size);
            f.pool = pool;
            f.block = block;
            uint64_t phys = block_address(s.pools[pool], block);
            s.frames[phys] = f;

            std::memset(frame, 0, sizeof(*frame));
            frame->u32Width = f.width;
            frame->u32Height = f.height;
            frame->enImgFormat = a.eImgFormat;
            frame->u32PicStride[0] = f.stride;
            frame->u64PhyAddr[0] = phys;
            frame->u64SeqNum = f.seq;
            frame->u32FrameSize = f.size;
            c.record(frame, sizeof(*frame));
            trace_frame(c, *frame);
            return c.ok();
        }
    }
    std::this_thread::sleep_for(wait);
    return status;
}

int32_t vin_release_yuv_frame(uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame) {
    CallScope c("AX_VIN_ReleaseYuvFrame");
    c.arg("pipe", pipe);
    c.arg("chn", chn);
    if (frame != nullptr) {
        c.record(frame, sizeof(*frame));
        c.member_hex("u64PhyAddr[0]", frame->u64PhyAddr[0]);
        c.member("u64SeqNum", frame->u64SeqNum);
    } else {
        c.member("frame", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    VinChn* ch = nullptr;
    if (int32_t st = find_chn(c, pipe, chn, p, ch); st != 0) {
        return st;
    }
    if (frame == nullptr) {
        return c.reject(err(Module::kVin, Kind::kNullPtr), "null frame record");
    }
    State& s = c.state();
    auto it = s.frames.find(frame->u64PhyAddr[0]);
    if (it == s.frames.end() || it->second.seq != frame->u64SeqNum) {
        return c.reject(err(Module::kVin, Kind::kNotExist),
                        fmt::format("frame seq {} at 0x{:x} not held (never obtained or "
                                    "already released)",
                                    frame->u64SeqNum, frame->u64PhyAddr[0]));
    }
    if (it->second.pipe != pipe || it->second.chn != chn) {
        return c.reject(
            err(Module::kVin, Kind::kIllegalParam),
            fmt::format("frame belongs to pipe {} channel {}", it->second.pipe, it->second.chn));
    }
    s.pools[it->second.pool].used[it->second.block] = false;
    s.frames.erase(it);
    return c.ok();
}

// ---- ISP ------------------------------------------------------------------------------------

namespace {

int32_t find_isp(CallScope& c, uint8_t pipe, Isp*& out) {
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p, Module::kIsp); st != 0) {
        return st;
    }
    out = &p->isp;
    return 0;
}

// Name of the exported symbol at `address`, or "" when it is none.
std::string symbol_at(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_sname == nullptr ||
        info.dli_saddr != address) {
        return {};
    }
    return info.dli_sname;
}

}  // namespace

int32_t isp_register_sensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    CallScope c("AX_ISP_RegisterSensor");
    c.arg("pipe", pipe);
    c.arg_hex("sensor", reinterpret_cast<uintptr_t>(sensor));
    std::string symbol = symbol_at(sensor);
    c.member("symbol", trace_text(symbol));
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (sensor == nullptr) {
        return c.reject(err(Module::kIsp, Kind::kNullPtr), "null sensor object");
    }
    if (symbol != kSensorSymbol) {
        return c.reject(err(Module::kIsp, Kind::kIllegalParam),
                        fmt::format("{} is not a sensor library's {}", static_cast<void*>(sensor),
                                    kSensorSymbol));
    }
    if (isp->registered) {
        return c.reject(err(Module::kIsp, Kind::kExist),
                        fmt::format("pipe {} already has a sensor", pipe));
    }
    isp->registered = true;
    isp->sensor = sensor;
    return c.ok();
}

int32_t isp_unregister_sensor(uint8_t pipe) {
    CallScope c("AX_ISP_UnRegisterSensor");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->registered) {
        return c.reject(kIspNotExist, fmt::format("pipe {} has no sensor", pipe));
    }
    if (isp->created) {
        return c.reject(err(Module::kIsp, Kind::kBusy),
                        fmt::format("ISP of pipe {} still created", pipe));
    }
    *isp = Isp{};
    return c.ok();
}

int32_t isp_set_sns_attr(uint8_t pipe, const AX_SNS_ATTR_T* attr) {
    CallScope c("AX_ISP_SetSnsAttr");
    c.arg("pipe", pipe);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        c.member("nWidth", attr->nWidth);
        c.member("nHeight", attr->nHeight);
        c.member_float("fFrameRate", attr->fFrameRate);
        c.member("eSnsMode", attr->eSnsMode);
        c.member("eRawType", attr->eRawType);
        c.member("eBayerPattern", attr->eBayerPattern);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p, Module::kIsp); st != 0) {
        return st;
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kIsp, Kind::kNullPtr), "null attributes");
    }
    if (!p->isp.registered) {
        return c.reject(err(Module::kIsp, Kind::kNotConfig),
                        fmt::format("pipe {} has no sensor", pipe));
    }
    if (p->isp.started) {
        return c.reject(err(Module::kIsp, Kind::kBusy), fmt::format("ISP {} started", pipe));
    }
    const AX_VIN_RECT_T& pr = p->attr.tPipeImgRgn;
    if (attr->nWidth != pr.nWidth || attr->nHeight != pr.nHeight) {
        return c.reject(err(Module::kIsp, Kind::kIllegalParam),
                        fmt::format("sensor picture {}x{} differs from pipe picture {}x{}",
                                    attr->nWidth, attr->nHeight, pr.nWidth, pr.nHeight));
    }
    if (!(attr->fFrameRate > 0.0f)) {
        return c.reject(err(Module::kIsp, Kind::kIllegalParam),
                        fmt::format("frame rate {}", attr->fFrameRate));
    }
    p->isp.sns = *attr;
    p->isp.sns_attr_set = true;
    return c.ok();
}

int32_t isp_create(uint8_t pipe) {
    CallScope c("AX_ISP_Create");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->registered || !isp->sns_attr_set) {
        return c.reject(err(Module::kIsp, Kind::kNotConfig),
                        fmt::format("pipe {} has no sensor {}", pipe,
                                    isp->registered ? "attributes" : "registered"));
    }
    if (isp->created) {
        return c.reject(err(Module::kIsp, Kind::kExist),
                        fmt::format("ISP {} already created", pipe));
    }
    isp->created = true;
    return c.ok();
}

int32_t isp_destroy(uint8_t pipe) {
    CallScope c("AX_ISP_Destroy");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->created) {
        return c.reject(kIspNotExist, fmt::format("ISP {} not created", pipe));
    }
    if (isp->opened) {
        return c.reject(err(Module::kIsp, Kind::kBusy), fmt::format("ISP {} still open", pipe));
    }
    isp->created = false;
    return c.ok();
}

int32_t isp_open(uint8_t pipe) {
    CallScope c("AX_ISP_Open");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->created) {
        return c.reject(kIspNotExist, fmt::format("ISP {} not created", pipe));
    }
    if (isp->opened) {
        return c.reject(err(Module::kIsp, Kind::kExist), fmt::format("ISP {} already open", pipe));
    }
    isp->opened = true;
    return c.ok();
}

int32_t isp_close(uint8_t pipe) {
    CallScope c("AX_ISP_Close");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->opened) {
        return c.reject(err(Module::kIsp, Kind::kNotReady), fmt::format("ISP {} not open", pipe));
    }
    if (isp->started) {
        return c.reject(err(Module::kIsp, Kind::kBusy), fmt::format("ISP {} still started", pipe));
    }
    isp->opened = false;
    return c.ok();
}

int32_t isp_start(uint8_t pipe) {
    CallScope c("AX_ISP_Start");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->opened) {
        return c.reject(err(Module::kIsp, Kind::kNotReady), fmt::format("ISP {} not open", pipe));
    }
    if (isp->started) {
        return c.reject(err(Module::kIsp, Kind::kExist),
                        fmt::format("ISP {} already started", pipe));
    }
    isp->started = true;
    return c.ok();
}

int32_t isp_stop(uint8_t pipe) {
    CallScope c("AX_ISP_Stop");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->started) {
        return c.reject(err(Module::kIsp, Kind::kNotReady),
                        fmt::format("ISP {} not started", pipe));
    }
    if (isp->streaming) {
        return c.reject(err(Module::kIsp, Kind::kBusy),
                        fmt::format("ISP {} still streaming", pipe));
    }
    isp->started = false;
    return c.ok();
}

int32_t isp_stream_on(uint8_t pipe) {
    CallScope c("AX_ISP_StreamOn");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    VinPipe* p = nullptr;
    if (int32_t st = find_pipe(c, pipe, p, Module::kIsp); st != 0) {
        return st;
    }
    if (!p->isp.started) {
        return c.reject(err(Module::kIsp, Kind::kNotReady),
                        fmt::format("ISP {} not started", pipe));
    }
    if (!p->started) {
        return c.reject(err(Module::kIsp, Kind::kNotReady),
                        fmt::format("pipe {} not started", pipe));
    }
    if (!dev_enabled_for(c.state(), pipe)) {
        return c.reject(err(Module::kIsp, Kind::kNotReady),
                        fmt::format("no enabled device feeds pipe {}", pipe));
    }
    if (p->isp.streaming) {
        return c.reject(err(Module::kIsp, Kind::kExist),
                        fmt::format("ISP {} already streaming", pipe));
    }
    p->isp.streaming = true;
    return c.ok();
}

int32_t isp_stream_off(uint8_t pipe) {
    CallScope c("AX_ISP_StreamOff");
    c.arg("pipe", pipe);
    if (c.injected()) {
        return c.finish();
    }
    Isp* isp = nullptr;
    if (int32_t st = find_isp(c, pipe, isp); st != 0) {
        return st;
    }
    if (!isp->streaming) {
        return c.reject(err(Module::kIsp, Kind::kNotReady),
                        fmt::format("ISP {} not streaming", pipe));
    }
    isp->streaming = false;
    return c.ok();
}

}  // namespace axsim::detail
