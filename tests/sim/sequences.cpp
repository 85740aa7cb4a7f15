// The service's SDK call sequences with its records, for the substitute SDK's tests. Every value
// comes from the service's own constants (media/media_constants.h); the byte layout the service
// produces is checked independently by tests/media.
#include "tests/sim/sequences.h"

#include <dlfcn.h>

#include <cstring>
#include <functional>

#include "media/media_constants.h"

namespace seq {
namespace {

namespace mc = hdgrab::media;

// The capture number: MIPI device, VIN device, pipe and ISP pipe.
constexpr auto kDev = static_cast<uint8_t>(mc::kMipiDevice);
constexpr int32_t kChn = mc::kVinChannel;
constexpr int32_t kGrp = mc::kIvpsGroup;

Result check(Result& r, const char* name, int32_t status) {
    if (r.status == 0 && status != 0) {
        r.status = status;
        r.failed = name;
    }
    return r;
}

#define STEP(r, call)          \
    do {                       \
        check(r, #call, call); \
        if (r.status != 0) {   \
            return r;          \
        }                      \
    } while (0)

// Runs the steps in order up to the first that fails.
Result until_failure(std::initializer_list<std::function<Result()>> steps) {
    Result r;
    for (const auto& step : steps) {
        if (!(r = step())) {
            break;
        }
    }
    return r;
}

uint32_t align(uint32_t value, uint32_t to) {
    return (value + to - 1) / to * to;
}

// Zero-filled as a whole, as the service fills its records.
template <typename Record>
Record zeroed() {
    Record record;
    std::memset(&record, 0, sizeof(record));
    return record;
}

void set_pool(AX_POOL_CONFIG_T& pool, uint64_t block_size, uint32_t blocks) {
    pool.MetaSize = mc::kPoolMetaSize;
    pool.BlkSize = block_size;
    pool.BlkCnt = blocks;
    std::strcpy(pool.PartitionName, mc::kPoolPartition);
}

void set_filter(AX_IVPS_FILTER_T& filter, uint32_t engage, int32_t engine, float rate,
                uint16_t width, uint16_t height, uint16_t stride, int32_t format) {
    filter.bEngage = engage;
    filter.eEngine = engine;
    filter.fSrcFrameRate = rate;
    filter.fDstFrameRate = rate;
    filter.nDstPicWidth = width;
    filter.nDstPicHeight = height;
    filter.nDstPicStride = stride;
    filter.eDstPicFormat = format;
}

// AX_SYS_Link or AX_SYS_UnLink with the service's link records.
Result link_step(const char* name, int32_t (*call)(const AX_MOD_INFO_T*, const AX_MOD_INFO_T*)) {
    Result r;
    const AX_MOD_INFO_T src = link_src();
    const AX_MOD_INFO_T dst = link_dst();
    return check(r, name, call(&src, &dst));
}

}  // namespace

AX_POOL_FLOORPLAN_T pool_plan(uint32_t width, uint32_t height) {
    auto plan = zeroed<AX_POOL_FLOORPLAN_T>();
    set_pool(plan.CommPool[0],
             uint64_t{mc::kBytesPerPixel * align(width, mc::kPoolLineAlign) *
                      align(height, mc::kPoolRowAlign)},
             mc::kPicturePoolBlocks);
    set_pool(plan.CommPool[1], mc::kSmallPoolBlockSize, mc::kSmallPoolBlocks);
    return plan;
}

AX_MIPI_RX_DEV_T mipi_attr() {
    return mc::kMipiRxAttr;
}

AX_VIN_DEV_ATTR_T dev_attr(const Geometry& g) {
    auto a = zeroed<AX_VIN_DEV_ATTR_T>();
    a.eDevMode = mc::kDevMode;
    a.bImgDataEnable = mc::kImgDataEnable;
    a.bNonImgDataEnable = mc::kNonImgDataEnable;
    a.eSnsIntfType = mc::kSnsIntfType;
    a.eSnsMode = mc::kSnsMode;
    a.eBayerPattern = mc::kBayerPattern;
    a.ePixelFmt = mc::kPixelFmt;
    for (auto& r : a.tDevImgRgn) {
        r = AX_VIN_RECT_T{0, 0, g.width, g.height};
    }
    a.tFrameRateCtrl.fSrcFrameRate = mc::kDevFrameRate;
    a.tFrameRateCtrl.fDstFrameRate = mc::kDevFrameRate;
    a.szImgVc[0] = mc::kImgVirtualChannel;
    a.szImgDt[0] = mc::kImgDataType;
    return a;
}

AX_VIN_DEV_BIND_PIPE_T bind_pipe() {
    auto b = zeroed<AX_VIN_DEV_BIND_PIPE_T>();
    b.nNum = mc::kBoundPipes;
    b.nPipeId[0] = kDev;
    b.nDataFlag[0] = mc::kBindDataFlag;
    return b;
}

AX_VIN_PIPE_ATTR_T pipe_attr(const Geometry& g) {
    auto a = zeroed<AX_VIN_PIPE_ATTR_T>();
    a.ePipeWorkMode = mc::kPipeWorkMode;
    a.tPipeImgRgn = AX_VIN_RECT_T{0, 0, g.width, g.height};
    a.nWidthStride = g.width;
    a.eBayerPattern = mc::kBayerPattern;
    a.ePixelFmt = mc::kPixelFmt;
    a.eSnsMode = mc::kSnsMode;
    return a;
}

AX_SNS_ATTR_T sns_attr(const Geometry& g) {
    auto a = zeroed<AX_SNS_ATTR_T>();
    a.nWidth = g.width;
    a.nHeight = g.height;
    a.fFrameRate = mc::kSensorFrameRate;
    a.eSnsMode = mc::kSnsMode;
    a.eRawType = mc::kSensorRawBits;
    a.eBayerPattern = mc::kBayerPattern;
    return a;
}

AX_VIN_CHN_ATTR_T chn_attr(const Geometry& g) {
    auto a = zeroed<AX_VIN_CHN_ATTR_T>();
    a.nWidth = g.width;
    a.nHeight = g.height;
    a.nWidthStride = g.width;
    a.eImgFormat = mc::kChannelImgFormat;
    a.nDepth = mc::kChannelDepth;
    return a;
}

AX_IVPS_GRP_ATTR_T grp_attr() {
    auto a = zeroed<AX_IVPS_GRP_ATTR_T>();
    a.nInFifoDepth = mc::kIvpsInFifoDepth;
    a.ePipeline = mc::kIvpsPipelineKind;
    return a;
}

AX_IVPS_PIPELINE_ATTR_T pipeline_attr(const Geometry& g) {
    auto a = zeroed<AX_IVPS_PIPELINE_ATTR_T>();
    // The SDK's picture sizes are 16-bit: the low 16 bits of the geometry.
    auto w = static_cast<uint16_t>(g.width);
    auto h = static_cast<uint16_t>(g.height);
    auto s = static_cast<uint16_t>(align(w, mc::kIvpsStrideAlign));
    auto rate = static_cast<float>(g.fps);
    a.nOutChnNum = mc::kIvpsOutChannels;
    a.nOutFifoDepth[0] = mc::kIvpsOutFifoDepth;
    set_filter(a.tFilter[0][0], mc::kFilterDisabled, mc::kEngine1, rate, w, h, s,
               mc::kIvpsImgFormat);
    set_filter(a.tFilter[1][0], mc::kFilterEnabled, mc::kEngine0, rate, w, h, s,
               mc::kIvpsImgFormat);
    set_filter(a.tFilter[1][1], mc::kFilterEnabled, mc::kEngine1, rate, mc::kThumbWidth,
               mc::kThumbHeight, mc::kThumbStride, mc::kThumbFormat);
    return a;
}

AX_MOD_INFO_T link_src() {
    return AX_MOD_INFO_T{mc::kVinModule, mc::kLinkVinGroup, kDev};
}
AX_MOD_INFO_T link_dst() {
    return AX_MOD_INFO_T{mc::kIvpsModule, kGrp, mc::kLinkIvpsChannel};
}

SensorLibrary::SensorLibrary(const char* path) {
    handle_ = dlopen(path, RTLD_LAZY);
    if (handle_ != nullptr) {
        object_ = static_cast<AX_SENSOR_REGISTER_FUNC_T*>(dlsym(handle_, mc::kSensorObjectSymbol));
    }
}

SensorLibrary::~SensorLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

Result sys_init() {
    Result r;
    STEP(r, AX_SYS_Init());
    return r;
}

Result pool_init(uint32_t width, uint32_t height) {
    Result r;
    STEP(r, AX_POOL_Exit());
    AX_POOL_FLOORPLAN_T plan = pool_plan(width, height);
    STEP(r, AX_POOL_SetConfig(&plan));
    STEP(r, AX_POOL_Init());
    STEP(r, AX_VIN_Init());
    return r;
}

Result mipi_init() {
    Result r;
    STEP(r, AX_MIPI_RX_Init());
    (void)AX_MIPI_RX_SetLaneCombo(mc::kMipiLaneCombo);
    AX_MIPI_RX_DEV_T attr = mipi_attr();
    STEP(r, AX_MIPI_RX_SetAttr(kDev, &attr));
    STEP(r, AX_MIPI_RX_Reset(kDev));
    STEP(r, AX_MIPI_RX_Start(kDev));
    return r;
}

Result vin_init(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    Result r = mipi_init();
    if (!r) {
        return r;
    }
    AX_VIN_DEV_ATTR_T dev = dev_attr(g);
    STEP(r, AX_VIN_CreateDev(kDev, &dev));
    STEP(r, AX_VIN_SetDevAttr(kDev, &dev));
    AX_VIN_DEV_BIND_PIPE_T bind = bind_pipe();
    STEP(r, AX_VIN_SetDevBindPipe(kDev, &bind));
    STEP(r, AX_VIN_SetDevBindMipi(kDev, kDev));
    AX_VIN_PIPE_ATTR_T pipe = pipe_attr(g);
    STEP(r, AX_VIN_CreatePipe(kDev, &pipe));
    STEP(r, AX_VIN_SetPipeAttr(kDev, &pipe));
    STEP(r, AX_ISP_RegisterSensor(kDev, sensor));
    AX_SNS_ATTR_T sns = sns_attr(g);
    STEP(r, AX_ISP_SetSnsAttr(kDev, &sns));
    STEP(r, AX_ISP_Create(kDev));
    STEP(r, AX_ISP_Open(kDev));
    AX_VIN_CHN_ATTR_T chn = chn_attr(g);
    STEP(r, AX_VIN_SetChnAttr(kDev, kChn, &chn));
    STEP(r, AX_VIN_SetChnFrameMode(kDev, kChn, mc::kChannelFrameMode));
    STEP(r, AX_VIN_EnableChn(kDev, kChn));
    STEP(r, AX_VIN_StartPipe(kDev));
    STEP(r, AX_ISP_Start(kDev));
    STEP(r, AX_VIN_EnableDev(kDev));
    STEP(r, AX_ISP_StreamOn(kDev));
    return r;
}

Result ivps_init(const Geometry& g) {
    Result r;
    STEP(r, AX_IVPS_Init());
    AX_IVPS_GRP_ATTR_T grp = grp_attr();
    STEP(r, AX_IVPS_CreateGrp(kGrp, &grp));
    AX_IVPS_PIPELINE_ATTR_T pipeline = pipeline_attr(g);
    STEP(r, AX_IVPS_SetPipelineAttr(kGrp, &pipeline));
    STEP(r, AX_IVPS_EnableChn(kGrp, mc::kIvpsChannel0));
    STEP(r, AX_IVPS_StartGrp(kGrp));
    return r;
}

Result link_init() {
    return link_step("AX_SYS_Link", AX_SYS_Link);
}

Result link_deinit() {
    return link_step("AX_SYS_UnLink", AX_SYS_UnLink);
}

Result ivps_deinit() {
    Result r;
    STEP(r, AX_IVPS_StopGrp(kGrp));
    STEP(r, AX_IVPS_DisableChn(kGrp, mc::kIvpsChannel1));
    STEP(r, AX_IVPS_DisableChn(kGrp, mc::kIvpsChannel0));
    STEP(r, AX_IVPS_DestoryGrp(kGrp));
    STEP(r, AX_IVPS_Deinit());
    return r;
}

Result vin_deinit() {
    Result r;
    STEP(r, AX_ISP_StreamOff(kDev));
    STEP(r, AX_VIN_DisableDev(kDev));
    STEP(r, AX_ISP_Stop(kDev));
    STEP(r, AX_VIN_StopPipe(kDev));
    STEP(r, AX_VIN_DisableChn(kDev, kChn));
    STEP(r, AX_ISP_Close(kDev));
    STEP(r, AX_ISP_Destroy(kDev));
    STEP(r, AX_ISP_UnRegisterSensor(kDev));
    STEP(r, AX_VIN_DestroyPipe(kDev));
    STEP(r, AX_VIN_DestroyDev(kDev));
    Result mipi;
    check(mipi, "AX_MIPI_RX_Stop", AX_MIPI_RX_Stop(kDev));
    if (mipi) {
        check(mipi, "AX_MIPI_RX_DeInit", AX_MIPI_RX_DeInit());
    }
    // A failed MIPI de-initialisation is logged by the service but does not fail the tear-down;
    // the tests see it through the call log.
    return r;
}

Result exit_cleanup() {
    Result r;
    check(r, "AX_VIN_Deinit", AX_VIN_Deinit());
    if (r) {
        check(r, "AX_POOL_Exit", AX_POOL_Exit());
    }
    Result sys;
    check(sys, "AX_SYS_Deinit", AX_SYS_Deinit());
    return r ? sys : r;
}

Result capture_bring_up(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    return until_failure({sys_init, [] { return pool_init(); }, [&] { return vin_init(g, sensor); },
                          [&] { return ivps_init(g); }, link_init});
}

Result capture_tear_down() {
    Result first;
    for (Result r : {link_deinit(), ivps_deinit(), vin_deinit()}) {
        if (first && !r) {
            first = r;
        }
    }
    return first;
}

Result resolution_change(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor) {
    return until_failure({link_deinit, ivps_deinit, vin_deinit, [&] { return vin_init(g, sensor); },
                          [&] { return ivps_init(g); }, link_init});
}

Result dump_frame(std::vector<uint8_t>& bytes, AX_VIDEO_FRAME_INFO_T& frame, int32_t timeout_ms) {
    Result r;
    std::memset(&frame, 0, sizeof(frame));
    STEP(r, AX_VIN_GetYuvFrame(kDev, kChn, &frame, timeout_ms));
    uint32_t size = mc::kBytesPerPixel * frame.u32PicStride[0] * frame.u32Height;
    void* addr = AX_SYS_Mmap(frame.u64PhyAddr[0], size);
    if (addr == nullptr) {
        (void)AX_VIN_ReleaseYuvFrame(kDev, kChn, &frame);
        r.status = -1;
        r.failed = "AX_SYS_Mmap";
        return r;
    }
    const auto* p = static_cast<const uint8_t*>(addr);
    bytes.assign(p, p + size);
    check(r, "AX_SYS_Munmap", AX_SYS_Munmap(addr, size));
    int32_t released = AX_VIN_ReleaseYuvFrame(kDev, kChn, &frame);
    return check(r, "AX_VIN_ReleaseYuvFrame", released);
}

}  // namespace seq
