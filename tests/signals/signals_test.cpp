#include "app/signals.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "base/reload_request.h"
#include "base/service_state.h"
#include "base/worker_thread.h"

// Functions with distinctive names for the crash trace to show; kept out of any anonymous
// namespace and out of line so the symbol table names them.
namespace hdgrab_test {

volatile int g_recursion_limit = INT_MAX;

// Writes into a page mapped without access: a real segmentation fault that the sanitizers do not
// take for a null-pointer error of their own.
[[gnu::noinline]] void write_to_protected_page() {
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    volatile int* volatile target = static_cast<int*>(page);
    *target = 1;
}

[[gnu::noinline]] int overflow_the_stack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_recursion_limit) {
        return frame[0];
    }
    return overflow_the_stack(depth + 1) + frame[0];
}

}  // namespace hdgrab_test

namespace {

using testing::AllOf;
using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;

class SignalHandling : public testing::Test {
  protected:
    // Under an emulator a death test cannot execute the test program again; a forked child is
    // as fresh when the process runs only this test, as ctest runs it.
    void SetUp() override {
        const bool emulated = !std::string_view(HDGRAB_TEST_EMULATOR).empty();
        GTEST_FLAG_SET(death_test_style, emulated ? "fast" : "threadsafe");
    }
};

// The trace goes to standard output; death tests look at standard error.
void trace_to_stderr() {
    (void)::dup2(STDERR_FILENO, STDOUT_FILENO);
}

// Ends the child with `code`, printing `why` when a check failed.
[[noreturn]] void finish(bool ok, const char* why) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", why);
        std::fflush(stderr);
        std::_Exit(1);
    }
    std::_Exit(0);
}

bool stop_descriptor_readable() {
    pollfd stop{hdgrab::stop_event_fd(), POLLIN, 0};
    return ::poll(&stop, 1, 0) == 1 && (stop.revents & POLLIN) != 0;
}

bool reload_descriptor_readable() {
    pollfd reload{hdgrab::reload_event_fd(), POLLIN, 0};
    return ::poll(&reload, 1, 0) == 1 && (reload.revents & POLLIN) != 0;
}

// Every line after the header is "0x<hex>: ???" or "0x<hex>: <name> + 0x<hex>".
const char* const kTraceShape =
    "Stack trace:\n(0x[0-9a-f]+: (\\?\\?\\?|[^\n]+ \\+ 0x[0-9a-f]+)\n)+";

TEST_F(SignalHandling, ExitSignalsAreTermThenInt) {
    ASSERT_EQ(exit_signals.size(), 2u);
    EXPECT_EQ(exit_signals[0], SIGTERM);
    EXPECT_EQ(exit_signals[1], SIGINT);
}

TEST_F(SignalHandling, FlagStoreInsertsAndReplaces) {
    EXPECT_EQ(FlagStore::get("flag-store-test"), std::nullopt);
    FlagStore::set("flag-store-test", "one");
    EXPECT_EQ(FlagStore::get("flag-store-test"), "one");
    FlagStore::set("flag-store-test", "two");
    EXPECT_EQ(FlagStore::get("flag-store-test"), "two");
}

TEST_F(SignalHandling, EarlyHandlerOnlyRecordsTheRequest) {
    EXPECT_EXIT(
        {
            if (!hdgrab::install_exit_request_handlers()) {
                finish(false, "install");
            }
            (void)::raise(SIGTERM);
            (void)::raise(SIGINT);
            if (!hdgrab::is_running()) {
                finish(false, "an early request must not clear the running flag");
            }
            if (FlagStore::get(hdgrab::kNeedExitFlag).has_value()) {
                finish(false, "the handler itself must not touch the store");
            }
            hdgrab::record_exit_request();
            finish(FlagStore::get(hdgrab::kNeedExitFlag) == "true" && hdgrab::is_running(),
                   "need_exit recorded after the configuration step");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, NoRequestLeavesTheStoreEmpty) {
    EXPECT_EXIT(
        {
            (void)hdgrab::install_exit_request_handlers();
            on_exit_request(SIGUSR1);
            on_exit_request(SIGHUP);
            hdgrab::record_exit_request();
            finish(!FlagStore::get(hdgrab::kNeedExitFlag).has_value(), "no request recorded");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, EarlyRequestIsCarriedIntoTheStoreNotIntoTheRunningFlag) {
    EXPECT_EXIT(
        {
            (void)hdgrab::install_exit_request_handlers();
            (void)::raise(SIGTERM);
            // A hang-up during start-up neither ends the process nor asks for a reload.
            (void)::raise(SIGHUP);
            if (!hdgrab::install_stop_handlers()) {
                finish(false, "install");
            }
            if (reload_descriptor_readable()) {
                finish(false, "an early SIGHUP must not leave a reload request");
            }
            (void)::raise(SIGHUP);
            finish(FlagStore::get(hdgrab::kNeedExitFlag) == "true" && hdgrab::is_running() &&
                       !stop_descriptor_readable() && reload_descriptor_readable(),
                   "the recorded request must not stop the service; SIGHUP asks for a reload");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, FinalHandlerClearsTheRunningFlagAndWakesWaiters) {
    EXPECT_EXIT(
        {
            (void)hdgrab::install_stop_handlers();
            if (!hdgrab::is_running() || stop_descriptor_readable()) {
                finish(false, "running before the signal");
            }
            (void)::kill(::getpid(), SIGTERM);
            if (hdgrab::is_running() || !stop_descriptor_readable()) {
                finish(false, "SIGTERM must clear the flag and wake the stop descriptor");
            }
            // A second signal changes nothing: the process lives on, the flag stays clear.
            (void)::kill(::getpid(), SIGINT);
            (void)::kill(::getpid(), SIGINT);
            // Once a stop began, a SIGHUP asks for nothing.
            (void)::kill(::getpid(), SIGHUP);
            finish(!hdgrab::is_running() && stop_descriptor_readable() &&
                       !FlagStore::get(hdgrab::kNeedExitFlag).has_value() &&
                       !reload_descriptor_readable(),
                   "repeated signals");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, SigintAloneStopsAfterFinalInstallation) {
    EXPECT_EXIT(
        {
            (void)hdgrab::install_exit_request_handlers();
            (void)hdgrab::install_stop_handlers();
            (void)::raise(SIGINT);
            finish(!hdgrab::is_running(), "SIGINT must clear the running flag");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, CrashHandlerIgnoresOtherSignals) {
    on_crash(SIGINT);
    on_crash(SIGBUS);
    SUCCEED() << "on_crash returned for signals other than SIGSEGV";
}

TEST_F(SignalHandling, SegmentationFaultPrintsANamedTraceAndExits255) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            hdgrab_test::write_to_protected_page();
        },
        testing::ExitedWithCode(255),
        AllOf(HasSubstr("Stack trace:\n"), ContainsRegex(kTraceShape),
              ContainsRegex("\n0x[0-9a-f]+: hdgrab_test::write_to_protected_page\\(\\) \\+ "
                            "0x[0-9a-f]+\n"),
              ContainsRegex("\n0x[0-9a-f]+: on_crash\\(int\\) \\+ 0x[0-9a-f]+\n")));
}

TEST_F(SignalHandling, TraceStartsAtTheCallerOfTheTraceRoutine) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            (void)::raise(SIGSEGV);
        },
        testing::ExitedWithCode(255),
        AllOf(ContainsRegex("Stack trace:\n0x[0-9a-f]+: on_crash\\(int\\) \\+ 0x[0-9a-f]+\n"),
              Not(HasSubstr("print_stack_trace"))));
}

TEST_F(SignalHandling, StackOverflowIsTraced) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            (void)hdgrab_test::overflow_the_stack(0);
        },
        testing::ExitedWithCode(255),
        AllOf(HasSubstr("Stack trace:\n"),
              ContainsRegex("\n0x[0-9a-f]+: hdgrab_test::overflow_the_stack\\(int\\) \\+ ")));
}

TEST_F(SignalHandling, StackOverflowInAWorkerThreadIsTraced) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            // Started the way the service starts its Capture thread and Bridge monitor.
            std::thread worker =
                hdgrab::start_worker([] { (void)hdgrab_test::overflow_the_stack(0); });
            worker.join();
        },
        testing::ExitedWithCode(255),
        ContainsRegex("Stack trace:\n(.|\n)*: hdgrab_test::overflow_the_stack\\(int\\) \\+ "));
}

TEST_F(SignalHandling, SentSegvIsTracedToo) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            (void)::kill(::getpid(), SIGSEGV);
            ::pause();
        },
        testing::ExitedWithCode(255), ContainsRegex(kTraceShape));
}

TEST_F(SignalHandling, ProcessExitHandlersRunAfterTheTrace) {
    EXPECT_EXIT(
        {
            trace_to_stderr();
            (void)hdgrab::install_crash_handler();
            std::atexit([] { (void)!::write(STDERR_FILENO, "exit handlers ran\n", 18); });
            hdgrab_test::write_to_protected_page();
        },
        testing::ExitedWithCode(255), ContainsRegex("Stack trace:\n(.|\n)*exit handlers ran\n"));
}

TEST_F(SignalHandling, HandlerStaysInstalledAfterItRan) {
    EXPECT_EXIT(
        {
            (void)hdgrab::install_exit_request_handlers();
            (void)::raise(SIGTERM);
            (void)::raise(SIGTERM);
            struct sigaction current {};
            (void)::sigaction(SIGTERM, nullptr, &current);
            finish(current.sa_handler == on_exit_request, "handler still installed");
        },
        testing::ExitedWithCode(0), Not(HasSubstr("check failed")));
}

TEST_F(SignalHandling, ExceptionsThroughCLibraryFramesStillWork) {
    // The unwinder library must not replace the C++ exception runtime's unwinder.
    ASSERT_TRUE(hdgrab::install_crash_handler());
    std::once_flag once;
    EXPECT_THROW(std::call_once(once, [] { throw std::runtime_error("first try fails"); }),
                 std::runtime_error);
    bool ran = false;
    std::call_once(once, [&ran] { ran = true; });
    EXPECT_TRUE(ran);
    ASSERT_EQ(::signal(SIGSEGV, SIG_DFL) == SIG_ERR, false);
}

TEST_F(SignalHandling, WorkerThreadAltStackIsInstalledAndRemoved) {
    stack_t before{};
    ASSERT_EQ(::sigaltstack(nullptr, &before), 0);
    {
        hdgrab::AltSignalStack stack;
        ASSERT_TRUE(stack.install());
        stack_t during{};
        ASSERT_EQ(::sigaltstack(nullptr, &during), 0);
        EXPECT_EQ(during.ss_size, hdgrab::kCrashStackBytes);
        EXPECT_FALSE(during.ss_flags & SS_DISABLE);
    }
    stack_t after{};
    ASSERT_EQ(::sigaltstack(nullptr, &after), 0);
    EXPECT_EQ(after.ss_sp, before.ss_sp) << "the previous stack is back";
    EXPECT_EQ(after.ss_size, before.ss_size);
    EXPECT_EQ(after.ss_flags, before.ss_flags) << "the stack is removed again";
}

}  // namespace
