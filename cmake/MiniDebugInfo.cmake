# At installation, the installed service program is stripped of its debug information and symbol
# table but keeps an xz-compressed table of its function names (.gnu_debugdata, MiniDebugInfo),
# so the crash trace still names its frames. The build tree's programs keep everything.
# Include this after the install rules of the program (install rules run in declaration order).
include(GNUInstallDirs)

find_program(HDGRAB_XZ xz)
set(HDGRAB_ADD_MINIDEBUGINFO ${CMAKE_CURRENT_LIST_DIR}/../scripts/add-minidebuginfo)

# Adds an install step that embeds the MiniDebugInfo of `target` into its installed copy
# `installed_file`, a path relative to the installation prefix (or absolute). The symbols come
# from the build tree's file, so `cmake --install --strip` does no harm.
function(hdgrab_install_minidebuginfo target installed_file)
    if(NOT HDGRAB_XZ OR NOT CMAKE_OBJCOPY OR NOT CMAKE_NM OR NOT CMAKE_STRIP)
        message(WARNING "xz, objcopy, nm or strip missing: ${installed_file} is installed as built")
        return()
    endif()
    if(IS_ABSOLUTE ${installed_file})
        set(path "\$ENV{DESTDIR}${installed_file}")
    else()
        set(path "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${installed_file}")
    endif()
    install(CODE "
        message(STATUS \"Embedding MiniDebugInfo: ${path}\")
        execute_process(
            COMMAND \"${CMAKE_COMMAND}\" -E env \"OBJCOPY=${CMAKE_OBJCOPY}\" \"NM=${CMAKE_NM}\"
                \"STRIP=${CMAKE_STRIP}\" \"XZ=${HDGRAB_XZ}\" \"${HDGRAB_ADD_MINIDEBUGINFO}\" \"${path}\"
                \"$<TARGET_FILE:${target}>\"
            RESULT_VARIABLE hdgrab_minidebuginfo_rc)
        if(NOT hdgrab_minidebuginfo_rc EQUAL 0)
            message(FATAL_ERROR \"add-minidebuginfo failed for ${path}\")
        endif()")
endfunction()

if(TARGET hdgrab)
    hdgrab_install_minidebuginfo(hdgrab ${CMAKE_INSTALL_SBINDIR}/hdgrab)
endif()
