// TAP walking and the IR/DR loads: not built yet.
#include "main/cli.h"
#include "main/commands.h"

namespace jtagbox {

int cmd_tms(int, char **) { cli::not_built("JTAG_TMS"); }
int cmd_tck(int, char **) { cli::not_built("JTAG_Tck"); }
int cmd_load_ir(int, char **) { cli::not_built("JTAG_LoadIR"); }
int cmd_load_dr(int, char **) { cli::not_built("JTAG_LoadDR"); }
int cmd_scan_ir_path(int, char **) { cli::not_built("JTAG_ScanIR_Path"); }

}  // namespace jtagbox
