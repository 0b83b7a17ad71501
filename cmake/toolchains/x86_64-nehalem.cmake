# The build machine's own compiler and libraries, with every test run on an
# emulated x86-64 that has neither FMA nor AVX (qemu-user's Nehalem model), so
# that the code paths a CPU without them takes are the ones tested; with
# QEMU_CPU set, on that model instead (SandyBridge: AVX without FMA). Nothing
# is cross-compiled: this only sets the emulator CTest runs each test under.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-x86_64-model.sh)
