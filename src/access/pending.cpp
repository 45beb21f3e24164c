// Control-register and L2 memory access: not built yet.
#include "main/cli.h"
#include "main/commands.h"

namespace jtagbox {

int cmd_read_creg(int, char **) { cli::not_built("JTAG_ReadCreg"); }
int cmd_write_creg(int, char **) { cli::not_built("JTAG_WriteCreg"); }
int cmd_read_mem(int, char **) { cli::not_built("JTAG_ReadMem"); }
int cmd_write_mem(int, char **) { cli::not_built("JTAG_WriteMem"); }

}  // namespace jtagbox
