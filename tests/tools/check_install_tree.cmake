# Installs the build tree into an empty staging directory (DESTDIR) and checks that exactly the
# documented files arrive, with the programs executable and the unit and init script pointing at
# the installed program.
# Arguments: BUILD_DIR, STAGE, PREFIX, SYSCONFDIR, WITH_SERVICE.
file(REMOVE_RECURSE "${STAGE}")
set(ENV{DESTDIR} "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

set(programs
    "${PREFIX}/bin/hdgrab-watch"
    "${PREFIX}/bin/yuyv2png"
    "${SYSCONFDIR}/init.d/hdgrab")
if(WITH_SERVICE)
    list(APPEND programs "${PREFIX}/sbin/hdgrab")
endif()
set(expected ${programs}
    "${PREFIX}/lib/systemd/system/hdgrab.service"
    "${PREFIX}/share/doc/hdgrab/hdgrab.toml.example"
    "${PREFIX}/share/man/man1/hdgrab-watch.1"
    "${PREFIX}/share/man/man1/yuyv2png.1"
    "${PREFIX}/share/man/man8/hdgrab.8")
list(TRANSFORM expected PREPEND "${STAGE}")
list(SORT expected)

file(GLOB_RECURSE found LIST_DIRECTORIES false "${STAGE}/*")
list(SORT found)
if(NOT found STREQUAL expected)
    list(JOIN expected "\n  " expected_text)
    list(JOIN found "\n  " found_text)
    message(FATAL_ERROR "installed tree differs\nexpected:\n  ${expected_text}\nfound:\n  ${found_text}")
endif()

foreach(program IN LISTS programs)
    execute_process(COMMAND test -x "${STAGE}${program}" RESULT_VARIABLE executable)
    if(NOT executable EQUAL 0)
        message(FATAL_ERROR "${program} is not executable")
    endif()
endforeach()

file(READ "${STAGE}${PREFIX}/lib/systemd/system/hdgrab.service" unit)
if(NOT unit MATCHES "\nExecStart=${PREFIX}/sbin/hdgrab\n")
    message(FATAL_ERROR "the unit does not start ${PREFIX}/sbin/hdgrab")
endif()
file(READ "${STAGE}${SYSCONFDIR}/init.d/hdgrab" script)
if(NOT script MATCHES "\nDAEMON=${PREFIX}/sbin/hdgrab\n")
    message(FATAL_ERROR "the init script does not start ${PREFIX}/sbin/hdgrab")
endif()
file(REMOVE_RECURSE "${STAGE}")
message(STATUS "installed tree as documented")
