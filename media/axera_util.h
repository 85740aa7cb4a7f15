// AxeraUtil: the one object that drives the vendor media SDK for the capture pipeline.
#pragma once

#include <spdlog/logger.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
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

// The picture a bring-up configures: width and height in pixels, frames per second.
struct CaptureGeometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    bool operator==(const CaptureGeometry&) const = default;
};

}  // namespace hdgrab::media

// Owns the media system, the common pools, the MIPI receiver, the video input with its ISP, the
// image processor group and the link between them, and dumps raw frames. Every operation returns
// true on success and logs its own failure; nothing already done is undone after a failure. The
// tear-downs take down what the pipeline state records as set up, so a re-configuration after a
// failed one starts from what is there.
// Its settings (the geometry of the next bring-up, the platform's paths and hooks) are kept apart
// from its runtime state (what exists now), which only its own operations change.
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

    // ---- settings ----
    // The geometry the next video input and image processor bring-ups configure; the running
    // pipeline's own while no change is under way.
    const hdgrab::media::CaptureGeometry& geometry() const { return settings_.geometry; }
    // Records the geometry of the next bring-up (the bridge monitor, before a re-configuration).
    void set_next_geometry(const hdgrab::media::CaptureGeometry& next) {
        settings_.geometry = next;
    }

    // ---- runtime state ----
    // True while this object has the media system initialised.
    bool media_system_up() const { return state_.sys_ready; }
    // The capture number (MIPI device, VIN device, pipe, channel and ISP pipe) while the MIPI
    // receiver is set up; none before, after its tear-down or after a failed bring-up (whether
    // the receiver still has to be stopped and de-initialised is in the pipeline state).
    std::optional<int32_t> capture_device() const { return state_.capture_device; }
    // The image processor group, from the first successful initialisation of the image
    // processor on (the group number is fixed: a tear-down keeps it).
    std::optional<int32_t> image_processor_group() const { return state_.ivps_group; }
    // True while the dummy sensor library is open (the ISP is set up).
    bool sensor_library_open() const { return static_cast<bool>(state_.sensor_lib); }
    // What the receiver, video input, image processor and link bring-ups have set up.
    const hdgrab::media::PipelineState& pipeline_state() const { return state_.pipeline; }
    // True when the whole pipeline is set up (at the recorded geometry).
    bool pipeline_whole() const { return state_.pipeline.whole() && sensor_library_open(); }
    // True when a pipeline at this geometry fits the pools' picture blocks and the SDK's records
    // (false before the pools exist).
    bool takes_geometry(int32_t new_width, int32_t new_height, int32_t new_fps) const;
    // The SDK call that failed last, as "<call as logged> ret=0x<status>"; empty before any.
    const std::string& last_sdk_error() const { return state_.last_sdk_error; }

    // ---- diagnostics ----
    // Writes one raw YUYV 4:2:2 frame of the video input channel to `path`.
    bool axera_dump_frame(const std::string& path, uint32_t timeout_ms);

    // ---- client channel ----
    // Sends `message` as compact JSON to the client connection `client_fd`, logging through
    // this object's logger; true when the text was handed to the connection.
    bool send_json_message(int32_t client_fd, const nlohmann::json& message);

  private:
    // What the service configured this object with.
    struct Settings {
        hdgrab::media::CaptureGeometry geometry;
        hdgrab::media::MediaPlatform platform;
    };
    // What exists now; set by the bring-ups, cleared by the tear-downs.
    struct RuntimeState {
        bool sys_ready = false;
        // Bytes of one picture block of the common pool, 0 until the pools were created.
        uint64_t picture_block_size = 0;
        std::optional<int32_t> capture_device;
        std::optional<int32_t> ivps_group;
        hdgrab::media::PipelineState pipeline;
        hdgrab::media::SharedLibrary sensor_lib;
        std::string last_sdk_error;
    };
    // The number the SDK is handed for a capture device or group that is not set up: the calls
    // that can still be made then (a frame dump, a link) receive it as they always have.
    static constexpr int32_t kNotSetUp = -1;

    // The configured library logger, or a silent one before configure() has run.
    std::shared_ptr<spdlog::logger> log();
    // Called when leftover pools cannot be released: reboots once, then refuses.
    void reboot_guard();
    void remove_reboot_marker();
    // True for status 0; otherwise logs `message` (one "ret=0x{:X}" placeholder) at error
    // level with the status as unsigned hexadecimal.
    bool sdk_ok(int32_t status, fmt::format_string<uint32_t> message);
    // Logs a failed SDK call as sdk_ok() does and records it as the last SDK error.
    void sdk_failed(fmt::format_string<uint32_t> message, int32_t status);
    // sdk_ok() for a call that undoes a set-up step: clears the step's flag `done` on success.
    bool undo(bool& done, int32_t status, fmt::format_string<uint32_t> message);
    // The capture number and image processor group as the SDK takes them.
    int32_t capture_number() const { return state_.capture_device.value_or(kNotSetUp); }
    int32_t group_number() const { return state_.ivps_group.value_or(kNotSetUp); }
    // The 8-bit device/pipe number the SDK takes: the low 8 bits of the capture number.
    uint8_t device() const { return static_cast<uint8_t>(capture_number()); }

    std::shared_ptr<DefaultLogger2> logger_object;
    Settings settings_;
    RuntimeState state_;
};

// The process-wide capture pipeline object, filled by main during start-up.
extern std::unique_ptr<AxeraUtil> global_axera_util;
