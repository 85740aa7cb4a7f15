#include "tools/yuyv2png/convert.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/unique_fd.h"
#include "tools/yuyv2png/yuyv_frame.h"

namespace hdgrab::yuyv2png {
namespace {

constexpr std::string_view kTag = "yuyv2png: ";

// Reads the whole regular file at `path` (at most kMaxFileSize bytes).
std::optional<std::vector<uint8_t>> read_frame_file(const std::string& path, std::ostream& err) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        err << kTag << "cannot open " << path << ": " << std::strerror(errno) << std::endl;
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        err << kTag << "cannot inspect " << path << ": " << std::strerror(errno) << std::endl;
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        err << kTag << path << " is not a regular file" << std::endl;
        return std::nullopt;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > kMaxFileSize) {
        err << kTag << path << " holds " << size << " bytes, more than the " << kMaxFileSize
            << " accepted for one frame" << std::endl;
        return std::nullopt;
    }
    std::vector<uint8_t> data(size);
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            err << kTag << "cannot read " << path << ": " << std::strerror(errno) << std::endl;
            return std::nullopt;
        }
        if (n == 0) {
            err << kTag << path << " became shorter while it was read" << std::endl;
            return std::nullopt;
        }
        done += static_cast<size_t>(n);
    }
    return data;
}

}  // namespace

bool write_png(const std::string& path, std::span<const uint8_t> rgb, uint32_t width,
               uint32_t height, std::ostream& err) {
    if (rgb.size() != size_t{3} * width * height) {
        err << kTag << "internal error: picture buffer does not match " << width << "x" << height
            << std::endl;
        return false;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_file(&image, path.c_str(), /*convert_to_8bit=*/0,
                                                 rgb.data(), /*row_stride=*/0,
                                                 /*colormap=*/nullptr) != 0;
    if (!written) {
        err << kTag << "cannot write " << path << ": " << image.message << std::endl;
        png_image_free(&image);
        (void)::unlink(path.c_str());
        return false;
    }
    return true;
}

int convert(const ConvertOptions& options, std::ostream& out, std::ostream& err) {
    Geometry geometry;
    const auto from_name = geometry_from_name(options.input);
    if (from_name) {
        geometry = *from_name;
    }
    if (options.width) {
        geometry.width = *options.width;
    }
    if (options.height) {
        geometry.height = *options.height;
    }
    if (geometry.width == 0 || geometry.height == 0) {
        err << kTag << "the name " << options.input
            << " does not end in _<W>x<H>.yuyv422; give --width and --height" << std::endl;
        return kExitFailure;
    }

    const auto frame = read_frame_file(options.input, err);
    if (!frame) {
        return kExitFailure;
    }
    std::string why;
    const auto layout = frame_layout(frame->size(), geometry, why);
    if (!layout) {
        err << kTag << options.input << ": " << why << std::endl;
        return kExitFailure;
    }

    const std::string output =
        options.output.empty() ? default_output_path(options.input) : options.output;
    if (!write_png(output, yuyv_to_rgb(*frame, *layout), layout->width, layout->height, err)) {
        return kExitFailure;
    }
    out << output << ": " << layout->width << "x" << layout->height << " (stride " << layout->stride
        << " pixels)" << std::endl;
    return kExitOk;
}

}  // namespace hdgrab::yuyv2png
