// Sandbox harness: runs a program in the sandboxed appliance and drives the simulated bridge.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "sim/driver/bridge_model.h"

namespace hdgrab::test {

// Paths of the built programs; the build fills them in (see sim/harness/CMakeLists.txt).
std::filesystem::path hdgrab_binary();   // the service
std::filesystem::path probe_binary();    // the sandbox probe used by the harness' own tests
std::filesystem::path sandbox_script();  // scripts/hdgrab-sandbox
std::filesystem::path hdmi_tool();       // build/sim/hdmi
std::filesystem::path build_dir();       // the build tree bound read-only into the sandbox

// Whether `dir` is a mount point of this process's mount namespace.
bool is_mounted(const std::filesystem::path& dir);

// Paths as the program inside the sandbox sees them.
inline constexpr const char* kSandboxOutDir = "/.sandbox/out";  // writable, shared with the host
inline constexpr const char* kSdkTraceFile = "/.sandbox/out/axsim-trace.log";
inline constexpr const char* kSdkLeaksFile = "/.sandbox/out/axsim-leaks.txt";
inline constexpr const char* kSdkArmFile = "/.sandbox/out/axsim-arm.txt";

// A source geometry, as the simulated bridge publishes it (1920x1080@60 unless set).
using Geometry = sim::Geometry;

struct ApplianceOptions {
    std::filesystem::path binary = hdgrab_binary();
    std::vector<std::string> args;           // e.g. {"-d"} or {"--dump-raw"}
    std::map<std::string, std::string> env;  // extra environment, e.g. {"AXSIM_FAIL", "..."}
    bool media_module = true;                // false: no /sys/module/ax_avs at start
    // The simulated bridge's start (used by whichever of start_bridge() and start() starts it).
    Geometry source;                        // the geometry it publishes
    std::string initial_status = "stable";  // its status text
    bool sdk_trace = false;                 // sets AXSIM_TRACE to kSdkTraceFile
    bool sdk_leaks = false;                 // sets AXSIM_LEAKS to kSdkLeaksFile
    bool sdk_arm = false;                   // sets AXSIM_ARM to kSdkArmFile (arm_sdk_faults)
    std::optional<std::string> config;      // content for /etc/kvm/hdgrab.toml, if given
    // Further options of the sandbox script, e.g. {"--mount", "/root=missing"}.
    std::vector<std::string> sandbox_options;
    // Empty: a fresh temporary state directory, removed again by the destructor (unless the
    // environment variable HDGRAB_KEEP_STATE is set, for debugging).
    std::filesystem::path state_dir;
    std::chrono::milliseconds start_timeout{10000};  // until the program's pid is known
};

// One write the program made to a bridge file, as recorded by the simulated driver.
struct DriverWrite {
    double monotonic_ms = 0;  // CLOCK_MONOTONIC (std::chrono::steady_clock) in milliseconds
    std::string file;         // "status", "power", ...
    std::string value;        // the bytes written, e.g. "ok\n"
};

struct HdmiResult {
    int status = -1;     // exit status of build/sim/hdmi
    std::string output;  // its standard output and standard error
    bool ok() const { return status == 0; }
};

// One sandboxed run. Not copyable; the destructor stops the program (SIGTERM, then SIGKILL after
// a few seconds), stops the simulated driver and removes a temporary state directory.
class Appliance {
  public:
    Appliance() = default;
    ~Appliance();
    Appliance(const Appliance&) = delete;
    Appliance& operator=(const Appliance&) = delete;

    // Empty when FUSE and bubblewrap work on this machine, otherwise why not (checked once).
    static std::string skip_reason();

    // Prepares the state directory, starts the simulated bridge and then the program in the
    // sandbox; returns once the program's pid is known. On failure error() tells why.
    bool start(const ApplianceOptions& options = {});
    // Only the state directory and the simulated bridge, without a program (for preparing the
    // bridge before start(), which then reuses the running bridge).
    bool start_bridge(const ApplianceOptions& options = {});

    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }  // host pid of the program, -1 before start
    bool send_signal(int sig) const;
    // Signals the sandbox script's process group the way Ctrl-C in a terminal does; the script
    // passes SIGINT/SIGTERM on to the program.
    bool signal_sandbox(int sig) const;
    // The program's exit status (128 + signal number when killed), or nothing on time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();
    // Sends SIGTERM and waits; returns the exit status, or nothing when it had to be killed.
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::milliseconds{5000});

    std::string output() const;  // everything the program wrote to stdout and stderr so far
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

    // Where the program's files lie on the host: the state directory holds the sandbox's
    // writable trees, the out folder is kSandboxOutDir.
    std::filesystem::path state_dir() const { return state_dir_; }
    std::filesystem::path socket_path() const { return state_dir_ / "run/kvm/vin_sock"; }
    std::filesystem::path state_file_path() const { return state_dir_ / "run/kvm/vin_state.json"; }
    std::filesystem::path config_path() const { return state_dir_ / "etc/kvm/hdgrab.toml"; }
    std::filesystem::path log_dir() const { return state_dir_ / "var/log"; }
    std::filesystem::path root_dir() const { return state_dir_ / "root"; }  // dumped frames
    std::filesystem::path reboot_marker() const { return state_dir_ / "var/lib/kvm/have_reboot"; }
    std::filesystem::path out_dir() const { return state_dir_ / "sandbox/out"; }
    std::filesystem::path sdk_trace_path() const { return host_out_path(kSdkTraceFile); }
    std::filesystem::path sdk_leaks_path() const { return host_out_path(kSdkLeaksFile); }
    // Arms AXSIM_FAIL rules in the running substitute (needs `sdk_arm`): their counts start at
    // the next SDK call ("AX_IVPS_Init#1": the next AX_IVPS_Init fails). False when the file
    // cannot be written.
    bool arm_sdk_faults(const std::string& rules) const;
    // True once the substitute has picked the armed rules up.
    bool sdk_faults_armed() const;

    // Runs build/sim/hdmi with these arguments against this run's bridge.
    HdmiResult hdmi(const std::vector<std::string>& args) const;
    template <typename... Args>
    HdmiResult hdmi(const std::string& first, const Args&... rest) const {
        return hdmi(std::vector<std::string>{first, std::string(rest)...});
    }
    // Every write the program made to the bridge files, in order.
    std::vector<DriverWrite> driver_log() const;
    // The status text the bridge publishes now (from `hdmi get`).
    std::string bridge_status() const;

    // The 32-bit value at a physical address of the sandbox's /dev/mem (a sparse file).
    std::optional<uint32_t> read_dev_mem(uint64_t address) const;
    // Each line is one `reboot` the program asked for (only recorded, never done).
    std::vector<std::string> reboot_requests() const;
    // Makes /sys/module/ax_avs appear or vanish inside the running sandbox.
    bool set_media_module(bool present) const;

  private:
    // The host path of a file in kSandboxOutDir, given as the sandbox sees it.
    std::filesystem::path host_out_path(const char* sandbox_path) const {
        return out_dir() / std::filesystem::path(sandbox_path).filename();
    }
    // The sandbox script's command line for this state directory and build, without an action.
    std::vector<std::string> sandbox_command() const;
    bool prepare_state(const ApplianceOptions& options);
    void stop_bridge();
    bool output_has_script_error() const;

    std::string error_;
    std::filesystem::path state_dir_;
    bool own_state_dir_ = false;
    bool bridge_started_ = false;
    pid_t script_pid_ = -1;  // the sandbox script (own process group)
    pid_t pid_ = -1;         // the program inside
    std::optional<int> exit_status_;
};

// A client of the control socket. Move-only: it owns its connection.
class Client {
  public:
    // Tries to connect until it succeeds or the time is up.
    bool connect(const std::filesystem::path& socket_path, std::chrono::milliseconds timeout);
    void close();
    bool connected() const { return fd_.is_valid(); }
    int fd() const { return fd_.get(); }

    // Whatever bytes arrive within the time (empty on time-out or end of stream).
    std::string read_some(std::chrono::milliseconds timeout);
    // The next complete JSON object on the stream (messages have no framing), or nothing when
    // none arrived in time.
    std::optional<std::string> read_message(std::chrono::milliseconds timeout);
    // True when the peer closed the connection within the time.
    bool wait_closed(std::chrono::milliseconds timeout);

  private:
    UniqueFd fd_;
    std::string pending_;
    bool eof_ = false;
};

}  // namespace hdgrab::test
