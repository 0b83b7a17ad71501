# The plug-in needs only a compiler, pkg-config and the LV2 headers. The test
# suites and the benchmarks need more, so each is a part of the build that a
# user may ask for (ON), leave out (OFF), or leave to what is installed
# (empty, the default): built when everything it needs is found.

# ostrevan_resolve_part(<switch> <what> [<found-variable> <package>]...)
# Sets <switch> to ON or OFF for the rest of the configuration. Asked for with
# something missing, the configuration stops and names every missing package,
# so that one install fixes it.
function(ostrevan_resolve_part switch what)
  set(missing "")
  set(needs ${ARGN})
  while(needs)
    list(POP_FRONT needs found package)
    if(NOT ${found})
      list(APPEND missing "${package}")
    endif()
  endwhile()
  list(JOIN missing ", " missing_text)

  if("${${switch}}" STREQUAL "")
    if(missing)
      message(STATUS "Not building ${what}: missing ${missing_text} (-D${switch}=ON to insist)")
      set(on OFF)
    else()
      set(on ON)
    endif()
  elseif(${switch})
    if(missing)
      message(FATAL_ERROR "${switch} is on, but ${what} need ${missing_text}: "
                          "not installed. Install what is missing, or configure with -D${switch}=OFF.")
    endif()
    set(on ON)
  else()
    set(on OFF)
  endif()
  set(${switch} ${on} PARENT_SCOPE)
endfunction()

# Empty by default, so that a plain build takes what it finds; the variables
# are then set as plain ones over the cache, holding ON or OFF from here on.
set(BUILD_TESTING "" CACHE STRING
    "Build the test suites: ON, OFF, or empty to build them when GoogleTest and lilv are installed")
set(OSTREVAN_BENCH "" CACHE STRING
    "Build the benchmarks: ON, OFF, or empty to build them when Google Benchmark is installed")

if(NOT "${BUILD_TESTING}" STREQUAL "" AND NOT BUILD_TESTING)
  set(BUILD_TESTING OFF)
elseif(CMAKE_CROSSCOMPILING)
  # A cross build compiles GoogleTest for the target from the sources Debian
  # ships (tests/CMakeLists.txt) and leaves out the suites that need a host.
  if(EXISTS /usr/src/googletest/CMakeLists.txt)
    set(GTEST_SOURCES_FOUND TRUE)
  endif()
  ostrevan_resolve_part(BUILD_TESTING "the test suites"
    GTEST_SOURCES_FOUND "GoogleTest's sources (Debian: libgtest-dev)")
else()
  find_package(GTest QUIET)
  pkg_check_modules(LILV QUIET IMPORTED_TARGET lilv-0)
  ostrevan_resolve_part(BUILD_TESTING "the test suites"
    GTest_FOUND "GoogleTest (Debian: libgtest-dev)"
    LILV_FOUND "lilv (Debian: liblilv-dev)")
endif()

# The benchmarks measure the plain build; a sanitizer's run-time would be
# measured instead.
if(OSTREVAN_SANITIZE OR (NOT "${OSTREVAN_BENCH}" STREQUAL "" AND NOT OSTREVAN_BENCH))
  set(OSTREVAN_BENCH OFF)
else()
  find_package(benchmark QUIET)
  ostrevan_resolve_part(OSTREVAN_BENCH "the benchmarks"
    benchmark_FOUND "Google Benchmark (Debian: libbenchmark-dev)")
endif()
