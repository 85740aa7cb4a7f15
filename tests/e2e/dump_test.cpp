// The one-shot dump road: one raw frame into a file under /root.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "sim/sdk/axsim.h"
#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class DumpRoad : public ServiceTest {
  protected:
    // Files the dump road left in the sandbox's /root.
    std::vector<std::filesystem::path> dumped_files() const {
        std::vector<std::filesystem::path> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(app.root_dir(), error)) {
            if (entry.path().filename().string().rfind("vin_", 0) == 0) {
                files.push_back(entry.path());
            }
        }
        return files;
    }

    // The sequence number of the frame the substitute handed out, from its trace.
    uint64_t dumped_sequence() const {
        const auto lines = trace_lines("AX_VIN_GetYuvFrame");
        if (lines.size() != 1) {
            return 0;
        }
        std::smatch match;
        static const std::regex kSeq("u64SeqNum=([0-9]+)");
        return std::regex_search(lines[0], match, kSeq) ? std::stoull(match[1]) : 0;
    }

    void expect_frame(uint32_t width, uint32_t height, uint32_t stride) {
        const auto files = dumped_files();
        ASSERT_EQ(files.size(), 1u) << app.output();
        const std::string name = files[0].filename().string();
        EXPECT_TRUE(
            std::regex_match(name, std::regex("vin_[0-9]{8}_[0-9]{6}_" + std::to_string(width) +
                                              "x" + std::to_string(height) + "\\.yuyv422")))
            << name;
        EXPECT_THAT(app.output(), HasSubstr("Dumping YUYV422 frame to /root/" + name + "..."));
        EXPECT_EQ(std::filesystem::file_size(files[0]), uint64_t{2} * stride * height);

        std::ifstream file(files[0], std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        const uint64_t seq = dumped_sequence();
        ASSERT_NE(seq, 0u);
        EXPECT_TRUE(bytes == axsim::make_picture(width, height, stride, seq))
            << "the file does not hold the frame's bytes";
    }
};

TEST_F(DumpRoad, WritesOneFrameNamedAfterTimeAndGeometry) {
    EXPECT_EQ(run_to_end(dump_options()), 0);
    EXPECT_THAT(app.output(), HasSubstr("YUYV422 frame dumped successfully"));
    expect_frame(1920, 1080, 1920);
    EXPECT_EQ(leak_report(), "none\n");
}

TEST_F(DumpRoad, PaddedLinesAreWrittenWhole) {
    ApplianceOptions options = dump_options();
    options.source = {1280, 720, 50};
    options.env["AXSIM_STRIDE_PAD"] = "64";
    EXPECT_EQ(run_to_end(options), 0);
    expect_frame(1280, 720, 1344);
}

TEST_F(DumpRoad, AFrameThatCannotBeFetchedStillEndsWithStatusZero) {
    ApplianceOptions options = dump_options();
    options.env["AXSIM_NO_FRAME"] = "1";
    EXPECT_EQ(run_to_end(options), 0);
    EXPECT_THAT(app.output(), HasSubstr("AX_VIN_GetYuvFrame failed, ret=0x"));
    EXPECT_THAT(app.output(), HasSubstr("Failed to dump YUYV422 frame"));
    EXPECT_TRUE(dumped_files().empty());
    EXPECT_EQ(leak_report(), "none\n");
}

TEST_F(DumpRoad, MissingMediaModuleEndsWithStatus255) {
    ApplianceOptions options = dump_options();
    options.media_module = false;
    EXPECT_EQ(run_to_end(options), 255);
    EXPECT_THAT(app.output(), HasSubstr("AX module not loaded"));
    EXPECT_TRUE(dumped_files().empty());
}

TEST_F(DumpRoad, FailedBringUpEndsWithStatus255) {
    ApplianceOptions options = dump_options();
    options.env["AXSIM_FAIL"] = "AX_POOL_Init";
    EXPECT_EQ(run_to_end(options), 255);
    EXPECT_THAT(app.output(), HasSubstr("Axera common pool init failed"));
    EXPECT_THAT(app.output(), Not(HasSubstr("Dumping YUYV422 frame")));
    EXPECT_TRUE(dumped_files().empty());
}

}  // namespace
}  // namespace hdgrab::test
