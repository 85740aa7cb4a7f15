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

void check_plan(Call& c, const AX_POOL_FLOORPLAN_T& plan) {
    uint64_t total = 0;
    size_t used = 0;
    for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
        const AX_POOL_CONFIG_T& e = plan.CommPool[i];
        if (e.BlkCnt != 0) {
            c.refuse_if(e.BlkSize == 0, Kind::kIllegalParam, "pool {} has {} blocks of 0 bytes", i,
                        e.BlkCnt);
            c.refuse_if(partition_name(e).size() == sizeof(e.PartitionName), Kind::kIllegalParam,
                        "pool {} partition name not terminated", i);
            total += (e.BlkSize + e.MetaSize) * e.BlkCnt;
            ++used;
        }
    }
    c.refuse_if(used == 0, Kind::kIllegalParam, "pool plan has no pool");
    c.refuse_if(total > kMediaMemory, Kind::kNoMem, "pool plan needs {} bytes, media memory is {}",
                total, kMediaMemory);
}

bool same(const AX_MOD_INFO_T& a, const AX_MOD_INFO_T& b) {
    return a.enModId == b.enModId && a.s32GrpId == b.s32GrpId && a.s32ChnId == b.s32ChnId;
}

}  // namespace

// Entries 0 and 1, and any other that is not all zero.
void trace(Call& c, const AX_POOL_FLOORPLAN_T& plan, std::string_view) {
    for (size_t i = 0; i < AX_MAX_COMM_POOLS; ++i) {
        const AX_POOL_CONFIG_T& e = plan.CommPool[i];
        auto key = [i](std::string_view member) { return fmt::format("pool[{}].{}", i, member); };
        if (i < 2 || !is_zero(&e, sizeof(e))) {
            c.members(key("MetaSize"), e.MetaSize, key("BlkSize"), e.BlkSize, key("BlkCnt"),
                      e.BlkCnt, key("CacheMode"), e.CacheMode, key("PartitionName"),
                      trace_text(partition_name(e)));
        }
    }
}

void trace(Call& c, const AX_MOD_INFO_T& m, std::string_view name) {
    c.members(fmt::format("{}.enModId", name), m.enModId, fmt::format("{}.s32GrpId", name),
              m.s32GrpId, fmt::format("{}.s32ChnId", name), m.s32ChnId);
}

namespace rule {

AXSIM_RULE(AX_SYS_Init) {
    c.s.sys = true;
}

AXSIM_RULE(AX_SYS_Deinit) {
    State& s = c.s;
    c.refuse_if(s.pools_created, Kind::kBusy, "common pools still exist");
    c.refuse_if(s.vin || s.ivps || s.mipi, Kind::kBusy, "modules still initialised:{}{}{}",
                s.vin ? " VIN" : "", s.ivps ? " IVPS" : "", s.mipi ? " MIPI" : "");
    c.refuse_if(!s.mappings.empty(), Kind::kBusy, "frame mappings still exist");
    s.sys = false;
    s.plan_set = false;
}

AXSIM_RULE(AX_POOL_Exit) {
    State& s = c.s;
    c.refuse_if(s.pools_created && !s.frames.empty(), Kind::kBusy, "{} frame(s) still held",
                s.frames.size());
    c.refuse_if(s.pools_created && (s.vin || s.ivps), Kind::kBusy, "blocks still referenced by{}{}",
                s.vin ? " VIN" : "", s.ivps ? " IVPS" : "");
    // No pools at all is fine: releasing what an earlier run left behind finds nothing.
    s.pools.clear();
    s.pools_created = false;
    s.plan_set = false;
}

AXSIM_RULE(AX_POOL_SetConfig) {
    c.refuse_if(c.s.pools_created, Kind::kBusy, "common pools already created");
    check_plan(c, *plan);
    c.s.plan = *plan;
    c.s.plan_set = true;
}

AXSIM_RULE(AX_POOL_Init) {
    State& s = c.s;
    c.refuse_if(s.pools_created, Kind::kExist, "common pools already created");
    c.refuse_if(!s.plan_set, Kind::kNotConfig, "no pool plan configured");
    uint64_t phys = kPhysBase;
    for (const auto& e : s.plan.CommPool) {
        if (e.BlkCnt != 0) {
            s.pools.push_back(Pool{e, phys, std::vector<bool>(e.BlkCnt, false)});
            phys += block_stride(e) * e.BlkCnt;
        }
    }
    s.pools_created = true;
}

AXSIM_RULE(AX_SYS_Link) {
    State& s = c.s;
    c.refuse_if(src->enModId != kModVin || dst->enModId != kModIvps, Kind::kNotSupport,
                "only video input ({}) to image processor ({}) links are simulated, not {} to {}",
                kModVin, kModIvps, src->enModId, dst->enModId);
    c.refuse_if(src->s32GrpId < 0 || src->s32GrpId >= static_cast<int32_t>(kVinPipes) ||
                    src->s32ChnId < 0 || src->s32ChnId >= static_cast<int32_t>(kVinChns),
                Kind::kInvalidId, "source pipe/channel out of range");
    auto pipe = s.pipes.find(static_cast<uint8_t>(src->s32GrpId));
    c.refuse_if(pipe == s.pipes.end(), Kind::kNotExist, "source pipe {} not created",
                src->s32GrpId);
    c.refuse_if(!pipe->second.chn[static_cast<size_t>(src->s32ChnId)].enabled, Kind::kNotReady,
                "source channel {} of pipe {} not enabled", src->s32ChnId, src->s32GrpId);
    c.refuse_if(s.groups.count(dst->s32GrpId) == 0, Kind::kNotExist,
                "destination group {} not created", dst->s32GrpId);
    c.refuse_if(dst->s32ChnId != 0, Kind::kInvalidId, "a group has one input (channel 0), not {}",
                dst->s32ChnId);
    for (const auto& l : s.links) {
        c.refuse_if(same(l.src, *src) && same(l.dst, *dst), Kind::kExist, "link already exists");
        c.refuse_if(same(l.dst, *dst), Kind::kBusy, "destination already has a source");
    }
    s.links.push_back(Link{*src, *dst});
}

AXSIM_RULE(AX_SYS_UnLink) {
    auto it = std::find_if(c.s.links.begin(), c.s.links.end(),
                           [&](const Link& l) { return same(l.src, *src) && same(l.dst, *dst); });
    c.refuse_if(it == c.s.links.end(), Kind::kNotExist, "no such link");
    c.s.links.erase(it);
}

AXSIM_RULE(AX_SYS_Mmap) {
    auto frame = c.s.frames.find(phys);
    c.refuse_if(frame == c.s.frames.end(), Kind::kNotExist,
                "0x{:x} is not the address of a frame held", phys);
    const Frame& f = frame->second;
    c.refuse_if(size == 0 || size > f.size, Kind::kIllegalParam,
                "size {} outside the frame's {} bytes", size, f.size);
    auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t length = (size + page - 1) / page * page;
    void* addr =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    c.refuse_if(addr == MAP_FAILED, Kind::kNoMem, "no memory for {} bytes", length);
    draw_picture(static_cast<uint8_t*>(addr), size, f.width, f.height, f.stride, f.seq);
    c.result = reinterpret_cast<uintptr_t>(addr);
    c.s.mappings[c.result] = Mapping{size, length, phys};
}

AXSIM_RULE(AX_SYS_Munmap) {
    auto it = c.s.mappings.find(reinterpret_cast<uintptr_t>(addr));
    c.refuse_if(it == c.s.mappings.end(), Kind::kNotExist,
                "{} is not a mapping made by AX_SYS_Mmap", addr);
    c.refuse_if(it->second.size != size, Kind::kIllegalParam, "size {} differs from the mapped {}",
                size, it->second.size);
    ::munmap(addr, it->second.length);
    c.s.mappings.erase(it);
}

}  // namespace rule
}  // namespace axsim::detail
