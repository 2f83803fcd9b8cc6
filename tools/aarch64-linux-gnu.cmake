# Cross build for 64-bit ARM (a Raspberry Pi 3, 4 or 5 on 64-bit Raspberry Pi OS, any arm64
# Debian) on a Debian machine with Debian's cross compiler and the arm64 multiarch libraries
# (tools/install-deps.sh --arm64). Programs built for arm64 that run during the build (the
# clip's generator, the test discovery) and the tests run under qemu's user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The arm64 libraries and their CMake packages live in /usr/lib/aarch64-linux-gnu, next to the
# machine's own: only that folder's are to be found.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
# pkgconf's cross wrapper reads the .pc files of /usr/lib/aarch64-linux-gnu/pkgconfig.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")
# The arm64 programs run on the machine's own arm64 libraries, the C library included, which the
# arm64 packages above bring: -L / and not the cross compiler's /usr/aarch64-linux-gnu, whose
# loader is a different build of glibc from the multiarch libc.so.6 that the other libraries
# need, and with which a program hangs as it starts its first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L / CACHE STRING "Runs an arm64 program on this machine")
# dpkg-shlibdeps, run by CPack, takes the package's dependencies from the arm64 libraries linked.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
