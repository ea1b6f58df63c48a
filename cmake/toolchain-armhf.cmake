# Cross build for 32-bit ARM Linux (armhf) with Debian's cross compiler.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Target libraries are Debian's armhf packages (multiarch, /usr/lib/arm-linux-gnueabihf).
# Qt 5 Core's armhf CMake files are found there too, or under a prefix given in
# CMAKE_PREFIX_PATH. Test programs run through user-mode QEMU: no binfmt handler is
# assumed, so the emulator is named explicitly, and CTest and test discovery call it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(PLC_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${PLC_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PLC_TARGET_TRIPLE}-g++)
# Searches for libraries and packages look in lib/arm-linux-gnueabihf and never in the
# host's lib/x86_64-linux-gnu, so no host library or CMake package is picked up.
set(CMAKE_LIBRARY_ARCHITECTURE ${PLC_TARGET_TRIPLE})

# The programs run on Debian's armhf runtime (libc6:armhf, which Qt Core's armhf package
# brings): its loader /lib/ld-linux-armhf.so.3 and C library must be one build. Pointing
# -L at the cross tool chain's copy (/usr/arm-linux-gnueabihf) would pair that loader with
# the armhf C library it finds through the multiarch cache, and threads then crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)

# GCC notes on every std::sort of records that the ARM calling convention for such
# arguments changed in GCC 7.1; nothing here mixes code from compilers that old.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
