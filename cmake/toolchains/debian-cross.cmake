# What every Debian cross build shares, for the triple the including
# toolchain file names: the compilers, and a search that finds libraries and
# headers for the target only, never the build machine's.
set(CMAKE_C_COMPILER ${OSTREVAN_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREVAN_TARGET_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREVAN_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
