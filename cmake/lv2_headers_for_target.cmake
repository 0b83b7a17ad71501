# The LV2 headers for a cross build, as the target PkgConfig::LV2 that a
# native build gets from pkg-config. They are plain C declarations, the same
# for every processor, so the build machine's lv2-dev serves every target.
# A cross compiler must not search the build machine's /usr/include (its C
# library headers are for another processor), so it gets a folder that holds
# only a link to the lv2/ headers.
find_path(OSTREVAN_LV2_INCLUDE_DIR lv2/core/lv2.h PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT OSTREVAN_LV2_INCLUDE_DIR)
  message(FATAL_ERROR "LV2 headers not found: install lv2-dev")
endif()
set(OSTREVAN_LV2_ONLY_DIR "${CMAKE_BINARY_DIR}/lv2-headers")
file(MAKE_DIRECTORY "${OSTREVAN_LV2_ONLY_DIR}")
file(CREATE_LINK "${OSTREVAN_LV2_INCLUDE_DIR}/lv2" "${OSTREVAN_LV2_ONLY_DIR}/lv2" SYMBOLIC)
add_library(PkgConfig::LV2 INTERFACE IMPORTED)
target_include_directories(PkgConfig::LV2 SYSTEM INTERFACE "${OSTREVAN_LV2_ONLY_DIR}")
