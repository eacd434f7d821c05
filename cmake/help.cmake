# The workstation programs' help texts and manual pages, made from one text
# each: src/programs/PROGRAM.help is what `PROGRAM --help` prints (the build
# embeds it in the program as upd::kHelpText, from the header "help_text.h")
# and becomes the manual page PROGRAM(1) (cmake/help_text.cmake), so the two
# cannot drift apart. The pages are made by CMake alone, in cross builds too,
# and installed with the workstation component (cmake/packaging.cmake).
#
#   upd_help_texts(PROGRAM SUMMARY [PROGRAM SUMMARY]...)
#
# SUMMARY is the page's one-line description (its NAME section). Each page
# names the others under SEE ALSO.

set(UPD_HELP_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/help_text.cmake)

function(upd_help_texts)
  set(programs "")
  set(arguments ${ARGN})
  while(arguments)
    list(POP_FRONT arguments program summary)
    list(APPEND programs ${program})
    set(summary_${program} "${summary}")
  endwhile()

  foreach(program IN LISTS programs)
    set(help ${PROJECT_SOURCE_DIR}/src/programs/${program}.help)
    set(folder ${PROJECT_BINARY_DIR}/help/${program})
    set(header ${folder}/help_text.h)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(others ${programs})
    list(REMOVE_ITEM others ${program})
    list(JOIN others "," see_also)

    add_custom_command(
      OUTPUT ${header}
      COMMAND ${CMAKE_COMMAND} -DHELP=${help} -DOUTPUT=${header} -DFORMAT=header
              -P ${UPD_HELP_SCRIPT}
      DEPENDS ${help} ${UPD_HELP_SCRIPT}
      COMMENT "Embedding the help text of ${program}"
      VERBATIM)
    target_sources(${program} PRIVATE ${header})
    target_include_directories(${program} PRIVATE ${folder})

    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DHELP=${help} -DOUTPUT=${page} -DFORMAT=man
              -DPROGRAM=${program} "-DSUMMARY=${summary_${program}}"
              "-DSOURCE=instrument-updater ${PROJECT_VERSION}" -DSEE_ALSO=${see_also}
              -P ${UPD_HELP_SCRIPT}
      DEPENDS ${help} ${UPD_HELP_SCRIPT}
      COMMENT "Making the manual page ${program}.1"
      VERBATIM)
    add_custom_target(${program}-manual ALL DEPENDS ${page})
    set_property(GLOBAL APPEND PROPERTY UPD_MANUAL_PAGES ${page})
  endforeach()
endfunction()
