# Turns a program's help text (src/programs/PROGRAM.help) into what the build
# makes of it, so that `PROGRAM --help` and the manual page are one text:
#   FORMAT=header  a C++ header holding the text as upd::kHelpText, which the
#                  program prints for --help;
#   FORMAT=man     the manual page PROGRAM(1), in roff with the man macros.
# Script mode, run by the build (cmake/help.cmake); it needs nothing but CMake,
# so cross builds make the pages too:
#   cmake -DHELP=FILE -DOUTPUT=FILE -DFORMAT=header|man [-DPROGRAM=NAME
#         -DSUMMARY=TEXT -DSOURCE=TEXT -DSEE_ALSO=NAME,NAME] -P help_text.cmake
#
# The help text's layout, which the page follows:
#   - the first line "usage: ..." and the lines indented under it are the
#     synopsis;
#   - lines at the margin are paragraphs of the description;
#   - a line indented by two blanks starts an item: its tag, two or more
#     blanks, its text, which goes on on the lines indented deeper; the items
#     whose tags start with "-" are the options, the others stay in the
#     description;
#   - the line "Exit status:" starts the list of exit statuses, which ends
#     the text.
cmake_minimum_required(VERSION 3.25)

foreach(required HELP OUTPUT FORMAT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "help_text.cmake: ${required} is not given")
  endif()
endforeach()
file(READ "${HELP}" text)
get_filename_component(help_name "${HELP}" NAME)
if(NOT text MATCHES "\n$")
  message(FATAL_ERROR "${HELP}: the help text must end with a line break")
endif()

if(FORMAT STREQUAL "header")
  set(delimiter UPDHELP)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${HELP} holds \")${delimiter}\"\", which ends the C++ string")
  endif()
  file(WRITE "${OUTPUT}"
       "// Made by the build from ${help_name} (cmake/help_text.cmake): edit that file.\n"
       "#pragma once\n\nnamespace upd {\n\n"
       "inline constexpr char kHelpText[] = R\"${delimiter}(${text})${delimiter}\";\n\n"
       "}  // namespace upd\n")
  return()
elseif(NOT FORMAT STREQUAL "man")
  message(FATAL_ERROR "help_text.cmake: FORMAT is header or man, not ${FORMAT}")
endif()

foreach(required PROGRAM SUMMARY SOURCE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "help_text.cmake: ${required} is not given")
  endif()
endforeach()

# The text becomes a list of lines. Characters that CMake's lists treat
# specially stand in for themselves as control characters until the end.
string(ASCII 1 semicolon)
string(ASCII 2 open_bracket)
string(ASCII 3 close_bracket)
string(ASCII 4 backslash)
string(REPLACE "\\" "${backslash}" text "${text}")
string(REPLACE ";" "${semicolon}" text "${text}")
string(REPLACE "[" "${open_bracket}" text "${text}")
string(REPLACE "]" "${close_bracket}" text "${text}")
string(REGEX REPLACE "\n$" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

# Text as roff reads it literally: backslashes and minus signs escaped, and a
# line that would start with a control character made plain.
function(roff out value)
  string(REPLACE "${backslash}" "\\e" value "${value}")
  string(REPLACE "-" "\\-" value "${value}")
  string(REPLACE "${semicolon}" ";" value "${value}")
  string(REPLACE "${open_bracket}" "[" value "${value}")
  string(REPLACE "${close_bracket}" "]" value "${value}")
  if(value MATCHES "^[.']")
    set(value "\\&${value}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# An item's tag: option words in bold, their arguments in italics; the tags
# of other lists in bold, exit statuses as they are.
function(roff_tag out tag kind)
  if(kind STREQUAL "exit")
    roff(tag "${tag}")
    set(${out} "${tag}" PARENT_SCOPE)
    return()
  endif()
  if(NOT kind STREQUAL "option")
    roff(tag "${tag}")
    set(${out} "\\fB${tag}\\fR" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE " " ";" words "${tag}")
  set(result "")
  foreach(word IN LISTS words)
    set(comma "")
    if(word MATCHES "^(.*),$")
      set(word "${CMAKE_MATCH_1}")
      set(comma ",")
    endif()
    roff(word "${word}")
    if(word MATCHES "^\\\\-")
      string(APPEND result " \\fB${word}\\fR${comma}")
    else()
      string(APPEND result " \\fI${word}\\fR${comma}")
    endif()
  endforeach()
  string(STRIP "${result}" result)
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

set(synopsis "")
set(description "")
set(options "")
set(statuses "")
set(part synopsis)  # synopsis, description or exit
set(item_kind "")   # the kind of the item being read: option, other, exit
set(item_tag "")
set(item_text "")
set(paragraph "")

# Ends the item or paragraph being read and adds it to its part of the page.
macro(flush)
  if(NOT item_kind STREQUAL "")
    roff_tag(tag "${item_tag}" ${item_kind})
    set(entry ".TP\n${tag}\n${item_text}")
    if(item_kind STREQUAL "option")
      string(APPEND options "${entry}")
    elseif(item_kind STREQUAL "exit")
      string(APPEND statuses "${entry}")
    else()
      string(APPEND description "${entry}")
    endif()
    set(item_kind "")
    set(item_text "")
  endif()
  if(NOT paragraph STREQUAL "")
    string(APPEND description ".PP\n${paragraph}")
    set(paragraph "")
  endif()
endmacro()

foreach(line IN LISTS lines)
  if(part STREQUAL "synopsis")
    if(synopsis STREQUAL "" AND line MATCHES "^[Uu]sage: +(.*)$")
      set(words "${CMAKE_MATCH_1}")
    elseif(NOT synopsis STREQUAL "" AND line MATCHES "^ +([^ ].*)$")
      set(words "${CMAKE_MATCH_1}")
    elseif(synopsis STREQUAL "")
      message(FATAL_ERROR "${HELP}: the help text must start with \"usage: ${PROGRAM} ...\"")
    else()
      set(part description)
    endif()
    if(part STREQUAL "synopsis")
      if(NOT words MATCHES "^${PROGRAM}( (.*))?$")
        message(FATAL_ERROR "${HELP}: a usage line that is not ${PROGRAM}'s: ${words}")
      endif()
      roff(arguments "${CMAKE_MATCH_2}")
      roff(name "${PROGRAM}")
      string(APPEND synopsis "\\fB${name}\\fR ${arguments}\n")
      continue()
    endif()
  endif()

  if(line STREQUAL "")
    flush()
  elseif(line STREQUAL "Exit status:")
    flush()
    set(part exit)
  elseif(line MATCHES "^  ([^ ]+( [^ ]+)*)(  +(.*))?$")
    flush()
    set(item_tag "${CMAKE_MATCH_1}")
    roff(item_text "${CMAKE_MATCH_4}")
    if(NOT item_text STREQUAL "")
      string(APPEND item_text "\n")
    endif()
    if(part STREQUAL "exit")
      set(item_kind exit)
    elseif(item_tag MATCHES "^-")
      set(item_kind option)
    else()
      set(item_kind other)
    endif()
  elseif(line MATCHES "^   +([^ ].*)$" AND NOT item_kind STREQUAL "")
    roff(more "${CMAKE_MATCH_1}")
    string(APPEND item_text "${more}\n")
  elseif(line MATCHES "^[^ ]" AND NOT part STREQUAL "exit")
    if(NOT item_kind STREQUAL "")
      flush()
    endif()
    roff(more "${line}")
    string(APPEND paragraph "${more}\n")
  else()
    message(FATAL_ERROR "${HELP}: a line the manual page cannot place: \"${line}\"")
  endif()
endforeach()
flush()

string(TOUPPER "${PROGRAM}" title)
roff(title "${title}")
roff(name "${PROGRAM}")
roff(summary "${SUMMARY}")
roff(source "${SOURCE}")
set(page ".\\\" Made by the build from ${help_name} (cmake/help_text.cmake): edit that file.\n")
string(APPEND page ".TH ${title} 1 \"\" \"${source}\" \"User Commands\"\n"
       ".SH NAME\n${name} \\- ${summary}\n"
       ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n"
       ".SH DESCRIPTION\n${description}")
if(NOT options STREQUAL "")
  string(APPEND page ".SH OPTIONS\n${options}")
endif()
if(NOT statuses STREQUAL "")
  string(APPEND page ".SH \"EXIT STATUS\"\n${statuses}")
endif()
if(DEFINED SEE_ALSO AND NOT SEE_ALSO STREQUAL "")
  string(REPLACE "," ";" see_also "${SEE_ALSO}")
  string(APPEND page ".SH \"SEE ALSO\"\n")
  set(separator "")
  foreach(other IN LISTS see_also)
    roff(other "${other}")
    string(APPEND page "${separator}.BR ${other} (1)")
    set(separator ",\n")
  endforeach()
  string(APPEND page "\n")
endif()
file(WRITE "${OUTPUT}" "${page}")
