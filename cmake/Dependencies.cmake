# Every dependency comes from the system (Debian packages); nothing is downloaded.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(cxxopts REQUIRED)
pkg_check_modules(TOMLPP REQUIRED IMPORTED_TARGET tomlplusplus)
pkg_check_modules(LIBUNWIND REQUIRED IMPORTED_TARGET libunwind)
pkg_check_modules(LIBPNG REQUIRED IMPORTED_TARGET libpng)
if(HDGRAB_BUILD_SIM)
    pkg_check_modules(FUSE3 REQUIRED IMPORTED_TARGET fuse3)
endif()
if(HDGRAB_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()

# How our targets use spdlog, fmt and toml++: through these three interface targets.
# HDGRAB_EMBED_LIBS compiles the three libraries into each program (their header-only forms)
# instead of loading the shared ones: the linker then keeps only the code in use, which makes
# the service smaller in memory and quicker to start (fewer libraries to map and relocate).
# It is on by default in optimised builds; the other builds keep the shared libraries, which
# compile faster.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    set(_hdgrab_embed_default ON)
else()
    set(_hdgrab_embed_default OFF)
endif()
option(HDGRAB_EMBED_LIBS "Compile spdlog, fmt and toml++ into the programs" ${_hdgrab_embed_default})
add_library(hdgrab_fmt INTERFACE)
add_library(hdgrab_spdlog INTERFACE)
add_library(hdgrab_toml INTERFACE)
if(HDGRAB_EMBED_LIBS)
    target_link_libraries(hdgrab_fmt INTERFACE fmt::fmt-header-only)
    # spdlog's own header-only target would pull in the shared fmt.
    target_include_directories(hdgrab_spdlog INTERFACE
        $<TARGET_PROPERTY:spdlog::spdlog,INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_definitions(hdgrab_spdlog INTERFACE SPDLOG_FMT_EXTERNAL)
    target_link_libraries(hdgrab_spdlog INTERFACE hdgrab_fmt Threads::Threads)
    target_include_directories(hdgrab_toml INTERFACE ${TOMLPP_INCLUDE_DIRS})
    target_compile_definitions(hdgrab_toml INTERFACE TOML_HEADER_ONLY=1)
    # Every function and object in its own section, so that the linker can drop what no one
    # uses; libraries that nothing calls are not recorded as needed.
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(-Wl,--gc-sections -Wl,--as-needed -Wl,-O1)
    # The C++ runtime too: the shared libstdc++ alone is about 1.5 MiB resident. Each program
    # and library gets the parts it uses and exports none of them (--exclude-libs), so copies
    # in different objects never stand in for one another. The unwinder (libgcc_s) stays
    # shared: a static one cannot carry an exception through the C library's frames
    # (std::call_once).
    add_link_options(-static-libstdc++ -Wl,--exclude-libs,ALL)
else()
    target_link_libraries(hdgrab_fmt INTERFACE fmt::fmt)
    target_link_libraries(hdgrab_spdlog INTERFACE spdlog::spdlog)
    target_link_libraries(hdgrab_toml INTERFACE PkgConfig::TOMLPP)
endif()
