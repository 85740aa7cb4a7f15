#include "app/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <toml++/toml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/unique_fd.h"

namespace {

// Mode of a configuration file that did not exist before it was written.
constexpr mode_t kNewFileMode = 0644;

// Splits a dotted key: every "." ends a segment, empty segments between dots are kept, and a
// trailing dot adds nothing ("a..b" -> a, "", b; "a." -> a).
std::vector<std::string> split_key(const std::string& key) {
    std::vector<std::string> segments;
    std::string::size_type start = 0;
    while (start < key.size()) {
        const auto dot = key.find('.', start);
        if (dot == std::string::npos) {
            segments.push_back(key.substr(start));
            break;
        }
        segments.push_back(key.substr(start, dot - start));
        start = dot + 1;
    }
    return segments;
}

// Reads the whole file; false when it cannot be opened or read (a directory, for example).
bool read_file(const std::string& path, std::string& content) {
    hdgrab::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    content.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void report_write_failure(const std::string& path, const char* what, int error) {
    fmt::print(stderr, "Failed to write configuration file {}: {}: {}\n", path, what,
               std::strerror(error));
}

// Replaces the file at `path` with `content` so that a crash at any moment leaves either the old
// or the new file complete: write a temporary file in the same directory, sync it, rename it over
// the old one, then sync the directory. A symbolic link is followed, so the link stays in place.
// The new file keeps the old one's permission bits. Reports its own failure on standard error.
bool replace_file(const std::string& path, std::string_view content) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target = fs::canonical(path, ec);
    if (ec) {
        target = path;  // not there yet (or unreachable): the rename below reports it
    }
    fs::path directory = target.parent_path();
    if (directory.empty()) {
        directory = ".";
    }

    std::string temp_name = target.string() + ".tmpXXXXXX";
    hdgrab::UniqueFd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (!fd) {
        report_write_failure(path, "cannot create a temporary file", errno);
        return false;
    }
    struct stat old_status {};
    const mode_t mode =
        ::stat(target.c_str(), &old_status) == 0 ? (old_status.st_mode & 07777) : kNewFileMode;

    const auto fail = [&](const char* what) {
        const int error = errno;
        fd.reset();
        (void)::unlink(temp_name.c_str());
        report_write_failure(path, what, error);
        return false;
    };
    if (::fchmod(fd.get(), mode) != 0) {
        return fail("cannot set the permissions");
    }
    if (!write_all(fd.get(), content)) {
        return fail("write failed");
    }
    if (::fsync(fd.get()) != 0) {
        return fail("sync failed");
    }
    if (::close(fd.release()) != 0) {
        return fail("close failed");
    }
    if (::rename(temp_name.c_str(), target.c_str()) != 0) {
        return fail("rename failed");
    }
    // Make the rename itself durable. The new content is complete either way, so a directory
    // that cannot be synced is not a failure of the write.
    hdgrab::UniqueFd dir_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd) {
        (void)::fsync(dir_fd.get());
    }
    return true;
}

}  // namespace

void ConfigStore::load(const std::string& path) {
    std::unique_lock lock(lock_);
    path_ = path;
    root_.reset();
    try {
        std::string content;
        if (!read_file(path, content)) {
            return;
        }
        root_ = toml::parse(content, path);
    } catch (...) {
        // Invalid TOML (or no memory): the store stays empty and every setting its default.
        root_.reset();
    }
}

std::optional<std::string> ConfigStore::get_string(const std::string& key) {
    std::shared_lock lock(lock_);
    try {
        const auto* root = std::any_cast<toml::table>(&root_);
        if (root == nullptr) {
            return std::nullopt;
        }
        const toml::node* node = root;
        for (const std::string& segment : split_key(key)) {
            const toml::table* table = node->as_table();
            if (table == nullptr) {
                return std::nullopt;
            }
            node = table->get(segment);
            if (node == nullptr) {
                return std::nullopt;
            }
        }
        if (const auto* text = node->as_string()) {
            return text->get();
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

bool ConfigStore::set_string(const std::string& key, const std::string& value) {
    std::unique_lock lock(lock_);
    try {
        const auto* root = std::any_cast<toml::table>(&root_);
        if (root == nullptr) {
            return false;
        }
        const std::vector<std::string> segments = split_key(key);
        if (segments.empty()) {
            return false;
        }
        toml::table copy = *root;
        toml::table* table = &copy;
        for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
            auto it = table->find(segments[i]);
            if (it == table->end()) {
                it = table->insert(segments[i], toml::table{}).first;
            }
            table = it->second.as_table();
            if (table == nullptr) {
                return false;
            }
        }
        table->insert_or_assign(segments.back(), value);

        // toml::table keeps its keys in name order, so the output is sorted at every level.
        std::ostringstream text;
        text << copy;
        if (!replace_file(path_, text.str())) {
            return false;
        }
        root_ = std::move(copy);
        return true;
    } catch (...) {
        return false;
    }
}
