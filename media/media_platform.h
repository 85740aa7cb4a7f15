// Paths and operating-system hooks the capture pipeline uses, with the appliance's values.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "media/media_constants.h"

namespace hdgrab::media {

// Maps `length` bytes of `fd` at `offset` like mmap(2): returns MAP_FAILED and sets errno on
// failure.
using MapFunction =
    std::function<void*(void* addr, size_t length, int prot, int flags, int fd, off_t offset)>;

// Everything AxeraUtil touches outside the SDK. Tests point the paths at temporary files and
// replace the hooks so that nothing reboots, waits for seconds or touches physical memory.
struct MediaPlatform {
    std::string dev_mem = kDevMemPath;
    std::string sensor_lib = kSensorLibPath;
    std::string reboot_marker = kRebootMarkerPath;
    // Runs one shell command; the result is not looked at.
    std::function<int(const std::string&)> run_command = default_run_command;
    // Flushes the file systems.
    std::function<void()> sync = default_sync;
    // Relative wait that resumes after signals.
    std::function<void(std::chrono::milliseconds)> sleep = default_sleep;
    // Maps one register page of the /dev/mem descriptor.
    MapFunction map = default_map;

    static int default_run_command(const std::string& command);
    static void default_sync();
    static void default_sleep(std::chrono::milliseconds duration);
    static void* default_map(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
};

}  // namespace hdgrab::media
