#include "tools/watch/state.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/unique_fd.h"

namespace hdgrab::watch {
namespace {

constexpr std::string_view kTag = "hdgrab-watch: ";
// Fields of /proc/<pid>/stat between the name and the start time.
constexpr int kStartTimeField = 19;
// The boot time has whole seconds: a process start may seem up to this much later than it was.
constexpr time_t kStartTimeSlack = 1;

// The member's value as text for the plain line: strings without quotes, "?" when missing.
std::string member(const nlohmann::json& state, const char* name) {
    const auto found = state.find(name);
    if (found == state.end()) {
        return "?";
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    return found->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string count_text(const nlohmann::json& state, const char* name, const char* unit) {
    return fmt::format("{} {}", member(state, name), unit);
}

}  // namespace

std::optional<std::string> format_state(std::string_view text, OutputFormat format) {
    const auto state = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (state.is_discarded() || !state.is_object()) {
        return std::nullopt;
    }
    if (format == OutputFormat::kJson) {
        return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    const auto client = state.find("client");
    const bool connected = client != state.end() && client->is_boolean() && client->get<bool>();
    const std::string bridge = member(state, "bridge");
    const auto took = state.find("last_change_ms");
    const std::string last_change = took != state.end() && took->is_number()
                                        ? fmt::format("last change {} ms", took->dump())
                                        : std::string("no change yet");
    const std::string error = member(state, "last_error");
    return fmt::format(
        "{} {}x{}@{} since {}, {}, bridge {}, input {}, {}, {}, {}, {}{}, pid {}, version {}",
        member(state, "pipeline"), member(state, "width"), member(state, "height"),
        member(state, "fps"), member(state, "since"), connected ? "client connected" : "no client",
        bridge.empty() ? "not read yet" : bridge, member(state, "input"),
        count_text(state, "changes", "changes"), count_text(state, "failed_changes", "failed"),
        count_text(state, "power_cycles", "power cycles"), last_change,
        error.empty() || error == "?" ? "" : ", last error " + error, member(state, "pid"),
        member(state, "version"));
}

bool process_exists(long pid) {
    // EPERM: the process exists but belongs to somebody else.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::optional<time_t> process_start_time(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    // The name in parentheses may hold blanks and parentheses: the fields follow the last ')'.
    const size_t name_end = line.rfind(')');
    if (name_end == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(name_end + 1));
    std::string field;
    // Field 22, the start time in clock ticks after boot, is the 20th after the name.
    for (int i = 0; i < kStartTimeField && fields >> field; ++i) {
    }
    unsigned long long ticks = 0;
    if (!(fields >> ticks)) {
        return std::nullopt;
    }
    std::ifstream system_stat("/proc/stat");
    for (std::string word; system_stat >> word;) {
        long long boot = 0;
        if (word == "btime" && system_stat >> boot) {
            const long per_second = ::sysconf(_SC_CLK_TCK);
            return static_cast<time_t>(boot) +
                   static_cast<time_t>(
                       ticks / static_cast<unsigned long long>(per_second > 0 ? per_second : 100));
        }
    }
    return std::nullopt;
}

bool read_state_file(const std::string& path, std::string& text, time_t& written, std::string& why,
                     bool& missing) {
    // Non-blocking, so a FIFO at the path cannot hold the open up.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    missing = !fd;
    if (!fd) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (st.st_size > static_cast<off_t>(kMaxStateFileBytes)) {
        why = fmt::format("larger than {} bytes", kMaxStateFileBytes);
        return false;
    }
    written = st.st_mtim.tv_sec;
    text.resize(kMaxStateFileBytes + 1);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    if (done > kMaxStateFileBytes) {
        why = fmt::format("larger than {} bytes", kMaxStateFileBytes);
        return false;
    }
    return true;
}

int run_state(const std::string& path, OutputFormat format, std::ostream& out, std::ostream& err) {
    std::string text;
    std::string why;
    time_t written = 0;
    bool missing = false;
    if (!read_state_file(path, text, written, why, missing)) {
        if (missing) {
            err << kTag << "no service running (cannot open " << path << ": " << why << ")"
                << std::endl;
            return kExitUnreachable;
        }
        err << kTag << path << " is not a state file (" << why << ")" << std::endl;
        return kExitFailure;
    }
    const auto state = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    const std::optional<std::string> line = format_state(text, format);
    if (!line) {
        err << kTag << path << " is not a state file" << std::endl;
        return kExitFailure;
    }
    const auto pid = state.find("pid");
    if (pid == state.end() || !pid->is_number_integer() || !process_exists(pid->get<long>())) {
        // A file left behind by a service that ended without its clean-up.
        err << kTag << "no service running (the process of " << path << " is gone)" << std::endl;
        return kExitUnreachable;
    }
    // The service writes the file after it started: a process that started later only reuses
    // the pid of one that ended without its clean-up.
    const std::optional<time_t> started = process_start_time(pid->get<long>());
    if (started && *started > written + kStartTimeSlack) {
        err << kTag << "no service running (pid " << pid->get<long>() << " of " << path
            << " now belongs to a later process)" << std::endl;
        return kExitUnreachable;
    }
    out << *line << std::endl;
    if (!out) {
        err << kTag << "cannot write to standard output" << std::endl;
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace hdgrab::watch
