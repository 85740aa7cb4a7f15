// Video input (device, pipe, channel, frames) and ISP of the substitute SDK (state in
// libax_sys, entry points in libax_proton).
#include <dlfcn.h>

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

void trace_dev_attr(Call& c, const AX_VIN_DEV_ATTR_T& a) {
    c.members("eDevMode", a.eDevMode, "bImgDataEnable", a.bImgDataEnable, "bNonImgDataEnable",
              a.bNonImgDataEnable, "eSnsIntfType", a.eSnsIntfType, "eSnsMode", a.eSnsMode,
              "eBayerPattern", a.eBayerPattern, "ePixelFmt", a.ePixelFmt);
    for (size_t i = 0; i < 4; ++i) {
        c.members(fmt::format("tDevImgRgn[{}]", i), rect(a.tDevImgRgn[i]));
    }
    c.members("tFrameRateCtrl.fSrcFrameRate", a.tFrameRateCtrl.fSrcFrameRate,
              "tFrameRateCtrl.fDstFrameRate", a.tFrameRateCtrl.fDstFrameRate,
              "tCompressInfo.enCompressMode", a.tCompressInfo.enCompressMode,
              "tCompressInfo.u32CompressLevel", a.tCompressInfo.u32CompressLevel, "szImgVc[0]",
              a.szImgVc[0], "szImgDt[0]", Hex{a.szImgDt[0]});
}

void trace_pipe_attr(Call& c, const AX_VIN_PIPE_ATTR_T& a) {
    c.members("ePipeWorkMode", a.ePipeWorkMode, "tPipeImgRgn", rect(a.tPipeImgRgn), "nWidthStride",
              a.nWidthStride, "eBayerPattern", a.eBayerPattern, "ePixelFmt", a.ePixelFmt,
              "eSnsMode", a.eSnsMode);
}

void trace_bind(Call& c, const AX_VIN_DEV_BIND_PIPE_T& b) {
    c.members("nNum", b.nNum, "nPipeId", list(b.nPipeId), "nDataFlag", list(b.nDataFlag));
}

void trace_chn_attr(Call& c, const AX_VIN_CHN_ATTR_T& a) {
    c.members("nWidth", a.nWidth, "nHeight", a.nHeight, "nWidthStride", a.nWidthStride,
              "eImgFormat", a.eImgFormat, "nDepth", a.nDepth);
}

void trace_frame(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    c.members("u32Width", f.u32Width, "u32Height", f.u32Height, "enImgFormat", f.enImgFormat,
              "u32PicStride[0]", f.u32PicStride[0], "u64PhyAddr[0]", Hex{f.u64PhyAddr[0]},
              "u64SeqNum", f.u64SeqNum, "u32FrameSize", f.u32FrameSize);
}

void trace_released(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    c.members("u64PhyAddr[0]", Hex{f.u64PhyAddr[0]}, "u64SeqNum", f.u64SeqNum);
}

void trace_sns_attr(Call& c, const AX_SNS_ATTR_T& a) {
    c.members("nWidth", a.nWidth, "nHeight", a.nHeight, "fFrameRate", a.fFrameRate, "eSnsMode",
              a.eSnsMode, "eRawType", a.eRawType, "eBayerPattern", a.eBayerPattern);
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

constexpr CallInfo kVinCall(const char* name, Need need) {
    return {name, Module::kVin, need};
}
constexpr CallInfo kIspCall(const char* name) {
    return {name, Module::kIsp, Need::kVinPipe};
}

// CreateDev (create) and SetDevAttr: the device's attributes, refused while it is enabled.
void set_dev_attr(Call& c, const AX_VIN_DEV_ATTR_T& a, bool create) {
    const AX_VIN_RECT_T& r = a.tDevImgRgn[0];
    c.refuse_if(create && c.dev != nullptr, Kind::kExist, "device {} already created", c.id());
    c.refuse_if(!create && c.dev == nullptr, Kind::kNotExist, "device {} not created", c.id());
    c.refuse_if(!create && c.dev->enabled, Kind::kBusy, "device {} enabled", c.id());
    c.refuse_if(!size_ok(r.nWidth, r.nHeight), Kind::kIllegalParam, "device picture {}x{}",
                r.nWidth, r.nHeight);
    c.refuse_if(a.bImgDataEnable == 0, Kind::kIllegalParam, "image data disabled");
    c.s.devs[static_cast<uint8_t>(c.id())].attr = a;
}

// CreatePipe (create) and SetPipeAttr: the pipe's attributes, refused while it is started.
void set_pipe_attr(Call& c, const AX_VIN_PIPE_ATTR_T& a, bool create) {
    const AX_VIN_RECT_T& r = a.tPipeImgRgn;
    c.refuse_if(create && c.pipe != nullptr, Kind::kExist, "pipe {} already created", c.id());
    c.refuse_if(!create && c.pipe == nullptr, Kind::kNotExist, "pipe {} not created", c.id());
    c.refuse_if(!create && c.pipe->started, Kind::kBusy, "pipe {} started", c.id());
    c.refuse_if(!size_ok(r.nWidth, r.nHeight), Kind::kIllegalParam, "pipe picture {}x{}", r.nWidth,
                r.nHeight);
    c.refuse_if(a.nWidthStride < r.nWidth, Kind::kIllegalParam, "stride {} below width {}",
                a.nWidthStride, r.nWidth);
    c.s.pipes[static_cast<uint8_t>(c.id())].attr = a;
}

int32_t dev_attr_call(const char* name, uint8_t dev, const AX_VIN_DEV_ATTR_T* attr, bool create) {
    return run(kVinCall(name, Need::kVinDevId), {{"dev", dev}}, In{attr, trace_dev_attr},
               [=](Call& c, const AX_VIN_DEV_ATTR_T& a) { set_dev_attr(c, a, create); });
}

int32_t pipe_attr_call(const char* name, uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr,
                       bool create) {
    return run(kVinCall(name, Need::kVinPipeId), {{"pipe", pipe}}, In{attr, trace_pipe_attr},
               [=](Call& c, const AX_VIN_PIPE_ATTR_T& a) { set_pipe_attr(c, a, create); });
}

void enable_dev(Call& c) {
    State& s = c.s;
    VinDev& d = *c.dev;
    c.refuse_if(d.enabled, Kind::kExist, "device {} already enabled", c.id());
    c.refuse_if(!d.pipes_bound, Kind::kNotConfig, "device {} bound to no pipe", c.id());
    c.refuse_if(d.mipi < 0, Kind::kNotConfig, "device {} bound to no MIPI device", c.id());
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

void destroy_pipe(Call& c) {
    const VinPipe& p = *c.pipe;
    const auto pipe = static_cast<uint8_t>(c.id());
    c.refuse_if(p.started, Kind::kBusy, "pipe {} started", pipe);
    c.refuse_if(linked_from(c.s, pipe, -1), Kind::kBusy, "pipe {} still linked", pipe);
    for (size_t i = 0; i < kVinChns; ++i) {
        c.refuse_if(p.chn[i].enabled, Kind::kBusy, "channel {} of pipe {} still enabled", i, pipe);
    }
    c.refuse_if(p.isp.registered || p.isp.created, Kind::kBusy, "ISP of pipe {} still {}", pipe,
                p.isp.created ? "created" : "holding a sensor");
    c.s.pipes.erase(pipe);
}

void set_chn_attr(Call& c, const AX_VIN_CHN_ATTR_T& a) {
    const AX_VIN_RECT_T& pr = c.pipe->attr.tPipeImgRgn;
    c.refuse_if(c.chn->enabled, Kind::kBusy, "channel {} enabled", c.id(1));
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

// A frame of a streaming channel in the smallest free pool block that holds it.
void get_frame(Call& c, AX_VIDEO_FRAME_INFO_T* frame, int32_t timeout_ms) {
    State& s = c.s;
    const VinPipe& p = *c.pipe;
    const auto pipe = static_cast<uint8_t>(c.id());
    const auto chn = static_cast<int32_t>(c.id(1));
    const bool fed = dev_enabled_for(s, pipe);
    c.refuse_if(frame == nullptr, Kind::kNullPtr, "null frame record");
    c.refuse_if(!c.chn->enabled, Kind::kNotReady, "channel {} of pipe {} not enabled", chn, pipe);
    c.refuse_if(!p.started || !p.isp.streaming || !fed, Kind::kNotReady,
                "pipe {} not streaming (pipe {}, ISP {}, device {})", pipe,
                p.started ? "started" : "stopped", p.isp.streaming ? "streaming" : "not streaming",
                fed ? "enabled" : "disabled");
    if (c.settings.no_frame) {
        c.wait_after = timeout_ms < 0
                           ? kNoFrameWait
                           : std::min(kNoFrameWait, std::chrono::milliseconds(timeout_ms));
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
    c.record(frame, sizeof(*frame));
    trace_frame(c, *frame);
}

void release_frame(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    auto it = c.s.frames.find(f.u64PhyAddr[0]);
    c.refuse_if(it == c.s.frames.end() || it->second.seq != f.u64SeqNum, Kind::kNotExist,
                "frame seq {} at 0x{:x} not held (never obtained or already released)", f.u64SeqNum,
                f.u64PhyAddr[0]);
    c.refuse_if(it->second.pipe != c.id() || it->second.chn != c.id(1), Kind::kIllegalParam,
                "frame belongs to pipe {} channel {}", it->second.pipe, it->second.chn);
    c.s.pools[it->second.pool].used[it->second.block] = false;
    c.s.frames.erase(it);
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

void set_sns_attr(Call& c, const AX_SNS_ATTR_T& a) {
    VinPipe& p = *c.pipe;
    const AX_VIN_RECT_T& pr = p.attr.tPipeImgRgn;
    c.refuse_if(!p.isp.registered, Kind::kNotConfig, "pipe {} has no sensor", c.id());
    c.refuse_if(p.isp.started, Kind::kBusy, "ISP {} started", c.id());
    c.refuse_if(a.nWidth != pr.nWidth || a.nHeight != pr.nHeight, Kind::kIllegalParam,
                "sensor picture {}x{} differs from pipe picture {}x{}", a.nWidth, a.nHeight,
                pr.nWidth, pr.nHeight);
    c.refuse_if(!(a.fFrameRate > 0.0f), Kind::kIllegalParam, "frame rate {}", a.fFrameRate);
    p.isp.sns = a;
    p.isp.sns_attr_set = true;
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

int32_t isp_step(const char* name, uint8_t pipe, IspStep step) {
    return run(kIspCall(name), {{"pipe", pipe}}, [&](Call& c) {
        Isp& isp = c.pipe->isp;
        bool done = step.blocks == step.flag;
        c.refuse_if(!(isp.*step.needs),
                    step.needs == &Isp::created ? Kind::kNotExist : Kind::kNotReady,
                    "ISP {} not {}", pipe, isp_word(step.needs));
        c.refuse_if(step.blocks != nullptr && isp.*step.blocks, done ? Kind::kExist : Kind::kBusy,
                    "ISP {} {} {}", pipe, done ? "already" : "still",
                    step.blocks != nullptr ? isp_word(step.blocks) : "");
        isp.*step.flag = step.value;
    });
}

}  // namespace

int32_t AX_VIN_Init() {
    return init_module(kVinCall(__func__, Need::kSys), &State::vin, "video input");
}

int32_t AX_VIN_Deinit() {
    return run(kVinCall(__func__, Need::kVin), {}, [](Call& c) {
        State& s = c.s;
        c.refuse_if(!s.frames.empty(), Kind::kBusy, "{} frame(s) still held", s.frames.size());
        c.refuse_if(!s.pipes.empty() || !s.devs.empty(), Kind::kBusy,
                    "{} device(s) and {} pipe(s) still exist", s.devs.size(), s.pipes.size());
        s.vin = false;
    });
}

int32_t AX_VIN_CreateDev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return dev_attr_call(__func__, dev, attr, true);
}

int32_t AX_VIN_SetDevAttr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return dev_attr_call(__func__, dev, attr, false);
}

int32_t AX_VIN_SetDevBindPipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind) {
    return run(kVinCall(__func__, Need::kVinDev), {{"dev", dev}},
               In{bind, trace_bind, "bind", "null binding"},
               [=](Call& c, const AX_VIN_DEV_BIND_PIPE_T& b) {
                   c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} enabled", dev);
                   c.refuse_if(b.nNum == 0 || b.nNum > kMaxBoundPipes, Kind::kIllegalParam,
                               "{} bound pipes", b.nNum);
                   for (uint32_t i = 0; i < b.nNum; ++i) {
                       c.refuse_if(b.nPipeId[i] >= kVinPipes, Kind::kInvalidId, "bound pipe {}",
                                   b.nPipeId[i]);
                   }
                   c.dev->bind = b;
                   c.dev->pipes_bound = true;
               });
}

int32_t AX_VIN_SetDevBindMipi(uint8_t dev, uint8_t mipi_dev) {
    return run(kVinCall(__func__, Need::kVinDev), {{"dev", dev}, {"mipi_dev", mipi_dev}},
               [=](Call& c) {
                   auto m = c.s.mipi_devs.find(mipi_dev);
                   c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} enabled", dev);
                   c.refuse_if(!c.s.mipi, Kind::kNotReady, "MIPI receiver not initialised");
                   c.refuse_if(m == c.s.mipi_devs.end() || !m->second.attr_set, Kind::kNotConfig,
                               "MIPI device {} not configured", mipi_dev);
                   c.dev->mipi = mipi_dev;
               });
}

int32_t AX_VIN_CreatePipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return pipe_attr_call(__func__, pipe, attr, true);
}

int32_t AX_VIN_SetPipeAttr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return pipe_attr_call(__func__, pipe, attr, false);
}

int32_t AX_VIN_SetChnAttr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr) {
    return run(kVinCall(__func__, Need::kVinChn), {{"pipe", pipe}, {"chn", chn}},
               In{attr, trace_chn_attr}, set_chn_attr);
}

int32_t AX_VIN_SetChnFrameMode(uint8_t pipe, int32_t chn, int32_t mode) {
    return run(kVinCall(__func__, Need::kVinChn), {{"pipe", pipe}, {"chn", chn}, {"mode", mode}},
               [=](Call& c) {
                   c.refuse_if(mode < 0 || mode >= kFrameModes, Kind::kIllegalParam,
                               "frame mode {}", mode);
                   c.refuse_if(c.chn->enabled, Kind::kBusy, "channel {} enabled", chn);
               });
}

int32_t AX_VIN_EnableChn(uint8_t pipe, int32_t chn) {
    return run(kVinCall(__func__, Need::kVinChn), {{"pipe", pipe}, {"chn", chn}}, [=](Call& c) {
        c.refuse_if(!c.chn->attr_set, Kind::kNotConfig, "channel {} has no attributes", chn);
        c.refuse_if(c.chn->enabled, Kind::kExist, "channel {} already enabled", chn);
        c.chn->enabled = true;
    });
}

int32_t AX_VIN_DisableChn(uint8_t pipe, int32_t chn) {
    return run(kVinCall(__func__, Need::kVinChn), {{"pipe", pipe}, {"chn", chn}}, [=](Call& c) {
        size_t held = frames_held(c.s, pipe, chn);
        c.refuse_if(!c.chn->enabled, Kind::kNotReady, "channel {} not enabled", chn);
        c.refuse_if(linked_from(c.s, pipe, chn), Kind::kBusy, "channel {} of pipe {} still linked",
                    chn, pipe);
        c.refuse_if(held > 0, Kind::kBusy, "{} frame(s) of channel {} still held", held, chn);
        c.chn->enabled = false;
    });
}

int32_t AX_VIN_StartPipe(uint8_t pipe) {
    return run(kVinCall(__func__, Need::kVinPipe), {{"pipe", pipe}}, [=](Call& c) {
        c.refuse_if(c.pipe->started, Kind::kExist, "pipe {} already started", pipe);
        c.pipe->started = true;
    });
}

int32_t AX_VIN_StopPipe(uint8_t pipe) {
    return run(kVinCall(__func__, Need::kVinPipe), {{"pipe", pipe}}, [=](Call& c) {
        c.refuse_if(!c.pipe->started, Kind::kNotReady, "pipe {} not started", pipe);
        c.refuse_if(c.pipe->isp.started, Kind::kBusy, "ISP of pipe {} still started", pipe);
        c.pipe->started = false;
    });
}

int32_t AX_VIN_EnableDev(uint8_t dev) {
    return run(kVinCall(__func__, Need::kVinDev), {{"dev", dev}}, enable_dev);
}

int32_t AX_VIN_DisableDev(uint8_t dev) {
    return run(kVinCall(__func__, Need::kVinDev), {{"dev", dev}}, [=](Call& c) {
        c.refuse_if(!c.dev->enabled, Kind::kNotReady, "device {} not enabled", dev);
        c.dev->enabled = false;
    });
}

int32_t AX_VIN_DestroyPipe(uint8_t pipe) {
    return run(kVinCall(__func__, Need::kVinPipe), {{"pipe", pipe}}, destroy_pipe);
}

int32_t AX_VIN_DestroyDev(uint8_t dev) {
    return run(kVinCall(__func__, Need::kVinDev), {{"dev", dev}}, [=](Call& c) {
        c.refuse_if(c.dev->enabled, Kind::kBusy, "device {} still enabled", dev);
        c.s.devs.erase(dev);
    });
}

int32_t AX_VIN_GetYuvFrame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                           int32_t timeout_ms) {
    return run(kVinCall(__func__, Need::kVinChn),
               {{"pipe", pipe}, {"chn", chn}, {"timeout", timeout_ms}},
               [=](Call& c) { get_frame(c, frame, timeout_ms); });
}

int32_t AX_VIN_ReleaseYuvFrame(uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame) {
    return run(kVinCall(__func__, Need::kVinChn), {{"pipe", pipe}, {"chn", chn}},
               In{frame, trace_released, "frame", "null frame record"}, release_frame);
}

int32_t AX_ISP_RegisterSensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    std::string symbol = symbol_at(sensor);
    auto trace = [&](Call& c) { c.members("symbol", trace_text(symbol)); };
    return run(kIspCall(__func__),
               {{"pipe", pipe},
                {"sensor", static_cast<int64_t>(reinterpret_cast<uintptr_t>(sensor)), true}},
               trace, [&](Call& c) {
                   Isp& isp = c.pipe->isp;
                   c.refuse_if(sensor == nullptr, Kind::kNullPtr, "null sensor object");
                   c.refuse_if(symbol != kSensorSymbol, Kind::kIllegalParam,
                               "{} is not a sensor library's {}", static_cast<void*>(sensor),
                               kSensorSymbol);
                   c.refuse_if(isp.registered, Kind::kExist, "pipe {} already has a sensor", pipe);
                   isp.registered = true;
               });
}

int32_t AX_ISP_UnRegisterSensor(uint8_t pipe) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, [=](Call& c) {
        Isp& isp = c.pipe->isp;
        c.refuse_if(!isp.registered, Kind::kNotExist, "pipe {} has no sensor", pipe);
        c.refuse_if(isp.created, Kind::kBusy, "ISP of pipe {} still created", pipe);
        isp = Isp{};
    });
}

int32_t AX_ISP_SetSnsAttr(uint8_t pipe, const AX_SNS_ATTR_T* attr) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, In{attr, trace_sns_attr}, set_sns_attr);
}

int32_t AX_ISP_Create(uint8_t pipe) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, [=](Call& c) {
        Isp& isp = c.pipe->isp;
        c.refuse_if(!isp.registered || !isp.sns_attr_set, Kind::kNotConfig,
                    "pipe {} has no sensor {}", pipe, isp.registered ? "attributes" : "registered");
        c.refuse_if(isp.created, Kind::kExist, "ISP {} already created", pipe);
        isp.created = true;
    });
}

int32_t AX_ISP_Destroy(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::created, false, &Isp::created, &Isp::opened});
}

int32_t AX_ISP_Open(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::opened, true, &Isp::created, &Isp::opened});
}

int32_t AX_ISP_Close(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::opened, false, &Isp::opened, &Isp::started});
}

int32_t AX_ISP_Start(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::started, true, &Isp::opened, &Isp::started});
}

int32_t AX_ISP_Stop(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::started, false, &Isp::started, &Isp::streaming});
}

int32_t AX_ISP_StreamOn(uint8_t pipe) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, [=](Call& c) {
        VinPipe& p = *c.pipe;
        c.refuse_if(!p.isp.started, Kind::kNotReady, "ISP {} not started", pipe);
        c.refuse_if(!p.started, Kind::kNotReady, "pipe {} not started", pipe);
        c.refuse_if(!dev_enabled_for(c.s, pipe), Kind::kNotReady, "no enabled device feeds pipe {}",
                    pipe);
        c.refuse_if(p.isp.streaming, Kind::kExist, "ISP {} already streaming", pipe);
        p.isp.streaming = true;
    });
}

int32_t AX_ISP_StreamOff(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::streaming, false, &Isp::streaming, nullptr});
}

}  // namespace axsim::detail
