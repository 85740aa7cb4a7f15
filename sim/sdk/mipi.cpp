// MIPI receiver of the substitute SDK (state in libax_sys, entry points in libax_mipi).
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kLaneCombos = 2;  // combination modes the receiver knows
constexpr int32_t kMaxLanes = 4;
constexpr int8_t kPhysicalLanes = 8;

void trace_attr(Call& c, const AX_MIPI_RX_DEV_T& a) {
    c.members("eInputMode", a.eInputMode, "ePhyMode", a.ePhyMode, "eLaneNum", a.eLaneNum,
              "nDataRate", a.nDataRate, "nDataLaneMap", list(a.nDataLaneMap), "nClkLane",
              list(a.nClkLane));
}

// Lane numbers used for data and clock must be real lanes and used once each.
void check_attr(Call& c, const AX_MIPI_RX_DEV_T& a) {
    c.refuse_if(a.eLaneNum != 1 && a.eLaneNum != 2 && a.eLaneNum != kMaxLanes, Kind::kIllegalParam,
                "{} data lanes (1, 2 or 4 possible)", a.eLaneNum);
    c.refuse_if(a.nDataRate <= 0, Kind::kIllegalParam, "data rate {}", a.nDataRate);
    std::array<bool, kPhysicalLanes> taken{};
    auto take = [&](int8_t lane) {
        if (lane < 0 || lane >= kPhysicalLanes || taken[static_cast<size_t>(lane)]) {
            return false;
        }
        taken[static_cast<size_t>(lane)] = true;
        return true;
    };
    for (int32_t i = 0; i < a.eLaneNum; ++i) {
        c.refuse_if(!take(a.nDataLaneMap[i]), Kind::kIllegalParam,
                    "data lane {} mapped to invalid or repeated lane {}", i, a.nDataLaneMap[i]);
    }
    c.refuse_if(!take(a.nClkLane[0]), Kind::kIllegalParam,
                "clock lane {} invalid or also a data lane", a.nClkLane[0]);
}

// The call's device when it has attributes; refused otherwise.
MipiDev& configured(Call& c) {
    auto it = c.s.mipi_devs.find(static_cast<uint8_t>(c.id()));
    c.refuse_if(it == c.s.mipi_devs.end() || !it->second.attr_set, Kind::kNotConfig,
                "device {} has no attributes", c.id());
    return it->second;
}

// Refuses while a device of the receiver is started.
void check_stopped(Call& c, bool still) {
    for (const auto& [dev, m] : c.s.mipi_devs) {
        c.refuse_if(m.started, Kind::kBusy, "device {} {}started", dev, still ? "still " : "");
    }
}

constexpr CallInfo kDevCall(const char* name) {
    return {name, Module::kMipi, Need::kMipiDevId};
}

}  // namespace

int32_t AX_MIPI_RX_Init() {
    return init_module({__func__, Module::kMipi, Need::kSys}, &State::mipi, "receiver");
}

int32_t AX_MIPI_RX_DeInit() {
    return run({__func__, Module::kMipi, Need::kMipi}, {}, [](Call& c) {
        check_stopped(c, true);
        for (const auto& [dev, d] : c.s.devs) {
            c.refuse_if(d.mipi >= 0, Kind::kBusy, "video input device {} still bound to device {}",
                        dev, d.mipi);
        }
        c.s.mipi = false;
        c.s.mipi_devs.clear();
    });
}

int32_t AX_MIPI_RX_SetLaneCombo(int32_t mode) {
    return run({__func__, Module::kMipi, Need::kMipi}, {{"mode", mode}}, [=](Call& c) {
        c.refuse_if(mode < 0 || mode >= kLaneCombos, Kind::kIllegalParam, "lane combination {}",
                    mode);
        check_stopped(c, false);
    });
}

int32_t AX_MIPI_RX_SetAttr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr) {
    return run(kDevCall(__func__), {{"dev", dev}}, In{attr, trace_attr},
               [=](Call& c, const AX_MIPI_RX_DEV_T& a) {
                   MipiDev& m = c.s.mipi_devs[dev];
                   c.refuse_if(m.started, Kind::kBusy, "device {} started", dev);
                   check_attr(c, a);
                   m.attr = a;
                   m.attr_set = true;
               });
}

int32_t AX_MIPI_RX_Reset(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [](Call& c) { (void)configured(c); });
}

int32_t AX_MIPI_RX_Start(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [=](Call& c) {
        MipiDev& m = configured(c);
        c.refuse_if(m.started, Kind::kExist, "device {} already started", dev);
        m.started = true;
    });
}

int32_t AX_MIPI_RX_Stop(uint8_t dev) {
    return run(kDevCall(__func__), {{"dev", dev}}, [=](Call& c) {
        auto it = c.s.mipi_devs.find(dev);
        c.refuse_if(it == c.s.mipi_devs.end() || !it->second.started, Kind::kNotReady,
                    "device {} not started", dev);
        for (const auto& [vin_dev, d] : c.s.devs) {
            c.refuse_if(d.mipi == dev && d.enabled, Kind::kBusy,
                        "video input device {} still enabled", vin_dev);
        }
        it->second.started = false;
    });
}

}  // namespace axsim::detail
