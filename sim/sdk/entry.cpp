// Vendor-named entry points of one SDK library (AXSIM_LIBRARY_CALLS names its list in calls.h);
// each forwards to the implementation in libax_sys, where the state lives.
#include "sim/sdk/calls.h"

#define AXSIM_FORWARD(ret, name, params, args) \
    extern "C" ret name params {               \
        return axsim::detail::name args;       \
    }
AXSIM_LIBRARY_CALLS(AXSIM_FORWARD)
