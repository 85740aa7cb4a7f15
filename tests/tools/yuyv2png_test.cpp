// yuyv2png: geometry from the name, stride from the size, BT.601 colours of a colour-bar frame.
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/yuyv2png/convert.h"
#include "tools/yuyv2png/yuyv_frame.h"
#include "tools_test_support.h"
#ifdef HDGRAB_WITH_SUBSTITUTE
#include "sim/sdk/axsim.h"
#endif

namespace hdgrab::yuyv2png {
namespace {

using namespace std::chrono_literals;

struct Yuv {
    uint8_t y, u, v;
};
struct Rgb {
    int r, g, b;
};

// 100 % colour bars in BT.601 limited range, left to right, and the RGB they stand for.
constexpr std::array<Yuv, 8> kBarsYuv{{
    {235, 128, 128},  // white
    {210, 16, 146},   // yellow
    {170, 166, 16},   // cyan
    {145, 54, 34},    // green
    {106, 202, 222},  // magenta
    {81, 90, 240},    // red
    {41, 240, 110},   // blue
    {16, 128, 128},   // black
}};
constexpr std::array<Rgb, 8> kBarsRgb{{
    {255, 255, 255},
    {255, 255, 0},
    {0, 255, 255},
    {0, 255, 0},
    {255, 0, 255},
    {255, 0, 0},
    {0, 0, 255},
    {0, 0, 0},
}};
// The bar values above are rounded to whole numbers, so the colours come back within a few steps.
constexpr int kTolerance = 4;

// A YUYV 4:2:2 frame of eight vertical bars, lines padded to `stride` pixels with bytes that
// would show up as a strong colour if the padding were taken for picture.
std::string make_bars(uint32_t width, uint32_t height, uint32_t stride) {
    std::string frame;
    for (uint32_t row = 0; row < height; ++row) {
        for (uint32_t x = 0; x < stride; x += 2) {
            if (x < width) {
                const Yuv c = kBarsYuv[x * 8 / width];
                frame += {static_cast<char>(c.y), static_cast<char>(c.u), static_cast<char>(c.y),
                          static_cast<char>(c.v)};
            } else {
                frame += {static_cast<char>(0x80), static_cast<char>(0xF0), static_cast<char>(0x80),
                          static_cast<char>(0x10)};
            }
        }
    }
    return frame;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct DecodedPng {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;

    Rgb at(uint32_t x, uint32_t y) const {
        const size_t i = (size_t{y} * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

std::optional<DecodedPng> decode_png(const std::filesystem::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    DecodedPng png{image.width, image.height, std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    if (png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    return png;
}

void expect_bars(const DecodedPng& png) {
    for (uint32_t bar = 0; bar < 8; ++bar) {
        const uint32_t x = (2 * bar + 1) * png.width / 16;  // middle of the bar
        for (const uint32_t y : {0u, png.height - 1}) {
            const Rgb got = png.at(x, y);
            const Rgb want = kBarsRgb[bar];
            EXPECT_NEAR(got.r, want.r, kTolerance) << "bar " << bar << " line " << y;
            EXPECT_NEAR(got.g, want.g, kTolerance) << "bar " << bar << " line " << y;
            EXPECT_NEAR(got.b, want.b, kTolerance) << "bar " << bar << " line " << y;
        }
    }
}

// The picture at `path` is `width` by `height` and shows the colour bars.
void expect_bars_picture(const std::filesystem::path& path, uint32_t width, uint32_t height) {
    const auto png = decode_png(path);
    ASSERT_TRUE(png) << path;
    EXPECT_EQ(png->width, width);
    EXPECT_EQ(png->height, height);
    expect_bars(*png);
}

TEST(Yuyv2PngGeometry, ComesFromTheDumpFileName) {
    const auto g = geometry_from_name("/root/vin_20240131_142501_1920x1080.yuyv422");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->width, 1920u);
    EXPECT_EQ(g->height, 1080u);
    EXPECT_TRUE(geometry_from_name("shot_1280x720.yuyv422"));
    EXPECT_FALSE(geometry_from_name("vin_20240131_142501.yuyv422"));
    EXPECT_FALSE(geometry_from_name("vin_20240131_142501_1920x1080.raw"));
    EXPECT_FALSE(geometry_from_name("vin_1920x0.yuyv422"));
    EXPECT_FALSE(geometry_from_name("vin_99999999999x1080.yuyv422"));
    EXPECT_FALSE(geometry_from_name("/a_1920x1080.yuyv422/frame"));

    EXPECT_EQ(default_output_path("/root/vin_1_2_64x8.yuyv422"), "/root/vin_1_2_64x8.png");
    EXPECT_EQ(default_output_path("frame.raw"), "frame.raw.png");
}

TEST(Yuyv2PngLayout, StrideComesFromTheFileSizeIncludingPadding) {
    std::string why;
    auto layout = frame_layout(4147200, {1920, 1080}, why);
    ASSERT_TRUE(layout) << why;
    EXPECT_EQ(layout->stride, 1920u);
    layout = frame_layout(4285440, {1920, 1080}, why);
    ASSERT_TRUE(layout) << why;
    EXPECT_EQ(layout->stride, 1984u);
}

TEST(Yuyv2PngLayout, RejectsSizesThatDoNotFitWithAReason) {
    std::string why;
    EXPECT_FALSE(frame_layout(4147200 + 1, {1920, 1080}, why));
    EXPECT_NE(why.find("not a whole number of 1080-line frames"), std::string::npos) << why;
    EXPECT_FALSE(frame_layout(2 * 1918 * 1080, {1920, 1080}, why));
    EXPECT_NE(why.find("too small"), std::string::npos) << why;
    EXPECT_FALSE(frame_layout(2 * 1921 * 1080, {1920, 1080}, why));
    EXPECT_NE(why.find("odd line stride"), std::string::npos) << why;
    EXPECT_FALSE(frame_layout(0, {1920, 1080}, why));
    EXPECT_FALSE(frame_layout(2 * 1920 * 1080, {1919, 1080}, why));
    EXPECT_NE(why.find("odd"), std::string::npos) << why;
    EXPECT_FALSE(frame_layout(2 * 1920, {1920, 0}, why));
    EXPECT_FALSE(frame_layout(uint64_t{2} * 40000 * 2, {2, 2}, why)) << "absurd padding";
}

TEST(Yuyv2PngConvert, ColourBarsComeBackWithTheirColours) {
    test::TempDir dir;
    const auto input = dir.path() / "vin_20240131_142501_64x6.yuyv422";
    write_file(input, make_bars(64, 6, 64));
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(convert({input.string(), "", {}, {}}, out, err), kExitOk) << err.str();

    expect_bars_picture(dir.path() / "vin_20240131_142501_64x6.png", 64, 6);
}

TEST(Yuyv2PngConvert, PaddedLinesAreCutToTheWidthAndOptionsOverrideTheName) {
    test::TempDir dir;
    const auto input = dir.path() / "frame.bin";
    write_file(input, make_bars(48, 4, 64));
    const auto output = dir.path() / "out.png";
    std::ostringstream out;
    std::ostringstream err;

    EXPECT_EQ(convert({input.string(), output.string(), {}, {}}, out, err), kExitFailure);
    EXPECT_NE(err.str().find("give --width and --height"), std::string::npos) << err.str();

    ASSERT_EQ(convert({input.string(), output.string(), 48, 4}, out, err), kExitOk) << err.str();
    EXPECT_NE(out.str().find("stride 64"), std::string::npos) << out.str();
    expect_bars_picture(output, 48, 4);
}

TEST(Yuyv2PngConvert, BadSizeOrMissingInputFailsWithoutWritingAPicture) {
    test::TempDir dir;
    const auto input = dir.path() / "vin_20240131_142501_64x6.yuyv422";
    write_file(input, make_bars(64, 6, 64) + "x");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(convert({input.string(), "", {}, {}}, out, err), kExitFailure);
    EXPECT_NE(err.str().find("not a whole number of 6-line frames"), std::string::npos)
        << err.str();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "vin_20240131_142501_64x6.png"));

    EXPECT_EQ(convert({(dir.path() / "none_64x6.yuyv422").string(), "", {}, {}}, out, err),
              kExitFailure);
    EXPECT_NE(err.str().find("cannot open"), std::string::npos);

    write_file(input, make_bars(64, 6, 64));
    EXPECT_EQ(convert({input.string(), (dir.path() / "no/dir/x.png").string(), {}, {}}, out, err),
              kExitFailure);
    EXPECT_NE(err.str().find("cannot write"), std::string::npos) << err.str();
}

#ifdef HDGRAB_WITH_SUBSTITUTE
// The frame the substitute SDK delivers (bars, padding, geometry and frame number as text) comes
// back with the bars' colours on the lines the text leaves free.
TEST(Yuyv2PngConvert, SubstituteColourBarsWithPaddedStrideComeBackWithTheirColours) {
    test::TempDir dir;
    const auto input = dir.path() / "vin_20240131_142501_1920x1080.yuyv422";
    const std::vector<uint8_t> frame = axsim::make_picture(1920, 1080, 1984, 7);
    write_file(input, std::string(frame.begin(), frame.end()));
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(convert({input.string(), "", {}, {}}, out, err), kExitOk) << err.str();
    EXPECT_NE(out.str().find("stride 1984"), std::string::npos) << out.str();

    expect_bars_picture(dir.path() / "vin_20240131_142501_1920x1080.png", 1920, 1080);
}
#endif

TEST(Yuyv2PngProgram, ExitStatusesAndMessages) {
    test::TempDir dir;
    const auto input = dir.path() / "vin_20240131_142501_64x6.yuyv422";
    write_file(input, make_bars(64, 6, 64));
    const auto output = dir.path() / "bars.png";

    test::Child good({HDGRAB_YUYV2PNG_BINARY, "-o", output.string(), input.string()});
    EXPECT_EQ(good.wait_exit(10s), kExitOk) << good.stderr_text();
    EXPECT_TRUE(decode_png(output));

    test::Child bad_size({HDGRAB_YUYV2PNG_BINARY, "--height", "7", input.string()});
    EXPECT_EQ(bad_size.wait_exit(10s), kExitFailure);
    EXPECT_NE(bad_size.stderr_text().find("not a whole number of 7-line frames"), std::string::npos)
        << bad_size.stderr_text();

    test::Child no_input({HDGRAB_YUYV2PNG_BINARY});
    EXPECT_EQ(no_input.wait_exit(10s), kExitUsage);
    test::Child bad_number({HDGRAB_YUYV2PNG_BINARY, "--width", "wide", input.string()});
    EXPECT_EQ(bad_number.wait_exit(10s), kExitUsage);
}

}  // namespace
}  // namespace hdgrab::yuyv2png
