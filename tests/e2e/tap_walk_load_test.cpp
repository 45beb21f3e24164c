// JTAG_TMS, JTAG_Tck, JTAG_LoadIR, JTAG_LoadDR and JTAG_ScanIR_Path: exact
// output, exit status and platform operations, and what they leave in the
// board's TAPs.
#include "board_view.h"

namespace {

using namespace e2e;

Lines repeat(const std::string &line, int times) { return Lines(size_t(times), line); }

class TapWalk : public FreshBoardTest {};

TEST_F(TapWalk, TmsTakesExactlyOneWordAndNoOptions) {
  const std::string usage = "ERROR: Usage JTAG_TMS <value(0 or 1)>\n";
  check("JTAG_TMS", {
                        {{"1"}, 0, "", {"JTAG_SetTms 1"}},
                        {{"0"}, 0, "", {"JTAG_SetTms 0"}},
                        // Not options, and passed on unchanged: atoi of the text.
                        {{"-h"}, 0, "", {"JTAG_SetTms 0"}},
                        {{"high"}, 0, "", {"JTAG_SetTms 0"}},
                        {{"5"}, 0, "", {"JTAG_SetTms 5"}},
                        {{"1x"}, 0, "", {"JTAG_SetTms 1"}},
                        {{}, 1, usage, {}},
                        {{"1", "-d"}, 1, usage, {}},
                        {{"1", "0"}, 1, usage, {}},
                    });
}

TEST_F(TapWalk, TckGivesExactlyTheCountOfCycles) {
  const std::string help = "JTAG_Tck <data> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_Tck: ERROR, Value not specified !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";
  const std::string not_positive =
      "JTAG_Tck: ERROR, Value needs to be greater than 0 !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";
  const std::string tick = "cycle_tclk";
  check("JTAG_Tck", {
                        {{"5"}, 0, "", repeat(tick, 5)},
                        {{"1"}, 0, "", repeat(tick, 1)},
                        {{"5", "-d"}, 0, "JTAG_Tck: Cycling TCK 5 times\n", repeat(tick, 5)},
                        {{"-d=2", "2"}, 0, "JTAG_Tck: Cycling TCK 2 times\n", repeat(tick, 2)},
                        {{"-d", "-d=0", "2"}, 0, "", repeat(tick, 2)},
                        {{"3", "7"}, 0, "", repeat(tick, 7)},    // the last value wins
                        {{"7", "abc"}, 0, "", repeat(tick, 7)},  // a non-number leaves it
                        {{"2x"}, 0, "", repeat(tick, 2)},        // %d stops at the x
                        {{"-q", "3"}, 0, "", repeat(tick, 3)},   // unknown option ignored
                        {{"-h"}, 0, help, {}},
                        {{"3", "-h"}, 0, help, {}},
                        {{"-help", "3"}, 0, help, {}},
                        {{}, 1, missing, {}},
                        // " -3" is positional, "-3" an option letter '3'.
                        {{"0"}, 1, not_positive, {}},
                        {{" -3"}, 1, not_positive, {}},
                        {{"-3"}, 1, not_positive, {}},
                        {{"abc"}, 1, not_positive, {}},
                        {{"-d"}, 1, not_positive, {}},
                        {{"4", "0"}, 1, not_positive, {}},
                    });
}

// A walk through the controller, each step its own process: the TAP state
// and the TMS level last from one run to the next.
TEST_F(TapWalk, TmsAndTckWalkTheControllerAcrossRuns) {
  const struct {
    std::string command, arg, state, tms, ir = "0x02";
  } steps[] = {
      {"JTAG_TMS", "0", "Run-Test/Idle", "0"},
      {"JTAG_Tck", "4", "Run-Test/Idle", "0"},
      {"JTAG_TMS", "1", "Select-DR-Scan", "1"},
      {"JTAG_TMS", "0", "Capture-DR", "0"},
      {"JTAG_Tck", "3", "Shift-DR", "0"},
      {"JTAG_TMS", "1", "Exit1-DR", "1"},
      {"JTAG_TMS", "0", "Pause-DR", "0"},
      {"JTAG_TMS", "1", "Exit2-DR", "1"},
      {"JTAG_Tck", "1", "Update-DR", "1"},  // TCK at the level last driven
      {"JTAG_Tck", "2", "Select-IR-Scan", "1"},
      {"JTAG_TMS", "0", "Capture-IR", "0"},
      {"JTAG_TMS", "1", "Exit1-IR", "1"},
      {"JTAG_TMS", "1", "Update-IR", "1", "0x01"},  // Capture-IR loaded ...01
      {"JTAG_Tck", "3", "Test-Logic-Reset", "1"},
  };
  for (const auto &s : steps) {
    ASSERT_EQ(run(s.command, {s.arg}).status, 0);
    EXPECT_EQ(tap("cpu0"), s.state + ", IR " + s.ir) << s.command << " " << s.arg;
    EXPECT_EQ(get("tms"), "0x" + s.tms) << s.command << " " << s.arg;
  }
}

// ---- IR and DR loads ----

std::string load_op(const std::string &op, const std::string &value, const std::string &mode = "") {
  return op + " \"" + value + "\" 8 0 0 '0'" + mode + " accel=0";
}

const struct Load {
  std::string command, reg;  // reg as the debug lines name it
  Lines (*operations)(const std::string &value);
} kLoads[] = {
    {"JTAG_LoadIR", "IR",
     [](const std::string &v) {
       return Lines{"JTAG_Select_IR", load_op("JTAG_Shift", v)};
     }},
    {"JTAG_LoadDR", "DR",
     [](const std::string &v) {
       return Lines{"JTAG_Select_DR", load_op("JTAG_Shift", v)};
     }},
    {"JTAG_ScanIR_Path", "IR",
     [](const std::string &v) {
       return Lines{"JTAG_SetTms 1", "JTAG_SetTms 0", load_op("JTAG_Shift_internal", v, " 1")};
     }},
};

TEST_F(TapWalk, LoadArgumentsMessagesAndOperations) {
  for (const Load &l : kLoads) {
    const std::string usage = l.command + " <data> [-d=<level>] [-h]\n\n";
    const std::string missing = l.command + ": ERROR, Value not specified !\n" + usage;
    auto debug = [&l](const std::string &shown) {
      return l.command + ": Loading " + l.reg + " with 0x" + shown + "\n" + l.command + ": " + l.reg +
             " loaded with 0x" + shown + "\n";
    };
    check(l.command, {
                         {{"3d"}, 0, "", l.operations("3d")},
                         {{"-d", "3d"}, 0, debug("3d"), l.operations("3d")},
                         {{"3d", "-debug"}, 0, debug("3d"), l.operations("3d")},
                         {{"-d=2", "3d"}, 0, debug("3d"), l.operations("3d")},
                         {{"-d=x", "3d"}, 0, "", l.operations("3d")},
                         {{"-d", "-d=0", "3d"}, 0, "", l.operations("3d")},
                         // The prefix goes to the platform as typed, and shows twice.
                         {{"-d", "0x3d"}, 0, debug("0x3d"), l.operations("0x3d")},
                         {{"3d", "3e"}, 0, "", l.operations("3e")},
                         {{"-q", "3d", "-"}, 0, "", l.operations("3d")},
                         // Longer than two digits: still an 8-bit shift, text untouched.
                         {{"abcdef"}, 0, "", l.operations("abcdef")},
                         // The trace writes the text as a C string literal.
                         {{"z\"\\\t\x01\xff'"}, 0, "", l.operations("z\\\"\\\\\\t\\x01\\xff'")},
                         {{"-h"}, 0, usage, {}},
                         {{"-h", "3d"}, 0, usage, {}},
                         {{"3d", "-h"}, 0, usage, {}},
                         {{"-d", "-help"}, 0, usage, {}},
                         {{}, 1, missing, {}},
                         {{"-d"}, 1, missing, {}},
                         {{"-d", "-q"}, 1, missing, {}},
                     });
  }
}

// What the loads leave: LoadIR's instruction (the text read as a pattern:
// "0x" skipped, cut to the low bits, ended by a non-hex character; a Vornex
// chip's 6-bit IR keeps the last six bits) in the selected device only;
// LoadDR goes through the data register in force (BYPASS or IDCODE) and
// leaves the instruction, TDI at the eighth bit of the value; ScanIR_Path
// loads the IR from Select-DR-Scan, and from Run-Test/Idle its two TMS steps
// lead into the data path.  TMS and TCK move the selected device only.
TEST_F(TapWalk, WhatTheLoadsLeave) {
  const std::string idle = "Run-Test/Idle, IR 0x", reset = "Test-Logic-Reset, IR 0x02";
  const auto ir = [&](const Lines &seed, const std::string &value, const std::string &device, const std::string &code,
                      const std::string &other) {
    return Scenario{seed, {value}, "", {{"tap " + device, idle + code}, {"tap " + other, reset}}};
  };
  play("JTAG_LoadIR",
       {ir({}, "3d", "cpu0", "3d", "cpu1"), ir({}, "0x3d", "cpu0", "3d", "cpu1"), ir({}, "7", "cpu0", "07", "cpu1"),
        ir({}, "1a5", "cpu0", "a5", "cpu1"), ir({}, "ff", "cpu0", "ff", "cpu1"), ir({}, "3d\n", "cpu0", "3d", "cpu1"),
        ir({"scan_mode=0x04"}, "3d", "cpu2", "3d", "cpu0"), ir({"scan_mode=0xc7"}, "0b", "vnx3", "02", "cpu0")});
  play("JTAG_Tck", {ir({"scan_mode=0x47", "tms=0"}, "2", "vnx1", "02", "vnx0")});
  const auto dr = [&](const std::string &code, const std::string &value, const std::string &tdi) {
    return Scenario{{"cpu0.tap=Run-Test/Idle", "cpu0.ir=0x" + code},
                    {value},
                    "",
                    {{"tap cpu0", idle + code}, {"line lines:", "lines: TMS 0, " + tdi}}};
  };
  play("JTAG_LoadDR",
       {dr("3d", "80", "TDI 1"), dr("3d", "17f", "TDI 0"), dr("ff", "7f", "TDI 0"), dr("02", "ff", "TDI 1")});
  play("JTAG_ScanIR_Path", {{{"cpu0.tap=Select-DR-Scan", "tms=1"}, {"3d"}, "", {{"tap cpu0", idle + "3d"}}},
                            {{"cpu0.tap=Run-Test/Idle", "tms=0"}, {"3d"}, "", {{"tap cpu0", idle + "02"}}}});
}

}  // namespace
