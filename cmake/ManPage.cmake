# Man pages made by help2man from each program's --help when the program is built, so that a
# page never tells something other than the program does. A machine without help2man builds
# no pages (a note says so); the Debian packages need them. Sanitizer builds, never installed,
# make none either.
find_program(TORVEK_HELP2MAN help2man)
find_program(TORVEK_GZIP gzip)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND NOT (TORVEK_HELP2MAN AND TORVEK_GZIP))
  message(STATUS "help2man or gzip not found: the programs get no man pages")
endif()

# torvek_man_page(NAME SUMMARY [PROGRAM file] [COMPONENT component] [DEPENDS file...]):
# NAME.1.gz in section 1, from the --help of the target NAME, or of the program file given (a
# script; DEPENDS names the files its --help is made from), installed with the tools unless
# another component is named.
function(torvek_man_page target summary)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "COMPONENT;PROGRAM" "DEPENDS")
  if(NOT arg_COMPONENT)
    set(arg_COMPONENT tools)
  endif()
  if(arg_PROGRAM)
    set(program ${arg_PROGRAM})
    set(depends ${arg_PROGRAM} ${arg_DEPENDS})
  else()
    set(program $<TARGET_FILE:${target}>)
    set(depends ${target})
  endif()
  if(WIN32 OR CMAKE_CROSSCOMPILING OR TORVEK_SANITIZE OR NOT (TORVEK_HELP2MAN AND TORVEK_GZIP))
    return()
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  set(see_also ${dir}/${target}.h2m)
  # Every page names the others, the Tango server's and the window's too (their own packages).
  set(text "[SEE ALSO]\n")
  foreach(page IN ITEMS attenuatorctl attenuator-sim attenuator-tango attenuator-gui)
    if(NOT page STREQUAL target)
      string(APPEND text ".BR ${page} (1),\n")
    endif()
  endforeach()
  file(WRITE ${see_also}.in "${text}the README of torvek-attenuator.\n")
  configure_file(${see_also}.in ${see_also} COPYONLY)
  add_custom_command(OUTPUT ${dir}/${target}.1.gz
    COMMAND ${TORVEK_HELP2MAN} --no-info --section 1 --name ${summary}
            --version-string ${PROJECT_VERSION} --source "torvek-attenuator ${PROJECT_VERSION}"
            --manual "User Commands" --include ${see_also} --output ${dir}/${target}.1
            ${program}
    # -n: no name or time stamp in the archive, so that the same page gives the same bytes.
    COMMAND ${TORVEK_GZIP} -9nf ${dir}/${target}.1
    DEPENDS ${depends} ${see_also}
    COMMENT "Man page of ${target}, from its --help"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${dir}/${target}.1.gz)
  install(FILES ${dir}/${target}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT ${arg_COMPONENT})
endfunction()
