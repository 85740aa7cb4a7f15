// MIPI receiver and pin multiplexing of AxeraUtil.
#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>

#include "base/unique_fd.h"
#include "media/axera_detail.h"
#include "media/axera_util.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"

using hdgrab::media::error_text;
using hdgrab::media::status_hex;
namespace mc = hdgrab::media;

bool AxeraUtil::axera_mipi_init() {
    int32_t ret = AX_MIPI_RX_Init();
    if (ret != 0) {
        sdk_failed("AX_MIPI_RX_Init failed, ret=0x{:X}", ret);
        return false;
    }
    state_.pipeline.mipi.initialised = true;
    // The lane combination is fixed by the board; a refusal shows up in the steps below.
    (void)AX_MIPI_RX_SetLaneCombo(mc::kMipiLaneCombo);
    state_.capture_device = mc::kMipiDevice;

    // Each of the four steps is attempted whatever the previous one gave; any failure fails
    // the bring-up.
    bool ok = true;
    ret = AX_MIPI_RX_SetAttr(static_cast<uint8_t>(mc::kMipiDevice), &mc::kMipiRxAttr);
    if (ret != 0) {
        sdk_failed("AX_MIPI_RX_SetAttr failed, ret=0x{:X}", ret);
        ok = false;
    }
    ret = AX_MIPI_RX_Reset(device());
    if (ret != 0) {
        sdk_failed("AX_MIPI_RX_Reset, ret=0x{:X}", ret);
        ok = false;
    }
    ret = AX_MIPI_RX_Start(device());
    if (ret != 0) {
        sdk_failed("AX_MIPI_RX_Start failed, ret=0x{:X}", ret);
        ok = false;
    } else {
        state_.pipeline.mipi.started = true;
    }
    if (!axera_set_pinmux()) {
        log()->error("Set pinmux failed");
        ok = false;
    }
    state_.pipeline.mipi.ready = ok;
    if (!ok) {
        // The receiver is left as it is (its state recorded above); only the capture number is
        // withdrawn.
        state_.capture_device.reset();
    }
    return ok;
}

bool AxeraUtil::axera_set_pinmux() {
    hdgrab::UniqueFd mem(::open(settings_.platform.dev_mem.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
    if (!mem) {
        const int error = errno;
        log()->error("Failed to open /dev/mem, error: {}", error_text(error));
        return false;
    }
    constexpr uint32_t kPageMask = ~(mc::kRegisterPageSize - 1U);
    for (const mc::PinSetting& pin : mc::kPinTable) {
        // Each entry maps its own page, although all entries share one.
        const uint32_t page = pin.address & kPageMask;
        void* address =
            settings_.platform.map(nullptr, mc::kRegisterPageSize, PROT_READ | PROT_WRITE,
                                   MAP_SHARED, mem.get(), static_cast<off_t>(page));
        if (address == MAP_FAILED) {
            const int error = errno;
            log()->error("mmap failed for address 0x{:X}, error: {}", pin.address,
                         error_text(error));
            continue;
        }
        const mc::MemoryMapping mapping(address, mc::kRegisterPageSize);
        auto* registers = static_cast<volatile uint8_t*>(mapping.get());
        *reinterpret_cast<volatile uint32_t*>(registers + (pin.address - page)) = pin.value;
    }
    return true;
}

bool AxeraUtil::axera_mipi_deinit() {
    // Device 0 is the receiver's device whether or not a capture number is held: a failed
    // bring-up withdraws the number although the receiver may be initialised and started.
    if (state_.pipeline.mipi.started) {
        const int32_t ret = AX_MIPI_RX_Stop(static_cast<uint8_t>(mc::kMipiDevice));
        if (ret != 0) {
            sdk_failed("AX_MIPI_RX_Stop failed, ret=0x{:X}", ret);
            return false;
        }
        state_.pipeline.mipi.started = false;
        state_.pipeline.mipi.ready = false;
    }
    if (state_.pipeline.mipi.initialised) {
        const int32_t ret = AX_MIPI_RX_DeInit();
        if (ret != 0) {
            sdk_failed("AX_MIPI_RX_DeInit failed, ret=0x{:X}", ret);
            return false;
        }
        state_.pipeline.mipi = {};
    }
    state_.capture_device.reset();
    return true;
}
