// JTAG_ScanDump, JTAG_ScanDR_Path, JTAG_CapDR_To_Exit1DR and JTAG_VnxScanDump:
// the four variants of the scan dump.
//
//   ScanDump       a processor chain: IR 0x88 (scan access), IR 0x81 and the
//                  chain selector into its 6-bit register, IR 0x80 (the
//                  selected chain is the data register), then the chain
//   ScanDR_Path    whatever the data register is, from Select-DR-Scan: TMS 0
//                  to Capture-DR, then the internal shift to Run-Test/Idle;
//                  -a switches the board's scan-dump accelerator around it
//   CapDR_To_Exit1DR  whatever the data register is, from Capture-DR, ending
//                  in Exit1-DR
//   VnxScanDump    the Vornex chain: IR 0x3D, IR 0x0A with 0x01E0 in its
//                  16-bit register, IR 0x3E, then the chain (6-bit IR)
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "scandump/scan_dump_family.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

using scandump::ChainShift;
using scandump::Request;
using scandump::Variant;

constexpr int kChainSelectBits = 6;
constexpr int kVornexInstructionBits = 6;
constexpr int kVornexModeBits = 16;

void select_processor_chain(const Request &r) {
  load_instruction("88", kProcessorInstructionBits);  // scan access on
  load_instruction("81", kProcessorInstructionBits);  // chain-select register
  load_data(r.chain_selector, kChainSelectBits);
  load_instruction("80", kProcessorInstructionBits);  // the selected chain
  JTAG_Select_DR();
}

void select_vornex_chain(const Request &) {
  load_instruction("3D", kVornexInstructionBits);
  load_instruction("0A", kVornexInstructionBits);
  load_data("01e0", kVornexModeBits);
  load_instruction("3E", kVornexInstructionBits);
  JTAG_Select_DR();
}

void no_setup(const Request &) {}

constexpr Variant kScanDump = {
    .name = "JTAG_ScanDump",
    .has_chain_selector = true,
    .long_usage = "JTAG_ScanDump <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    .setup_line = "Setting up for Scan Dump",
    .set_up = select_processor_chain,
    .shift = ChainShift::SelectedPath,
    .switches_accelerator = false,
    .select_ir_after = true,
};

constexpr Variant kScanDRPath = {
    .name = "JTAG_ScanDR_Path",
    .has_chain_selector = true,
    .long_usage = "JTAG_ScanDR_Path <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    .setup_line = nullptr,
    .set_up = no_setup,
    .shift = ChainShift::FromSelectDR,
    .switches_accelerator = true,
    .select_ir_after = false,
};

constexpr Variant kCapDRToExit1DR = {
    .name = "JTAG_CapDR_To_Exit1DR",
    .has_chain_selector = true,
    .long_usage = "JTAG_CapDR_To_Exit1DR <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    .setup_line = nullptr,
    .set_up = no_setup,
    .shift = ChainShift::FromCaptureDR,
    .switches_accelerator = false,
    .select_ir_after = false,
};

constexpr Variant kVnxScanDump = {
    .name = "JTAG_VnxScanDump",
    .has_chain_selector = false,
    .long_usage = "JTAG_VnxScanDump <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    .setup_line = "Setting up for Vornex Scan Dump",
    .set_up = select_vornex_chain,
    .shift = ChainShift::SelectedPath,
    .switches_accelerator = false,
    .select_ir_after = false,
};

}  // namespace

JTAGBOX_COMMAND(1, JTAG_CapDR_To_Exit1DR, cmd_capdr_to_exit1dr, kCapDRToExit1DR.long_usage, "-a -f= -r");
JTAGBOX_COMMAND(14, JTAG_ScanDump, cmd_scan_dump, kScanDump.long_usage, "-a -f= -r");
JTAGBOX_COMMAND(15, JTAG_ScanDR_Path, cmd_scan_dr_path, kScanDRPath.long_usage, "-a -f= -r");
JTAGBOX_COMMAND(20, JTAG_VnxScanDump, cmd_vnx_scan_dump, kVnxScanDump.long_usage, "-a -f= -r");

const scandump::Variant &scandump::processor_scan_dump() { return kScanDump; }
const scandump::Variant &scandump::vornex_scan_dump() { return kVnxScanDump; }

int cmd_scan_dump(int argc, char **argv) { return scandump::run(kScanDump, argc, argv); }
int cmd_scan_dr_path(int argc, char **argv) { return scandump::run(kScanDRPath, argc, argv); }
int cmd_capdr_to_exit1dr(int argc, char **argv) { return scandump::run(kCapDRToExit1DR, argc, argv); }
int cmd_vnx_scan_dump(int argc, char **argv) { return scandump::run(kVnxScanDump, argc, argv); }

}  // namespace jtagbox
