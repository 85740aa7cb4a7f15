// bench-exec-stamp FILE PROGRAM [ARGS...]: writes the CLOCK_MONOTONIC time in nanoseconds and
// this thread's CPU time and run-queue wait so far (schedstat, nanoseconds) to FILE, then
// replaces itself with PROGRAM (same pid, same counters). Started in the sandbox in front of the
// service, it marks the moment of the service's exec for the start-up figure.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench-exec-stamp FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    // Written under a temporary name and renamed, so a reader never sees half a number.
    char temporary[4096];
    if (std::snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]) >=
        static_cast<int>(sizeof temporary)) {
        std::fprintf(stderr, "bench-exec-stamp: path too long\n");
        return 2;
    }
    const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "bench-exec-stamp: %s: %s\n", temporary, std::strerror(errno));
        return 1;
    }
    // "<on-CPU ns> <run-queue wait ns> <time slices>"; zeros when it cannot be read.
    char schedstat[128] = "0 0 0";
    const int stat_fd = ::open("/proc/self/schedstat", O_RDONLY | O_CLOEXEC);
    if (stat_fd >= 0) {
        const ssize_t n = ::read(stat_fd, schedstat, sizeof schedstat - 1);
        schedstat[n > 0 ? n : 0] = '\0';
        ::close(stat_fd);
    }
    unsigned long long cpu_ns = 0;
    unsigned long long wait_ns = 0;
    (void)std::sscanf(schedstat, "%llu %llu", &cpu_ns, &wait_ns);
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char text[96];
    const int length =
        std::snprintf(text, sizeof text, "%" PRId64 " %llu %llu\n",
                      static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec, cpu_ns, wait_ns);
    const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    ::close(fd);
    if (!written || ::rename(temporary, argv[1]) != 0) {
        std::fprintf(stderr, "bench-exec-stamp: cannot write %s\n", argv[1]);
        return 1;
    }
    ::execv(argv[2], argv + 2);
    std::fprintf(stderr, "bench-exec-stamp: %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
