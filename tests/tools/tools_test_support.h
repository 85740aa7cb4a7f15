// Helpers of the tools' tests: temporary directories, a listening socket, child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {

// A Unix-domain listening socket at `path` (a stale file there is removed first); invalid on
// failure.
UniqueFd listen_at(const std::string& path);

// Waits up to `limit` for a connection on `listener` and accepts it; invalid on time-out.
UniqueFd accept_within(int listener, std::chrono::milliseconds limit);

// A program started with its standard output and error on pipes; killed and reaped when it is
// still running at destruction.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    // Reads standard output until it holds `lines` complete lines (or `limit` passes, or the
    // output ends); returns everything read so far.
    std::string wait_for_stdout_lines(size_t lines, std::chrono::milliseconds limit);
    // Reads standard error until it contains `text` (or `limit` passes, or the output ends).
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds limit);
    void signal(int signo) const;
    // Waits up to `limit` for the exit; the exit status, or -1 on time-out or death by a signal.
    int wait_exit(std::chrono::milliseconds limit);
    const std::string& stdout_text() const { return out_text_; }
    const std::string& stderr_text() const { return err_text_; }

  private:
    // Moves whatever is ready on the two pipes into the texts; waits at most `wait` for it.
    bool pump(std::chrono::milliseconds wait);

    pid_t pid_ = -1;
    UniqueFd out_;
    UniqueFd err_;
    std::string out_text_;
    std::string err_text_;
};

}  // namespace hdgrab::test
