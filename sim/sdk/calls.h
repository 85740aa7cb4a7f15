// Every SDK call the substitute implements, with its signature and the arguments it forwards.
// Which calls exist, in which library and in which order comes from the SDK's list of calls
// (sdk/calls.list, as the generated sdk/sdk_calls.h): a call on the list without a signature
// here does not compile. libax_sys holds the state and the implementation of every call (as
// axsim::detail::NAME); each library's vendor-named entry points forward there (entry.cpp), so
// all modules share one state. The order is known_calls()'s.
#pragma once

#include <cstdint>

#include "sdk/ax_sdk.h"
#include "sdk/sdk_calls.h"

// Short forms for the common parameter lists.
// clang-format off
#define AXSIM_VOID(X, name) X(int32_t, name, (void), ())
#define AXSIM_DEV(X, name) X(int32_t, name, (uint8_t dev), (dev))
#define AXSIM_PIPE(X, name) X(int32_t, name, (uint8_t pipe), (pipe))
#define AXSIM_CHN(X, name) X(int32_t, name, (uint8_t pipe, int32_t chn), (pipe, chn))
#define AXSIM_GRP(X, name) X(int32_t, name, (int32_t grp), (grp))
#define AXSIM_GRP_CHN(X, name) X(int32_t, name, (int32_t grp, int32_t chn), (grp, chn))
#define AXSIM_LINK(X, name) \
    X(int32_t, name, (const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst), (src, dst))
// A call with a number and a record: X(int32_t, name, (type number, const T* record), ...).
#define AXSIM_REC(X, name, type, number, T, record) \
    X(int32_t, name, (type number, const T* record), (number, record))

// One signature a call: AXSIM_SIG_NAME(X) is X(return type, NAME, (parameters), (arguments)).
#define AXSIM_SIG_AX_SYS_Init(X) AXSIM_VOID(X, AX_SYS_Init)
#define AXSIM_SIG_AX_SYS_Deinit(X) AXSIM_VOID(X, AX_SYS_Deinit)
#define AXSIM_SIG_AX_POOL_Exit(X) AXSIM_VOID(X, AX_POOL_Exit)
#define AXSIM_SIG_AX_POOL_SetConfig(X) \
    X(int32_t, AX_POOL_SetConfig, (const AX_POOL_FLOORPLAN_T* plan), (plan))
#define AXSIM_SIG_AX_POOL_Init(X) AXSIM_VOID(X, AX_POOL_Init)
#define AXSIM_SIG_AX_SYS_Link(X) AXSIM_LINK(X, AX_SYS_Link)
#define AXSIM_SIG_AX_SYS_UnLink(X) AXSIM_LINK(X, AX_SYS_UnLink)
#define AXSIM_SIG_AX_SYS_Mmap(X) \
    X(void*, AX_SYS_Mmap, (uint64_t phy_addr, uint32_t size), (phy_addr, size))
#define AXSIM_SIG_AX_SYS_Munmap(X) \
    X(int32_t, AX_SYS_Munmap, (void* virt_addr, uint32_t size), (virt_addr, size))
#define AXSIM_SIG_AX_MIPI_RX_Init(X) AXSIM_VOID(X, AX_MIPI_RX_Init)
#define AXSIM_SIG_AX_MIPI_RX_DeInit(X) AXSIM_VOID(X, AX_MIPI_RX_DeInit)
#define AXSIM_SIG_AX_MIPI_RX_SetLaneCombo(X) \
    X(int32_t, AX_MIPI_RX_SetLaneCombo, (int32_t mode), (mode))
#define AXSIM_SIG_AX_MIPI_RX_SetAttr(X) \
    AXSIM_REC(X, AX_MIPI_RX_SetAttr, uint8_t, dev, AX_MIPI_RX_DEV_T, attr)
#define AXSIM_SIG_AX_MIPI_RX_Reset(X) AXSIM_DEV(X, AX_MIPI_RX_Reset)
#define AXSIM_SIG_AX_MIPI_RX_Start(X) AXSIM_DEV(X, AX_MIPI_RX_Start)
#define AXSIM_SIG_AX_MIPI_RX_Stop(X) AXSIM_DEV(X, AX_MIPI_RX_Stop)
#define AXSIM_SIG_AX_VIN_Init(X) AXSIM_VOID(X, AX_VIN_Init)
#define AXSIM_SIG_AX_VIN_Deinit(X) AXSIM_VOID(X, AX_VIN_Deinit)
#define AXSIM_SIG_AX_VIN_CreateDev(X) \
    AXSIM_REC(X, AX_VIN_CreateDev, uint8_t, dev, AX_VIN_DEV_ATTR_T, attr)
#define AXSIM_SIG_AX_VIN_SetDevAttr(X) \
    AXSIM_REC(X, AX_VIN_SetDevAttr, uint8_t, dev, AX_VIN_DEV_ATTR_T, attr)
#define AXSIM_SIG_AX_VIN_SetDevBindPipe(X) \
    AXSIM_REC(X, AX_VIN_SetDevBindPipe, uint8_t, dev, AX_VIN_DEV_BIND_PIPE_T, bind)
#define AXSIM_SIG_AX_VIN_SetDevBindMipi(X) \
    X(int32_t, AX_VIN_SetDevBindMipi, (uint8_t dev, uint8_t mipi_dev), (dev, mipi_dev))
#define AXSIM_SIG_AX_VIN_CreatePipe(X) \
    AXSIM_REC(X, AX_VIN_CreatePipe, uint8_t, pipe, AX_VIN_PIPE_ATTR_T, attr)
#define AXSIM_SIG_AX_VIN_SetPipeAttr(X) \
    AXSIM_REC(X, AX_VIN_SetPipeAttr, uint8_t, pipe, AX_VIN_PIPE_ATTR_T, attr)
#define AXSIM_SIG_AX_VIN_SetChnAttr(X) \
    X(int32_t, AX_VIN_SetChnAttr, (uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr), \
      (pipe, chn, attr))
#define AXSIM_SIG_AX_VIN_SetChnFrameMode(X) \
    X(int32_t, AX_VIN_SetChnFrameMode, (uint8_t pipe, int32_t chn, int32_t mode), (pipe, chn, mode))
#define AXSIM_SIG_AX_VIN_EnableChn(X) AXSIM_CHN(X, AX_VIN_EnableChn)
#define AXSIM_SIG_AX_VIN_DisableChn(X) AXSIM_CHN(X, AX_VIN_DisableChn)
#define AXSIM_SIG_AX_VIN_StartPipe(X) AXSIM_PIPE(X, AX_VIN_StartPipe)
#define AXSIM_SIG_AX_VIN_StopPipe(X) AXSIM_PIPE(X, AX_VIN_StopPipe)
#define AXSIM_SIG_AX_VIN_EnableDev(X) AXSIM_DEV(X, AX_VIN_EnableDev)
#define AXSIM_SIG_AX_VIN_DisableDev(X) AXSIM_DEV(X, AX_VIN_DisableDev)
#define AXSIM_SIG_AX_VIN_DestroyPipe(X) AXSIM_PIPE(X, AX_VIN_DestroyPipe)
#define AXSIM_SIG_AX_VIN_DestroyDev(X) AXSIM_DEV(X, AX_VIN_DestroyDev)
#define AXSIM_SIG_AX_VIN_GetYuvFrame(X) \
    X(int32_t, AX_VIN_GetYuvFrame, \
      (uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame, int32_t timeout_ms), \
      (pipe, chn, frame, timeout_ms))
#define AXSIM_SIG_AX_VIN_ReleaseYuvFrame(X) \
    X(int32_t, AX_VIN_ReleaseYuvFrame, \
      (uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame), \
      (pipe, chn, frame))
#define AXSIM_SIG_AX_ISP_RegisterSensor(X) \
    X(int32_t, AX_ISP_RegisterSensor, (uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor), \
      (pipe, sensor))
#define AXSIM_SIG_AX_ISP_UnRegisterSensor(X) AXSIM_PIPE(X, AX_ISP_UnRegisterSensor)
#define AXSIM_SIG_AX_ISP_SetSnsAttr(X) \
    AXSIM_REC(X, AX_ISP_SetSnsAttr, uint8_t, pipe, AX_SNS_ATTR_T, attr)
#define AXSIM_SIG_AX_ISP_Create(X) AXSIM_PIPE(X, AX_ISP_Create)
#define AXSIM_SIG_AX_ISP_Destroy(X) AXSIM_PIPE(X, AX_ISP_Destroy)
#define AXSIM_SIG_AX_ISP_Open(X) AXSIM_PIPE(X, AX_ISP_Open)
#define AXSIM_SIG_AX_ISP_Close(X) AXSIM_PIPE(X, AX_ISP_Close)
#define AXSIM_SIG_AX_ISP_Start(X) AXSIM_PIPE(X, AX_ISP_Start)
#define AXSIM_SIG_AX_ISP_Stop(X) AXSIM_PIPE(X, AX_ISP_Stop)
#define AXSIM_SIG_AX_ISP_StreamOn(X) AXSIM_PIPE(X, AX_ISP_StreamOn)
#define AXSIM_SIG_AX_ISP_StreamOff(X) AXSIM_PIPE(X, AX_ISP_StreamOff)
#define AXSIM_SIG_AX_IVPS_Init(X) AXSIM_VOID(X, AX_IVPS_Init)
#define AXSIM_SIG_AX_IVPS_Deinit(X) AXSIM_VOID(X, AX_IVPS_Deinit)
#define AXSIM_SIG_AX_IVPS_CreateGrp(X) \
    AXSIM_REC(X, AX_IVPS_CreateGrp, int32_t, grp, AX_IVPS_GRP_ATTR_T, attr)
#define AXSIM_SIG_AX_IVPS_DestoryGrp(X) AXSIM_GRP(X, AX_IVPS_DestoryGrp)
#define AXSIM_SIG_AX_IVPS_SetPipelineAttr(X) \
    AXSIM_REC(X, AX_IVPS_SetPipelineAttr, int32_t, grp, AX_IVPS_PIPELINE_ATTR_T, attr)
#define AXSIM_SIG_AX_IVPS_EnableChn(X) AXSIM_GRP_CHN(X, AX_IVPS_EnableChn)
#define AXSIM_SIG_AX_IVPS_DisableChn(X) AXSIM_GRP_CHN(X, AX_IVPS_DisableChn)
#define AXSIM_SIG_AX_IVPS_StartGrp(X) AXSIM_GRP(X, AX_IVPS_StartGrp)
#define AXSIM_SIG_AX_IVPS_StopGrp(X) AXSIM_GRP(X, AX_IVPS_StopGrp)
// clang-format on

// X(return type, name, (parameters), (arguments)) for each call of the list (AXSIM_CALLS) or of
// one library's part of it (AXSIM_LIBRARY(HDGRAB_SDK_AX_MIPI_CALLS, X)).
#define AXSIM_WITH_SIGNATURE(X, name) AXSIM_SIG_##name(X)
#define AXSIM_LIBRARY(calls, X) calls(AXSIM_WITH_SIGNATURE, X)
#define AXSIM_CALLS(X) AXSIM_LIBRARY(HDGRAB_SDK_CALLS, X)

namespace axsim::detail {

#define AXSIM_DECLARE(ret, name, params, args) \
    __attribute__((visibility("default"))) ret name params;
AXSIM_CALLS(AXSIM_DECLARE)
#undef AXSIM_DECLARE

}  // namespace axsim::detail
