// A dumped YUYV 4:2:2 frame: geometry from the name, stride from the size, BT.601 conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hdgrab::yuyv2png {

// Bytes per pixel of YUYV 4:2:2 (one luma and half a chroma pair).
inline constexpr uint32_t kBytesPerPixel = 2;
// Largest width or height accepted; far beyond any HDMI mode, small enough for 32-bit sizes.
inline constexpr uint32_t kMaxDimension = 16384;
// Largest input file read (a 7680x4320 frame with generous padding fits).
inline constexpr uint64_t kMaxFileSize = uint64_t{512} * 1024 * 1024;
// Suffix of the dump files; replaced by kPngSuffix for the default output name.
inline constexpr std::string_view kYuyvSuffix = ".yuyv422";
inline constexpr std::string_view kPngSuffix = ".png";

struct Geometry {
    uint32_t width = 0;
    uint32_t height = 0;
};

// How the bytes of a frame file are laid out: lines of `stride` pixels, the first `width` of
// which are the picture.
struct Layout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
};

// Width and height from a dump file name ending in "_<W>x<H>.yuyv422", such as
// "vin_20240131_142501_1920x1080.yuyv422" (directories are ignored). Nothing when the name has no
// such ending or a value is 0 or above kMaxDimension.
std::optional<Geometry> geometry_from_name(const std::string& path);

// Checks that a file of `size` bytes holds a width x height frame, each line padded to the same
// even stride of at least `width` pixels, and returns that layout. On failure returns nothing
// and puts a sentence saying why into `error`.
std::optional<Layout> frame_layout(uint64_t size, Geometry geometry, std::string& error);

// The picture as 8-bit RGB triplets, line after line without padding (3 x width x height
// bytes). `frame` holds 2 x stride x height bytes; a shorter frame gives an empty result.
std::vector<uint8_t> yuyv_to_rgb(std::span<const uint8_t> frame, const Layout& layout);

// The default output path: the input path with ".yuyv422" replaced by ".png" (or ".png"
// appended when the input has another ending).
std::string default_output_path(const std::string& input);

}  // namespace hdgrab::yuyv2png
