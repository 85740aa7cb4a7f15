// The service's SDK call sequences with its records, for the substitute SDK's tests.
#include "tests/sim/sequences.h"

#include <dlfcn.h>

#include <cstring>

namespace seq {
namespace {

constexpr int32_t kDev = 0;  // the capture number: MIPI, VIN device, pipe, channel, ISP

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

uint32_t align(uint32_t value, uint32_t to) {
    return (value + to - 1) / to * to;
}

}  // namespace

AX_POOL_FLOORPLAN_T pool_plan(uint32_t width, uint32_t height) {
    AX_POOL_FLOORPLAN_T plan;
    std::memset(&plan, 0, sizeof(plan));
    plan.CommPool[0].MetaSize = 4096;
    plan.CommPool[0].BlkSize = uint64_t{2u * align(width, 32) * align(height, 8)};
    plan.CommPool[0].BlkCnt = 6;
    std::strcpy(plan.CommPool[0].PartitionName, "anonymous");
    plan.CommPool[1].MetaSize = 4096;
    plan.CommPool[1].BlkSize = 112640;
    plan.CommPool[1].BlkCnt = 4;
    std::strcpy(plan.CommPool[1].PartitionName, "anonymous");
    return plan;
}

AX_MIPI_RX_DEV_T mipi_attr() {
    AX_MIPI_RX_DEV_T a;
    std::memset(&a, 0, sizeof(a));
    a.eInputMode = 0;
    a.ePhyMode = 0;
    a.eLaneNum = 4;
    a.nDataRate = 600;
    a.nDataLaneMap[0] = 0;
    a.nDataLaneMap[1] = 1;
    a.nDataLaneMap[2] = 3;
    a.nDataLaneMap[3] = 4;
    a.nClkLane[0] = 2;
    a.nClkLane[1] = 5;
    return a;
}

AX_VIN_DEV_ATTR_T dev_attr(const Geometry& g) {
    AX_VIN_DEV_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    a.eDevMode = 0;
    a.bImgDataEnable = 1;
    a.bNonImgDataEnable = 0;
    a.eSnsIntfType = 0;
    a.eSnsMode = 5;
    a.eBayerPattern = 3;
    a.ePixelFmt = 132;
    for (auto& r : a.tDevImgRgn) {
        r = AX_VIN_RECT_T{0, 0, g.width, g.height};
    }
    a.tFrameRateCtrl.fSrcFrameRate = 1.0f;
    a.tFrameRateCtrl.fDstFrameRate = 1.0f;
    a.szImgVc[0] = 0;
    a.szImgDt[0] = 0x1E;
    return a;
}

AX_VIN_DEV_BIND_PIPE_T bind_pipe() {
    AX_VIN_DEV_BIND_PIPE_T b;
    std::memset(&b, 0, sizeof(b));
    b.nNum = 1;
    b.nPipeId[0] = kDev;
    b.nDataFlag[0] = 1;
    return b;
}

AX_VIN_PIPE_ATTR_T pipe_attr(const Geometry& g) {
    AX_VIN_PIPE_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    a.ePipeWorkMode = 12;
    a.tPipeImgRgn = AX_VIN_RECT_T{0, 0, g.width, g.height};
    a.nWidthStride = g.width;
    a.eBayerPattern = 3;
    a.ePixelFmt = 132;
    a.eSnsMode = 5;
    return a;
}

AX_SNS_ATTR_T sns_attr(const Geometry& g) {
    AX_SNS_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    a.nWidth = g.width;
    a.nHeight = g.height;
    a.fFrameRate = 60.0f;
    a.eSnsMode = 5;
    a.eRawType = 16;
    a.eBayerPattern = 3;
    return a;
}

AX_VIN_CHN_ATTR_T chn_attr(const Geometry& g) {
    AX_VIN_CHN_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    a.nWidth = g.width;
    a.nHeight = g.height;
    a.nWidthStride = g.width;
    a.eImgFormat = 3;
    a.nDepth = 1;
    return a;
}

AX_IVPS_GRP_ATTR_T grp_attr() {
    AX_IVPS_GRP_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    a.nInFifoDepth = 1;
    a.ePipeline = 0;
    return a;
}

AX_IVPS_PIPELINE_ATTR_T pipeline_attr(const Geometry& g) {
    AX_IVPS_PIPELINE_ATTR_T a;
    std::memset(&a, 0, sizeof(a));
    auto w = static_cast<uint16_t>(g.width & 0xFFFF);
    auto h = static_cast<uint16_t>(g.height & 0xFFFF);
    auto s = static_cast<uint16_t>((w + 15) & ~15);
    auto f = static_cast<float>(g.fps);
    a.nOutChnNum = 1;
    a.nOutFifoDepth[0] = 1;
    AX_IVPS_FILTER_T& f00 = a.tFilter[0][0];
    f00.eEngine = 1;
    f00.fSrcFrameRate = f;
    f00.fDstFrameRate = f;
    f00.nDstPicWidth = w;
    f00.nDstPicHeight = h;
    f00.nDstPicStride = s;
    f00.eDstPicFormat = 3;
    AX_IVPS_FILTER_T& f10 = a.tFilter[1][0];
    f10.bEngage = 1;
    f10.fSrcFrameRate = f;
    f10.fDstFrameRate = f;
    f10.nDstPicWidth = w;
    f10.nDstPicHeight = h;
    f10.nDstPicStride = s;
    f10.eDstPicFormat = 3;
    AX_IVPS_FILTER_T& f11 = a.tFilter[1][1];
    f11.bEngage = 1;
    f11.eEngine = 1;
    f11.fSrcFrameRate = f;
    f11.fDstFrameRate = f;
    f11.nDstPicWidth = 320;
    f11.nDstPicHeight = 172;
    f11.nDstPicStride = 320;
    f11.eDstPicFormat = 160;
    return a;
}

AX_MOD_INFO_T link_src() {
    return AX_MOD_INFO_T{17, 0, kDev};
}
AX_MOD_INFO_T link_dst() {
    return AX_MOD_INFO_T{13, 0, 0};
}

SensorLibrary::SensorLibrary(const char* path) {
    handle_ = dlopen(path, RTLD_LAZY);
    if (handle_ != nullptr) {
        object_ = static_cast<AX_SENSOR_REGISTER_FUNC_T*>(dlsym(handle_, "gSnsdummyObj"));
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
    (void)AX_MIPI_RX_SetLaneCombo(0);
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
    STEP(r, AX_VIN_SetChnAttr(kDev, 0, &chn));
    STEP(r, AX_VIN_SetChnFrameMode(kDev, 0, 0));
    STEP(r, AX_VIN_EnableChn(kDev, 0));
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
    STEP(r, AX_IVPS_CreateGrp(0, &grp));
    AX_IVPS_PIPELINE_ATTR_T pipeline = pipeline_attr(g);
    STEP(r, AX_IVPS_SetPipelineAttr(0, &pipeline));
    STEP(r, AX_IVPS_EnableChn(0, 0));
    STEP(r, AX_IVPS_StartGrp(0));
    return r;
}

Result link_init() {
    Result r;
    AX_MOD_INFO_T src = link_src();
    AX_MOD_INFO_T dst = link_dst();
    STEP(r, AX_SYS_Link(&src, &dst));
    return r;
}

Result link_deinit() {
    Result r;
    AX_MOD_INFO_T src = link_src();
    AX_MOD_INFO_T dst = link_dst();
    STEP(r, AX_SYS_UnLink(&src, &dst));
    return r;
}

Result ivps_deinit() {
    Result r;
    STEP(r, AX_IVPS_StopGrp(0));
    STEP(r, AX_IVPS_DisableChn(0, 1));
    STEP(r, AX_IVPS_DisableChn(0, 0));
    STEP(r, AX_IVPS_DestoryGrp(0));
    STEP(r, AX_IVPS_Deinit());
    return r;
}

Result vin_deinit() {
    Result r;
    STEP(r, AX_ISP_StreamOff(kDev));
    STEP(r, AX_VIN_DisableDev(kDev));
    STEP(r, AX_ISP_Stop(kDev));
    STEP(r, AX_VIN_StopPipe(kDev));
    STEP(r, AX_VIN_DisableChn(kDev, 0));
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
    Result r = sys_init();
    if (r) {
        r = pool_init();
    }
    if (r) {
        r = vin_init(g, sensor);
    }
    if (r) {
        r = ivps_init(g);
    }
    if (r) {
        r = link_init();
    }
    return r;
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
    Result r = link_deinit();
    if (r) {
        r = ivps_deinit();
    }
    if (r) {
        r = vin_deinit();
    }
    if (!r) {
        return r;
    }
    r = vin_init(g, sensor);
    if (r) {
        r = ivps_init(g);
    }
    if (r) {
        r = link_init();
    }
    return r;
}

Result dump_frame(std::vector<uint8_t>& bytes, AX_VIDEO_FRAME_INFO_T& frame, int32_t timeout_ms) {
    Result r;
    std::memset(&frame, 0, sizeof(frame));
    STEP(r, AX_VIN_GetYuvFrame(kDev, 0, &frame, timeout_ms));
    uint32_t size = 2u * frame.u32PicStride[0] * frame.u32Height;
    void* addr = AX_SYS_Mmap(frame.u64PhyAddr[0], size);
    if (addr == nullptr) {
        (void)AX_VIN_ReleaseYuvFrame(kDev, 0, &frame);
        r.status = -1;
        r.failed = "AX_SYS_Mmap";
        return r;
    }
    const auto* p = static_cast<const uint8_t*>(addr);
    bytes.assign(p, p + size);
    check(r, "AX_SYS_Munmap", AX_SYS_Munmap(addr, size));
    int32_t released = AX_VIN_ReleaseYuvFrame(kDev, 0, &frame);
    return check(r, "AX_VIN_ReleaseYuvFrame", released);
}

}  // namespace seq
