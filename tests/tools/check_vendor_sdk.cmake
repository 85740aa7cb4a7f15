# Checks the vendor SDK build option with a stand-in vendor folder of four small shared libraries:
# a program linked through hdgrab_sdk runs and names the libraries by their SONAME (or by file name
# when a library has none); a missing library stops the configuration with its name; and the whole
# project configures without the substitute.
# Arguments: SOURCE_DIR, WORK_DIR, C_COMPILER, GENERATOR.
file(REMOVE_RECURSE "${WORK_DIR}")
set(sdk "${WORK_DIR}/vendor")
file(MAKE_DIRECTORY "${sdk}/lib" "${WORK_DIR}/probe")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(status "${status}" PARENT_SCOPE)
    set(out "${out}" PARENT_SCOPE)
endfunction()

foreach(name sys mipi ivps proton)
    file(WRITE "${WORK_DIR}/${name}.c" "int vendor_${name}(void) { return 1; }\n")
    set(soname_flag "-Wl,-soname,libax_${name}.so")
    if(name STREQUAL "proton")
        set(soname_flag "")  # some vendor libraries carry no SONAME
    endif()
    run("${C_COMPILER}" -shared -fPIC ${soname_flag} -o "${sdk}/lib/libax_${name}.so"
        "${WORK_DIR}/${name}.c")
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot build the stand-in libax_${name}.so:\n${out}")
    endif()
endforeach()

file(WRITE "${WORK_DIR}/probe/main.c" [=[
#include <stdio.h>
int vendor_sys(void);
int vendor_mipi(void);
int vendor_ivps(void);
int vendor_proton(void);
int main(void) {
    printf("vendor calls: %d\n", vendor_sys() + vendor_mipi() + vendor_ivps() + vendor_proton());
    return 0;
}
]=])
file(WRITE "${WORK_DIR}/probe/CMakeLists.txt" "
cmake_minimum_required(VERSION 3.25)
project(vendor_probe C)
list(APPEND CMAKE_MODULE_PATH \"${SOURCE_DIR}/cmake\")
include(VendorSdk)
add_executable(probe main.c)
target_link_libraries(probe PRIVATE hdgrab_sdk)
")

run("${CMAKE_COMMAND}" -S "${WORK_DIR}/probe" -B "${WORK_DIR}/probe/build" -G "${GENERATOR}"
    "-DHDGRAB_VENDOR_SDK=${sdk}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the probe does not configure:\n${out}")
endif()
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/probe/build")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the probe does not build:\n${out}")
endif()
run("${WORK_DIR}/probe/build/probe")
if(NOT status EQUAL 0 OR NOT out MATCHES "vendor calls: 4")
    message(FATAL_ERROR "the probe does not run against the vendor libraries:\n${out}")
endif()
find_program(READELF readelf)
if(READELF)
    run("${READELF}" -d "${WORK_DIR}/probe/build/probe")
    foreach(name sys mipi ivps proton)
        if(NOT out MATCHES "NEEDED\\)[^\n]*\\[libax_${name}\\.so\\]")
            message(FATAL_ERROR "the probe does not need libax_${name}.so by name:\n${out}")
        endif()
    endforeach()
endif()

file(RENAME "${sdk}/lib/libax_ivps.so" "${sdk}/libax_ivps.so.hidden")
run("${CMAKE_COMMAND}" -S "${WORK_DIR}/probe" -B "${WORK_DIR}/probe/build-missing"
    -G "${GENERATOR}" "-DHDGRAB_VENDOR_SDK=${sdk}")
if(status EQUAL 0 OR NOT out MATCHES "libax_ivps\\.so not found")
    message(FATAL_ERROR "a missing vendor library is not reported:\n${out}")
endif()
file(RENAME "${sdk}/libax_ivps.so.hidden" "${sdk}/lib/libax_ivps.so")

run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/project" -G "${GENERATOR}"
    "-DHDGRAB_VENDOR_SDK=${sdk}")
if(NOT status EQUAL 0 OR NOT out MATCHES "the substitute is left out")
    message(FATAL_ERROR "the project does not configure with the vendor SDK:\n${out}")
endif()
foreach(left_out sim tests/media tests/sim tests/e2e)
    if(EXISTS "${WORK_DIR}/project/${left_out}")
        message(FATAL_ERROR "${left_out} is configured although the vendor SDK replaces it")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "vendor SDK option works")
