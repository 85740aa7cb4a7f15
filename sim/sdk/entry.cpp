// Vendor-named entry points of one SDK library (AXSIM_LIBRARY_CALLS names that library's part of
// the SDK's list of calls, e.g. HDGRAB_SDK_AX_MIPI_CALLS); each forwards to the implementation in
// libax_sys, where the state lives. sdk/ax_sdk.h declares the same calls: a signature in calls.h
// that differs from the vendor's declaration does not compile.
#include "sim/sdk/calls.h"

#define AXSIM_FORWARD(ret, name, params, args)                          \
    extern "C" __attribute__((visibility("default"))) ret name params { \
        return axsim::detail::name args;                                \
    }
AXSIM_LIBRARY(AXSIM_LIBRARY_CALLS, AXSIM_FORWARD)
