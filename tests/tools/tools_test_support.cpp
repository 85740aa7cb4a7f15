#include "tools_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace hdgrab::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(0, left));
}

}  // namespace

UniqueFd listen_at(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    if (!fd || path.size() >= sizeof addr.sun_path) {
        return {};
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    (void)::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 5) != 0) {
        return {};
    }
    return fd;
}

UniqueFd accept_within(int listener, std::chrono::milliseconds limit) {
    pollfd pfd{listener, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) {
        return {};
    }
    return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

Child::Child(const std::vector<std::string>& argv) {
    std::array<int, 2> out_pipe{-1, -1};
    std::array<int, 2> err_pipe{-1, -1};
    if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return;
    }
    out_.reset(out_pipe[0]);
    err_.reset(err_pipe[0]);
    UniqueFd out_write(out_pipe[1]);
    UniqueFd err_write(err_pipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
    // In a cross build the program runs under the same emulator as this test.
    static const std::string emulator = HDGRAB_TEST_EMULATOR;
    std::vector<char*> args;
    if (!emulator.empty()) {
        args.push_back(const_cast<char*>(emulator.c_str()));
    }
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        (void)::waitpid(pid_, &status, 0);
    }
}

bool Child::pump(std::chrono::milliseconds wait) {
    std::array<pollfd, 2> fds{{{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) {
        return false;
    }
    bool any = false;
    std::array<char, 4096> buffer{};
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        UniqueFd& fd = i == 0 ? out_ : err_;
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n > 0) {
            (i == 0 ? out_text_ : err_text_).append(buffer.data(), static_cast<size_t>(n));
            any = true;
        } else {
            fd.reset();  // end of output: poll ignores the negative descriptor from now on
        }
    }
    return any || out_ || err_;
}

std::string Child::wait_for_stdout_lines(size_t lines, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (static_cast<size_t>(std::count(out_text_.begin(), out_text_.end(), '\n')) < lines &&
           Clock::now() < deadline && (out_ || err_)) {
        pump(std::chrono::milliseconds(remaining_ms(deadline)));
    }
    return out_text_;
}

bool Child::wait_for_stderr(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (err_text_.find(text) == std::string::npos && Clock::now() < deadline && (out_ || err_)) {
        pump(std::chrono::milliseconds(remaining_ms(deadline)));
    }
    return err_text_.find(text) != std::string::npos;
}

void Child::signal(int signo) const {
    if (pid_ > 0) {
        ::kill(pid_, signo);
    }
}

int Child::wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            // Collect what the program wrote before it ended.
            while ((out_ || err_) && pump(std::chrono::milliseconds(100))) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        pump(std::chrono::milliseconds(20));
    }
    return -1;
}

}  // namespace hdgrab::test
