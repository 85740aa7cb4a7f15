// Declarations of the vendor media SDK calls and records the capture pipeline uses.
//
// Only the members the service sets or reads carry meaningful names; the rest is reserved space
// that keeps every record at the vendor's byte size and member offsets (checked below). The
// service and the substitute SDK under sim/ both compile against this header, so on the
// appliance the vendor's libraries load in the substitute's place without a rebuild.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- memory pools -------------------------------------------------------------------------

typedef struct {
    uint64_t MetaSize;  // per-block metadata size, bytes
    uint64_t BlkSize;   // bytes per block
    uint32_t BlkCnt;    // number of blocks
    uint32_t CacheMode;
    uint32_t reserved0;
    char PartitionName[32];  // NUL-terminated
    uint8_t reserved1[36];
} AX_POOL_CONFIG_T;

#define AX_MAX_COMM_POOLS 16
typedef struct {
    AX_POOL_CONFIG_T CommPool[AX_MAX_COMM_POOLS];
} AX_POOL_FLOORPLAN_T;

// ---- MIPI receiver ------------------------------------------------------------------------

typedef struct {
    int32_t eInputMode;
    int32_t ePhyMode;
    int32_t eLaneNum;
    int32_t nDataRate;
    int8_t nDataLaneMap[4];
    int8_t nClkLane[2];
    uint8_t reserved[2];
} AX_MIPI_RX_DEV_T;

// ---- video input --------------------------------------------------------------------------

typedef struct {
    int32_t nStartX;
    int32_t nStartY;
    uint32_t nWidth;
    uint32_t nHeight;
} AX_VIN_RECT_T;

typedef struct {
    float fSrcFrameRate;
    float fDstFrameRate;
} AX_VIN_FRAME_RATE_CTRL_T;

typedef struct {
    int32_t enCompressMode;
    uint32_t u32CompressLevel;
} AX_VIN_COMPRESS_INFO_T;

typedef struct {
    int32_t eDevMode;
    int32_t reserved0[2];
    int32_t bImgDataEnable;
    int32_t bNonImgDataEnable;
    int32_t reserved1;
    int32_t eSnsIntfType;
    int32_t eSnsMode;
    int32_t eBayerPattern;
    int32_t ePixelFmt;
    AX_VIN_RECT_T tDevImgRgn[4];
    uint8_t reserved2[20];
    AX_VIN_FRAME_RATE_CTRL_T tFrameRateCtrl;
    AX_VIN_COMPRESS_INFO_T tCompressInfo;
    uint8_t reserved3[5];
    uint8_t szImgVc[4];
    uint8_t szImgDt[4];
    uint8_t reserved4[151];
} AX_VIN_DEV_ATTR_T;

#define AX_VIN_MAX_PIPE_PER_DEV 6
typedef struct {
    uint32_t nNum;                                // number of bound pipes
    uint32_t nPipeId[AX_VIN_MAX_PIPE_PER_DEV];    // bound pipe numbers
    uint32_t nDataFlag[AX_VIN_MAX_PIPE_PER_DEV];  // per-pipe data selection
} AX_VIN_DEV_BIND_PIPE_T;

typedef struct {
    int32_t ePipeWorkMode;
    AX_VIN_RECT_T tPipeImgRgn;
    uint32_t nWidthStride;  // pixels
    int32_t eBayerPattern;
    int32_t ePixelFmt;
    int32_t eSnsMode;
    uint32_t reserved[18];
} AX_VIN_PIPE_ATTR_T;

typedef struct {
    uint32_t nWidth;
    uint32_t nHeight;
    uint32_t nWidthStride;  // pixels
    int32_t eImgFormat;
    uint32_t nDepth;  // frame queue depth
    uint8_t reserved[16];
} AX_VIN_CHN_ATTR_T;

// ---- ISP ----------------------------------------------------------------------------------

typedef struct {
    uint32_t nWidth;
    uint32_t nHeight;
    float fFrameRate;
    int32_t eSnsMode;
    int32_t eRawType;  // raw sample width, bits
    int32_t eBayerPattern;
    uint8_t reserved[16];
} AX_SNS_ATTR_T;

// The sensor object exported by a sensor library (`gSnsdummyObj`); opaque to the service.
struct AX_SENSOR_REGISTER_FUNC_T;
typedef struct AX_SENSOR_REGISTER_FUNC_T AX_SENSOR_REGISTER_FUNC_T;

// ---- image processor ----------------------------------------------------------------------

typedef struct {
    uint8_t nInFifoDepth;
    uint8_t reserved[3];
    int32_t ePipeline;
} AX_IVPS_GRP_ATTR_T;

typedef struct {
    uint32_t bEngage;  // enable flag
    int32_t eEngine;   // engine selector
    float fSrcFrameRate;
    float fDstFrameRate;
    uint8_t reserved0[12];
    uint16_t nDstPicWidth;
    uint16_t nDstPicHeight;
    uint16_t nDstPicStride;
    uint16_t reserved1;
    int32_t eDstPicFormat;
    uint8_t reserved2[224];
} AX_IVPS_FILTER_T;

#define AX_IVPS_FILTER_ROWS 6
#define AX_IVPS_FILTERS_PER_ROW 2
typedef struct {
    uint8_t nOutChnNum;
    uint8_t reserved0[3];
    uint8_t nOutFifoDepth[5];
    uint8_t reserved1[7];
    // Row 0 is the group's own stage, row 1 + n belongs to output channel n.
    AX_IVPS_FILTER_T tFilter[AX_IVPS_FILTER_ROWS][AX_IVPS_FILTERS_PER_ROW];
    uint8_t reserved2[24];
} AX_IVPS_PIPELINE_ATTR_T;

// ---- links and frames ---------------------------------------------------------------------

typedef struct {
    int32_t enModId;
    int32_t s32GrpId;
    int32_t s32ChnId;
} AX_MOD_INFO_T;

typedef struct {
    uint32_t u32Width;
    uint32_t u32Height;
    int32_t enImgFormat;
    uint8_t reserved0[20];
    uint32_t u32PicStride[3];  // pixels
    uint8_t reserved1[12];
    uint64_t u64PhyAddr[3];
    uint64_t u64VirAddr[3];
    uint8_t reserved2[96];
    uint64_t u64SeqNum;
    uint8_t reserved3[20];
    uint32_t u32FrameSize;
    uint8_t reserved4[360];
} AX_VIDEO_FRAME_INFO_T;

// ---- calls --------------------------------------------------------------------------------
// Every call returns 0 on success, any other status on failure, except AX_SYS_Mmap (null on
// failure).

int32_t AX_SYS_Init(void);
int32_t AX_SYS_Deinit(void);
int32_t AX_POOL_Exit(void);
int32_t AX_POOL_SetConfig(const AX_POOL_FLOORPLAN_T* plan);
int32_t AX_POOL_Init(void);
int32_t AX_SYS_Link(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst);
int32_t AX_SYS_UnLink(const AX_MOD_INFO_T* src, const AX_MOD_INFO_T* dst);
void* AX_SYS_Mmap(uint64_t phy_addr, uint32_t size);
int32_t AX_SYS_Munmap(void* virt_addr, uint32_t size);

int32_t AX_MIPI_RX_Init(void);
int32_t AX_MIPI_RX_DeInit(void);
int32_t AX_MIPI_RX_SetLaneCombo(int32_t mode);
int32_t AX_MIPI_RX_SetAttr(uint8_t dev, const AX_MIPI_RX_DEV_T* attr);
int32_t AX_MIPI_RX_Reset(uint8_t dev);
int32_t AX_MIPI_RX_Start(uint8_t dev);
int32_t AX_MIPI_RX_Stop(uint8_t dev);

int32_t AX_VIN_Init(void);
int32_t AX_VIN_Deinit(void);
int32_t AX_VIN_CreateDev(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr);
int32_t AX_VIN_SetDevAttr(uint8_t dev, const AX_VIN_DEV_ATTR_T* attr);
int32_t AX_VIN_SetDevBindPipe(uint8_t dev, const AX_VIN_DEV_BIND_PIPE_T* bind);
int32_t AX_VIN_SetDevBindMipi(uint8_t dev, uint8_t mipi_dev);
int32_t AX_VIN_CreatePipe(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr);
int32_t AX_VIN_SetPipeAttr(uint8_t pipe, const AX_VIN_PIPE_ATTR_T* attr);
int32_t AX_VIN_SetChnAttr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr);
int32_t AX_VIN_SetChnFrameMode(uint8_t pipe, int32_t chn, int32_t mode);
int32_t AX_VIN_EnableChn(uint8_t pipe, int32_t chn);
int32_t AX_VIN_DisableChn(uint8_t pipe, int32_t chn);
int32_t AX_VIN_StartPipe(uint8_t pipe);
int32_t AX_VIN_StopPipe(uint8_t pipe);
int32_t AX_VIN_EnableDev(uint8_t dev);
int32_t AX_VIN_DisableDev(uint8_t dev);
int32_t AX_VIN_DestroyPipe(uint8_t pipe);
int32_t AX_VIN_DestroyDev(uint8_t dev);
int32_t AX_VIN_GetYuvFrame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                           int32_t timeout_ms);
int32_t AX_VIN_ReleaseYuvFrame(uint8_t pipe, int32_t chn, const AX_VIDEO_FRAME_INFO_T* frame);

int32_t AX_ISP_RegisterSensor(uint8_t pipe, AX_SENSOR_REGISTER_FUNC_T* sensor);
int32_t AX_ISP_UnRegisterSensor(uint8_t pipe);
int32_t AX_ISP_SetSnsAttr(uint8_t pipe, const AX_SNS_ATTR_T* attr);
int32_t AX_ISP_Create(uint8_t pipe);
int32_t AX_ISP_Destroy(uint8_t pipe);
int32_t AX_ISP_Open(uint8_t pipe);
int32_t AX_ISP_Close(uint8_t pipe);
int32_t AX_ISP_Start(uint8_t pipe);
int32_t AX_ISP_Stop(uint8_t pipe);
int32_t AX_ISP_StreamOn(uint8_t pipe);
int32_t AX_ISP_StreamOff(uint8_t pipe);

int32_t AX_IVPS_Init(void);
int32_t AX_IVPS_Deinit(void);
int32_t AX_IVPS_CreateGrp(int32_t grp, const AX_IVPS_GRP_ATTR_T* attr);
int32_t AX_IVPS_DestoryGrp(int32_t grp);
int32_t AX_IVPS_SetPipelineAttr(int32_t grp, const AX_IVPS_PIPELINE_ATTR_T* attr);
int32_t AX_IVPS_EnableChn(int32_t grp, int32_t chn);
int32_t AX_IVPS_DisableChn(int32_t grp, int32_t chn);
int32_t AX_IVPS_StartGrp(int32_t grp);
int32_t AX_IVPS_StopGrp(int32_t grp);

#ifdef __cplusplus
}  // extern "C"

// ---- layout checks ------------------------------------------------------------------------
static_assert(sizeof(AX_POOL_CONFIG_T) == 96);
static_assert(offsetof(AX_POOL_CONFIG_T, MetaSize) == 0);
static_assert(offsetof(AX_POOL_CONFIG_T, BlkSize) == 8);
static_assert(offsetof(AX_POOL_CONFIG_T, BlkCnt) == 16);
static_assert(offsetof(AX_POOL_CONFIG_T, PartitionName) == 28);
static_assert(sizeof(AX_POOL_FLOORPLAN_T) == 16 * 96);

static_assert(sizeof(AX_MIPI_RX_DEV_T) == 24);
static_assert(offsetof(AX_MIPI_RX_DEV_T, eLaneNum) == 8);
static_assert(offsetof(AX_MIPI_RX_DEV_T, nDataRate) == 12);
static_assert(offsetof(AX_MIPI_RX_DEV_T, nDataLaneMap) == 16);
static_assert(offsetof(AX_MIPI_RX_DEV_T, nClkLane) == 20);

static_assert(sizeof(AX_VIN_DEV_ATTR_T) == 304);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, eDevMode) == 0);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, bImgDataEnable) == 12);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, bNonImgDataEnable) == 16);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, eSnsIntfType) == 24);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, eSnsMode) == 28);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, eBayerPattern) == 32);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, ePixelFmt) == 36);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tDevImgRgn) == 40);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tDevImgRgn[3]) == 88);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tFrameRateCtrl.fSrcFrameRate) == 124);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tFrameRateCtrl.fDstFrameRate) == 128);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tCompressInfo.enCompressMode) == 132);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, tCompressInfo.u32CompressLevel) == 136);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, szImgVc) == 145);
static_assert(offsetof(AX_VIN_DEV_ATTR_T, szImgDt) == 149);

static_assert(sizeof(AX_VIN_DEV_BIND_PIPE_T) == 13 * 4);
static_assert(offsetof(AX_VIN_DEV_BIND_PIPE_T, nPipeId) == 4);
static_assert(offsetof(AX_VIN_DEV_BIND_PIPE_T, nDataFlag) == 7 * 4);

static_assert(sizeof(AX_VIN_PIPE_ATTR_T) == 108);
static_assert(offsetof(AX_VIN_PIPE_ATTR_T, tPipeImgRgn) == 4);
static_assert(offsetof(AX_VIN_PIPE_ATTR_T, nWidthStride) == 5 * 4);
static_assert(offsetof(AX_VIN_PIPE_ATTR_T, eBayerPattern) == 6 * 4);
static_assert(offsetof(AX_VIN_PIPE_ATTR_T, ePixelFmt) == 7 * 4);
static_assert(offsetof(AX_VIN_PIPE_ATTR_T, eSnsMode) == 8 * 4);

static_assert(sizeof(AX_SNS_ATTR_T) == 40);
static_assert(offsetof(AX_SNS_ATTR_T, fFrameRate) == 8);
static_assert(offsetof(AX_SNS_ATTR_T, eBayerPattern) == 20);

static_assert(sizeof(AX_VIN_CHN_ATTR_T) == 36);
static_assert(offsetof(AX_VIN_CHN_ATTR_T, eImgFormat) == 12);
static_assert(offsetof(AX_VIN_CHN_ATTR_T, nDepth) == 16);

static_assert(sizeof(AX_IVPS_GRP_ATTR_T) == 8);
static_assert(offsetof(AX_IVPS_GRP_ATTR_T, ePipeline) == 4);

static_assert(sizeof(AX_IVPS_FILTER_T) == 264);
static_assert(offsetof(AX_IVPS_FILTER_T, eEngine) == 4);
static_assert(offsetof(AX_IVPS_FILTER_T, fSrcFrameRate) == 8);
static_assert(offsetof(AX_IVPS_FILTER_T, fDstFrameRate) == 12);
static_assert(offsetof(AX_IVPS_FILTER_T, nDstPicWidth) == 28);
static_assert(offsetof(AX_IVPS_FILTER_T, nDstPicHeight) == 30);
static_assert(offsetof(AX_IVPS_FILTER_T, nDstPicStride) == 32);
static_assert(offsetof(AX_IVPS_FILTER_T, eDstPicFormat) == 36);
static_assert(sizeof(AX_IVPS_PIPELINE_ATTR_T) == 3208);
static_assert(offsetof(AX_IVPS_PIPELINE_ATTR_T, nOutFifoDepth) == 4);
static_assert(offsetof(AX_IVPS_PIPELINE_ATTR_T, tFilter) == 16);
static_assert(offsetof(AX_IVPS_PIPELINE_ATTR_T, tFilter[1][0]) == 544);
static_assert(offsetof(AX_IVPS_PIPELINE_ATTR_T, tFilter[1][1]) == 808);

static_assert(sizeof(AX_MOD_INFO_T) == 12);

static_assert(sizeof(AX_VIDEO_FRAME_INFO_T) == 592);
static_assert(offsetof(AX_VIDEO_FRAME_INFO_T, enImgFormat) == 8);
static_assert(offsetof(AX_VIDEO_FRAME_INFO_T, u32PicStride) == 32);
static_assert(offsetof(AX_VIDEO_FRAME_INFO_T, u64PhyAddr) == 56);
static_assert(offsetof(AX_VIDEO_FRAME_INFO_T, u64SeqNum) == 200);
static_assert(offsetof(AX_VIDEO_FRAME_INFO_T, u32FrameSize) == 228);
#endif
