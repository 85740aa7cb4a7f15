// yuyv2png: reads a dumped YUYV 4:2:2 frame file and writes it as an RGB PNG.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace hdgrab::yuyv2png {

// Exit statuses of yuyv2png.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // unreadable input, size that does not fit, write error
inline constexpr int kExitUsage = 2;    // bad command line

struct ConvertOptions {
    std::string input;
    // Empty: the input path with ".png" in place of ".yuyv422".
    std::string output;
    // Override the values taken from the file name.
    std::optional<uint32_t> width;
    std::optional<uint32_t> height;
};

// Writes 8-bit RGB triplets (3 x width bytes per line) as a PNG at `path`. A failed write leaves
// no file behind. Reports a failure on `err`.
bool write_png(const std::string& path, std::span<const uint8_t> rgb, uint32_t width,
               uint32_t height, std::ostream& err);

// The whole conversion; reports every failure on `err` and its outcome (the output path) on
// `out`. Returns the exit status.
int convert(const ConvertOptions& options, std::ostream& out, std::ostream& err);

}  // namespace hdgrab::yuyv2png
