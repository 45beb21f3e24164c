// JTAG_TMS, JTAG_Tck, JTAG_LoadIR, JTAG_LoadDR and JTAG_ScanIR_Path: exact
// output, exit status and platform operations, and what they leave in the
// board's TAPs.
#include <string>
#include <vector>

#include "board_view.h"

namespace {

using e2e::FreshBoardTest;
using Lines = std::vector<std::string>;

Lines repeat(const std::string &line, int times) { return Lines(size_t(times), line); }

class TapWalk : public FreshBoardTest {};

constexpr const char *kTmsUsage = "ERROR: Usage JTAG_TMS <value(0 or 1)>\n";

TEST_F(TapWalk, TmsTakesExactlyOneWordAndNoOptions) {
  check("JTAG_TMS", {
                        {{"1"}, 0, "", {"JTAG_SetTms 1"}},
                        {{"0"}, 0, "", {"JTAG_SetTms 0"}},
                        // Not options: atoi of the text.
                        {{"-h"}, 0, "", {"JTAG_SetTms 0"}},
                        {{"-d"}, 0, "", {"JTAG_SetTms 0"}},
                        {{"high"}, 0, "", {"JTAG_SetTms 0"}},
                        // Passed on unchanged, whatever the number.
                        {{"5"}, 0, "", {"JTAG_SetTms 5"}},
                        {{"1x"}, 0, "", {"JTAG_SetTms 1"}},
                        {{}, 1, kTmsUsage, {}},
                        {{"1", "-d"}, 1, kTmsUsage, {}},
                        {{"1", "0"}, 1, kTmsUsage, {}},
                    });
}

constexpr const char *kTckHelp = "JTAG_Tck <data> [-d=<level>] [-h]\n\n";
constexpr const char *kTckMissing = "JTAG_Tck: ERROR, Value not specified !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";
constexpr const char *kTckNotPositive =
    "JTAG_Tck: ERROR, Value needs to be greater than 0 !\nJTAG_Tck <num> [-d=<level>] [-h]\n\n";

TEST_F(TapWalk, TckGivesExactlyTheCountOfCycles) {
  const std::string tick = "cycle_tclk";
  check("JTAG_Tck", {
                        {{"5"}, 0, "", repeat(tick, 5)},
                        {{"1"}, 0, "", repeat(tick, 1)},
                        {{"5", "-d"}, 0, "JTAG_Tck: Cycling TCK 5 times\n", repeat(tick, 5)},
                        {{"-d=2", "2"}, 0, "JTAG_Tck: Cycling TCK 2 times\n", repeat(tick, 2)},
                        {{"-d", "-d=0", "2"}, 0, "", repeat(tick, 2)},
                        {{"3", "7"}, 0, "", repeat(tick, 7)},           // the last value wins
                        {{"7", "abc"}, 0, "", repeat(tick, 7)},         // a non-number leaves it
                        {{"2x"}, 0, "", repeat(tick, 2)},               // %d stops at the x
                        {{"-q", "3"}, 0, "", repeat(tick, 3)},          // unknown option ignored
                        {{"-h"}, 0, kTckHelp, {}},
                        {{"3", "-h"}, 0, kTckHelp, {}},
                        {{"-help", "3"}, 0, kTckHelp, {}},
                        {{}, 1, kTckMissing, {}},
                        {{"0"}, 1, kTckNotPositive, {}},
                        {{" -3"}, 1, kTckNotPositive, {}},              // positional, read as -3
                        {{"-3"}, 1, kTckNotPositive, {}},               // an option letter '3'
                        {{"abc"}, 1, kTckNotPositive, {}},
                        {{"-d"}, 1, kTckNotPositive, {}},
                        {{"4", "0"}, 1, kTckNotPositive, {}},
                    });
}

// One hand walk through the controller, each step its own process: the TAP
// state and the TMS level must last from one run to the next.
TEST_F(TapWalk, TmsAndTckWalkTheControllerAcrossRuns) {
  struct Step {
    std::string command;
    std::vector<std::string> args;
    std::string state;
    std::string lines;
    std::string ir = "0x02";
  };
  const Step steps[] = {
      {"JTAG_TMS", {"0"}, "Run-Test/Idle", "lines: TMS 0"},
      {"JTAG_Tck", {"4"}, "Run-Test/Idle", "lines: TMS 0"},
      {"JTAG_TMS", {"1"}, "Select-DR-Scan", "lines: TMS 1"},
      {"JTAG_TMS", {"0"}, "Capture-DR", "lines: TMS 0"},
      {"JTAG_Tck", {"3"}, "Shift-DR", "lines: TMS 0"},
      {"JTAG_TMS", {"1"}, "Exit1-DR", "lines: TMS 1"},
      {"JTAG_TMS", {"0"}, "Pause-DR", "lines: TMS 0"},
      {"JTAG_TMS", {"1"}, "Exit2-DR", "lines: TMS 1"},
      {"JTAG_Tck", {"1"}, "Update-DR", "lines: TMS 1"},  // TCK at the level last driven
      {"JTAG_Tck", {"2"}, "Select-IR-Scan", "lines: TMS 1"},
      {"JTAG_TMS", {"0"}, "Capture-IR", "lines: TMS 0"},
      {"JTAG_TMS", {"1"}, "Exit1-IR", "lines: TMS 1"},
      // Capture-IR loaded ...01; Update-IR makes it the instruction.
      {"JTAG_TMS", {"1"}, "Update-IR", "lines: TMS 1", "0x01"},
      {"JTAG_Tck", {"3"}, "Test-Logic-Reset", "lines: TMS 1"},
  };
  for (const Step &s : steps) {
    ASSERT_EQ(run(s.command, s.args).status, 0);
    const std::string show = sim({"show"});
    const std::string label = s.command + " " + s.args[0] + " -> " + s.state;
    EXPECT_EQ(e2e::tap_of(show, "cpu0"), s.state + ", IR " + s.ir) << label;
    EXPECT_EQ(e2e::line_starting(show, "lines:").substr(0, 12), s.lines) << label;
  }
}

TEST_F(TapWalk, FiveTimesTmsOneReachesTestLogicResetFromEveryState) {
  const char *states[] = {"Test-Logic-Reset", "Run-Test/Idle", "Select-DR-Scan", "Capture-DR",
                          "Shift-DR",         "Exit1-DR",      "Pause-DR",       "Exit2-DR",
                          "Update-DR",        "Select-IR-Scan", "Capture-IR",    "Shift-IR",
                          "Exit1-IR",         "Pause-IR",      "Exit2-IR",       "Update-IR"};
  for (const char *state : states) {
    fresh();
    sim({"set", std::string("cpu0.tap=") + state, "tms=0"});
    for (int i = 0; i < 5; ++i) ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);
    EXPECT_EQ(tap("cpu0"), "Test-Logic-Reset, IR 0x02") << "from " << state;
    EXPECT_EQ(trace(), repeat("JTAG_SetTms 1", 5));
  }
}

TEST_F(TapWalk, TmsOneThenZeroFromIdleReachesCaptureDR) {
  sim({"set", "cpu0.tap=Run-Test/Idle", "tms=0"});
  run("JTAG_TMS", {"1"});
  EXPECT_EQ(tap("cpu0"), "Select-DR-Scan, IR 0x02");
  run("JTAG_TMS", {"0"});
  EXPECT_EQ(tap("cpu0"), "Capture-DR, IR 0x02");
}

// ---- IR and DR loads ----

struct Load {
  std::string command;
  std::string reg;  // "IR" or "DR", as the debug lines name it
  // The operations for a value, in order.
  Lines (*operations)(const std::string &value);
};

std::string shift_line(const std::string &op, const std::string &value, const std::string &mode = "") {
  return op + " \"" + value + "\" 8 0 0 '0'" + mode + " accel=0";
}

const Load kLoads[] = {
    {"JTAG_LoadIR", "IR", [](const std::string &v) { return Lines{"JTAG_Select_IR", shift_line("JTAG_Shift", v)}; }},
    {"JTAG_LoadDR", "DR", [](const std::string &v) { return Lines{"JTAG_Select_DR", shift_line("JTAG_Shift", v)}; }},
    {"JTAG_ScanIR_Path", "IR",
     [](const std::string &v) {
       return Lines{"JTAG_SetTms 1", "JTAG_SetTms 0", shift_line("JTAG_Shift_internal", v, " 1")};
     }},
};

class Loads : public TapWalk {};

TEST_F(Loads, ArgumentsMessagesAndOperations) {
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
                         {{"zz"}, 0, "", l.operations("zz")},
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

TEST_F(Loads, LoadIRLeavesTheInstructionInTheIR) {
  const std::pair<std::string, std::string> cases[] = {
      {"3d", "0x3d"}, {"0x3d", "0x3d"}, {"7", "0x07"}, {"1a5", "0xa5"}, {"ff", "0xff"}, {"3d\n", "0x3d"},
  };
  for (const auto &[value, ir] : cases) {
    fresh();
    ASSERT_EQ(run("JTAG_LoadIR", {value}).status, 0);
    EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR " + ir) << value;
    EXPECT_EQ(tap("cpu1"), "Test-Logic-Reset, IR 0x02") << "only the selected device moves";
  }
}

TEST_F(Loads, LoadDRGoesThroughTheDataPathAndKeepsTheInstruction) {
  // The IR keeps what LoadIR put there; the last TDI level driven is the
  // eighth bit of the value, the last one shifted (least significant first).
  const std::pair<std::string, std::string> cases[] = {{"80", "TDI 1"}, {"17f", "TDI 0"}, {"7f", "TDI 0"},
                                                       {"ff", "TDI 1"}};
  for (const auto &[value, tdi] : cases) {
    fresh();
    run("JTAG_LoadIR", {"3d"});
    ASSERT_EQ(run("JTAG_LoadDR", {value}).status, 0);
    const std::string show = sim({"show"});
    EXPECT_EQ(e2e::tap_of(show, "cpu0"), "Run-Test/Idle, IR 0x3d") << value;
    EXPECT_EQ(e2e::line_starting(show, "lines:"), "lines: TMS 0, " + tdi) << value;
  }
  // BYPASS (an instruction the chip does not know) and IDCODE alike.
  for (const char *ir : {"ff", "02"}) {
    fresh();
    run("JTAG_LoadIR", {ir});
    run("JTAG_LoadDR", {"a5"});
    EXPECT_EQ(tap("cpu0"), std::string("Run-Test/Idle, IR 0x") + ir);
  }
}

TEST_F(Loads, ScanIRPathLoadsTheIRFromSelectDRScan) {
  sim({"set", "cpu0.tap=Run-Test/Idle", "tms=0"});
  run("JTAG_TMS", {"1"});
  ASSERT_EQ(tap("cpu0"), "Select-DR-Scan, IR 0x02");
  ASSERT_EQ(run("JTAG_ScanIR_Path", {"3d"}).status, 0);
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x3d");

  // From Run-Test/Idle the two TMS steps lead into Capture-DR instead: the
  // value goes through the data path and the IR is left alone.
  fresh();
  sim({"set", "cpu0.tap=Run-Test/Idle", "tms=0"});
  run("JTAG_ScanIR_Path", {"3d"});
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
}

}  // namespace
