// A fresh directory under the system's temporary directory for one test, removed with its
// content afterwards, and the count of the process's open descriptors.
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

// Number of descriptors the process holds right now.
size_t open_descriptor_count();

}  // namespace hdgrab::test
