# 32-bit ARM Linux, hard-float (Debian armhf: ARMv7-A with VFPv3-D16, no
# NEON, no fused multiply-add instruction), with Debian's cross compiler
# (g++-arm-linux-gnueabihf). CTest runs each test binary under user-mode
# emulation (qemu-user) with the target's own C and C++ libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSTREVAN_TARGET_TRIPLE arm-linux-gnueabihf)
include("${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /usr/${OSTREVAN_TARGET_TRIPLE})
