# Runs the crash program three ways and checks the names in its stack trace:
#   as built (full symbol table), stripped bare (frames of its own print "???") and stripped with
#   MiniDebugInfo by scripts/add-minidebuginfo (names come back, no full symbol table left), also
#   when the symbols are taken from the built program for a copy that was stripped first.
# Inputs: PROGRAM WORK_DIR ADD_MINIDEBUGINFO EMULATOR OBJCOPY NM STRIP READELF XZ, and FULL_TRACE
# (the trace must reach main).

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(bare ${WORK_DIR}/crash_demo.bare)
set(mini ${WORK_DIR}/crash_demo.mini)
file(COPY_FILE ${PROGRAM} ${bare})
file(COPY_FILE ${PROGRAM} ${mini})

set(failures "")
macro(fail message)
    string(APPEND failures "\n  ${message}")
endmacro()

# Fails with `message` unless the stack trace in the variable `trace` names the function `name`.
function(expect_named trace name message)
    if(NOT "${${trace}}" MATCHES "[: ]${name}[( ]")
        fail("${message}")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

execute_process(COMMAND ${STRIP} --strip-all ${bare} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip failed: ${rc}")
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env OBJCOPY=${OBJCOPY} NM=${NM} STRIP=${STRIP} XZ=${XZ}
        ${ADD_MINIDEBUGINFO} ${mini}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "add-minidebuginfo failed (${rc}): ${err}")
endif()

# The section is there; the full symbol table and the debug information are gone.
execute_process(COMMAND ${READELF} -S -W ${mini} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf failed: ${rc}")
endif()
if(NOT sections MATCHES "\\.gnu_debugdata")
    fail("no .gnu_debugdata section in the stripped program")
endif()
if(sections MATCHES "\\.symtab" OR sections MATCHES "\\.debug_info")
    fail("the stripped program still has .symtab or .debug_info")
endif()
# Taking the symbols from an already stripped program must fail instead of embedding nothing;
# an already stripped copy (install --strip) gets them from the program as built.
file(COPY_FILE ${bare} ${WORK_DIR}/crash_demo.again)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env OBJCOPY=${OBJCOPY} NM=${NM} STRIP=${STRIP} XZ=${XZ}
        ${ADD_MINIDEBUGINFO} ${WORK_DIR}/crash_demo.again
    RESULT_VARIABLE rc ERROR_QUIET)
if(rc EQUAL 0)
    fail("add-minidebuginfo accepted an already stripped program")
endif()
set(restored ${WORK_DIR}/crash_demo.restored)
file(COPY_FILE ${bare} ${restored})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env OBJCOPY=${OBJCOPY} NM=${NM} STRIP=${STRIP} XZ=${XZ}
        ${ADD_MINIDEBUGINFO} ${restored} ${PROGRAM}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    fail("add-minidebuginfo with the symbols of the built program failed: ${err}")
endif()

# Runs one copy; `out` receives its standard output. It must end with status 255.
function(run_crash program out)
    execute_process(COMMAND ${EMULATOR} ${program}
        OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc TIMEOUT 60)
    if(NOT rc EQUAL 255)
        set(failures "${failures}\n  ${program}: exit status ${rc}, expected 255 (${errors})"
            PARENT_SCOPE)
    endif()
    set(${out} "${output}" PARENT_SCOPE)
endfunction()

# Every frame of its own that the program as built names, the stripped copies with MiniDebugInfo
# name as well, and the bare stripped copy does not. (Where libunwind cannot step through the
# signal frame, as for 32-bit ARM under qemu, the trace ends at the handler.)
set(own_frames "on_crash" "write_through" "descend_into_fault" "main")
run_crash(${PROGRAM} built)
expect_named(built on_crash
    "trace of the program as built does not name the signal handler on_crash")

run_crash(${bare} stripped)
run_crash(${mini} minidebug)
run_crash(${restored} restored)
foreach(name IN LISTS own_frames)
    if(NOT built MATCHES "[: ]${name}[( ]")
        if(FULL_TRACE)
            fail("trace of the program as built does not name ${name}")
        else()
            message(STATUS "The trace does not reach ${name} on this platform")
        endif()
        continue()
    endif()
    if(stripped MATCHES "[: ]${name}[( ]")
        fail("trace of the bare stripped program names ${name}: the test proves nothing")
    endif()
    expect_named(minidebug ${name}
        "trace of the program with MiniDebugInfo does not name ${name}")
    expect_named(restored ${name}
        "trace of the stripped copy given the built program's symbols does not name ${name}")
endforeach()
if(NOT stripped MATCHES "\\?\\?\\?")
    fail("trace of the bare stripped program has no ??? frame")
endif()
if(NOT minidebug MATCHES "^Stack trace:\n")
    fail("trace does not start with \"Stack trace:\"")
endif()

message(STATUS "As built:\n${built}")
message(STATUS "Stripped:\n${stripped}")
message(STATUS "With MiniDebugInfo:\n${minidebug}")
if(failures)
    message(FATAL_ERROR "MiniDebugInfo check failed:${failures}")
endif()
