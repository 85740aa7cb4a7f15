#include "app/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

namespace {

// Mode of a configuration file that did not exist before it was written.
constexpr mode_t kNewFileMode = 0644;

enum class ReadResult { kOk, kUnreadable, kTooLarge };

// Reads the whole file, up to kMaxConfigFileBytes. kUnreadable when it cannot be opened or read
// or is no regular file (a directory, a named pipe, a device); kTooLarge, without reading the
// rest, when it holds more. Opening does not wait: a named pipe without a writer would otherwise
// block the start-up.
ReadResult read_file(const std::string& path, std::string& content, int* error = nullptr) {
    hdgrab::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        // EINVAL stands for "not a regular file" (open and fstat do not give it for a path).
        if (error != nullptr) {
            *error = fd && S_ISREG(status.st_mode) == 0 && status.st_mode != 0 ? EINVAL : errno;
        }
        return ReadResult::kUnreadable;
    }
    content.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) {
            return ReadResult::kOk;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (error != nullptr) {
                *error = errno;
            }
            return ReadResult::kUnreadable;
        }
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > kMaxConfigFileBytes) {
            return ReadResult::kTooLarge;
        }
    }
}

// Nesting depth of the document: 0 for an empty root, 1 for values directly in it, one more for
// every table or array on the way down. Walks with its own list instead of recursing, so any
// depth is measured safely; stops counting once past kMaxConfigDepth.
std::size_t nesting_depth(const toml::table& root) {
    std::vector<std::pair<const toml::node*, std::size_t>> pending{{&root, 0}};
    std::size_t deepest = 0;
    while (!pending.empty() && deepest <= kMaxConfigDepth) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (const auto* table = node->as_table()) {
            for (const auto& entry : *table) {
                pending.emplace_back(&entry.second, depth + 1);
            }
        } else if (const auto* array = node->as_array()) {
            for (const auto& element : *array) {
                pending.emplace_back(&element, depth + 1);
            }
        }
    }
    return deepest;
}

// Whether two documents hold the same keys, types and values. Unlike the library's comparison a
// NaN equals a NaN, so a document holding one still compares equal to its own re-parsed text.
// Recurses once per level: only called on documents within kMaxConfigDepth.
bool same_node(const toml::node& a, const toml::node& b) {
    if (a.type() != b.type()) {
        return false;
    }
    if (const auto* table = a.as_table()) {
        const auto& other = *b.as_table();
        if (table->size() != other.size()) {
            return false;
        }
        for (const auto& [key, child] : *table) {
            const toml::node* match = other.get(key);
            if (match == nullptr || !same_node(child, *match)) {
                return false;
            }
        }
        return true;
    }
    if (const auto* array = a.as_array()) {
        const auto& other = *b.as_array();
        if (array->size() != other.size()) {
            return false;
        }
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (!same_node((*array)[i], other[i])) {
                return false;
            }
        }
        return true;
    }
    if (const auto* number = a.as_floating_point()) {
        const double x = number->get();
        const double y = b.as_floating_point()->get();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    return a.visit([&b](const auto& value) {
        using Value = std::remove_cvref_t<decltype(value)>;
        if constexpr (toml::is_value<Value>) {
            return value == *b.as<typename Value::value_type>();
        } else {
            return false;
        }
    });
}

// Why a text is not taken as the configuration document.
enum class ParseResult { kOk, kInvalid, kTooDeep };

// Parses `text` into `document`, refusing documents nested deeper than kMaxConfigDepth (they
// could not be written back or copied safely). The caller has bounded the text's size.
ParseResult parse_document(std::string_view text, const std::string& path, toml::table& document,
                           std::string* why = nullptr) {
    try {
        toml::table parsed = toml::parse(text, path);
        if (nesting_depth(parsed) > kMaxConfigDepth) {
            return ParseResult::kTooDeep;
        }
        document = std::move(parsed);
        return ParseResult::kOk;
    } catch (const toml::parse_error& e) {
        if (why != nullptr) {
            *why = fmt::format("not valid TOML: {} (line {}, column {})", e.description(),
                               e.source().begin.line, e.source().begin.column);
        }
        return ParseResult::kInvalid;
    } catch (...) {
        // Invalid TOML (or no memory).
        return ParseResult::kInvalid;
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

std::vector<std::string> split_config_key(const std::string& key) {
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

void ConfigStore::load(const std::string& path) {
    std::unique_lock lock(lock_);
    path_ = path;
    root_.reset();
    try {
        std::string content;
        switch (read_file(path, content)) {
            case ReadResult::kOk:
                break;
            case ReadResult::kUnreadable:
                return;
            case ReadResult::kTooLarge:
                fmt::print(stderr, "Configuration file {} ignored: larger than {} bytes\n", path,
                           kMaxConfigFileBytes);
                return;
        }
        toml::table document;
        switch (parse_document(content, path, document)) {
            case ParseResult::kOk:
                root_ = std::move(document);
                break;
            case ParseResult::kInvalid:
                break;
            case ParseResult::kTooDeep:
                fmt::print(stderr,
                           "Configuration file {} ignored: tables nested deeper than {} levels\n",
                           path, kMaxConfigDepth);
                break;
        }
    } catch (...) {
        // No memory: the store stays empty and every setting its default.
        root_.reset();
    }
}

bool ConfigStore::reload(const std::string& path, std::string& reason) {
    try {
        std::string content;
        int error = 0;
        switch (read_file(path, content, &error)) {
            case ReadResult::kOk:
                break;
            case ReadResult::kUnreadable:
                reason = error == EINVAL ? "not a regular file" : std::strerror(error);
                return false;
            case ReadResult::kTooLarge:
                reason = fmt::format("larger than {} bytes", kMaxConfigFileBytes);
                return false;
        }
        toml::table document;
        reason = "not valid TOML";
        switch (parse_document(content, path, document, &reason)) {
            case ParseResult::kOk:
                break;
            case ParseResult::kInvalid:
                return false;
            case ParseResult::kTooDeep:
                reason = fmt::format("tables nested deeper than {} levels", kMaxConfigDepth);
                return false;
        }
        std::unique_lock lock(lock_);
        path_ = path;
        root_ = std::move(document);
        return true;
    } catch (...) {
        reason = "out of memory";
        return false;
    }
}

bool ConfigStore::contains(const std::string& key) {
    std::shared_lock lock(lock_);
    try {
        return find_node(key) != nullptr;
    } catch (...) {
        return false;
    }
}

const void* ConfigStore::find_node(const std::string& key) {
    const auto* root = std::any_cast<toml::table>(&root_);
    if (root == nullptr) {
        return nullptr;
    }
    const toml::node* node = root;
    for (const std::string& segment : split_config_key(key)) {
        const toml::table* table = node->as_table();
        if (table == nullptr) {
            return nullptr;
        }
        node = table->get(segment);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

std::optional<std::string> ConfigStore::get_string(const std::string& key) {
    std::shared_lock lock(lock_);
    try {
        const auto* node = static_cast<const toml::node*>(find_node(key));
        if (node != nullptr) {
            if (const auto* text = node->as_string()) {
                return text->get();
            }
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<bool> ConfigStore::get_bool(const std::string& key) {
    std::shared_lock lock(lock_);
    try {
        const auto* node = static_cast<const toml::node*>(find_node(key));
        if (node != nullptr) {
            if (const auto* flag = node->as_boolean()) {
                return flag->get();
            }
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
        const std::vector<std::string> segments = split_config_key(key);
        if (segments.empty()) {
            return false;
        }
        if (segments.size() > kMaxConfigDepth) {
            // The copy below would grow deeper than a document the store accepts.
            fmt::print(stderr, "Failed to set configuration key: more than {} levels\n",
                       kMaxConfigDepth);
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
        std::ostringstream stream;
        stream << copy;
        const std::string text = stream.str();
        // Write only what the next start-up loads back as this very table; otherwise the
        // settings in the file would be lost at the next start.
        toml::table reloaded;
        if (text.size() > kMaxConfigFileBytes) {
            fmt::print(stderr, "Failed to write configuration file {}: larger than {} bytes\n",
                       path_, kMaxConfigFileBytes);
            return false;
        }
        if (parse_document(text, path_, reloaded) != ParseResult::kOk ||
            !same_node(reloaded, copy)) {
            fmt::print(stderr,
                       "Failed to write configuration file {}: the new text does not read back "
                       "as written\n",
                       path_);
            return false;
        }
        if (!replace_file(path_, text)) {
            return false;
        }
        root_ = std::move(copy);
        return true;
    } catch (...) {
        return false;
    }
}
