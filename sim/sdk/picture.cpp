// The substitute's test picture: eight colour bars with the geometry and the frame number as text.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "sim/sdk/axsim.h"

namespace axsim {
namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = kGlyphWidth + 1;  // one column of space between characters
constexpr uint32_t kTextScaleDivisor = 135;     // 1080 lines -> glyph cells 8 pixels tall
constexpr uint32_t kBoxMargin = 2;              // cells of background around the text

// A 5x7 font with the characters the picture needs: the rows of each character of kFontChars
// (bit 4 = leftmost column).
constexpr std::string_view kFontChars = "0123456789xframe ";
constexpr uint8_t kFontRows[][kGlyphHeight] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}, {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08},
    {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}, {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F},
    {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}, {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

const uint8_t* glyph_for(char ch) {
    size_t at = kFontChars.find(ch);
    return at == std::string_view::npos ? nullptr : kFontRows[at];
}

// Writes into a caller's buffer of `size` bytes laid out as `height` lines of `stride` pixels;
// pixels past the buffer are dropped.
class Canvas {
  public:
    Canvas(uint8_t* dst, size_t size, uint32_t width, uint32_t height, uint32_t stride)
        : dst_(dst), size_(size), width_(width), height_(height), stride_(stride) {}

    // One pixel: its luma and the chroma sample it carries (U on even columns, V on odd).
    void put(uint32_t x, uint32_t y, Yuv colour) {
        size_t at = (size_t{y} * stride_ + x) * 2;
        if (at + 1 >= size_) {
            if (at < size_) {
                dst_[at] = colour.y;
            }
            return;
        }
        dst_[at] = colour.y;
        dst_[at + 1] = (x % 2 == 0) ? colour.u : colour.v;
    }

    void fill(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, Yuv colour) {
        for (uint32_t y = y0; y < std::min(y0 + h, height_); ++y) {
            for (uint32_t x = x0; x < std::min(x0 + w, width_); ++x) {
                put(x, y, colour);
            }
        }
    }

    // Text centred on line `centre_y`, in cells of `scale` pixels, on a background box.
    void text(const std::string& s, uint32_t centre_y, uint32_t scale) {
        uint32_t cols = static_cast<uint32_t>(s.size()) * kGlyphAdvance - 1 + 2 * kBoxMargin;
        uint32_t rows = kGlyphHeight + 2 * kBoxMargin;
        uint32_t box_w = cols * scale;
        uint32_t box_h = rows * scale;
        if (box_w > width_ || box_h > height_) {
            return;  // too small a picture for the text
        }
        // Even left edge so every chroma pair lies wholly inside or outside the box.
        uint32_t x0 = ((width_ - box_w) / 2) & ~1u;
        uint32_t y0 = std::min(centre_y > box_h / 2 ? centre_y - box_h / 2 : 0, height_ - box_h);
        fill(x0, y0, box_w + (box_w % 2), box_h, kTextBackground);
        uint32_t gx = x0 + kBoxMargin * scale;
        uint32_t gy = y0 + kBoxMargin * scale;
        for (char ch : s) {
            if (const uint8_t* g = glyph_for(ch)) {
                for (int r = 0; r < kGlyphHeight; ++r) {
                    for (int col = 0; col < kGlyphWidth; ++col) {
                        if (g[r] & (0x10 >> col)) {
                            fill(gx + static_cast<uint32_t>(col) * scale,
                                 gy + static_cast<uint32_t>(r) * scale, scale, scale, kTextColour);
                        }
                    }
                }
            }
            gx += kGlyphAdvance * scale;
        }
    }

  private:
    uint8_t* dst_;
    size_t size_;
    uint32_t width_, height_, stride_;
};

}  // namespace

void draw_picture(uint8_t* dst, size_t size, uint32_t width, uint32_t height, uint32_t stride,
                  uint64_t seq) {
    if (dst == nullptr || size == 0) {
        return;
    }
    std::memset(dst, 0, size);
    if (width == 0 || height == 0 || stride < width) {
        return;
    }
    Canvas canvas(dst, size, width, height, stride);
    // Line 0 is built once and copied to the other lines; the text goes on top afterwards.
    std::vector<uint8_t> line(size_t{stride} * 2);
    for (uint32_t x = 0; x < stride; ++x) {
        if (x < width) {
            // A chroma pair takes the bar of its even pixel, so no pair mixes two bars.
            Yuv luma = kBarColours[bar_index(x, width)];
            Yuv chroma = kBarColours[bar_index(x & ~1u, width)];
            line[2 * x] = luma.y;
            line[2 * x + 1] = (x % 2 == 0) ? chroma.u : chroma.v;
        } else {
            line[2 * x] = kPadLuma;
            line[2 * x + 1] = kPadChroma;
        }
    }
    for (uint32_t y = 0; y < height; ++y) {
        size_t at = size_t{y} * line.size();
        if (at >= size) {
            break;
        }
        std::memcpy(dst + at, line.data(), std::min(line.size(), size - at));
    }
    uint32_t scale = std::max(1u, height / kTextScaleDivisor);
    canvas.text(fmt::format("{}x{}", width, height), height / 3, scale);
    canvas.text(fmt::format("frame {}", seq), height * 2 / 3, scale);
}

std::vector<uint8_t> make_picture(uint32_t width, uint32_t height, uint32_t stride, uint64_t seq) {
    std::vector<uint8_t> out(size_t{2} * stride * height);
    draw_picture(out.data(), out.size(), width, height, stride, seq);
    return out;
}

}  // namespace axsim
