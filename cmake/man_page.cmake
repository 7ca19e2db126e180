# Makes the man page velmora-host.1 (and .1.gz) with help2man (cmake -P;
# cmake/install.cmake passes the variables):
#
# - the program's --help gives the description, the options and the
#   subcommands; its footer, the exit codes (one line per row of the exit
#   code table), becomes the EXIT STATUS section;
# - INCLUDE, the name and the sections the help lacks (FILES, SEE ALSO);
# - the command lines of README's "### Commands" block, the EXAMPLES.
foreach(variable IN ITEMS HELP2MAN GZIP PROGRAM VERSION INCLUDE README OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "man_page.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ ${README} readme)
if(NOT readme MATCHES "\n### Commands\n\n((    [^\n]*\n)+)")
  message(FATAL_ERROR "${README} has no indented block under \"### Commands\"")
endif()
# Shown verbatim by roff: backslashes and minus signs escaped, and no dot or
# quote at the start of a line, where it would make a request.
set(examples "\n${CMAKE_MATCH_1}")
string(REPLACE "\\" "\\e" examples "${examples}")
string(REPLACE "-" "\\-" examples "${examples}")
string(REPLACE "\n    " "\n" examples "${examples}")
string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" examples "${examples}")

file(READ ${INCLUDE} include)
file(WRITE ${OUTPUT}.h2m "${include}\n[EXAMPLES]\n.nf${examples}.fi\n")
set(stamp "")
if(NOT DATE_EPOCH STREQUAL "")
  set(stamp ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${DATE_EPOCH})
endif()
execute_process(
  COMMAND ${stamp} ${HELP2MAN} --no-info --section=1
          --version-string=${VERSION} --include=${OUTPUT}.h2m --output=${OUTPUT}.help2man
          ${PROGRAM}
  COMMAND_ERROR_IS_FATAL ANY)

# The help's footer, "Exit codes (NOTE):" and a line per code, is a
# subsection of OPTIONS to help2man; it is the EXIT STATUS section.
file(READ ${OUTPUT}.help2man page)
if(NOT page MATCHES "\n\\.SS \"Exit codes \\(([^\n]*)\\):\"\n")
  message(FATAL_ERROR "velmora-host --help has no \"Exit codes (...):\" footer")
endif()
set(note "${CMAKE_MATCH_1}")
string(SUBSTRING "${note}" 0 1 first)
string(TOUPPER "${first}" first)
string(SUBSTRING "${note}" 1 -1 rest)
string(REPLACE "${CMAKE_MATCH_0}" "\n.SH \"EXIT STATUS\"\n${first}${rest}.\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
file(REMOVE ${OUTPUT}.help2man ${OUTPUT}.h2m)
execute_process(COMMAND ${GZIP} -9nc ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz COMMAND_ERROR_IS_FATAL ANY)
