# Cross build for 32-bit Arm boards (armhf: ARMv7, hard-float ABI) with
# Debian's arm-linux-gnueabihf toolchain (g++-arm-linux-gnueabihf).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build/armhf -j2 && ctest --test-dir build/armhf -LE 'guest|native-only'
#
# The test programs run under user-mode emulation (Debian's qemu-user-static),
# so ctest and gtest_discover_tests work on an x86_64 build machine.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TELLTRAIL_CROSS_TRIPLE arm-linux-gnueabihf)
set(TELLTRAIL_CROSS_SYSROOT /usr/${TELLTRAIL_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${TELLTRAIL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TELLTRAIL_CROSS_TRIPLE}-g++)

# Headers and libraries come only from the cross sysroot; programs (cmake
# helpers, the emulator) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${TELLTRAIL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian 12's armhf glibc still defaults to a 32-bit time_t, which ends on
# 2038-01-19. The logger stamps every frame with the current time and runs for
# years on a board, so the whole build (our code and GoogleTest alike, to keep
# one ABI) uses glibc's 64-bit time_t, timeval and off_t. glibc requires
# _FILE_OFFSET_BITS=64 together with _TIME_BITS=64.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# GCC notes on Arm that passing structs with 64-bit members (a timeval now)
# changed in GCC 7.1; it only matters when linking with code from older
# compilers, which this build never does.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# Run Arm programs (tests, test discovery) under emulation; -L points the
# emulator at the Arm dynamic loader and libraries of the cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L ${TELLTRAIL_CROSS_SYSROOT})
