#include "app/signals.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <dlfcn.h>
#include <libunwind.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "base/reload_request.h"
#include "base/service_state.h"

namespace {

// ---- exit request and FlagStore -------------------------------------------------------------

static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");
std::atomic<bool> g_exit_requested{false};

struct FlagMap {
    std::shared_mutex lock;
    std::map<std::string, std::string> flags;
};

// Created on first use (thread-safe), destroyed at process exit.
FlagMap& flag_map() {
    static FlagMap map;
    return map;
}

// ---- crash trace ----------------------------------------------------------------------------

// libunwind's local unwinder is loaded privately (RTLD_LOCAL) rather than linked: the library
// also defines the _Unwind_* functions of the C++ exception runtime, and linked into the program
// they take the place of the compiler runtime's, after which an exception thrown through C
// library frames (std::call_once) aborts the process.
constexpr const char* kUnwindLibrary = "libunwind.so.8";

#define HDGRAB_SYMBOL_NAME_(name) #name
// The library's symbol behind one of its API macros (unw_step is _ULx86_64_step on x86-64).
#define HDGRAB_SYMBOL_NAME(name) HDGRAB_SYMBOL_NAME_(name)

// On x86 the library captures the machine context; on ARM the header does it with inline code.
#if defined(__x86_64__) || defined(__i386__)
#define HDGRAB_GETCONTEXT_IN_LIBRARY 1
#else
#define HDGRAB_GETCONTEXT_IN_LIBRARY 0
#endif

struct Unwinder {
#if HDGRAB_GETCONTEXT_IN_LIBRARY
    decltype(&unw_tdep_getcontext) getcontext_fn = nullptr;
#endif
    decltype(&unw_init_local) init_local = nullptr;
    decltype(&unw_step) step = nullptr;
    decltype(&unw_get_reg) get_reg = nullptr;
    decltype(&unw_get_proc_name) get_proc_name = nullptr;

    // Inlined: the captured context must belong to the caller's frame.
    [[gnu::always_inline]] inline int getcontext(unw_context_t* context) const noexcept {
#if HDGRAB_GETCONTEXT_IN_LIBRARY
        return getcontext_fn(context);
#else
        return unw_tdep_getcontext(context);
#endif
    }

    bool ready() const noexcept {
#if HDGRAB_GETCONTEXT_IN_LIBRARY
        if (getcontext_fn == nullptr) {
            return false;
        }
#endif
        return init_local && step && get_reg && get_proc_name;
    }
};
// Filled once, in normal context, before the crash handler is installed; the handler only reads.
Unwinder g_unwinder;

template <typename Function>
void find_symbol(void* library, const char* name, Function& out) {
    out = reinterpret_cast<Function>(::dlsym(library, name));
}

bool load_unwinder() {
    if (g_unwinder.ready()) {
        return true;
    }
    // The handle stays open for the life of the process: the handler may run at any time,
    // including during the process-exit destructors.
    void* library = ::dlopen(kUnwindLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return false;
    }
    Unwinder unwinder;
#if HDGRAB_GETCONTEXT_IN_LIBRARY
    find_symbol(library, HDGRAB_SYMBOL_NAME(unw_tdep_getcontext), unwinder.getcontext_fn);
#endif
    find_symbol(library, HDGRAB_SYMBOL_NAME(unw_init_local), unwinder.init_local);
    find_symbol(library, HDGRAB_SYMBOL_NAME(unw_step), unwinder.step);
    find_symbol(library, HDGRAB_SYMBOL_NAME(unw_get_reg), unwinder.get_reg);
    find_symbol(library, HDGRAB_SYMBOL_NAME(unw_get_proc_name), unwinder.get_proc_name);
    if (!unwinder.ready()) {
        return false;
    }
    // One walk now runs the library's one-time set-up outside any signal handler.
    unw_context_t context;
    unw_cursor_t cursor;
    if (unwinder.getcontext(&context) == 0 && unwinder.init_local(&cursor, &context) == 0) {
        (void)unwinder.step(&cursor);
    }
    g_unwinder = unwinder;
    return true;
}

constexpr std::size_t kProcNameBytes = 256;
// Initial size of the demangler's output buffer, allocated at installation; the demangler grows
// it when a name needs more.
constexpr std::size_t kDemangleBufferBytes = 4096;
// "0x" and 16 hexadecimal digits.
constexpr std::size_t kHexBytes = 2 + 16;
// Bound on the printed frames, so that a corrupted stack whose frames form a cycle cannot keep
// the process printing forever; deeper than any stack overflow of real code reaches.
constexpr int kMaxTraceFrames = 65536;
// Recently named return addresses. Looking a name up maps the object file each time (about a
// millisecond); a stack overflow repeats the same few addresses thousands of times.
constexpr std::size_t kNameCacheEntries = 16;

char* g_demangle_buffer = nullptr;
std::size_t g_demangle_length = 0;

// The thread that is printing the trace, 0 while none is.
std::atomic<pid_t> g_tracer{0};

struct NamedFrame {
    unw_word_t ip = 0;
    unw_word_t offset = 0;
    bool named = false;
    char name[kProcNameBytes] = {};
};
// Static storage rather than the alternate stack; only the tracing thread uses it.
NamedFrame g_name_cache[kNameCacheEntries];

// The procedure name and offset for the cursor's frame, from the cache when the same address was
// seen before. Null when the frame has no name.
const NamedFrame* name_frame(unw_cursor_t& cursor, unw_word_t ip) noexcept {
    NamedFrame& entry = g_name_cache[(ip >> 4) % kNameCacheEntries];
    if (entry.ip != ip) {
        entry.ip = ip;
        entry.offset = 0;
        entry.named =
            g_unwinder.get_proc_name(&cursor, entry.name, sizeof entry.name, &entry.offset) == 0;
    }
    return entry.named ? &entry : nullptr;
}

// Text assembled on the stack, never on the heap: safe inside a signal handler.
template <std::size_t N>
class StackText {
  public:
    void append(std::string_view text) noexcept {
        const std::size_t take = std::min(text.size(), N - size_);
        std::copy_n(text.data(), take, data_ + size_);
        size_ += take;
    }
    // Lower-case hexadecimal with "0x", no padding.
    void append_hex(uint64_t value) noexcept {
        char digits[16];
        std::size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        append("0x");
        while (count > 0 && size_ < N) {
            data_[size_++] = digits[--count];
        }
    }
    std::string_view view() const noexcept { return {data_, size_}; }

  private:
    char data_[N];
    std::size_t size_ = 0;
};

// Writes all parts to standard output, in one writev(2) when the descriptor takes it all.
void write_out(std::initializer_list<std::string_view> parts) noexcept {
    constexpr std::size_t kMaxParts = 4;
    iovec vec[kMaxParts];
    std::size_t count = 0;
    for (const auto part : parts) {
        if (count < kMaxParts) {
            vec[count++] = iovec{const_cast<char*>(part.data()), part.size()};
        }
    }
    std::size_t first = 0;
    while (first < count) {
        const ssize_t put = ::writev(STDOUT_FILENO, vec + first, static_cast<int>(count - first));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        auto done = static_cast<std::size_t>(put);
        while (first < count && done >= vec[first].iov_len) {
            done -= vec[first].iov_len;
            ++first;
        }
        if (first < count) {
            vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + done;
            vec[first].iov_len -= done;
        }
    }
}

// The demangled form of `name`, or `name` itself when it is no mangled C++ name.
const char* demangle(const char* name) noexcept {
    int status = -1;
    std::size_t length = g_demangle_length;
    char* text = abi::__cxa_demangle(name, g_demangle_buffer, &length, &status);
    if (text == nullptr || status != 0) {
        return name;
    }
    // The demangler may have replaced a buffer that was too small; keep the one it returned.
    g_demangle_buffer = text;
    g_demangle_length = length;
    return text;
}

[[noreturn]] void on_crash_watchdog(int) {
    ::_exit(hdgrab::kCrashExitStatus);
}

// Ends the process if no progress follows within kCrashWatchdogSeconds. Installed only once
// tracing started, so normal running leaves SIGALRM alone.
void arm_crash_watchdog() noexcept {
    struct sigaction action {};
    action.sa_handler = on_crash_watchdog;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGALRM, &action, nullptr);
    (void)::alarm(hdgrab::kCrashWatchdogSeconds);
}

bool install_handler(int signum, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // SA_RESTART as the C library's signal() sets it; handlers stay installed after they run.
    action.sa_flags = SA_RESTART | flags;
    return ::sigaction(signum, &action, nullptr) == 0;
}

}  // namespace

// ---- FlagStore ------------------------------------------------------------------------------

void FlagStore::set(const std::string& key, const std::string& value) {
    FlagMap& map = flag_map();
    std::unique_lock lock(map.lock);
    map.flags[key] = value;
}

std::optional<std::string> FlagStore::get(const std::string& key) {
    FlagMap& map = flag_map();
    std::shared_lock lock(map.lock);
    const auto found = map.flags.find(key);
    if (found == map.flags.end()) {
        return std::nullopt;
    }
    return found->second;
}

// ---- handlers -------------------------------------------------------------------------------

void on_exit_request(int signum) {
    if (std::find(exit_signals.begin(), exit_signals.end(), signum) != exit_signals.end()) {
        g_exit_requested.store(true, std::memory_order_seq_cst);
    }
}

void on_stop_signal(int) {
    hdgrab::request_stop();
}

void on_early_hangup(int) {}

void on_reload_signal(int) {
    hdgrab::request_reload();
}

void on_crash(int signum) {
    if (signum != SIGSEGV) {
        return;
    }
    print_stack_trace();
}

void print_stack_trace() {
    const pid_t self = ::gettid();
    pid_t tracer = 0;
    if (!g_tracer.compare_exchange_strong(tracer, self)) {
        if (tracer == self) {
            // The trace itself faulted: nothing more can be printed safely.
            ::_exit(hdgrab::kCrashExitStatus);
        }
        // Another thread is already tracing; its exit ends the process.
        for (;;) {
            ::pause();
        }
    }
    arm_crash_watchdog();

    write_out({"Stack trace:\n"});
    unw_context_t context;
    unw_cursor_t cursor;
    const Unwinder& unwind = g_unwinder;
    if (unwind.ready() && unwind.getcontext(&context) == 0 &&
        unwind.init_local(&cursor, &context) == 0) {
        // The first step leaves this routine's own frame: the first line is its caller.
        for (int frames = 0; frames < kMaxTraceFrames && unwind.step(&cursor) > 0; ++frames) {
            unw_word_t ip = 0;
            if (unwind.get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0) {
                break;
            }
            StackText<kHexBytes + 2> head;
            head.append_hex(ip);
            head.append(": ");
            const NamedFrame* frame = name_frame(cursor, ip);
            if (frame == nullptr) {
                write_out({head.view(), "???\n"});
            } else {
                StackText<kHexBytes + 4> tail;
                tail.append(" + ");
                tail.append_hex(frame->offset);
                tail.append("\n");
                write_out({head.view(), demangle(frame->name), tail.view()});
            }
            (void)::alarm(hdgrab::kCrashWatchdogSeconds);
        }
    }
    // A normal exit, so the process-exit destructors still run; the watchdog covers them too.
    (void)::alarm(hdgrab::kCrashWatchdogSeconds);
    std::exit(-1);
}

namespace hdgrab {

bool install_crash_handler() {
    const bool unwinder_ok = load_unwinder();
    if (g_demangle_buffer == nullptr) {
        // malloc, not new: the demangler may hand it to realloc/free.
        g_demangle_buffer = static_cast<char*>(std::malloc(kDemangleBufferBytes));
        g_demangle_length = g_demangle_buffer != nullptr ? kDemangleBufferBytes : 0;
    }
    // The main thread's stack stays mapped for good: the handler may run during the process-exit
    // destructors, and it calls exit() while running on this very stack.
    AltSignalStack stack;
    const bool stack_ok = stack.install();
    stack.keep_forever();
    // SA_NODEFER lets a fault inside the trace reach the handler again, which then ends the
    // process at once instead of leaving the kernel to kill it without status 255.
    const bool handler_ok = install_handler(SIGSEGV, on_crash, SA_ONSTACK | SA_NODEFER);
    return unwinder_ok && stack_ok && handler_ok;
}

bool install_exit_request_handlers() {
    bool ok = true;
    for (const int signum : exit_signals) {
        ok = install_handler(signum, on_exit_request, 0) && ok;
    }
    return install_handler(SIGHUP, on_early_hangup, 0) && ok;
}

bool install_stop_handlers() {
    // Creates the stop descriptor now, in normal context, so the handler only writes to it.
    (void)stop_event_fd();
    (void)reload_event_fd();
    bool ok = install_handler(SIGINT, on_stop_signal, 0);
    ok = install_handler(SIGTERM, on_stop_signal, 0) && ok;
    ok = install_handler(SIGHUP, on_reload_signal, 0) && ok;
    // A request that came in under the early handler stays a record only.
    record_exit_request();
    return ok;
}

void record_exit_request() {
    if (g_exit_requested.exchange(false, std::memory_order_seq_cst)) {
        FlagStore::set(kNeedExitFlag, "true");
    }
}

}  // namespace hdgrab
