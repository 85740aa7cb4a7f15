// Raw frame dump of AxeraUtil.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/resource.h>

#include "media_fixture.h"

namespace media_test {
namespace {

constexpr int32_t kFault = static_cast<int32_t>(0x80010033U);

class Dump : public MediaTest {
  protected:
    // Media system, pools and video input up, as the dump mode has them.
    std::unique_ptr<AxeraUtil> started(int32_t width, int32_t height) {
        auto util = with_pools(width, height);
        EXPECT_TRUE(util->axera_vin_init());
        clear_trace();
        return util;
    }

    static std::vector<uint8_t> read_file(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The frame the service handed back, as the substitute traced it.
    axsim::Call released() { return only_call("AX_VIN_ReleaseYuvFrame"); }

    // The frame calls in the order they were made.
    std::vector<std::string> frame_calls() {
        std::vector<std::string> names;
        for (const auto& name : call_names()) {
            if (name == "AX_VIN_GetYuvFrame" || name == "AX_SYS_Mmap" || name == "AX_SYS_Munmap" ||
                name == "AX_VIN_ReleaseYuvFrame") {
                names.push_back(name);
            }
        }
        return names;
    }
};

const std::vector<std::string> kFullRoad{"AX_VIN_GetYuvFrame", "AX_SYS_Mmap", "AX_SYS_Munmap",
                                         "AX_VIN_ReleaseYuvFrame"};

TEST_F(Dump, WritesTheWholeFirstPlaneByteForByte) {
    struct Case {
        uint32_t padding;
        uint32_t stride;
        uintmax_t size;
    };
    for (const Case c : {Case{0, 1920, 4147200}, Case{64, 1984, 4285440}}) {
        SCOPED_TRACE("stride " + std::to_string(c.stride));
        fresh_substitute();
        axsim::set_stride_padding(c.padding);
        auto util = started(1920, 1080);
        const auto path = dir / "frame.yuyv422";
        ASSERT_TRUE(util->axera_dump_frame(path.string(), 1000));
        EXPECT_EQ(frame_calls(), kFullRoad);
        EXPECT_EQ(only_call("AX_VIN_GetYuvFrame").args, (std::vector<int64_t>{0, 0, 1000}));
        const auto frame = released();
        EXPECT_EQ(frame.status, 0) << "released once, and it was held";
        EXPECT_EQ(frame.args, (std::vector<int64_t>{0, 0}));
        const auto seq = field<uint64_t>(frame.record, 200);
        EXPECT_EQ(field<uint32_t>(frame.record, 32), c.stride);

        ASSERT_EQ(std::filesystem::file_size(path), c.size);
        EXPECT_TRUE(read_file(path) == axsim::make_picture(1920, 1080, c.stride, seq))
            << "the file holds the substitute's picture";
        EXPECT_EQ(only_call("AX_SYS_Mmap").args.back(), static_cast<int64_t>(c.size));
        const auto lines = log_lines();
        ASSERT_EQ(lines.size(), 3U);
        EXPECT_EQ(lines[0].text, "Got YUYV422 frame: SeqNum=" + std::to_string(seq) +
                                     ", FrameSize=" + std::to_string(c.size) +
                                     ", Width=1920, Height=1080, Stride=" +
                                     std::to_string(c.stride) + ", Format=0x03");
        EXPECT_EQ(lines[1].text.rfind("AX_SYS_Mmap success: PhyAddr=0x", 0), 0U) << lines[1].text;
        EXPECT_EQ(lines[2],
                  (LogLine{"debug", "YUYV422 frame written successfully to " + path.string()}));
        EXPECT_TRUE(util->axera_vin_deinit());
    }
}

TEST_F(Dump, NoFrameCreatesNoFile) {
    auto util = started(1920, 1080);
    axsim::set_no_frame(true);
    const auto path = dir / "frame.yuyv422";
    EXPECT_FALSE(util->axera_dump_frame(path.string(), 1000));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(frame_calls(), std::vector<std::string>{"AX_VIN_GetYuvFrame"})
        << "nothing to release";
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"error", "AX_VIN_GetYuvFrame failed, ret=0x8004000A"}}));
}

TEST_F(Dump, UnwritablePathReleasesTheFrame) {
    auto util = started(1920, 1080);
    const auto path = dir / "missing" / "frame.yuyv422";
    EXPECT_FALSE(util->axera_dump_frame(path.string(), 1000));
    EXPECT_EQ(frame_calls(),
              (std::vector<std::string>{"AX_VIN_GetYuvFrame", "AX_VIN_ReleaseYuvFrame"}));
    EXPECT_EQ(released().status, 0);
    EXPECT_EQ(log_lines().back(),
              (LogLine{"error", "Failed to open file for writing: " + path.string()}));
    EXPECT_TRUE(axsim::leftovers().empty() || util->axera_vin_deinit());
}

TEST_F(Dump, FailingMappingLeavesAnEmptyFile) {
    auto util = started(1920, 1080);
    axsim::fail("AX_SYS_Mmap", kFault, 1);
    const auto path = dir / "frame.yuyv422";
    EXPECT_FALSE(util->axera_dump_frame(path.string(), 1000));
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0U);
    EXPECT_EQ(frame_calls(), (std::vector<std::string>{"AX_VIN_GetYuvFrame", "AX_SYS_Mmap",
                                                       "AX_VIN_ReleaseYuvFrame"}));
    const auto frame = released();
    EXPECT_EQ(frame.status, 0);
    const auto phys = field<uint64_t>(frame.record, 56);
    EXPECT_EQ(log_lines().back(),
              (LogLine{"error", fmt::format("AX_SYS_Mmap failed for YUYV422 frame, "
                                            "addr=0x{:016X}, size=4147200",
                                            phys)}));
}

TEST_F(Dump, FailingUnmapStillCountsAsDone) {
    auto util = started(1920, 1080);
    axsim::fail("AX_SYS_Munmap", kFault, 1);
    const auto path = dir / "frame.yuyv422";
    EXPECT_TRUE(util->axera_dump_frame(path.string(), 1000));
    EXPECT_EQ(std::filesystem::file_size(path), 4147200U);
    EXPECT_EQ(frame_calls(), kFullRoad);
    const auto frame = released();
    EXPECT_EQ(frame.status, 0);
    const auto phys = field<uint64_t>(frame.record, 56);
    EXPECT_EQ(
        log_lines().back(),
        (LogLine{"error",
                 fmt::format("AX_SYS_Munmap failed for addr=0x{:016X}, ret=0x80010033", phys)}));
}

TEST_F(Dump, FullDiskIsReportedAsAFailure) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    // A frame small enough to sit in the stream buffer: the error only shows when flushed.
    auto util = started(16, 8);
    EXPECT_FALSE(util->axera_dump_frame("/dev/full", 1000));
    EXPECT_EQ(frame_calls(), kFullRoad);
    EXPECT_EQ(released().status, 0);
    EXPECT_TRUE(logged("error", "Failed to write full YUYV422 frame to file"));
    EXPECT_TRUE(std::filesystem::exists("/dev/full")) << "a device named as the path stays";
}

// A file cut short by the file-size limit stands in for a full disk; the child ignores SIGXFSZ
// so the write fails with EFBIG instead of killing it.
TEST_F(Dump, CutOffFrameFileIsRemoved) {
    auto util = started(1920, 1080);
    const auto path = dir / "frame.yuyv422";
    const auto dump_under_limit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool dumped = util->axera_dump_frame(path.string(), 1000);
        std::_Exit(!dumped && !std::filesystem::exists(path) ? 0 : 1);
    };
    EXPECT_EXIT(dump_under_limit(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Dump, HugeTimeoutIsClampedToTheSignedRange) {
    auto util = started(1920, 1080);
    ASSERT_TRUE(util->axera_dump_frame((dir / "f").string(), 0xFFFFFFFFU));
    EXPECT_EQ(only_call("AX_VIN_GetYuvFrame").args.back(), 0x7FFFFFFF);
}

}  // namespace
}  // namespace media_test
