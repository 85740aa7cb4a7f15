#include "sim/harness/appliance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "sim/driver/bridge_model.h"
#include "sim/driver/service_client.h"

extern char** environ;

namespace hdgrab::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitUnavailable = 77;
constexpr milliseconds kPollStep{10};
constexpr milliseconds kKillGrace{5000};
constexpr const char* kScriptMessagePrefix = "hdgrab-sandbox: ";

// The whole content of the file at `path`, byte for byte ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// The service manager's variables reach a program only when a test sets them: a test runner that
// itself runs under a service manager must not hand its own socket on.
bool is_service_manager_variable(const std::string& name) {
    return name == "NOTIFY_SOCKET" || name == "WATCHDOG_USEC" || name == "WATCHDOG_PID";
}

// argv and envp as C arrays, built before fork() so the child only calls async-signal-safe
// functions.
struct ExecArgs {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    std::vector<std::string> env_storage;
    std::vector<char*> envp;

    ExecArgs(std::vector<std::string> args, const std::map<std::string, std::string>& extra_env)
        : storage(std::move(args)) {
        for (std::string& arg : storage) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        for (char** env = environ; *env; ++env) {
            const std::string entry = *env;
            const std::string name = entry.substr(0, entry.find('='));
            if (!extra_env.contains(name) && !is_service_manager_variable(name)) {
                env_storage.push_back(entry);
            }
        }
        for (const auto& [name, value] : extra_env) {
            env_storage.push_back(name + "=" + value);
        }
        for (std::string& entry : env_storage) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }
};

// In a forked child: a shell script cannot trap signals it was started with ignored, and the
// test runner may have been started in the background (SIGINT and SIGQUIT ignored).
void reset_signals() {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGQUIT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In a forked child: runs the command with its standard output and error on `output_fd` and its
// input from /dev/null; never returns.
[[noreturn]] void exec_in_child(const ExecArgs& exec, int output_fd) {
    reset_signals();
    ::dup2(output_fd, STDOUT_FILENO);
    ::dup2(output_fd, STDERR_FILENO);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, STDIN_FILENO);
    ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    ::_exit(127);
}

// Everything the descriptor yields up to its end or an error, resuming after interrupting
// signals.
std::string read_to_end(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

// Runs a command to its end and returns its status and combined output.
HdmiResult run_process(std::vector<std::string> args) {
    ExecArgs exec(std::move(args), {});
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) < 0) {
        return {-1, std::string("pipe: ") + std::strerror(errno)};
    }
    UniqueFd read_end(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        return {-1, std::string("fork: ") + std::strerror(errno)};
    }
    if (child == 0) {
        exec_in_child(exec, write_end.get());
    }
    write_end.reset();
    HdmiResult result;
    result.output = read_to_end(read_end.get());
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = decode_status(status);
    return result;
}

}  // namespace

std::filesystem::path hdgrab_binary() {
    return HDGRAB_HARNESS_SERVICE_BINARY;
}
std::filesystem::path probe_binary() {
    return HDGRAB_HARNESS_PROBE_BINARY;
}
std::filesystem::path sandbox_script() {
    return HDGRAB_HARNESS_SANDBOX_SCRIPT;
}
std::filesystem::path hdmi_tool() {
    return HDGRAB_HARNESS_HDMI_TOOL;
}
std::filesystem::path build_dir() {
    return HDGRAB_HARNESS_BUILD_DIR;
}

// ---- Appliance --------------------------------------------------------------------------------

// A passed check is remembered for this boot and this version of the script, so that each test
// process does not pay for a whole trial run of the sandbox.
std::string check_key() {
    std::error_code error;
    const auto script_time = std::filesystem::last_write_time(sandbox_script(), error);
    return read_text("/proc/sys/kernel/random/boot_id") + " " +
           std::to_string(script_time.time_since_epoch().count()) + "\n";
}

std::string Appliance::skip_reason() {
    static std::once_flag once;
    static std::string reason;
    std::call_once(once, [] {
        const std::filesystem::path cache = build_dir() / "sim/harness/sandbox-check.ok";
        const std::string key = check_key();
        if (read_text(cache) == key) {
            return;
        }
        const HdmiResult check =
            run_process({sandbox_script().string(), "--check", "--build", build_dir().string()});
        if (check.status == kExitUnavailable) {
            reason = check.output.empty() ? "the sandbox cannot work here" : check.output;
            while (!reason.empty() && reason.back() == '\n') {
                reason.pop_back();
            }
        }
        // Any other failure is not the machine's fault: the tests run and show it.
        if (check.ok()) {
            std::ofstream(cache) << key;
        }
    });
    return reason;
}

Appliance::~Appliance() {
    if (script_pid_ > 0 && !exit_status_) {
        (void)stop();
    }
    stop_bridge();
    if (own_state_dir_ && !std::getenv("HDGRAB_KEEP_STATE") &&
        !is_mounted(state_dir_ / "driver/mnt")) {
        std::error_code ignored;
        std::filesystem::remove_all(state_dir_, ignored);
    }
}

bool Appliance::prepare_state(const ApplianceOptions& options) {
    if (!state_dir_.empty()) {
        return true;
    }
    if (options.state_dir.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hdgrab-e2e.XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            error_ = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        state_dir_ = pattern;
        own_state_dir_ = true;
    } else {
        std::filesystem::create_directories(options.state_dir);
        state_dir_ = std::filesystem::absolute(options.state_dir);
    }
    if (options.config) {
        std::filesystem::create_directories(state_dir_ / "etc/kvm");
        std::ofstream(config_path()) << *options.config;
    }
    return true;
}

std::vector<std::string> Appliance::sandbox_command() const {
    return {sandbox_script().string(), "--state", state_dir_.string(), "--build",
            build_dir().string()};
}

bool Appliance::start_bridge(const ApplianceOptions& options) {
    if (bridge_started_) {
        return true;
    }
    if (!prepare_state(options)) {
        return false;
    }
    std::vector<std::string> args = sandbox_command();
    args.insert(
        args.end(),
        {"--source", std::to_string(options.source.width), std::to_string(options.source.height),
         std::to_string(options.source.fps), "--status", options.initial_status, "--start-driver"});
    if (!options.media_module) {
        args.insert(args.begin() + 1, "--no-media-module");
    }
    const HdmiResult result = run_process(args);
    if (!result.ok()) {
        error_ = "cannot start the simulated bridge: " + result.output;
        return false;
    }
    bridge_started_ = true;
    return true;
}

void Appliance::stop_bridge() {
    if (!bridge_started_) {
        return;
    }
    std::vector<std::string> args = sandbox_command();
    args.push_back("--stop-driver");
    (void)run_process(args);
    bridge_started_ = false;
}

bool Appliance::start(const ApplianceOptions& options) {
    if (script_pid_ > 0) {
        error_ = "already started";
        return false;
    }
    if (!start_bridge(options)) {
        return false;
    }
    std::vector<std::string> args = sandbox_command();
    args.insert(args.end(), {"--pid-file", (state_dir_ / "hdgrab.pid").string()});
    if (!options.media_module) {
        args.push_back("--no-media-module");
    }
    args.insert(args.end(), options.sandbox_options.begin(), options.sandbox_options.end());
    args.push_back("--");
    args.push_back(options.binary.string());
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::map<std::string, std::string> env = options.env;
    if (options.sdk_trace) {
        env["AXSIM_TRACE"] = kSdkTraceFile;
    }
    if (options.sdk_leaks) {
        env["AXSIM_LEAKS"] = kSdkLeaksFile;
    }
    if (options.sdk_arm) {
        env["AXSIM_ARM"] = kSdkArmFile;
    }
    ExecArgs exec(std::move(args), env);
    std::filesystem::remove(state_dir_ / "hdgrab.pid");
    UniqueFd output_fd(::open((state_dir_ / "output.log").c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!output_fd) {
        error_ = std::string("cannot create output.log: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        // Its own process group, so a clean-up can end the script and bwrap together.
        ::setpgid(0, 0);
        exec_in_child(exec, output_fd.get());
    }
    script_pid_ = child;
    exit_status_.reset();

    const auto deadline = Clock::now() + options.start_timeout;
    const std::filesystem::path pid_file = state_dir_ / "hdgrab.pid";
    while (Clock::now() < deadline) {
        std::ifstream in(pid_file);
        pid_t pid = -1;
        if (in >> pid && pid > 0) {
            pid_ = pid;
            return true;
        }
        int status = 0;
        if (::waitpid(script_pid_, &status, WNOHANG) == script_pid_) {
            exit_status_ = decode_status(status);
            // A program that ends at once (--help, say) leaves no pid; that is still a run.
            if (output_has_script_error()) {
                error_ = "the sandbox did not start the program: " + output();
                return false;
            }
            return true;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    error_ = "no pid for the program after the start time-out: " + output();
    return false;
}

bool Appliance::output_has_script_error() const {
    const std::string text = output();
    return text.starts_with(kScriptMessagePrefix) ||
           text.find(std::string("\n") + kScriptMessagePrefix) != std::string::npos;
}

bool Appliance::send_signal(int sig) const {
    return pid_ > 0 && ::kill(pid_, sig) == 0;
}

bool Appliance::signal_sandbox(int sig) const {
    // The script leads its own process group, as a foreground job in a terminal would.
    return script_pid_ > 0 && !exit_status_ && ::kill(-script_pid_, sig) == 0;
}

std::optional<int> Appliance::wait_exit(milliseconds timeout) {
    if (exit_status_ || script_pid_ <= 0) {
        return exit_status_;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(script_pid_, &status, WNOHANG);
        if (done == script_pid_) {
            exit_status_ = decode_status(status);
            return exit_status_;
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool Appliance::running() {
    return script_pid_ > 0 && !wait_exit(milliseconds{0});
}

std::optional<int> Appliance::stop(milliseconds timeout) {
    if (script_pid_ <= 0 || exit_status_) {
        return exit_status_;
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
    } else {
        ::kill(script_pid_, SIGTERM);
    }
    if (auto status = wait_exit(timeout)) {
        return status;
    }
    // The script, bwrap and (through bwrap's parent-death signal) the sandbox end together.
    ::kill(-script_pid_, SIGKILL);
    (void)wait_exit(kKillGrace);
    return std::nullopt;
}

std::string Appliance::output() const {
    return read_text(state_dir_ / "output.log");
}

bool Appliance::wait_for_output(const std::string& text, milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool Appliance::arm_sdk_faults(const std::string& rules) const {
    // Written aside and renamed into place: the substitute never reads half a file.
    const std::filesystem::path armed = host_out_path(kSdkArmFile);
    const std::filesystem::path partial = armed.string() + ".part";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << rules << '\n';
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, armed, error);
    return !error;
}

bool Appliance::sdk_faults_armed() const {
    std::error_code error;
    return !std::filesystem::exists(host_out_path(kSdkArmFile), error) && !error;
}

HdmiResult Appliance::hdmi(const std::vector<std::string>& args) const {
    std::vector<std::string> command = {hdmi_tool().string(), "--state", state_dir_.string()};
    command.insert(command.end(), args.begin(), args.end());
    return run_process(command);
}

std::vector<DriverWrite> Appliance::driver_log() const {
    std::vector<DriverWrite> writes;
    std::istringstream in(read_text(state_dir_ / "driver/writes.log"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t first = line.find(' ');
        const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        DriverWrite write;
        write.monotonic_ms = std::strtod(line.substr(0, first).c_str(), nullptr);
        write.file = line.substr(first + 1, second - first - 1);
        write.value = sim::unescape_bytes(line.substr(second + 1));
        writes.push_back(std::move(write));
    }
    return writes;
}

std::string Appliance::bridge_status() const {
    const HdmiResult result = hdmi("get");
    std::istringstream in(result.output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("status=")) {
            return sim::unescape_bytes(line.substr(7));
        }
    }
    return {};
}

std::optional<uint32_t> Appliance::read_dev_mem(uint64_t address) const {
    UniqueFd fd(::open((state_dir_ / "dev/mem").c_str(), O_RDONLY | O_CLOEXEC));
    uint32_t value = 0;
    if (!fd || ::pread(fd.get(), &value, sizeof value, static_cast<off_t>(address)) !=
                   static_cast<ssize_t>(sizeof value)) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> Appliance::reboot_requests() const {
    std::vector<std::string> lines;
    std::istringstream in(read_text(out_dir() / "reboot.log"));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool Appliance::set_media_module(bool present) const {
    const std::filesystem::path dir = state_dir_ / "sys/module/ax_avs";
    std::error_code error;
    if (present) {
        std::filesystem::create_directories(dir, error);
    } else {
        std::filesystem::remove(dir, error);
    }
    return !error;
}

// ---- Client -----------------------------------------------------------------------------------

void Client::close() {
    fd_.reset();
    pending_.clear();
    eof_ = false;
}

bool Client::connect(const std::filesystem::path& socket_path, milliseconds timeout) {
    close();
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        UniqueFd fd = sim::connect_unix(socket_path.string());
        if (fd) {
            fd_ = std::move(fd);
            return true;
        }
        if (errno == ENAMETOOLONG || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

std::string Client::read_some(milliseconds timeout) {
    if (!pending_.empty()) {
        return std::exchange(pending_, {});
    }
    if (!fd_ || eof_) {
        return {};
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        pollfd item{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&item, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {};
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            eof_ = true;
            return {};
        }
        return std::string(buffer, static_cast<size_t>(n));
    }
}

std::optional<std::string> Client::read_message(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t start = pending_.find_first_not_of(" \t\r\n");
        if (start != std::string::npos) {
            pending_.erase(0, start);
            const size_t end = sim::complete_object_end(pending_);
            if (end != std::string::npos) {
                std::string message = pending_.substr(0, end);
                pending_.erase(0, end);
                return message;
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || eof_ || !fd_) {
            return std::nullopt;
        }
        const std::string saved = std::exchange(pending_, {});
        const std::string more = read_some(left);
        pending_ = saved + more;
        if (more.empty() && !eof_ && Clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

bool Client::wait_closed(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!eof_) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !fd_) {
            return false;
        }
        const std::string saved = std::exchange(pending_, {});
        pending_ = saved + read_some(left);
    }
    return true;
}

// The fifth field of a mountinfo line is the mount point.
bool is_mounted(const std::filesystem::path& dir) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == dir.string()) {
            return true;
        }
    }
    return false;
}

}  // namespace hdgrab::test
