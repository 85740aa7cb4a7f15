// libFuzzer target: the bridge file readers on arbitrary contents of status, width, height, fps.
//
// Input layout (FuzzedDataProvider): the contents of status, width, height and fps as four
// backslash-terminated strings ("stable\n\ 1920\n\ 1080\n\ 60\n\ "); from the end, one byte
// per file choosing how it appears (low two bits: 0 or 1 a regular file, 2 missing, 3 a
// directory; bit 2: its content is preceded by padding), then the padding's length (two bytes,
// in units of 16 bytes, so the 64 KiB read bound is reachable) and its byte. One run checks:
//   - lt6911_read_status: false for a missing file (the output untouched) and an unreadable or
//     empty one; otherwise true with the first line, without its line feed, of what the bounded
//     read saw;
//   - lt6911_read_value: the integer formatted stream input extracts (white space skipped, an
//     optional sign, digits up to the first other character, within 32 bits), else 0 and false;
//   - lt6911_read_resolution: the three values read one by one, true iff all three were read
//     and are greater than 0;
//   - no descriptor is left open.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "bridge/lt6911_util.h"
#include "bridge/proc_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxContentBytes = 1024;
constexpr std::size_t kPaddingUnit = 16;
constexpr std::size_t kFileCount = 4;
constexpr std::array<const char*, kFileCount> kFiles{"status", "width", "height", "fps"};

enum class Shape { kFile, kMissing, kDirectory };

struct BridgeFile {
    Shape shape = Shape::kFile;
    std::string content;
};

Shape shape_of(uint8_t mode) {
    switch (mode & 3U) {
        case 2:
            return Shape::kMissing;
        case 3:
            return Shape::kDirectory;
        default:
            return Shape::kFile;
    }
}

void place(const fs::path& path, const BridgeFile& file) {
    std::error_code ec;
    fs::remove_all(path, ec);
    switch (file.shape) {
        case Shape::kFile:
            hdgrab::fuzz::write_file(path, file.content);
            break;
        case Shape::kMissing:
            break;
        case Shape::kDirectory:
            fs::create_directory(path, ec);
            break;
    }
}

// What the readers see of a file: at most kMaxDriverFileBytes from its start.
std::string visible(const BridgeFile& file) {
    return file.content.substr(0, hdgrab::kMaxDriverFileBytes);
}

bool is_stream_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Formatted extraction of one int, written out by hand.
bool reference_int(const std::string& text, int32_t& out) {
    out = 0;
    std::size_t i = 0;
    while (i < text.size() && is_stream_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t first_digit = i;
    int64_t magnitude = 0;
    bool too_large = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t{1} << 32) {
            too_large = true;
            magnitude = int64_t{1} << 32;
        }
    }
    if (i == first_digit || too_large) {
        return false;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool reference_value(const BridgeFile& file, int32_t& out) {
    out = 0;
    return file.shape == Shape::kFile && reference_int(visible(file), out);
}

// Lowest free descriptor number: a descriptor leaked by a reader takes it.
int lowest_free_fd() {
    const int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    std::array<BridgeFile, kFileCount> files;
    for (auto& file : files) {
        file.content = provider.ConsumeRandomLengthString(kMaxContentBytes);
    }
    std::array<uint8_t, kFileCount> modes{};
    for (auto& mode : modes) {
        mode = provider.ConsumeIntegral<uint8_t>();
    }
    const std::size_t padding = provider.ConsumeIntegral<uint16_t>() * kPaddingUnit;
    const char padding_byte = provider.ConsumeIntegral<char>();
    for (std::size_t i = 0; i < kFileCount; ++i) {
        files[i].shape = shape_of(modes[i]);
        if ((modes[i] & 4U) != 0) {
            files[i].content.insert(0, padding, padding_byte);
        }
    }

    const fs::path& dir = hdgrab::fuzz::scratch_dir();
    for (std::size_t i = 0; i < kFileCount; ++i) {
        place(dir / kFiles[i], files[i]);
    }
    static Lt6911Util bridge(dir.string());
    const int free_before = lowest_free_fd();

    // Status line.
    const std::string untouched = "\x01untouched";
    std::string status = untouched;
    const bool status_ok = bridge.lt6911_read_status(status);
    const BridgeFile& status_file = files[0];
    if (status_file.shape == Shape::kMissing) {
        FUZZ_CHECK(!status_ok, "a missing status file is not read");
        FUZZ_CHECK(status == untouched, "a status file that cannot be opened leaves the output");
    } else if (status_file.shape == Shape::kDirectory || status_file.content.empty()) {
        FUZZ_CHECK(!status_ok, "an unreadable or empty status file is not read");
    } else {
        const std::string seen = visible(status_file);
        FUZZ_CHECK(status_ok, "a status file with content is read");
        FUZZ_CHECK(status == seen.substr(0, seen.find('\n')),
                   "the status is the first line without its line feed");
    }

    // Each value on its own, then the resolution.
    std::array<int32_t, 3> expected{};
    std::array<bool, 3> expected_ok{};
    for (std::size_t i = 0; i < 3; ++i) {
        expected_ok[i] = reference_value(files[i + 1], expected[i]);
        int32_t value = -7;
        const bool ok = bridge.lt6911_read_value(kFiles[i + 1], value);
        FUZZ_CHECK(ok == expected_ok[i], "read_value succeeds exactly for a readable integer");
        FUZZ_CHECK(value == expected[i], "read_value gives the integer, or 0 on failure");
    }
    int32_t width = -7;
    int32_t height = -7;
    int32_t fps = -7;
    const bool resolution_ok = bridge.lt6911_read_resolution(width, height, fps);
    FUZZ_CHECK(width == expected[0] && height == expected[1] && fps == expected[2],
               "the resolution holds the three values as read");
    const bool all_positive =
        expected_ok[0] && expected_ok[1] && expected_ok[2] && width > 0 && height > 0 && fps > 0;
    FUZZ_CHECK(resolution_ok == all_positive,
               "the resolution is valid iff all three were read and are positive");

    FUZZ_CHECK(lowest_free_fd() == free_before, "no descriptor is left open");
    return 0;
}
