#include "tools/yuyv2png/yuyv_frame.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <regex>

namespace hdgrab::yuyv2png {
namespace {

std::optional<uint32_t> parse_dimension(const std::string& digits) {
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
        value > kMaxDimension) {
        return std::nullopt;
    }
    return value;
}

uint8_t clamp_to_byte(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

// BT.601 limited range in 8.8 fixed point: R = 1.164 (Y-16) + 1.596 (V-128),
// G = 1.164 (Y-16) - 0.391 (U-128) - 0.813 (V-128), B = 1.164 (Y-16) + 2.018 (U-128).
void put_rgb(uint8_t* out, int y, int u, int v) {
    const int c = 298 * (y - 16) + 128;
    const int d = u - 128;
    const int e = v - 128;
    out[0] = clamp_to_byte((c + 409 * e) >> 8);
    out[1] = clamp_to_byte((c - 100 * d - 208 * e) >> 8);
    out[2] = clamp_to_byte((c + 516 * d) >> 8);
}

}  // namespace

std::optional<Geometry> geometry_from_name(const std::string& path) {
    static const std::regex kPattern(R"(_([0-9]+)x([0-9]+)\.yuyv422$)");
    const std::string name = std::filesystem::path(path).filename().string();
    std::smatch match;
    if (!std::regex_search(name, match, kPattern)) {
        return std::nullopt;
    }
    const auto width = parse_dimension(match[1].str());
    const auto height = parse_dimension(match[2].str());
    if (!width || !height) {
        return std::nullopt;
    }
    return Geometry{*width, *height};
}

std::optional<Layout> frame_layout(uint64_t size, Geometry geometry, std::string& error) {
    const auto [width, height] = geometry;
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
        error = fmt::format("{}x{} is not a usable picture size (1 to {} pixels each way)", width,
                            height, kMaxDimension);
        return std::nullopt;
    }
    if (width % 2 != 0) {
        error = fmt::format("width {} is odd; YUYV 4:2:2 needs pixel pairs", width);
        return std::nullopt;
    }
    const uint64_t line_pairs = uint64_t{kBytesPerPixel} * height;
    if (size % line_pairs != 0) {
        error = fmt::format(
            "file size {} bytes is not a whole number of {}-line frames (not a multiple of {} = "
            "2 x {})",
            size, height, line_pairs, height);
        return std::nullopt;
    }
    const uint64_t stride = size / line_pairs;
    if (stride < width) {
        error = fmt::format(
            "file size {} bytes is too small for {}x{}: lines would be {} pixels, at least {} "
            "needed ({} bytes)",
            size, width, height, stride, width, uint64_t{kBytesPerPixel} * width * height);
        return std::nullopt;
    }
    if (stride % 2 != 0) {
        error = fmt::format(
            "file size {} bytes gives an odd line stride of {} pixels for height {}; YUYV lines "
            "hold whole pixel pairs",
            size, stride, height);
        return std::nullopt;
    }
    if (stride > kMaxDimension * uint64_t{2}) {
        error = fmt::format(
            "file size {} bytes gives lines of {} pixels for {}x{}; that is not a padded "
            "frame of this size",
            size, stride, width, height);
        return std::nullopt;
    }
    return Layout{width, height, static_cast<uint32_t>(stride)};
}

std::vector<uint8_t> yuyv_to_rgb(std::span<const uint8_t> frame, const Layout& layout) {
    const size_t line_bytes = size_t{kBytesPerPixel} * layout.stride;
    if (layout.stride < layout.width || frame.size() / line_bytes < layout.height) {
        return {};
    }
    std::vector<uint8_t> rgb(size_t{3} * layout.width * layout.height);
    for (size_t row = 0; row < layout.height; ++row) {
        const uint8_t* in = frame.data() + row * line_bytes;
        uint8_t* out = rgb.data() + row * size_t{3} * layout.width;
        for (size_t x = 0; x + 1 < layout.width; x += 2, in += 4, out += 6) {
            const int u = in[1];
            const int v = in[3];
            put_rgb(out, in[0], u, v);
            put_rgb(out + 3, in[2], u, v);
        }
    }
    return rgb;
}

std::string default_output_path(const std::string& input) {
    if (input.size() > kYuyvSuffix.size() && input.ends_with(kYuyvSuffix)) {
        return input.substr(0, input.size() - kYuyvSuffix.size()) + std::string(kPngSuffix);
    }
    return input + std::string(kPngSuffix);
}

}  // namespace hdgrab::yuyv2png
