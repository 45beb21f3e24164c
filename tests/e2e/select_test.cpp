// JTAG_CPUSelect, JTAG_VNXSelect and JTAG_VnxClockStop: output, status and
// operations, and what the selection and the clock stop leave on the board.
#include <sstream>

#include "board_view.h"

namespace {

using namespace e2e;

class Select : public FreshBoardTest {};

// Each choice writes its word (processor 1's is 0x3, not 0x2) and the chain follows at once; a
// number counts by its low eight bits; -d shows the register before and after, bit 8 (the accelerator) kept.
TEST_F(Select, EachChoiceWritesItsWordAndRoutesTheChain) {
  JTAGBOX_SIM_ONLY();  // the scan-mode register is the in-process board's
  for (const std::string c :
       {"CPU 0 0x1 0x01 (processor 0)", "CPU 1 0x3 0x03 (processor 1)", "CPU 2 0x4 0x04 (processor 2)",
        "CPU 259 0x5 0x05 (processor 3)", "CPU fullscan 0x0 0x00 (full scan)", "CPU scandump 0x2 0x02 (scan dump)",
        "VNX 0 0x7 0x07 (Vornex chip 0)", "VNX 1 0x47 0x47 (Vornex chip 1)", "VNX 2 0x87 0x87 (Vornex chip 2)",
        "VNX 3 0xc7 0xc7 (Vornex chip 3)"}) {
    std::istringstream in(c);
    std::string command, arg, word, shown;
    std::getline(in >> command >> arg >> word >> std::ws, shown);
    const Lines trace = {"JTAG_system_scan_mode_select " + word};
    play("JTAG_" + command + "Select", {{{}, {arg}, "", {{"line scan mode:", "scan mode: " + shown}}, 0, "", trace}});
  }
  const std::string cpu =
      "JTAG_CPUSelect: Error: Invalid system scan mode.\nJTAG_CPUSelect <cpu# | fullscan | scandump> [-d=<level>] "
      "[-h]\n\n";
  const std::string debug = "JTAG_VNXSelect: scan_mode = 0x187\nJTAG_VNXSelect: scan_mode = 0x147\n";
  const Lines reading = {"JTAG_read_scan_control_reg", "JTAG_system_scan_mode_select 0x47",
                         "JTAG_read_scan_control_reg"};
  check("JTAG_CPUSelect", {{{"1", "4"}, 1, cpu, {}}});
  play("JTAG_VNXSelect", {{{"accelerator=1", "scan_mode=0x87"}, {"-d", "abc", "1"}, debug, {}, 0, "", reading}});
}

// JTAG_VnxClockStop sets bit 0 of 0xcb1000, its other bits and the other registers as they were;
// -d reads it back.
TEST_F(Select, ClockStopSetsBitZeroAndKeepsTheOthers) {
  JTAGBOX_SIM_ONLY();  // the FPGA's registers are the in-process board's
  const Lines ops = {"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 0x5b", "fpga_get8 0xcb1000"};
  const std::vector<std::pair<std::string, std::string>> after = {
      {"line   0xcb1000", "  0xcb1000 = 0x5b (KESTA_MORVIN_ONLY_MISC_CSR)"}, {"line   0xcb1004", "  0xcb1004 = 0x55"}};
  const Lines seed = {"fpga.0xcb1000=0x5a", "fpga.0xcb1004=0x55"}, args = {"-d", "3"};
  play("JTAG_VnxClockStop", {{seed, args, "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0x5b\n", after, 0, "", ops}});
}

}  // namespace
