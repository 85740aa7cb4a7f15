#include "bench/size_report.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace hdgrab::bench {
namespace {

// The standard output of a command (popen); empty on failure.
std::string command_output(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "re"), ::pclose);
    if (!pipe) {
        return out;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        out.append(buffer, n);
    }
    return out;
}

std::string quoted(const std::filesystem::path& path) {
    std::string text = "'";
    for (const char c : path.string()) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// The text between the first '[' and ']' of a readelf -d line.
std::string bracketed(const std::string& line) {
    const size_t open = line.find('[');
    const size_t close = line.find(']', open);
    if (open == std::string::npos || close == std::string::npos) {
        return {};
    }
    return line.substr(open + 1, close - open - 1);
}

struct DynamicSection {
    std::vector<std::string> needed;
    std::vector<std::filesystem::path> search;  // RUNPATH / RPATH folders ($ORIGIN resolved)
};

DynamicSection read_dynamic(const std::filesystem::path& file) {
    DynamicSection section;
    std::istringstream lines(command_output("readelf -d --wide " + quoted(file) + " 2>/dev/null"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("(NEEDED)") != std::string::npos) {
            section.needed.push_back(bracketed(line));
        } else if (line.find("(RUNPATH)") != std::string::npos ||
                   line.find("(RPATH)") != std::string::npos) {
            std::istringstream folders(bracketed(line));
            std::string folder;
            while (std::getline(folders, folder, ':')) {
                const std::string origin = "$ORIGIN";
                if (folder.starts_with(origin)) {
                    folder = file.parent_path().string() + folder.substr(origin.size());
                }
                section.search.emplace_back(folder);
            }
        }
    }
    return section;
}

// The loader's cache: library name -> path, x86-64 (or the host's own) entries.
std::map<std::string, std::filesystem::path> loader_cache() {
    std::map<std::string, std::filesystem::path> cache;
    std::istringstream lines(command_output("ldconfig -p 2>/dev/null"));
    std::string line;
    const bool x86_64 = sizeof(void*) == 8;
    while (std::getline(lines, line)) {
        const size_t arrow = line.find(" => ");
        if (arrow == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(0, arrow));
        std::string name;
        words >> name;
        const bool wide = line.find("x86-64") != std::string::npos ||
                          line.find("AArch64") != std::string::npos ||
                          line.find("64bit") != std::string::npos;
        if (x86_64 && !wide) {
            continue;
        }
        cache.emplace(name, line.substr(arrow + 4));
    }
    return cache;
}

uint64_t bytes_of(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

}  // namespace

SizeResult measure_size(const std::filesystem::path& binary) {
    SizeResult result;
    result.unstripped_bytes = bytes_of(binary);
    if (result.unstripped_bytes == 0) {
        result.notes.push_back("no binary at " + binary.string());
        return result;
    }
    const std::filesystem::path copy =
        std::filesystem::temp_directory_path() / fmt::format("hdgrab-bench-strip.{}", ::getpid());
    const std::string strip =
        "strip -o " + quoted(copy) + " " + quoted(binary) + " >/dev/null 2>&1";
    if (std::system(strip.c_str()) != 0) {
        result.notes.push_back("strip failed");
        return result;
    }
    result.stripped_bytes = bytes_of(copy);
    std::error_code ignored;
    std::filesystem::remove(copy, ignored);

    const auto cache = loader_cache();
    // Breadth first, each library once; a library's own RUNPATH applies to its needs.
    struct Pending {
        std::string name;
        std::vector<std::filesystem::path> search;
        bool direct;
    };
    const DynamicSection top = read_dynamic(binary);
    std::vector<Pending> queue;
    for (const std::string& name : top.needed) {
        queue.push_back({name, top.search, true});
    }
    std::set<std::string> seen;
    for (size_t i = 0; i < queue.size(); ++i) {
        const Pending pending = queue[i];
        if (!seen.insert(pending.name).second) {
            continue;
        }
        SharedLibrary library{pending.name, {}, 0, pending.direct};
        for (const std::filesystem::path& folder : pending.search) {
            if (std::filesystem::exists(folder / pending.name, ignored)) {
                library.path = folder / pending.name;
                break;
            }
        }
        if (library.path.empty()) {
            if (const auto found = cache.find(pending.name); found != cache.end()) {
                library.path = found->second;
            }
        }
        if (!library.path.empty()) {
            library.bytes = bytes_of(std::filesystem::canonical(library.path, ignored));
            const DynamicSection own = read_dynamic(library.path);
            for (const std::string& name : own.needed) {
                queue.push_back({name, own.search, false});
            }
        } else {
            result.notes.push_back("not found: " + pending.name);
        }
        result.libraries.push_back(std::move(library));
    }
    std::stable_partition(result.libraries.begin(), result.libraries.end(),
                          [](const SharedLibrary& library) { return library.direct; });
    result.ok = true;
    return result;
}

}  // namespace hdgrab::bench
