// AxeraUtil: the one object that drives the vendor media SDK for the capture pipeline.
#pragma once

#include <spdlog/logger.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "log/logger.h"
#include "media/media_handles.h"
#include "media/media_platform.h"

namespace hdgrab::media {

// Which set-up steps of the pipeline's SDK objects have taken effect. A step's flag is set when
// its call succeeds and cleared when the call that undoes it succeeds, so a tear-down undoes
// exactly what exists, in reverse order, and makes no call on an object that is not there.
struct MipiReceiverState {
    bool initialised = false;  // AX_MIPI_RX_Init
    bool started = false;      // AX_MIPI_RX_Start (device 0)
    bool ready = false;        // configured, reset, started and pins switched
};
struct VinDeviceState {
    bool created = false;  // AX_VIN_CreateDev (bindings go with it)
    bool enabled = false;  // AX_VIN_EnableDev
};
struct VinPipeState {
    bool created = false;  // AX_VIN_CreatePipe
    bool started = false;  // AX_VIN_StartPipe
};
struct IspState {
    bool registered = false;  // AX_ISP_RegisterSensor
    bool created = false;     // AX_ISP_Create
    bool open = false;        // AX_ISP_Open
    bool started = false;     // AX_ISP_Start
    bool streaming = false;   // AX_ISP_StreamOn
};
struct VinChannelState {
    bool enabled = false;  // AX_VIN_EnableChn
};
struct IvpsState {
    bool initialised = false;      // AX_IVPS_Init
    bool group_created = false;    // AX_IVPS_CreateGrp
    bool channel_enabled = false;  // AX_IVPS_EnableChn, channel 0
    bool started = false;          // AX_IVPS_StartGrp
};

struct PipelineState {
    MipiReceiverState mipi;
    VinDeviceState vin_dev;
    VinPipeState vin_pipe;
    IspState isp;
    VinChannelState vin_chn;
    IvpsState ivps;
    bool linked = false;  // AX_SYS_Link

    // Every object of the pipeline is set up and running (a completed bring-up).
    bool whole() const;
};

}  // namespace hdgrab::media

// Owns the media system, the common pools, the MIPI receiver, the video input with its ISP, the
// image processor group and the link between them, and dumps raw frames. Every operation returns
// true on success and logs its own failure; nothing already done is undone after a failure. The
// tear-downs take down what `pipeline` records as set up, so a re-configuration after a failed
// one starts from what is there.
// Not safe for concurrent use: callers order their calls (capture thread, bridge monitor).
class AxeraUtil : public ILogger {
  public:
    AxeraUtil(int32_t width, int32_t height, int32_t fps,
              hdgrab::media::MediaPlatform platform = {});
    // Releases the pools and the media system when this object started it; leaves the MIPI
    // receiver, video input and image processor to the callers' tear-down.
    ~AxeraUtil() override;
    AxeraUtil(const AxeraUtil&) = delete;
    AxeraUtil& operator=(const AxeraUtil&) = delete;

    // Builds a fresh "AxeraUtil" logger object and configures it.
    void configure(const std::string& level, const std::string& type,
                   const std::string& file) override;
    std::shared_ptr<spdlog::logger> get_logger() override;

    // ---- media system and pools ----
    bool axera_sys_init();
    // Releases leftover pools (rebooting once when that fails), creates the two common pools
    // planned for `width` x `height` and initialises the video input module.
    bool axera_pool_init(uint32_t width, uint32_t height);
    bool axera_pool_deinit();

    // ---- MIPI receiver and pins ----
    bool axera_mipi_init();
    bool axera_mipi_deinit();
    bool axera_set_pinmux();

    // ---- video input, ISP ----
    bool axera_vin_init();
    bool axera_vin_deinit();

    // ---- image processor and link ----
    bool axera_ivps_init();
    bool axera_ivps_deinit();
    bool axera_link_init();
    bool axera_link_deinit();

    // True when a pipeline at this geometry fits the pools' picture blocks and the SDK's records
    // (false before the pools exist).
    bool takes_geometry(int32_t new_width, int32_t new_height, int32_t new_fps) const;

    // True when the whole pipeline is set up (at the recorded geometry).
    bool pipeline_whole() const { return pipeline.whole() && static_cast<bool>(sensor_lib); }

    // ---- diagnostics ----
    // Writes one raw YUYV 4:2:2 frame of the video input channel to `path`.
    bool axera_dump_frame(const std::string& path, uint32_t timeout_ms);

    // ---- client channel ----
    // Sends `message` as compact JSON to the client connection `client_fd`, logging through
    // this object's logger; true when the text was handed to the connection.
    bool send_json_message(int32_t client_fd, const nlohmann::json& message);

    // The SDK call that failed last, as "<call as logged> ret=0x<status>"; empty before any.
    std::string last_sdk_error;
    // Bytes of one picture block of the common pool, 0 until the pools were created.
    uint64_t picture_block_size = 0;
    // True while this object has the media system initialised.
    bool sys_ready = false;
    // Capture number: MIPI device, VIN device, pipe, channel and ISP pipe; -1 while the MIPI
    // receiver is not set up or its bring-up failed (whether the receiver still has to be
    // stopped and de-initialised is recorded in `pipeline.mipi`).
    int32_t dev_id = -1;
    // Image processor group; 0 once the image processor was initialised.
    int32_t ivps_group = -1;
    // What the receiver, video input, image processor and link bring-ups have set up.
    hdgrab::media::PipelineState pipeline;
    // The dummy sensor library, open while the ISP is set up.
    hdgrab::media::SharedLibrary sensor_lib;
    // Geometry of the next bring-up; the bridge monitor writes these before a re-configuration.
    int32_t width;
    int32_t height;
    int32_t fps;

  private:
    // The configured library logger, or a silent one before configure() has run.
    std::shared_ptr<spdlog::logger> log();
    // Called when leftover pools cannot be released: reboots once, then refuses.
    void reboot_guard();
    void remove_reboot_marker();
    // True for status 0; otherwise logs `message` (one "ret=0x{:X}" placeholder) at error
    // level with the status as unsigned hexadecimal.
    bool sdk_ok(int32_t status, fmt::format_string<uint32_t> message);
    // Logs a failed SDK call as sdk_ok() does and records it in `last_sdk_error`.
    void sdk_failed(fmt::format_string<uint32_t> message, int32_t status);
    // sdk_ok() for a call that undoes a set-up step: clears the step's flag `done` on success.
    bool undo(bool& done, int32_t status, fmt::format_string<uint32_t> message);
    // The 8-bit device/pipe number the SDK takes: the low 8 bits of dev_id.
    uint8_t device() const { return static_cast<uint8_t>(dev_id); }

    std::shared_ptr<DefaultLogger2> logger_object;
    hdgrab::media::MediaPlatform platform_;
};

// The process-wide capture pipeline object, filled by main during start-up.
extern std::unique_ptr<AxeraUtil> global_axera_util;
