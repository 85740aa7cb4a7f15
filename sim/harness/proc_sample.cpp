#include "sim/harness/proc_sample.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hdgrab::harness {
namespace {

// The workers' waits are told apart by the number of events they ask for (their epoll sets:
// listener, stop and keep-alive probe; status file, stop and keep-alive probe).
constexpr uint64_t kCaptureMaxEvents = 10;
constexpr uint64_t kMonitorMaxEvents = 3;
constexpr uint64_t kClientWaitDescriptors = 3;

std::string proc_dir(pid_t pid) {
    return "/proc/" + std::to_string(pid);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The names in a directory, without "." and "..".
std::optional<std::vector<std::string>> list_dir(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// The number after "key:" in a /proc status text (kB values without the unit).
uint64_t status_value(const std::string& text, const std::string& key) {
    const std::string needle = "\n" + key + ":";
    size_t at = text.rfind(key + ":", 0) == 0 ? 0 : text.find(needle);
    if (at == std::string::npos) {
        return 0;
    }
    at = text.find(':', at) + 1;
    return std::strtoull(text.c_str() + at, nullptr, 10);
}

bool is_epoll_wait(long nr) {
#ifdef SYS_epoll_wait
    if (nr == SYS_epoll_wait) {
        return true;
    }
#endif
#ifdef SYS_epoll_pwait2
    if (nr == SYS_epoll_pwait2) {
        return true;
    }
#endif
    return nr == SYS_epoll_pwait;
}

bool is_poll(long nr) {
#ifdef SYS_poll
    if (nr == SYS_poll) {
        return true;
    }
#endif
    return nr == SYS_ppoll;
}

}  // namespace

long ticks_per_second() {
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    return ticks;
}

std::optional<ProcessSample> sample_process(pid_t pid) {
    const std::string dir = proc_dir(pid);
    ProcessSample sample;

    const auto stat = read_file(dir + "/stat");
    if (!stat) {
        return std::nullopt;
    }
    // Fields after the command name, which is in parentheses and may hold blanks.
    const size_t close = stat->rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat->substr(close + 2));
    std::string field;
    // state(3) ... utime(14) stime(15): the 12th and 13th field after the name.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) {
            sample.cpu_ticks += std::strtoull(field.c_str(), nullptr, 10);
        }
    }

    const auto status = read_file(dir + "/status");
    if (!status) {
        return std::nullopt;
    }
    sample.rss_kib = status_value(*status, "VmRSS");
    sample.rss_anon_kib = status_value(*status, "RssAnon");
    sample.rss_file_kib = status_value(*status, "RssFile");
    if (const auto rollup = read_file(dir + "/smaps_rollup")) {
        sample.pss_kib = status_value(*rollup, "Pss");
    }

    const auto tasks = list_dir(dir + "/task");
    if (!tasks) {
        return std::nullopt;
    }
    sample.threads = tasks->size();
    for (const std::string& tid : *tasks) {
        const std::string task = dir + "/task/" + tid;
        if (const auto task_status = read_file(task + "/status")) {
            sample.context_switches += status_value(*task_status, "voluntary_ctxt_switches") +
                                       status_value(*task_status, "nonvoluntary_ctxt_switches");
        }
    }
    if (const auto cpu = sample_cpu(pid)) {
        sample.cpu_ns = cpu->cpu_ns;
        sample.run_delay_ns = cpu->run_delay_ns;
    }

    const auto fds = list_dir(dir + "/fd");
    if (!fds) {
        return std::nullopt;
    }
    sample.descriptors = fds->size();
    const int sockets = count_sockets(pid);
    sample.sockets = sockets < 0 ? 0 : static_cast<size_t>(sockets);
    return sample;
}

std::optional<CpuSample> sample_cpu(pid_t pid) {
    const std::string dir = proc_dir(pid) + "/task";
    const auto tasks = list_dir(dir);
    if (!tasks) {
        return std::nullopt;
    }
    CpuSample sample;
    for (const std::string& tid : *tasks) {
        // "<on-CPU ns> <run-queue wait ns> <time slices>"
        if (const auto schedstat = read_file(dir + "/" + tid + "/schedstat")) {
            char* end = nullptr;
            sample.cpu_ns += std::strtoull(schedstat->c_str(), &end, 10);
            sample.run_delay_ns += std::strtoull(end, nullptr, 10);
        }
    }
    return sample;
}

int count_sockets(pid_t pid) {
    const std::string dir = proc_dir(pid) + "/fd";
    const auto fds = list_dir(dir);
    if (!fds) {
        return -1;
    }
    int sockets = 0;
    char target[PATH_MAX];
    for (const std::string& fd : *fds) {
        const std::string link = dir + "/" + fd;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 &&
            std::string_view(target, static_cast<size_t>(length)).starts_with("socket:")) {
            ++sockets;
        }
    }
    return sockets;
}

std::vector<ThreadWait> thread_waits(pid_t pid) {
    std::vector<ThreadWait> waits;
    const std::string dir = proc_dir(pid) + "/task";
    const auto tasks = list_dir(dir);
    if (!tasks) {
        return waits;
    }
    for (const std::string& tid : *tasks) {
        ThreadWait wait;
        wait.tid = static_cast<pid_t>(std::strtol(tid.c_str(), nullptr, 10));
        if (const auto text = read_file(dir + "/" + tid + "/syscall")) {
            std::istringstream words(*text);
            std::string word;
            if (words >> word && word != "running") {
                wait.syscall = std::strtol(word.c_str(), nullptr, 10);
                for (int i = 0; i < 6 && words >> word; ++i) {
                    wait.args.push_back(std::strtoull(word.c_str(), nullptr, 16));
                }
            }
        }
        waits.push_back(std::move(wait));
    }
    return waits;
}

WaitKind classify(const ThreadWait& wait) {
    if (wait.args.size() < 4) {
        return WaitKind::other;
    }
    if (is_epoll_wait(wait.syscall)) {
        if (wait.args[2] == kCaptureMaxEvents) {
            return WaitKind::capture_wait;
        }
        if (wait.args[2] == kMonitorMaxEvents) {
            return WaitKind::status_wait;
        }
    }
    // The stop, client-arrival and keep-alive probe descriptors (the probe's slot unused
    // without keep-alives).
    if (is_poll(wait.syscall) && wait.args[1] == kClientWaitDescriptors) {
        return WaitKind::client_poll;
    }
    return WaitKind::other;
}

bool has_wait(pid_t pid, WaitKind kind) {
    for (const ThreadWait& wait : thread_waits(pid)) {
        if (classify(wait) == kind) {
            return true;
        }
    }
    return false;
}

std::optional<pid_t> first_child(pid_t parent) {
    const auto children =
        read_file(proc_dir(parent) + "/task/" + std::to_string(parent) + "/children");
    if (!children) {
        return std::nullopt;
    }
    std::istringstream words(*children);
    pid_t child = -1;
    if (words >> child && child > 0) {
        return child;
    }
    return std::nullopt;
}

std::optional<long> json_number(const std::string& text, const std::string& key) {
    const std::string quoted = "\"" + key + "\"";
    size_t at = text.find(quoted);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    at = text.find(':', at + quoted.size());
    if (at == std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str() + at + 1, &end, 10);
    if (errno != 0 || end == text.c_str() + at + 1) {
        return std::nullopt;
    }
    return value;
}

}  // namespace hdgrab::harness
