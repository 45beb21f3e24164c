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
#include <cstdio>
#include <cstdlib>

#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "scandump/scan_dump_family.h"

namespace jtagbox {
namespace {

using scandump::ChainShift;
using scandump::Request;
using scandump::Variant;

constexpr int kProcessorIrBits = 8;
constexpr int kChainSelectBits = 6;
constexpr int kVornexIrBits = 6;
constexpr int kVornexModeBits = 16;

void load_instruction(const char *code, int bits) {
  JTAG_Select_IR();
  std::free(JTAG_Shift(code, bits, 0, 0, '0'));
}

void load_data(const char *value, int bits) {
  JTAG_Select_DR();
  std::free(JTAG_Shift(value, bits, 0, 0, '0'));
}

void select_processor_chain(const Request &r) {
  load_instruction("88", kProcessorIrBits);  // scan access on
  load_instruction("81", kProcessorIrBits);  // chain-select register
  load_data(r.chain_selector, kChainSelectBits);
  load_instruction("80", kProcessorIrBits);  // the selected chain
  JTAG_Select_DR();
}

void select_vornex_chain(const Request &) {
  load_instruction("3D", kVornexIrBits);
  load_instruction("0A", kVornexIrBits);
  load_data("01e0", kVornexModeBits);
  load_instruction("3E", kVornexIrBits);
  JTAG_Select_DR();
}

void no_setup(const Request &) {}

void print_chain_start(const char *name, const Request &r) {
  std::printf("%s: Starting Scandump of chainsel=%s (%d) to file %s \n", name, r.chain_selector, r.length,
              r.output_name);
}

const Variant kScanDump = {
    "JTAG_ScanDump",
    true,
    "JTAG_ScanDump: ERROR, ChainSel/Length/File not specified !",
    "JTAG_ScanDump: ERROR, Chainsel/Length/File not specified !",
    "JTAG_ScanDump <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    "JTAG_ScanDump <chainsel> <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n",
    [](const Request &r) { print_chain_start("JTAG_ScanDump", r); },
    "Setting up for Scan Dump",
    select_processor_chain,
    ChainShift::SelectedPath,
    false,
    true,
};

const Variant kScanDRPath = {
    "JTAG_ScanDR_Path",
    true,
    "JTAG_ScanDR_Path: ERROR, ChainSel/Length/File not specified !",
    "JTAG_ScanDR_Path: ERROR, Chainsel/Length/File not specified !",
    "JTAG_ScanDR_Path <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    "JTAG_ScanDR_Path <chainsel> <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n",
    [](const Request &r) { print_chain_start("JTAG_ScanDR_Path", r); },
    nullptr,
    no_setup,
    ChainShift::FromSelectDR,
    true,
    false,
};

const Variant kCapDRToExit1DR = {
    "JTAG_CapDR_To_Exit1DR",
    true,
    "JTAG_CapDR_To_Exit1DR: ERROR, ChainSel/Length/File not specified !",
    "JTAG_CapDR_To_Exit1DR: ERROR, Chainsel/Length/File not specified !",
    "JTAG_CapDR_To_Exit1DR <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    "JTAG_CapDR_To_Exit1DR <chainsel> <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n",
    [](const Request &r) { print_chain_start("JTAG_CapDR_To_Exit1DR", r); },
    nullptr,
    no_setup,
    ChainShift::FromCaptureDR,
    false,
    false,
};

const Variant kVnxScanDump = {
    "JTAG_VnxScanDump",
    false,
    "JTAG_VnxScanDump: ERROR, Length/File not specified !",
    "JTAG_VnxScanDump: ERROR, Length/File not specified !",
    "JTAG_VnxScanDump <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n",
    "JTAG_VnxScanDump <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n",
    [](const Request &r) {
      std::printf("JTAG_VnxScanDump: Starting Scandump (%d) to file %s \n", r.length, r.output_name);
    },
    "Setting up for Vornex Scan Dump",
    select_vornex_chain,
    ChainShift::SelectedPath,
    false,
    false,
};

}  // namespace

int cmd_scan_dump(int argc, char **argv) { return scandump::run(kScanDump, argc, argv); }
int cmd_scan_dr_path(int argc, char **argv) { return scandump::run(kScanDRPath, argc, argv); }
int cmd_capdr_to_exit1dr(int argc, char **argv) { return scandump::run(kCapDRToExit1DR, argc, argv); }
int cmd_vnx_scan_dump(int argc, char **argv) { return scandump::run(kVnxScanDump, argc, argv); }

}  // namespace jtagbox
