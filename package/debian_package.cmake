# The Debian package, made by CPack from the build tree:
#   cmake --build build && (cd build && cpack -G DEB)
# Included from bundle/CMakeLists.txt, which names the maintainer and the
# homepage: the package takes them from there, and its version from the
# project's. It holds the bundle in /usr/lib/lv2, where every LV2 host looks,
# and the two files Debian wants in /usr/share/doc for every package.

set(PACKAGE_DOC_DIR "share/doc/${PROJECT_NAME}")

# The copyright file in Debian's machine-readable form, made from LICENSE so
# that the notice and the terms exist in one place only.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license_text)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
if(NOT license_text MATCHES "Copyright \\(c\\) ([0-9]+) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE no longer has the shape this file reads: "
                      "a 'Copyright (c) YEAR HOLDER' line, a blank line, then the terms")
endif()
set(PACKAGE_COPYRIGHT "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
# Continuation lines start with a space; an empty line of the text is " .".
string(REPLACE "\n" "\n " PACKAGE_LICENSE_TERMS " ${CMAKE_MATCH_3}")
string(REPLACE "\n \n" "\n .\n" PACKAGE_LICENSE_TERMS "${PACKAGE_LICENSE_TERMS}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/copyright.in"
               "${CMAKE_BINARY_DIR}/package/copyright" @ONLY)

# Debian keeps changelogs compressed, with no name or time stamp in the gzip
# header so that the same sources give the same package.
set(changelog_gz "${CMAKE_BINARY_DIR}/package/changelog.gz")
execute_process(COMMAND gzip -9nc "${CMAKE_CURRENT_LIST_DIR}/changelog"
                OUTPUT_FILE "${changelog_gz}" RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip could not compress package/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/changelog")

# Only the package installs them: `cmake --install` of a plain build puts the
# bundle alone where the user's hosts look.
install(FILES "${CMAKE_BINARY_DIR}/package/copyright" "${changelog_gz}"
        DESTINATION "${PACKAGE_DOC_DIR}" COMPONENT debian_doc EXCLUDE_FROM_ALL
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${PLUGIN_MAINTAINER_NAME} <${PLUGIN_MAINTAINER_EMAIL}>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PLUGIN_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends is whatever dpkg-shlibdeps finds the library needs: the C library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The bundle goes to <prefix>/lib/lv2 when installed under DESTDIR, as CPack
# installs; the documentation after it.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};bundle;/"
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};debian_doc;/")
# The synopsis, then the long description: lines under 80 characters, an
# empty line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"LV2 plug-in: four resonant tubes that ring a chord from any sound
${PLUGIN_DISPLAY_NAME} is a bank of four resonant tubes for LV2 hosts. Each
tube has its own mono input and output and rings at the pitch of its own
MIDI note. Play a drum, a click, a burst of noise or any percussive sound into
the tubes and a chord rings out of it: short and woody with a short decay, a
sustained, organ-like drone with a long one. Transpose, decay, level and
damping act on all four tubes; a change of note glides to the new pitch.

This package holds the plug-in's LV2 bundle with its seven presets.")
# Only DEB is made; the source packages CPack could also make are not wanted.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
