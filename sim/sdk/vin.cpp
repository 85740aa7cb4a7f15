// Video input (device, pipe, channel, frames) and ISP of the substitute SDK (state in
// libax_sys, entry points in libax_proton).
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <thread>

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
    c.member("eDevMode", a.eDevMode);
    c.member("bImgDataEnable", a.bImgDataEnable);
    c.member("bNonImgDataEnable", a.bNonImgDataEnable);
    c.member("eSnsIntfType", a.eSnsIntfType);
    c.member("eSnsMode", a.eSnsMode);
    c.member("eBayerPattern", a.eBayerPattern);
    c.member("ePixelFmt", a.ePixelFmt);
    for (size_t i = 0; i < 4; ++i) {
        const AX_VIN_RECT_T& r = a.tDevImgRgn[i];
        c.member(fmt::format("tDevImgRgn[{}]", i), rect(r));
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

void trace_pipe_attr(Call& c, const AX_VIN_PIPE_ATTR_T& a) {
    const AX_VIN_RECT_T& r = a.tPipeImgRgn;
    c.member("ePipeWorkMode", a.ePipeWorkMode);
    c.member("tPipeImgRgn", rect(r));
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
    return p.phys_base + block_stride(p.cfg) * block;
}

void trace_bind(Call& c, const AX_VIN_DEV_BIND_PIPE_T& b) {
    c.member("nNum", b.nNum);
    c.member("nPipeId", list(b.nPipeId));
    c.member("nDataFlag", list(b.nDataFlag));
}

void trace_chn_attr(Call& c, const AX_VIN_CHN_ATTR_T& a) {
    c.member("nWidth", a.nWidth);
    c.member("nHeight", a.nHeight);
    c.member("nWidthStride", a.nWidthStride);
    c.member("eImgFormat", a.eImgFormat);
    c.member("nDepth", a.nDepth);
}

void trace_frame(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    c.member("u32Width", f.u32Width);
    c.member("u32Height", f.u32Height);
    c.member("enImgFormat", f.enImgFormat);
    c.member("u32PicStride[0]", f.u32PicStride[0]);
    c.member_hex("u64PhyAddr[0]", f.u64PhyAddr[0]);
    c.member("u64SeqNum", f.u64SeqNum);
    c.member("u32FrameSize", f.u32FrameSize);
}

void trace_released(Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
    c.member_hex("u64PhyAddr[0]", f.u64PhyAddr[0]);
    c.member("u64SeqNum", f.u64SeqNum);
}

void trace_sns_attr(Call& c, const AX_SNS_ATTR_T& a) {
    c.member("nWidth", a.nWidth);
    c.member("nHeight", a.nHeight);
    c.member_float("fFrameRate", a.fFrameRate);
    c.member("eSnsMode", a.eSnsMode);
    c.member("eRawType", a.eRawType);
    c.member("eBayerPattern", a.eBayerPattern);
}

constexpr Spec kDevCall(const char* name, Need need = Need::kVinDev) {
    return {name, Module::kVin, need};
}
constexpr Spec kPipeCall(const char* name, Need need = Need::kVinPipe) {
    return {name, Module::kVin, need};
}
constexpr Spec kChnCall(const char* name) {
    return {name, Module::kVin, Need::kVinChn};
}
constexpr Spec kIspCall(const char* name) {
    return {name, Module::kIsp, Need::kVinPipe};
}

// CreateDev (create) and SetDevAttr: the device's attributes, refused while it is enabled.
int32_t set_dev_attr(Call& c, const AX_VIN_DEV_ATTR_T& a, bool create) {
    if (int32_t st = c.check(
            {{create && c.dev != nullptr, Kind::kExist, "device {} already created"},
             {!create && c.dev == nullptr, Kind::kNotExist, "device {} not created"},
             {!create && c.dev != nullptr && c.dev->enabled, Kind::kBusy, "device {} enabled"}})) {
        return st;
    }
    if (std::string why = check_dev_attr(a); !why.empty()) {
        return c.refuse(Kind::kIllegalParam, why);
    }
    c.s.devs[static_cast<uint8_t>(c.id())].attr = a;
    return 0;
}

// CreatePipe (create) and SetPipeAttr: the pipe's attributes, refused while it is started.
int32_t set_pipe_attr(Call& c, const AX_VIN_PIPE_ATTR_T& a, bool create) {
    if (int32_t st = c.check(
            {{create && c.pipe != nullptr, Kind::kExist, "pipe {} already created"},
             {!create && c.pipe == nullptr, Kind::kNotExist, "pipe {} not created"},
             {!create && c.pipe != nullptr && c.pipe->started, Kind::kBusy, "pipe {} started"}})) {
        return st;
    }
    if (std::string why = check_pipe_attr(a); !why.empty()) {
        return c.refuse(Kind::kIllegalParam, why);
    }
    c.s.pipes[static_cast<uint8_t>(c.id())].attr = a;
    return 0;
}

// Refuses a frame when the pipe does not stream; else takes a pool block for it.
int32_t take_frame(Call& c, uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T& frame) {
    State& s = c.s;
    const AX_VIN_CHN_ATTR_T& a = c.chn->attr;
    uint64_t stride = uint64_t{a.nWidthStride} + c.settings.stride_pad;
    uint64_t size = 2 * stride * a.nHeight;
    size_t pool = 0;
    size_t block = 0;
    if (size > UINT32_MAX || !take_block(s, static_cast<uint32_t>(size), pool, block)) {
        return c.refuse(Kind::kNoBuf,
                        fmt::format("no free pool block of {} bytes for a {}x{} frame", size,
                                    a.nWidth, a.nHeight));
    }
    Frame f{pipe,
            chn,
            a.nWidth,
            a.nHeight,
            static_cast<uint32_t>(stride),
            ++s.last_seq[{pipe, chn}],
            static_cast<uint32_t>(size),
            pool,
            block};
    uint64_t phys = block_address(s.pools[pool], block);
    s.frames[phys] = f;
    std::memset(&frame, 0, sizeof(frame));
    frame.u32Width = f.width;
    frame.u32Height = f.height;
    frame.enImgFormat = a.eImgFormat;
    frame.u32PicStride[0] = f.stride;
    frame.u64PhyAddr[0] = phys;
    frame.u64SeqNum = f.seq;
    frame.u32FrameSize = f.size;
    c.record(&frame, sizeof(frame));
    trace_frame(c, frame);
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

// One step of the ISP's life: sets or clears `flag`; refused unless `needs` holds, and while
// `blocks` holds (it is already done when `blocks` is the flag itself).
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
        std::string missing = fmt::format("ISP {{}} not {}", isp_word(step.needs));
        std::string blocked = fmt::format("ISP {{}} {} {}", done ? "already" : "still",
                                          step.blocks != nullptr ? isp_word(step.blocks) : "");
        if (int32_t st = c.check(
                {{!(isp.*step.needs),
                  step.needs == &Isp::created ? Kind::kNotExist : Kind::kNotReady, missing.c_str()},
                 {step.blocks != nullptr && isp.*step.blocks, done ? Kind::kExist : Kind::kBusy,
                  blocked.c_str()}})) {
            return st;
        }
        isp.*step.flag = step.value;
        return 0;
    });
}

}  // namespace

// ---- module ---------------------------------------------------------------------------------

int32_t AX_VIN_Init() {
    return run({__func__, Module::kVin, Need::kSys}, {}, [](Call& c) {
        if (int32_t st = c.check({{c.s.vin, Kind::kExist, "video input already initialised"}})) {
            return st;
        }
        c.s.vin = true;
        return 0;
    });
}

int32_t AX_VIN_Deinit() {
    return run({__func__, Module::kVin, Need::kVin}, {}, [](Call& c) {
        State& s = c.s;
        if (!s.frames.empty()) {
            return c.refuse(Kind::kBusy, fmt::format("{} frame(s) still held", s.frames.size()));
        }
        if (!s.pipes.empty() || !s.devs.empty()) {
            return c.refuse(Kind::kBusy, fmt::format("{} device(s) and {} pipe(s) still exist",
                                                     s.devs.size(), s.pipes.size()));
        }
        s.vin = false;
        return 0;
    });
}

// ---- device ---------------------------------------------------------------------------------

int32_t AX_VIN_CreateDev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return run(kDevCall(__func__, Need::kVinDevId), {{"dev", dev}}, In{attr, trace_dev_attr},
               [](Call& c, const AX_VIN_DEV_ATTR_T& a) { return set_dev_attr(c, a, true); });
}

int32_t AX_VIN_SetDevAttr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return run(kDevCall(__func__, Need::kVinDevId), {{"dev", dev}}, In{attr, trace_dev_attr},
               [](Call& c, const AX_VIN_DEV_ATTR_T& a) { return set_dev_attr(c, a, false); });
}

int32_t AX_VIN_SetDevBindPipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind) {
    return run(kDevCall(__func__), {{"dev", dev}}, In{bind, trace_bind, "bind", "null binding"},
               [](Call& c, const AX_VIN_DEV_BIND_PIPE_T& b) {
                   if (int32_t st = c.check({{c.dev->enabled, Kind::kBusy, "device {} enabled"}})) {
                       return st;
                   }
                   if (int32_t st = c.check({{b.nNum == 0 || b.nNum > kMaxBoundPipes,
                                              Kind::kIllegalParam, "{} bound pipes"}},
                                            b.nNum)) {
                       return st;
                   }
                   for (uint32_t i = 0; i < b.nNum; ++i) {
                       if (int32_t st = c.check(
                               {{b.nPipeId[i] >= kVinPipes, Kind::kInvalidId, "bound pipe {}"}},
                               b.nPipeId[i])) {
                           return st;
                       }
                   }
                   c.dev->bind = b;
                   c.dev->pipes_bound = true;
                   return 0;
               });
}

int32_t AX_VIN_SetDevBindMipi(uint8_t dev, uint8_t mipi_dev) {
    return run(kDevCall(__func__), {{"dev", dev}, {"mipi_dev", mipi_dev}}, [=](Call& c) {
        auto m = c.s.mipi_devs.find(mipi_dev);
        if (int32_t st = c.check({{c.dev->enabled, Kind::kBusy, "device {} enabled"}})) {
            return st;
        }
        if (int32_t st = c.check({{!c.s.mipi, Kind::kNotReady, "MIPI receiver not initialised"},
                                  {m == c.s.mipi_devs.end() || !m->second.attr_set,
                                   Kind::kNotConfig, "MIPI device {} not configured"}},
                                 mipi_dev)) {
            return st;
        }
        c.dev->mipi = mipi_dev;
        return 0;
    });
}

int32_t AX_VIN_EnableDev(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [](Call& c) {
        State& s = c.s;
        VinDev& d = *c.dev;
        if (int32_t st =
                c.check({{d.enabled, Kind::kExist, "device {} already enabled"},
                         {!d.pipes_bound, Kind::kNotConfig, "device {} bound to no pipe"},
                         {d.mipi < 0, Kind::kNotConfig, "device {} bound to no MIPI device"}})) {
            return st;
        }
        auto m = s.mipi_devs.find(static_cast<uint8_t>(d.mipi));
        if (int32_t st = c.check({{!s.mipi || m == s.mipi_devs.end() || !m->second.started,
                                   Kind::kNotReady, "MIPI device {} not started"}},
                                 d.mipi)) {
            return st;
        }
        // Every bound pipe that exists must expect the device's picture size.
        const AX_VIN_RECT_T& r = d.attr.tDevImgRgn[0];
        for (uint32_t i = 0; i < d.bind.nNum; ++i) {
            auto p = s.pipes.find(static_cast<uint8_t>(d.bind.nPipeId[i]));
            if (p == s.pipes.end()) {
                continue;
            }
            const AX_VIN_RECT_T& pr = p->second.attr.tPipeImgRgn;
            if (pr.nWidth != r.nWidth || pr.nHeight != r.nHeight) {
                return c.refuse(
                    Kind::kIllegalParam,
                    fmt::format("device picture {}x{} differs from pipe {} picture {}x{}", r.nWidth,
                                r.nHeight, p->first, pr.nWidth, pr.nHeight));
            }
        }
        d.enabled = true;
        return 0;
    });
}

int32_t AX_VIN_DisableDev(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [](Call& c) {
        if (int32_t st = c.check({{!c.dev->enabled, Kind::kNotReady, "device {} not enabled"}})) {
            return st;
        }
        c.dev->enabled = false;
        return 0;
    });
}

int32_t AX_VIN_DestroyDev(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [=](Call& c) {
        if (int32_t st = c.check({{c.dev->enabled, Kind::kBusy, "device {} still enabled"}})) {
            return st;
        }
        c.s.devs.erase(dev);
        return 0;
    });
}

// ---- pipe -----------------------------------------------------------------------------------

int32_t AX_VIN_CreatePipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return run(kPipeCall(__func__, Need::kVinPipeId), {{"pipe", pipe}}, In{attr, trace_pipe_attr},
               [](Call& c, const AX_VIN_PIPE_ATTR_T& a) { return set_pipe_attr(c, a, true); });
}

int32_t AX_VIN_SetPipeAttr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return run(kPipeCall(__func__, Need::kVinPipeId), {{"pipe", pipe}}, In{attr, trace_pipe_attr},
               [](Call& c, const AX_VIN_PIPE_ATTR_T& a) { return set_pipe_attr(c, a, false); });
}

int32_t AX_VIN_StartPipe(uint8_t pipe) {
    return run(kPipeCall(__func__), {{"pipe", pipe}}, [](Call& c) {
        if (int32_t st = c.check({{c.pipe->started, Kind::kExist, "pipe {} already started"}})) {
            return st;
        }
        c.pipe->started = true;
        return 0;
    });
}

int32_t AX_VIN_StopPipe(uint8_t pipe) {
    return run(kPipeCall(__func__), {{"pipe", pipe}}, [](Call& c) {
        if (int32_t st =
                c.check({{!c.pipe->started, Kind::kNotReady, "pipe {} not started"},
                         {c.pipe->isp.started, Kind::kBusy, "ISP of pipe {} still started"}})) {
            return st;
        }
        c.pipe->started = false;
        return 0;
    });
}

int32_t AX_VIN_DestroyPipe(uint8_t pipe) {
    return run(kPipeCall(__func__), {{"pipe", pipe}}, [=](Call& c) {
        const VinPipe& p = *c.pipe;
        if (int32_t st =
                c.check({{p.started, Kind::kBusy, "pipe {} started"},
                         {linked_from(c.s, pipe, -1), Kind::kBusy, "pipe {} still linked"}})) {
            return st;
        }
        for (size_t i = 0; i < kVinChns; ++i) {
            if (p.chn[i].enabled) {
                return c.refuse(Kind::kBusy,
                                fmt::format("channel {} of pipe {} still enabled", i, pipe));
            }
        }
        if (p.isp.registered || p.isp.created) {
            return c.refuse(Kind::kBusy,
                            fmt::format("ISP of pipe {} still {}", pipe,
                                        p.isp.created ? "created" : "holding a sensor"));
        }
        c.s.pipes.erase(pipe);
        return 0;
    });
}

// ---- channel --------------------------------------------------------------------------------

int32_t AX_VIN_SetChnAttr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr) {
    return run(
        kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}}, In{attr, trace_chn_attr},
        [=](Call& c, const AX_VIN_CHN_ATTR_T& a) {
            if (int32_t st = c.check({{c.chn->enabled, Kind::kBusy, "channel {} enabled"}}, chn)) {
                return st;
            }
            const AX_VIN_RECT_T& pr = c.pipe->attr.tPipeImgRgn;
            if (!size_ok(a.nWidth, a.nHeight) || a.nWidth > pr.nWidth || a.nHeight > pr.nHeight) {
                return c.refuse(Kind::kIllegalParam,
                                fmt::format("channel picture {}x{} does not fit the pipe's {}x{}",
                                            a.nWidth, a.nHeight, pr.nWidth, pr.nHeight));
            }
            if (a.nWidthStride < a.nWidth) {
                return c.refuse(Kind::kIllegalParam,
                                fmt::format("stride {} below width {}", a.nWidthStride, a.nWidth));
            }
            if (int32_t st = c.check({{a.nDepth == 0 || a.nDepth > kMaxQueueDepth,
                                       Kind::kIllegalParam, "queue depth {}"}},
                                     a.nDepth)) {
                return st;
            }
            if (a.eImgFormat != kYuyvFormat) {
                return c.refuse(Kind::kNotSupport,
                                fmt::format("image format {} (only YUYV 4:2:2, {}, is delivered)",
                                            a.eImgFormat, kYuyvFormat));
            }
            c.chn->attr = a;
            c.chn->attr_set = true;
            return 0;
        });
}

int32_t AX_VIN_SetChnFrameMode(uint8_t pipe, int32_t chn, int32_t mode) {
    return run(kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}, {"mode", mode}}, [=](Call& c) {
        if (int32_t st = c.check(
                {{mode < 0 || mode >= kFrameModes, Kind::kIllegalParam, "frame mode {}"}}, mode)) {
            return st;
        }
        if (int32_t st = c.check({{c.chn->enabled, Kind::kBusy, "channel {} enabled"}}, chn)) {
            return st;
        }
        c.chn->frame_mode = mode;
        return 0;
    });
}

int32_t AX_VIN_EnableChn(uint8_t pipe, int32_t chn) {
    return run(kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}}, [=](Call& c) {
        if (int32_t st =
                c.check({{!c.chn->attr_set, Kind::kNotConfig, "channel {} has no attributes"},
                         {c.chn->enabled, Kind::kExist, "channel {} already enabled"}},
                        chn)) {
            return st;
        }
        c.chn->enabled = true;
        return 0;
    });
}

int32_t AX_VIN_DisableChn(uint8_t pipe, int32_t chn) {
    return run(kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}}, [=](Call& c) {
        if (int32_t st =
                c.check({{!c.chn->enabled, Kind::kNotReady, "channel {} not enabled"}}, chn)) {
            return st;
        }
        if (linked_from(c.s, pipe, chn)) {
            return c.refuse(Kind::kBusy,
                            fmt::format("channel {} of pipe {} still linked", chn, pipe));
        }
        if (size_t held = frames_held(c.s, pipe, chn); held > 0) {
            return c.refuse(Kind::kBusy,
                            fmt::format("{} frame(s) of channel {} still held", held, chn));
        }
        c.chn->enabled = false;
        return 0;
    });
}

// ---- frames ---------------------------------------------------------------------------------

int32_t AX_VIN_GetYuvFrame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                           int32_t timeout_ms) {
    return run(
        kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}, {"timeout", timeout_ms}}, [=](Call& c) {
            const VinPipe& p = *c.pipe;
            if (frame == nullptr) {
                return c.refuse(Kind::kNullPtr, "null frame record");
            }
            if (!c.chn->enabled) {
                return c.refuse(Kind::kNotReady,
                                fmt::format("channel {} of pipe {} not enabled", chn, pipe));
            }
            bool fed = dev_enabled_for(c.s, pipe);
            if (!p.started || !p.isp.streaming || !fed) {
                return c.refuse(Kind::kNotReady,
                                fmt::format("pipe {} not streaming (pipe {}, ISP {}, device {})",
                                            pipe, p.started ? "started" : "stopped",
                                            p.isp.streaming ? "streaming" : "not streaming",
                                            fed ? "enabled" : "disabled"));
            }
            if (c.settings.no_frame) {
                c.wait_after = timeout_ms < 0
                                   ? kNoFrameWait
                                   : std::min(kNoFrameWait, std::chrono::milliseconds(timeout_ms));
                return c.refuse(Kind::kTimeout,
                                fmt::format("no frame within {} ms", c.wait_after.count()));
            }
            return take_frame(c, pipe, chn, *frame);
        });
}

int32_t AX_VIN_ReleaseYuvFrame(uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame) {
    return run(kChnCall(__func__), {{"pipe", pipe}, {"chn", chn}},
               In{frame, trace_released, "frame", "null frame record"},
               [=](Call& c, const AX_VIDEO_FRAME_INFO_T& f) {
                   State& s = c.s;
                   auto it = s.frames.find(f.u64PhyAddr[0]);
                   if (it == s.frames.end() || it->second.seq != f.u64SeqNum) {
                       return c.refuse(
                           Kind::kNotExist,
                           fmt::format("frame seq {} at 0x{:x} not held (never obtained or "
                                       "already released)",
                                       f.u64SeqNum, f.u64PhyAddr[0]));
                   }
                   if (it->second.pipe != pipe || it->second.chn != chn) {
                       return c.refuse(Kind::kIllegalParam,
                                       fmt::format("frame belongs to pipe {} channel {}",
                                                   it->second.pipe, it->second.chn));
                   }
                   s.pools[it->second.pool].used[it->second.block] = false;
                   s.frames.erase(it);
                   return 0;
               });
}

// ---- ISP ------------------------------------------------------------------------------------

int32_t AX_ISP_RegisterSensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    std::string symbol = symbol_at(sensor);
    auto trace = [&](Call& c) { c.member("symbol", trace_text(symbol)); };
    return run(kIspCall(__func__),
               {{"pipe", pipe},
                {"sensor", static_cast<int64_t>(reinterpret_cast<uintptr_t>(sensor)), true}},
               trace, [&](Call& c) {
                   Isp& isp = c.pipe->isp;
                   if (sensor == nullptr) {
                       return c.refuse(Kind::kNullPtr, "null sensor object");
                   }
                   if (symbol != kSensorSymbol) {
                       return c.refuse(Kind::kIllegalParam,
                                       fmt::format("{} is not a sensor library's {}",
                                                   static_cast<void*>(sensor), kSensorSymbol));
                   }
                   if (int32_t st = c.check(
                           {{isp.registered, Kind::kExist, "pipe {} already has a sensor"}})) {
                       return st;
                   }
                   isp.registered = true;
                   isp.sensor = sensor;
                   return 0;
               });
}

int32_t AX_ISP_UnRegisterSensor(uint8_t pipe) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, [](Call& c) {
        Isp& isp = c.pipe->isp;
        if (int32_t st = c.check({{!isp.registered, Kind::kNotExist, "pipe {} has no sensor"},
                                  {isp.created, Kind::kBusy, "ISP of pipe {} still created"}})) {
            return st;
        }
        isp = Isp{};
        return 0;
    });
}

int32_t AX_ISP_SetSnsAttr(uint8_t pipe, const AX_SNS_ATTR_T* attr) {
    return run(
        kIspCall(__func__), {{"pipe", pipe}}, In{attr, trace_sns_attr},
        [](Call& c, const AX_SNS_ATTR_T& a) {
            VinPipe& p = *c.pipe;
            if (int32_t st =
                    c.check({{!p.isp.registered, Kind::kNotConfig, "pipe {} has no sensor"},
                             {p.isp.started, Kind::kBusy, "ISP {} started"}})) {
                return st;
            }
            const AX_VIN_RECT_T& pr = p.attr.tPipeImgRgn;
            if (a.nWidth != pr.nWidth || a.nHeight != pr.nHeight) {
                return c.refuse(Kind::kIllegalParam,
                                fmt::format("sensor picture {}x{} differs from pipe picture {}x{}",
                                            a.nWidth, a.nHeight, pr.nWidth, pr.nHeight));
            }
            if (!(a.fFrameRate > 0.0f)) {
                return c.refuse(Kind::kIllegalParam, fmt::format("frame rate {}", a.fFrameRate));
            }
            p.isp.sns = a;
            p.isp.sns_attr_set = true;
            return 0;
        });
}

int32_t AX_ISP_Create(uint8_t pipe) {
    return run(kIspCall(__func__), {{"pipe", pipe}}, [=](Call& c) {
        Isp& isp = c.pipe->isp;
        if (!isp.registered || !isp.sns_attr_set) {
            return c.refuse(Kind::kNotConfig,
                            fmt::format("pipe {} has no sensor {}", pipe,
                                        isp.registered ? "attributes" : "registered"));
        }
        if (int32_t st = c.check({{isp.created, Kind::kExist, "ISP {} already created"}})) {
            return st;
        }
        isp.created = true;
        return 0;
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
        if (int32_t st = c.check(
                {{!p.isp.started, Kind::kNotReady, "ISP {} not started"},
                 {!p.started, Kind::kNotReady, "pipe {} not started"},
                 {!dev_enabled_for(c.s, pipe), Kind::kNotReady, "no enabled device feeds pipe {}"},
                 {p.isp.streaming, Kind::kExist, "ISP {} already streaming"}})) {
            return st;
        }
        p.isp.streaming = true;
        return 0;
    });
}

int32_t AX_ISP_StreamOff(uint8_t pipe) {
    return isp_step(__func__, pipe, {&Isp::streaming, false, &Isp::streaming, nullptr});
}

}  // namespace axsim::detail
