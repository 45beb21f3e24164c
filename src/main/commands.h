// The twenty command handlers.  Each takes the unchanged argument count and
// vector and returns the exit status (or ends the process itself).  Their
// names differ from the command names because JTAG_Reset and JTAG_Shift are
// also platform operations.
#ifndef JTAGBOX_MAIN_COMMANDS_H
#define JTAGBOX_MAIN_COMMANDS_H

namespace jtagbox {

using CommandHandler = int (*)(int argc, char **argv);

struct Command {
  const char *name;
  CommandHandler handler;
};

// The command table, in the order names are compared.
const Command *command_table(int &count);
// The handler for an invocation name (argv[0]), or nullptr.
CommandHandler find_command(const char *invocation_name);

int cmd_capdr_to_exit1dr(int argc, char **argv);
int cmd_load_dr(int argc, char **argv);
int cmd_load_ir(int argc, char **argv);
int cmd_macro_dump(int argc, char **argv);
int cmd_read_creg(int argc, char **argv);
int cmd_read_mem(int argc, char **argv);
int cmd_reset(int argc, char **argv);
int cmd_shift(int argc, char **argv);
int cmd_write_mem(int argc, char **argv);
int cmd_write_creg(int argc, char **argv);
int cmd_tms(int argc, char **argv);
int cmd_tck(int argc, char **argv);
int cmd_scan_ir_path(int argc, char **argv);
int cmd_scan_dump(int argc, char **argv);
int cmd_scan_dr_path(int argc, char **argv);
int cmd_cpu_select(int argc, char **argv);
int cmd_vnx_select(int argc, char **argv);
int cmd_ir_path(int argc, char **argv);
int cmd_vnx_clock_stop(int argc, char **argv);
int cmd_vnx_scan_dump(int argc, char **argv);

}  // namespace jtagbox

#endif
