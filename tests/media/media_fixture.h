// Shared set-up of the AxeraUtil tests: substitute SDK trace, captured log lines, temp paths.
#pragma once

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "media/axera_util.h"
#include "sim/sdk/axsim.h"

namespace media_test {

// One captured log line: level name and message.
struct LogLine {
    std::string level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

inline void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "[" << line.level << "] " << line.text;
}

// Keeps every formatted message in memory.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<LogLine> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back({std::string(spdlog::level::to_string_view(msg.level).data(),
                                      spdlog::level::to_string_view(msg.level).size()),
                          std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

  private:
    std::vector<LogLine> lines_;
};

// Reads a little-endian value of type T at byte `offset` of a traced record.
template <typename T>
T field(const std::vector<uint8_t>& record, size_t offset) {
    T value{};
    EXPECT_LE(offset + sizeof(T), record.size()) << "record too short for offset " << offset;
    if (offset + sizeof(T) <= record.size()) {
        std::memcpy(&value, record.data() + offset, sizeof(T));
    }
    return value;
}

// A call whose failure a table of bring-up or tear-down steps injects, and the message logged.
struct StepFailure {
    const char* call;
    std::string message;
};

// True when every byte of `record` outside the listed [offset, offset+size) ranges is zero.
struct Span {
    size_t offset;
    size_t size;
};
::testing::AssertionResult zero_outside(const std::vector<uint8_t>& record,
                                        const std::vector<Span>& set);

class MediaTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A configured AxeraUtil whose log lines land in `sink`, paths in the temp dir.
    std::unique_ptr<AxeraUtil> make_util(int32_t width = 1920, int32_t height = 1080,
                                         int32_t fps = 60);
    hdgrab::media::MediaPlatform platform();
    // make_util() with the media system and the pools started, as every caller has them before
    // the receiver, the video input or the image processor; the trace cleared.
    std::unique_ptr<AxeraUtil> with_pools(int32_t width = 1920, int32_t height = 1080,
                                          int32_t fps = 60);
    // A fresh substitute and trace, for the next case of a table.
    void fresh_substitute();
    // The reboot marker (and its folder) as an earlier reboot left it.
    void create_marker(const std::string& text = "");

    // Names of the SDK calls made since the last reset.
    std::vector<std::string> call_names();
    // The traced calls named `name`, in order.
    std::vector<axsim::Call> calls_named(const std::string& name);
    // The only traced call named `name` (fails the test when there is not exactly one).
    axsim::Call only_call(const std::string& name);
    std::vector<LogLine> log_lines() { return sink->lines(); }
    bool logged(const std::string& level, const std::string& text);
    // Forgets the trace and the captured log lines, keeping the state of the substitute.
    void clear_trace();

    std::filesystem::path dir;
    std::filesystem::path dev_mem;
    std::filesystem::path marker;
    // Shell commands, syncs and sleeps in the order they happened.
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<CaptureSink> sink = std::make_shared<CaptureSink>();
    size_t trace_start = 0;
};

}  // namespace media_test
