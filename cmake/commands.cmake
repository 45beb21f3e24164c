# The commands of jtagbox, from their declarations.  Each command is declared
# once, in its family's file, by one line (src/main/commands.h):
#
#   JTAGBOX_COMMAND(RANK, NAME, HANDLER, USAGE, "OPTIONS");
#
# At configure time this reads those lines from the sources of the families
# (JTAGBOX_COMMAND_FAMILIES, folders of src/) and makes:
#   JTAGBOX_COMMANDS               the names in rank order: the links in the
#                                  build tree and at install, the completion
#                                  links (cmake/packaging.cmake)
#   <build>/generated/command_list.cpp
#                                  the command table compiled into jtagbox
#   <build>/commands.txt           the names, one a line, for
#                                  scripts/package.sh and the tests
#   <build>/packaging/bash-completion/jtagbox
#                                  the completion, its names and options
#                                  filled in from the declarations
# A family source edited, added or removed makes the next build configure
# again, so a new declaration is seen without a hand step.

set(jtagbox_declaration_regex
  "^JTAGBOX_COMMAND\\(([0-9]+), ([A-Za-z][A-Za-z0-9_]*), ([A-Za-z_][A-Za-z0-9_]*), ([A-Za-z_][A-Za-z0-9_.]*), \"([-a-z= ]*)\"\\);$")

set(jtagbox_declarations)  # "RANK;NAME;HANDLER;OPTIONS" entries, by file order
set(jtagbox_family_sources)
foreach(family ${JTAGBOX_COMMAND_FAMILIES})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${family}/*.cpp)
  list(APPEND jtagbox_family_sources ${sources})
endforeach()
list(SORT jtagbox_family_sources)
foreach(source ${jtagbox_family_sources})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(STRINGS ${source} lines REGEX "^[ \t]*JTAGBOX_COMMAND[ \t]*\\(")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "${jtagbox_declaration_regex}")
      message(FATAL_ERROR "${source}: a command declaration the build cannot read:\n  ${line}\n"
        "Write it on one line, from the first column, as\n"
        "  JTAGBOX_COMMAND(RANK, NAME, HANDLER, USAGE, \"OPTIONS\");")
    endif()
    list(APPEND jtagbox_declarations "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}|${CMAKE_MATCH_5}")
    set(jtagbox_declared_in_${CMAKE_MATCH_2} ${source})
  endforeach()
endforeach()

list(LENGTH jtagbox_declarations jtagbox_command_count)
if(jtagbox_command_count EQUAL 0)
  message(FATAL_ERROR "No command declarations (JTAGBOX_COMMAND) in the families: ${JTAGBOX_COMMAND_FAMILIES}")
endif()

# Ranks 1..N, each once; names and handlers each once.
set(JTAGBOX_COMMANDS)
set(jtagbox_handlers)
set(jtagbox_table_rows)
set(jtagbox_completion_options)
foreach(rank RANGE 1 ${jtagbox_command_count})
  set(found)
  foreach(declaration IN LISTS jtagbox_declarations)
    string(REPLACE "|" ";" fields "${declaration}")
    list(GET fields 0 r)
    if(r EQUAL rank)
      if(found)
        list(GET fields 1 other)
        string(REPLACE "|" ";" first "${found}")
        list(GET first 1 first)
        message(FATAL_ERROR "Two commands declared with rank ${rank}: ${first} "
          "(${jtagbox_declared_in_${first}}) and ${other} (${jtagbox_declared_in_${other}})")
      endif()
      set(found "${declaration}")
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "No command declared with rank ${rank}: the ${jtagbox_command_count} "
      "declarations must have the ranks 1 to ${jtagbox_command_count}, each once")
  endif()
  string(REPLACE "|" ";" fields "${found}")
  list(GET fields 1 name)
  list(GET fields 2 handler)
  list(GET fields 3 options)
  if(name IN_LIST JTAGBOX_COMMANDS)
    message(FATAL_ERROR "The command ${name} is declared twice")
  endif()
  if(handler IN_LIST jtagbox_handlers)
    message(FATAL_ERROR "The handler ${handler} is declared for two commands")
  endif()
  list(APPEND JTAGBOX_COMMANDS ${name})
  list(APPEND jtagbox_handlers ${handler})
  string(APPEND jtagbox_table_rows "    {.name = \"${name}\", .handler = ${handler}},\n")
  if(NOT options STREQUAL "")
    string(APPEND jtagbox_completion_options "    ${name}) echo \"${options}\" ;;\n")
  endif()
endforeach()
# A declaration is read only where its rank is found: any not read is a rank
# out of range (a count above would have named the gap).
foreach(declaration IN LISTS jtagbox_declarations)
  string(REPLACE "|" ";" fields "${declaration}")
  list(GET fields 1 name)
  if(NOT name IN_LIST JTAGBOX_COMMANDS)
    message(FATAL_ERROR "${jtagbox_declared_in_${name}}: ${name}'s rank is outside 1 to ${jtagbox_command_count}")
  endif()
endforeach()

set(jtagbox_handler_declarations)
foreach(handler IN LISTS jtagbox_handlers)
  string(APPEND jtagbox_handler_declarations "int ${handler}(int argc, char **argv);\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/command_list.cpp CONTENT
"// Made by cmake/commands.cmake from the JTAGBOX_COMMAND lines of the
// command families, at configure time; edit those lines, not this file.
#include \"programs/command_table.h\"

namespace jtagbox {

@jtagbox_handler_declarations@
namespace {

constexpr Command kCommands[] = {
@jtagbox_table_rows@};

}  // namespace

std::span<const Command> command_table() { return kCommands; }

}  // namespace jtagbox
" @ONLY)

list(JOIN JTAGBOX_COMMANDS "\n" jtagbox_command_lines)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/commands.txt CONTENT "${jtagbox_command_lines}\n")

# The completion: its template's placeholders filled in; every command name
# the template spells out by hand must be a declared one.
set(jtagbox_completion_template ${CMAKE_SOURCE_DIR}/packaging/bash-completion/jtagbox.in)
file(STRINGS ${jtagbox_completion_template} lines REGEX "JTAG_[A-Za-z]")
foreach(line IN LISTS lines)
  string(REGEX MATCHALL "JTAG_[A-Za-z0-9_]+" words "${line}")
  foreach(word IN LISTS words)
    if(NOT word IN_LIST JTAGBOX_COMMANDS)
      message(FATAL_ERROR "${jtagbox_completion_template} names ${word}, which is no declared command")
    endif()
  endforeach()
endforeach()
list(JOIN JTAGBOX_COMMANDS " " JTAGBOX_COMMAND_NAMES)
string(STRIP "${jtagbox_completion_options}" jtagbox_completion_options)
set(JTAGBOX_COMMAND_OPTIONS "    ${jtagbox_completion_options}")
configure_file(${jtagbox_completion_template} ${CMAKE_BINARY_DIR}/packaging/bash-completion/jtagbox @ONLY)
message(STATUS "Commands: ${jtagbox_command_count} declared in ${JTAGBOX_COMMAND_FAMILIES}")
