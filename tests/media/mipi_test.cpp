// MIPI receiver and pin multiplexing of AxeraUtil.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "media_fixture.h"

namespace media_test {
namespace {

constexpr int32_t kFault = static_cast<int32_t>(0x80040003U);

class Mipi : public MediaTest {
  protected:
    void SetUp() override {
        MediaTest::SetUp();
        util = with_pools();
    }

    uint32_t register_value(uint32_t address) {
        std::ifstream mem(dev_mem, std::ios::binary);
        mem.seekg(address);
        uint32_t value = 0;
        mem.read(reinterpret_cast<char*>(&value), sizeof(value));
        return value;
    }

    std::unique_ptr<AxeraUtil> util;
};

TEST_F(Mipi, BringUpSequenceAndReceiverRecord) {
    ASSERT_TRUE(util->axera_mipi_init());
    EXPECT_EQ(util->capture_device(), 0);
    EXPECT_EQ(call_names(), (std::vector<std::string>{"AX_MIPI_RX_Init", "AX_MIPI_RX_SetLaneCombo",
                                                      "AX_MIPI_RX_SetAttr", "AX_MIPI_RX_Reset",
                                                      "AX_MIPI_RX_Start"}));
    EXPECT_EQ(only_call("AX_MIPI_RX_SetLaneCombo").args, std::vector<int64_t>{0});
    const auto set_attr = only_call("AX_MIPI_RX_SetAttr");
    EXPECT_EQ(set_attr.args, std::vector<int64_t>{0});
    EXPECT_EQ(set_attr.record, (std::vector<uint8_t>{0,    0,    0, 0, 0, 0, 0, 0, 4, 0, 0, 0,
                                                     0x58, 0x02, 0, 0, 0, 1, 3, 4, 2, 5, 0, 0}));
    EXPECT_EQ(only_call("AX_MIPI_RX_Reset").args, std::vector<int64_t>{0});
    EXPECT_EQ(only_call("AX_MIPI_RX_Start").args, std::vector<int64_t>{0});
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(Mipi, PinTableIsWrittenThroughTheMemoryDevice) {
    ASSERT_TRUE(util->axera_set_pinmux());
    const std::vector<std::pair<uint32_t, uint32_t>> expected{
        {0x0230000C, 0x00020043}, {0x02300018, 0x00040003}, {0x02300024, 0x00000003},
        {0x02300030, 0x00040003}, {0x0230003C, 0x00040003}, {0x02300048, 0x00060003},
        {0x02300054, 0x00060003}, {0x02300060, 0x00060003}, {0x0230006C, 0x00030083},
        {0x02300078, 0x00030083}, {0x02300084, 0x00040003}};
    for (const auto& [address, value] : expected) {
        EXPECT_EQ(register_value(address), value) << std::hex << address;
    }
    EXPECT_EQ(register_value(0x02300000), 0U) << "nothing else written";
    EXPECT_EQ(register_value(0x02300010), 0U);
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(Mipi, MissingMemoryDeviceFailsTheBringUp) {
    std::filesystem::remove(dev_mem);
    EXPECT_FALSE(util->axera_mipi_init());
    EXPECT_EQ(util->capture_device(), std::nullopt);
    EXPECT_EQ(call_names().back(), "AX_MIPI_RX_Start") << "the receiver was started";
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{
                  {"error", "Failed to open /dev/mem, error: No such file or directory"},
                  {"error", "Set pinmux failed"}}));
    EXPECT_TRUE(calls_named("AX_MIPI_RX_Stop").empty()) << "nothing is undone";
}

TEST_F(Mipi, OneFailingMappingIsSkipped) {
    auto bad_platform = platform();
    int mapped = 0;
    bad_platform.map = [&mapped](void* addr, size_t length, int prot, int flags, int fd,
                                 off_t offset) -> void* {
        if (mapped++ == 0) {
            errno = ENOMEM;
            return MAP_FAILED;
        }
        return ::mmap(addr, length, prot, flags, fd, offset);
    };
    AxeraUtil other(1920, 1080, 60, bad_platform);
    other.configure("debug", "console", "");
    other.get_logger()->sinks().clear();
    other.get_logger()->sinks().push_back(sink);

    EXPECT_TRUE(other.axera_set_pinmux()) << "single entries do not fail the operation";
    EXPECT_EQ(mapped, 11) << "one mapping per entry";
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"error",
                                     "mmap failed for address 0x230000C, error: Cannot allocate "
                                     "memory"}}));
    EXPECT_EQ(register_value(0x0230000C), 0U);
    EXPECT_EQ(register_value(0x02300018), 0x00040003U);
    EXPECT_EQ(register_value(0x02300084), 0x00040003U);
}

TEST_F(Mipi, FailedInitEndsTheBringUpAtOnce) {
    axsim::fail("AX_MIPI_RX_Init", kFault, 1);
    EXPECT_FALSE(util->axera_mipi_init());
    EXPECT_EQ(util->capture_device(), std::nullopt);
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{{"error", "AX_MIPI_RX_Init failed, ret=0x80040003"}}));
    EXPECT_EQ(call_names(), std::vector<std::string>{"AX_MIPI_RX_Init"});
    EXPECT_EQ(register_value(0x0230000C), 0U) << "no pin switched";
}

// After the receiver's initialisation every step is attempted, each failure logged by itself.
TEST_F(Mipi, FailuresAtEachLaterStep) {
    const std::vector<StepFailure> cases{
        {"AX_MIPI_RX_SetAttr", "AX_MIPI_RX_SetAttr failed, ret=0x80040003"},
        {"AX_MIPI_RX_Reset", "AX_MIPI_RX_Reset, ret=0x80040003"},
        {"AX_MIPI_RX_Start", "AX_MIPI_RX_Start failed, ret=0x80040003"},
    };
    for (const StepFailure& c : cases) {
        SCOPED_TRACE(c.call);
        util.reset();
        fresh_substitute();
        std::filesystem::resize_file(dev_mem, 0);
        std::filesystem::resize_file(dev_mem, 0x02301000);
        util = with_pools();
        axsim::fail(c.call, kFault, 1);
        EXPECT_FALSE(util->axera_mipi_init());
        EXPECT_EQ(util->capture_device(), std::nullopt);
        const auto lines = log_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), (LogLine{"error", c.message}));
        EXPECT_EQ(call_names(), (std::vector<std::string>{
                                    "AX_MIPI_RX_Init", "AX_MIPI_RX_SetLaneCombo",
                                    "AX_MIPI_RX_SetAttr", "AX_MIPI_RX_Reset", "AX_MIPI_RX_Start"}));
        EXPECT_EQ(register_value(0x0230000C), 0x00020043U) << "the pin table is still written";
        EXPECT_TRUE(calls_named("AX_MIPI_RX_Stop").empty()) << "nothing is undone";
        EXPECT_TRUE(calls_named("AX_MIPI_RX_DeInit").empty()) << "nothing is undone";
        // The receiver's own state, not the withdrawn capture number, decides its tear-down.
        clear_trace();
        axsim::clear_faults();
        EXPECT_TRUE(util->axera_mipi_deinit());
        std::vector<std::string> undo{"AX_MIPI_RX_DeInit"};
        if (std::string(c.call) == "AX_MIPI_RX_Reset") {  // started all the same
            undo.insert(undo.begin(), "AX_MIPI_RX_Stop");
            EXPECT_EQ(only_call("AX_MIPI_RX_Stop").args, std::vector<int64_t>{0});
        }
        EXPECT_EQ(call_names(), undo);
        for (const auto& call : axsim::calls()) {
            if (call.name == "AX_MIPI_RX_Stop" || call.name == "AX_MIPI_RX_DeInit") {
                EXPECT_EQ(call.status, 0) << call.name;
            }
        }
        for (const std::string& left : axsim::leftovers()) {
            EXPECT_NE(left.rfind("mipi", 0), 0U) << left;
        }
    }
}

TEST_F(Mipi, LaneComboStatusIsIgnored) {
    axsim::fail("AX_MIPI_RX_SetLaneCombo", kFault, 1);
    EXPECT_TRUE(util->axera_mipi_init());
    EXPECT_EQ(util->capture_device(), 0);
}

TEST_F(Mipi, TearDownStopsAndDeinitialises) {
    ASSERT_TRUE(util->axera_mipi_init());
    clear_trace();
    ASSERT_TRUE(util->axera_mipi_deinit());
    EXPECT_EQ(util->capture_device(), std::nullopt);
    EXPECT_EQ(call_names(), (std::vector<std::string>{"AX_MIPI_RX_Stop", "AX_MIPI_RX_DeInit"}));
    EXPECT_EQ(only_call("AX_MIPI_RX_Stop").args, std::vector<int64_t>{0});
}

TEST_F(Mipi, TearDownFailuresKeepTheCaptureNumber) {
    ASSERT_TRUE(util->axera_mipi_init());
    clear_trace();
    axsim::fail("AX_MIPI_RX_Stop", kFault, 1);
    EXPECT_FALSE(util->axera_mipi_deinit());
    EXPECT_EQ(util->capture_device(), 0);
    EXPECT_EQ(call_names(), std::vector<std::string>{"AX_MIPI_RX_Stop"});
    EXPECT_TRUE(logged("error", "AX_MIPI_RX_Stop failed, ret=0x80040003"));

    axsim::fail("AX_MIPI_RX_DeInit", kFault, 1);
    EXPECT_FALSE(util->axera_mipi_deinit());
    EXPECT_EQ(util->capture_device(), 0);
    EXPECT_TRUE(logged("error", "AX_MIPI_RX_DeInit failed, ret=0x80040003"));
}

}  // namespace
}  // namespace media_test
