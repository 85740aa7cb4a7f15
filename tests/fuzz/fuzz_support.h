// Small helpers shared by the libFuzzer targets: a scratch directory, whole-file access, checks.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Reports a broken invariant and aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition, what)                                                           \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)

namespace hdgrab::fuzz {

// One directory per fuzzing process, on a memory file system when there is one (every run
// writes files and the configuration store syncs them). Removed at process exit.
inline const std::filesystem::path& scratch_dir() {
    // Never destroyed: the exit handler below still needs it after static destructors ran.
    static const std::filesystem::path* const dir = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                  ? fs::path("/dev/shm")
                                  : fs::temp_directory_path();
        std::string pattern = (base / "hdgrab-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return new fs::path(pattern);
    }();
    static const bool cleanup_registered = [] {
        return std::atexit([] {
                   std::error_code ignored;
                   std::filesystem::remove_all(*dir, ignored);
               }) == 0;
    }();
    (void)cleanup_registered;
    return *dir;
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Number of entries in `dir` besides "." and "..".
inline std::size_t entry_count(const std::filesystem::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++count;
    }
    return count;
}

}  // namespace hdgrab::fuzz
