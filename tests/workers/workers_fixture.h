// Shared set-up of the worker tests: the process-wide objects on temporary paths, captured logs.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/service_state.h"

namespace hdgrab::test {

// A status the substitute SDK is told to return for an injected failure.
inline constexpr int32_t kInjectedStatus = static_cast<int32_t>(0x800A0099);

// Keeps every formatted message ("[level] text") in memory.
class LineSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const auto level = spdlog::level::to_string_view(msg.level);
        lines_.push_back("[" + std::string(level.data(), level.size()) + "] " +
                         std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}

  private:
    std::vector<std::string> lines_;
};

// Fills global_logger, global_axera_util and global_lt6911_util (bridge directory and all
// appliance paths under a temporary directory) with debug loggers writing into `sink`, and
// resets the substitute SDK. The destructor empties the three owners again.
class WorkersTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Names of the SDK calls made so far.
    std::vector<std::string> call_names() const;
    bool logged(const std::string& text) { return sink->contains(text); }

    std::filesystem::path dir;
    std::filesystem::path bridge_dir;
    std::shared_ptr<LineSink> sink = std::make_shared<LineSink>();
    std::shared_ptr<_ax_vin_data_t> data = std::make_shared<_ax_vin_data_t>();
};

// Runs `body` in a child process (the running flag, once cleared, stays cleared for the whole
// process) and expects it to end with status 0. The child's failures are printed to standard
// error, which the death test shows as the child's message.
#define HDGRAB_IN_CHILD(...)                                                            \
    EXPECT_EXIT(                                                                        \
        {                                                                               \
            ::testing::TestPartResultArray hdgrab_results;                              \
            {                                                                           \
                const ::testing::ScopedFakeTestPartResultReporter hdgrab_reporter(      \
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, \
                    &hdgrab_results);                                                   \
                [&] { __VA_ARGS__; }();                                                 \
            }                                                                           \
            for (int hdgrab_i = 0; hdgrab_i < hdgrab_results.size(); ++hdgrab_i) {      \
                const auto& hdgrab_result = hdgrab_results.GetTestPartResult(hdgrab_i); \
                std::fprintf(stderr, "%s:%d: %s\n", hdgrab_result.file_name(),          \
                             hdgrab_result.line_number(), hdgrab_result.message());     \
            }                                                                           \
            std::exit(hdgrab_results.size() > 0 ? 1 : 0);                               \
        },                                                                              \
        ::testing::ExitedWithCode(0), "")

}  // namespace hdgrab::test
