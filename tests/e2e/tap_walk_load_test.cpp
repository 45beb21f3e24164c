// The commands that steer the TAPs and the scan path: TMS, TCK, loads, selections.
#include <sstream>

#include "board_view.h"

namespace {

using namespace e2e;

class TapWalk : public FreshBoardTest {};

// TMS takes atoi of exactly one word, Tck the last number given, above 0.  Each step its own
// process: the TAP state and the TMS level last from one run to the next.
TEST_F(TapWalk, TmsAndTckWalkTheControllerAcrossRuns) {
  check("JTAG_TMS",
        {{{"1x"}, 0, "", {"JTAG_SetTms 1"}}, {{"1", "-d"}, 1, "ERROR: Usage JTAG_TMS <value(0 or 1)>\n", {}}});
  const std::string usage = "JTAG_Tck <num> [-d=<level>] [-h]\n\n";
  check("JTAG_Tck", {{{"-d", "3", "2x"}, 0, "JTAG_Tck: Cycling TCK 2 times\n", clocks_op(2)},
                     {{"0"}, 1, "JTAG_Tck: ERROR, Value needs to be greater than 0 !\n" + usage, {}}});
  for (const std::string step : {"TMS 0 Run-Test/Idle", "TMS 1 Select-DR-Scan", "TMS 0 Capture-DR", "TMS 1 Exit1-DR",
                                 "TMS 0 Pause-DR", "TMS 1 Exit2-DR", "TMS 0 Shift-DR", "Tck 3 Shift-DR",
                                 "TMS 1 Exit1-DR", "Tck 3 Select-IR-Scan", "TMS 0 Capture-IR", "TMS 1 Exit1-IR",
                                 "TMS 1 Update-IR, IR 0x01", "Tck 3 Test-Logic-Reset"}) {  // Capture-IR loads ...01
    ASSERT_EQ(run("JTAG_" + step.substr(0, 3), {step.substr(4, 1)}).status, 0);
    EXPECT_EQ(tap("cpu0"), step.substr(6) + (step.ends_with("01") ? "" : ", IR 0x02")) << step;
  }
}

// The text goes to the platform as typed, always as 8 bits.  LoadIR
// loads the selected device only, cut to its IR (a Vornex chip's has 6 bits); LoadDR goes through
// the register in force, TDI left at the value's eighth bit; ScanIR_Path starts in Select-DR-Scan
// (from Run-Test/Idle it leads into the data path); TCK moves the selected device only.
TEST_F(TapWalk, LoadsAndWhatTheyLeave) {
  for (const std::string c : {"JTAG_LoadIR", "JTAG_LoadDR", "JTAG_ScanIR_Path"}) {
    const std::string reg = c == "JTAG_LoadDR" ? "DR" : "IR", usage = c + " <data> [-d=<level>] [-h]\n\n";
    const std::string debug = c + ": Loading " + reg + " with 0x0x3d\n" + c + ": " + reg + " loaded with 0x0x3d\n";
    const auto ops = [&](const std::string &v) {
      if (c == "JTAG_ScanIR_Path") return Lines{"JTAG_SetTms 1", "JTAG_SetTms 0", internal_op(v, 8, 0, 1)};
      return Lines{"JTAG_Select_" + reg, shift_op(v, 8)};
    };
    check(c,
          {{{"-d", "0x3d"}, 0, debug, ops("0x3d")}, {{"-d"}, 1, c + ": ERROR, Value not specified !\n" + usage, {}}});
  }
  const std::string idle = "Run-Test/Idle, IR 0x", reset = "Test-Logic-Reset, IR 0x02";
  const auto left = [&](const std::string &seed, const std::string &v, const std::string &here,
                        const std::string &other) {
    return Scenario{
        {seed, "tms=0"}, {v}, "", {{"tap " + here.substr(0, 4), idle + here.substr(5)}, {"tap " + other, reset}}};
  };
  play("JTAG_LoadIR",
       {left("scan_mode=0x04", "0x1a5", "cpu2 a5", "cpu0"), left("scan_mode=0xc7", "0b", "vnx3 02", "cpu0")});
  play("JTAG_Tck", {left("scan_mode=0x47", "2", "vnx1 02", "vnx0")});
  const Lines dr_seed = {"cpu0.tap=Run-Test/Idle", "cpu0.ir=0x3d"};
  play("JTAG_LoadDR", {{dr_seed, {"17f"}, "", {{"tap cpu0", idle + "3d"}, {"line lines:", "lines: TMS 0, TDI 0"}}}});
  play("JTAG_ScanIR_Path", {{{"cpu0.tap=Select-DR-Scan", "tms=1"}, {"3d"}, "", {{"tap cpu0", idle + "3d"}}},
                            {{"cpu0.tap=Run-Test/Idle", "tms=0"}, {"3d"}, "", {{"tap cpu0", idle + "02"}}}});
}

class Select : public FreshBoardTest {};

// Each choice writes its word (processor 1's is 0x3, not 0x2; a number counts by its low eight
// bits) and the chain follows; -d shows the register before and after, bit 8 (the accelerator) kept.
TEST_F(Select, ChoicesRouteTheChainAndTheClockStops) {
  JTAGBOX_SIM_ONLY();  // the scan-mode and FPGA registers are the in-process board's
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
  const std::string debug = "JTAG_VNXSelect: scan_mode = 0x187\nJTAG_VNXSelect: scan_mode = 0x147\n";
  const Lines reading = {"JTAG_read_scan_control_reg", "JTAG_system_scan_mode_select 0x47",
                         "JTAG_read_scan_control_reg"};
  play("JTAG_VNXSelect", {{{"accelerator=1", "scan_mode=0x87"}, {"-d", "abc", "1"}, debug, {}, 0, "", reading}});
  // JTAG_VnxClockStop sets bit 0 of 0xcb1000, the other bits and registers as they were; -d reads it back.
  const Lines seed = {"fpga.0xcb1000=0x5a", "fpga.0xcb1004=0x55"}, args = {"-d", "3"};
  const Lines ops = {"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 0x5b", "fpga_get8 0xcb1000"};
  const std::vector<std::pair<std::string, std::string>> after = {
      {"line   0xcb1000", "  0xcb1000 = 0x5b (KESTA_MORVIN_ONLY_MISC_CSR)"}, {"line   0xcb1004", "  0xcb1004 = 0x55"}};
  play("JTAG_VnxClockStop", {{seed, args, "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0x5b\n", after, 0, "", ops}});
}

}  // namespace
