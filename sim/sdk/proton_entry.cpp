// Vendor-named entry points of libax_proton.so (video input and ISP); the state lives in
// libax_sys.
#include "media/ax_sdk.h"
#include "sim/sdk/calls.h"

using namespace axsim::detail;

extern "C" {

int32_t AX_VIN_Init(void) {
    return vin_init();
}
int32_t AX_VIN_Deinit(void) {
    return vin_deinit();
}
int32_t AX_VIN_CreateDev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return vin_create_dev(dev, attr);
}
int32_t AX_VIN_SetDevAttr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr) {
    return vin_set_dev_attr(dev, attr);
}
int32_t AX_VIN_SetDevBindPipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind) {
    return vin_set_dev_bind_pipe(dev, bind);
}
int32_t AX_VIN_SetDevBindMipi(uint8_t dev, uint8_t mipi_dev) {
    return vin_set_dev_bind_mipi(dev, mipi_dev);
}
int32_t AX_VIN_CreatePipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return vin_create_pipe(pipe, attr);
}
int32_t AX_VIN_SetPipeAttr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr) {
    return vin_set_pipe_attr(pipe, attr);
}
int32_t AX_VIN_SetChnAttr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr) {
    return vin_set_chn_attr(pipe, chn, attr);
}
int32_t AX_VIN_SetChnFrameMode(uint8_t pipe, int32_t chn, int32_t mode) {
    return vin_set_chn_frame_mode(pipe, chn, mode);
}
int32_t AX_VIN_EnableChn(uint8_t pipe, int32_t chn) {
    return vin_enable_chn(pipe, chn);
}
int32_t AX_VIN_DisableChn(uint8_t pipe, int32_t chn) {
    return vin_disable_chn(pipe, chn);
}
int32_t AX_VIN_StartPipe(uint8_t pipe) {
    return vin_start_pipe(pipe);
}
int32_t AX_VIN_StopPipe(uint8_t pipe) {
    return vin_stop_pipe(pipe);
}
int32_t AX_VIN_EnableDev(uint8_t dev) {
    return vin_enable_dev(dev);
}
int32_t AX_VIN_DisableDev(uint8_t dev) {
    return vin_disable_dev(dev);
}
int32_t AX_VIN_DestroyPipe(uint8_t pipe) {
    return vin_destroy_pipe(pipe);
}
int32_t AX_VIN_DestroyDev(uint8_t dev) {
    return vin_destroy_dev(dev);
}
int32_t AX_VIN_GetYuvFrame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                           int32_t timeout_ms) {
    return vin_get_yuv_frame(pipe, chn, frame, timeout_ms);
}
int32_t AX_VIN_ReleaseYuvFrame(uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame) {
    return vin_release_yuv_frame(pipe, chn, frame);
}

int32_t AX_ISP_RegisterSensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    return isp_register_sensor(pipe, sensor);
}
int32_t AX_ISP_UnRegisterSensor(uint8_t pipe) {
    return isp_unregister_sensor(pipe);
}
int32_t AX_ISP_SetSnsAttr(uint8_t pipe, const AX_SNS_ATTR_T* attr) {
    return isp_set_sns_attr(pipe, attr);
}
int32_t AX_ISP_Create(uint8_t pipe) {
    return isp_create(pipe);
}
int32_t AX_ISP_Destroy(uint8_t pipe) {
    return isp_destroy(pipe);
}
int32_t AX_ISP_Open(uint8_t pipe) {
    return isp_open(pipe);
}
int32_t AX_ISP_Close(uint8_t pipe) {
    return isp_close(pipe);
}
int32_t AX_ISP_Start(uint8_t pipe) {
    return isp_start(pipe);
}
int32_t AX_ISP_Stop(uint8_t pipe) {
    return isp_stop(pipe);
}
int32_t AX_ISP_StreamOn(uint8_t pipe) {
    return isp_stream_on(pipe);
}
int32_t AX_ISP_StreamOff(uint8_t pipe) {
    return isp_stream_off(pipe);
}

}  // extern "C"
