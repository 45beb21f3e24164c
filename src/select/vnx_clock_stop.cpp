// JTAG_VnxClockStop: stop the Vornex clocks by setting bit 0 of the FPGA's
// KESTA_MORVIN_ONLY_MISC_CSR.  No JTAG line is used.  The register's other
// bits are written back as read; the write is made even when the bit is
// already set.  Nothing in this tool clears it again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"

namespace jtagbox {
namespace {

constexpr uint32_t kMiscCsr = 0xCB1000;  // KESTA_MORVIN_ONLY_MISC_CSR
constexpr unsigned char kClockStop = 0x01;
constexpr const char *kUsage = "JTAG_VnxClockStop [-d=<level>] [-h]\n";

}  // namespace

JTAGBOX_COMMAND(19, JTAG_VnxClockStop, cmd_vnx_clock_stop, kUsage, "");

int cmd_vnx_clock_stop(int argc, char **argv) {
  cli::scan(
      argc, argv, [](const char *word) { cli::common_option(word, kUsage); },
      [](char *const *, int) { return 1; });  // positional words are ignored

  const unsigned char csr = fpga_get8(kMiscCsr);
  fpga_put8(kMiscCsr, static_cast<unsigned char>(csr | kClockStop));
  if (debug_level) std::printf("KESTA_MORVIN_ONLY_MISC_CSR DATA: 0x%x\n", unsigned(fpga_get8(kMiscCsr)));
  cli::exit_command(0);
}

}  // namespace jtagbox
