// sandbox_probe: runs inside the sandbox in place of the service and reports what it sees.
//   sandbox_probe report   "key=value" lines describing the sandbox
//   sandbox_probe serve    listens on /run/kvm/vin_sock, greets one client, ends on SIGTERM/SIGINT
//   sandbox_probe exit N   ends with status N
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kSocketPath = "/run/kvm/vin_sock";
constexpr const char* kGreeting = "{\"probe\":\"hello\"}";
constexpr off_t kPinPage = 0x02300000;
constexpr off_t kProbeRegister = 0x84;  // offset of the last pin register in its page
constexpr uint32_t kProbeValue = 0xC0FFEE01;
constexpr long kPageSize = 4096;

std::string list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    } else {
        return std::string("error:") + std::strerror(errno);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) {
        out += out.empty() ? "" : ",";
        out += name;
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return "error:" + std::string(std::strerror(errno));
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

int count_entries(const std::string& path) {
    int count = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
        return count;
    }
    return -1;
}

std::string status_field(const std::string& name) {
    std::istringstream in(read_file("/proc/self/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            const size_t start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "missing";
}

// 1 when a file can be created (and removed again) in the directory.
int writable(const std::string& dir) {
    const std::string path = dir + "/.probe-write";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return 0;
    }
    ::close(fd);
    ::unlink(path.c_str());
    return 1;
}

// Writes a value into the pin-multiplexing page through /dev/mem and reads it back.
int dev_mem_roundtrip() {
    const int fd = ::open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    void* page = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kPinPage);
    ::close(fd);
    if (page == MAP_FAILED) {
        return 0;
    }
    auto* reg = reinterpret_cast<volatile uint32_t*>(static_cast<char*>(page) + kProbeRegister);
    *reg = kProbeValue;
    const bool ok = *reg == kProbeValue;
    ::munmap(page, kPageSize);
    return ok ? 1 : 0;
}

int report() {
    std::printf("pid=%d\n", static_cast<int>(::getpid()));
    std::printf("uid=%d\n", static_cast<int>(::getuid()));
    std::printf("cap_eff=%s\n", status_field("CapEff").c_str());
    std::printf("no_new_privs=%s\n", status_field("NoNewPrivs").c_str());
    // Each key names the folder whose entries it lists.
    const std::pair<const char*, const char*> listed[] = {
        {"root", "/"},
        {"etc", "/etc"},
        {"run", "/run"},
        {"var", "/var"},
        {"var_lib", "/var/lib"},
        {"sys", "/sys"},
        {"sys_module", "/sys/module"},
        {"opt_lib", "/opt/lib"},
        {"sandbox", "/.sandbox"},
        {"bridge", "/proc/lt6911_info"},
    };
    for (const auto& [key, dir] : listed) {
        std::printf("%s=%s\n", key, list_dir(dir).c_str());
    }
    for (const char* name : {"status", "width", "height", "fps"}) {
        std::printf("bridge_%s=%s\n", name,
                    escaped(read_file(std::string("/proc/lt6911_info/") + name)).c_str());
    }
    const std::string maps = read_file("/proc/self/maps");
    std::printf("self_maps=%d\n", maps.find("sandbox_probe") != std::string::npos ? 1 : 0);
    std::printf("self_fd=%d\n", count_entries("/proc/self/fd"));
    char exe[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::printf("self_exe=%s\n", n > 0 ? exe : "error");
    std::printf("proc_has_meminfo=%d\n", ::access("/proc/meminfo", R_OK) == 0 ? 1 : 0);
    for (const char* dir : {"/etc/kvm", "/var/log", "/var/lib/kvm", "/root", "/run/kvm", "/tmp",
                            "/usr", "/sys/module", "/.sandbox/out", "/.sandbox/bin"}) {
        std::printf("writable%s=%d\n", dir, writable(dir));
    }
    std::printf("dev_mem=%d\n", dev_mem_roundtrip());
    std::printf("path=%s\n", std::getenv("PATH") ? std::getenv("PATH") : "");
    std::printf("ld_library_path=%s\n",
                std::getenv("LD_LIBRARY_PATH") ? std::getenv("LD_LIBRARY_PATH") : "");
    std::string axsim;
    for (char** env = environ; *env; ++env) {
        if (std::strncmp(*env, "AXSIM_", 6) == 0) {
            axsim += axsim.empty() ? "" : ",";
            axsim += *env;
        }
    }
    std::printf("axsim=%s\n", axsim.c_str());
    std::fflush(stdout);
    const int status = std::system("reboot");
    std::printf("reboot=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

int serve() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC);

    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kSocketPath);
    ::unlink(kSocketPath);
    if (signal_fd < 0 || server < 0 ||
        ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(server, 5) < 0) {
        std::printf("serve failed: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        pollfd items[2] = {{server, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (::poll(items, 2, -1) < 0) {
            continue;
        }
        if (items[1].revents & POLLIN) {
            signalfd_siginfo info{};
            (void)!::read(signal_fd, &info, sizeof info);
            std::printf("stopping on signal %u\n", info.ssi_signo);
            std::fflush(stdout);
            ::unlink(kSocketPath);
            return 0;
        }
        const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            (void)!::send(client, kGreeting, std::strlen(kGreeting), MSG_NOSIGNAL);
            std::printf("greeted\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "report";
    if (mode == "report") {
        return report();
    }
    if (mode == "serve") {
        return serve();
    }
    if (mode == "exit" && argc > 2) {
        return std::atoi(argv[2]);
    }
    std::fprintf(stderr, "usage: sandbox_probe report | serve | exit N\n");
    return 2;
}
