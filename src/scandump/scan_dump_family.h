// The scan dumps JTAG_ScanDump, JTAG_ScanDR_Path, JTAG_CapDR_To_Exit1DR and
// JTAG_VnxScanDump are one command with four variants: the same options
// (-a, -f=<infile>, -r, -d, -d=<level>, -h), the same messages under each
// command's own name, the same pair of usage lines and the same file rules
// (files/).  A variant says how many positional words it takes, how it sets
// the chain up, how it shifts the chain and what it does after.
#ifndef JTAGBOX_SCANDUMP_SCAN_DUMP_FAMILY_H
#define JTAGBOX_SCANDUMP_SCAN_DUMP_FAMILY_H

#include <string>

namespace jtagbox::scandump {

// What one run was told on its command line.
struct Request {
  const char *chain_selector = nullptr;  // the word as typed; absent for the Vornex dump
  int length = 0;
  const char *output_name = nullptr;
  std::string input_name;  // from -f=<infile>; empty when none was given
  bool accelerate = false;
  bool recycle = false;
};

enum class ChainShift {
  SelectedPath,   // JTAG_Shift through the path the setup selected
  FromSelectDR,   // JTAG_SetTms(0), then the internal shift to Run-Test/Idle
  FromCaptureDR,  // the internal shift from Capture-DR, ending in Exit1-DR
};

struct Variant {
  const char *name;
  bool has_chain_selector;          // positional group of 3 (else 2: length, file)
  const char *long_usage;           // only after the count test; -h and every
                                    // other usage leave its "-a " out
  const char *setup_line;           // debug line before the setup, or nullptr
  void (*set_up)(const Request &);  // TAP setup before the chain shift
  ChainShift shift;
  bool switches_accelerator;  // -a switches the scan-dump accelerator around the shift
  bool select_ir_after;       // JTAG_Select_IR after the dump
};

int run(const Variant &variant, int argc, char **argv);

// A run's steps after its files are open and its pattern read: the setup,
// the chain shift (with -a as the variant takes it), and what follows; the
// dump as the hex text its output file gets.  An accelerator that will not
// switch throws jtag::PlatformError with the command's line.
std::string dump(const Variant &variant, const Request &request, const std::string &pattern);

// JTAG_ScanDump's and JTAG_VnxScanDump's variants.
const Variant &processor_scan_dump();
const Variant &vornex_scan_dump();

}  // namespace jtagbox::scandump

#endif
