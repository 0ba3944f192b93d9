# Cross-compiling for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); libraries of the target come from Debian's
# multiarch packages (libgmp-dev:arm64 and so on, in /usr/lib/aarch64-linux-gnu).
# Test programs run through qemu-user, at test discovery and under ctest,
# with the arm64 C library of the multiarch packages (libc6:arm64): with the
# cross toolchain's copy instead (qemu -L /usr/aarch64-linux-gnu) threads hang.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Only the target's libraries and pkg-config files; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
