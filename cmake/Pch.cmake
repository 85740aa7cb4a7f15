# Precompiled headers for the heavy dependency headers (spdlog, fmt, nlohmann-json, toml++, gtest,
# gmock) in the targets with several sources that include them: each such target parses them once
# instead of once per source. Include this after every target is defined.
#
# HDGRAB_PCH: ON, OFF or AUTO (default). AUTO turns it off when the compiler runs through ccache:
# ccache caches a source that uses a precompiled header only with its sloppiness set to
# pch_defines,time_macros (and include_file_mtime,include_file_ctime for a fresh header), and
# otherwise compiles it uncached every time; with a warm cache the header's parse costs nothing.
set(HDGRAB_PCH AUTO CACHE STRING "Precompiled dependency headers: ON, OFF or AUTO (off with ccache)")
set_property(CACHE HDGRAB_PCH PROPERTY STRINGS AUTO ON OFF)

if(HDGRAB_PCH STREQUAL "AUTO")
    if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
        set(hdgrab_pch_enabled OFF)
    else()
        set(hdgrab_pch_enabled ON)
    endif()
else()
    set(hdgrab_pch_enabled ${HDGRAB_PCH})
endif()

# Precompiles `headers` (a list like "<spdlog/logger.h>") for the target, when it exists.
function(hdgrab_precompile target)
    if(hdgrab_pch_enabled AND TARGET ${target})
        target_precompile_headers(${target} PRIVATE ${ARGN})
    endif()
endfunction()

if(NOT hdgrab_pch_enabled)
    message(STATUS "hdgrab: precompiled headers off (HDGRAB_PCH=${HDGRAB_PCH})")
    return()
endif()

set(hdgrab_pch_log <spdlog/logger.h> <spdlog/sinks/rotating_file_sink.h> <fmt/format.h>)
set(hdgrab_pch_gtest <gtest/gtest.h> <gmock/gmock.h>)

# The service's libraries: logging everywhere, JSON in the pipeline and the notifications.
hdgrab_precompile(hdgrab_media ${hdgrab_pch_log} <nlohmann/json.hpp>)
hdgrab_precompile(hdgrab_app ${hdgrab_pch_log} <nlohmann/json.hpp>)
hdgrab_precompile(hdgrab_bridge ${hdgrab_pch_log} <nlohmann/json.hpp>)
hdgrab_precompile(ax_sys <fmt/format.h>)
hdgrab_precompile(hdgrab_simdriver <fmt/format.h>)

# Test suites with several sources (those linking the service's libraries also get logging).
foreach(suite test_app test_media test_workers test_badinput test_signals test_ipc)
    hdgrab_precompile(${suite} ${hdgrab_pch_gtest} ${hdgrab_pch_log} <nlohmann/json.hpp>)
endforeach()
foreach(suite test_e2e test_sim)
    hdgrab_precompile(${suite} ${hdgrab_pch_gtest})
endforeach()
foreach(suite test_tools test_support)
    hdgrab_precompile(${suite} <gtest/gtest.h>)
endforeach()
