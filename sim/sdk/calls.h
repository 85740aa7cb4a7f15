// The substitute's implementation of every SDK call, in libax_sys; the vendor-named entry points
// of libax_mipi, libax_ivps and libax_proton forward here so all modules share one state.
#pragma once

#include <cstdint>

#include "media/ax_sdk.h"

#define AXSIM_EXPORT __attribute__((visibility("default")))

namespace axsim::detail {

AXSIM_EXPORT int32_t mipi_rx_init();
AXSIM_EXPORT int32_t mipi_rx_deinit();
AXSIM_EXPORT int32_t mipi_rx_set_lane_combo(int32_t mode);
AXSIM_EXPORT int32_t mipi_rx_set_attr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr);
AXSIM_EXPORT int32_t mipi_rx_reset(uint8_t dev);
AXSIM_EXPORT int32_t mipi_rx_start(uint8_t dev);
AXSIM_EXPORT int32_t mipi_rx_stop(uint8_t dev);

AXSIM_EXPORT int32_t vin_init();
AXSIM_EXPORT int32_t vin_deinit();
AXSIM_EXPORT int32_t vin_create_dev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr);
AXSIM_EXPORT int32_t vin_set_dev_attr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr);
AXSIM_EXPORT int32_t vin_set_dev_bind_pipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind);
AXSIM_EXPORT int32_t vin_set_dev_bind_mipi(uint8_t dev, uint8_t mipi_dev);
AXSIM_EXPORT int32_t vin_create_pipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr);
AXSIM_EXPORT int32_t vin_set_pipe_attr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr);
AXSIM_EXPORT int32_t vin_set_chn_attr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr);
AXSIM_EXPORT int32_t vin_set_chn_frame_mode(uint8_t pipe, int32_t chn, int32_t mode);
AXSIM_EXPORT int32_t vin_enable_chn(uint8_t pipe, int32_t chn);
AXSIM_EXPORT int32_t vin_disable_chn(uint8_t pipe, int32_t chn);
AXSIM_EXPORT int32_t vin_start_pipe(uint8_t pipe);
AXSIM_EXPORT int32_t vin_stop_pipe(uint8_t pipe);
AXSIM_EXPORT int32_t vin_enable_dev(uint8_t dev);
AXSIM_EXPORT int32_t vin_disable_dev(uint8_t dev);
AXSIM_EXPORT int32_t vin_destroy_pipe(uint8_t pipe);
AXSIM_EXPORT int32_t vin_destroy_dev(uint8_t dev);
AXSIM_EXPORT int32_t vin_get_yuv_frame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                                       int32_t timeout_ms);
AXSIM_EXPORT int32_t vin_release_yuv_frame(uint8_t pipe, int32_t chn,
                                           const AX_VIDEO_FRAME_INFO_T* frame);

AXSIM_EXPORT int32_t isp_register_sensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor);
AXSIM_EXPORT int32_t isp_unregister_sensor(uint8_t pipe);
AXSIM_EXPORT int32_t isp_set_sns_attr(uint8_t pipe, const AX_SNS_ATTR_T* attr);
AXSIM_EXPORT int32_t isp_create(uint8_t pipe);
AXSIM_EXPORT int32_t isp_destroy(uint8_t pipe);
AXSIM_EXPORT int32_t isp_open(uint8_t pipe);
AXSIM_EXPORT int32_t isp_close(uint8_t pipe);
AXSIM_EXPORT int32_t isp_start(uint8_t pipe);
AXSIM_EXPORT int32_t isp_stop(uint8_t pipe);
AXSIM_EXPORT int32_t isp_stream_on(uint8_t pipe);
AXSIM_EXPORT int32_t isp_stream_off(uint8_t pipe);

AXSIM_EXPORT int32_t ivps_init();
AXSIM_EXPORT int32_t ivps_deinit();
AXSIM_EXPORT int32_t ivps_create_grp(int32_t grp, const AX_IVPS_GRP_ATTR_T* attr);
AXSIM_EXPORT int32_t ivps_destroy_grp(int32_t grp);
AXSIM_EXPORT int32_t ivps_set_pipeline_attr(int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr);
AXSIM_EXPORT int32_t ivps_enable_chn(int32_t grp, int32_t chn);
AXSIM_EXPORT int32_t ivps_disable_chn(int32_t grp, int32_t chn);
AXSIM_EXPORT int32_t ivps_start_grp(int32_t grp);
AXSIM_EXPORT int32_t ivps_stop_grp(int32_t grp);

}  // namespace axsim::detail
