// Fixed paths, register values and SDK record values of the capture pipeline.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "sdk/ax_sdk.h"

namespace hdgrab::media {

// ---- paths and shell commands -----------------------------------------------------------

inline constexpr const char* kDevMemPath = "/dev/mem";
inline constexpr const char* kSensorLibPath = "/opt/lib/libsns_dummy.so";
// Its presence means one reboot because of a pool release failure was already tried.
inline constexpr const char* kRebootMarkerPath = "/var/lib/kvm/have_reboot";
inline constexpr const char* kMkdirCommand = "mkdir -p ";  // followed by the marker's folder
inline constexpr const char* kRebootCommand = "reboot";
inline constexpr const char* kSensorObjectSymbol = "gSnsdummyObj";

// ---- reboot guard waits -----------------------------------------------------------------

inline constexpr std::chrono::milliseconds kRebootSettle{1000};  // after sync, before reboot
inline constexpr std::chrono::milliseconds kRebootWait{5000};    // after starting the reboot

// ---- common memory pools ----------------------------------------------------------------

// Both callers plan the pools for the largest picture, whatever the current input.
inline constexpr uint32_t kPoolWidth = 3840;
inline constexpr uint32_t kPoolHeight = 2400;
inline constexpr uint64_t kPoolMetaSize = 4096;  // bytes per block
inline constexpr uint32_t kPicturePoolBlocks = 6;
inline constexpr uint64_t kSmallPoolBlockSize = 112640;  // bytes
inline constexpr uint32_t kSmallPoolBlocks = 4;
inline constexpr const char* kPoolPartition = "anonymous";
inline constexpr uint32_t kPoolLineAlign = 32;  // pixels
inline constexpr uint32_t kPoolRowAlign = 8;    // lines
inline constexpr uint32_t kBytesPerPixel = 2;   // 16-bit YUV 4:2:2 samples

// ---- MIPI receiver and pin multiplexing -------------------------------------------------

inline constexpr int32_t kMipiDevice = 0;
inline constexpr int32_t kMipiLaneCombo = 0;

// Four data lanes at 600 Mbit/s, data lanes 0, 1, 3, 4 and clock lanes 2, 5.
inline constexpr AX_MIPI_RX_DEV_T kMipiRxAttr{
    0, 0, 4, 600, {0, 1, 3, 4}, {2, 5}, {0, 0},
};

struct PinSetting {
    uint32_t address;  // physical register address
    uint32_t value;
};

// Switches the pins that carry the bridge's MIPI link to their MIPI function.
inline constexpr std::array<PinSetting, 11> kPinTable{{
    {0x0230000C, 0x00020043},
    {0x02300018, 0x00040003},
    {0x02300024, 0x00000003},
    {0x02300030, 0x00040003},
    {0x0230003C, 0x00040003},
    {0x02300048, 0x00060003},
    {0x02300054, 0x00060003},
    {0x02300060, 0x00060003},
    {0x0230006C, 0x00030083},
    {0x02300078, 0x00030083},
    {0x02300084, 0x00040003},
}};
inline constexpr uint32_t kRegisterPageSize = 4096;  // bytes mapped per pin entry

// ---- video input, ISP -------------------------------------------------------------------

inline constexpr int32_t kDevMode = 0;
inline constexpr int32_t kImgDataEnable = 1;
inline constexpr int32_t kNonImgDataEnable = 0;
inline constexpr int32_t kSnsIntfType = 0;
inline constexpr int32_t kSnsMode = 5;
inline constexpr int32_t kBayerPattern = 3;
inline constexpr int32_t kPixelFmt = 132;  // 16-bit YUV 4:2:2
inline constexpr float kDevFrameRate = 1.0F;
inline constexpr uint8_t kImgVirtualChannel = 0;
inline constexpr uint8_t kImgDataType = 0x1E;  // CSI-2 YUV 4:2:2 8-bit
inline constexpr uint32_t kBoundPipes = 1;
inline constexpr uint32_t kBindDataFlag = 1;
inline constexpr int32_t kPipeWorkMode = 12;
inline constexpr float kSensorFrameRate = 60.0F;  // whatever the detected rate
inline constexpr int32_t kSensorRawBits = 16;
inline constexpr int32_t kChannelImgFormat = 3;
inline constexpr uint32_t kChannelDepth = 1;  // frames queued
inline constexpr int32_t kVinChannel = 0;
inline constexpr int32_t kChannelFrameMode = 0;

// ---- image processor and link -----------------------------------------------------------

inline constexpr int32_t kIvpsGroup = 0;
inline constexpr uint8_t kIvpsInFifoDepth = 1;
inline constexpr int32_t kIvpsPipelineKind = 0;
inline constexpr uint8_t kIvpsOutChannels = 1;
inline constexpr uint8_t kIvpsOutFifoDepth = 1;
inline constexpr int32_t kIvpsChannel0 = 0;
inline constexpr int32_t kIvpsChannel1 = 1;
inline constexpr uint16_t kIvpsStrideAlign = 16;  // pixels
inline constexpr uint32_t kFilterDisabled = 0;
inline constexpr uint32_t kFilterEnabled = 1;
inline constexpr int32_t kEngine0 = 0;  // engine selector values of the filter entries
inline constexpr int32_t kEngine1 = 1;
inline constexpr int32_t kIvpsImgFormat = 3;
// The second filter of output channel 0 always renders a small fixed picture.
inline constexpr uint16_t kThumbWidth = 320;
inline constexpr uint16_t kThumbHeight = 172;
inline constexpr uint16_t kThumbStride = 320;
inline constexpr int32_t kThumbFormat = 160;
inline constexpr int32_t kVinModule = 17;
inline constexpr int32_t kIvpsModule = 13;
inline constexpr int32_t kLinkVinGroup = 0;
inline constexpr int32_t kLinkIvpsChannel = 0;

// ---- raw frame dump ---------------------------------------------------------------------

inline constexpr uint32_t kDumpTimeoutMs = 1000;

}  // namespace hdgrab::media
