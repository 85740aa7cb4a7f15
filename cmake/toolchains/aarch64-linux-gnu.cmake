# Cross build for 64-bit ARM (Debian arm64) with crossbuild-essential-arm64; tests run under qemu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(HDGRAB_CROSS_TRIPLET aarch64-linux-gnu)
set(HDGRAB_CROSS_EMULATOR /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
