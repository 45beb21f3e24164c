// The scan dumps: not built yet.
#include "main/cli.h"
#include "main/commands.h"

namespace jtagbox {

int cmd_scan_dump(int, char **) { cli::not_built("JTAG_ScanDump"); }
int cmd_scan_dr_path(int, char **) { cli::not_built("JTAG_ScanDR_Path"); }
int cmd_capdr_to_exit1dr(int, char **) { cli::not_built("JTAG_CapDR_To_Exit1DR"); }
int cmd_vnx_scan_dump(int, char **) { cli::not_built("JTAG_VnxScanDump"); }
int cmd_macro_dump(int, char **) { cli::not_built("JTAG_MacroDump"); }

}  // namespace jtagbox
