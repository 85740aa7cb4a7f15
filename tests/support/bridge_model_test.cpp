// The simulated bridge's behaviour and control commands, without FUSE.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/driver/bridge_model.h"
#include "sim/driver/control.h"

namespace hdgrab::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits (bounded) until the model's status reads `expected`.
bool wait_status(const BridgeModel& model, const std::string& expected,
                 std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (model.read(BridgeFile::status) == expected + "\n") {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

class BridgeModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("bridge-model-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        log_ = std::make_unique<WriteLog>((dir_ / "writes.log").string());
        model_ = std::make_unique<BridgeModel>(Geometry{1920, 1080, 60}, "stable", log_.get());
        model_->set_change_listener([this](uint64_t) { ++notifications_; });
    }
    void TearDown() override {
        model_.reset();
        std::filesystem::remove_all(dir_);
    }
    ControlReply run(const std::vector<std::string>& words) {
        return run_command(*model_, *log_, words);
    }

    std::filesystem::path dir_;
    std::unique_ptr<WriteLog> log_;
    std::unique_ptr<BridgeModel> model_;
    std::atomic<int> notifications_{0};
};

TEST_F(BridgeModelTest, FilesReadLikeTheDriverPublishesThem) {
    EXPECT_EQ(model_->read(BridgeFile::status), "stable\n");
    EXPECT_EQ(model_->read(BridgeFile::width), "1920\n");
    EXPECT_EQ(model_->read(BridgeFile::height), "1080\n");
    EXPECT_EQ(model_->read(BridgeFile::fps), "60\n");
    EXPECT_EQ(model_->read(BridgeFile::power), "1\n");
}

TEST_F(BridgeModelTest, ResAnnouncesGeometryAndNotifies) {
    const uint64_t before = model_->generation();
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n");
    EXPECT_EQ(model_->read(BridgeFile::width), "1280\n");
    EXPECT_EQ(model_->read(BridgeFile::height), "720\n");
    EXPECT_EQ(model_->read(BridgeFile::fps), "50\n");
    EXPECT_GT(model_->generation(), before);
    EXPECT_EQ(notifications_, 1);
    // The same announcement again is a new notification.
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    EXPECT_EQ(notifications_, 2);
}

TEST_F(BridgeModelTest, SourceCommandsSetTheirStatus) {
    ASSERT_TRUE(run({"unplug"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "disappear\n");
    ASSERT_TRUE(run({"replug"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n");
    ASSERT_TRUE(run({"unknown"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "unknown res\n");
    ASSERT_TRUE(run({"error"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "error res\n");
    ASSERT_TRUE(run({"status", "any", "text"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "any text\n");
    ASSERT_TRUE(run({"status", "stable\\r"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "stable\r\n");
    ASSERT_TRUE(run({"status"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::status), "\n");
    const int before = notifications_;
    ASSERT_TRUE(run({"notify"}).ok);
    EXPECT_EQ(notifications_, before + 1);
    EXPECT_EQ(model_->read(BridgeFile::status), "\n");
}

TEST_F(BridgeModelTest, GarbageHideShowAndRestore) {
    ASSERT_TRUE(run({"garbage", "width"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::width), "garbage\n");
    ASSERT_TRUE(run({"garbage", "height", "12", "x\\n"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::height), "12 x\n");
    ASSERT_TRUE(run({"garbage", "status", "\\x01\\xff"}).ok);
    EXPECT_EQ(model_->read_status().first, "\x01\xff");
    // An announcement does not clean garbage up: the test decides.
    ASSERT_TRUE(run({"res", "800", "600", "30"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::width), "garbage\n");
    ASSERT_TRUE(run({"restore", "width"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::width), "800\n");

    ASSERT_TRUE(run({"hide", "fps"}).ok);
    EXPECT_FALSE(model_->visible(BridgeFile::fps));
    EXPECT_EQ(model_->read(BridgeFile::fps), std::nullopt);
    EXPECT_EQ(model_->read(BridgeFile::fps, true), "30\n") << "a descriptor opened before";
    ASSERT_TRUE(run({"show", "fps"}).ok);
    EXPECT_EQ(model_->read(BridgeFile::fps), "30\n");

    ASSERT_TRUE(run({"hide", "status"}).ok);
    ASSERT_TRUE(run({"restore"}).ok);
    EXPECT_TRUE(model_->visible(BridgeFile::status));
    EXPECT_EQ(model_->read(BridgeFile::height), "600\n");
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n");
}

TEST_F(BridgeModelTest, BadCommandsFailWithAReason) {
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{},
                                               {"res", "1280", "720"},
                                               {"res", "a", "720", "50"},
                                               {"res", "1280", "720", "50x"},
                                               {"garbage", "nosuchfile"},
                                               {"hide"},
                                               {"handshake", "maybe"},
                                               {"delay", "power", "-5"},
                                               {"delay", "boot", "5"},
                                               {"unplug", "now"},
                                               {"frobnicate"}}) {
        const ControlReply reply = run(words);
        EXPECT_FALSE(reply.ok) << ::testing::PrintToString(words);
        EXPECT_FALSE(reply.text.empty()) << ::testing::PrintToString(words);
    }
    EXPECT_EQ(model_->read(BridgeFile::status), "stable\n");
}

TEST_F(BridgeModelTest, GetDescribesTheState) {
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    ASSERT_TRUE(run({"handshake", "off"}).ok);
    ASSERT_TRUE(run({"delay", "handshake", "75"}).ok);
    ASSERT_TRUE(run({"delay", "power", "250"}).ok);
    ASSERT_TRUE(run({"hide", "power"}).ok);
    const ControlReply reply = run({"get"});
    ASSERT_TRUE(reply.ok);
    for (const char* line : {"status=new res\n", "width=1280\n", "height=720\n", "fps=50\n",
                             "handshake=off\n", "handshake_delay_ms=75\n", "power_delay_ms=250\n",
                             "hidden=power\n", "powered=1\n", "plugged=1\n"}) {
        EXPECT_NE(reply.text.find(line), std::string::npos) << line << " in\n" << reply.text;
    }
}

TEST_F(BridgeModelTest, HandshakeMakesNewResStableAfterTheDelay) {
    ASSERT_TRUE(run({"delay", "handshake", "100"}).ok);
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    const auto written = Clock::now();
    model_->write(BridgeFile::status, "ok\n");
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n") << "not before the delay";
    ASSERT_TRUE(wait_status(*model_, "stable"));
    EXPECT_GE(Clock::now() - written, 90ms);
    EXPECT_EQ(notifications_, 2) << "the announcement and the change to stable";
}

TEST_F(BridgeModelTest, HandshakeIgnoredWhenOffOrNotAnnounced) {
    model_->write(BridgeFile::status, "ok\n");  // status is "stable": nothing to acknowledge
    ASSERT_TRUE(run({"handshake", "off"}).ok);
    ASSERT_TRUE(run({"delay", "handshake", "10"}).ok);
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    model_->write(BridgeFile::status, "ok\n");
    model_->write(BridgeFile::status, "nonsense\n");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n");
    ASSERT_TRUE(run({"handshake", "on"}).ok);
    model_->write(BridgeFile::status, "ok");  // without a line feed it is still "ok"
    EXPECT_TRUE(wait_status(*model_, "stable"));
}

TEST_F(BridgeModelTest, HandshakeForAnOlderAnnouncementDoesNotCount) {
    ASSERT_TRUE(run({"delay", "handshake", "100"}).ok);
    ASSERT_TRUE(run({"res", "1280", "720", "50"}).ok);
    model_->write(BridgeFile::status, "ok\n");
    ASSERT_TRUE(run({"res", "800", "600", "30"}).ok);  // a newer announcement before "stable"
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(model_->read(BridgeFile::status), "new res\n");
}

TEST_F(BridgeModelTest, PowerCycleResetsTheBridge) {
    ASSERT_TRUE(run({"delay", "power", "150"}).ok);
    ASSERT_TRUE(run({"unknown"}).ok);
    model_->write(BridgeFile::power, "0\n");
    EXPECT_EQ(model_->read(BridgeFile::status), "disappear\n");
    EXPECT_EQ(model_->read(BridgeFile::power), "0\n");
    const auto on = Clock::now();
    model_->write(BridgeFile::power, "1\n");
    EXPECT_EQ(model_->read(BridgeFile::status), "disappear\n") << "not before the delay";
    ASSERT_TRUE(wait_status(*model_, "new res"));
    EXPECT_GE(Clock::now() - on, 140ms);
    EXPECT_EQ(model_->read(BridgeFile::width), "1920\n");
    EXPECT_NE(run({"get"}).text.find("power_cycles=1\n"), std::string::npos);
}

TEST_F(BridgeModelTest, PowerOnWithoutSourceStaysDisappeared) {
    ASSERT_TRUE(run({"delay", "power", "20"}).ok);
    ASSERT_TRUE(run({"unplug"}).ok);
    model_->write(BridgeFile::power, "0\n");
    model_->write(BridgeFile::power, "1\n");
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(model_->read(BridgeFile::status), "disappear\n");
    // "1" while on and "0" while off change nothing.
    model_->write(BridgeFile::power, "1\n");
    EXPECT_EQ(model_->read(BridgeFile::power), "1\n");
}

TEST_F(BridgeModelTest, WritesAreLoggedWithTimestamps) {
    model_->write(BridgeFile::status, "ok\n");
    model_->write(BridgeFile::power, "0\n");
    model_->write(BridgeFile::power, "1\n");
    const std::string text = run({"log"}).text;
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_TRUE(lines[0].ends_with(" status ok\\n")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" power 0\\n")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" power 1\\n")) << lines[2];
    EXPECT_LE(std::stod(lines[0]), std::stod(lines[2]));
}

TEST(EscapeBytes, RoundTrip) {
    const std::string bytes = std::string("ok\n\r\t\\ x\x01\xff") + std::string(1, '\0');
    const std::string text = escape_bytes(bytes);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(unescape_bytes(text), bytes);
    EXPECT_EQ(escape_bytes("ok\n"), "ok\\n");
    EXPECT_EQ(unescape_bytes("a\\x4"), "a\\x4") << "a cut escape stays as it is";
}

}  // namespace
}  // namespace hdgrab::sim
