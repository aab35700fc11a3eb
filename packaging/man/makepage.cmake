# SPDX-License-Identifier: MIT
# Writes one manual page (see packaging/manpage.cmake). Run as
#   cmake -DPROGRAM=path -DNAME=name -DVERSION=x.y.z -DWRITTEN=page-or-empty -DPAGE=out.1
#         [-DHELP2MAN=path] [-DGZIP=path] [-DINCLUDE=file.h2m] -P makepage.cmake
# The window programs must answer --help without a display.
set(ENV{QT_QPA_PLATFORM} offscreen)
file(REMOVE ${PAGE} ${PAGE}.gz)
get_filename_component(page_dir ${PAGE} DIRECTORY)
file(MAKE_DIRECTORY ${page_dir})

if(WRITTEN)
  configure_file(${WRITTEN} ${PAGE} @ONLY)
else()
  # A program that opens its window instead of answering would never return: the time limit ends
  # it here, where CMake started it itself.
  execute_process(COMMAND ${PROGRAM} --help TIMEOUT 20
                  RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_VARIABLE ignored)
  if(NOT status EQUAL 0 OR NOT help MATCHES "Usage:")
    set(help "")
  endif()
  string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
  # The first sentence under "Usage:" says what the program does; it names the page.
  set(summary "a program of the VazoRez Viewer")
  if(help MATCHES "Usage:[^\n]*\n(([^\n]+\n)+)")
    string(REGEX REPLACE "[ \n]+" " " summary "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "\\. .*" "" summary "${summary}")
    string(STRIP "${summary}" summary)
    string(REGEX REPLACE "\\.$" "" summary "${summary}")
    string(SUBSTRING "${summary}" 0 1 first)
    string(SUBSTRING "${summary}" 1 -1 rest)
    string(TOLOWER "${first}" first)
    set(summary "${first}${rest}")
  endif()

  set(made OFF)
  if(help AND HELP2MAN)
    set(include_option "")
    if(INCLUDE)
      set(include_option --include=${INCLUDE})
    endif()
    execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${VERSION}
                            "--source=VazoRez Viewer ${VERSION}" "--manual=User Commands" "--name=${summary}"
                            ${include_option} --output=${PAGE} ${PROGRAM}
                    TIMEOUT 60 RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(status EQUAL 0)
      set(made ON)
    else()
      message(WARNING "help2man failed for ${NAME}: ${errors}")
    endif()
  endif()

  if(NOT made)
    string(TOUPPER "${NAME}" title)
    if(help)
      string(REPLACE "\\" "\\e" help "${help}")
      set(description ".nf\n${help}.fi")
    else()
      set(description "Run\n.B ${NAME} --help\nfor its options.")
    endif()
    file(WRITE ${PAGE} ".TH ${title} 1 \"\" \"VazoRez Viewer ${VERSION}\" \"User Commands\"\n"
                       ".SH NAME\n${NAME} \\- ${summary}\n"
                       ".SH SYNOPSIS\n.B ${NAME}\n[\\fIoptions\\fR]\n"
                       ".SH DESCRIPTION\n${description}\n"
                       ".SH SEE ALSO\n.BR vazorez-gui (1)\n")
  endif()
endif()

if(GZIP)
  execute_process(COMMAND ${GZIP} -9nf ${PAGE} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${PAGE}")
  endif()
endif()
