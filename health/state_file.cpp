#include "health/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/unique_fd.h"

namespace hdgrab {
namespace {

// Room for "YYYY-mm-ddTHH:MM:SS+hhmm" and a terminating zero.
constexpr size_t kTimeTextSize = 32;

// The temporary file lies in the same directory, so the rename replaces the file atomically.
std::string temporary_path_for(const std::string& path) {
    const std::filesystem::path file(path);
    return (file.parent_path() / ("." + file.filename().string() + ".tmp")).string();
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const char* pipeline_health_name(PipelineHealth state) {
    switch (state) {
        case PipelineHealth::kUp:
            return "up";
        case PipelineHealth::kIncomplete:
            return "incomplete";
        case PipelineHealth::kDown:
            break;
    }
    return "down";
}

const char* input_state_name(InputState state) {
    switch (state) {
        case InputState::kNoSignal:
            return "no_signal";
        case InputState::kUnusableTiming:
            return "unusable_timing";
        case InputState::kUnsupported:
            return "unsupported";
        case InputState::kNoDriver:
            return "no_driver";
        case InputState::kSignal:
            break;
    }
    return "signal";
}

std::string iso8601_local(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    (void)::localtime_r(&seconds, &local);
    std::array<char, kTimeTextSize> text{};
    const size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string result(text.data(), length);
    // strftime gives the offset as +hhmm; the extended form of the date wants +hh:mm.
    if (result.size() >= 5) {
        result.insert(result.size() - 2, ":");
    }
    return result;
}

std::string state_json(const ServiceState& state, pid_t pid, const std::string& version) {
    const nlohmann::json object{
        {"bridge", state.bridge},
        {"input", input_state_name(state.input)},
        {"pipeline", pipeline_health_name(state.pipeline)},
        {"width", state.width},
        {"height", state.height},
        {"fps", state.fps},
        {"client", state.client},
        {"changes", state.changes},
        {"failed_changes", state.failed_changes},
        {"power_cycles", state.power_cycles},
        {"last_error", state.last_error},
        {"last_change_ms",
         state.last_change_ms ? nlohmann::json(*state.last_change_ms) : nlohmann::json()},
        {"since", iso8601_local(state.since)},
        {"pid", pid},
        {"version", version},
    };
    // The bridge text comes from the driver: replace invalid UTF-8 rather than throw.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

StateFile::StateFile(std::string path, std::shared_ptr<spdlog::logger> log)
    : path_(std::move(path)), temporary_path_(temporary_path_for(path_)), log_(std::move(log)) {}

bool StateFile::write(const std::string& text) {
    if (!write_temporary(text) || ::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        (void)::unlink(temporary_path_.c_str());
        if (!failing_) {
            log_->warn("Failed to write the state file {}: {}", path_, std::strerror(error));
        }
        failing_ = true;
        return false;
    }
    failing_ = false;
    return true;
}

bool StateFile::write_temporary(const std::string& text) {
    UniqueFd fd(::open(temporary_path_.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kStateFileMode));
    // The mode exactly, whatever the file-creation mask.
    return fd && ::fchmod(fd.get(), kStateFileMode) == 0 && write_all(fd.get(), text);
}

void StateFile::remove() {
    (void)::unlink(path_.c_str());
    (void)::unlink(temporary_path_.c_str());
}

}  // namespace hdgrab
