// JTAG_CPUSelect, JTAG_VNXSelect and JTAG_VnxClockStop: exact output, exit
// status and platform operations, and what the selection and the clock stop
// leave on the board.
#include <string>
#include <vector>

#include "board_view.h"

namespace {

using e2e::FreshBoardTest;
using Lines = std::vector<std::string>;

class Select : public FreshBoardTest {};

Lines selects(const std::string &word) { return {"JTAG_system_scan_mode_select " + word}; }
Lines selects_reading(const std::string &word) {
  return {"JTAG_read_scan_control_reg", "JTAG_system_scan_mode_select " + word, "JTAG_read_scan_control_reg"};
}

constexpr const char *kCpuUsage = "JTAG_CPUSelect <cpu# | fullscan | scandump> [-d=<level>] [-h]\n\n";
const std::string kCpuMissing = "JTAG_CPUSelect: ERROR, value not specified!\n" + std::string(kCpuUsage);
const std::string kCpuInvalid = "JTAG_CPUSelect: Error: Invalid system scan mode.\n" + std::string(kCpuUsage);

TEST_F(Select, CpuSelectWordsMessagesAndOperations) {
  JTAGBOX_SIM_ONLY();
  check("JTAG_CPUSelect",
        {
            {{"0"}, 0, "", selects("0x1")},
            {{"1"}, 0, "", selects("0x3")},  // not 0x2: that is the scan-dump path
            {{"2"}, 0, "", selects("0x4")},
            {{"3"}, 0, "", selects("0x5")},
            {{"fullscan"}, 0, "", selects("0x0")},
            {{"scandump"}, 0, "", selects("0x2")},
            {{"256"}, 0, "", selects("0x1")},  // only the low eight bits count
            {{"259"}, 0, "", selects("0x5")},
            {{"2abc"}, 0, "", selects("0x4")},
            {{"03"}, 0, "", selects("0x5")},
            {{"1", "fullscan"}, 0, "", selects("0x0")},  // the last value wins
            {{"fullscan", "1"}, 0, "", selects("0x3")},
            {{"-x", "3"}, 0, "", selects("0x5")},
            {{"-", "3"}, 0, "", selects("0x5")},
            {{"-d=0", "3"}, 0, "", selects("0x5")},
            {{"-d", "1"}, 0, "JTAG_CPUSelect: scan_mode = 0x1\nJTAG_CPUSelect: scan_mode = 0x3\n", selects_reading("0x3")},
            {{"2", "-debug"}, 0, "JTAG_CPUSelect: scan_mode = 0x1\nJTAG_CPUSelect: scan_mode = 0x4\n",
             selects_reading("0x4")},
            {{"-d=7", "fullscan"}, 0, "JTAG_CPUSelect: scan_mode = 0x1\nJTAG_CPUSelect: scan_mode = 0x0\n",
             selects_reading("0x0")},
            {{"260"}, 1, kCpuInvalid, {}},
            {{"4"}, 1, kCpuInvalid, {}},
            {{"FULLSCAN"}, 1, kCpuInvalid, {}},
            {{"fullscann"}, 1, kCpuInvalid, {}},
            {{" 3"}, 1, kCpuInvalid, {}},  // the first character is not a digit
            {{"7", "-h"}, 1, kCpuInvalid, {}},
            {{"1", "4"}, 1, kCpuInvalid, {}},  // judged as it comes
            {{"4", "1"}, 1, kCpuInvalid, {}},
            {{"-h", "7"}, 0, kCpuUsage, {}},
            {{"-help"}, 0, kCpuUsage, {}},
            {{"-d", "-h"}, 0, kCpuUsage, {}},
            {{}, 1, kCpuMissing, {}},
            {{"-d"}, 1, kCpuMissing, {}},
            {{"-1"}, 1, kCpuMissing, {}},
        });
}

constexpr const char *kVnxUsage = "JTAG_VNXSelect <vnx#> [-d=<level>] [-h]\n\n";
const std::string kVnxNoArgs = "JTAG_VNXSelect: ERROR, value not specified!\n" + std::string(kVnxUsage);
const std::string kVnxMissing = "JTAG_VNXSelect: Error: Vornex not specified.\n" + std::string(kVnxUsage);
const std::string kVnxInvalid = "JTAG_VNXSelect: Error: Invalid system scan mode.\n" + std::string(kVnxUsage);

TEST_F(Select, VnxSelectWordsMessagesAndOperations) {
  JTAGBOX_SIM_ONLY();
  check("JTAG_VNXSelect",
        {
            {{"0"}, 0, "", selects("0x7")},
            {{"1"}, 0, "", selects("0x47")},
            {{"2"}, 0, "", selects("0x87")},
            {{"3"}, 0, "", selects("0xc7")},
            {{"259"}, 0, "", selects("0xc7")},
            {{"1x"}, 0, "", selects("0x47")},
            {{"abc", "2"}, 0, "", selects("0x87")},
            {{"2", "abc"}, 0, "", selects("0x87")},  // a word that is not a number is ignored
            {{"fullscan", "0"}, 0, "", selects("0x7")},
            {{"3", "1"}, 0, "", selects("0x47")},
            {{"-d", "3"}, 0, "JTAG_VNXSelect: scan_mode = 0x1\nJTAG_VNXSelect: scan_mode = 0xc7\n",
             selects_reading("0xc7")},
            {{"4"}, 1, kVnxInvalid, {}},
            {{"260"}, 1, kVnxInvalid, {}},
            {{"9", "-h"}, 1, kVnxInvalid, {}},
            {{"-h", "9"}, 0, kVnxUsage, {}},
            {{}, 1, kVnxNoArgs, {}},
            {{"abc"}, 1, kVnxMissing, {}},
            {{"-1"}, 1, kVnxMissing, {}},
            {{"-d"}, 1, kVnxMissing, {}},
            {{"fullscan"}, 1, kVnxMissing, {}},
        });
}

TEST_F(Select, SelectionRoutesTheChainAndLasts) {
  JTAGBOX_SIM_ONLY();
  struct Route {
    std::string command;
    std::string arg;
    std::string idcode;
    std::string shown;
  };
  const Route routes[] = {
      {"JTAG_CPUSelect", "0", "0bc0e06b", "scan mode: 0x01 (processor 0)"},
      {"JTAG_CPUSelect", "1", "1bc0e06b", "scan mode: 0x03 (processor 1)"},
      {"JTAG_CPUSelect", "2", "2bc0e06b", "scan mode: 0x04 (processor 2)"},
      {"JTAG_CPUSelect", "3", "3bc0e06b", "scan mode: 0x05 (processor 3)"},
      // Several devices: the one nearest TDO answers the 32-bit read.
      {"JTAG_CPUSelect", "fullscan", "34a56093", "scan mode: 0x00 (full scan)"},
      {"JTAG_CPUSelect", "scandump", "3bc0e06b", "scan mode: 0x02 (scan dump)"},
      {"JTAG_VNXSelect", "0", "04a56093", "scan mode: 0x07 (Vornex chip 0)"},
      {"JTAG_VNXSelect", "1", "14a56093", "scan mode: 0x47 (Vornex chip 1)"},
      {"JTAG_VNXSelect", "2", "24a56093", "scan mode: 0x87 (Vornex chip 2)"},
      {"JTAG_VNXSelect", "3", "34a56093", "scan mode: 0xc7 (Vornex chip 3)"},
  };
  for (const Route &r : routes) {
    fresh();
    ASSERT_EQ(run(r.command, {r.arg}).status, 0);
    EXPECT_EQ(run("JTAG_Reset").out, "IDCODE = " + r.idcode + "\n") << r.command << " " << r.arg;
    EXPECT_EQ(e2e::line_starting(sim({"show"}), "scan mode:"), r.shown);
  }
}

TEST_F(Select, ScanControlRegisterShowsTheWordLastWritten) {
  JTAGBOX_SIM_ONLY();
  run("JTAG_VNXSelect", {"2"});
  EXPECT_EQ(run("JTAG_CPUSelect", {"-d", "3"}).out,
            "JTAG_CPUSelect: scan_mode = 0x87\nJTAG_CPUSelect: scan_mode = 0x5\n");
  // Bit 8 is the scan-dump accelerator: the selection leaves it alone.
  sim({"set", "accelerator=1"});
  EXPECT_EQ(run("JTAG_VNXSelect", {"-d", "1"}).out,
            "JTAG_VNXSelect: scan_mode = 0x105\nJTAG_VNXSelect: scan_mode = 0x147\n");
}

TEST_F(Select, TapCommandsActOnTheSelectedDevice) {
  JTAGBOX_SIM_ONLY();
  run("JTAG_CPUSelect", {"2"});
  run("JTAG_LoadIR", {"3d"});
  std::string show = sim({"show"});
  EXPECT_EQ(e2e::tap_of(show, "cpu2"), "Run-Test/Idle, IR 0x3d");
  EXPECT_EQ(e2e::tap_of(show, "cpu0"), "Test-Logic-Reset, IR 0x02");

  // A Vornex chip has a 6-bit IR: of the eight bits shifted, the last six stay.
  fresh();
  run("JTAG_VNXSelect", {"3"});
  run("JTAG_LoadIR", {"0b"});
  show = sim({"show"});
  EXPECT_EQ(e2e::tap_of(show, "vnx3"), "Run-Test/Idle, IR 0x02");
  EXPECT_EQ(e2e::tap_of(show, "cpu0"), "Test-Logic-Reset, IR 0x02");

  fresh();
  run("JTAG_VNXSelect", {"1"});
  run("JTAG_TMS", {"0"});
  run("JTAG_Tck", {"2"});
  show = sim({"show"});
  EXPECT_EQ(e2e::tap_of(show, "vnx1"), "Run-Test/Idle, IR 0x02");
  EXPECT_EQ(e2e::tap_of(show, "vnx0"), "Test-Logic-Reset, IR 0x02");
}

// ---- Vornex clock stop ----

const std::string kMiscCsrKey = "fpga.0xcb1000";

std::string csr_line(const std::string &show) { return e2e::line_starting(show, "  0xcb1000 = "); }

TEST_F(Select, ClockStopSetsBitZeroAndKeepsTheOthers) {
  JTAGBOX_SIM_ONLY();
  struct Seed {
    const char *before;  // nullptr: never written since power-up
    const char *written;
    const char *shown;
  };
  const Seed seeds[] = {
      {nullptr, "0x1", "0x01"}, {"0x00", "0x1", "0x01"}, {"0xfe", "0xff", "0xff"},
      {"0x01", "0x1", "0x01"},  {"0x80", "0x81", "0x81"}, {"0x5a", "0x5b", "0x5b"},
  };
  for (const Seed &s : seeds) {
    fresh();
    if (s.before != nullptr) sim({"set", kMiscCsrKey + "=" + s.before, "fpga.0xcb1004=0x55"});
    const auto r = run("JTAG_VnxClockStop");
    const std::string label = s.before != nullptr ? s.before : "power-up";
    EXPECT_EQ(r.status, 0) << label;
    EXPECT_EQ(r.out, "") << label;
    EXPECT_EQ(trace(), (Lines{"fpga_get8 0xcb1000", std::string("fpga_put8 0xcb1000 ") + s.written})) << label;
    const std::string show = sim({"show"});
    EXPECT_EQ(csr_line(show), std::string("  0xcb1000 = ") + s.shown + " (KESTA_MORVIN_ONLY_MISC_CSR)") << label;
    if (s.before != nullptr) {
      EXPECT_EQ(e2e::line_starting(show, "  0xcb1004 = "), "  0xcb1004 = 0x55") << "other registers untouched";
    }
  }
}

TEST_F(Select, ClockStopOptions) {
  JTAGBOX_SIM_ONLY();
  const Lines plain = {"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 0xff"};
  const Lines read_back = {"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 0xff", "fpga_get8 0xcb1000"};
  const std::string usage = "JTAG_VnxClockStop [-d=<level>] [-h]\n\n";
  struct Run {
    std::vector<std::string> args;
    std::string out;
    Lines trace;
  };
  const Run runs[] = {
      {{}, "", plain},
      {{"3"}, "", plain},
      {{"-x", "vnx"}, "", plain},
      {{"-d=0"}, "", plain},
      {{"-d"}, "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0xff\n", read_back},
      {{"-d=3", "2"}, "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0xff\n", read_back},
      {{"-h"}, usage, {}},
      {{"-d", "-h"}, usage, {}},
      {{"-h", "-d"}, usage, {}},
  };
  for (const Run &c : runs) {
    fresh();
    sim({"set", kMiscCsrKey + "=0xfe"});
    const auto r = run("JTAG_VnxClockStop", c.args);
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 0) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(trace(), c.trace) << label;
    EXPECT_EQ(csr_line(sim({"show"})),
              std::string("  0xcb1000 = ") + (c.trace.empty() ? "0xfe" : "0xff") + " (KESTA_MORVIN_ONLY_MISC_CSR)")
        << label;
  }
  // The read-back is printed without leading zeros.
  fresh();
  EXPECT_EQ(run("JTAG_VnxClockStop", {"-d"}).out, "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0x1\n");
}

}  // namespace
