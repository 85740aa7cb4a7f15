// The dummy sensor object's layout, private to the substitute (the service only passes its
// address on).
#pragma once

#include <cstdint>

#include "media/ax_sdk.h"

// Marks an object made by the substitute's sensor library.
inline constexpr uint32_t kDummySensorMagic = 0x534E5344;  // "DSNS"

struct AX_SENSOR_REGISTER_FUNC_T {
    uint32_t magic;
    char name[28];
    int32_t (*pfn_sensor_reset)(uint8_t pipe);
    int32_t (*pfn_sensor_init)(uint8_t pipe);
    int32_t (*pfn_sensor_exit)(uint8_t pipe);
};
