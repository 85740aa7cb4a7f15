// Video input (device, pipe, channel, frames) and ISP of the substitute SDK (state in
// libax_sys, entry points in libax_proton).
#include <algorithm>
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr uint32_t kMaxBoundPipes = AX_VIN_MAX_PIPE_PER_DEV;
constexpr int32_t kFrameModes = 2;
constexpr uint32_t kMaxQueueDepth = 8;
constexpr char kSensorSymbol[] = "gSnsdummyObj";

bool size_ok(uint32_t width, uint32_t height) {
    return width > 0 && height > 0 && width <= kMaxPicture && height <= kMaxPicture;
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
        for (uint32_t i = 0;
             d.enabled && d.pipes_bound && i < std::min(d.bind.nNum, kMaxBoundPipes); ++i) {
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

// One step of the ISP's life: sets or clears `flag`; refused unless `needs` holds, and while
// `blocks` holds (the step is already done when `blocks` is the flag itself).
struct IspStep {
    bool Isp::*flag;
    bool value;
    bool Isp::*needs;
    bool Isp::*blocks;
};

const char* isp_word(bool Isp::*flag) {
    return flag == &Isp::created   ? "created"
           : flag == &Isp::opened  ? "open"
           : flag == &Isp::started ? "started"
                                   : "streaming";
}

void isp_step(Call& c, uint8_t pipe, IspStep step) {
    Isp& isp = c.pipe->isp;
    bool done = step.blocks == step.flag;
    c.refuse_if(!(isp.*step.needs), step.needs == &Isp::created ? Kind::kNotExist : Kind::kNotReady,
                "ISP {} not {}", pipe, isp_word(step.needs));
    c.refuse_if(step.blocks != nullptr && isp.*step.blocks, done ? Kind::kExist : Kind::kBusy,
                "ISP {} {} {}", pipe, done ? "already" : "still",
                step.blocks != nullptr ? isp_word(step.blocks) : "");
    isp.*step.flag = step.value;
}

}  // namespace

void trace(Call& c, const AX_VIN_DEV_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, eDevMode, bImgDataEnable, bNonImgDataEnable, eSnsIntfType, eSnsMode,
                  eBayerPattern, ePixelFmt, tDevImgRgn[0], tDevImgRgn[1], tDevImgRgn[2],
                  tDevImgRgn[3], tFrameRateCtrl.fSrcFrameRate, tFrameRateCtrl.fDstFrameRate,
                  tCompressInfo.enCompressMode, tCompressInfo.u32CompressLevel, szImgVc[0]);
    c.members("szImgDt[0]", Hex{a.szImgDt[0]});
}

void trace(Call& c, const AX_VIN_PIPE_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, ePipeWorkMode, tPipeImgRgn, nWidthStride, eBayerPattern, ePixelFmt,
                  eSnsMode);
}

void trace(Call& c, const AX_VIN_DEV_BIND_PIPE_T& b, std::string_view) {
    AXSIM_MEMBERS(c, b, nNum, nPipeId, nDataFlag);
}

void trace(Call& c, const AX_VIN_CHN_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, nWidth, nHeight, nWidthStride, eImgFormat, nDepth);
}

void trace_filled(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    AXSIM_MEMBERS(c, f, u32Width, u32Height, enImgFormat, u32PicStride[0]);
    c.members("u64PhyAddr[0]", Hex{f.u64PhyAddr[0]});
    AXSIM_MEMBERS(c, f, u64SeqNum, u32FrameSize);
}

void trace(Call& c, const AX_VIDEO_FRAME_INFO_T& f, std::string_view) {
    c.members("u64PhyAddr[0]", Hex{f.u64PhyAddr[0]}, "u64SeqNum", f.u64SeqNum);
}

void trace(Call& c, const AX_SNS_ATTR_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, nWidth, nHeight, fFrameRate, eSnsMode, eRawType, eBayerPattern);
}

namespace rule {

AXSIM_RULE(AX_VIN_Init) {
    c.s.vin = true;
}

AXSIM_RULE(AX_VIN_Deinit) {
    State& s = c.s;
    c.refuse_if(!s.frames.empty(), Kind::kBusy, "{} frame(s) still held", s.frames.size());
    c.refuse_if(!s.pipes.empty() || !s.devs.empty(), Kind::kBusy,
                "{} device(s) and {} pipe(s) still exist", s.devs.size(), s.pipes.size());
    s.vin = false;
}

// The device's attributes, refused while it is enabled (also SetDevAttr's rule).
AXSIM_RULE(AX_VIN_CreateDev) {
    const AX_VIN_DEV_ATTR_T& a = *attr;
    const AX_VIN_RECT_T& r = a.tDevImgRgn[0];
    c.refuse_if(c.dev != nullptr && c.dev->enabled, Kind::kBusy, "device {} enabled", dev);
    c.refuse_if(!size_ok(r.nWidth, r.nHeight), Kind::kIllegalParam, "device picture {}x{}",
                r.nWidth, r.nHeight);
    c.refuse_if(a.bImgDataEnable == 0, Kind::kIllegalParam, "image data disabled");
    c.s.devs[dev].attr = a;
}

AXSIM_RULE(AX_VIN_SetDevAttr) {
    AX_VIN_CreateDev(c, dev, attr);
}

AXSIM_RULE(AX_VIN_SetDevBindPipe) {
    c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} enabled", dev);
    c.refuse_if(bind->nNum == 0 || bind->nNum > kMaxBoundPipes, Kind::kIllegalParam,
                "{} bound pipes", bind->nNum);
    for (uint32_t i = 0; i < bind->nNum; ++i) {
        c.refuse_if(bind->nPipeId[i] >= kVinPipes, Kind::kInvalidId, "bound pipe {}",
                    bind->nPipeId[i]);
    }
    c.dev->bind = *bind;
    c.dev->pipes_bound = true;
}

AXSIM_RULE(AX_VIN_SetDevBindMipi) {
    auto m = c.s.mipi_devs.find(mipi_dev);
    c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} enabled", dev);
    c.refuse_if(!c.s.mipi, Kind::kNotReady, "MIPI receiver not initialised");
    c.refuse_if(m == c.s.mipi_devs.end() || !m->second.attr_set, Kind::kNotConfig,
                "MIPI device {} not configured", mipi_dev);
    c.dev->mipi = mipi_dev;
}

// The pipe's attributes, refused while it is started (also SetPipeAttr's rule).
AXSIM_RULE(AX_VIN_CreatePipe) {
    const AX_VIN_PIPE_ATTR_T& a = *attr;
    const AX_VIN_RECT_T& r = a.tPipeImgRgn;
    c.refuse_if(c.pipe != nullptr && c.pipe->started, Kind::kBusy, "pipe {} started", pipe);
    c.refuse_if(!size_ok(r.nWidth, r.nHeight), Kind::kIllegalParam, "pipe picture {}x{}", r.nWidth,
                r.nHeight);
    c.refuse_if(a.nWidthStride < r.nWidth, Kind::kIllegalParam, "stride {} below width {}",
                a.nWidthStride, r.nWidth);
    c.s.pipes[pipe].attr = a;
}

AXSIM_RULE(AX_VIN_SetPipeAttr) {
    AX_VIN_CreatePipe(c, pipe, attr);
}

AXSIM_RULE(AX_VIN_SetChnAttr) {
    const AX_VIN_CHN_ATTR_T& a = *attr;
    const AX_VIN_RECT_T& pr = c.pipe->attr.tPipeImgRgn;
    c.refuse_if(c.chn->enabled, Kind::kBusy, "channel {} enabled", chn);
    c.refuse_if(!size_ok(a.nWidth, a.nHeight) || a.nWidth > pr.nWidth || a.nHeight > pr.nHeight,
                Kind::kIllegalParam, "channel picture {}x{} does not fit the pipe's {}x{}",
                a.nWidth, a.nHeight, pr.nWidth, pr.nHeight);
    c.refuse_if(a.nWidthStride < a.nWidth, Kind::kIllegalParam, "stride {} below width {}",
                a.nWidthStride, a.nWidth);
    c.refuse_if(a.nDepth == 0 || a.nDepth > kMaxQueueDepth, Kind::kIllegalParam, "queue depth {}",
                a.nDepth);
    c.refuse_if(a.eImgFormat != kYuyvFormat, Kind::kNotSupport,
                "image format {} (only YUYV 4:2:2, {}, is delivered)", a.eImgFormat, kYuyvFormat);
    c.chn->attr = a;
    c.chn->attr_set = true;
}

AXSIM_RULE(AX_VIN_SetChnFrameMode) {
    c.refuse_if(mode < 0 || mode >= kFrameModes, Kind::kIllegalParam, "frame mode {}", mode);
    c.refuse_if(c.chn->enabled, Kind::kBusy, "channel {} enabled", chn);
}

AXSIM_RULE(AX_VIN_EnableChn) {
    c.refuse_if(!c.chn->attr_set, Kind::kNotConfig, "channel {} has no attributes", chn);
    c.refuse_if(c.chn->enabled, Kind::kExist, "channel {} already enabled", chn);
    c.chn->enabled = true;
}

AXSIM_RULE(AX_VIN_DisableChn) {
    size_t held = frames_held(c.s, pipe, chn);
    c.refuse_if(!c.chn->enabled, Kind::kNotReady, "channel {} not enabled", chn);
    c.refuse_if(linked_from(c.s, pipe, chn), Kind::kBusy, "channel {} of pipe {} still linked", chn,
                pipe);
    c.refuse_if(held > 0, Kind::kBusy, "{} frame(s) of channel {} still held", held, chn);
    c.chn->enabled = false;
}

AXSIM_RULE(AX_VIN_StartPipe) {
    c.refuse_if(c.pipe->started, Kind::kExist, "pipe {} already started", pipe);
    c.pipe->started = true;
}

AXSIM_RULE(AX_VIN_StopPipe) {
    c.refuse_if(!c.pipe->started, Kind::kNotReady, "pipe {} not started", pipe);
    c.refuse_if(c.pipe->isp.started, Kind::kBusy, "ISP of pipe {} still started", pipe);
    c.pipe->started = false;
}

AXSIM_RULE(AX_VIN_EnableDev) {
    State& s = c.s;
    VinDev& d = *c.dev;
    c.refuse_if(d.enabled, Kind::kExist, "device {} already enabled", dev);
    c.refuse_if(!d.pipes_bound, Kind::kNotConfig, "device {} bound to no pipe", dev);
    c.refuse_if(d.mipi < 0, Kind::kNotConfig, "device {} bound to no MIPI device", dev);
    auto m = s.mipi_devs.find(static_cast<uint8_t>(d.mipi));
    c.refuse_if(!s.mipi || m == s.mipi_devs.end() || !m->second.started, Kind::kNotReady,
                "MIPI device {} not started", d.mipi);
    // Every bound pipe that exists must expect the device's picture size.
    const AX_VIN_RECT_T& r = d.attr.tDevImgRgn[0];
    for (uint32_t i = 0; i < d.bind.nNum; ++i) {
        auto p = s.pipes.find(static_cast<uint8_t>(d.bind.nPipeId[i]));
        const AX_VIN_RECT_T* pr = p == s.pipes.end() ? &r : &p->second.attr.tPipeImgRgn;
        c.refuse_if(pr->nWidth != r.nWidth || pr->nHeight != r.nHeight, Kind::kIllegalParam,
                    "device picture {}x{} differs from pipe {} picture {}x{}", r.nWidth, r.nHeight,
                    d.bind.nPipeId[i], pr->nWidth, pr->nHeight);
    }
    d.enabled = true;
}

AXSIM_RULE(AX_VIN_DisableDev) {
    c.refuse_if(!c.dev->enabled, Kind::kNotReady, "device {} not enabled", dev);
    c.dev->enabled = false;
}

AXSIM_RULE(AX_VIN_DestroyPipe) {
    const VinPipe& p = *c.pipe;
    c.refuse_if(p.started, Kind::kBusy, "pipe {} started", pipe);
    c.refuse_if(linked_from(c.s, pipe, -1), Kind::kBusy, "pipe {} still linked", pipe);
    for (size_t i = 0; i < kVinChns; ++i) {
        c.refuse_if(p.chn[i].enabled, Kind::kBusy, "channel {} of pipe {} still enabled", i, pipe);
    }
    c.refuse_if(p.isp.registered || p.isp.created, Kind::kBusy, "ISP of pipe {} still {}", pipe,
                p.isp.created ? "created" : "holding a sensor");
    c.s.pipes.erase(pipe);
}

AXSIM_RULE(AX_VIN_DestroyDev) {
    c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} still enabled", dev);
    c.s.devs.erase(dev);
}

// A frame of a streaming channel in the smallest free pool block that holds it.
AXSIM_RULE(AX_VIN_GetYuvFrame) {
    State& s = c.s;
    const VinPipe& p = *c.pipe;
    const bool fed = dev_enabled_for(s, pipe);
    c.refuse_if(!c.chn->enabled, Kind::kNotReady, "channel {} of pipe {} not enabled", chn, pipe);
    c.refuse_if(!p.started || !p.isp.streaming || !fed, Kind::kNotReady,
                "pipe {} not streaming (pipe {}, ISP {}, device {})", pipe,
                p.started ? "started" : "stopped", p.isp.streaming ? "streaming" : "not streaming",
                fed ? "enabled" : "disabled");
    if (c.settings.no_frame) {
        c.wait_after =
            timeout < 0 ? kNoFrameWait : std::min(kNoFrameWait, std::chrono::milliseconds(timeout));
        c.refuse(Kind::kTimeout, fmt::format("no frame within {} ms", c.wait_after.count()));
    }
    const AX_VIN_CHN_ATTR_T& a = c.chn->attr;
    uint64_t stride = uint64_t{a.nWidthStride} + c.settings.stride_pad;
    uint64_t size = 2 * stride * a.nHeight;
    size_t pool = 0;
    size_t block = 0;
    c.refuse_if(size > UINT32_MAX || !take_block(s, static_cast<uint32_t>(size), pool, block),
                Kind::kNoBuf, "no free pool block of {} bytes for a {}x{} frame", size, a.nWidth,
                a.nHeight);
    // Both fit 32 bits now that the frame size does.
    const auto stride32 = static_cast<uint32_t>(stride), size32 = static_cast<uint32_t>(size);
    const Frame f{pipe,   chn,  a.nWidth, a.nHeight, stride32, ++s.last_seq[{pipe, chn}],
                  size32, pool, block};
    const uint64_t phys = s.pools[pool].phys_base + block_stride(s.pools[pool].cfg) * block;
    s.frames[phys] = f;
    std::memset(frame, 0, sizeof(*frame));
    frame->u32Width = f.width;
    frame->u32Height = f.height;
    frame->enImgFormat = a.eImgFormat;
    frame->u32PicStride[0] = f.stride;
    frame->u64PhyAddr[0] = phys;
    frame->u64SeqNum = f.seq;
    frame->u32FrameSize = f.size;
}

AXSIM_RULE(AX_VIN_ReleaseYuvFrame) {
    auto it = c.s.frames.find(frame->u64PhyAddr[0]);
    c.refuse_if(it == c.s.frames.end() || it->second.seq != frame->u64SeqNum, Kind::kNotExist,
                "frame seq {} at 0x{:x} not held (never obtained or already released)",
                frame->u64SeqNum, frame->u64PhyAddr[0]);
    c.refuse_if(it->second.pipe != pipe || it->second.chn != chn, Kind::kIllegalParam,
                "frame belongs to pipe {} channel {}", it->second.pipe, it->second.chn);
    c.s.pools[it->second.pool].used[it->second.block] = false;
    c.s.frames.erase(it);
}

AXSIM_RULE(AX_ISP_RegisterSensor) {
    Isp& isp = c.pipe->isp;
    c.refuse_if(symbol_at(sensor) != kSensorSymbol, Kind::kIllegalParam,
                "{} is not a sensor library's {}", static_cast<void*>(sensor), kSensorSymbol);
    c.refuse_if(isp.registered, Kind::kExist, "pipe {} already has a sensor", pipe);
    isp.registered = true;
}

AXSIM_RULE(AX_ISP_UnRegisterSensor) {
    Isp& isp = c.pipe->isp;
    c.refuse_if(!isp.registered, Kind::kNotExist, "pipe {} has no sensor", pipe);
    c.refuse_if(isp.created, Kind::kBusy, "ISP of pipe {} still created", pipe);
    isp = Isp{};
}

AXSIM_RULE(AX_ISP_SetSnsAttr) {
    VinPipe& p = *c.pipe;
    const AX_VIN_RECT_T& pr = p.attr.tPipeImgRgn;
    c.refuse_if(!p.isp.registered, Kind::kNotConfig, "pipe {} has no sensor", pipe);
    c.refuse_if(p.isp.started, Kind::kBusy, "ISP {} started", pipe);
    c.refuse_if(attr->nWidth != pr.nWidth || attr->nHeight != pr.nHeight, Kind::kIllegalParam,
                "sensor picture {}x{} differs from pipe picture {}x{}", attr->nWidth, attr->nHeight,
                pr.nWidth, pr.nHeight);
    c.refuse_if(!(attr->fFrameRate > 0.0f), Kind::kIllegalParam, "frame rate {}", attr->fFrameRate);
    p.isp.sns = *attr;
    p.isp.sns_attr_set = true;
}

AXSIM_RULE(AX_ISP_Create) {
    Isp& isp = c.pipe->isp;
    c.refuse_if(!isp.registered || !isp.sns_attr_set, Kind::kNotConfig, "pipe {} has no sensor {}",
                pipe, isp.registered ? "attributes" : "registered");
    c.refuse_if(isp.created, Kind::kExist, "ISP {} already created", pipe);
    isp.created = true;
}

AXSIM_RULE(AX_ISP_Destroy) {
    isp_step(c, pipe, {&Isp::created, false, &Isp::created, &Isp::opened});
}

AXSIM_RULE(AX_ISP_Open) {
    isp_step(c, pipe, {&Isp::opened, true, &Isp::created, &Isp::opened});
}

AXSIM_RULE(AX_ISP_Close) {
    isp_step(c, pipe, {&Isp::opened, false, &Isp::opened, &Isp::started});
}

AXSIM_RULE(AX_ISP_Start) {
    isp_step(c, pipe, {&Isp::started, true, &Isp::opened, &Isp::started});
}

AXSIM_RULE(AX_ISP_Stop) {
    isp_step(c, pipe, {&Isp::started, false, &Isp::started, &Isp::streaming});
}

AXSIM_RULE(AX_ISP_StreamOn) {
    VinPipe& p = *c.pipe;
    c.refuse_if(!p.isp.started, Kind::kNotReady, "ISP {} not started", pipe);
    c.refuse_if(!p.started, Kind::kNotReady, "pipe {} not started", pipe);
    c.refuse_if(!dev_enabled_for(c.s, pipe), Kind::kNotReady, "no enabled device feeds pipe {}",
                pipe);
    c.refuse_if(p.isp.streaming, Kind::kExist, "ISP {} already streaming", pipe);
    p.isp.streaming = true;
}

AXSIM_RULE(AX_ISP_StreamOff) {
    isp_step(c, pipe, {&Isp::streaming, false, &Isp::streaming, nullptr});
}

}  // namespace rule
}  // namespace axsim::detail
