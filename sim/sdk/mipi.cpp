// MIPI receiver of the substitute SDK (state in libax_sys, entry points in libax_mipi).
#include <cstring>

#include "sim/sdk/calls.h"
#include "sim/sdk/core.h"

namespace axsim::detail {
namespace {

constexpr int32_t kNotInit = err(Module::kMipi, Kind::kNotInit);
constexpr int32_t kLaneCombos = 2;  // combination modes the receiver knows
constexpr int32_t kMaxLanes = 4;
constexpr int8_t kPhysicalLanes = 8;

void trace_attr(CallScope& c, const AX_MIPI_RX_DEV_T& a) {
    c.member("eInputMode", a.eInputMode);
    c.member("ePhyMode", a.ePhyMode);
    c.member("eLaneNum", a.eLaneNum);
    c.member("nDataRate", a.nDataRate);
    c.member("nDataLaneMap", fmt::format("{},{},{},{}", a.nDataLaneMap[0], a.nDataLaneMap[1],
                                         a.nDataLaneMap[2], a.nDataLaneMap[3]));
    c.member("nClkLane", fmt::format("{},{}", a.nClkLane[0], a.nClkLane[1]));
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

}  // namespace

int32_t mipi_rx_init() {
    CallScope c("AX_MIPI_RX_Init");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.sys) {
        return c.reject(kNotInit, "media system not initialised");
    }
    if (s.mipi) {
        return c.reject(err(Module::kMipi, Kind::kExist), "receiver already initialised");
    }
    s.mipi = true;
    s.lane_combo = 0;  // the receiver's default combination
    return c.ok();
}

int32_t mipi_rx_deinit() {
    CallScope c("AX_MIPI_RX_DeInit");
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    for (const auto& [dev, m] : s.mipi_devs) {
        if (m.started) {
            return c.reject(err(Module::kMipi, Kind::kBusy),
                            fmt::format("device {} still started", dev));
        }
    }
    for (const auto& [dev, d] : s.devs) {
        if (d.mipi >= 0) {
            return c.reject(
                err(Module::kMipi, Kind::kBusy),
                fmt::format("video input device {} still bound to device {}", dev, d.mipi));
        }
    }
    s.mipi = false;
    s.mipi_devs.clear();
    s.lane_combo = -1;
    return c.ok();
}

int32_t mipi_rx_set_lane_combo(int32_t mode) {
    CallScope c("AX_MIPI_RX_SetLaneCombo");
    c.arg("mode", mode);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    if (mode < 0 || mode >= kLaneCombos) {
        return c.reject(err(Module::kMipi, Kind::kIllegalParam),
                        fmt::format("lane combination {}", mode));
    }
    for (const auto& [dev, m] : s.mipi_devs) {
        if (m.started) {
            return c.reject(err(Module::kMipi, Kind::kBusy), fmt::format("device {} started", dev));
        }
    }
    s.lane_combo = mode;
    return c.ok();
}

int32_t mipi_rx_set_attr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr) {
    CallScope c("AX_MIPI_RX_SetAttr");
    c.arg("dev", dev);
    if (attr != nullptr) {
        c.record(attr, sizeof(*attr));
        trace_attr(c, *attr);
    } else {
        c.member("attr", "null");
    }
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    if (dev >= kMipiDevs) {
        return c.reject(err(Module::kMipi, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    if (attr == nullptr) {
        return c.reject(err(Module::kMipi, Kind::kNullPtr), "null attributes");
    }
    MipiDev& m = s.mipi_devs[dev];
    if (m.started) {
        return c.reject(err(Module::kMipi, Kind::kBusy), fmt::format("device {} started", dev));
    }
    if (std::string why = check_attr(*attr); !why.empty()) {
        return c.reject(err(Module::kMipi, Kind::kIllegalParam), why);
    }
    m.attr = *attr;
    m.attr_set = true;
    return c.ok();
}

int32_t mipi_rx_reset(uint8_t dev) {
    CallScope c("AX_MIPI_RX_Reset");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    if (dev >= kMipiDevs) {
        return c.reject(err(Module::kMipi, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    auto it = s.mipi_devs.find(dev);
    if (it == s.mipi_devs.end() || !it->second.attr_set) {
        return c.reject(err(Module::kMipi, Kind::kNotConfig),
                        fmt::format("device {} has no attributes", dev));
    }
    it->second.reset = true;
    return c.ok();
}

int32_t mipi_rx_start(uint8_t dev) {
    CallScope c("AX_MIPI_RX_Start");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    if (dev >= kMipiDevs) {
        return c.reject(err(Module::kMipi, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    auto it = s.mipi_devs.find(dev);
    if (it == s.mipi_devs.end() || !it->second.attr_set) {
        return c.reject(err(Module::kMipi, Kind::kNotConfig),
                        fmt::format("device {} has no attributes", dev));
    }
    if (it->second.started) {
        return c.reject(err(Module::kMipi, Kind::kExist),
                        fmt::format("device {} already started", dev));
    }
    it->second.started = true;
    return c.ok();
}

int32_t mipi_rx_stop(uint8_t dev) {
    CallScope c("AX_MIPI_RX_Stop");
    c.arg("dev", dev);
    if (c.injected()) {
        return c.finish();
    }
    State& s = c.state();
    if (!s.mipi) {
        return c.reject(kNotInit, "receiver not initialised");
    }
    if (dev >= kMipiDevs) {
        return c.reject(err(Module::kMipi, Kind::kInvalidId), fmt::format("device {}", dev));
    }
    auto it = s.mipi_devs.find(dev);
    if (it == s.mipi_devs.end() || !it->second.started) {
        return c.reject(err(Module::kMipi, Kind::kNotReady),
                        fmt::format("device {} not started", dev));
    }
    for (const auto& [vin_dev, d] : s.devs) {
        if (d.mipi == dev && d.enabled) {
            return c.reject(err(Module::kMipi, Kind::kBusy),
                            fmt::format("video input device {} still enabled", vin_dev));
        }
    }
    it->second.started = false;
    it->second.reset = false;
    return c.ok();
}

}  // namespace axsim::detail
