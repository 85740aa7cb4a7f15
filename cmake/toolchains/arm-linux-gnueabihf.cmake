# Cross build for 32-bit ARM hard-float (Debian armhf) with crossbuild-essential-armhf; tests run
# under qemu.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(HDGRAB_CROSS_TRIPLET arm-linux-gnueabihf)
set(HDGRAB_CROSS_EMULATOR /usr/bin/qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
