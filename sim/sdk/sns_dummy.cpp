// libsns_dummy.so: the dummy sensor object registered with the ISP. A bridge delivers finished
// YUV pictures, so the sensor has nothing to program.
#include "sim/sdk/sensor.h"

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
