// What /proc tells about a running process: CPU time, wake-ups, memory, descriptors, threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hdgrab::harness {

// One reading of a process and all its threads.
struct ProcessSample {
    uint64_t cpu_ticks = 0;         // utime + stime of the whole process, clock ticks
    uint64_t cpu_ns = 0;            // time on a CPU summed over the threads (schedstat), ns
    uint64_t run_delay_ns = 0;      // time runnable but waiting for a CPU, summed likewise, ns
    uint64_t context_switches = 0;  // voluntary + nonvoluntary, summed over the threads
    uint64_t rss_kib = 0;           // VmRSS
    uint64_t rss_anon_kib = 0;      // RssAnon
    uint64_t rss_file_kib = 0;      // RssFile
    uint64_t pss_kib = 0;           // Pss from smaps_rollup (0 when unavailable)
    size_t descriptors = 0;         // entries of /proc/<pid>/fd
    size_t sockets = 0;             // of which sockets
    size_t threads = 0;             // entries of /proc/<pid>/task
};

// Reads the sample; nothing when the process is gone or /proc cannot be read.
std::optional<ProcessSample> sample_process(pid_t pid);

// CPU time and run-queue delay of all threads (schedstat) alone: cheap enough to take at the
// moment something is detected.
struct CpuSample {
    uint64_t cpu_ns = 0;
    uint64_t run_delay_ns = 0;
};
std::optional<CpuSample> sample_cpu(pid_t pid);

// Number of descriptors of the process that are sockets (-1 when it cannot be read). Cheap
// enough to poll.
int count_sockets(pid_t pid);

// What a blocked thread waits in, from /proc/<pid>/task/<tid>/syscall.
struct ThreadWait {
    pid_t tid = -1;
    long syscall = -1;           // -1: running, or unreadable
    std::vector<uint64_t> args;  // the six arguments
};
std::vector<ThreadWait> thread_waits(pid_t pid);

// The thread waits the service has while idle, recognised from the system call and its
// arguments (x86-64 and aarch64 numbers).
enum class WaitKind {
    other,
    capture_wait,  // epoll_wait with at most 10 events: the Capture thread's 200 ms wait
    status_wait,   // epoll_wait with at most 2 events: the Bridge monitor on the status file
    client_poll,   // poll/ppoll on three descriptors: the Bridge monitor's wait for a client
};
WaitKind classify(const ThreadWait& wait);
bool has_wait(pid_t pid, WaitKind kind);

// The clock ticks per second of cpu_ticks.
long ticks_per_second();

// The host pid of the first child of `parent` (the program that bwrap's init started).
std::optional<pid_t> first_child(pid_t parent);

// The value of `"key": N` in a small JSON text (bwrap's --info-fd output).
std::optional<long> json_number(const std::string& text, const std::string& key);

}  // namespace hdgrab::harness
