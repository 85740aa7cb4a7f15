// libsns_dummy.so: the dummy sensor object registered with the ISP. A bridge delivers finished
// YUV pictures, so the sensor has nothing to program. Its layout is the substitute's own (the
// service only passes its address on).
#include <cstdint>

#include "sdk/ax_sdk.h"

// Marks an object made by the substitute's sensor library.
constexpr uint32_t kDummySensorMagic = 0x534E5344;  // "DSNS"

struct AX_SENSOR_REGISTER_FUNC_T {
    uint32_t magic;
    char name[28];
    int32_t (*pfn_sensor_reset)(uint8_t pipe);
    int32_t (*pfn_sensor_init)(uint8_t pipe);
    int32_t (*pfn_sensor_exit)(uint8_t pipe);
};

namespace {

int32_t nothing_to_do(uint8_t /*pipe*/) {
    return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) AX_SENSOR_REGISTER_FUNC_T gSnsdummyObj = {
    kDummySensorMagic, "dummy", nothing_to_do, nothing_to_do, nothing_to_do,
};

}  // extern "C"
