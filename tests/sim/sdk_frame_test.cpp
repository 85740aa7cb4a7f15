// Frames: the frame record, padded strides, the picture's bars, text and padding, and the rules
// for getting, mapping and releasing frames.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "tests/sim/fixture.h"

namespace axsim_test {
namespace {

using axsim::Kind;
using axsim::Module;
using axsim::status_of;

class FrameTest : public SdkTest {
  protected:
    void bring_up(const seq::Geometry& g = k1080p) {
        ASSERT_TRUE(seq::sys_init());
        ASSERT_TRUE(seq::pool_init());
        ASSERT_TRUE(seq::vin_init(g, sensor()));
    }
    // Brought up, with one frame held in `frame`.
    void hold_frame(AX_VIDEO_FRAME_INFO_T& frame) {
        bring_up();
        ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 1000), 0);
    }
    static axsim::Yuv pixel(const std::vector<uint8_t>& pic, uint32_t stride, uint32_t x,
                            uint32_t y) {
        size_t pair = (size_t{y} * stride + (x & ~1u)) * 2;
        return {pic[pair + (x % 2) * 2], pic[pair + 1], pic[pair + 3]};
    }
    static bool same(axsim::Yuv a, axsim::Yuv b) { return a.y == b.y && a.u == b.u && a.v == b.v; }
};

TEST_F(FrameTest, RecordDescribesTheChannelsFrame) {
    bring_up();
    AX_VIDEO_FRAME_INFO_T a{};
    AX_VIDEO_FRAME_INFO_T b{};
    ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &a, 1000), 0);
    ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &b, 1000), 0);
    EXPECT_EQ(a.u32Width, 1920u);
    EXPECT_EQ(a.u32Height, 1080u);
    EXPECT_EQ(a.enImgFormat, 3);
    EXPECT_EQ(a.u32PicStride[0], 1920u);
    EXPECT_EQ(a.u32FrameSize, 4147200u);
    EXPECT_NE(a.u64PhyAddr[0], 0u);
    EXPECT_NE(a.u64PhyAddr[0], b.u64PhyAddr[0]);
    EXPECT_EQ(a.u64SeqNum, 1u);
    EXPECT_EQ(b.u64SeqNum, 2u);
    // The call log keeps the filled record.
    auto gets = axsim::calls("AX_VIN_GetYuvFrame");
    ASSERT_EQ(gets.size(), 2u);
    ASSERT_EQ(gets[0].record.size(), sizeof(AX_VIDEO_FRAME_INFO_T));
    EXPECT_EQ(std::memcmp(gets[0].record.data(), &a, sizeof(a)), 0);
    EXPECT_EQ(gets[0].args, (std::vector<int64_t>{0, 0, 1000}));
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &a), 0);
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &b), 0);
}

TEST_F(FrameTest, PictureShowsEightBarsTextAndCounter) {
    bring_up();
    std::vector<uint8_t> bytes;
    AX_VIDEO_FRAME_INFO_T frame{};
    ASSERT_TRUE(seq::dump_frame(bytes, frame));
    ASSERT_EQ(bytes.size(), 2u * 1920 * 1080);
    // Bottom line: pure bars, each bar 240 pixels wide.
    for (uint32_t bar = 0; bar < 8; ++bar) {
        uint32_t x = bar * 240 + 120;
        EXPECT_TRUE(same(pixel(bytes, 1920, x, 1079), axsim::kBarColours[bar])) << "bar " << bar;
    }
    EXPECT_EQ(pixel(bytes, 1920, 0, 0).y, 235);    // white
    EXPECT_EQ(pixel(bytes, 1920, 1919, 0).y, 16);  // black
    // The text boxes: black background with white glyph pixels around the centre lines.
    auto count_luma = [&](uint32_t y0, uint32_t y1, uint8_t luma, uint32_t x0, uint32_t x1) {
        size_t n = 0;
        for (uint32_t y = y0; y < y1; ++y) {
            for (uint32_t x = x0; x < x1; ++x) {
                n += pixel(bytes, 1920, x, y).y == luma;
            }
        }
        return n;
    };
    // Around line 360 in the middle bars (green/magenta, luma 145/106) black and white appear.
    EXPECT_GT(count_luma(330, 390, 235, 800, 1120), 100u);
    EXPECT_GT(count_luma(330, 390, 16, 800, 1120), 100u);
    EXPECT_GT(count_luma(690, 750, 235, 800, 1120), 100u);
    // Different counters draw different pictures; same inputs, same bytes.
    EXPECT_NE(axsim::make_picture(1920, 1080, 1920, 1), axsim::make_picture(1920, 1080, 1920, 2));
    EXPECT_EQ(bytes, axsim::make_picture(1920, 1080, 1920, frame.u64SeqNum));
}

TEST_F(FrameTest, PaddedStrideIsReportedAndFilled) {
    axsim::set_stride_padding(64);
    bring_up();
    std::vector<uint8_t> bytes;
    AX_VIDEO_FRAME_INFO_T frame{};
    ASSERT_TRUE(seq::dump_frame(bytes, frame));
    EXPECT_EQ(frame.u32PicStride[0], 1984u);
    EXPECT_EQ(frame.u32Width, 1920u);
    EXPECT_EQ(frame.u32FrameSize, 4285440u);
    ASSERT_EQ(bytes.size(), 4285440u);
    EXPECT_EQ(bytes, axsim::make_picture(1920, 1080, 1984, frame.u64SeqNum));
    // Pixel 1920..1983 of each line is padding.
    size_t line = 500;
    size_t at = (line * 1984 + 1920) * 2;
    EXPECT_EQ(bytes[at], axsim::kPadLuma);
    EXPECT_EQ(bytes[at + 1], axsim::kPadChroma);
    EXPECT_TRUE(same(pixel(bytes, 1984, 1919, line), axsim::kBarColours[7]));
}

TEST_F(FrameTest, SmallAndOddPicturesAreDrawnWithoutOverrun) {
    for (auto [w, h] : {std::pair{1u, 1u}, std::pair{3u, 2u}, std::pair{33u, 7u},
                        std::pair{320u, 172u}, std::pair{1366u, 768u}}) {
        auto pic = axsim::make_picture(w, h, w + 1, 7);
        ASSERT_EQ(pic.size(), size_t{2} * (w + 1) * h);
        EXPECT_EQ(pic[0], 235) << w << "x" << h;
    }
    std::vector<uint8_t> partial(100, 0xEE);
    axsim::draw_picture(partial.data(), 60, 1920, 1080, 1920, 1);
    EXPECT_EQ(partial[59], axsim::kBarColours[0].v);
    EXPECT_EQ(partial[60], 0xEE);
}

TEST_F(FrameTest, FramesNeedAStreamingEnabledChannel) {
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init());
    AX_VIDEO_FRAME_INFO_T frame{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 10), status_of(Module::kVin, Kind::kNotExist));
    (void)::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 1, &frame, 10), status_of(Module::kVin, Kind::kNotReady));
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, nullptr, 10), status_of(Module::kVin, Kind::kNullPtr));
    ASSERT_EQ(AX_ISP_StreamOff(0), 0);
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 10), status_of(Module::kVin, Kind::kNotReady));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("not streaming"));
}

TEST_F(FrameTest, ReleaseTwiceOrNeverObtainedIsRefused) {
    AX_VIDEO_FRAME_INFO_T frame{};
    hold_frame(frame);
    ::testing::internal::CaptureStderr();
    AX_VIDEO_FRAME_INFO_T other{};
    other.u64PhyAddr[0] = 0x1234000;
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &other), status_of(Module::kVin, Kind::kNotExist));
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), status_of(Module::kVin, Kind::kNotExist));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr("already released"));
}

TEST_F(FrameTest, HeldFramesBlockTearDownAndAreReported) {
    AX_VIDEO_FRAME_INFO_T frame{};
    hold_frame(frame);
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains(::testing::StartsWith("frame pipe=0")));
    ::testing::internal::CaptureStderr();
    seq::Result down = seq::vin_deinit();
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(down.status, status_of(Module::kVin, Kind::kBusy));
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);
    EXPECT_EQ(AX_VIN_DisableChn(0, 0), 0);
}

TEST_F(FrameTest, MappingsMustMatchHeldFrames) {
    AX_VIDEO_FRAME_INFO_T frame{};
    hold_frame(frame);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_SYS_Mmap(frame.u64PhyAddr[0] + 4096, 100), nullptr);
    EXPECT_EQ(AX_SYS_Mmap(frame.u64PhyAddr[0], frame.u32FrameSize + 1), nullptr);
    EXPECT_EQ(AX_SYS_Mmap(frame.u64PhyAddr[0], 0), nullptr);
    int local = 0;
    EXPECT_EQ(AX_SYS_Munmap(&local, 4), status_of(Module::kSys, Kind::kNotExist));
    void* addr = AX_SYS_Mmap(frame.u64PhyAddr[0], frame.u32FrameSize);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(AX_SYS_Munmap(addr, 4), status_of(Module::kSys, Kind::kIllegalParam));
    EXPECT_THAT(axsim::leftovers(), ::testing::Contains(::testing::StartsWith("mapping")));
    EXPECT_EQ(AX_SYS_Munmap(addr, frame.u32FrameSize), 0);
    EXPECT_EQ(AX_SYS_Munmap(addr, frame.u32FrameSize), status_of(Module::kSys, Kind::kNotExist));
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &frame), 0);
}

TEST_F(FrameTest, PoolBlocksLimitFrames) {
    // A plan made for 1280x720 has no block for a 1920x1080 frame.
    ASSERT_TRUE(seq::sys_init());
    ASSERT_TRUE(seq::pool_init(1280, 720));
    ASSERT_TRUE(seq::vin_init(k1080p, sensor()));
    AX_VIDEO_FRAME_INFO_T frame{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 10), status_of(Module::kVin, Kind::kNoBuf));
    (void)::testing::internal::GetCapturedStderr();
    // The service's plan holds six 4K blocks: six frames can be held, not seven.
    axsim::reset();
    bring_up();
    std::vector<AX_VIDEO_FRAME_INFO_T> held(6);
    for (auto& f : held) {
        ASSERT_EQ(AX_VIN_GetYuvFrame(0, 0, &f, 10), 0);
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 10), status_of(Module::kVin, Kind::kNoBuf));
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(AX_VIN_ReleaseYuvFrame(0, 0, &held[3]), 0);
    EXPECT_EQ(AX_VIN_GetYuvFrame(0, 0, &frame, 10), 0);
    EXPECT_EQ(frame.u64PhyAddr[0], held[3].u64PhyAddr[0]);
}

TEST_F(FrameTest, CallsFromTwoThreadsKeepTheStateConsistent) {
    bring_up({64, 32, 60});
    auto worker = [] {
        for (int i = 0; i < 500; ++i) {
            AX_VIDEO_FRAME_INFO_T frame{};
            if (AX_VIN_GetYuvFrame(0, 0, &frame, 10) == 0) {
                void* addr = AX_SYS_Mmap(frame.u64PhyAddr[0], frame.u32FrameSize);
                if (addr != nullptr) {
                    (void)AX_SYS_Munmap(addr, frame.u32FrameSize);
                }
                (void)AX_VIN_ReleaseYuvFrame(0, 0, &frame);
            }
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    a.join();
    b.join();
    EXPECT_TRUE(all_calls_succeeded());
    EXPECT_TRUE(seq::vin_deinit());
    EXPECT_TRUE(seq::exit_cleanup());
    EXPECT_THAT(axsim::leftovers(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace axsim_test
