// Scan-mode selection and the Vornex clock stop: not built yet.
#include "main/cli.h"
#include "main/commands.h"

namespace jtagbox {

int cmd_cpu_select(int, char **) { cli::not_built("JTAG_CPUSelect"); }
int cmd_vnx_select(int, char **) { cli::not_built("JTAG_VNXSelect"); }
int cmd_vnx_clock_stop(int, char **) { cli::not_built("JTAG_VnxClockStop"); }

}  // namespace jtagbox
