// The state file: what the running service reports about itself, for scripts and web pages.
#pragma once

#include <spdlog/logger.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace hdgrab {

// Where the running service keeps its state file (beside the control socket).
inline constexpr const char* kStateFilePath = "/run/kvm/vin_state.json";
// Its permissions: readable by every local reader, written by the service alone.
inline constexpr mode_t kStateFileMode = 0644;

// The capture pipeline as a whole: every object in place, partly in place after a failure, or
// not in place (before the bring-up, during a re-configuration, after the tear-down).
enum class PipelineHealth { kDown, kIncomplete, kUp };
const char* pipeline_health_name(PipelineHealth state);

// The HDMI input as the service sees it: a signal, none (the bridge says "disappear"), one whose
// timing the bridge cannot use ("unknown res", "error res"), one announced beyond what the
// capture pipeline takes, or no bridge driver to ask (its status file cannot be watched).
enum class InputState { kSignal, kNoSignal, kUnusableTiming, kUnsupported, kNoDriver };
const char* input_state_name(InputState state);

// What the state file holds, besides the process's own pid and version.
struct ServiceState {
    std::string bridge;  // the last status text read from the bridge, "" before the first
    InputState input = InputState::kSignal;
    PipelineHealth pipeline = PipelineHealth::kDown;
    int32_t width = 0;  // the geometry recorded for the pipeline
    int32_t height = 0;
    int32_t fps = 0;
    bool client = false;          // a client holds the control socket's slot
    uint64_t changes = 0;         // re-configurations that succeeded
    uint64_t failed_changes = 0;  // re-configurations that failed (each try counts)
    uint64_t power_cycles = 0;    // bridge power cycles
    // The SDK call that failed last ("AX_VIN_CreateDev ret=0x800F00A1"); empty while the
    // pipeline is whole.
    std::string last_error;
    // How long the last resolution change took, from the announcement to the client's message;
    // nothing before the first.
    std::optional<uint64_t> last_change_ms;
    std::chrono::system_clock::time_point since{};  // when `pipeline` took its current value

    bool operator==(const ServiceState&) const = default;
};

// "2026-12-09T03:04:05+01:00": ISO 8601 in local time with the offset from UTC.
std::string iso8601_local(std::chrono::system_clock::time_point when);

// The file's text: one compact JSON object whose members are those of `state` (by their names
// above, "input" and "pipeline" by their names, "since" as iso8601_local, "last_change_ms" null
// before the first change) plus "pid" and "version".
std::string state_json(const ServiceState& state, pid_t pid, const std::string& version);

// Writes the state file atomically: the text goes into a temporary file in the same directory,
// which then replaces the file by a rename, so a reader sees the old or the new text, never a
// part. Used by one thread at a time.
class StateFile {
  public:
    StateFile(std::string path, std::shared_ptr<spdlog::logger> log);

    const std::string& path() const { return path_; }
    // Replaces the file's content with `text`. The first failure of a run of failures is logged
    // at warning level; the next success ends the run.
    bool write(const std::string& text);
    // Removes the file (a missing file is fine).
    void remove();

  private:
    bool write_temporary(const std::string& text);

    std::string path_;
    std::string temporary_path_;
    std::shared_ptr<spdlog::logger> log_;
    bool failing_ = false;
};

}  // namespace hdgrab
