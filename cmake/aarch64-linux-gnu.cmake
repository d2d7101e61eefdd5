# Cross build for the daemon's target, AArch64 Linux, with Debian's cross
# compiler (g++-aarch64-linux-gnu) against the arm64 libraries installed
# through multiarch (libcjson-dev:arm64 and friends, under
# /usr/lib/aarch64-linux-gnu). The target programs run through qemu-user, so
# ctest and gtest discovery can execute the test binaries on the build host.
# scripts/aarch64.sh installs all of it and uses this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: libraries and package files of the target live in their own
# triplet directory beside the host's, in the same root.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(SPK_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
# The programs load the multiarch arm64 runtime (libc6:arm64,
# libstdc++6:arm64) from the real root. Not the cross toolchain's copy under
# /usr/aarch64-linux-gnu (qemu -L): with its older C library, bookworm's
# qemu-user hangs in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR "${SPK_QEMU_AARCH64}")
