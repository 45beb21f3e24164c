// JTAG_TMS, JTAG_Tck and the 8-bit loads (JTAG_LoadIR, JTAG_LoadDR,
// JTAG_ScanIR_Path): messages, operations, and what they leave in the TAPs.
#include "board_view.h"

namespace {

using namespace e2e;

class TapWalk : public FreshBoardTest {};

// TMS takes atoi of exactly one word; Tck the last number given, which must be above 0.
TEST_F(TapWalk, TmsAndTckCommandLines) {
  check("JTAG_TMS",
        {{{"1x"}, 0, "", {"JTAG_SetTms 1"}}, {{"1", "-d"}, 1, "ERROR: Usage JTAG_TMS <value(0 or 1)>\n", {}}});
  const std::string usage = "JTAG_Tck <num> [-d=<level>] [-h]\n\n";
  check("JTAG_Tck", {{{"-d", "3", "2x"}, 0, "JTAG_Tck: Cycling TCK 2 times\n", clocks_op(2)},
                     {{"0"}, 1, "JTAG_Tck: ERROR, Value needs to be greater than 0 !\n" + usage, {}}});
}

// Each step its own process: the TAP state and the TMS level last from one run to the next.
TEST_F(TapWalk, TmsAndTckWalkTheControllerAcrossRuns) {
  for (const std::string step : {"TMS 0 Run-Test/Idle", "TMS 1 Select-DR-Scan", "TMS 0 Capture-DR", "TMS 1 Exit1-DR",
                                 "TMS 0 Pause-DR", "TMS 1 Exit2-DR", "TMS 0 Shift-DR", "Tck 3 Shift-DR",
                                 "TMS 1 Exit1-DR", "Tck 3 Select-IR-Scan", "TMS 0 Capture-IR", "TMS 1 Exit1-IR",
                                 "TMS 1 Update-IR, IR 0x01", "Tck 3 Test-Logic-Reset"}) {  // Capture-IR loads ...01
    ASSERT_EQ(run("JTAG_" + step.substr(0, 3), {step.substr(4, 1)}).status, 0);
    EXPECT_EQ(tap("cpu0"), step.substr(6) + (step.ends_with("01") ? "" : ", IR 0x02")) << step;
  }
}

// The text goes to the platform as typed (in the trace as a C string literal), always as 8 bits.
TEST_F(TapWalk, LoadCommandLines) {
  for (const std::string c : {"JTAG_LoadIR", "JTAG_LoadDR", "JTAG_ScanIR_Path"}) {
    const std::string reg = c == "JTAG_LoadDR" ? "DR" : "IR", usage = c + " <data> [-d=<level>] [-h]\n\n";
    const auto ops = [&](const std::string &v) {
      if (c == "JTAG_ScanIR_Path") return Lines{"JTAG_SetTms 1", "JTAG_SetTms 0", internal_op(v, 8, 0, 1)};
      return Lines{"JTAG_Select_" + reg, shift_op(v, 8)};
    };
    check(c, {{{"-d", "0x3d"},
               0,
               c + ": Loading " + reg + " with 0x0x3d\n" + c + ": " + reg + " loaded with 0x0x3d\n",
               ops("0x3d")},
              {{"3d", "-d=0", "z\"\\\x01\xff'"}, 0, "", ops("z\\\"\\\\\\x01\\xff'")},
              {{"-d"}, 1, c + ": ERROR, Value not specified !\n" + usage, {}}});
  }
}

// LoadIR loads the selected device only, cut to its IR (a Vornex chip's has 6 bits); LoadDR goes
// through the register in force, TDI left at the value's eighth bit; ScanIR_Path starts in
// Select-DR-Scan (from Run-Test/Idle it leads into the data path); TCK moves the selected device only.
TEST_F(TapWalk, WhatTheLoadsLeave) {
  const std::string idle = "Run-Test/Idle, IR 0x", reset = "Test-Logic-Reset, IR 0x02";
  const auto left = [&](const std::string &seed, const std::string &v, const std::string &here,
                        const std::string &other) {
    return Scenario{
        {seed, "tms=0"}, {v}, "", {{"tap " + here.substr(0, 4), idle + here.substr(5)}, {"tap " + other, reset}}};
  };
  play("JTAG_LoadIR",
       {left("scan_mode=0x04", "0x1a5", "cpu2 a5", "cpu0"), left("scan_mode=0xc7", "0b", "vnx3 02", "cpu0")});
  play("JTAG_Tck", {left("scan_mode=0x47", "2", "vnx1 02", "vnx0")});
  play("JTAG_LoadDR", {{{"cpu0.tap=Run-Test/Idle", "cpu0.ir=0x3d"},
                        {"17f"},
                        "",
                        {{"tap cpu0", idle + "3d"}, {"line lines:", "lines: TMS 0, TDI 0"}}},
                       {{"cpu0.tap=Run-Test/Idle"}, {"80"}, "", {{"line lines:", "lines: TMS 0, TDI 1"}}}});
  play("JTAG_ScanIR_Path", {{{"cpu0.tap=Select-DR-Scan", "tms=1"}, {"3d"}, "", {{"tap cpu0", idle + "3d"}}},
                            {{"cpu0.tap=Run-Test/Idle", "tms=0"}, {"3d"}, "", {{"tap cpu0", idle + "02"}}}});
}

}  // namespace
