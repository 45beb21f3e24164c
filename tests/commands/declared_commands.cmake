# What both command checks start and end with: `commands`, the declared
# names from ${COMMANDS} (never none), `faults` to collect into, and
# report_faults(), which fails with every fault or says what passed.
cmake_minimum_required(VERSION 3.22)
file(STRINGS ${COMMANDS} commands)
list(LENGTH commands count)
if(count EQUAL 0)
  message(FATAL_ERROR "${COMMANDS} lists no command")
endif()
set(faults)

macro(report_faults passed)
  if(faults)
    list(JOIN faults "\n" text)
    message(FATAL_ERROR "${text}")
  endif()
  message(STATUS "${count} ${passed}")
endmacro()
