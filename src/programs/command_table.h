// The command table of jtagbox: every command declared in the families
// (JTAGBOX_COMMAND, main/commands.h), in the order names are compared.  The
// table itself is made at configure time from those declarations
// (cmake/commands.cmake); the look-up by invocation name is here.
#ifndef JTAGBOX_PROGRAMS_COMMAND_TABLE_H
#define JTAGBOX_PROGRAMS_COMMAND_TABLE_H

#include <span>

#include "main/commands.h"

namespace jtagbox {

struct Command {
  const char *name;
  CommandHandler handler;
};

// The table, in the order of the declarations' ranks.
std::span<const Command> command_table();
// The handler for an invocation name (argv[0]), or nullptr.
CommandHandler find_command(const char *invocation_name);

}  // namespace jtagbox

#endif
