// The service's SDK call sequences (start-up, bring-up, tear-down, dump, exit) with its records,
// replayed against the substitute SDK by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

namespace seq {

struct Geometry {
    uint32_t width;
    uint32_t height;
    uint32_t fps;
};

// The records exactly as the service fills them, from its constants.
AX_POOL_FLOORPLAN_T pool_plan(uint32_t width, uint32_t height);
AX_MIPI_RX_DEV_T mipi_attr();
AX_VIN_DEV_ATTR_T dev_attr(const Geometry& g);
AX_VIN_DEV_BIND_PIPE_T bind_pipe();
AX_VIN_PIPE_ATTR_T pipe_attr(const Geometry& g);
AX_SNS_ATTR_T sns_attr(const Geometry& g);
AX_VIN_CHN_ATTR_T chn_attr(const Geometry& g);
AX_IVPS_GRP_ATTR_T grp_attr();
AX_IVPS_PIPELINE_ATTR_T pipeline_attr(const Geometry& g);
AX_MOD_INFO_T link_src();
AX_MOD_INFO_T link_dst();

// The dummy sensor library, opened lazily like the service does.
class SensorLibrary {
  public:
    explicit SensorLibrary(const char* path);
    ~SensorLibrary();
    SensorLibrary(const SensorLibrary&) = delete;
    SensorLibrary& operator=(const SensorLibrary&) = delete;
    AX_SENSOR_REGISTER_FUNC_T* object() const { return object_; }

  private:
    void* handle_ = nullptr;
    AX_SENSOR_REGISTER_FUNC_T* object_ = nullptr;
};

// Each step returns 0 or the status of the first call that failed, stopping there like the
// service does. `failed` (when given) receives the failing call's name.
struct Result {
    int32_t status = 0;
    std::string failed;
    explicit operator bool() const { return status == 0; }
};

Result sys_init();
Result pool_init(uint32_t width = hdgrab::media::kPoolWidth,
                 uint32_t height = hdgrab::media::kPoolHeight);
Result mipi_init();
Result vin_init(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor);
Result ivps_init(const Geometry& g);
Result link_init();
Result link_deinit();
Result ivps_deinit();
// Tear-down of the video input; the MIPI de-initialisation at its end does not fail it.
Result vin_deinit();
// What the process-exit destructor does: VIN module, pools, media system.
Result exit_cleanup();

// Capture thread bring-up: system, pools for the largest picture, video input, image processor,
// link.
Result capture_bring_up(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor);
// Capture thread tear-down (every step attempted); returns the first failure.
Result capture_tear_down();
// Bridge monitor: tear down, then bring up at the new geometry.
Result resolution_change(const Geometry& g, AX_SENSOR_REGISTER_FUNC_T* sensor);

// Dump road's frame step: get, map, copy, unmap, release. Fills `bytes` with the mapping.
Result dump_frame(std::vector<uint8_t>& bytes, AX_VIDEO_FRAME_INFO_T& frame,
                  int32_t timeout_ms = hdgrab::media::kDumpTimeoutMs);

}  // namespace seq
