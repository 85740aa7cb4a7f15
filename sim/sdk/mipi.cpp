// MIPI receiver of the substitute SDK (state in libax_sys, entry points in libax_mipi).
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kLaneCombos = 2;  // combination modes the receiver knows
constexpr int32_t kMaxLanes = 4;
constexpr int8_t kPhysicalLanes = 8;

void trace_attr(Call& c, const AX_MIPI_RX_DEV_T& a) {
    c.member("eInputMode", a.eInputMode);
    c.member("ePhyMode", a.ePhyMode);
    c.member("eLaneNum", a.eLaneNum);
    c.member("nDataRate", a.nDataRate);
    c.member("nDataLaneMap", list(a.nDataLaneMap));
    c.member("nClkLane", list(a.nClkLane));
}

// Lane numbers used for data and clock must be real lanes and used once each.
std::string check_attr(const AX_MIPI_RX_DEV_T& a) {
    if (a.eLaneNum != 1 && a.eLaneNum != 2 && a.eLaneNum != kMaxLanes) {
        return fmt::format("{} data lanes (1, 2 or 4 possible)", a.eLaneNum);
    }
    if (a.nDataRate <= 0) {
        return fmt::format("data rate {}", a.nDataRate);
    }
    std::array<bool, kPhysicalLanes> taken{};
    auto take = [&](int8_t lane) {
        if (lane < 0 || lane >= kPhysicalLanes || taken[static_cast<size_t>(lane)]) {
            return false;
        }
        taken[static_cast<size_t>(lane)] = true;
        return true;
    };
    for (int32_t i = 0; i < a.eLaneNum; ++i) {
        if (!take(a.nDataLaneMap[i])) {
            return fmt::format("data lane {} mapped to invalid or repeated lane {}", i,
                               a.nDataLaneMap[i]);
        }
    }
    if (!take(a.nClkLane[0])) {
        return fmt::format("clock lane {} invalid or also a data lane", a.nClkLane[0]);
    }
    return {};
}

MipiDev* find_dev(Call& c) {
    auto it = c.s.mipi_devs.find(static_cast<uint8_t>(c.id()));
    return it == c.s.mipi_devs.end() ? nullptr : &it->second;
}

// Refuses while a device of the receiver is started.
int32_t check_stopped(Call& c, const char* reason) {
    for (const auto& [dev, m] : c.s.mipi_devs) {
        if (int32_t st = c.check({{m.started, Kind::kBusy, reason}}, dev)) {
            return st;
        }
    }
    return 0;
}

constexpr Spec kDevCall(const char* name) {
    return {name, Module::kMipi, Need::kMipiDevId};
}

}  // namespace

int32_t AX_MIPI_RX_Init() {
    return run({__func__, Module::kMipi, Need::kSys}, {}, [](Call& c) {
        if (int32_t st = c.check({{c.s.mipi, Kind::kExist, "receiver already initialised"}})) {
            return st;
        }
        c.s.mipi = true;
        c.s.lane_combo = 0;  // the receiver's default combination
        return 0;
    });
}

int32_t AX_MIPI_RX_DeInit() {
    return run({__func__, Module::kMipi, Need::kMipi}, {}, [](Call& c) {
        if (int32_t st = check_stopped(c, "device {} still started")) {
            return st;
        }
        for (const auto& [dev, d] : c.s.devs) {
            if (d.mipi >= 0) {
                return c.refuse(
                    Kind::kBusy,
                    fmt::format("video input device {} still bound to device {}", dev, d.mipi));
            }
        }
        c.s.mipi = false;
        c.s.mipi_devs.clear();
        c.s.lane_combo = -1;
        return 0;
    });
}

int32_t AX_MIPI_RX_SetLaneCombo(int32_t mode) {
    return run({__func__, Module::kMipi, Need::kMipi}, {{"mode", mode}}, [=](Call& c) {
        if (int32_t st = c.check(
                {{mode < 0 || mode >= kLaneCombos, Kind::kIllegalParam, "lane combination {}"}})) {
            return st;
        }
        if (int32_t st = check_stopped(c, "device {} started")) {
            return st;
        }
        c.s.lane_combo = mode;
        return 0;
    });
}

int32_t AX_MIPI_RX_SetAttr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr) {
    return run(kDevCall(__func__), {{"dev", dev}}, In{attr, trace_attr},
               [=](Call& c, const AX_MIPI_RX_DEV_T& a) {
                   MipiDev& m = c.s.mipi_devs[dev];
                   if (int32_t st = c.check({{m.started, Kind::kBusy, "device {} started"}})) {
                       return st;
                   }
                   if (std::string why = check_attr(a); !why.empty()) {
                       return c.refuse(Kind::kIllegalParam, why);
                   }
                   m.attr = a;
                   m.attr_set = true;
                   return 0;
               });
}

int32_t AX_MIPI_RX_Reset(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [](Call& c) {
        MipiDev* m = find_dev(c);
        if (int32_t st = c.check({{m == nullptr || !m->attr_set, Kind::kNotConfig,
                                   "device {} has no attributes"}})) {
            return st;
        }
        m->reset = true;
        return 0;
    });
}

int32_t AX_MIPI_RX_Start(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [](Call& c) {
        MipiDev* m = find_dev(c);
        bool configured = m != nullptr && m->attr_set;
        if (int32_t st =
                c.check({{!configured, Kind::kNotConfig, "device {} has no attributes"},
                         {configured && m->started, Kind::kExist, "device {} already started"}})) {
            return st;
        }
        m->started = true;
        return 0;
    });
}

int32_t AX_MIPI_RX_Stop(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [=](Call& c) {
        MipiDev* m = find_dev(c);
        if (int32_t st = c.check(
                {{m == nullptr || !m->started, Kind::kNotReady, "device {} not started"}})) {
            return st;
        }
        for (const auto& [vin_dev, d] : c.s.devs) {
            if (int32_t st = c.check({{d.mipi == dev && d.enabled, Kind::kBusy,
                                       "video input device {} still enabled"}},
                                     vin_dev)) {
                return st;
            }
        }
        m->started = false;
        m->reset = false;
        return 0;
    });
}

}  // namespace axsim::detail
