# SPDX-License-Identifier: MIT
# One Debian package, vazorez-viewer: the viewer, its desktop entry, icon, metainfo and manual
# pages, and the tools beside it (the demo is how to try the viewer without a board; the tools need
# no libraries the viewer does not). Build it with scripts/package.sh or `cpack -G DEB` in the build
# directory.
set(CPACK_PACKAGE_NAME vazorez-viewer)
set(CPACK_PACKAGE_VENDOR "VazoRez Viewer developers")
set(VAZOREZ_PACKAGE_CONTACT "VazoRez Viewer developers <maintainers@vazorez.invalid>"
    CACHE STRING "Maintainer of the packages, as 'Name <address>'")
set(CPACK_PACKAGE_CONTACT "${VAZOREZ_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live viewer for a radar sensor evaluation board")
# Lines of at most 79 characters: a terminal of 80 columns shows them with their leading space.
set(CPACK_PACKAGE_DESCRIPTION
    "Shows the raw in-phase and quadrature samples, the spectrum and the\n"
    "modulation mode that a radar sensor evaluation board streams over its\n"
    "115200-baud serial line, frame by frame. Also holds vazorez-demo (the viewer\n"
    "against a simulated board), vazorez-sim (the board in software on a\n"
    "pseudo-terminal), vazorez-capture and vazorez-decode (record frames as CSV,\n"
    "JSON lines or raw bytes, decode recordings offline) and vazorez-plot (a\n"
    "waterfall picture of a whole recording).")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VazoRez Viewer")
set(CPACK_PACKAGE_EXECUTABLES vazorez-gui "VazoRez Viewer")
set(CPACK_STRIP_FILES ON)

if(NOT CPACK_GENERATOR)
  find_program(VAZOREZ_DPKG dpkg)
  if(VAZOREZ_DPKG)
    set(CPACK_GENERATOR DEB)
  elseif(WIN32)
    set(CPACK_GENERATOR ZIP)
  else()
    set(CPACK_GENERATOR TGZ)
  endif()
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Depends comes from the binaries (dpkg-shlibdeps), so it follows the libraries actually linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
