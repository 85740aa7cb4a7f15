// The substitute's table of SDK calls: one row a call, AXSIM_ROW_NAME, with the call's return
// type, the module whose statuses it refuses with, what it needs before its own rule runs (an
// object, of objects:: in core.cpp, and its Presence, core.h) and its parameters as (type, name)
// pairs. A parameter's name is what the trace, the refusals and the call's rule call it. Which
// calls exist, in which library and in which order comes from the SDK's list of calls
// (sdk/calls.list, as the generated sdk/sdk_calls.h): a call on the list without a row here does
// not compile. libax_sys holds the state and the implementation of every call (as
// axsim::detail::NAME, the generic path of core.h around the call's rule, rule::NAME); each
// library's vendor-named entry points forward there (entry.cpp), so all modules share one state.
#pragma once

#include <cstdint>

#include "sdk/ax_sdk.h"
#include "sdk/sdk_calls.h"

// clang-format off
#define AXSIM_ROW_AX_SYS_Init int32_t, Sys, Sys, New
#define AXSIM_ROW_AX_SYS_Deinit int32_t, Sys, Sys, Exists
#define AXSIM_ROW_AX_POOL_Exit int32_t, Pool, Sys, Exists
#define AXSIM_ROW_AX_POOL_SetConfig int32_t, Pool, Sys, Exists, (const AX_POOL_FLOORPLAN_T*, plan)
#define AXSIM_ROW_AX_POOL_Init int32_t, Pool, Sys, Exists
#define AXSIM_ROW_AX_SYS_Link int32_t, Sys, Sys, Exists, (const AX_MOD_INFO_T*, src), \
    (const AX_MOD_INFO_T*, dst)
#define AXSIM_ROW_AX_SYS_UnLink int32_t, Sys, Sys, Exists, (const AX_MOD_INFO_T*, src), \
    (const AX_MOD_INFO_T*, dst)
#define AXSIM_ROW_AX_SYS_Mmap void*, Sys, Sys, Exists, (uint64_t, phys), (uint32_t, size)
#define AXSIM_ROW_AX_SYS_Munmap int32_t, Sys, Sys, Exists, (void*, addr), (uint32_t, size)
#define AXSIM_ROW_AX_MIPI_RX_Init int32_t, Mipi, Mipi, New
#define AXSIM_ROW_AX_MIPI_RX_DeInit int32_t, Mipi, Mipi, Exists
#define AXSIM_ROW_AX_MIPI_RX_SetLaneCombo int32_t, Mipi, Mipi, Exists, (int32_t, mode)
#define AXSIM_ROW_AX_MIPI_RX_SetAttr int32_t, Mipi, MipiDev, Any, (uint8_t, dev), \
    (const AX_MIPI_RX_DEV_T*, attr)
#define AXSIM_ROW_AX_MIPI_RX_Reset int32_t, Mipi, MipiDev, Any, (uint8_t, dev)
#define AXSIM_ROW_AX_MIPI_RX_Start int32_t, Mipi, MipiDev, Any, (uint8_t, dev)
#define AXSIM_ROW_AX_MIPI_RX_Stop int32_t, Mipi, MipiDev, Any, (uint8_t, dev)
#define AXSIM_ROW_AX_VIN_Init int32_t, Vin, Vin, New
#define AXSIM_ROW_AX_VIN_Deinit int32_t, Vin, Vin, Exists
#define AXSIM_ROW_AX_VIN_CreateDev int32_t, Vin, VinDev, New, (uint8_t, dev), \
    (const AX_VIN_DEV_ATTR_T*, attr)
#define AXSIM_ROW_AX_VIN_SetDevAttr int32_t, Vin, VinDev, ExistsAfterRecord, (uint8_t, dev), \
    (const AX_VIN_DEV_ATTR_T*, attr)
#define AXSIM_ROW_AX_VIN_SetDevBindPipe int32_t, Vin, VinDev, Exists, (uint8_t, dev), \
    (const AX_VIN_DEV_BIND_PIPE_T*, bind)
#define AXSIM_ROW_AX_VIN_SetDevBindMipi int32_t, Vin, VinDev, Exists, (uint8_t, dev), \
    (uint8_t, mipi_dev)
#define AXSIM_ROW_AX_VIN_CreatePipe int32_t, Vin, VinPipe, New, (uint8_t, pipe), \
    (const AX_VIN_PIPE_ATTR_T*, attr)
#define AXSIM_ROW_AX_VIN_SetPipeAttr int32_t, Vin, VinPipe, ExistsAfterRecord, (uint8_t, pipe), \
    (const AX_VIN_PIPE_ATTR_T*, attr)
#define AXSIM_ROW_AX_VIN_SetChnAttr int32_t, Vin, VinChn, Exists, (uint8_t, pipe), \
    (int32_t, chn), (const AX_VIN_CHN_ATTR_T*, attr)
#define AXSIM_ROW_AX_VIN_SetChnFrameMode int32_t, Vin, VinChn, Exists, (uint8_t, pipe), \
    (int32_t, chn), (int32_t, mode)
#define AXSIM_ROW_AX_VIN_EnableChn int32_t, Vin, VinChn, Exists, (uint8_t, pipe), (int32_t, chn)
#define AXSIM_ROW_AX_VIN_DisableChn int32_t, Vin, VinChn, Exists, (uint8_t, pipe), (int32_t, chn)
#define AXSIM_ROW_AX_VIN_StartPipe int32_t, Vin, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_VIN_StopPipe int32_t, Vin, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_VIN_EnableDev int32_t, Vin, VinDev, Exists, (uint8_t, dev)
#define AXSIM_ROW_AX_VIN_DisableDev int32_t, Vin, VinDev, Exists, (uint8_t, dev)
#define AXSIM_ROW_AX_VIN_DestroyPipe int32_t, Vin, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_VIN_DestroyDev int32_t, Vin, VinDev, Exists, (uint8_t, dev)
#define AXSIM_ROW_AX_VIN_GetYuvFrame int32_t, Vin, VinChn, Exists, (uint8_t, pipe), \
    (int32_t, chn), (AX_VIDEO_FRAME_INFO_T*, frame), (int32_t, timeout)
#define AXSIM_ROW_AX_VIN_ReleaseYuvFrame int32_t, Vin, VinChn, Exists, (uint8_t, pipe), \
    (int32_t, chn), (const AX_VIDEO_FRAME_INFO_T*, frame)
#define AXSIM_ROW_AX_ISP_RegisterSensor int32_t, Isp, VinPipe, Exists, (uint8_t, pipe), \
    (AX_SENSOR_REGISTER_FUNC_T*, sensor)
#define AXSIM_ROW_AX_ISP_UnRegisterSensor int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_SetSnsAttr int32_t, Isp, VinPipe, Exists, (uint8_t, pipe), \
    (const AX_SNS_ATTR_T*, attr)
#define AXSIM_ROW_AX_ISP_Create int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_Destroy int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_Open int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_Close int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_Start int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_Stop int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_StreamOn int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_ISP_StreamOff int32_t, Isp, VinPipe, Exists, (uint8_t, pipe)
#define AXSIM_ROW_AX_IVPS_Init int32_t, Ivps, Ivps, New
#define AXSIM_ROW_AX_IVPS_Deinit int32_t, Ivps, Ivps, Exists
#define AXSIM_ROW_AX_IVPS_CreateGrp int32_t, Ivps, IvpsGrp, New, (int32_t, grp), \
    (const AX_IVPS_GRP_ATTR_T*, attr)
#define AXSIM_ROW_AX_IVPS_DestoryGrp int32_t, Ivps, IvpsGrp, Exists, (int32_t, grp)
#define AXSIM_ROW_AX_IVPS_SetPipelineAttr int32_t, Ivps, IvpsGrp, Exists, (int32_t, grp), \
    (const AX_IVPS_PIPELINE_ATTR_T*, attr)
#define AXSIM_ROW_AX_IVPS_EnableChn int32_t, Ivps, IvpsChn, Exists, (int32_t, grp), (int32_t, chn)
#define AXSIM_ROW_AX_IVPS_DisableChn int32_t, Ivps, IvpsChn, Exists, (int32_t, grp), (int32_t, chn)
#define AXSIM_ROW_AX_IVPS_StartGrp int32_t, Ivps, IvpsGrp, Exists, (int32_t, grp)
#define AXSIM_ROW_AX_IVPS_StopGrp int32_t, Ivps, IvpsGrp, Exists, (int32_t, grp)

// F(A, x), F(A, y) ... for the arguments after A (up to 64), separated by commas.
#define AXSIM_EACH(F, A, ...) __VA_OPT__(AXSIM_RESCAN4(AXSIM_EACH_(F, A, __VA_ARGS__)))
#define AXSIM_EACH_(F, A, x, ...) \
    F(A, x) __VA_OPT__(, AXSIM_EACH_AGAIN AXSIM_PARENS (F, A, __VA_ARGS__))
#define AXSIM_EACH_AGAIN() AXSIM_EACH_
#define AXSIM_PARENS ()
#define AXSIM_RESCAN4(...) AXSIM_RESCAN3(AXSIM_RESCAN3(AXSIM_RESCAN3(AXSIM_RESCAN3(__VA_ARGS__))))
#define AXSIM_RESCAN3(...) AXSIM_RESCAN2(AXSIM_RESCAN2(AXSIM_RESCAN2(AXSIM_RESCAN2(__VA_ARGS__))))
#define AXSIM_RESCAN2(...) AXSIM_RESCAN1(AXSIM_RESCAN1(AXSIM_RESCAN1(AXSIM_RESCAN1(__VA_ARGS__))))
#define AXSIM_RESCAN1(...) __VA_ARGS__

// A row's parameters as a parameter list, an argument list or a list of their names.
#define AXSIM_PARAMS(...) AXSIM_EACH(AXSIM_PARAM, , __VA_ARGS__)
#define AXSIM_ARGS(...) AXSIM_EACH(AXSIM_ARG, , __VA_ARGS__)
#define AXSIM_NAMES(...) AXSIM_EACH(AXSIM_NAME, , __VA_ARGS__)
#define AXSIM_PARAM(unused, pair) AXSIM_PARAM_ pair
#define AXSIM_PARAM_(type, name) type name
#define AXSIM_ARG(unused, pair) AXSIM_ARG_ pair
#define AXSIM_ARG_(type, name) name
#define AXSIM_NAME(unused, pair) AXSIM_NAME_ pair
#define AXSIM_NAME_(type, name) #name

// X(NAME, return type, module, object, presence, (type, name)...) for each call of the list (AXSIM_CALLS) or
// of one library's part of it (AXSIM_LIBRARY(HDGRAB_SDK_AX_MIPI_CALLS, X)).
#define AXSIM_WITH_ROW(X, name) AXSIM_APPLY(X, (name, AXSIM_ROW_##name))
#define AXSIM_APPLY(X, row) X row
#define AXSIM_LIBRARY(calls, X) calls(AXSIM_WITH_ROW, X)
#define AXSIM_CALLS(X) AXSIM_LIBRARY(HDGRAB_SDK_CALLS, X)
// clang-format on

namespace axsim::detail {

#define AXSIM_DECLARE(name, ret, module, object, presence, ...) \
    __attribute__((visibility("default"))) ret name(AXSIM_PARAMS(__VA_ARGS__));
AXSIM_CALLS(AXSIM_DECLARE)
#undef AXSIM_DECLARE

}  // namespace axsim::detail
