// The declaration of a command.  Each command is declared once, in its
// family's file, on one line at namespace jtagbox scope, before its handler:
//
//   JTAGBOX_COMMAND(RANK, NAME, HANDLER, USAGE, "OPTIONS");
//
//   RANK     its place (1, 2, ...) in the order invocation names are compared
//   NAME     the command name, which is also its link to jtagbox and the
//            name of its manual page doc/man/NAME.1.scd
//   HANDLER  int HANDLER(int argc, char **argv): takes the unchanged
//            argument count and vector and returns the exit status (or ends
//            the process itself).  Handler names differ from command names
//            because JTAG_Reset and JTAG_Shift are also platform operations.
//   USAGE    the constant holding the usage text the command prints on -h
//   OPTIONS  the options it takes besides -d, -d= and -h, as the shell
//            completes them ("-a -f= -r"), or ""
//
// The build reads these lines out of the family sources
// (cmake/commands.cmake) and makes from them the command table of jtagbox,
// the command links (build tree, install, package), the bash completion's
// names and options, <build>/commands.txt and the test that every command
// has its manual page.  So the line must stay on one line, starting in the
// first column.  Here, in C++, it declares the handler and checks that the
// usage text names the command and that the options are well formed.
#ifndef JTAGBOX_MAIN_COMMANDS_H
#define JTAGBOX_MAIN_COMMANDS_H

#include <string_view>

namespace jtagbox {

using CommandHandler = int (*)(int argc, char **argv);

namespace command_declaration {

// "-x" or "-x=" words, one space apart; "" for none.
constexpr bool options_well_formed(std::string_view options) {
  while (!options.empty()) {
    if (options.size() < 2 || options[0] != '-' || options[1] < 'a' || options[1] > 'z') return false;
    options.remove_prefix(2);
    if (!options.empty() && options[0] == '=') options.remove_prefix(1);
    if (options.empty()) break;
    if (options[0] != ' ' || options.size() == 1) return false;
    options.remove_prefix(1);
  }
  return true;
}

constexpr bool names(std::string_view usage, std::string_view name) {
  return usage.find(name) != std::string_view::npos;
}

}  // namespace command_declaration

// NOLINTBEGIN(bugprone-macro-parentheses): the arguments are names and texts
#define JTAGBOX_COMMAND(rank, name, handler, usage, options)                                                     \
  int handler(int argc, char **argv);                                                                            \
  static_assert((rank) > 0, #name ": ranks start at 1");                                                         \
  static_assert(::jtagbox::command_declaration::names(usage, #name), #name ": its usage text does not name it"); \
  static_assert(::jtagbox::command_declaration::options_well_formed(options), #name ": options are \"-x -y=\" words")
// NOLINTEND(bugprone-macro-parentheses)

}  // namespace jtagbox

#endif
