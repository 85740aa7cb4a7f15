// Gateway to the LT6911 HDMI bridge driver's files: status line, geometry, handshake, power.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/bridge_status.h"
#include "log/logger.h"

namespace hdgrab {

// The directory where the bridge driver publishes its files.
inline constexpr const char* kBridgeDir = "/proc/lt6911_info";
// The bridge object's log lines carry the same name as the pipeline owner's.
inline constexpr const char* kBridgeLoggerName = "AxeraUtil";
// File names inside the bridge directory.
inline constexpr const char* kBridgeStatusFile = "status";
inline constexpr const char* kBridgeWidthFile = "width";
inline constexpr const char* kBridgeHeightFile = "height";
inline constexpr const char* kBridgeFpsFile = "fps";
inline constexpr const char* kBridgePowerFile = "power";

}  // namespace hdgrab

// Every operation opens its file afresh, does one read or write and closes it again; nothing is
// cached. The readers log nothing (the caller reports); the writers log their own failures.
class Lt6911Util : public ILogger {
  public:
    // `dir` is the bridge directory without a trailing slash; an empty string selects kBridgeDir.
    explicit Lt6911Util(std::string dir);

    // Replaces the logger object with a new DefaultLogger2 named "AxeraUtil" and configures it.
    void configure(const std::string& level, const std::string& type,
                   const std::string& file) override;
    // Empty until configure has succeeded.
    std::shared_ptr<spdlog::logger> get_logger() override;

    // The first line of `status`, without its line feed. False when the file cannot be opened
    // (`out` unchanged) or is empty.
    bool lt6911_read_status(std::string& out);
    // Reads `width`, `height` and `fps` (always all three). True only when all three were read
    // and are greater than 0; a failed read leaves 0 in its output.
    bool lt6911_read_resolution(int32_t& width, int32_t& height, int32_t& fps);
    // Writes `value` and a line feed to `status`.
    bool lt6911_write_status(const std::string& value);
    // Writes "1" (on) or "0" (off) and a line feed to `power`.
    bool lt6911_set_power(bool on);
    // One decimal integer from the file `name` of the bridge directory; 0 and false on failure.
    bool lt6911_read_value(const std::string& name, int32_t& out);

    const std::string& get_base_dir() const { return base_dir; }

  private:
    std::string path_of(const std::string& name) const;

    std::shared_ptr<DefaultLogger2> logger;
    std::string base_dir;
};

// The process-wide bridge object; destroyed at process exit before the pipeline owner.
extern std::unique_ptr<Lt6911Util> global_lt6911_util;
