// The raw shifts: not built yet.
#include "main/cli.h"
#include "main/commands.h"

namespace jtagbox {

int cmd_shift(int, char **) { cli::not_built("JTAG_Shift"); }
int cmd_ir_path(int, char **) { cli::not_built("JTAG_IRPath"); }

}  // namespace jtagbox
