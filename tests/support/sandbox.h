// The sandbox harness for gtest suites: the appliance driver and the skip of a test on a machine
// where the sandbox cannot work.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/harness/appliance.h"

// Skips the current test when the sandbox cannot work here (no /dev/fuse, no bubblewrap).
#define HDGRAB_SKIP_WITHOUT_SANDBOX()                                                    \
    do {                                                                                 \
        const std::string hdgrab_skip_reason = ::hdgrab::test::Appliance::skip_reason(); \
        if (!hdgrab_skip_reason.empty()) {                                               \
            GTEST_SKIP() << hdgrab_skip_reason;                                          \
        }                                                                                \
    } while (false)
