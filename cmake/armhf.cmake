# Cross-builds for 32-bit ARM with hardware floating point (Raspberry Pi OS, Debian armhf), with
# Debian's arm-linux-gnueabihf-g++ (package g++-arm-linux-gnueabihf). The programs run here
# under qemu-user:   qemu-arm-static -L /usr/arm-linux-gnueabihf build/armhf/bin/forkrelay
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)
# GCC notes, for every std::vector iterator passed by value, that GCC 7.1 changed how such
# arguments are passed on ARM: nothing here links with code built before it.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
