# SPDX-License-Identifier: MIT
# vazorez_add_man_page(<program>): a section 1 manual page for an installed program, built with it
# and installed beside it. packaging/man/<program>.1 is used as written when it exists; otherwise
# help2man turns the program's own --help into the page (run on the offscreen platform, so a
# program with a window needs no display), and a program that does not answer --help gets a short
# page that says what it is. Pages are gzipped for Debian when gzip is there.
find_program(VAZOREZ_HELP2MAN help2man)
find_program(VAZOREZ_GZIP gzip)
# A sanitizer build is never installed, and its programs' leak reports would spoil their --help.
set(VAZOREZ_MAN_PAGES_DEFAULT OFF)
if(UNIX AND NOT VAZOREZ_SANITIZE)
  set(VAZOREZ_MAN_PAGES_DEFAULT ON)
endif()
option(VAZOREZ_MAN_PAGES "Build and install a manual page for each program" ${VAZOREZ_MAN_PAGES_DEFAULT})
if(VAZOREZ_MAN_PAGES AND NOT VAZOREZ_HELP2MAN)
  message(STATUS "help2man not found: programs without a written page get a short one")
endif()
set(VAZOREZ_MAN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/man/makepage.cmake)

function(vazorez_add_man_page program)
  if(NOT VAZOREZ_MAN_PAGES)
    return()
  endif()
  set(written ${PROJECT_SOURCE_DIR}/packaging/man/${program}.1)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  if(VAZOREZ_GZIP)
    set(output ${page}.gz)
  else()
    set(output ${page})
  endif()
  if(EXISTS ${written})
    set(depends ${written})
  else()
    set(written "")
    set(depends ${program} ${PROJECT_SOURCE_DIR}/packaging/man/see-also.h2m)
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            -DVERSION=${PROJECT_VERSION} -DWRITTEN=${written} -DPAGE=${page}
            -DHELP2MAN=${VAZOREZ_HELP2MAN} -DGZIP=${VAZOREZ_GZIP}
            -DINCLUDE=${PROJECT_SOURCE_DIR}/packaging/man/see-also.h2m -P ${VAZOREZ_MAN_SCRIPT}
    DEPENDS ${depends} ${VAZOREZ_MAN_SCRIPT}
    COMMENT "Manual page ${program}.1"
    VERBATIM)
  add_custom_target(${program}-man ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set_property(GLOBAL APPEND PROPERTY VAZOREZ_MAN_PAGE_FILES ${page})
endfunction()
