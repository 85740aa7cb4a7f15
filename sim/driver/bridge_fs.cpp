#define FUSE_USE_VERSION 35

#include "sim/driver/bridge_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace hdgrab::sim {
namespace {

// Sizes reported for the bridge files; every read reaches the driver (direct I/O), so the value
// only has to be large enough for tools that look at it.
constexpr off_t kReportedFileSize = 4096;
constexpr const char* kRootPath = "/";

std::atomic<fuse_session*> g_session{nullptr};

BridgeFs& self() {
    return *static_cast<BridgeFs*>(fuse_get_context()->private_data);
}

// "/lt6911_info/<file>" -> the file; "/lt6911_info" -> nothing but `is_dir`.
struct PathInfo {
    enum Kind { root, bridge_dir, bridge_file, proc_link, missing } kind = missing;
    BridgeFile file = BridgeFile::status;
    std::string name;  // the root entry for proc_link
};

PathInfo classify(const char* path) {
    PathInfo info;
    const std::string p(path);
    const std::string dir = std::string("/") + kBridgeDirName;
    if (p == kRootPath) {
        info.kind = PathInfo::root;
    } else if (p == dir) {
        info.kind = PathInfo::bridge_dir;
    } else if (p.starts_with(dir + "/")) {
        const auto file = file_from_name(p.substr(dir.size() + 1));
        if (file) {
            info.kind = PathInfo::bridge_file;
            info.file = *file;
        }
    } else if (p.find('/', 1) == std::string::npos) {
        info.kind = PathInfo::proc_link;
        info.name = p.substr(1);
    }
    return info;
}

void on_termination_signal(int) {
    if (fuse_session* session = g_session.load()) {
        fuse_session_exit(session);
    }
}

void on_wake_signal(int) {}

void install_handler(int sig, void (*handler)(int), bool keep_ignored) {
    struct sigaction action {};
    if (keep_ignored && ::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
        return;
    }
    action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the loop's read must return EINTR
    ::sigaction(sig, &action, nullptr);
}

// ---- FUSE callbacks ---------------------------------------------------------------------------

void* fs_init(fuse_conn_info*, fuse_config* config) {
    // No caching anywhere: hide/show and every status change must be visible at once.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    config->kernel_cache = 0;
    return fuse_get_context()->private_data;
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    const PathInfo info = classify(path);
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_nlink = 1;
    switch (info.kind) {
        case PathInfo::root:
        case PathInfo::bridge_dir:
            st->st_mode = S_IFDIR | 0555;
            st->st_nlink = 2;
            return 0;
        case PathInfo::bridge_file:
            if (!self().model().visible(info.file)) {
                return -ENOENT;
            }
            st->st_mode = S_IFREG | (is_writable(info.file) ? 0644 : 0444);
            st->st_size = kReportedFileSize;
            return 0;
        case PathInfo::proc_link:
            st->st_mode = S_IFLNK | 0777;
            st->st_size = static_cast<off_t>(self().proc_target().size() + 1 + info.name.size());
            return 0;
        case PathInfo::missing:
            break;
    }
    return -ENOENT;
}

int fs_readlink(const char* path, char* buffer, size_t size) {
    const PathInfo info = classify(path);
    if (info.kind != PathInfo::proc_link || size == 0) {
        return -EINVAL;
    }
    const std::string target = self().proc_target() + "/" + info.name;
    std::snprintf(buffer, size, "%s", target.c_str());
    return 0;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    const PathInfo info = classify(path);
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    if (info.kind == PathInfo::bridge_dir) {
        for (BridgeFile file : kAllBridgeFiles) {
            if (self().model().visible(file)) {
                fill(buffer, file_name(file), nullptr, 0, fuse_fill_dir_flags{});
            }
        }
        return 0;
    }
    if (info.kind != PathInfo::root) {
        return -ENOTDIR;
    }
    fill(buffer, kBridgeDirName, nullptr, 0, fuse_fill_dir_flags{});
    // The kernel-wide names of procfs (not the process directories, which belong to the
    // sandbox's own pid namespace); any other name still resolves through its symlink.
    std::set<std::string> names;
    if (DIR* dir = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != kBridgeDirName &&
                name.find_first_not_of("0123456789") != std::string::npos) {
                names.insert(name);
            }
        }
        ::closedir(dir);
    }
    for (const std::string& name : names) {
        fill(buffer, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    }
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
    const PathInfo info = classify(path);
    if (info.kind != PathInfo::bridge_file) {
        return info.kind == PathInfo::missing ? -ENOENT : -EISDIR;
    }
    if (!self().model().visible(info.file)) {
        return -ENOENT;
    }
    const int access = fi->flags & O_ACCMODE;
    if (access != O_RDONLY && !is_writable(info.file)) {
        return -EACCES;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fi->fh = info.file == BridgeFile::status ? self().open_status() : 0;
    return 0;
}

int fs_create(const char*, mode_t, fuse_file_info*) {
    return -EACCES;
}

int fs_truncate(const char* path, off_t, fuse_file_info*) {
    // Opening for writing truncates first; a driver file has nothing to truncate.
    const PathInfo info = classify(path);
    if (info.kind != PathInfo::bridge_file) {
        return -EACCES;
    }
    return is_writable(info.file) ? 0 : -EACCES;
}

int fs_release(const char* path, fuse_file_info* fi) {
    const PathInfo info = classify(path);
    if (info.kind == PathInfo::bridge_file && info.file == BridgeFile::status) {
        self().release_status(fi->fh);
    }
    return 0;
}

int fs_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const PathInfo info = classify(path);
    if (info.kind != PathInfo::bridge_file) {
        return -EISDIR;
    }
    std::string content;
    if (info.file == BridgeFile::status) {
        content = self().read_status(fi->fh, offset);
    } else {
        // An open descriptor keeps reading a file that was hidden after it was opened.
        content = self().model().read(info.file, true).value_or("");
    }
    if (offset < 0 || static_cast<size_t>(offset) >= content.size()) {
        return 0;
    }
    const size_t count = std::min(size, content.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, content.data() + offset, count);
    return static_cast<int>(count);
}

int fs_write(const char* path, const char* data, size_t size, off_t, fuse_file_info*) {
    const PathInfo info = classify(path);
    if (info.kind != PathInfo::bridge_file || !is_writable(info.file)) {
        return -EACCES;
    }
    self().model().write(info.file, std::string(data, size));
    return static_cast<int>(size);
}

int fs_poll(const char* path, fuse_file_info* fi, fuse_pollhandle* ph, unsigned* reventsp) {
    const PathInfo info = classify(path);
    unsigned revents = POLLIN | POLLRDNORM;
    if (info.kind == PathInfo::bridge_file && is_writable(info.file)) {
        revents |= POLLOUT | POLLWRNORM;
    }
    if (info.kind == PathInfo::bridge_file && info.file == BridgeFile::status) {
        if (self().poll_status(fi->fh, ph)) {
            revents |= POLLPRI;
        }
    } else if (ph != nullptr) {
        fuse_pollhandle_destroy(ph);
    }
    *reventsp = revents;
    return 0;
}

fuse_operations make_operations() {
    fuse_operations ops{};
    ops.init = fs_init;
    ops.getattr = fs_getattr;
    ops.readlink = fs_readlink;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.create = fs_create;
    ops.truncate = fs_truncate;
    ops.release = fs_release;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.poll = fs_poll;
    return ops;
}

}  // namespace

BridgeFs::BridgeFs(BridgeModel& model, std::string proc_target)
    : model_(model), proc_target_(std::move(proc_target)) {
    model_.set_change_listener([this](uint64_t generation) { status_changed(generation); });
}

BridgeFs::~BridgeFs() {
    model_.set_change_listener(nullptr);
    if (fuse_) {
        if (mounted_) {
            fuse_unmount(fuse_);
        }
        fuse_destroy(fuse_);
    }
    for (auto& [id, handle] : handles_) {
        if (handle.poll_handle) {
            fuse_pollhandle_destroy(handle.poll_handle);
        }
    }
}

bool BridgeFs::mount(const std::string& mountpoint) {
    static const fuse_operations ops = make_operations();
    char program[] = "lt6911-sim";
    char option_flag[] = "-o";
    // auto_unmount: a helper unmounts when the driver dies without doing so (SIGKILL, crash).
    char options[] = "fsname=lt6911-sim,subtype=lt6911,auto_unmount";
    char* argv[] = {program, option_flag, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_ = fuse_new(&args, &ops, sizeof ops, this);
    // fuse_new may have copied the arguments into memory of its own.
    fuse_opt_free_args(&args);
    if (!fuse_) {
        std::fprintf(stderr, "lt6911-sim: fuse_new failed\n");
        return false;
    }
    if (fuse_mount(fuse_, mountpoint.c_str()) != 0) {
        std::fprintf(stderr, "lt6911-sim: cannot mount FUSE at %s\n", mountpoint.c_str());
        return false;
    }
    mounted_ = true;
    return true;
}

int BridgeFs::run() {
    fuse_session* session = fuse_get_session(fuse_);
    g_session.store(session);
    install_handler(SIGTERM, on_termination_signal, false);
    install_handler(SIGHUP, on_termination_signal, false);
    // Started in the background by a script, SIGINT is ignored on purpose: Ctrl-C is for the
    // service, the script stops the driver afterwards.
    install_handler(SIGINT, on_termination_signal, true);
    install_handler(SIGUSR1, on_wake_signal, false);
    const int result = fuse_loop(fuse_);
    g_session.store(nullptr);
    fuse_unmount(fuse_);
    mounted_ = false;
    return result;
}

void BridgeFs::exit() {
    if (fuse_session* session = g_session.load()) {
        fuse_session_exit(session);
    }
    // The loop sits in read(2) on the FUSE device; a signal to the process ends that read. The
    // other threads block the signal, so it reaches the loop's thread.
    ::kill(::getpid(), SIGUSR1);
}

uint64_t BridgeFs::open_status() {
    std::lock_guard lock(handles_mutex_);
    const uint64_t id = next_handle_++;
    // A fresh descriptor has nothing to report until the next change.
    handles_[id].seen_generation = model_.generation();
    return id;
}

void BridgeFs::release_status(uint64_t id) {
    std::lock_guard lock(handles_mutex_);
    auto it = handles_.find(id);
    if (it == handles_.end()) {
        return;
    }
    if (it->second.poll_handle) {
        fuse_pollhandle_destroy(it->second.poll_handle);
    }
    handles_.erase(it);
}

std::string BridgeFs::read_status(uint64_t id, int64_t offset) {
    auto [content, generation] = model_.read_status();
    if (offset == 0) {
        std::lock_guard lock(handles_mutex_);
        if (auto it = handles_.find(id); it != handles_.end()) {
            it->second.seen_generation = generation;
        }
    }
    return content;
}

bool BridgeFs::poll_status(uint64_t id, fuse_pollhandle* poll_handle) {
    const uint64_t generation = model_.generation();
    std::lock_guard lock(handles_mutex_);
    auto it = handles_.find(id);
    if (it == handles_.end()) {
        if (poll_handle) {
            fuse_pollhandle_destroy(poll_handle);
        }
        return false;
    }
    if (poll_handle) {
        if (it->second.poll_handle) {
            fuse_pollhandle_destroy(it->second.poll_handle);
        }
        it->second.poll_handle = poll_handle;
    }
    return it->second.seen_generation != generation;
}

void BridgeFs::status_changed(uint64_t generation) {
    std::lock_guard lock(handles_mutex_);
    for (auto& [id, handle] : handles_) {
        if (handle.poll_handle && handle.seen_generation != generation) {
            fuse_notify_poll(handle.poll_handle);
        }
    }
}

}  // namespace hdgrab::sim
