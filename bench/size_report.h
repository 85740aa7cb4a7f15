// Size of the stripped service binary and the shared libraries it loads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hdgrab::bench {

struct SharedLibrary {
    std::string name;            // the DT_NEEDED name
    std::filesystem::path path;  // where the loader finds it (empty: not found)
    uint64_t bytes = 0;          // size of that file
    bool direct = false;         // needed by the binary itself, not only by a library
};

struct SizeResult {
    bool ok = false;
    uint64_t unstripped_bytes = 0;
    uint64_t stripped_bytes = 0;
    std::vector<SharedLibrary> libraries;  // every library loaded, direct ones first
    std::vector<std::string> notes;
};

// Strips a copy of `binary` and resolves its dependencies from the ELF headers alone (readelf),
// without running the binary or its loader.
SizeResult measure_size(const std::filesystem::path& binary);

}  // namespace hdgrab::bench
