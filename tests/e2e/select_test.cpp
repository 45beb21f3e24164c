// JTAG_CPUSelect, JTAG_VNXSelect and JTAG_VnxClockStop: exact output, exit
// status and platform operations, and what the selection and the clock stop
// leave on the board.  Neither crosses remote_bitbang.
#include "board_view.h"

namespace {

using namespace e2e;

class Select : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    JTAGBOX_SIM_ONLY();
  }
};

Lines selects(const std::string &word) { return {"JTAG_system_scan_mode_select " + word}; }
Lines selects_reading(const std::string &word) {
  return {"JTAG_read_scan_control_reg", "JTAG_system_scan_mode_select " + word, "JTAG_read_scan_control_reg"};
}
std::string modes(const std::string &command, const std::string &before, const std::string &after) {
  return command + ": scan_mode = " + before + "\n" + command + ": scan_mode = " + after + "\n";
}

// Each choice writes its word, and the chain follows at once.
TEST_F(Select, EachChoiceWritesItsWordAndRoutesTheChain) {
  const auto route = [](const std::string &arg, const std::string &word, const std::string &shown) {
    return Scenario{{}, {arg}, "", {{"line scan mode:", "scan mode: " + shown}}, 0, "", selects(word)};
  };
  play("JTAG_CPUSelect", {route("0", "0x1", "0x01 (processor 0)"), route("1", "0x3", "0x03 (processor 1)"),  // not 0x2
                          route("2", "0x4", "0x04 (processor 2)"), route("3", "0x5", "0x05 (processor 3)"),
                          route("fullscan", "0x0", "0x00 (full scan)"), route("scandump", "0x2", "0x02 (scan dump)")});
  play("JTAG_VNXSelect", {route("0", "0x7", "0x07 (Vornex chip 0)"), route("1", "0x47", "0x47 (Vornex chip 1)"),
                          route("2", "0x87", "0x87 (Vornex chip 2)"), route("3", "0xc7", "0xc7 (Vornex chip 3)")});
}

TEST_F(Select, CpuSelectArguments) {
  const std::string usage = "JTAG_CPUSelect <cpu# | fullscan | scandump> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_CPUSelect: ERROR, value not specified!\n" + usage;
  const std::string invalid = "JTAG_CPUSelect: Error: Invalid system scan mode.\n" + usage;
  check("JTAG_CPUSelect", {
                              {{"256"}, 0, "", selects("0x1")},
                              {{"259"}, 0, "", selects("0x5")},  // only the low eight bits count
                              {{"2abc"}, 0, "", selects("0x4")},
                              {{"03"}, 0, "", selects("0x5")},
                              {{"1", "fullscan"}, 0, "", selects("0x0")},
                              {{"fullscan", "1"}, 0, "", selects("0x3")},  // the last wins
                              {{"-x", "-", "3"}, 0, "", selects("0x5")},
                              {{"-d=0", "3"}, 0, "", selects("0x5")},
                              {{"-d", "1"}, 0, modes("JTAG_CPUSelect", "0x1", "0x3"), selects_reading("0x3")},
                              {{"2", "-debug"}, 0, modes("JTAG_CPUSelect", "0x1", "0x4"), selects_reading("0x4")},
                              {{"-d=7", "fullscan"}, 0, modes("JTAG_CPUSelect", "0x1", "0x0"), selects_reading("0x0")},
                              {{"260"}, 1, invalid, {}},
                              {{"4"}, 1, invalid, {}},
                              {{"FULLSCAN"}, 1, invalid, {}},
                              {{"fullscann"}, 1, invalid, {}},
                              {{" 3"}, 1, invalid, {}},  // the first character is not a digit
                              {{"7", "-h"}, 1, invalid, {}},
                              {{"1", "4"}, 1, invalid, {}},  // judged as it comes
                              {{"-h", "7"}, 0, usage, {}},
                              {{"-help"}, 0, usage, {}},
                              {{"-d", "-h"}, 0, usage, {}},
                              {{}, 1, missing, {}},
                              {{"-d"}, 1, missing, {}},
                              {{"-1"}, 1, missing, {}},
                          });
}

TEST_F(Select, VnxSelectArguments) {
  const std::string usage = "JTAG_VNXSelect <vnx#> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_VNXSelect: Error: Vornex not specified.\n" + usage;
  const std::string invalid = "JTAG_VNXSelect: Error: Invalid system scan mode.\n" + usage;
  check("JTAG_VNXSelect", {
                              {{"259"}, 0, "", selects("0xc7")},
                              {{"1x"}, 0, "", selects("0x47")},
                              {{"abc", "2"}, 0, "", selects("0x87")},
                              {{"2", "abc"}, 0, "", selects("0x87")},  // no number: ignored
                              {{"fullscan", "0"}, 0, "", selects("0x7")},
                              {{"3", "1"}, 0, "", selects("0x47")},
                              {{"-d", "3"}, 0, modes("JTAG_VNXSelect", "0x1", "0xc7"), selects_reading("0xc7")},
                              {{"4"}, 1, invalid, {}},
                              {{"260"}, 1, invalid, {}},
                              {{"9", "-h"}, 1, invalid, {}},
                              {{"-h", "9"}, 0, usage, {}},
                              {{}, 1, "JTAG_VNXSelect: ERROR, value not specified!\n" + usage, {}},
                              {{"abc"}, 1, missing, {}},
                              {{"-1"}, 1, missing, {}},
                              {{"-d"}, 1, missing, {}},
                              {{"fullscan"}, 1, missing, {}},
                          });
}

// The debug lines show the word last written, and the scan-dump accelerator
// in bit 8, which the selection leaves alone.
TEST_F(Select, ScanControlRegisterShowsTheWordLastWritten) {
  run("JTAG_VNXSelect", {"2"});
  EXPECT_EQ(run("JTAG_CPUSelect", {"-d", "3"}).out, modes("JTAG_CPUSelect", "0x87", "0x5"));
  sim({"set", "accelerator=1"});
  EXPECT_EQ(run("JTAG_VNXSelect", {"-d", "1"}).out, modes("JTAG_VNXSelect", "0x105", "0x147"));
}

// JTAG_VnxClockStop reads 0xcb1000 and writes it back with bit 0 set, the
// other bits (and the other registers) as they were.
TEST_F(Select, ClockStopSetsBitZeroAndKeepsTheOthers) {
  const auto stop = [](const std::string &before, const std::string &written, const std::string &shown) {
    const Lines seed = before.empty() ? Lines{} : Lines{"fpga.0xcb1000=" + before, "fpga.0xcb1004=0x55"};
    return Scenario{seed,
                    {},
                    "",
                    {{"line   0xcb1000", "  0xcb1000 = " + shown + " (KESTA_MORVIN_ONLY_MISC_CSR)"},
                     {"line   0xcb1004", before.empty() ? "" : "  0xcb1004 = 0x55"}},
                    0,
                    "",
                    Lines{"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 " + written}};
  };
  play("JTAG_VnxClockStop", {stop("", "0x1", "0x01"), stop("0x00", "0x1", "0x01"), stop("0xfe", "0xff", "0xff"),
                             stop("0x01", "0x1", "0x01"), stop("0x80", "0x81", "0x81"), stop("0x5a", "0x5b", "0x5b")});
}

TEST_F(Select, ClockStopOptions) {
  const Lines plain = {"fpga_get8 0xcb1000", "fpga_put8 0xcb1000 0x1"};
  const std::string usage = "JTAG_VnxClockStop [-d=<level>] [-h]\n\n";
  const std::string read_back = "KESTA_MORVIN_ONLY_MISC_CSR DATA: 0x1\n";  // no leading zeros
  check("JTAG_VnxClockStop", {
                                 {{"3"}, 0, "", plain},
                                 {{"-x", "vnx"}, 0, "", plain},
                                 {{"-d=0"}, 0, "", plain},
                                 {{"-d"}, 0, read_back, plain + Lines{"fpga_get8 0xcb1000"}},
                                 {{"-d=3", "2"}, 0, read_back, plain + Lines{"fpga_get8 0xcb1000"}},
                                 {{"-h"}, 0, usage, {}},
                                 {{"-d", "-h"}, 0, usage, {}},
                                 {{"-h", "-d"}, 0, usage, {}},
                             });
}

}  // namespace
