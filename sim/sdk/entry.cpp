// Vendor-named entry points of one SDK library (AXSIM_LIBRARY_CALLS names that library's part of
// the SDK's list of calls, e.g. HDGRAB_SDK_AX_MIPI_CALLS); each forwards to the implementation in
// libax_sys, where the state lives. sdk/ax_sdk.h declares the same calls: a row in calls.h whose
// types differ from the vendor's declaration does not compile.
#include "sim/sdk/calls.h"

#define AXSIM_FORWARD(name, ret, module, object, presence, ...)                             \
    extern "C" __attribute__((visibility("default"))) ret name(AXSIM_PARAMS(__VA_ARGS__)) { \
        return axsim::detail::name(AXSIM_ARGS(__VA_ARGS__));                                \
    }
AXSIM_LIBRARY(AXSIM_LIBRARY_CALLS, AXSIM_FORWARD)
