# Links the media library against the chip vendor's own SDK libraries instead of the substitute.
#
# HDGRAB_VENDOR_SDK names a folder that holds libax_sys, libax_mipi, libax_ivps and libax_proton
# as shared libraries, directly or in its lib/ subfolder. This module defines the INTERFACE
# target hdgrab_sdk (the same name the substitute uses) that links one imported SHARED target per
# library. Only the libraries are taken from the vendor: the calls are declared by the project's
# own sdk/ax_sdk.h. Libraries the vendor's libraries need themselves are found in the same
# folder at link time; HDGRAB_VENDOR_SDK_EXTRA_LIBS names further ones to link directly.

set(HDGRAB_VENDOR_SDK_LIBS ax_sys ax_mipi ax_ivps ax_proton)
set(HDGRAB_VENDOR_SDK_EXTRA_LIBS "" CACHE STRING
    "Further libraries (names without lib and .so) to link from the vendor SDK folder")

function(hdgrab_vendor_sdk_target dir)
    get_filename_component(dir "${dir}" ABSOLUTE)
    if(NOT IS_DIRECTORY "${dir}")
        message(FATAL_ERROR "HDGRAB_VENDOR_SDK=${dir} is not a directory")
    endif()

    add_library(hdgrab_sdk INTERFACE)
    target_link_libraries(hdgrab_sdk INTERFACE $<TARGET_NAME_IF_EXISTS:hdgrab_sdk_api>)
    set(missing "")
    set(folders "")
    foreach(name IN LISTS HDGRAB_VENDOR_SDK_LIBS HDGRAB_VENDOR_SDK_EXTRA_LIBS)
        # Shared libraries only, and only from the given folder: a cross build's find root and
        # the host's system folders must not supply a library of the same name. A result left
        # from the previous round would stop the search, so it is cleared first.
        unset(library)
        find_library(library
            NAMES ${CMAKE_SHARED_LIBRARY_PREFIX}${name}${CMAKE_SHARED_LIBRARY_SUFFIX}
            PATHS "${dir}" "${dir}/lib"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
        if(NOT library)
            list(APPEND missing "lib${name}${CMAKE_SHARED_LIBRARY_SUFFIX}")
            continue()
        endif()

        add_library(hdgrab_vendor::${name} SHARED IMPORTED)
        set_target_properties(hdgrab_vendor::${name} PROPERTIES IMPORTED_LOCATION "${library}")
        # A library without a SONAME would be recorded with its build-machine path; link it by
        # name instead so the loader looks it up on the appliance.
        if(CMAKE_READELF)
            execute_process(COMMAND ${CMAKE_READELF} -d "${library}"
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE status ERROR_QUIET)
            if(status EQUAL 0 AND NOT dynamic MATCHES "\\(SONAME\\)")
                set_target_properties(hdgrab_vendor::${name} PROPERTIES IMPORTED_NO_SONAME TRUE)
            endif()
        endif()
        target_link_libraries(hdgrab_sdk INTERFACE hdgrab_vendor::${name})
        get_filename_component(folder "${library}" DIRECTORY)
        list(APPEND folders "${folder}")
    endforeach()

    if(missing)
        list(JOIN missing ", " missing_text)
        message(FATAL_ERROR
            "HDGRAB_VENDOR_SDK=${dir}: ${missing_text} not found there or in its lib/ folder")
    endif()
    list(REMOVE_DUPLICATES folders)
    foreach(folder IN LISTS folders)
        target_link_options(hdgrab_sdk INTERFACE "LINKER:-rpath-link,${folder}")
    endforeach()
    message(STATUS "hdgrab: media links the vendor SDK in ${dir}; the substitute is left out")
endfunction()

hdgrab_vendor_sdk_target("${HDGRAB_VENDOR_SDK}")
