// A small program that takes a segmentation fault and prints a libunwind stack trace the way the
// service's crash handler does, to check that a stripped program with embedded MiniDebugInfo
// still names its frames.
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <sys/mman.h>

#include <cxxabi.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace crashdemo {
namespace {

constexpr std::size_t kProcNameSize = 256;

// Prints one line per frame, starting with the caller of this function, then exits with 255.
[[noreturn]] void print_stack_trace() {
    unw_context_t context;
    unw_cursor_t cursor;
    unw_getcontext(&context);
    unw_init_local(&cursor, &context);
    std::printf("Stack trace:\n");
    while (unw_step(&cursor) > 0) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        if (ip == 0) {
            break;
        }
        char name[kProcNameSize];
        unw_word_t offset = 0;
        if (unw_get_proc_name(&cursor, name, sizeof(name), &offset) != 0) {
            std::printf("0x%lx: ???\n", static_cast<unsigned long>(ip));
            continue;
        }
        int status = 0;
        char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
        std::printf("0x%lx: %s + 0x%lx\n", static_cast<unsigned long>(ip),
                    status == 0 && demangled != nullptr ? demangled : name,
                    static_cast<unsigned long>(offset));
        std::free(demangled);
    }
    std::exit(-1);
}

void on_crash(int signal_number) {
    if (signal_number == SIGSEGV) {
        print_stack_trace();
    }
}

// The calls below are kept as real frames: no inlining, and the empty asm after each call stops
// the compiler from turning it into a tail call.
[[gnu::noinline]] void write_through(volatile int* target) {
    *target = 1;
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void descend_into_fault(volatile int* target) {
    write_through(target);
    asm volatile("" ::: "memory");
}

}  // namespace
}  // namespace crashdemo

int main() {
    std::signal(SIGSEGV, crashdemo::on_crash);
    // A page without access rights rather than a null pointer: the undefined-behaviour sanitizer
    // would stop at a null store before the fault, and the address sanitizer lets this one through.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return 1;
    }
    crashdemo::descend_into_fault(static_cast<volatile int*>(page));
    return 0;
}
