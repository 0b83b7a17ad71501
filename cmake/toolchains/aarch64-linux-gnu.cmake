# 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu).
# CTest runs each test binary under user-mode emulation (qemu-user) with the
# target's own C and C++ libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OSTREVAN_TARGET_TRIPLE aarch64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64 -L /usr/${OSTREVAN_TARGET_TRIPLE})
