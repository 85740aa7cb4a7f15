// MIPI receiver of the substitute SDK (state in libax_sys, entry points in libax_mipi).
#include <cstring>

#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kLaneCombos = 2;  // combination modes the receiver knows
constexpr int32_t kMaxLanes = 4;
constexpr int8_t kPhysicalLanes = 8;

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
MipiDev& configured(Call& c, uint8_t dev) {
    auto it = c.s.mipi_devs.find(dev);
    c.refuse_if(it == c.s.mipi_devs.end() || !it->second.attr_set, Kind::kNotConfig,
                "device {} has no attributes", dev);
    return it->second;
}

// Refuses while a device of the receiver is started.
void check_stopped(Call& c, bool still) {
    for (const auto& [dev, m] : c.s.mipi_devs) {
        c.refuse_if(m.started, Kind::kBusy, "device {} {}started", dev, still ? "still " : "");
    }
}

}  // namespace

void trace(Call& c, const AX_MIPI_RX_DEV_T& a, std::string_view) {
    AXSIM_MEMBERS(c, a, eInputMode, ePhyMode, eLaneNum, nDataRate, nDataLaneMap, nClkLane);
}

namespace rule {

AXSIM_RULE(AX_MIPI_RX_Init) {
    c.s.mipi = true;
}

AXSIM_RULE(AX_MIPI_RX_DeInit) {
    check_stopped(c, true);
    for (const auto& [dev, d] : c.s.devs) {
        c.refuse_if(d.mipi >= 0, Kind::kBusy, "video input device {} still bound to device {}", dev,
                    d.mipi);
    }
    c.s.mipi = false;
    c.s.mipi_devs.clear();
}

AXSIM_RULE(AX_MIPI_RX_SetLaneCombo) {
    c.refuse_if(mode < 0 || mode >= kLaneCombos, Kind::kIllegalParam, "lane combination {}", mode);
    check_stopped(c, false);
}

AXSIM_RULE(AX_MIPI_RX_SetAttr) {
    MipiDev& m = c.s.mipi_devs[dev];
    c.refuse_if(m.started, Kind::kBusy, "device {} started", dev);
    check_attr(c, *attr);
    m.attr = *attr;
    m.attr_set = true;
}

AXSIM_RULE(AX_MIPI_RX_Reset) {
    (void)configured(c, dev);
}

AXSIM_RULE(AX_MIPI_RX_Start) {
    MipiDev& m = configured(c, dev);
    c.refuse_if(m.started, Kind::kExist, "device {} already started", dev);
    m.started = true;
}

AXSIM_RULE(AX_MIPI_RX_Stop) {
    auto it = c.s.mipi_devs.find(dev);
    c.refuse_if(it == c.s.mipi_devs.end() || !it->second.started, Kind::kNotReady,
                "device {} not started", dev);
    for (const auto& [vin_dev, d] : c.s.devs) {
        c.refuse_if(d.mipi == dev && d.enabled, Kind::kBusy, "video input device {} still enabled",
                    vin_dev);
    }
    it->second.started = false;
}

}  // namespace rule
}  // namespace axsim::detail
