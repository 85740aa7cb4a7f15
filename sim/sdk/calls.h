// Every SDK call the substitute implements, once: its library, return type, parameters and the
// arguments it forwards. libax_sys holds the state and the implementation of every call (as
// axsim::detail::NAME); each library's vendor-named entry points forward there (entry.cpp), so all
// modules share one state. The order is known_calls()'s.
#pragma once

#include <cstdint>

#include "media/ax_sdk.h"

// Short forms for the common parameter lists.
#define AXSIM_VOID(X, name) X(int32_t, name, (void), ())
#define AXSIM_DEV(X, name) X(int32_t, name, (uint8_t dev), (dev))
#define AXSIM_PIPE(X, name) X(int32_t, name, (uint8_t pipe), (pipe))
#define AXSIM_CHN(X, name) X(int32_t, name, (uint8_t pipe, int32_t chn), (pipe, chn))
#define AXSIM_GRP(X, name) X(int32_t, name, (int32_t grp), (grp))
#define AXSIM_GRP_CHN(X, name) X(int32_t, name, (int32_t grp, int32_t chn), (grp, chn))
#define AXSIM_LINK(X, name) \
    X(int32_t, name, (const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst), (src, dst))

#define AXSIM_SYS_CALLS(X)                                                          \
    AXSIM_VOID(X, AX_SYS_Init)                                                      \
    AXSIM_VOID(X, AX_SYS_Deinit)                                                    \
    AXSIM_VOID(X, AX_POOL_Exit)                                                     \
    X(int32_t, AX_POOL_SetConfig, (const AX_POOL_FLOORPLAN_T* plan), (plan))        \
    AXSIM_VOID(X, AX_POOL_Init)                                                     \
    AXSIM_LINK(X, AX_SYS_Link)                                                      \
    AXSIM_LINK(X, AX_SYS_UnLink)                                                    \
        X(void*, AX_SYS_Mmap, (uint64_t phy_addr, uint32_t size), (phy_addr, size)) \
            X(int32_t, AX_SYS_Munmap, (void* virt_addr, uint32_t size), (virt_addr, size))

#define AXSIM_MIPI_CALLS(X)                                                                  \
    AXSIM_VOID(X, AX_MIPI_RX_Init)                                                           \
    AXSIM_VOID(X, AX_MIPI_RX_DeInit)                                                         \
    X(int32_t, AX_MIPI_RX_SetLaneCombo, (int32_t mode), (mode))                              \
    X(int32_t, AX_MIPI_RX_SetAttr, (uint8_t dev, const AX_MIPI_RX_DEV_T* attr), (dev, attr)) \
    AXSIM_DEV(X, AX_MIPI_RX_Reset) AXSIM_DEV(X, AX_MIPI_RX_Start) AXSIM_DEV(X, AX_MIPI_RX_Stop)

#define AXSIM_PROTON_CALLS(X)                                                                      \
    AXSIM_VOID(X, AX_VIN_Init)                                                                     \
    AXSIM_VOID(X, AX_VIN_Deinit)                                                                   \
    X(int32_t, AX_VIN_CreateDev, (uint8_t dev, const AX_VIN_DEV_ATTR_T* attr), (dev, attr))        \
    X(int32_t, AX_VIN_SetDevAttr, (uint8_t dev, const AX_VIN_DEV_ATTR_T* attr), (dev, attr))       \
    X(int32_t, AX_VIN_SetDevBindPipe, (uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind),           \
      (dev, bind)) X(int32_t, AX_VIN_SetDevBindMipi, (uint8_t dev, uint8_t mipi_dev),              \
                     (dev, mipi_dev)) X(int32_t, AX_VIN_CreatePipe,                                \
                                        (uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr),            \
                                        (pipe, attr))                                              \
        X(int32_t, AX_VIN_SetPipeAttr, (uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr),             \
          (pipe, attr)) X(int32_t, AX_VIN_SetChnAttr,                                              \
                          (uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr),              \
                          (pipe, chn, attr)) X(int32_t, AX_VIN_SetChnFrameMode,                    \
                                               (uint8_t pipe, int32_t chn, int32_t mode),          \
                                               (pipe, chn, mode)) AXSIM_CHN(X, AX_VIN_EnableChn)   \
            AXSIM_CHN(X, AX_VIN_DisableChn) AXSIM_PIPE(X, AX_VIN_StartPipe) AXSIM_PIPE(            \
                X, AX_VIN_StopPipe) AXSIM_DEV(X, AX_VIN_EnableDev) AXSIM_DEV(X, AX_VIN_DisableDev) \
                AXSIM_PIPE(X, AX_VIN_DestroyPipe) AXSIM_DEV(X, AX_VIN_DestroyDev) X(               \
                    int32_t, AX_VIN_GetYuvFrame,                                                   \
                    (uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T * frame,                     \
                     int32_t timeout_ms),                                                          \
                    (pipe, chn, frame, timeout_ms))                                                \
                    X(int32_t, AX_VIN_ReleaseYuvFrame,                                             \
                      (uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame),             \
                      (pipe, chn, frame)) X(int32_t, AX_ISP_RegisterSensor,                        \
                                            (uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T * sensor),    \
                                            (pipe, sensor)) AXSIM_PIPE(X, AX_ISP_UnRegisterSensor) \
                        X(int32_t, AX_ISP_SetSnsAttr, (uint8_t pipe, const AX_SNS_ATTR_T* attr),   \
                          (pipe, attr)) AXSIM_PIPE(X, AX_ISP_Create) AXSIM_PIPE(X, AX_ISP_Destroy) \
                            AXSIM_PIPE(X, AX_ISP_Open) AXSIM_PIPE(X, AX_ISP_Close)                 \
                                AXSIM_PIPE(X, AX_ISP_Start) AXSIM_PIPE(X, AX_ISP_Stop)             \
                                    AXSIM_PIPE(X, AX_ISP_StreamOn) AXSIM_PIPE(X, AX_ISP_StreamOff)

#define AXSIM_IVPS_CALLS(X)                                                                   \
    AXSIM_VOID(X, AX_IVPS_Init)                                                               \
    AXSIM_VOID(X, AX_IVPS_Deinit)                                                             \
    X(int32_t, AX_IVPS_CreateGrp, (int32_t grp, const AX_IVPS_GRP_ATTR_T* attr), (grp, attr)) \
    AXSIM_GRP(X, AX_IVPS_DestoryGrp)                                                          \
    X(int32_t, AX_IVPS_SetPipelineAttr, (int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr),   \
      (grp, attr))                                                                            \
    AXSIM_GRP_CHN(X, AX_IVPS_EnableChn)                                                       \
    AXSIM_GRP_CHN(X, AX_IVPS_DisableChn)                                                      \
    AXSIM_GRP(X, AX_IVPS_StartGrp) AXSIM_GRP(X, AX_IVPS_StopGrp)

#define AXSIM_CALLS(X) \
    AXSIM_SYS_CALLS(X) AXSIM_MIPI_CALLS(X) AXSIM_PROTON_CALLS(X) AXSIM_IVPS_CALLS(X)

namespace axsim::detail {

#define AXSIM_DECLARE(ret, name, params, args) \
    __attribute__((visibility("default"))) ret name params;
AXSIM_CALLS(AXSIM_DECLARE)
#undef AXSIM_DECLARE

}  // namespace axsim::detail
