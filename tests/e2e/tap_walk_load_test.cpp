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
                        {{"1"}, 0, "", {"JTAG_SetTms 1"}}, {{"0"}, 0, "", {"JTAG_SetTms 0"}},
                        // Not options, and passed on unchanged: atoi of the text.
                        {{"-h"}, 0, "", {"JTAG_SetTms 0"}}, {{"high"}, 0, "", {"JTAG_SetTms 0"}},
                        {{"5"}, 0, "", {"JTAG_SetTms 5"}}, {{"1x"}, 0, "", {"JTAG_SetTms 1"}},
                        {{}, 1, usage, {}}, {{"1", "-d"}, 1, usage, {}}, {{"1", "0"}, 1, usage, {}},
                    });
}

TEST_F(TapWalk, TckGivesExactlyTheCountOfCycles) {
  const std::string help = "JTAG_Tck <data> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_Tck: ERROR, Value not specified !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";
  const std::string not_positive =
      "JTAG_Tck: ERROR, Value needs to be greater than 0 !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";
  const std::string tick = "cycle_tclk";
  check("JTAG_Tck", {
                        {{"5"}, 0, "", repeat(tick, 5)}, {{"1"}, 0, "", repeat(tick, 1)},
                        {{"5", "-d"}, 0, "JTAG_Tck: Cycling TCK 5 times\n", repeat(tick, 5)},
                        {{"-d=2", "2"}, 0, "JTAG_Tck: Cycling TCK 2 times\n", repeat(tick, 2)},
                        {{"-d", "-d=0", "2"}, 0, "", repeat(tick, 2)},
                        {{"3", "7"}, 0, "", repeat(tick, 7)},    // the last value wins
                        {{"7", "abc"}, 0, "", repeat(tick, 7)},  // a non-number leaves it
                        {{"2x"}, 0, "", repeat(tick, 2)},        // %d stops at the x
                        {{"-q", "3"}, 0, "", repeat(tick, 3)},   // unknown option ignored
                        {{"-h"}, 0, help, {}}, {{"3", "-h"}, 0, help, {}}, {{"-help", "3"}, 0, help, {}},
                        {{}, 1, missing, {}},
                        // " -3" is positional, "-3" an option letter '3'.
                        {{"0"}, 1, not_positive, {}}, {{" -3"}, 1, not_positive, {}}, {{"-3"}, 1, not_positive, {}},
                        {{"abc"}, 1, not_positive, {}}, {{"-d"}, 1, not_positive, {}}, {{"4", "0"}, 1, not_positive, {}},
                    });
}

// A walk through the controller, each step its own process: the TAP state
// and the TMS level last from one run to the next.
TEST_F(TapWalk, TmsAndTckWalkTheControllerAcrossRuns) {
  const struct {
    std::string command, arg, state, tms, ir = "0x02";
  } steps[] = {
      {"JTAG_TMS", "0", "Run-Test/Idle", "0"},   {"JTAG_Tck", "4", "Run-Test/Idle", "0"},
      {"JTAG_TMS", "1", "Select-DR-Scan", "1"},  {"JTAG_TMS", "0", "Capture-DR", "0"},
      {"JTAG_Tck", "3", "Shift-DR", "0"},        {"JTAG_TMS", "1", "Exit1-DR", "1"},
      {"JTAG_TMS", "0", "Pause-DR", "0"},        {"JTAG_TMS", "1", "Exit2-DR", "1"},
      {"JTAG_Tck", "1", "Update-DR", "1"},  // TCK at the level last driven
      {"JTAG_Tck", "2", "Select-IR-Scan", "1"},  {"JTAG_TMS", "0", "Capture-IR", "0"},
      {"JTAG_TMS", "1", "Exit1-IR", "1"},
      {"JTAG_TMS", "1", "Update-IR", "1", "0x01"},  // Capture-IR loaded ...01
      {"JTAG_Tck", "3", "Test-Logic-Reset", "1"},
  };
  for (const auto &s : steps) {
    ASSERT_EQ(run(s.command, {s.arg}).status, 0);
    const std::string shown = show();
    EXPECT_EQ(tap_of(shown, "cpu0"), s.state + ", IR " + s.ir) << s.command << " " << s.arg;
    EXPECT_EQ(line_starting(shown, "lines:").substr(0, 12), "lines: TMS " + s.tms) << s.command << " " << s.arg;
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
    {"JTAG_LoadIR", "IR", [](const std::string &v) { return Lines{"JTAG_Select_IR", load_op("JTAG_Shift", v)}; }},
    {"JTAG_LoadDR", "DR", [](const std::string &v) { return Lines{"JTAG_Select_DR", load_op("JTAG_Shift", v)}; }},
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
                         {{"-h"}, 0, usage, {}}, {{"-h", "3d"}, 0, usage, {}}, {{"3d", "-h"}, 0, usage, {}},
                         {{"-d", "-help"}, 0, usage, {}},
                         {{}, 1, missing, {}}, {{"-d"}, 1, missing, {}}, {{"-d", "-q"}, 1, missing, {}},
                     });
  }
}

// The instruction: eight bits shifted, the text read as the platform reads
// a pattern ("0x" skipped, cut to the low bits, the first non-hex character
// ends it).  Only the selected device moves.
TEST_F(TapWalk, LoadIRLeavesTheInstructionInTheIR) {
  const std::pair<std::string, std::string> cases[] = {
      {"3d", "0x3d"}, {"0x3d", "0x3d"}, {"7", "0x07"}, {"1a5", "0xa5"}, {"ff", "0xff"}, {"3d\n", "0x3d"}};
  for (const auto &[value, ir] : cases) {
    fresh();
    ASSERT_EQ(run("JTAG_LoadIR", {value}).status, 0);
    const std::string shown = show();
    EXPECT_EQ(tap_of(shown, "cpu0"), "Run-Test/Idle, IR " + ir) << value;
    EXPECT_EQ(tap_of(shown, "cpu1"), "Test-Logic-Reset, IR 0x02");
  }
}

// LoadDR goes through the data register the instruction selects (BYPASS or
// IDCODE alike) and keeps the instruction; TDI is left at the last bit
// shifted, the eighth of the value.
TEST_F(TapWalk, LoadDRGoesThroughTheDataPathAndKeepsTheInstruction) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"3d", "80", "TDI 1"}, {"3d", "17f", "TDI 0"}, {"ff", "7f", "TDI 0"}, {"02", "ff", "TDI 1"}};
  for (const auto &[ir, value, tdi] : cases) {
    fresh();
    run("JTAG_LoadIR", {ir});
    ASSERT_EQ(run("JTAG_LoadDR", {value}).status, 0);
    const std::string shown = show();
    EXPECT_EQ(tap_of(shown, "cpu0"), "Run-Test/Idle, IR 0x" + ir) << value;
    EXPECT_EQ(line_starting(shown, "lines:"), "lines: TMS 0, " + tdi) << value;
  }
}

// From Select-DR-Scan JTAG_ScanIR_Path loads the IR; from Run-Test/Idle its
// two TMS steps lead into Capture-DR and the IR is left alone.
TEST_F(TapWalk, ScanIRPathLoadsTheIRFromSelectDRScan) {
  for (const auto &[start, ir] : {std::pair<std::string, std::string>{"Select-DR-Scan", "0x3d"},
                                  std::pair<std::string, std::string>{"Run-Test/Idle", "0x02"}}) {
    fresh();
    sim({"set", "cpu0.tap=Run-Test/Idle", "tms=0"});
    if (start == "Select-DR-Scan") run("JTAG_TMS", {"1"});
    ASSERT_EQ(tap("cpu0"), start + ", IR 0x02");
    ASSERT_EQ(run("JTAG_ScanIR_Path", {"3d"}).status, 0);
    EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR " + ir) << start;
  }
}

}  // namespace
