# Shared part of the Debian multiarch cross toolchains; the caller sets HDGRAB_CROSS_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first, and the emulator that runs the target's programs on the build host.
#
# Debian's crossbuild-essential-<arch> gives <triplet>-gcc/g++ with the C library under
# /usr/<triplet>; the target's -dev packages (installed as <pkg>:<arch>) live under
# /usr/lib/<triplet> and /usr/include. Both roots have to be searched.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${HDGRAB_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${HDGRAB_CROSS_TRIPLET}-g++)
set(CMAKE_AR ${HDGRAB_CROSS_TRIPLET}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${HDGRAB_CROSS_TRIPLET}-ranlib CACHE FILEPATH "Archive indexer")
set(CMAKE_STRIP ${HDGRAB_CROSS_TRIPLET}-strip CACHE FILEPATH "Symbol stripper")
set(CMAKE_OBJCOPY ${HDGRAB_CROSS_TRIPLET}-objcopy CACHE FILEPATH "Object copier")
set(CMAKE_NM ${HDGRAB_CROSS_TRIPLET}-nm CACHE FILEPATH "Symbol lister")
set(CMAKE_LIBRARY_ARCHITECTURE ${HDGRAB_CROSS_TRIPLET})

# The loader of the target (from libc6:<arch>) sits in /lib, so qemu needs no -L prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${HDGRAB_CROSS_EMULATOR})

set(CMAKE_FIND_ROOT_PATH /usr/${HDGRAB_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build host's pkg-config, but reading only the target's .pc files; left alone it would
# hand back the build host's libraries (the native libunwind links and then fails at run time).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${HDGRAB_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
