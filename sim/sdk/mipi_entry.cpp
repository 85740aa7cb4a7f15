// Vendor-named entry points of libax_mipi.so; the state lives in libax_sys.
#include "media/ax_sdk.h"
#include "sim/sdk/calls.h"

using namespace axsim::detail;

extern "C" {

int32_t AX_MIPI_RX_Init(void) {
    return mipi_rx_init();
}
int32_t AX_MIPI_RX_DeInit(void) {
    return mipi_rx_deinit();
}
int32_t AX_MIPI_RX_SetLaneCombo(int32_t mode) {
    return mipi_rx_set_lane_combo(mode);
}
int32_t AX_MIPI_RX_SetAttr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr) {
    return mipi_rx_set_attr(dev, attr);
}
int32_t AX_MIPI_RX_Reset(uint8_t dev) {
    return mipi_rx_reset(dev);
}
int32_t AX_MIPI_RX_Start(uint8_t dev) {
    return mipi_rx_start(dev);
}
int32_t AX_MIPI_RX_Stop(uint8_t dev) {
    return mipi_rx_stop(dev);
}

}  // extern "C"
