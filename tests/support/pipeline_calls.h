// Vendor calls of the pipeline's bring-up and tear-down, in the fixed order the service makes
// them; shared by the in-process and the end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace hdgrab::test {

// MIPI receiver, video input device, pipe, ISP and channel.
inline const std::vector<std::string> kVinBringUpCalls{"AX_MIPI_RX_Init",
                                                       "AX_MIPI_RX_SetLaneCombo",
                                                       "AX_MIPI_RX_SetAttr",
                                                       "AX_MIPI_RX_Reset",
                                                       "AX_MIPI_RX_Start",
                                                       "AX_VIN_CreateDev",
                                                       "AX_VIN_SetDevAttr",
                                                       "AX_VIN_SetDevBindPipe",
                                                       "AX_VIN_SetDevBindMipi",
                                                       "AX_VIN_CreatePipe",
                                                       "AX_VIN_SetPipeAttr",
                                                       "AX_ISP_RegisterSensor",
                                                       "AX_ISP_SetSnsAttr",
                                                       "AX_ISP_Create",
                                                       "AX_ISP_Open",
                                                       "AX_VIN_SetChnAttr",
                                                       "AX_VIN_SetChnFrameMode",
                                                       "AX_VIN_EnableChn",
                                                       "AX_VIN_StartPipe",
                                                       "AX_ISP_Start",
                                                       "AX_VIN_EnableDev",
                                                       "AX_ISP_StreamOn"};

inline const std::vector<std::string> kVinTearDownCalls{
    "AX_ISP_StreamOff",   "AX_VIN_DisableDev", "AX_ISP_Stop",     "AX_VIN_StopPipe",
    "AX_VIN_DisableChn",  "AX_ISP_Close",      "AX_ISP_Destroy",  "AX_ISP_UnRegisterSensor",
    "AX_VIN_DestroyPipe", "AX_VIN_DestroyDev", "AX_MIPI_RX_Stop", "AX_MIPI_RX_DeInit"};

// Image processor group and the link from the video input to it.
inline const std::vector<std::string> kIvpsBringUpCalls{
    "AX_IVPS_Init",      "AX_IVPS_CreateGrp", "AX_IVPS_SetPipelineAttr",
    "AX_IVPS_EnableChn", "AX_IVPS_StartGrp",  "AX_SYS_Link"};

inline const std::vector<std::string> kIvpsTearDownCalls{"AX_SYS_UnLink",      "AX_IVPS_StopGrp",
                                                         "AX_IVPS_DisableChn", "AX_IVPS_DisableChn",
                                                         "AX_IVPS_DestoryGrp", "AX_IVPS_Deinit"};

}  // namespace hdgrab::test
