// Common fixture of the substitute SDK tests: a fresh substitute and the dummy sensor.
#pragma once

#include <gtest/gtest.h>

#include "sim/sdk/axsim.h"
#include "tests/sim/sequences.h"

namespace axsim_test {

inline constexpr seq::Geometry k1080p{1920, 1080, 60};

class SdkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        axsim::reset();
        ASSERT_NE(sensor_.object(), nullptr) << "cannot load " << AXSIM_SNS_DUMMY;
    }
    void TearDown() override { axsim::reset(); }

    AX_SENSOR_REGISTER_FUNC_T* sensor() const { return sensor_.object(); }

    // Status of the latest call named `name`, or a marker when there is none.
    static int32_t last_status(std::string_view name) {
        auto calls = axsim::calls(name);
        return calls.empty() ? 0x7FFFFFFF : calls.back().status;
    }

    // Every call made so far returned 0.
    static ::testing::AssertionResult all_calls_succeeded() {
        for (const auto& call : axsim::calls()) {
            if (call.status != 0) {
                return ::testing::AssertionFailure()
                       << call.name << " returned " << axsim::status_name(call.status);
            }
        }
        return ::testing::AssertionSuccess();
    }

  private:
    seq::SensorLibrary sensor_{AXSIM_SNS_DUMMY};
};

}  // namespace axsim_test
