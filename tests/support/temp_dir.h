// A fresh directory under the system's temporary directory for one test, removed with its
// content afterwards; whole-file reads and writes; the count of the process's open descriptors.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace hdgrab::test {

class TempDir {
  public:
    // Throws std::runtime_error when no directory can be made.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of `name` in the directory.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string file(const std::string& name) const { return *this / name; }

    // Writes `content` byte for byte into `name`.
    void write(const std::string& name, const std::string& content) const;
    // The whole content of `name`, byte for byte.
    std::string read(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

// The whole content of the file at `path`, byte for byte ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path);
// Replaces the file at `path` with `text`, byte for byte.
void write_text(const std::filesystem::path& path, const std::string& text);

// Number of descriptors the process holds right now.
size_t open_descriptor_count();

}  // namespace hdgrab::test
