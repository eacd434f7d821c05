# Cross build for the instrument: 32-bit ARM, hard-float, glibc
# (arm-linux-gnueabihf), with Debian's multiarch libraries for the target
# (libssl-dev:armhf, libgtest-dev:armhf). Programs built here run on the build
# machine under qemu-arm, which is how ctest runs the test programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(UPD_TARGET_TRIPLET arm-linux-gnueabihf)
# Debian's name for the target, the architecture of its packages.
set(UPD_DEB_ARCHITECTURE armhf)
set(CMAKE_C_COMPILER ${UPD_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPD_TARGET_TRIPLET}-g++)

# Multiarch layout: the target's libraries live in /usr/lib/arm-linux-gnueabihf
# and its package configurations below it; never pick up the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${UPD_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${UPD_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (which FindOpenSSL consults first) must describe the target too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${UPD_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Dynamic target programs need the target's loader and C library, which the
# cross toolchain keeps below /usr/arm-linux-gnueabihf; static ones ignore it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${UPD_TARGET_TRIPLET})
