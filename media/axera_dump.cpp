// Raw frame dump of AxeraUtil: one YUYV 4:2:2 frame of the video input channel to a file.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "media/axera_detail.h"
#include "media/axera_util.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

using hdgrab::media::status_hex;
namespace mc = hdgrab::media;

namespace {

// Hands a frame back to the SDK exactly once, when the holder goes out of scope. Declared
// before the file and the mapping so that both are gone before the frame is released.
class HeldFrame {
  public:
    HeldFrame(uint8_t pipe, const AX_VIDEO_FRAME_INFO_T& frame) : pipe_(pipe), frame_(frame) {}
    ~HeldFrame() {
        // Nothing can be done about a refused release; its status is not looked at.
        (void)AX_VIN_ReleaseYuvFrame(pipe_, mc::kVinChannel, &frame_);
    }
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;

  private:
    uint8_t pipe_;
    const AX_VIDEO_FRAME_INFO_T& frame_;
};

// A write that failed part-way leaves no file behind: a cut-off frame under the expected name
// would pass for a picture to whoever collects it. Only a regular file is removed, never a
// device or a link the path may name.
void discard_partial_file(const std::string& path) {
    std::error_code error;
    if (std::filesystem::symlink_status(path, error).type() ==
        std::filesystem::file_type::regular) {
        std::filesystem::remove(path, error);
    }
}

}  // namespace

bool AxeraUtil::axera_dump_frame(const std::string& path, uint32_t timeout_ms) {
    AX_VIDEO_FRAME_INFO_T frame;
    std::memset(&frame, 0, sizeof(frame));
    // The SDK takes a signed time-out; larger values are clamped rather than turned negative.
    const auto timeout =
        static_cast<int32_t>(std::min<uint32_t>(timeout_ms, std::numeric_limits<int32_t>::max()));
    const int32_t ret = AX_VIN_GetYuvFrame(device(), mc::kVinChannel, &frame, timeout);
    if (ret != 0) {
        sdk_failed("AX_VIN_GetYuvFrame failed, ret=0x{:X}", ret);
        return false;
    }
    const HeldFrame held(device(), frame);

    const uint32_t stride = frame.u32PicStride[0];
    const uint64_t phy_addr = frame.u64PhyAddr[0];
    log()->debug(
        "Got YUYV422 frame: SeqNum={}, FrameSize={}, Width={}, Height={}, Stride={}, "
        "Format=0x{:02X}",
        frame.u64SeqNum, frame.u32FrameSize, frame.u32Width, frame.u32Height, stride,
        static_cast<uint32_t>(frame.enImgFormat));

    // No shell command runs while the file is open, so the stream's descriptor need not be
    // close-on-exec.
    std::ofstream out(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        log()->error("Failed to open file for writing: {}", path);
        return false;
    }

    // The whole first plane, line padding included.
    const uint32_t size = mc::kBytesPerPixel * stride * frame.u32Height;
    void* mapped = AX_SYS_Mmap(phy_addr, size);
    if (mapped == nullptr) {
        log()->error("AX_SYS_Mmap failed for YUYV422 frame, addr=0x{:016X}, size={}", phy_addr,
                     size);
        // The file stays, empty: nothing was written that could pass for a picture.
        out.close();
        return false;
    }
    log()->debug("AX_SYS_Mmap success: PhyAddr=0x{:016X}, VirtAddr={}, size={}", phy_addr, mapped,
                 size);

    out.write(static_cast<const char*>(mapped), static_cast<std::streamsize>(size));
    // Flushed before the check so that an error held back in the stream buffer (a full disk)
    // is not reported as a written frame.
    out.flush();
    const bool written = out.good();
    if (!written) {
        log()->error("Failed to write full YUYV422 frame to file");
    } else {
        log()->debug("YUYV422 frame written successfully to {}", path);
    }
    out.close();
    if (!written) {
        discard_partial_file(path);
    }

    const int32_t unmapped = AX_SYS_Munmap(mapped, size);
    if (unmapped != 0) {
        log()->error("AX_SYS_Munmap failed for addr=0x{:016X}, ret=0x{:X}", phy_addr,
                     status_hex(unmapped));
    }
    return written;
}
