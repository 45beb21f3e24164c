// The FPGA's scan-mode switch, which routes the JTAG chain.  Its word:
//   bits 2..0  0 full scan, 1 processor 0, 2 scan dump, 3 processor 1,
//              4 processor 2, 5 processor 3, 7 Vornex chip
//   bits 7..6  the Vornex chip (with code 7 only)
// Processor 1 is code 3, not 2: code 2 is the scan-dump path.
#ifndef JTAGBOX_SELECT_SCAN_MODE_H
#define JTAGBOX_SELECT_SCAN_MODE_H

namespace jtagbox {

inline constexpr unsigned kScanModeDevices = 4;  // processors, and Vornex chips
inline constexpr unsigned kFullScanWord = 0x0;
inline constexpr unsigned kScanDumpWord = 0x2;

// The word for processor or Vornex chip `number` (0..3).
unsigned processor_mode_word(unsigned number);
unsigned vornex_mode_word(unsigned number);

// The step JTAG_CPUSelect and JTAG_VNXSelect end in: `word` handed to the
// switch.  Nothing is read back and merged; with debugging on, the scan
// control register is shown before and after, under `name`.
void select_scan_mode(const char *name, unsigned word);

}  // namespace jtagbox

#endif
