// Media system, common pools, links and frame mappings of the substitute SDK (libax_sys).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

std::string_view partition_name(const AX_POOL_CONFIG_T& cfg) {
    return {cfg.PartitionName, strnlen(cfg.PartitionName, sizeof(cfg.PartitionName))};
}

bool is_zero(const AX_POOL_CONFIG_T& e) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&e);
    return std::all_of(bytes, bytes + sizeof(e), [](uint8_t b) { return b == 0; });
}

void trace_plan(Call& c, const AX_POOL_FLOORPLAN_T& plan) {
    for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
        const AX_POOL_CONFIG_T& e = plan.CommPool[i];
        if (i >= 2 && is_zero(e)) {
            continue;
        }
        auto key = [i](std::string_view member) { return fmt::format("pool[{}].{}", i, member); };
        c.member(key("MetaSize"), e.MetaSize);
        c.member(key("BlkSize"), e.BlkSize);
        c.member(key("BlkCnt"), e.BlkCnt);
        c.member(key("CacheMode"), e.CacheMode);
        c.member(key("PartitionName"), trace_text(partition_name(e)));
    }
}

// Refuses a plan that cannot be configured.
int32_t check_plan(Call& c, const AX_POOL_FLOORPLAN_T& plan) {
    uint64_t total = 0;
    size_t used = 0;
    for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
        const AX_POOL_CONFIG_T& e = plan.CommPool[i];
        if (e.BlkCnt == 0) {
            continue;
        }
        if (e.BlkSize == 0) {
            return c.refuse(Kind::kIllegalParam,
                            fmt::format("pool {} has {} blocks of 0 bytes", i, e.BlkCnt));
        }
        if (partition_name(e).size() == sizeof(e.PartitionName)) {
            return c.refuse(Kind::kIllegalParam,
                            fmt::format("pool {} partition name not terminated", i));
        }
        total += (e.BlkSize + e.MetaSize) * e.BlkCnt;
        ++used;
    }
    if (total > kMediaMemory) {
        return c.refuse(Kind::kNoMem, fmt::format("pool plan needs {} bytes, media memory is {}",
                                                  total, kMediaMemory));
    }
    return c.check({{used == 0, Kind::kIllegalParam, "pool plan has no pool"}});
}

bool same(const AX_MOD_INFO_T& a, const AX_MOD_INFO_T& b) {
    return a.enModId == b.enModId && a.s32GrpId == b.s32GrpId && a.s32ChnId == b.s32ChnId;
}

// Both link records: their bytes, src then dst, and their members; an absent one is traced as
// "null" (the other as "set") and refused after the media system check.
template <typename Body>
int32_t link_call(const char* name, const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst,
                  Body&& body) {
    auto trace = [&](Call& c) {
        if (src == nullptr || dst == nullptr) {
            c.member("src", src == nullptr ? "null" : "set");
            c.member("dst", dst == nullptr ? "null" : "set");
            return;
        }
        c.record(src, sizeof(*src));
        c.record(dst, sizeof(*dst));
        for (auto [who, m] : {std::pair{"src", src}, std::pair{"dst", dst}}) {
            c.member(fmt::format("{}.enModId", who), m->enModId);
            c.member(fmt::format("{}.s32GrpId", who), m->s32GrpId);
            c.member(fmt::format("{}.s32ChnId", who), m->s32ChnId);
        }
    };
    return run({name, Module::kSys, Need::kSys}, {}, trace, [&](Call& c) {
        if (src == nullptr || dst == nullptr) {
            return c.refuse(Kind::kNullPtr, "null link record");
        }
        return body(c, *src, *dst);
    });
}

}  // namespace

// ---- system ---------------------------------------------------------------------------------

int32_t AX_SYS_Init() {
    return run({__func__, Module::kSys}, {}, [](Call& c) {
        if (int32_t st = c.check({{c.s.sys, Kind::kExist, "media system already initialised"}})) {
            return st;
        }
        c.s.sys = true;
        return 0;
    });
}

int32_t AX_SYS_Deinit() {
    return run({__func__, Module::kSys, Need::kSys}, {}, [](Call& c) {
        State& s = c.s;
        if (int32_t st = c.check({{s.pools_created, Kind::kBusy, "common pools still exist"}})) {
            return st;
        }
        if (s.vin || s.ivps || s.mipi) {
            return c.refuse(Kind::kBusy,
                            fmt::format("modules still initialised:{}{}{}", s.vin ? " VIN" : "",
                                        s.ivps ? " IVPS" : "", s.mipi ? " MIPI" : ""));
        }
        if (int32_t st =
                c.check({{!s.mappings.empty(), Kind::kBusy, "frame mappings still exist"}})) {
            return st;
        }
        s.sys = false;
        s.plan_set = false;
        return 0;
    });
}

// ---- common pools ---------------------------------------------------------------------------

int32_t AX_POOL_Exit() {
    return run({__func__, Module::kPool, Need::kSys}, {}, [](Call& c) {
        State& s = c.s;
        if (s.pools_created && !s.frames.empty()) {
            return c.refuse(Kind::kBusy, fmt::format("{} frame(s) still held", s.frames.size()));
        }
        if (s.pools_created && (s.vin || s.ivps)) {
            return c.refuse(Kind::kBusy, fmt::format("blocks still referenced by{}{}",
                                                     s.vin ? " VIN" : "", s.ivps ? " IVPS" : ""));
        }
        // No pools at all is fine: releasing what an earlier run left behind finds nothing.
        s.pools.clear();
        s.pools_created = false;
        s.plan_set = false;
        return 0;
    });
}

int32_t AX_POOL_SetConfig(const AX_POOL_FLOORPLAN_T* plan) {
    return run(
        {__func__, Module::kPool, Need::kSys}, {}, In{plan, trace_plan, "plan", "null pool plan"},
        [](Call& c, const AX_POOL_FLOORPLAN_T& p) {
            if (int32_t st =
                    c.check({{c.s.pools_created, Kind::kBusy, "common pools already created"}})) {
                return st;
            }
            if (int32_t st = check_plan(c, p)) {
                return st;
            }
            c.s.plan = p;
            c.s.plan_set = true;
            return 0;
        });
}

int32_t AX_POOL_Init() {
    return run({__func__, Module::kPool, Need::kSys}, {}, [](Call& c) {
        State& s = c.s;
        if (int32_t st = c.check({{s.pools_created, Kind::kExist, "common pools already created"},
                                  {!s.plan_set, Kind::kNotConfig, "no pool plan configured"}})) {
            return st;
        }
        uint64_t phys = kPhysBase;
        for (const auto& e : s.plan.CommPool) {
            if (e.BlkCnt != 0) {
                s.pools.push_back(Pool{e, phys, std::vector<bool>(e.BlkCnt, false)});
                phys += block_stride(e) * e.BlkCnt;
            }
        }
        s.pools_created = true;
        return 0;
    });
}

// ---- links ----------------------------------------------------------------------------------

int32_t AX_SYS_Link(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst) {
    return link_call(
        __func__, src, dst, [](Call& c, const AX_MOD_INFO_T& from, const AX_MOD_INFO_T& to) {
            State& s = c.s;
            if (from.enModId != kModVin || to.enModId != kModIvps) {
                return c.refuse(
                    Kind::kNotSupport,
                    fmt::format("only video input ({}) to image processor ({}) links are "
                                "simulated, not {} to {}",
                                kModVin, kModIvps, from.enModId, to.enModId));
            }
            if (from.s32GrpId < 0 || from.s32GrpId >= static_cast<int32_t>(kVinPipes) ||
                from.s32ChnId < 0 || from.s32ChnId >= static_cast<int32_t>(kVinChns)) {
                return c.refuse(Kind::kInvalidId, "source pipe/channel out of range");
            }
            auto pipe = s.pipes.find(static_cast<uint8_t>(from.s32GrpId));
            if (pipe == s.pipes.end()) {
                return c.refuse(Kind::kNotExist,
                                fmt::format("source pipe {} not created", from.s32GrpId));
            }
            if (!pipe->second.chn[static_cast<size_t>(from.s32ChnId)].enabled) {
                return c.refuse(Kind::kNotReady,
                                fmt::format("source channel {} of pipe {} not enabled",
                                            from.s32ChnId, from.s32GrpId));
            }
            if (s.groups.count(to.s32GrpId) == 0) {
                return c.refuse(Kind::kNotExist,
                                fmt::format("destination group {} not created", to.s32GrpId));
            }
            if (to.s32ChnId != 0) {
                return c.refuse(
                    Kind::kInvalidId,
                    fmt::format("a group has one input (channel 0), not {}", to.s32ChnId));
            }
            for (const auto& l : s.links) {
                if (int32_t st = c.check(
                        {{same(l.src, from) && same(l.dst, to), Kind::kExist,
                          "link already exists"},
                         {same(l.dst, to), Kind::kBusy, "destination already has a source"}})) {
                    return st;
                }
            }
            s.links.push_back(Link{from, to});
            return 0;
        });
}

int32_t AX_SYS_UnLink(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst) {
    return link_call(
        __func__, src, dst, [](Call& c, const AX_MOD_INFO_T& from, const AX_MOD_INFO_T& to) {
            auto it = std::find_if(c.s.links.begin(), c.s.links.end(), [&](const Link& l) {
                return same(l.src, from) && same(l.dst, to);
            });
            if (it == c.s.links.end()) {
                return c.refuse(Kind::kNotExist, "no such link");
            }
            c.s.links.erase(it);
            return 0;
        });
}

// ---- frame mappings -------------------------------------------------------------------------

void* AX_SYS_Mmap(uint64_t phy_addr, uint32_t size) {
    void* addr = nullptr;
    run({__func__, Module::kSys, Need::kSys, "addr"},
        {{"phys", static_cast<int64_t>(phy_addr), true}, {"size", size}}, [&](Call& c) {
            auto frame = c.s.frames.find(phy_addr);
            if (frame == c.s.frames.end()) {
                return c.refuse(Kind::kNotExist,
                                fmt::format("0x{:x} is not the address of a frame held", phy_addr));
            }
            const Frame& f = frame->second;
            if (size == 0 || size > f.size) {
                return c.refuse(Kind::kIllegalParam,
                                fmt::format("size {} outside the frame's {} bytes", size, f.size));
            }
            auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
            size_t length = (size + page - 1) / page * page;
            void* map =
                ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (map == MAP_FAILED) {
                return c.refuse(Kind::kNoMem, fmt::format("no memory for {} bytes", length));
            }
            draw_picture(static_cast<uint8_t*>(map), size, f.width, f.height, f.stride, f.seq);
            addr = map;
            c.result = reinterpret_cast<uintptr_t>(map);
            c.s.mappings[c.result] = Mapping{size, length, phy_addr};
            return 0;
        });
    return addr;
}

int32_t AX_SYS_Munmap(void* virt_addr, uint32_t size) {
    auto key = reinterpret_cast<uintptr_t>(virt_addr);
    return run(
        {__func__, Module::kSys, Need::kSys},
        {{"addr", static_cast<int64_t>(key), true}, {"size", size}}, [&](Call& c) {
            auto it = c.s.mappings.find(key);
            if (it == c.s.mappings.end()) {
                return c.refuse(Kind::kNotExist,
                                fmt::format("{} is not a mapping made by AX_SYS_Mmap", virt_addr));
            }
            if (it->second.size != size) {
                return c.refuse(
                    Kind::kIllegalParam,
                    fmt::format("size {} differs from the mapped {}", size, it->second.size));
            }
            ::munmap(virt_addr, it->second.length);
            c.s.mappings.erase(it);
            return 0;
        });
}

}  // namespace axsim::detail
