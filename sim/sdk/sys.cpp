// Media system, common pools, links and frame mappings of the substitute SDK (libax_sys).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kSysNotInit = err(Module::kSys, Kind::kNotInit);
constexpr int32_t kPoolNotInit = err(Module::kPool, Kind::kNotInit);

std::string_view partition_name(const AX_POOL_CONFIG_T& cfg) {
    return {cfg.PartitionName, strnlen(cfg.PartitionName, sizeof(cfg.PartitionName))};
}

void trace_pool_entry(CallScope& c, size_t i, const AX_POOL_CONFIG_T& e) {
    auto key = [i](std::string_view member) { return fmt::format("pool[{}].{}", i, member); };
    c.member(key("MetaSize"), e.MetaSize);
    c.member(key("BlkSize"), e.BlkSize);
    c.member(key("BlkCnt"), e.BlkCnt);
    c.member(key("CacheMode"), e.CacheMode);
    c.member(key("PartitionName"), trace_text(partition_name(e)));
}

bool entry_is_zero(const AX_POOL_CONFIG_T& e) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&e);
    return std::all_of(bytes, bytes + sizeof(e), [](uint8_t b) { return b == 0; });
}

void trace_mod(CallScope& c, std::string_view who, const AX_MOD_INFO_T& m) {
    c.member(fmt::format("{}.enModId", who), m.enModId);
    c.member(fmt::format("{}.s32GrpId", who), m.s32GrpId);
    c.member(fmt::format("{}.s32ChnId", who), m.s32ChnId);
}

bool same(const AX_MOD_INFO_T& a, const AX_MOD_INFO_T& b) {
    return a.enModId == b.enModId && a.s32GrpId == b.s32GrpId && a.s32ChnId == b.s32ChnId;
}

// Reads the link records into the call log and trace; false when one is null.
bool take_link_records(CallScope& c, const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst) {
    if (src == nullptr || dst == nullptr) {
        c.member("src", src == nullptr ? "null" : "set");
        c.member("dst", dst == nullptr ? "null" : "set");
        return false;
    }
    c.record(src, sizeof(*src));
    c.record(dst, sizeof(*dst));
    trace_mod(c, "src", *src);
    trace_mod(c, "dst", *dst);
    return true;
}

}  // namespace
}  // namespace axsim::detail

using namespace axsim;
using namespace axsim::detail;

// ---- system ---------------------------------------------------------------------------------

extern "C" int32_t AX_SYS_Init(void) {
    CallScope c("AX_SYS_Init");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (s.sys) {
        return c.reject(err(Module::kSys, Kind::kExist), "media system already initialised");
    }
    s.sys = true;
    return c.ok();
}

extern "C" int32_t AX_SYS_Deinit(void) {
    CallScope c("AX_SYS_Deinit");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kSysNotInit, "media system not initialised");
    }
    if (s.pools_created) {
        return c.reject(err(Module::kSys, Kind::kBusy), "common pools still exist");
    }
    if (s.vin || s.ivps || s.mipi) {
        return c.reject(err(Module::kSys, Kind::kBusy),
                        fmt::format("modules still initialised:{}{}{}", s.vin ? " VIN" : "",
                                    s.ivps ? " IVPS" : "", s.mipi ? " MIPI" : ""));
    }
    if (!s.mappings.empty()) {
        return c.reject(err(Module::kSys, Kind::kBusy), "frame mappings still exist");
    }
    s.sys = false;
    s.plan_set = false;
    return c.ok();
}

// ---- common pools ---------------------------------------------------------------------------

extern "C" int32_t AX_POOL_Exit(void) {
    CallScope c("AX_POOL_Exit");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kPoolNotInit, "media system not initialised");
    }
    if (s.pools_created) {
        if (!s.frames.empty()) {
            return c.reject(err(Module::kPool, Kind::kBusy),
                            fmt::format("{} frame(s) still held", s.frames.size()));
        }
        if (s.vin || s.ivps) {
            return c.reject(err(Module::kPool, Kind::kBusy),
                            fmt::format("blocks still referenced by{}{}", s.vin ? " VIN" : "",
                                        s.ivps ? " IVPS" : ""));
        }
    }
    // No pools at all is fine: releasing what an earlier run left behind finds nothing.
    s.pools.clear();
    s.pools_created = false;
    s.plan_set = false;
    return c.ok();
}

extern "C" int32_t AX_POOL_SetConfig(const AX_POOL_FLOORPLAN_T* plan) {
    CallScope c("AX_POOL_SetConfig");
    if (plan != nullptr) {
        c.record(plan, sizeof(*plan));
        for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
            if (i < 2 || !entry_is_zero(plan->CommPool[i])) {
                trace_pool_entry(c, i, plan->CommPool[i]);
            }
        }
    } else {
        c.member("plan", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kPoolNotInit, "media system not initialised");
    }
    if (plan == nullptr) {
        return c.reject(err(Module::kPool, Kind::kNullPtr), "null pool plan");
    }
    if (s.pools_created) {
        return c.reject(err(Module::kPool, Kind::kBusy), "common pools already created");
    }
    uint64_t total = 0;
    size_t used = 0;
    for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
        const AX_POOL_CONFIG_T& e = plan->CommPool[i];
        if (e.BlkCnt == 0) {
            continue;
        }
        if (e.BlkSize == 0) {
            return c.reject(err(Module::kPool, Kind::kIllegalParam),
                            fmt::format("pool {} has {} blocks of 0 bytes", i, e.BlkCnt));
        }
        if (strnlen(e.PartitionName, sizeof(e.PartitionName)) == sizeof(e.PartitionName)) {
            return c.reject(err(Module::kPool, Kind::kIllegalParam),
                            fmt::format("pool {} partition name not terminated", i));
        }
        total += (e.BlkSize + e.MetaSize) * e.BlkCnt;
        ++used;
    }
    if (used == 0) {
        return c.reject(err(Module::kPool, Kind::kIllegalParam), "pool plan has no pool");
    }
    if (total > kMediaMemory) {
        return c.reject(
            err(Module::kPool, Kind::kNoMem),
            fmt::format("pool plan needs {} bytes, media memory is {}", total, kMediaMemory));
    }
    s.plan = *plan;
    s.plan_set = true;
    return c.ok();
}

extern "C" int32_t AX_POOL_Init(void) {
    CallScope c("AX_POOL_Init");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kPoolNotInit, "media system not initialised");
    }
    if (s.pools_created) {
        return c.reject(err(Module::kPool, Kind::kExist), "common pools already created");
    }
    if (!s.plan_set) {
        return c.reject(err(Module::kPool, Kind::kNotConfig), "no pool plan configured");
    }
    uint64_t phys = kPhysBase;
    for (const auto& e : s.plan.CommPool) {
        if (e.BlkCnt == 0) {
            continue;
        }
        Pool pool;
        pool.cfg = e;
        pool.phys_base = phys;
        pool.used.assign(e.BlkCnt, false);
        // Blocks start on 4 KiB boundaries, as the mappings of whole pages need.
        uint64_t stride = (e.BlkSize + 0xFFF) & ~uint64_t{0xFFF};
        phys += stride * e.BlkCnt;
        s.pools.push_back(std::move(pool));
    }
    s.pools_created = true;
    return c.ok();
}

// ---- links ----------------------------------------------------------------------------------

extern "C" int32_t AX_SYS_Link(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst) {
    CallScope c("AX_SYS_Link");
    bool records = take_link_records(c, src, dst);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kSysNotInit, "media system not initialised");
    }
    if (!records) {
        return c.reject(err(Module::kSys, Kind::kNullPtr), "null link record");
    }
    if (src->enModId != kModVin || dst->enModId != kModIvps) {
        return c.reject(err(Module::kSys, Kind::kNotSupport),
                        fmt::format("only video input ({}) to image processor ({}) links are "
                                    "simulated, not {} to {}",
                                    kModVin, kModIvps, src->enModId, dst->enModId));
    }
    if (src->s32GrpId < 0 || src->s32GrpId >= static_cast<int32_t>(kVinPipes) ||
        src->s32ChnId < 0 || src->s32ChnId >= static_cast<int32_t>(kVinChns)) {
        return c.reject(err(Module::kSys, Kind::kInvalidId), "source pipe/channel out of range");
    }
    auto pipe = s.pipes.find(static_cast<uint8_t>(src->s32GrpId));
    if (pipe == s.pipes.end()) {
        return c.reject(err(Module::kSys, Kind::kNotExist),
                        fmt::format("source pipe {} not created", src->s32GrpId));
    }
    if (!pipe->second.chn[static_cast<size_t>(src->s32ChnId)].enabled) {
        return c.reject(
            err(Module::kSys, Kind::kNotReady),
            fmt::format("source channel {} of pipe {} not enabled", src->s32ChnId, src->s32GrpId));
    }
    if (s.groups.find(dst->s32GrpId) == s.groups.end()) {
        return c.reject(err(Module::kSys, Kind::kNotExist),
                        fmt::format("destination group {} not created", dst->s32GrpId));
    }
    if (dst->s32ChnId != 0) {
        return c.reject(err(Module::kSys, Kind::kInvalidId),
                        fmt::format("a group has one input (channel 0), not {}", dst->s32ChnId));
    }
    for (const auto& l : s.links) {
        if (same(l.src, *src) && same(l.dst, *dst)) {
            return c.reject(err(Module::kSys, Kind::kExist), "link already exists");
        }
        if (same(l.dst, *dst)) {
            return c.reject(err(Module::kSys, Kind::kBusy), "destination already has a source");
        }
    }
    s.links.push_back(Link{*src, *dst});
    return c.ok();
}

extern "C" int32_t AX_SYS_UnLink(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst) {
    CallScope c("AX_SYS_UnLink");
    bool records = take_link_records(c, src, dst);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kSysNotInit, "media system not initialised");
    }
    if (!records) {
        return c.reject(err(Module::kSys, Kind::kNullPtr), "null link record");
    }
    auto it = std::find_if(s.links.begin(), s.links.end(),
                           [&](const Link& l) { return same(l.src, *src) && same(l.dst, *dst); });
    if (it == s.links.end()) {
        return c.reject(err(Module::kSys, Kind::kNotExist), "no such link");
    }
    s.links.erase(it);
    return c.ok();
}

// ---- frame mappings -------------------------------------------------------------------------

extern "C" void* AX_SYS_Mmap(uint64_t phy_addr, uint32_t size) {
    CallScope c("AX_SYS_Mmap");
    c.arg_hex("phys", phy_addr);
    c.arg("size", size);
    auto refuse = [&](int32_t status, std::string why) -> void* {
        c.member("addr", "0x0");
        c.reject(status, std::move(why));
        return nullptr;
    };
    if (c.injected()) {
        c.member("addr", "0x0");
        c.finish();
        return nullptr;
    }
    State& s = c.state();
    if (!s.sys) {
        return refuse(kSysNotInit, "media system not initialised");
    }
    auto frame = s.frames.find(phy_addr);
    if (frame == s.frames.end()) {
        return refuse(err(Module::kSys, Kind::kNotExist),
                      fmt::format("0x{:x} is not the address of a frame held", phy_addr));
    }
    const Frame& f = frame->second;
    if (size == 0 || size > f.size) {
        return refuse(err(Module::kSys, Kind::kIllegalParam),
                      fmt::format("size {} outside the frame's {} bytes", size, f.size));
    }
    auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t length = (size + page - 1) / page * page;
    void* addr =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (addr == MAP_FAILED) {
        return refuse(err(Module::kSys, Kind::kNoMem),
                      fmt::format("no memory for {} bytes", length));
    }
    draw_picture(static_cast<uint8_t*>(addr), size, f.width, f.height, f.stride, f.seq);
    s.mappings[reinterpret_cast<uintptr_t>(addr)] = Mapping{size, length, phy_addr};
    c.member_hex("addr", reinterpret_cast<uintptr_t>(addr));
    c.ok();
    return addr;
}

extern "C" int32_t AX_SYS_Munmap(void* virt_addr, uint32_t size) {
    CallScope c("AX_SYS_Munmap");
    c.arg_hex("addr", reinterpret_cast<uintptr_t>(virt_addr));
    c.arg("size", size);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kSysNotInit, "media system not initialised");
    }
    auto it = s.mappings.find(reinterpret_cast<uintptr_t>(virt_addr));
    if (it == s.mappings.end()) {
        return c.reject(err(Module::kSys, Kind::kNotExist),
                        fmt::format("{} is not a mapping made by AX_SYS_Mmap", virt_addr));
    }
    if (it->second.size != size) {
        return c.reject(err(Module::kSys, Kind::kIllegalParam),
                        fmt::format("size {} differs from the mapped {}", size, it->second.size));
    }
    ::munmap(virt_addr, it->second.length);
    s.mappings.erase(it);
    return c.ok();
}
