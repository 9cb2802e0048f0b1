# Builds for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and runs the
# results, test discovery included, under qemu-user (qemu-aarch64). The cross packages install
# the target's libraries under /usr/aarch64-linux-gnu, which serves as the root for both the
# compiler's searches and the emulator's dynamic loader; no separate sysroot is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(BGFREEZE_AARCH64_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${BGFREEZE_AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulated loader at the target's libc and libstdc++.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${BGFREEZE_AARCH64_ROOT})
