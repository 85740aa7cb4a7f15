#include "media/axera_util.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>
#include <utility>

#include "base/waits.h"
#include "media/axera_detail.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

std::unique_ptr<AxeraUtil> global_axera_util;

namespace hdgrab::media {

int MediaPlatform::default_run_command(const std::string& command) {
    return std::system(command.c_str());
}

void MediaPlatform::default_sync() {
    ::sync();
}

void MediaPlatform::default_sleep(std::chrono::milliseconds duration) {
    hdgrab::sleep_for(duration);
}

void* MediaPlatform::default_map(void* addr, size_t length, int prot, int flags, int fd,
                                 off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}

bool PipelineState::whole() const {
    return mipi.initialised && mipi.started && mipi.ready && vin_dev.created && vin_dev.enabled &&
           vin_pipe.created && vin_pipe.started && isp.registered && isp.created && isp.open &&
           isp.started && isp.streaming && vin_chn.enabled && ivps.initialised &&
           ivps.group_created && ivps.channel_enabled && ivps.started && linked;
}

}  // namespace hdgrab::media

using hdgrab::media::status_hex;
namespace mc = hdgrab::media;

namespace {

uint64_t align_up(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1U) & ~(alignment - 1U);
}

// One 16-bit-per-pixel picture in a pool block: lines padded to 32 pixels, height to 8 lines.
uint64_t picture_bytes(uint32_t width, uint32_t height) {
    return mc::kBytesPerPixel * align_up(width, mc::kPoolLineAlign) *
           align_up(height, mc::kPoolRowAlign);
}

}  // namespace

AxeraUtil::AxeraUtil(int32_t width, int32_t height, int32_t fps,
                     hdgrab::media::MediaPlatform platform)
    : settings_{{width, height, fps}, std::move(platform)} {}

AxeraUtil::~AxeraUtil() {
    if (state_.sys_ready) {
        if (!axera_pool_deinit()) {
            log()->error("Pool deinit failed");
        }
        const int32_t ret = AX_SYS_Deinit();
        if (ret != 0) {
            sdk_failed("AX_SYS_Deinit failed, ret=0x{:X}", ret);
        } else {
            state_.sys_ready = false;
        }
    }
    logger_object.reset();
}

void AxeraUtil::configure(const std::string& level, const std::string& type,
                          const std::string& file) {
    logger_object = std::make_shared<DefaultLogger2>("AxeraUtil");
    logger_object->configure(level, type, file);
}

std::shared_ptr<spdlog::logger> AxeraUtil::get_logger() {
    return logger_object ? logger_object->get_logger() : nullptr;
}

std::shared_ptr<spdlog::logger> AxeraUtil::log() {
    if (auto logger = get_logger()) {
        return logger;
    }
    // Not configured (yet): the messages go nowhere rather than through a null pointer.
    return std::make_shared<spdlog::logger>("AxeraUtil", spdlog::sinks_init_list{});
}

bool AxeraUtil::sdk_ok(int32_t status, fmt::format_string<uint32_t> message) {
    if (status == 0) {
        return true;
    }
    sdk_failed(message, status);
    return false;
}

void AxeraUtil::sdk_failed(fmt::format_string<uint32_t> message, int32_t status) {
    log()->error(message, status_hex(status));
    const fmt::string_view text = message;
    state_.last_sdk_error = fmt::format(
        "{} ret=0x{:X}", mc::failed_call_name(std::string_view(text.data(), text.size())),
        status_hex(status));
}

bool AxeraUtil::axera_sys_init() {
    if (state_.sys_ready) {
        return true;
    }
    const int32_t ret = AX_SYS_Init();
    if (ret != 0) {
        sdk_failed("AX_SYS_Init failed, ret=0x{:X}", ret);
        return false;
    }
    state_.sys_ready = true;
    return true;
}

bool AxeraUtil::axera_pool_init(uint32_t pool_width, uint32_t pool_height) {
    int32_t ret = AX_POOL_Exit();
    if (ret != 0) {
        sdk_failed("AX_POOL_Exit failed, ret=0x{:X}", ret);
        reboot_guard();
        return false;
    }
    remove_reboot_marker();

    const uint64_t block_bytes = picture_bytes(pool_width, pool_height);
    AX_POOL_FLOORPLAN_T plan;
    std::memset(&plan, 0, sizeof(plan));
    AX_POOL_CONFIG_T& pictures = plan.CommPool[0];
    pictures.MetaSize = mc::kPoolMetaSize;
    pictures.BlkSize = block_bytes;
    pictures.BlkCnt = mc::kPicturePoolBlocks;
    std::strncpy(pictures.PartitionName, mc::kPoolPartition, sizeof(pictures.PartitionName) - 1);
    AX_POOL_CONFIG_T& small = plan.CommPool[1];
    small.MetaSize = mc::kPoolMetaSize;
    small.BlkSize = mc::kSmallPoolBlockSize;
    small.BlkCnt = mc::kSmallPoolBlocks;
    std::strncpy(small.PartitionName, mc::kPoolPartition, sizeof(small.PartitionName) - 1);

    ret = AX_POOL_SetConfig(&plan);
    if (ret != 0) {
        log()->info(
            "Create common pool err! Pool[0] BlkSize:{}, BlkCnt:{}, Pool[1] BlkSize:{}, "
            "BlkCnt:{}",
            pictures.BlkSize, pictures.BlkCnt, small.BlkSize, small.BlkCnt);
        state_.last_sdk_error = fmt::format("AX_POOL_SetConfig ret=0x{:X}", status_hex(ret));
        return false;
    }
    ret = AX_POOL_Init();
    if (ret != 0) {
        sdk_failed("AX_POOL_Init fail! ret=0x{:X}", ret);
        return false;
    }
    log()->debug(
        "Create common pool success! Pool[0] BlkSize:{}, BlkCnt:{}, Pool[1] BlkSize:{}, "
        "BlkCnt:{}",
        pictures.BlkSize, pictures.BlkCnt, small.BlkSize, small.BlkCnt);

    state_.picture_block_size = block_bytes;

    ret = AX_VIN_Init();
    if (ret != 0) {
        sdk_failed("AX_VIN_Init failed, ret=0x{:X}", ret);
        return false;
    }
    return true;
}

bool AxeraUtil::takes_geometry(int32_t new_width, int32_t new_height, int32_t new_fps) const {
    if (new_width <= 0 || new_height <= 0 || new_fps <= 0) {
        return false;
    }
    // The image processor's records hold width, height and the aligned stride in 16 bits.
    constexpr uint64_t kRecordMax = std::numeric_limits<uint16_t>::max();
    const auto w = static_cast<uint64_t>(new_width);
    const auto h = static_cast<uint64_t>(new_height);
    if (align_up(w, mc::kIvpsStrideAlign) > kRecordMax || h > kRecordMax) {
        return false;
    }
    return picture_bytes(static_cast<uint32_t>(w), static_cast<uint32_t>(h)) <=
           state_.picture_block_size;
}

void AxeraUtil::reboot_guard() {
    const std::filesystem::path marker(settings_.platform.reboot_marker);
    std::ifstream existing(marker);
    if (existing.is_open()) {
        log()->error("Already rebooted once, not rebooting again");
        return;
    }
    // The marker stops the next start from rebooting again if the pools still cannot be
    // released; the results of the commands and of the file creation are deliberately not
    // checked: the reboot is the last resort either way.
    (void)settings_.platform.run_command(mc::kMkdirCommand + marker.parent_path().string());
    { std::ofstream created(marker, std::ios::out | std::ios::trunc); }
    log()->warn("Rebooting system due to AX_POOL_Exit failure...");
    settings_.platform.sync();
    settings_.platform.sleep(mc::kRebootSettle);
    (void)settings_.platform.run_command(mc::kRebootCommand);
    settings_.platform.sleep(mc::kRebootWait);
}

void AxeraUtil::remove_reboot_marker() {
    std::error_code ignored;
    (void)std::filesystem::remove(settings_.platform.reboot_marker, ignored);
}

bool AxeraUtil::axera_pool_deinit() {
    int32_t ret = AX_VIN_Deinit();
    if (ret != 0) {
        sdk_failed("AX_VIN_DeInit failed, ret=0x{:X}", ret);
        return false;
    }
    ret = AX_POOL_Exit();
    if (ret != 0) {
        sdk_failed("AX_POOL_Exit failed, ret=0x{:X}", ret);
        return false;
    }
    remove_reboot_marker();
    return true;
}
