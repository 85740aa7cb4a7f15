#include "tools/watch/follow.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "base/unique_fd.h"
#include "tools/watch/state.h"

namespace hdgrab::watch {
namespace {

constexpr std::string_view kTag = "hdgrab-watch: ";
// Changes of the directory's entries that can concern the file: the service writes a temporary
// file and renames it over the state file, and removes the file when it stops.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE |
                                  IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// What is watched on an ancestor while the directory itself does not exist.
constexpr uint32_t kAncestorEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// A descriptor that becomes readable when process `pid` ends; invalid where the kernel has none.
UniqueFd open_pidfd(long pid) {
#ifdef SYS_pidfd_open
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
#else
    (void)pid;
    errno = ENOSYS;
    return UniqueFd();
#endif
}

class StateFollower {
  public:
    StateFollower(const std::string& path, OutputFormat format, std::ostream& out,
                  std::ostream& err)
        : path_(path), format_(format), out_(out), err_(err) {
        const std::filesystem::path file(path);
        name_ = file.filename().string();
        dir_ = file.parent_path().empty() ? "." : file.parent_path().string();
    }

    int run(int stop_fd) {
        inotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!inotify_) {
            err_ << kTag << "cannot watch " << dir_ << ": " << std::strerror(errno) << std::endl;
            return kExitFailure;
        }
        arm();
        for (;;) {
            if (!show()) {
                err_ << kTag << "cannot write to standard output" << std::endl;
                return kExitFailure;
            }
            switch (wait(stop_fd)) {
                case Wake::kStop:
                    return kExitOk;
                case Wake::kRearm:
                    arm();
                    break;
                case Wake::kLook:
                case Wake::kNone:
                    break;
            }
        }
    }

  private:
    enum class Wake { kStop, kLook, kRearm, kNone };

    // Watches the file's directory, or, while it does not exist, its nearest ancestor that does
    // (for the directory's creation). Once the directory is watched, what it holds is read again.
    void arm() {
        if (watch_ >= 0) {
            (void)::inotify_rm_watch(inotify_.get(), watch_);
        }
        watching_dir_ = false;
        watch_ = ::inotify_add_watch(inotify_.get(), dir_.c_str(), kEntryEvents);
        if (watch_ >= 0) {
            watching_dir_ = true;
            return;
        }
        for (auto ancestor = std::filesystem::path(dir_).parent_path(); watch_ < 0;
             ancestor = ancestor.parent_path()) {
            const std::string text = ancestor.empty() ? "." : ancestor.string();
            watch_ = ::inotify_add_watch(inotify_.get(), text.c_str(), kAncestorEvents);
            if (ancestor.empty() || ancestor == ancestor.root_path()) {
                break;
            }
        }
    }

    // Prints the state when its line differs from the last one printed, and follows the process
    // it names. False when standard output failed.
    bool show() {
        std::optional<std::string> line = current_line();
        if (!line) {
            return true;
        }
        if (*line != last_line_) {
            last_error_.clear();
            last_line_ = *line;
            out_ << *line << '\n' << std::flush;
        }
        return static_cast<bool>(out_);
    }

    // The line for the file as it is now; nothing for a file that is no state (said once).
    std::optional<std::string> current_line() {
        std::ostringstream json;
        std::ostringstream why;
        const int status = run_state(path_, OutputFormat::kJson, json, why);
        std::optional<std::string> line;
        if (status == kExitOk) {
            const std::string text = json.str().substr(0, json.str().find('\n'));
            if (follow_process(text)) {
                return format_ == OutputFormat::kJson ? text : format_state(text, format_);
            }
        } else if (status != kExitUnreachable) {
            if (why.str() != last_error_) {
                last_error_ = why.str();
                err_ << last_error_ << std::flush;
            }
            return std::nullopt;
        }
        pidfd_.reset();
        return std::string(format_ == OutputFormat::kJson ? kNotRunningJson : kNotRunningLine);
    }

    // Keeps a pidfd on the process the state names, so that its end wakes the wait. False when
    // that process has ended (seen through its pidfd, or gone already).
    bool follow_process(const std::string& text) {
        const auto state = nlohmann::json::parse(text, nullptr, false);
        const auto pid = state.is_object() ? state.find("pid") : state.end();
        if (pid == state.end() || !pid->is_number_integer()) {
            return true;
        }
        const long value = pid->get<long>();
        if (value == ended_pid_) {
            return false;
        }
        if (value != pid_) {
            pid_ = value;
            pidfd_ = open_pidfd(pid_);
            if (!pidfd_ && errno == ESRCH) {
                ended_pid_ = pid_;
                return false;
            }
        }
        return true;
    }

    Wake wait(int stop_fd) {
        std::array<pollfd, 3> fds{};
        fds[0] = {stop_fd, POLLIN, 0};
        fds[1] = {inotify_.get(), POLLIN, 0};
        fds[2] = {pidfd_ ? pidfd_.get() : -1, POLLIN, 0};
        // Without a pidfd a shown service is looked for now and then instead.
        const bool unwatched = pid_ != 0 && pid_ != ended_pid_ && !pidfd_;
        const int timeout = unwatched ? static_cast<int>(kVanishCheckInterval.count()) : -1;
        for (;;) {
            const int ready = ::poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0 || (fds[0].revents & POLLIN) != 0) {
                return Wake::kStop;
            }
            if (ready == 0) {
                return Wake::kLook;
            }
            // The file's events first: a service writes its last state before it ends.
            Wake wake = (fds[1].revents & POLLIN) != 0 ? read_events() : Wake::kNone;
            if (wake == Wake::kLook) {
                ended_pid_ = 0;  // written after an end seen: a new service
            }
            if ((fds[2].revents & POLLIN) != 0) {
                // Ended, though maybe not yet reaped (and so still found by its pid).
                ended_pid_ = pid_;
                pidfd_.reset();
                fds[2].fd = -1;
                wake = wake == Wake::kNone ? Wake::kLook : wake;
            }
            if (wake != Wake::kNone) {
                return wake;
            }
        }
    }

    // Drains the inotify queue: kRearm when the watched directory itself came, went or moved,
    // kLook when the file may have changed, kNone for other entries (the temporary file).
    Wake read_events() {
        alignas(inotify_event) std::array<char, 4096> buffer;
        Wake wake = Wake::kNone;
        for (;;) {
            const ssize_t n = ::read(inotify_.get(), buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    wake = Wake::kRearm;
                } else if (event->wd != watch_) {
                    continue;  // a watch given up (its IN_IGNORED)
                } else if (!watching_dir_ ||
                           (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                    wake = Wake::kRearm;
                } else if (event->len > 0 && name_ == event->name && wake == Wake::kNone) {
                    wake = Wake::kLook;
                }
            }
        }
        return wake;
    }

    std::string path_;
    std::string dir_;
    std::string name_;
    OutputFormat format_;
    std::ostream& out_;
    std::ostream& err_;
    UniqueFd inotify_;
    int watch_ = -1;
    bool watching_dir_ = false;
    UniqueFd pidfd_;
    long pid_ = 0;        // the process of the last state shown, 0 for none
    long ended_pid_ = 0;  // a process seen ending
    std::string last_line_;
    std::string last_error_;
};

}  // namespace

int follow_state(const std::string& path, OutputFormat format, int stop_fd, std::ostream& out,
                 std::ostream& err) {
    return StateFollower(path, format, out, err).run(stop_fd);
}

}  // namespace hdgrab::watch
