#include "bridge/lt6911_util.h"

#include <utility>

#include "bridge/proc_file.h"

std::unique_ptr<Lt6911Util> global_lt6911_util;

Lt6911Util::Lt6911Util(std::string dir)
    : base_dir(dir.empty() ? std::string(hdgrab::kBridgeDir) : std::move(dir)) {}

void Lt6911Util::configure(const std::string& level, const std::string& type,
                           const std::string& file) {
    logger = std::make_shared<DefaultLogger2>(hdgrab::kBridgeLoggerName);
    logger->configure(level, type, file);
}

std::shared_ptr<spdlog::logger> Lt6911Util::get_logger() {
    return logger ? logger->get_logger() : nullptr;
}

std::string Lt6911Util::path_of(const std::string& name) const {
    return base_dir + "/" + name;
}

bool Lt6911Util::lt6911_read_value(const std::string& name, int32_t& out) {
    const hdgrab::UniqueFd fd = hdgrab::open_for_reading(path_of(name));
    return hdgrab::read_int(fd, out);
}

bool Lt6911Util::lt6911_read_resolution(int32_t& width, int32_t& height, int32_t& fps) {
    const bool width_ok = lt6911_read_value(hdgrab::kBridgeWidthFile, width);
    const bool height_ok = lt6911_read_value(hdgrab::kBridgeHeightFile, height);
    const bool fps_ok = lt6911_read_value(hdgrab::kBridgeFpsFile, fps);
    return width_ok && height_ok && fps_ok && width > 0 && height > 0 && fps > 0;
}

bool Lt6911Util::lt6911_read_status(std::string& out) {
    const hdgrab::UniqueFd fd = hdgrab::open_for_reading(path_of(hdgrab::kBridgeStatusFile));
    return hdgrab::read_line(fd, out);
}

bool Lt6911Util::lt6911_write_status(const std::string& value) {
    const std::string path = path_of(hdgrab::kBridgeStatusFile);
    const hdgrab::UniqueFd fd = hdgrab::open_for_writing(path);
    if (!fd.is_valid()) {
        if (auto log = get_logger()) {
            log->error("Failed to open file for writing: {}", path);
        }
        return false;
    }
    // One write(2) carries the whole line: the driver sees the acknowledgement in one piece.
    if (!hdgrab::write_all(fd, value + "\n")) {
        if (auto log = get_logger()) {
            log->error("Failed to write status to file: {}", path);
        }
        return false;
    }
    return true;
}

bool Lt6911Util::lt6911_set_power(bool on) {
    const std::string path = path_of(hdgrab::kBridgePowerFile);
    const hdgrab::UniqueFd fd = hdgrab::open_for_writing(path);
    if (!fd.is_valid()) {
        if (auto log = get_logger()) {
            log->error("Failed to open Lt6911 power control file: {}", path);
        }
        return false;
    }
    if (!hdgrab::write_all(fd, on ? "1\n" : "0\n")) {
        if (auto log = get_logger()) {
            log->error("Failed to write Lt6911 power value: {}", on);
        }
        return false;
    }
    if (auto log = get_logger()) {
        log->info("Lt6911 power {}abled", on ? "en" : "dis");
    }
    return true;
}
