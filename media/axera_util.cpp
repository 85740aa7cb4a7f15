#include "media/axera_util.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

uint32_t align_up(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1U) & ~(alignment - 1U);
}

}  // namespace

AxeraUtil::AxeraUtil(int32_t width, int32_t height, int32_t fps,
                     hdgrab::media::MediaPlatform platform)
    : width(width), height(height), fps(fps), platform_(std::move(platform)) {}

AxeraUtil::~AxeraUtil() {
    if (sys_ready) {
        if (!axera_pool_deinit()) {
            log()->error("Pool deinit failed");
        }
        const int32_t ret = AX_SYS_Deinit();
        if (ret != 0) {
            log()->error("AX_SYS_Deinit failed, ret=0x{:X}", status_hex(ret));
        } else {
            sys_ready = false;
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
    log()->error(message, status_hex(status));
    return false;
}

bool AxeraUtil::axera_sys_init() {
    if (sys_ready) {
        return true;
    }
    const int32_t ret = AX_SYS_Init();
    if (ret != 0) {
        log()->error("AX_SYS_Init failed, ret=0x{:X}", status_hex(ret));
        return false;
    }
    sys_ready = true;
    return true;
}

bool AxeraUtil::axera_pool_init(uint32_t pool_width, uint32_t pool_height) {
    int32_t ret = AX_POOL_Exit();
    if (ret != 0) {
        log()->error("AX_POOL_Exit failed, ret=0x{:X}", status_hex(ret));
        reboot_guard();
        return false;
    }
    remove_reboot_marker();

    // One 16-bit-per-pixel picture per block, lines padded to 32 pixels and height to 8 lines.
    const uint32_t picture_bytes = mc::kBytesPerPixel * align_up(pool_width, mc::kPoolLineAlign) *
                                   align_up(pool_height, mc::kPoolRowAlign);
    AX_POOL_FLOORPLAN_T plan;
    std::memset(&plan, 0, sizeof(plan));
    AX_POOL_CONFIG_T& pictures = plan.CommPool[0];
    pictures.MetaSize = mc::kPoolMetaSize;
    pictures.BlkSize = picture_bytes;
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
        return false;
    }
    ret = AX_POOL_Init();
    if (ret != 0) {
        log()->error("AX_POOL_Init fail! ret=0x{:X}", status_hex(ret));
        return false;
    }
    log()->debug(
        "Create common pool success! Pool[0] BlkSize:{}, BlkCnt:{}, Pool[1] BlkSize:{}, "
        "BlkCnt:{}",
        pictures.BlkSize, pictures.BlkCnt, small.BlkSize, small.BlkCnt);

    ret = AX_VIN_Init();
    if (ret != 0) {
        log()->error("AX_VIN_Init failed, ret=0x{:X}", status_hex(ret));
        return false;
    }
    return true;
}

void AxeraUtil::reboot_guard() {
    const std::filesystem::path marker(platform_.reboot_marker);
    std::ifstream existing(marker);
    if (existing.is_open()) {
        log()->error("Already rebooted once, not rebooting again");
        return;
    }
    // The marker stops the next start from rebooting again if the pools still cannot be
    // released; the results of the commands and of the file creation are deliberately not
    // checked: the reboot is the last resort either way.
    (void)platform_.run_command(mc::kMkdirCommand + marker.parent_path().string());
    { std::ofstream created(marker, std::ios::out | std::ios::trunc); }
    log()->warn("Rebooting system due to AX_POOL_Exit failure...");
    platform_.sync();
    platform_.sleep(mc::kRebootSettle);
    (void)platform_.run_command(mc::kRebootCommand);
    platform_.sleep(mc::kRebootWait);
}

void AxeraUtil::remove_reboot_marker() {
    std::error_code ignored;
    (void)std::filesystem::remove(platform_.reboot_marker, ignored);
}

bool AxeraUtil::axera_pool_deinit() {
    int32_t ret = AX_VIN_Deinit();
    if (ret != 0) {
        log()->error("AX_VIN_DeInit failed, ret=0x{:X}", status_hex(ret));
        return false;
    }
    ret = AX_POOL_Exit();
    if (ret != 0) {
        log()->error("AX_POOL_Exit failed, ret=0x{:X}", status_hex(ret));
        return false;
    }
    remove_reboot_marker();
    return true;
}
